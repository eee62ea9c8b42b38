// Two copies of the library in one process: libmekal.so linked in, and a
// second build of the same objects under another SONAME loaded with dlopen.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstring>

#include "mekal.h"
#include "registry/registry.h"
#include "registry_helpers.h"

using namespace testing_helpers;

namespace {

// The second copy's own entry points, looked up in its handle so that they
// are its definitions and not the global ones.
struct Copy2 {
    void *handle = nullptr;
    decltype(&mekal_raw_namevalue) raw_namevalue = nullptr;
    decltype(&mekal_get_nameval) get_nameval = nullptr;
    decltype(&mekal_list_namevals) list_namevals = nullptr;
    decltype(&mekal_register_cb) register_cb = nullptr;
    decltype(&mekal_clean) clean = nullptr;
    decltype(&melsys_get_public_mekal_symbol) public_symbol = nullptr;
    registry_block *own_block = nullptr;

    template <typename F>
    void bind(F &fn, const char *name) {
        fn = reinterpret_cast<F>(dlsym(handle, name));
        ASSERT_NE(fn, nullptr) << name;
    }
    void load() {
        handle = dlopen(MEKAL_COPY2_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << dlerror();
        bind(raw_namevalue, "mekal_raw_namevalue");
        bind(get_nameval, "mekal_get_nameval");
        bind(list_namevals, "mekal_list_namevals");
        bind(register_cb, "mekal_register_cb");
        bind(clean, "mekal_clean");
        bind(public_symbol, "melsys_get_public_mekal_symbol");
        own_block = static_cast<registry_block *>(dlsym(handle, "mekal_public"));
        ASSERT_NE(own_block, nullptr);
    }
    int record(const char *name, int v) {
        auto *slot = static_cast<mekal_value_t *>(std::malloc(sizeof(mekal_value_t)));
        slot->as_int = v;
        return raw_namevalue(name, 2, nullptr, slot, mekal_get_basetype(mekal_type_int));
    }
    int lookup(const char *name) {
        mekal_value_t *value = nullptr;
        if (get_nameval(name, nullptr, &value, nullptr, nullptr) != 0) return -999999;
        return value->as_int;
    }
};

// One process-wide second copy: dlclose would not unload it while the
// registry may hold its static datatypes anyway.
Copy2 &copy2() {
    static Copy2 c;
    if (c.handle == nullptr) c.load();
    return c;
}

TEST(Copies, ShareOneRegistryAndOneObserverList) {
    registry_block *mine = melsys_get_public_mekal_symbol();
    Copy2 &other = copy2();
    ASSERT_NE(other.own_block, mine) << "the copy has a block of its own";
    // The block is set up in the first copy's registry.
    ASSERT_EQ(record_int("from-first", 1), 0);
    ASSERT_EQ(other.record("from-second", 2), 0);
    EXPECT_EQ(other.lookup("from-first"), 1);
    EXPECT_EQ(stored_int("from-second"), 2);
    std::vector<std::string> names;
    other.list_namevals(
        0, 1,
        [](const char *n, mekal_category_t, const char *, mekal_value_t *,
           mekal_datatype_t *, void *o) {
            static_cast<std::vector<std::string> *>(o)->push_back(n);
        },
        &names);
    EXPECT_EQ(names, (std::vector<std::string>{"from-second", "from-first"}));
    // The second copy's own block was never touched.
    EXPECT_EQ(other.own_block->entry_list, nullptr);
    EXPECT_EQ(other.own_block->observer_head_slot, nullptr);

    std::vector<Event> events;
    Recorder via_second{"second", &events};
    other.register_cb(1, mekal_category_all, plain_cb, 0, &via_second);
    ASSERT_EQ(record_int("seen", 3), 0);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].name, "seen");

    // Clean through the second copy releases what the first recorded.
    EXPECT_EQ(other.clean(), 0);
    EXPECT_EQ(mekal_get_nameval("from-first", nullptr, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(*mine->observer_head_slot, nullptr);
}

TEST(Copies, NoStaleMemoOfALastNameIsTrustedAfterReuseOrACleanThroughAnotherCopy) {
    // Each copy remembers the entry of the caller's last name pointer. A
    // buffer reused with other text is another name, and after a clean
    // through the second copy (whose new records may take the freed ones'
    // addresses) the remembered entry is gone. ASan catches a read of it.
    Copy2 &other = copy2();
    char buffer[32] = "memo.first";
    ASSERT_EQ(record_int(buffer, 1), 0);
    std::strcpy(buffer, "memo.second");
    EXPECT_EQ(stored_int(buffer), -999999);
    ASSERT_EQ(record_int(buffer, 2), 0);
    EXPECT_EQ(stored_int("memo.first"), 1);
    EXPECT_EQ(stored_int(buffer), 2);
    EXPECT_EQ(other.clean(), 0);
    ASSERT_EQ(other.record("memo.other", 3), 0);
    EXPECT_EQ(stored_int(buffer), -999999);
    ASSERT_EQ(record_int(buffer, 4), 0);
    EXPECT_EQ(other.lookup("memo.second"), 4);
    EXPECT_EQ(listed_names(), (std::vector<std::string>{"memo.second", "memo.other"}));
    mekal_clean();
}

TEST(Copies, VersionZeroKeepsChainsPerCopyAndCleanDropsThem) {
    registry_block *block = melsys_get_public_mekal_symbol();
    Copy2 &other = copy2();
    ASSERT_EQ(record_int("warmup", 0), 0);  // both copies have their block now
    ASSERT_EQ(other.lookup("warmup"), 0);
    mekal_clean();
    block->version = 0;

    ASSERT_EQ(record_int("first-only", 1), 0);
    ASSERT_EQ(other.record("second-only", 2), 0);
    EXPECT_EQ(stored_int("first-only"), 1);
    EXPECT_EQ(stored_int("second-only"), -999999) << "lookups use this copy's chains";
    EXPECT_EQ(other.lookup("first-only"), -999999);
    EXPECT_EQ(other.lookup("second-only"), 2);
    EXPECT_EQ(listed_names().size(), 2u) << "listings walk the shared list";
    for (auto *head : block->buckets) EXPECT_EQ(head, nullptr);

    ASSERT_EQ(other.record("first-only", 3), 0);
    EXPECT_EQ(listed_names(), (std::vector<std::string>{"first-only", "second-only",
                                                        "first-only"}));

    // A clean through this copy releases every entry; the other copy's
    // chains must not lead to released records afterwards (ASan checks).
    mekal_clean();
    EXPECT_EQ(other.lookup("second-only"), -999999);
    EXPECT_EQ(other.lookup("first-only"), -999999);
    ASSERT_EQ(other.record("again", 4), 0);
    EXPECT_EQ(other.lookup("again"), 4);
    EXPECT_EQ(listed_names(), (std::vector<std::string>{"again"}));

    block->version = 1;
    mekal_clean();
}

}  // namespace
