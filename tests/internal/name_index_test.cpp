// The per-copy name index, whatever other copies do, and without memory.
#include <gtest/gtest.h>

#include <map>

#include "../plugins/copy_handle.h"
#include "alloc_hooks.h"

namespace {

std::map<std::string, int> model;  // what each name holds; absent: nothing

std::string name_of(int i) { return "metric.count." + std::to_string(i); }

int record(int i, int v, copies::Copy *through = nullptr) {
    model[name_of(i)] = v;
    if (through != nullptr) return through->raw_int(name_of(i).c_str(), v);
    return mekal_namevalue(name_of(i).c_str(), 2, "s", "%d", v);
}

// Names 0 to names - 1 read back through this copy as the model says.
void expect_exact(size_t indexed, int names = 10000) {
    for (int i = 0; i < names; ++i) {
        mekal_value_t *value = nullptr;
        const int rc = mekal_get_nameval(name_of(i).c_str(), nullptr, &value, nullptr, nullptr);
        const auto it = model.find(name_of(i));
        ASSERT_EQ(rc == 0 ? value->as_int : -1, it == model.end() ? -1 : it->second) << i;
    }
    EXPECT_EQ(mekal::name_index_count(), indexed);
}

class NameIndex : public ::testing::Test {
protected:
    void TearDown() override { alloc_hooks::fail_nth(0); mekal_clean(); model.clear(); }
};

TEST_F(NameIndex, StaysExactWhileAnotherCopyRecordsReplacesAndCleans) {
    copies::Copy other;  // its own code and index, on this program's block
    other.open(MEKAL_COPY2_PATH, RTLD_NOW | RTLD_LOCAL);
    for (int i = 0; i < 3000; ++i) ASSERT_EQ(record(i, i), 0);
    for (int round = 1; round <= 3; ++round) {
        for (int i = 0; i < 600; ++i) {
            ASSERT_EQ(record(2400 + 600 * round + i, round, &other), 0);
            ASSERT_EQ(record(i * round, -round, &other), 0);
            if (i % 50 == 0) { ASSERT_EQ(record(9000 + 50 * round + i / 50, i), 0); }
        }
        expect_exact(model.size());
    }
    ASSERT_EQ(other.clean(), 0);
    model.clear();
    expect_exact(0);
    for (int i = 0; i < 3000; ++i) ASSERT_EQ(record(i, i, i % 2 != 0 ? nullptr : &other), 0);
    expect_exact(model.size());
}

// A clean by a copy that keeps no clean count: entries released, chains and
// list emptied, `reserved` left alone. With keep_newest, the newest name is
// recorded again into the records it had, which an allocator may hand out.
void foreign_clean(bool keep_newest) {
    registry_block *block = mekal::get_registry_block();
    nameval_entry *head = block->entry_list;
    for (nameval_entry *e = keep_newest ? head->list_next : head, *next; e != nullptr; e = next) {
        next = e->list_next;
        mekal::release_entry(e);
    }
    for (nameval_entry *&chain : block->buckets) chain = nullptr;
    block->entry_list = nullptr;
    if (!keep_newest) return;
    head->list_next = head->bucket_next = nullptr;
    block->entry_list = block->buckets[mekal::name_hash(head->name)] = head;
    model[head->name] = head->value->as_int;
}

// ASan and valgrind report any read of a released entry.
TEST_F(NameIndex, ACleanThatLeavesTheCounterAloneNeverHandsOutAReleasedEntry) {
    for (const bool keep_newest : {false, true}) {
        for (int i = 0; i < 2000; ++i) ASSERT_EQ(record(i, i), 0);
        ASSERT_EQ(mekal::name_index_count(), 2000u);
        model.clear();
        foreign_clean(keep_newest);
        ASSERT_EQ(record(5, 55), 0);
        expect_exact(0, 2000);  // dropped, and the chains are too short to build it again
        mekal_clean();
    }
}

TEST_F(NameIndex, WithoutMemoryTheChainsServeUntilTheIndexCanBeBuilt) {
    for (int i = 0; i < 2000; ++i) ASSERT_EQ(record(i, i), 0);
    const alloc_hooks::Scope scope;  // in step, the index costs a replace and lookups nothing
    ASSERT_EQ(record(3, 33), 0);
    expect_exact(2000, 10);
    EXPECT_EQ(scope.allocations(), 3);  // slot, subcategory, info record
    // Slot, subcategory, info record, entry, name, then the index growing.
    for (int i = 2000; i < 5000 && mekal::name_index_count() != 0; ++i) {
        alloc_hooks::fail_nth(6);  // re-armed before each name, whether it fired or not
        ASSERT_EQ(record(i, i), 0);
    }
    alloc_hooks::fail_from(1);  // long walks count down to each new try, which fails too
    expect_exact(0, 1000);
    alloc_hooks::fail_nth(0);  // until one succeeds
    expect_exact(model.size());
}

}  // namespace
