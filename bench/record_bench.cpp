// Recording: a new name, and replacing the value of a recorded name with a
// scalar, a text, a copied set, a nested tuple and a reference set. Each
// replace runs in a registry of kPopulation names and is followed by its
// floor (the blocks the registry must free and allocate at the least, and the
// clock read) and, where an application could keep the value in a map, by
// the unordered_map registry doing the same replace.
#include <cstdlib>
#include <cstring>

#include "bench_support.h"

namespace bench {
namespace {

constexpr int kPopulation = 100;
constexpr size_t kBatch = 1024;  // new names per registry, cleaned between batches

inline void *zeroed_block(size_t size) {
    void *block = std::malloc(size);
    std::memset(block, 0, size);
    return block;
}

MapStore &replace_map() {
    static MapStore store = [] {
        MapStore s;
        for (const std::string &name : make_names(0, kPopulation))
            s.record_int(name.c_str(), mekal_category_general, "bench", 0);
        s.record_int(fixed::kIntSub, mekal_category_general, kSubcategory, 1);
        s.record_int(fixed::kIntNoSub, mekal_category_general, nullptr, 1);
        s.record_text(fixed::kText, mekal_category_general, kSubcategory, kSampleText);
        s.record_ints(fixed::kSet, mekal_category_general, kSubcategory, sample_ints(),
                      kSampleIntCount);
        return s;
    }();
    return store;
}

// ------------------------------------------------------------- new names

void mekal_record_new_name(benchmark::State &state) {
    static const std::vector<std::string> names = make_names(1000000, kBatch);
    ensure_registry(0, 0, false);
    invalidate_registry();
    size_t i = 0;
    long failures = 0;
    for (auto _ : state) {
        if (i == kBatch) {
            state.PauseTiming();
            mekal_clean();
            state.ResumeTiming();
            i = 0;
        }
        failures += mekal_namevalue(names[i].c_str(), mekal_category_general, kSubcategory,
                                    "%d", static_cast<int>(i)) != 0;
        ++i;
    }
    mekal_clean();
    require(state, failures == 0, "recording failed");
}
BENCHMARK(mekal_record_new_name)->Name("mekal/record_new_name");

void floor_record_new_name(benchmark::State &state) {
    static const std::vector<std::string> names = make_names(1000000, kBatch);
    struct Fresh {
        nameval_entry *entry;
        Held held;
    };
    std::vector<Fresh> made(kBatch);
    size_t i = 0;
    auto release_batch = [&] {
        for (size_t k = 0; k < i; ++k) {
            std::free(made[k].entry->name);
            std::free(made[k].entry);
            free_held(made[k].held);
        }
    };
    for (auto _ : state) {
        if (i == kBatch) {
            state.PauseTiming();
            release_batch();
            state.ResumeTiming();
            i = 0;
        }
        Fresh &f = made[i];
        f.entry = zeroed<nameval_entry>();
        f.entry->name = strdup(names[i].c_str());
        allocate_held(f.held, kSubcategory);
        f.held.slot->as_int = static_cast<int>(i);
        benchmark::DoNotOptimize(f);
        ++i;
    }
    release_batch();
}
BENCHMARK(floor_record_new_name)->Name("floor/record_new_name");

void map_record_new_name(benchmark::State &state) {
    static const std::vector<std::string> names = make_names(1000000, kBatch);
    MapStore store;
    size_t i = 0;
    for (auto _ : state) {
        if (i == kBatch) {
            state.PauseTiming();
            store.map().clear();
            state.ResumeTiming();
            i = 0;
        }
        store.record_int(names[i].c_str(), mekal_category_general, kSubcategory,
                         static_cast<int>(i));
        ++i;
    }
    benchmark::DoNotOptimize(store.map().size());
}
BENCHMARK(map_record_new_name)->Name("map/record_new_name");

// ------------------------------------------------------------ scalar

void mekal_replace_int_sub(benchmark::State &state) {
    ensure_registry(kPopulation, 0, true);
    int i = 0;
    long failures = 0;
    for (auto _ : state)
        failures += mekal_namevalue(fixed::kIntSub, mekal_category_general, kSubcategory, "%d", i++) != 0;
    require(state, failures == 0, "recording failed");
}
BENCHMARK(mekal_replace_int_sub)->Name("mekal/replace_int_sub");

void floor_replace_int_sub(benchmark::State &state) {
    Held held;
    allocate_held(held, kSubcategory);
    int i = 0;
    for (auto _ : state) {
        free_held(held);
        allocate_held(held, kSubcategory);
        held.slot->as_int = i++;
        benchmark::DoNotOptimize(held);
    }
    free_held(held);
}
BENCHMARK(floor_replace_int_sub)->Name("floor/replace_int_sub");

void map_replace_int_sub(benchmark::State &state) {
    MapStore &store = replace_map();
    int i = 0;
    for (auto _ : state) {
        store.record_int(fixed::kIntSub, mekal_category_general, kSubcategory, i++);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(map_replace_int_sub)->Name("map/replace_int_sub");

void mekal_replace_int_nosub(benchmark::State &state) {
    ensure_registry(kPopulation, 0, true);
    int i = 0;
    long failures = 0;
    for (auto _ : state)
        failures += mekal_namevalue(fixed::kIntNoSub, mekal_category_general, nullptr, "%d", i++) != 0;
    require(state, failures == 0, "recording failed");
}
BENCHMARK(mekal_replace_int_nosub)->Name("mekal/replace_int_nosub");

void floor_replace_int_nosub(benchmark::State &state) {
    Held held;
    allocate_held(held, nullptr);
    int i = 0;
    for (auto _ : state) {
        std::free(held.slot);
        std::free(held.info);
        allocate_held(held, nullptr);
        held.slot->as_int = i++;
        benchmark::DoNotOptimize(held);
    }
    free_held(held);
}
BENCHMARK(floor_replace_int_nosub)->Name("floor/replace_int_nosub");

void map_replace_int_nosub(benchmark::State &state) {
    MapStore &store = replace_map();
    int i = 0;
    for (auto _ : state) {
        store.record_int(fixed::kIntNoSub, mekal_category_general, nullptr, i++);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(map_replace_int_nosub)->Name("map/replace_int_nosub");

// --------------------------------------------------------------- text

void mekal_replace_text32(benchmark::State &state) {
    ensure_registry(kPopulation, 0, true);
    long failures = 0;
    for (auto _ : state)
        failures += mekal_namevalue(fixed::kText, mekal_category_general, kSubcategory, "%s",
                                    kSampleText) != 0;
    require(state, failures == 0, "recording failed");
}
BENCHMARK(mekal_replace_text32)->Name("mekal/replace_text32");

void floor_replace_text32(benchmark::State &state) {
    Held held;
    allocate_held(held, kSubcategory);
    held.slot->as_ptr = strdup(kSampleText);
    for (auto _ : state) {
        std::free(held.slot->as_ptr);
        free_held(held);
        allocate_held(held, kSubcategory);
        held.slot->as_ptr = strdup(kSampleText);
        benchmark::DoNotOptimize(held);
    }
    std::free(held.slot->as_ptr);
    free_held(held);
}
BENCHMARK(floor_replace_text32)->Name("floor/replace_text32");

void map_replace_text32(benchmark::State &state) {
    MapStore &store = replace_map();
    for (auto _ : state) {
        store.record_text(fixed::kText, mekal_category_general, kSubcategory, kSampleText);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(map_replace_text32)->Name("map/replace_text32");

// ------------------------------------------------------- set of 16 ints

void mekal_replace_set16(benchmark::State &state) {
    ensure_registry(kPopulation, 0, true);
    long failures = 0;
    for (auto _ : state)
        failures += mekal_namevalue(fixed::kSet, mekal_category_general, kSubcategory, "[%d]",
                                    sample_ints(), kSampleIntCount) != 0;
    require(state, failures == 0, "recording failed");
}
BENCHMARK(mekal_replace_set16)->Name("mekal/replace_set16");

// A copied set also owns its element array and a datatype made of a record
// and a one-entry subtype array.
struct HeldSet {
    Held held;
    mekal_value_t *elements = nullptr;
    mekal_datatype_t *datatype = nullptr;
    mekal_datatype_t **subtypes = nullptr;
};

inline void allocate_set(HeldSet &set) {
    set.datatype = zeroed<mekal_datatype_t>();
    set.subtypes = static_cast<mekal_datatype_t **>(zeroed_block(sizeof(void *)));
    allocate_held(set.held, kSubcategory);
    set.elements = static_cast<mekal_value_t *>(std::malloc(kSampleIntCount * sizeof(mekal_value_t)));
    const int *ints = sample_ints();
    for (int k = 0; k < kSampleIntCount; ++k) set.elements[k].as_int = ints[k];
    set.held.slot->as_ptr = set.elements;
}

inline void free_set(HeldSet &set) {
    std::free(set.elements);
    std::free(set.subtypes);
    std::free(set.datatype);
    free_held(set.held);
}

void floor_replace_set16(benchmark::State &state) {
    HeldSet set;
    allocate_set(set);
    for (auto _ : state) {
        free_set(set);
        allocate_set(set);
        benchmark::DoNotOptimize(set);
    }
    free_set(set);
}
BENCHMARK(floor_replace_set16)->Name("floor/replace_set16");

void map_replace_set16(benchmark::State &state) {
    MapStore &store = replace_map();
    for (auto _ : state) {
        store.record_ints(fixed::kSet, mekal_category_general, kSubcategory, sample_ints(),
                          kSampleIntCount);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(map_replace_set16)->Name("map/replace_set16");

// -------------------------------------------------------- nested tuple

void mekal_replace_tuple(benchmark::State &state) {
    ensure_registry(kPopulation, 0, true);
    long failures = 0;
    for (auto _ : state)
        failures += mekal_namevalue(fixed::kTuple, mekal_category_general, kSubcategory,
                                    kTupleType, sample_tuple(), 2, 2, 3) != 0;
    require(state, failures == 0, "recording failed");
}
BENCHMARK(mekal_replace_tuple)->Name("mekal/replace_tuple");

// "((%d,%s),{%f})" owns 13 blocks: three container records with their
// subtype arrays, the slot, the outer and inner slot arrays, the text copy,
// the list's array, the subcategory copy and the info record.
void floor_replace_tuple(benchmark::State &state) {
    constexpr size_t kSizes[] = {40, 16, 40, 16, 40, 8, 16, 16, 24};
    constexpr size_t kCount = sizeof(kSizes) / sizeof(kSizes[0]);
    void *blocks[kCount];
    char *text = nullptr;
    Held held;
    auto allocate = [&] {
        for (size_t k = 0; k < kCount; ++k) blocks[k] = zeroed_block(kSizes[k]);
        text = strdup("cg");
        allocate_held(held, kSubcategory);
    };
    allocate();
    for (auto _ : state) {
        for (void *block : blocks) std::free(block);
        std::free(text);
        free_held(held);
        allocate();
        benchmark::DoNotOptimize(blocks);
        benchmark::DoNotOptimize(text);
        benchmark::DoNotOptimize(held);
    }
    for (void *block : blocks) std::free(block);
    std::free(text);
    free_held(held);
}
BENCHMARK(floor_replace_tuple)->Name("floor/replace_tuple");

// ---------------------------------------------------------- reference set

void mekal_replace_refset16(benchmark::State &state) {
    ensure_registry(kPopulation, 0, true);
    long failures = 0;
    for (auto _ : state)
        failures += mekal_namevalue(fixed::kRefSet, mekal_category_general, kSubcategory,
                                    "&[%d]", sample_ints(), kSampleIntCount) != 0;
    require(state, failures == 0, "recording failed");
}
BENCHMARK(mekal_replace_refset16)->Name("mekal/replace_refset16");

// A reference set copies nothing: slot, subcategory, info and the datatype's
// record and subtype array.
void floor_replace_refset16(benchmark::State &state) {
    Held held;
    mekal_datatype_t *datatype = nullptr;
    mekal_datatype_t **subtypes = nullptr;
    auto allocate = [&] {
        datatype = zeroed<mekal_datatype_t>();
        subtypes = static_cast<mekal_datatype_t **>(zeroed_block(sizeof(void *)));
        allocate_held(held, kSubcategory);
        held.slot->as_ptr = const_cast<int *>(sample_ints());
    };
    allocate();
    for (auto _ : state) {
        std::free(datatype);
        std::free(subtypes);
        free_held(held);
        allocate();
        benchmark::DoNotOptimize(datatype);
        benchmark::DoNotOptimize(subtypes);
        benchmark::DoNotOptimize(held);
    }
    std::free(datatype);
    std::free(subtypes);
    free_held(held);
}
BENCHMARK(floor_replace_refset16)->Name("floor/replace_refset16");

// --------------------------------------------------------- paired rows

constexpr int kPairedBatch = 1000;

// A scalar replace of name, with or without a subcategory, against its floor.
void paired_replace_int(benchmark::State &state, const char *name, const char *subcategory) {
    ensure_registry(kPopulation, 0, true);
    Held held;
    allocate_held(held, subcategory);
    int i = 0;
    long failures = 0;
    paired(
        state, kPairedBatch,
        [&] {
            return time_ns([&] {
                for (int k = 0; k < kPairedBatch; ++k)
                    failures += mekal_namevalue(name, mekal_category_general, subcategory, "%d",
                                                i++) != 0;
            });
        },
        [&] {
            return time_ns([&] {
                for (int k = 0; k < kPairedBatch; ++k) {
                    free_held(held);
                    allocate_held(held, subcategory);
                    held.slot->as_int = i++;
                    benchmark::DoNotOptimize(held);
                }
            });
        });
    free_held(held);
    require(state, failures == 0, "recording failed");
}
BENCHMARK_CAPTURE(paired_replace_int, sub, fixed::kIntSub, kSubcategory)
    ->Name("paired/replace_int_sub");
BENCHMARK_CAPTURE(paired_replace_int, nosub, fixed::kIntNoSub, nullptr)
    ->Name("paired/replace_int_nosub");

void paired_replace_text32(benchmark::State &state) {
    ensure_registry(kPopulation, 0, true);
    Held held;
    allocate_held(held, kSubcategory);
    held.slot->as_ptr = strdup(kSampleText);
    long failures = 0;
    paired(
        state, kPairedBatch,
        [&] {
            return time_ns([&] {
                for (int k = 0; k < kPairedBatch; ++k)
                    failures += mekal_namevalue(fixed::kText, mekal_category_general, kSubcategory,
                                                "%s", kSampleText) != 0;
            });
        },
        [&] {
            return time_ns([&] {
                for (int k = 0; k < kPairedBatch; ++k) {
                    std::free(held.slot->as_ptr);
                    free_held(held);
                    allocate_held(held, kSubcategory);
                    held.slot->as_ptr = strdup(kSampleText);
                    benchmark::DoNotOptimize(held);
                }
            });
        });
    std::free(held.slot->as_ptr);
    free_held(held);
    require(state, failures == 0, "recording failed");
}
BENCHMARK(paired_replace_text32)->Name("paired/replace_text32");

}  // namespace
}  // namespace bench
