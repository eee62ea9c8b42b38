// The name/value store seen through the public interface: recording,
// replacing in place, lookups and listings.
#include <gtest/gtest.h>

#include <cstring>

#include "mekal.h"
#include "registry/registry.h"
#include "registry_helpers.h"

using namespace testing_helpers;

namespace {

class Store : public ::testing::Test {
protected:
    void TearDown() override { mekal_clean(); }
};

TEST_F(Store, ReplaceKeepsListPositionAndUpdatesEverythingElse) {
    ASSERT_EQ(record_int("A", 1, 2, "first"), 0);
    ASSERT_EQ(record_int("B", 2), 0);
    mekal_value_info_t *info_before = nullptr;
    ASSERT_EQ(mekal_get_nameval_with_info("A", nullptr, nullptr, &info_before), 0);
    const struct timespec first_stamp = info_before->timestamp;

    ASSERT_EQ(record_int("A", 3, 3, "second"), 0);
    EXPECT_EQ(listed_names(), (std::vector<std::string>{"B", "A"}));

    mekal_datatype_t *datatype = nullptr;
    mekal_value_t *value = nullptr;
    mekal_category_t category = -1;
    const char *subcategory = nullptr;
    ASSERT_EQ(mekal_get_nameval("A", &datatype, &value, &category, &subcategory), 0);
    EXPECT_EQ(value->as_int, 3);
    EXPECT_EQ(category, 3);
    EXPECT_STREQ(subcategory, "second");
    EXPECT_EQ(datatype, mekal_get_basetype(mekal_type_int));

    mekal_value_info_t *info = nullptr;
    ASSERT_EQ(mekal_get_nameval_with_info("A", nullptr, nullptr, &info), 0);
    EXPECT_EQ(info->category, 3);
    EXPECT_EQ(info->subcategory, subcategory) << "the info record shares the entry's copy";
    const bool newer = info->timestamp.tv_sec > first_stamp.tv_sec ||
                       (info->timestamp.tv_sec == first_stamp.tv_sec &&
                        info->timestamp.tv_nsec >= first_stamp.tv_nsec);
    EXPECT_TRUE(newer);
}

TEST_F(Store, LookupMissesAndNullOutputsWriteNothing) {
    ASSERT_EQ(record_int("present", 7), 0);
    EXPECT_EQ(mekal_get_nameval("present", nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(mekal_get_nameval("absent", nullptr, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(mekal_get_nameval(nullptr, nullptr, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(mekal_get_nameval_with_info(nullptr, nullptr, nullptr, nullptr), -1);

    // Poisoned outputs stay untouched on a miss.
    auto *poison_type = reinterpret_cast<mekal_datatype_t *>(0x1);
    auto *poison_value = reinterpret_cast<mekal_value_t *>(0x2);
    const char *poison_sub = "poison";
    mekal_category_t poison_category = -77;
    mekal_value_info_t *poison_info = reinterpret_cast<mekal_value_info_t *>(0x3);
    EXPECT_EQ(mekal_get_nameval("Present", &poison_type, &poison_value, &poison_category,
                                &poison_sub), -1);
    EXPECT_EQ(mekal_get_nameval_with_info("absent", &poison_type, &poison_value, &poison_info),
              -1);
    EXPECT_EQ(poison_type, reinterpret_cast<mekal_datatype_t *>(0x1));
    EXPECT_EQ(poison_value, reinterpret_cast<mekal_value_t *>(0x2));
    EXPECT_EQ(poison_category, -77);
    EXPECT_STREQ(poison_sub, "poison");
    EXPECT_EQ(poison_info, reinterpret_cast<mekal_value_info_t *>(0x3));
}

TEST_F(Store, NamesAreExactCaseSensitiveAndMayBeEmpty) {
    ASSERT_EQ(record_int("Name", 1), 0);
    ASSERT_EQ(record_int("name", 2), 0);
    ASSERT_EQ(record_int("", 3), 0);
    EXPECT_EQ(stored_int("Name"), 1);
    EXPECT_EQ(stored_int("name"), 2);
    EXPECT_EQ(stored_int(""), 3);
    EXPECT_EQ(mekal_get_nameval("nam", nullptr, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(listed_names().size(), 3u);

    // The empty name hashes to chain 5 of the shared table.
    auto *block = melsys_get_public_mekal_symbol();
    ASSERT_NE(block, nullptr);
    ASSERT_NE(block->buckets[5], nullptr);
    bool found = false;
    for (nameval_entry *e = block->buckets[5]; e; e = e->bucket_next)
        found |= std::strcmp(e->name, "") == 0;
    EXPECT_TRUE(found);
}

TEST_F(Store, NullSubcategoryReadsBackAsNullEverywhere) {
    ASSERT_EQ(record_int("nosub", 5, 2, nullptr), 0);
    const char *sub = "poison";
    ASSERT_EQ(mekal_get_nameval("nosub", nullptr, nullptr, nullptr, &sub), 0);
    EXPECT_EQ(sub, nullptr);
    mekal_value_info_t *info = nullptr;
    ASSERT_EQ(mekal_get_nameval_with_info("nosub", nullptr, nullptr, &info), 0);
    EXPECT_EQ(info->subcategory, nullptr);
    const char *listed = "poison";
    mekal_list_namevals(
        0, mekal_category_all,
        [](const char *, mekal_category_t, const char *s, mekal_value_t *,
           mekal_datatype_t *, void *o) { *static_cast<const char **>(o) = s; },
        &listed);
    EXPECT_EQ(listed, nullptr);
}

TEST_F(Store, ListingFiltersByCategoryNewestFirst) {
    ASSERT_EQ(record_int("g1", 1, 2), 0);
    ASSERT_EQ(record_int("p1", 2, 3), 0);
    ASSERT_EQ(record_int("g2", 3, 2), 0);
    ASSERT_EQ(record_int("odd", 4, 77), 0);
    EXPECT_EQ(listed_names(1), (std::vector<std::string>{"odd", "g2", "p1", "g1"}));
    EXPECT_EQ(listed_names(2), (std::vector<std::string>{"g2", "g1"}));
    EXPECT_EQ(listed_names(3), (std::vector<std::string>{"p1"}));
    EXPECT_EQ(listed_names(77), (std::vector<std::string>{"odd"}));
    EXPECT_TRUE(listed_names(5).empty());

    struct Seen {
        std::vector<std::string> names;
        std::vector<mekal_value_info_t *> infos;
    } seen;
    mekal_list_namevals_with_info(
        0, 3,
        [](const char *n, mekal_value_t *v, mekal_datatype_t *d,
           mekal_value_info_t *i, void *o) {
            auto *s = static_cast<Seen *>(o);
            s->names.push_back(n);
            s->infos.push_back(i);
            EXPECT_EQ(v->as_int, 2);
            EXPECT_EQ(d->type, mekal_type_int);
        },
        &seen);
    ASSERT_EQ(seen.names, (std::vector<std::string>{"p1"}));
    mekal_value_info_t *info = nullptr;
    ASSERT_EQ(mekal_get_nameval_with_info("p1", nullptr, nullptr, &info), 0);
    EXPECT_EQ(seen.infos[0], info);
    // A null callback is refused rather than called.
    mekal_list_namevals(0, 1, nullptr, nullptr);
    mekal_list_namevals_with_info(0, 1, nullptr, nullptr);
}

TEST_F(Store, RecordingFromAListingCallback) {
    // New names go in front of the walk; re-recorded names ahead of the walk
    // are seen with their new value.
    ASSERT_EQ(record_int("old", 1), 0);
    ASSERT_EQ(record_int("mid", 2), 0);
    ASSERT_EQ(record_int("new", 3), 0);
    struct Walk {
        std::vector<std::pair<std::string, int>> seen;
    } walk;
    mekal_list_namevals(
        0, 1,
        [](const char *n, mekal_category_t, const char *, mekal_value_t *v,
           mekal_datatype_t *, void *o) {
            auto *w = static_cast<Walk *>(o);
            w->seen.emplace_back(n, v->as_int);
            if (std::strcmp(n, "new") == 0) {
                record_int("added", 9);
                record_int("old", 10);
            }
        },
        &walk);
    EXPECT_EQ(walk.seen, (std::vector<std::pair<std::string, int>>{
                             {"new", 3}, {"mid", 2}, {"old", 10}}));
    EXPECT_EQ(stored_int("added"), 9);
}

TEST_F(Store, ListingCallbackReRecordingTheListedEntryKeepsWhatItWasHanded) {
    // Each listed entry is replaced (text, set datatype, info, subcategory)
    // while the callback still reads what the listing handed it; the info
    // listing hands out the most pointers. ASan or valgrind catch a read of
    // a released block.
    static const char *const texts[2] = {"alpha", "beta"};
    ASSERT_EQ(mekal_namevalue("listed", 2, "sub", "[%s]", texts, 2), 0);
    struct Seen {
        std::string before, after;
    } seen;
    mekal_list_namevals_with_info(
        0, 1,
        [](const char *n, mekal_value_t *v, mekal_datatype_t *d, mekal_value_info_t *info,
           void *o) {
            auto *s = static_cast<Seen *>(o);
            auto read = [&] {
                mekal_datatype_t *element = nullptr;
                mekal_value_t text{};
                std::string out = n;
                for (int i = 0; i < mekal_num_subvals(d); ++i)
                    if (mekal_get_subval(d, v, i, &element, &text) == 0)
                        out += std::string(" ") + static_cast<const char *>(text.as_ptr);
                return out + " " + info->subcategory + " " + std::to_string(info->category);
            };
            s->before = read();
            static const char *const other[1] = {"gamma"};
            ASSERT_EQ(mekal_namevalue(n, 3, "new", "[%s]", other, 1), 0);
            s->after = read();
        },
        &seen);
    EXPECT_EQ(seen.before, "listed alpha beta sub 2");
    EXPECT_EQ(seen.after, seen.before);
    mekal_value_info_t *info = nullptr;
    ASSERT_EQ(mekal_get_nameval_with_info("listed", nullptr, nullptr, &info), 0);
    EXPECT_STREQ(info->subcategory, "new");
}

TEST_F(Store, ControlEventsAreNeverStored) {
    mekal_value_t slot{};
    slot.as_int = 0;
    EXPECT_EQ(mekal_raw_namevalue("fini", mekal_category_control, nullptr, &slot,
                                  mekal_get_basetype(mekal_type_int)),
              0);
    mekal_flush("/tmp/x");
    mekal_fini();
    EXPECT_EQ(mekal_get_nameval("fini", nullptr, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(mekal_get_nameval("flush", nullptr, nullptr, nullptr, nullptr), -1);
    EXPECT_TRUE(listed_names().empty());
    // An application may still record such a name in another category.
    ASSERT_EQ(record_int("flush", 4, 2), 0);
    EXPECT_EQ(stored_int("flush"), 4);
}

TEST_F(Store, NullNameIsRefusedAndNothingIsKept) {
    // The slot is released by the refusal (ownership passed); under ASan or
    // valgrind a leak here fails the run.
    EXPECT_EQ(record_int(nullptr, 1), -1);
    mekal_value_t slot{};
    EXPECT_EQ(mekal_raw_namevalue(nullptr, mekal_category_control, nullptr, &slot,
                                  mekal_get_basetype(mekal_type_int)),
              -1);
    EXPECT_TRUE(listed_names().empty());
}

TEST_F(Store, CleanEmptiesTheRegistryAndItWorksAsNewAfterwards) {
    ASSERT_EQ(record_int("a", 1), 0);
    ASSERT_EQ(record_int("b", 2), 0);
    EXPECT_EQ(mekal_clean(), 0);
    EXPECT_TRUE(listed_names().empty());
    EXPECT_EQ(mekal_get_nameval("a", nullptr, nullptr, nullptr, nullptr), -1);
    auto *block = melsys_get_public_mekal_symbol();
    for (auto *head : block->buckets) EXPECT_EQ(head, nullptr);
    EXPECT_EQ(block->entry_list, nullptr);
    EXPECT_EQ(mekal_clean(), 0);  // a second clean has nothing to release
    ASSERT_EQ(record_int("a", 5), 0);
    EXPECT_EQ(stored_int("a"), 5);
    EXPECT_EQ(listed_names(), (std::vector<std::string>{"a"}));
}

}  // namespace
