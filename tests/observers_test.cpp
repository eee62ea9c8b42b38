// Observers and dispatch: order, filters, the reporting switch, the info
// record of control events, and callbacks that call back in.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstring>

#include "mekal.h"
#include "plugins/copy_handle.h"
#include "registry/registry.h"
#include "registry_helpers.h"

using namespace testing_helpers;

namespace {

class Observers : public ::testing::Test {
protected:
    void SetUp() override {
        block_ = melsys_get_public_mekal_symbol();
        ASSERT_NE(block_, nullptr);
        block_->is_reporter = 1;
    }
    void TearDown() override {
        block_->is_reporter = 1;
        // The observers point at the test's locals, which are gone by now:
        // silence them before the "clean" event.
        observer **slot = block_->observer_head_slot;  // unset until the first use
        for (observer *o = slot ? *slot : nullptr; o; o = o->next) {
            o->nameval_cb = nullptr;
            o->nameval_info_cb = nullptr;
        }
        mekal_clean();
    }
    registry_block *block_ = nullptr;
    std::vector<Event> events_;
};

std::vector<std::string> observers_of(const std::vector<Event> &events) {
    std::vector<std::string> out;
    for (const auto &e : events) out.push_back(e.observer + ":" + e.name);
    return out;
}

TEST_F(Observers, NewestObserverIsCalledFirstWithTheRecordersPointers) {
    Recorder first{"first", &events_}, second{"second", &events_}, third{"third", &events_};
    mekal_register_cb(1, mekal_category_all, plain_cb, 0, &first);
    mekal_register_cb(1, mekal_category_all, plain_cb, 0, &second);
    mekal_register_cb_with_info(1, mekal_category_all, info_cb, 0, &third);

    const char name[] = "value";
    const char sub[] = "subcat";
    ASSERT_EQ(record_int(name, 11, 2, sub), 0);
    ASSERT_EQ(observers_of(events_),
              (std::vector<std::string>{"third:value", "second:value", "first:value"}));

    mekal_datatype_t *datatype = nullptr;
    mekal_value_t *value = nullptr;
    mekal_value_info_t *info = nullptr;
    ASSERT_EQ(mekal_get_nameval_with_info("value", &datatype, &value, &info), 0);
    // Plain observers get the recorder's own name and subcategory pointers,
    // and the stored value and datatype.
    EXPECT_EQ(events_[1].name_ptr, name);
    EXPECT_EQ(events_[1].subcategory, sub);
    EXPECT_EQ(events_[1].category, 2);
    EXPECT_EQ(events_[1].value, value);
    EXPECT_EQ(events_[1].datatype, datatype);
    // Info observers get the entry's own info record.
    EXPECT_EQ(events_[0].info, info);
    EXPECT_STREQ(events_[0].info_copy.subcategory, "subcat");
    EXPECT_NE(events_[0].info_copy.subcategory, sub);

    // The observer record itself: newest at the head, prev links set.
    observer *head = *block_->observer_head_slot;
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(head->opaque, &third);
    EXPECT_EQ(head->nameval_cb, nullptr);
    EXPECT_EQ(head->prev, nullptr);
    ASSERT_NE(head->next, nullptr);
    EXPECT_EQ(head->next->prev, head);
    EXPECT_EQ(head->version, 1);
}

TEST_F(Observers, CategoryFiltersSelectEvents) {
    Recorder all{"all", &events_}, perf{"perf", &events_}, control{"control", &events_},
        general{"general", &events_};
    mekal_register_cb(1, mekal_category_all, plain_cb, 0, &all);
    mekal_register_cb(1, mekal_category_performance, plain_cb, 0, &perf);
    mekal_register_cb(1, mekal_category_control, plain_cb, 0, &control);
    mekal_register_cb(1, mekal_category_general, plain_cb, 0, &general);

    ASSERT_EQ(record_int("g", 1, 2), 0);
    ASSERT_EQ(record_int("p", 1, 3), 0);
    mekal_flush(nullptr);
    EXPECT_EQ(observers_of(events_),
              (std::vector<std::string>{"general:g", "all:g", "perf:p", "all:p", "control:flush",
                                        "all:flush"}));
}

TEST_F(Observers, ReportingSwitchAndNullCallbacks) {
    Recorder quiet{"quiet", &events_}, loud{"loud", &events_};
    const int before = block_->any_report_all;
    mekal_register_cb(1, mekal_category_all, plain_cb, 0, &quiet);
    mekal_register_cb(1, mekal_category_all, nullptr, 0, nullptr);
    EXPECT_EQ(block_->any_report_all, before);
    mekal_register_cb_with_info(1, mekal_category_all, nullptr, 1, nullptr);
    EXPECT_EQ(block_->any_report_all, 1) << "a null callback with report_all still counts";
    mekal_register_cb(1, mekal_category_all, plain_cb, 1, &loud);

    block_->is_reporter = 0;
    ASSERT_EQ(record_int("x", 1), 0);
    EXPECT_EQ(observers_of(events_), (std::vector<std::string>{"loud:x"}));
    events_.clear();
    block_->is_reporter = 1;
    ASSERT_EQ(record_int("y", 1), 0);
    EXPECT_EQ(observers_of(events_), (std::vector<std::string>{"loud:y", "quiet:y"}));

    // mekal_init turns reporting back on.
    block_->is_reporter = 0;
    mekal_init();
    mekal_init();
    EXPECT_EQ(block_->is_reporter, 1);
}

TEST_F(Observers, ControlEventsShareOneTemporaryInfoRecord) {
    Recorder info1{"info1", &events_}, plain{"plain", &events_}, info2{"info2", &events_};
    mekal_register_cb_with_info(1, mekal_category_all, info_cb, 0, &info1);
    mekal_register_cb(1, mekal_category_all, plain_cb, 0, &plain);
    mekal_register_cb_with_info(1, mekal_category_all, info_cb, 0, &info2);
    ASSERT_EQ(mekal_flush("/some/where"), 0);
    ASSERT_EQ(events_.size(), 3u);
    const Event &a = events_[0], &p = events_[1], &b = events_[2];
    EXPECT_EQ(a.observer, "info2");
    EXPECT_EQ(a.info_copy.category, mekal_category_control);
    EXPECT_EQ(a.info_copy.subcategory, nullptr);
    EXPECT_EQ(b.info_copy.category, mekal_category_control);
    EXPECT_EQ(a.info, b.info) << "one record per event";
    EXPECT_EQ(a.info_copy.timestamp.tv_sec, b.info_copy.timestamp.tv_sec);
    EXPECT_EQ(a.info_copy.timestamp.tv_nsec, b.info_copy.timestamp.tv_nsec);
    EXPECT_NE(a.info_copy.timestamp.tv_sec, 0);
    EXPECT_EQ(p.category, mekal_category_control);
    EXPECT_EQ(p.subcategory, nullptr);
    EXPECT_STREQ(static_cast<const char *>(p.value_copy.as_ptr), "/some/where");
    EXPECT_EQ(p.datatype, mekal_get_basetype(mekal_type_path));

    events_.clear();
    ASSERT_EQ(mekal_flush(nullptr), 0);
    ASSERT_EQ(events_.size(), 3u);
    EXPECT_EQ(events_[1].value_copy.as_ptr, nullptr);
}

struct Nested {
    std::vector<Event> *events;
    Recorder late;
    bool registered = false;
};

void nesting_cb(const char *name, mekal_category_t, const char *, mekal_value_t *,
                mekal_datatype_t *, void *opaque) {
    auto *n = static_cast<Nested *>(opaque);
    n->events->push_back({"nest", name, 0, name, nullptr, nullptr, nullptr, nullptr, {}, {}});
    if (std::strcmp(name, "outer") == 0) {
        record_int("inner", 2);
        if (!n->registered) {
            n->registered = true;
            mekal_register_cb(1, mekal_category_all, plain_cb, 0, &n->late);
        }
    }
}

TEST_F(Observers, RecordingInsideACallbackIsDispatchedBeforeTheOuterGoesOn) {
    Recorder tail{"tail", &events_};
    Nested nested{&events_, Recorder{"late", &events_}};
    mekal_register_cb(1, mekal_category_all, plain_cb, 0, &tail);
    mekal_register_cb(1, mekal_category_all, nesting_cb, 0, &nested);
    ASSERT_EQ(record_int("outer", 1), 0);
    // The observer registered inside the callback does not see "outer".
    EXPECT_EQ(observers_of(events_),
              (std::vector<std::string>{"nest:outer", "nest:inner", "tail:inner", "tail:outer"}));
    EXPECT_EQ(stored_int("inner"), 2);
    events_.clear();
    ASSERT_EQ(record_int("later", 1), 0);
    EXPECT_EQ(observers_of(events_)[0], "late:later");
}

// The value a delivery hands out, read whole: a set of texts, its datatype,
// the info record and the subcategory copy.
std::string read_delivery(mekal_value_t *value, mekal_datatype_t *datatype,
                          mekal_value_info_t *info) {
    std::string out = std::to_string(datatype->type) + ":";
    for (int i = 0; i < mekal_num_subvals(datatype); ++i) {
        mekal_datatype_t *element = nullptr;
        mekal_value_t text{};
        if (mekal_get_subval(datatype, value, i, &element, &text) == 0)
            out += std::string(static_cast<const char *>(text.as_ptr)) + ",";
    }
    return out + info->subcategory + "/" + std::to_string(info->category);
}

struct ReRecorder {
    bool re_record = true;
    bool clean_after = false;
    int calls = 0;
    std::vector<std::string> seen;  // what each observer read, in call order
};

void reading_cb(const char *, mekal_value_t *value, mekal_datatype_t *datatype,
                mekal_value_info_t *info, void *opaque) {
    auto *r = static_cast<ReRecorder *>(opaque);
    if (info->category != mekal_category_control) r->seen.push_back(read_delivery(value, datatype, info));
}

void re_recording_cb(const char *name, mekal_value_t *value, mekal_datatype_t *datatype,
                     mekal_value_info_t *info, void *opaque) {
    auto *r = static_cast<ReRecorder *>(opaque);
    if (info->category == mekal_category_control || r->calls++ > 0) return;
    static const char *const replacement[1] = {"replaced"};
    if (r->re_record) {
        ASSERT_EQ(mekal_namevalue(name, 3, "other", "[%s]", replacement, 1), 0);
    }
    if (r->clean_after) mekal_clean();
    r->seen.push_back(read_delivery(value, datatype, info));
}

TEST_F(Observers, ReRecordingOrCleaningInsideADeliveryKeepsTheDeliveredValue) {
    // Newest first: the middle observer replaces the name, cleans, or both,
    // while it and the observers after it still read what this delivery
    // handed out. A clean stops the walk. ASan or valgrind catch a read of
    // a released block.
    static const char *const texts[2] = {"one", "two"};
    const std::string original = std::to_string(mekal_type_set) + ":one,two,sub/2";
    const std::string replaced = std::to_string(mekal_type_set) + ":replaced,other/3";
    const struct {
        bool re_record, clean_after;
        std::vector<std::string> expected;
    } cases[] = {
        // The first, the inner delivery to the first and the third, the
        // middle one on what it was handed, then the third.
        {true, false, {original, replaced, replaced, original, original}},
        {true, true, {original, replaced, replaced, original}},
        {false, true, {original, original}},
    };
    for (const auto &c : cases) {
        ReRecorder r;
        r.re_record = c.re_record;
        r.clean_after = c.clean_after;
        mekal_register_cb_with_info(1, mekal_category_all, reading_cb, 0, &r);
        mekal_register_cb_with_info(1, mekal_category_all, re_recording_cb, 0, &r);
        mekal_register_cb_with_info(1, mekal_category_all, reading_cb, 0, &r);
        ASSERT_EQ(mekal_namevalue("delivered", 2, "sub", "[%s]", texts, 2), 0);
        EXPECT_EQ(r.seen, c.expected) << c.re_record << c.clean_after;
        mekal_clean();
    }
}

TEST_F(Observers, RegisteringTwiceGivesTwoCalls) {
    Recorder r{"r", &events_};
    mekal_register_cb(1, mekal_category_all, plain_cb, 0, &r);
    mekal_register_cb(1, mekal_category_all, plain_cb, 0, &r);
    ASSERT_EQ(record_int("twice", 1), 0);
    EXPECT_EQ(events_.size(), 2u);
}

TEST_F(Observers, UnregisteringMatchesCallbackAndOpaqueAndCountsWhatItDisabled) {
    Recorder r{"r", &events_}, other{"other", &events_};
    mekal_register_cb(1, mekal_category_all, plain_cb, 0, &r);
    mekal_register_cb(1, mekal_category_all, plain_cb, 0, &other);
    mekal_register_cb(1, mekal_category_all, plain_cb, 0, &r);
    mekal_register_cb_with_info(1, mekal_category_all, info_cb, 0, &r);
    EXPECT_EQ(mekal_unregister_cb(plain_cb, &r), 2) << "both identical registrations";
    EXPECT_EQ(mekal_unregister_cb(plain_cb, &r), 0);
    EXPECT_EQ(mekal_unregister_cb(nullptr, &r), -1);
    EXPECT_EQ(mekal_unregister_cb_with_info(nullptr, &r), -1);
    ASSERT_EQ(record_int("after", 1), 0);
    EXPECT_EQ(observers_of(events_), (std::vector<std::string>{"r:after", "other:after"}))
        << "the info observer and the other opaque pointer stay";
    EXPECT_EQ(mekal_unregister_cb_with_info(info_cb, &r), 1);
    int listed = 0;
    for (observer *o = *block_->observer_head_slot; o != nullptr; o = o->next) ++listed;
    EXPECT_EQ(listed, 4) << "disabled records stay in the list until mekal_clean";
}

struct Leaving {
    std::vector<std::string> *calls;
    std::string label;
    void *first = nullptr, *second = nullptr;  // opaque pointers to disable when called
};

void leaving_cb(const char *name, mekal_category_t category, const char *, mekal_value_t *,
                mekal_datatype_t *, void *opaque) {
    auto *l = static_cast<Leaving *>(opaque);
    if (category == mekal_category_control) return;
    l->calls->push_back(l->label + ":" + name);
    for (void *target : {l->first, l->second}) {
        if (target != nullptr) {
            EXPECT_EQ(mekal_unregister_cb(leaving_cb, target), 1);
        }
    }
    l->first = l->second = nullptr;
}

TEST_F(Observers, UnregisteringInsideADeliverySkipsTheDisabledFromThenOn) {
    // Newest first: a, b, c, d. b disables itself and c, the next one.
    std::vector<std::string> calls;
    Leaving d{&calls, "d"}, c{&calls, "c"}, b{&calls, "b"}, a{&calls, "a"};
    b.first = &b;
    b.second = &c;
    for (Leaving *l : {&d, &c, &b, &a}) mekal_register_cb(1, mekal_category_all, leaving_cb, 0, l);
    ASSERT_EQ(record_int("x", 1), 0);
    ASSERT_EQ(record_int("y", 2), 0);
    EXPECT_EQ(calls, (std::vector<std::string>{"a:x", "b:x", "d:x", "a:y", "d:y"}));
}

// A plugin bundling its own copy registers a plain, an info and a C++
// observer through that copy, then is unloaded; the program records once
// more. Leaving its observers behind, that recording calls unmapped code.
void unload_observing_plugin(bool unregister_at_unload) {
    ASSERT_EQ(record_int("before", 1), 0);
    void *plugin = dlopen(MEKAL_PLUGIN_OBSERVING_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(plugin, nullptr) << dlerror();
    auto watch = reinterpret_cast<void (*)(int *, int)>(dlsym(plugin, "plugin_watch"));
    ASSERT_NE(watch, nullptr);
    int heard = 0;
    watch(&heard, unregister_at_unload ? 1 : 0);
    ASSERT_EQ(record_int("loaded", 2), 0);
    EXPECT_EQ(heard, 3);
    ASSERT_EQ(dlclose(plugin), 0);
    ASSERT_EQ(dlopen(MEKAL_PLUGIN_OBSERVING_PATH, RTLD_NOW | RTLD_NOLOAD), nullptr)
        << "the plugin is unmapped";
    ASSERT_EQ(record_int("unloaded", 3), 0);
    EXPECT_EQ(heard, 3);
    mekal_clean();
}

TEST_F(Observers, PluginUnregisteringBeforeItIsUnloadedLeavesNothingToCall) {
    copies::in_child([] { unload_observing_plugin(true); });

    constexpr int kSurvived = 77;
    std::fflush(nullptr);
    const pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
        unload_observing_plugin(false);
        _exit(kSurvived);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    // A signal, or under ASan its report's exit status.
    EXPECT_TRUE(WIFSIGNALED(status) ||
                (WEXITSTATUS(status) != 0 && WEXITSTATUS(status) != kSurvived))
        << "without unregistering, the recording after the unload must crash";
}

void cleaning_cb(const char *name, mekal_category_t category, const char *,
                 mekal_value_t *, mekal_datatype_t *, void *opaque) {
    if (category != mekal_category_control) {
        ++*static_cast<int *>(opaque);
        mekal_clean();
    } else if (std::strcmp(name, "clean") == 0) {
        ++*static_cast<int *>(opaque);
    }
}

TEST_F(Observers, CleanInsideACallbackStopsTheWalkSafely) {
    // Under ASan a walk that went on through the released observers fails.
    std::vector<Event> later;
    Recorder older{"older", &later};
    int calls = 0;
    mekal_register_cb(1, mekal_category_all, plain_cb, 0, &older);
    mekal_register_cb(1, mekal_category_all, cleaning_cb, 0, &calls);
    ASSERT_EQ(record_int("boom", 1), 0);
    EXPECT_EQ(calls, 2);  // the value, then the "clean" it sent
    ASSERT_EQ(later.size(), 1u);
    EXPECT_EQ(later[0].name, "clean") << "the older observer saw clean, not the released value";
    EXPECT_EQ(*block_->observer_head_slot, nullptr);
    EXPECT_TRUE(listed_names().empty());
}

}  // namespace
