// A listing callback may clean the registry: the walk then ends at once
// instead of following the released entries, and the registry is usable
// afterwards.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mekal.h"
#include "registry_helpers.h"

using namespace testing_helpers;

namespace {

class CleanInsideListing : public ::testing::Test {
protected:
    void SetUp() override {
        mekal_clean();
        // Three entries, so a walk that went on would have two more to visit.
        ASSERT_EQ(record_int("first", 1), 0);
        ASSERT_EQ(record_int("second", 2), 0);
        ASSERT_EQ(record_int("third", 3), 0);
    }
    void TearDown() override { mekal_clean(); }
};

struct Walk {
    std::vector<std::string> names;
    std::vector<int> values;
    bool clean = true;  // clean on the first call
};

void cleaning_cb(const char *name, mekal_category_t, const char *, mekal_value_t *value,
                 mekal_datatype_t *, void *opaque) {
    auto *walk = static_cast<Walk *>(opaque);
    walk->names.emplace_back(name);
    walk->values.push_back(value->as_int);
    if (walk->clean) mekal_clean();
}

void cleaning_info_cb(const char *name, mekal_value_t *value, mekal_datatype_t *,
                      mekal_value_info_t *, void *opaque) {
    cleaning_cb(name, 0, nullptr, value, nullptr, opaque);
}

void expect_empty_and_usable() {
    EXPECT_TRUE(listed_names().empty());
    ASSERT_EQ(record_int("after", 4), 0);
    EXPECT_EQ(listed_names(), std::vector<std::string>{"after"});
    EXPECT_EQ(stored_int("after"), 4);
}

TEST_F(CleanInsideListing, PlainListingStopsAfterTheCallbackThatCleaned) {
    // Without the stop, the walk reads the next link out of a freed entry:
    // extra calls with garbage here, an error under ASan or valgrind.
    Walk walk;
    mekal_list_namevals(0, mekal_category_all, cleaning_cb, &walk);
    EXPECT_EQ(walk.names, std::vector<std::string>{"third"});
    EXPECT_EQ(walk.values, std::vector<int>{3});
    expect_empty_and_usable();
}

TEST_F(CleanInsideListing, InfoListingStopsAfterTheCallbackThatCleaned) {
    Walk walk;
    mekal_list_namevals_with_info(0, mekal_category_all, cleaning_info_cb, &walk);
    EXPECT_EQ(walk.names, std::vector<std::string>{"third"});
    EXPECT_EQ(walk.values, std::vector<int>{3});
    expect_empty_and_usable();
}

TEST_F(CleanInsideListing, WithoutACleanTheSameWalkVisitsEveryEntry) {
    // The same callback without cleaning visits everything, newest first:
    // the stop above comes from the clean, not from the walk itself.
    Walk walk;
    walk.clean = false;
    mekal_list_namevals(0, mekal_category_all, cleaning_cb, &walk);
    EXPECT_EQ(walk.names, (std::vector<std::string>{"third", "second", "first"}));
    Walk info_walk;
    info_walk.clean = false;
    mekal_list_namevals_with_info(0, mekal_category_all, cleaning_info_cb, &info_walk);
    EXPECT_EQ(info_walk.names, (std::vector<std::string>{"third", "second", "first"}));
}

}  // namespace
