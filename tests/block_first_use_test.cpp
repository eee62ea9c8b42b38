// The registry block as the first operation of each copy finds it: initial
// values, lowering of a newer version, and the observer head slot filled
// once. Nothing in this program touches the registry before these tests.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include "mekal.h"
#include "registry/registry.h"

namespace {

TEST(BlockFirstUse, EachCopyLowersTheVersionOnceAndFillsTheSlotOnce) {
    registry_block &block = mekal_public;
    EXPECT_EQ(block.version, 1);
    EXPECT_EQ(block.reserved, 1);
    EXPECT_EQ(block.any_report_all, 0);
    EXPECT_EQ(block.is_reporter, 1);
    EXPECT_EQ(block.observer_head_slot, nullptr);
    EXPECT_EQ(block.entry_list, nullptr);
    EXPECT_EQ(melsys_get_public_mekal_symbol(), &block);

    block.version = 5;
    EXPECT_EQ(mekal_get_nameval("x", nullptr, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(block.version, 1);
    observer **slot = block.observer_head_slot;
    ASSERT_NE(slot, nullptr);

    // The cached block is not examined again.
    block.version = 7;
    EXPECT_EQ(mekal_get_nameval("x", nullptr, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(block.version, 7);

    void *handle = dlopen(MEKAL_COPY2_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    auto get = reinterpret_cast<decltype(&mekal_get_nameval)>(dlsym(handle, "mekal_get_nameval"));
    ASSERT_NE(get, nullptr);
    EXPECT_EQ(get("x", nullptr, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(block.version, 1) << "the second copy's first operation lowers it";
    EXPECT_EQ(block.observer_head_slot, slot) << "the slot is filled once";
    block.version = 1;
}

}  // namespace
