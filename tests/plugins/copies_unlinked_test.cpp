// Copies of the library in a program that links none: every copy comes in
// through dlopen. Which block a copy uses is decided once, at its first
// registry operation, by what the symbol lookup from that copy finds then:
// its own block through its local scope, or one that a globally loaded
// copy exposes first. Each arrangement runs in a child process of its own.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <string>
#include <vector>

#include "copy_handle.h"

using namespace copies;

namespace {

using Names = std::vector<std::string>;

TEST(UnlinkedCopies, TwoCopiesLoadedLocallyEachKeepTheirOwnRegistry) {
    in_child([] {
        Copy first, second;
        first.open(MEKAL_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        second.open(MEKAL_COPY2_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(first.own_block, second.own_block);
        EXPECT_EQ(dlsym(RTLD_DEFAULT, "mekal_public"), nullptr) << "nothing global exposes a block";
        // From inside each copy the lookup reaches that copy's local scope.
        EXPECT_EQ(first.public_symbol(), first.own_block);
        EXPECT_EQ(second.public_symbol(), second.own_block);

        Heard first_heard, second_heard;
        first.register_cb(1, mekal_category_all, hear, 0, &first_heard);
        second.register_cb(1, mekal_category_all, hear, 0, &second_heard);
        ASSERT_EQ(first.raw_int("one", 1), 0);
        ASSERT_EQ(second.raw_int("two", 2), 0);
        // Each copy's formatted entry hands over to its own raw entry.
        ASSERT_EQ(second.namevalue("two-formatted", 2, nullptr, "%d", 3), 0);
        EXPECT_EQ(first.lookup("two"), Copy::kMissing);
        EXPECT_EQ(second.lookup("one"), Copy::kMissing);
        EXPECT_EQ(second.lookup("two-formatted"), 3);
        EXPECT_EQ(first.names(), (Names{"one"}));
        EXPECT_EQ(second.names(), (Names{"two-formatted", "two"}));
        EXPECT_EQ(first_heard.names, (Names{"one"}));
        EXPECT_EQ(second_heard.names, (Names{"two", "two-formatted"}));
        EXPECT_NE(first.own_block->entry_list, nullptr);
        EXPECT_NE(second.own_block->entry_list, nullptr);

        // A clean through one leaves the other's registry alone.
        EXPECT_EQ(first.clean(), 0);
        EXPECT_EQ(first.own_block->entry_list, nullptr);
        EXPECT_EQ(second.lookup("two"), 2);
        EXPECT_EQ(second_heard.names, (Names{"two", "two-formatted"})) << "no \"clean\" from the other";
        EXPECT_EQ(second.clean(), 0);
        EXPECT_EQ(second.own_block->entry_list, nullptr);
    });
}

TEST(UnlinkedCopies, CopyFirstUsedAfterAnotherWasMadeGlobalTakesThatBlock) {
    in_child([] {
        Copy first, second;
        first.open(MEKAL_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        second.open(MEKAL_COPY2_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_EQ(first.raw_int("one", 1), 0);  // the first copy settles on its own block
        // Promote the first copy into the global search order; the second
        // copy has not looked yet.
        ASSERT_NE(dlopen(MEKAL_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD | RTLD_GLOBAL), nullptr);
        EXPECT_EQ(dlsym(RTLD_DEFAULT, "mekal_public"), first.own_block);

        EXPECT_EQ(second.lookup("one"), 1);
        EXPECT_EQ(second.public_symbol(), first.own_block);
        ASSERT_EQ(second.raw_int("two", 2), 0);
        EXPECT_EQ(first.lookup("two"), 2);
        EXPECT_EQ(first.names(), (Names{"two", "one"}));
        EXPECT_TRUE(pristine(second.own_block));
        EXPECT_EQ(second.clean(), 0);
        EXPECT_EQ(first.lookup("one"), Copy::kMissing);
    });
}

TEST(UnlinkedCopies, FirstLoadedGloballyServesTheSecondLoadedLocally) {
    in_child([] {
        Copy first, second;
        first.open(MEKAL_LIBRARY_PATH, RTLD_NOW | RTLD_GLOBAL);
        second.open(MEKAL_COPY2_PATH, RTLD_NOW | RTLD_LOCAL);
        EXPECT_EQ(dlsym(RTLD_DEFAULT, "mekal_public"), first.own_block);
        EXPECT_EQ(first.public_symbol(), first.own_block);
        EXPECT_EQ(second.public_symbol(), first.own_block) << "the second finds the first's block";

        Heard first_heard, second_heard;
        first.register_cb(1, mekal_category_all, hear, 0, &first_heard);
        second.register_cb(1, mekal_category_all, hear, 0, &second_heard);
        ASSERT_EQ(second.raw_int("two", 2), 0);
        ASSERT_EQ(first.raw_int("one", 1), 0);
        EXPECT_EQ(first.lookup("two"), 2);
        EXPECT_EQ(second.lookup("one"), 1);
        EXPECT_EQ(first.names(), (Names{"one", "two"}));
        EXPECT_EQ(second.names(), first.names());
        EXPECT_EQ(first_heard.names, (Names{"two", "one"}));
        EXPECT_EQ(second_heard.names, first_heard.names);

        // The second copy parses with its own code and stores through the
        // first copy's raw entry: the shared registry holds the second
        // copy's static datatype, which is why a copy must stay loaded.
        ASSERT_EQ(second.namevalue("typed", 2, nullptr, "%d", 3), 0);
        mekal_datatype_t *datatype = nullptr;
        ASSERT_EQ(first.get_nameval("typed", &datatype, nullptr, nullptr, nullptr), 0);
        EXPECT_EQ(datatype, second.get_basetype(mekal_type_int));
        EXPECT_NE(datatype, first.get_basetype(mekal_type_int));
        EXPECT_TRUE(pristine(second.own_block));

        EXPECT_EQ(second.clean(), 0);
        EXPECT_EQ(first_heard.names.back(), "clean");
        EXPECT_TRUE(first.names().empty());
        EXPECT_EQ(*first.own_block->observer_head_slot, nullptr);
    });
}

// A bundled copy exports no block; alone in the process its lookup fails
// and it falls back to its own. The lookup happens once, at first use.
TEST(UnlinkedCopies, BundledCopyFallsBackToItsOwnBlockOnlyWhenNothingIsFoundAtFirstUse) {
    in_child([] {
        Plugin plugin;
        plugin.open(MEKAL_PLUGIN_BUNDLED_PATH, RTLD_NOW | RTLD_LOCAL);
        EXPECT_EQ(plugin.found_block(), nullptr);
        ASSERT_EQ(plugin.record("x", 1), 0);
        EXPECT_EQ(plugin.stored("x"), 1);
        EXPECT_NE(plugin.fallback_block()->entry_list, nullptr) << "its own block holds the value";

        // A copy made global later is found by lookups from now on, but the
        // plugin keeps the block it settled on.
        Copy global;
        global.open(MEKAL_LIBRARY_PATH, RTLD_NOW | RTLD_GLOBAL);
        EXPECT_EQ(plugin.found_block(), global.own_block);
        EXPECT_EQ(global.lookup("x"), Copy::kMissing);
        ASSERT_EQ(global.raw_int("y", 2), 0);
        EXPECT_EQ(plugin.stored("y"), Copy::kMissing);
        EXPECT_EQ(plugin.stored("x"), 1);
        EXPECT_EQ(plugin.clean(), 0);
        EXPECT_EQ(global.lookup("y"), 2);
        EXPECT_EQ(global.clean(), 0);
    });
    in_child([] {
        Plugin plugin;
        plugin.open(MEKAL_PLUGIN_BUNDLED_PATH, RTLD_NOW | RTLD_LOCAL);
        Copy global;
        global.open(MEKAL_LIBRARY_PATH, RTLD_NOW | RTLD_GLOBAL);
        // Loaded before the global copy but first used after it: shares.
        ASSERT_EQ(plugin.record("x", 1), 0);
        EXPECT_EQ(global.lookup("x"), 1);
        EXPECT_TRUE(pristine(plugin.fallback_block()));
        EXPECT_EQ(global.clean(), 0);
        EXPECT_EQ(plugin.stored("x"), Copy::kMissing);
    });
}

}  // namespace
