// The registry from 1,000 to 1,000,000 names, in paired rows (see paired()
// in bench_support.h): lookups, hits and misses, against the unordered_map
// registry with a prebuilt std::string key; a scalar replace with a
// subcategory of one name (the caller's pointer repeats, as a literal
// does) against its floor, and of each name in turn against the map; and
// the cost per new name while a registry grows from empty to the size,
// against the map doing the same. Then the memory that the library's name
// index takes per entry, whose counters are the result.
//
// The 1,000,000 rows take seconds to set up: CI's smoke run filters them out.
#include <malloc.h>

#include <cstring>
#include <map>

#include "bench_support.h"

namespace bench {
namespace {

constexpr int kSizes[] = {1000, 10000, 100000, 1000000};
constexpr int kReplaceBatch = 1000;

void paired_lookup(benchmark::State &state, int size, bool hit) {
    ensure_registry(size, 0, true);
    const MapStore &store = map_with(size);
    const Keys &keys = hit ? hit_keys(size) : miss_keys(size);
    long wrong = 0;
    paired(
        state, static_cast<double>(keys.pointers.size()),
        [&] {
            return time_ns([&] {
                for (const char *key : keys.pointers) {
                    mekal_datatype_t *datatype = nullptr;
                    mekal_value_t *value = nullptr;
                    const int rc = mekal_get_nameval(key, &datatype, &value, nullptr, nullptr);
                    benchmark::DoNotOptimize(value);
                    wrong += (rc == 0) != hit;
                }
            });
        },
        [&] {
            return time_ns([&] {
                for (const std::string &key : keys.strings) {
                    const MapValue *v = store.find(key);
                    benchmark::DoNotOptimize(v);
                    wrong += (v != nullptr) != hit;
                }
            });
        });
    require(state, wrong == 0, "a lookup gave the wrong answer");
}

// One name again and again, replaced with an int and a subcategory,
// against the floor's blocks.
void paired_replace(benchmark::State &state, int size) {
    ensure_registry(size, 0, true);
    Held held;
    allocate_held(held, kSubcategory);
    int i = 0;
    long failures = 0;
    paired(
        state, kReplaceBatch,
        [&] {
            return time_ns([&] {
                for (int b = 0; b < kReplaceBatch; ++b)
                    failures += mekal_namevalue(fixed::kIntSub, mekal_category_general,
                                                kSubcategory, "%d", i++) != 0;
            });
        },
        [&] {
            return time_ns([&] {
                for (int b = 0; b < kReplaceBatch; ++b) {
                    free_held(held);
                    allocate_held(held, kSubcategory);
                    held.slot->as_int = i++;
                    benchmark::DoNotOptimize(held);
                }
            });
        });
    free_held(held);
    require(state, failures == 0, "recording failed");
}

// Each of the hit keys in turn replaced the same way, so every replace
// finds its name anew, against the map doing the same.
void paired_replace_cycled(benchmark::State &state, int size) {
    ensure_registry(size, 0, true);
    MapStore &store = const_cast<MapStore &>(map_with(size));
    const Keys &keys = hit_keys(size);
    int i = 0;
    long failures = 0;
    paired(
        state, static_cast<double>(keys.pointers.size()),
        [&] {
            return time_ns([&] {
                for (const char *key : keys.pointers)
                    failures += mekal_namevalue(key, mekal_category_general, kSubcategory, "%d",
                                                i++) != 0;
            });
        },
        [&] {
            return time_ns([&] {
                for (const char *key : keys.pointers)
                    store.record_int(key, mekal_category_general, kSubcategory, i++);
                benchmark::ClobberMemory();
            });
        });
    require(state, failures == 0, "recording failed");
}

const std::vector<std::string> &all_names(int size) {
    static std::map<int, std::vector<std::string>> cache;
    auto it = cache.find(size);
    if (it == cache.end()) it = cache.emplace(size, make_names(0, size)).first;
    return it->second;
}

// Each round records `size` new names into an emptied registry and into an
// emptied map; the emptying is not timed.
void paired_grow(benchmark::State &state, int size) {
    const std::vector<std::string> &names = all_names(size);
    invalidate_registry();
    MapStore store;
    long failures = 0;
    paired(
        state, size,
        [&] {
            mekal_clean();
            return time_ns([&] {
                int i = 0;
                for (const std::string &name : names)
                    failures += mekal_namevalue(name.c_str(), mekal_category_general,
                                                kSubcategory, "%d", i++) != 0;
            });
        },
        [&] {
            store.map().clear();
            return time_ns([&] {
                int i = 0;
                for (const std::string &name : names)
                    store.record_int(name.c_str(), mekal_category_general, kSubcategory, i++);
                benchmark::ClobberMemory();
            });
        });
    mekal_clean();
    require(state, failures == 0, "recording failed");
}

// Heap bytes in use, large blocks (the index's slots) included.
size_t heap_in_use() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// glibc's size word in front of each block.
size_t with_header(const void *block) {
    return malloc_usable_size(const_cast<void *>(block)) + sizeof(size_t);
}

// What the heap grew by while `size` names were recorded, less the blocks
// of the entries themselves (found through the block): the index.
void index_memory(benchmark::State &state, int size) {
    const std::vector<std::string> &names = all_names(size);
    invalidate_registry();
    size_t index_bytes = 0;
    for (auto _ : state) {
        mekal_clean();
        const size_t before = heap_in_use();
        int i = 0;
        for (const std::string &name : names)
            mekal_namevalue(name.c_str(), mekal_category_general, kSubcategory, "%d", i++);
        const size_t grown = heap_in_use() - before;
        size_t entries = 0;
        for (const nameval_entry *e = shared_block()->entry_list; e != nullptr; e = e->list_next)
            entries += with_header(e) + with_header(e->name) + with_header(e->subcategory) +
                       with_header(e->info) + with_header(e->value);
        index_bytes = grown - entries;
    }
    mekal_clean();
    state.counters["index_bytes_per_entry"] = static_cast<double>(index_bytes) / size;
}

[[maybe_unused]] const bool registered = [] {
    for (const int n : kSizes) {
        benchmark::RegisterBenchmark(run_name("paired", "lookup_hit", n).c_str(), paired_lookup, n,
                                     true);
        benchmark::RegisterBenchmark(run_name("paired", "lookup_miss", n).c_str(), paired_lookup,
                                     n, false);
        benchmark::RegisterBenchmark(run_name("paired", "replace_int_sub", n).c_str(),
                                     paired_replace, n);
        benchmark::RegisterBenchmark(run_name("paired", "replace_cycled", n).c_str(),
                                     paired_replace_cycled, n);
        benchmark::RegisterBenchmark(run_name("paired", "grow", n).c_str(), paired_grow, n);
        benchmark::RegisterBenchmark(run_name("mekal", "index_memory", n).c_str(), index_memory, n)
            ->Iterations(1)
            ->Repetitions(1);
    }
    return true;
}();

}  // namespace
}  // namespace bench
