// Memory per entry: a 16-byte name, an 8-byte subcategory and an "%d" value.
// For the registry the blocks of one entry are found through the block and
// measured with malloc_usable_size; for both the registry and the map the
// allocator's own count (mallinfo2) over 10,000 such entries gives the
// average, chain or bucket tables included. The timings of these rows mean
// nothing; the counters are the result.
#include <malloc.h>

#include <cstdio>
#include <cstring>

#include "bench_support.h"

namespace bench {
namespace {

constexpr int kEntries = 10000;

// "mem.entry.000123": 16 bytes each.
std::vector<std::string> sixteen_byte_names(int count) {
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
        char name[17];
        std::snprintf(name, sizeof name, "mem.entry.%06d", i);
        names.emplace_back(name);
    }
    return names;
}

size_t in_use() { return mallinfo2().uordblks; }

// glibc keeps one size word in front of every block it hands out.
constexpr size_t kBlockHeader = sizeof(size_t);

void mekal_memory_per_entry(benchmark::State &state) {
    ensure_registry(0, 0, false);
    invalidate_registry();
    static_assert(sizeof("solver.iters.042") == 17 && sizeof("numerics") == 9);
    mekal_namevalue(fixed::kIntSub, mekal_category_general, kSubcategory, "%d", 42);
    registry_block *block = shared_block();
    const nameval_entry *e = block->entry_list;
    if (!require(state, e != nullptr && std::strcmp(e->name, fixed::kIntSub) == 0,
                 "entry not found"))
        return;
    const size_t requested = sizeof(nameval_entry) + std::strlen(e->name) + 1 +
                             std::strlen(e->subcategory) + 1 + sizeof(mekal_value_info_t) +
                             sizeof(mekal_value_t);
    size_t usable = 0;
    const void *blocks[] = {e, e->name, e->subcategory, e->info, e->value};
    for (const void *b : blocks) usable += malloc_usable_size(const_cast<void *>(b));
    const double block_count = sizeof(blocks) / sizeof(blocks[0]);
    mekal_clean();

    const std::vector<std::string> names = sixteen_byte_names(kEntries);
    size_t before = 0;
    size_t after = 0;
    for (auto _ : state) {
        mekal_clean();
        before = in_use();
        for (int i = 0; i < kEntries; ++i)
            mekal_namevalue(names[static_cast<size_t>(i)].c_str(), mekal_category_general,
                            kSubcategory, "%d", i);
        after = in_use();
    }
    mekal_clean();
    state.counters["blocks"] = block_count;
    state.counters["bytes_requested"] = static_cast<double>(requested);
    state.counters["bytes_usable"] = static_cast<double>(usable);
    state.counters["bytes_with_headers"] = static_cast<double>(usable) + block_count * kBlockHeader;
    state.counters["bytes_avg_10k"] = static_cast<double>(after - before) / kEntries;
}
BENCHMARK(mekal_memory_per_entry)->Name("mekal/memory_per_entry")->Iterations(1)->Repetitions(1);

void map_memory_per_entry(benchmark::State &state) {
    const std::vector<std::string> names = sixteen_byte_names(kEntries);
    size_t before = 0;
    size_t after = 0;
    for (auto _ : state) {
        auto *store = new MapStore;
        before = in_use();
        for (int i = 0; i < kEntries; ++i)
            store->record_int(names[static_cast<size_t>(i)].c_str(), mekal_category_general,
                              kSubcategory, i);
        after = in_use();
        delete store;
    }
    // The node: next pointer, key, value and the cached hash; the 16-byte key
    // is one byte too long for the string's inline buffer.
    constexpr size_t node = sizeof(void *) + sizeof(std::pair<const std::string, MapValue>) + sizeof(size_t);
    state.counters["bytes_requested"] = static_cast<double>(node + 17);
    state.counters["blocks"] = 2;
    state.counters["bytes_avg_10k"] = static_cast<double>(after - before) / kEntries;
}
BENCHMARK(map_memory_per_entry)->Name("map/memory_per_entry")->Iterations(1)->Repetitions(1);

}  // namespace
}  // namespace bench
