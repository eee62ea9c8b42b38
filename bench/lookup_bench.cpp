// Lookups by name, hits and misses, in registries of 10, 1,000 and 100,000
// names, and a full listing of 1,000 names. The floor of a lookup is the
// hash and the strcmp walk of one chain of the library's own table; the map
// rows look the same names up in an unordered_map, with a prebuilt
// std::string key ("map/") and straight from the const char * ("map_cstr/").
// The paired rows, up to 1,000,000 names, are in scale_bench.cpp.
#include <cstring>

#include "bench_support.h"

namespace bench {
namespace {

constexpr int kPopulations[] = {10, 1000, 100000};
// One chain walk as the store must do it: djb2 over the bytes, the low seven
// bits pick the chain, strcmp against each entry's name.
inline const nameval_entry *floor_find(nameval_entry *const *chains, const char *name) {
    uint64_t h = 5381;
    for (auto *p = reinterpret_cast<const unsigned char *>(name); *p; ++p) h = h * 33 + *p;
    const nameval_entry *e = chains[h & 127];
    while (e != nullptr && std::strcmp(e->name, name) != 0) e = e->bucket_next;
    return e;
}

void mekal_lookup(benchmark::State &state, int population, bool hit) {
    ensure_registry(population, 0, false);
    const Keys &keys = hit ? hit_keys(population) : miss_keys(population);
    const int expected = hit ? 0 : -1;
    size_t i = 0;
    long wrong = 0;
    for (auto _ : state) {
        mekal_datatype_t *datatype = nullptr;
        mekal_value_t *value = nullptr;
        const int rc = mekal_get_nameval(keys.pointers[i], &datatype, &value, nullptr, nullptr);
        benchmark::DoNotOptimize(datatype);
        benchmark::DoNotOptimize(value);
        wrong += rc != expected;
        if (++i == keys.pointers.size()) i = 0;
    }
    require(state, wrong == 0, "lookup gave the wrong answer");
    state.counters["avg_chain"] = static_cast<double>(population) / kBucketCount;
}

void floor_lookup(benchmark::State &state, int population, bool hit) {
    ensure_registry(population, 0, false);
    nameval_entry *const *chains = shared_chains();
    if (!require(state, chains != nullptr, "no shared chain table")) return;
    const Keys &keys = hit ? hit_keys(population) : miss_keys(population);
    size_t i = 0;
    long wrong = 0;
    for (auto _ : state) {
        const nameval_entry *e = floor_find(chains, keys.pointers[i]);
        benchmark::DoNotOptimize(e);
        wrong += (e != nullptr) != hit;
        if (++i == keys.pointers.size()) i = 0;
    }
    require(state, wrong == 0, "chain walk gave the wrong answer");
}

void map_lookup(benchmark::State &state, int population, bool hit) {
    const MapStore &store = map_with(population);
    const Keys &keys = hit ? hit_keys(population) : miss_keys(population);
    size_t i = 0;
    long wrong = 0;
    for (auto _ : state) {
        const MapValue *v = store.find(keys.strings[i]);
        benchmark::DoNotOptimize(v);
        wrong += (v != nullptr) != hit;
        if (++i == keys.strings.size()) i = 0;
    }
    require(state, wrong == 0, "map lookup gave the wrong answer");
}

void map_cstr_lookup(benchmark::State &state, int population, bool hit) {
    const MapStore &store = map_with(population);
    const Keys &keys = hit ? hit_keys(population) : miss_keys(population);
    size_t i = 0;
    long wrong = 0;
    for (auto _ : state) {
        const MapValue *v = store.find(keys.pointers[i]);
        benchmark::DoNotOptimize(v);
        wrong += (v != nullptr) != hit;
        if (++i == keys.pointers.size()) i = 0;
    }
    require(state, wrong == 0, "map lookup gave the wrong answer");
}

// ---------------------------------------------------------------- listing

constexpr int kListed = 1000;

void sum_values(const char *, mekal_category_t, const char *, mekal_value_t *value,
                mekal_datatype_t *, void *opaque) {
    *static_cast<long *>(opaque) += value->as_int;
}

long expected_sum() { return static_cast<long>(kListed) * (kListed - 1) / 2; }

void mekal_list(benchmark::State &state) {
    ensure_registry(kListed, 0, false);
    long wrong = 0;
    for (auto _ : state) {
        long sum = 0;
        mekal_list_namevals(0, mekal_category_all, sum_values, &sum);
        wrong += sum != expected_sum();
    }
    require(state, wrong == 0, "listing missed entries");
}

// The walk of the entry list with one indirect call per entry.
void floor_list(benchmark::State &state) {
    ensure_registry(kListed, 0, false);
    registry_block *block = shared_block();
    mekal_nameval_cb_t cb = sum_values;
    benchmark::DoNotOptimize(cb);
    long wrong = 0;
    for (auto _ : state) {
        long sum = 0;
        for (const nameval_entry *e = block->entry_list; e != nullptr; e = e->list_next)
            cb(e->name, e->category, e->subcategory, e->value, e->datatype, &sum);
        wrong += sum != expected_sum();
    }
    require(state, wrong == 0, "walk missed entries");
}

void map_list(benchmark::State &state) {
    MapStore &store = const_cast<MapStore &>(map_with(kListed));
    mekal_nameval_cb_t cb = sum_values;
    benchmark::DoNotOptimize(cb);
    long wrong = 0;
    for (auto _ : state) {
        long sum = 0;
        for (auto &[name, v] : store.map())
            cb(name.c_str(), v.category, v.has_subcategory ? v.subcategory.c_str() : nullptr,
               &v.value, v.datatype, &sum);
        wrong += sum != expected_sum();
    }
    require(state, wrong == 0, "map walk missed entries");
}

// Registered population by population so that each registry is built once.
[[maybe_unused]] const bool registered = [] {
    for (const int n : kPopulations) {
        for (const char *what : {"lookup_hit", "lookup_miss"}) {
            const bool hit = std::strcmp(what, "lookup_hit") == 0;
            benchmark::RegisterBenchmark(run_name("mekal", what, n).c_str(), mekal_lookup, n, hit);
            benchmark::RegisterBenchmark(run_name("floor", what, n).c_str(), floor_lookup, n, hit);
            benchmark::RegisterBenchmark(run_name("map", what, n).c_str(), map_lookup, n, hit);
            benchmark::RegisterBenchmark(run_name("map_cstr", what, n).c_str(), map_cstr_lookup, n,
                                         hit);
        }
        if (n == kListed) {
            benchmark::RegisterBenchmark("mekal/list/1000", mekal_list);
            benchmark::RegisterBenchmark("floor/list/1000", floor_list);
            benchmark::RegisterBenchmark("map/list/1000", map_list);
        }
    }
    return true;
}();

}  // namespace
}  // namespace bench
