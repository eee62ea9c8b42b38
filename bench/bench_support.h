// Shared pieces of the benchmarks: value names shaped like real ones, one
// registry state that is rebuilt only when a benchmark needs another, and the
// std::unordered_map registry an application would write instead of mekal.
//
// Naming: "mekal/<what>" measures libmekal.so, "floor/<what>" the
// irreducible work of the same operation, "map/<what>" (and "map_cstr/")
// the unordered_map registry. bench/report.py pairs the rows by <what>.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "mekal.h"
#include "registry/registry.h"

namespace bench {

// Names "<group>.<quantity>.<index>" for the indexes [first, first + count):
// 14 to 28 bytes, many sharing long prefixes, as recorded metadata does.
std::vector<std::string> make_names(int first, int count);

// Names the replace benchmarks record: 16 bytes each, with an 8-byte
// subcategory, so the memory figure and the timings describe one entry.
namespace fixed {
inline constexpr const char *kIntSub = "solver.iters.042";
inline constexpr const char *kIntNoSub = "solver.iters.nos";
inline constexpr const char *kText = "solver.label.txt";
inline constexpr const char *kSet = "solver.hist.ints";
inline constexpr const char *kTuple = "solver.tuple.nst";
inline constexpr const char *kRefSet = "solver.refs.ints";
}  // namespace fixed
inline constexpr const char *kSubcategory = "numerics";

// A 32-byte text, 16 ints, and a packed "((%d,%s),{%f})" value (counts 2, 2, 3).
extern const char kSampleText[33];
const int *sample_ints();  // 16 ints, alive for the whole run
inline constexpr int kSampleIntCount = 16;
const unsigned char *sample_tuple();  // 4 + 8 + 3 * 8 = 36 packed bytes
inline constexpr const char *kTupleType = "((%d,%s),{%f})";

// Brings the shared registry to `names` generated names (indexes 0 to
// names - 1), the fixed names above recorded halfway through when
// with_fixed, and `observers` counting observers. Does nothing when the
// registry is already in that state.
void ensure_registry(int names, int observers, bool with_fixed);
// For a benchmark that leaves the registry in any other state.
void invalidate_registry();
// Calls received so far by the counting observers.
long observer_calls();

// The block the library resolved, for the floors that walk its chains.
registry_block *shared_block();
// Its chain table, or nullptr when the block keeps no shared chains.
nameval_entry **shared_chains();

// "<kind>/<what>/<n>". Built by appending: GCC 12 warns falsely (-Wrestrict)
// on a literal added to a temporary string.
inline std::string run_name(std::string_view kind, std::string_view what, int n) {
    std::string name(kind);
    name += '/';
    name += what;
    name += '/';
    name += std::to_string(n);
    return name;
}

// Fails the benchmark, once, when check is false.
inline bool require(benchmark::State &state, bool check, const char *what) {
    if (!check) state.SkipWithError(what);
    return check;
}

// ------------------------------------------------------------ paired rows

// Nanoseconds that op takes.
template <typename Op>
inline double time_ns(Op op) {
    const auto start = std::chrono::steady_clock::now();
    op();
    return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start)
        .count();
}

// "paired/<what>": one benchmark that alternates a batch of the measured
// operation with a batch of its floor (or the map), in turn first and
// second, so that both run on the same CPU at nearly the same moment: the
// vCPUs of a shared machine differ in speed by half from moment to moment,
// which unpaired rows take for the library's cost. Each round (benchmark
// iteration) gives one ratio. measured and floor run one batch and return
// the nanoseconds of their timed part (setup they need stays outside it).
// Counters: ratio, the median over the rounds of this repetition; mekal_ns
// and floor_ns, the mean per operation.
template <typename Measured, typename Floor>
void paired(benchmark::State &state, double ops_per_batch, Measured measured, Floor floor) {
    std::vector<double> ratios;
    double measured_ns = 0, floor_ns = 0;
    bool floor_first = false;
    for (auto _ : state) {
        double m, f;
        if (floor_first) {
            f = floor();
            m = measured();
        } else {
            m = measured();
            f = floor();
        }
        floor_first = !floor_first;
        measured_ns += m;
        floor_ns += f;
        ratios.push_back(f > 0 ? m / f : 0);
    }
    if (ratios.empty()) return;
    std::nth_element(ratios.begin(), ratios.begin() + ratios.size() / 2, ratios.end());
    const double ops = static_cast<double>(ratios.size()) * ops_per_batch;
    state.counters["ratio"] = ratios[ratios.size() / 2];
    state.counters["mekal_ns"] = measured_ns / ops;
    state.counters["floor_ns"] = floor_ns / ops;
    state.counters["rounds"] = static_cast<double>(ratios.size());
}

// --------------------------------------------------------- floor records

// The blocks a stored scalar recording owns besides the entry itself.
struct Held {
    mekal_value_t *slot = nullptr;
    char *subcategory = nullptr;
    mekal_value_info_t *info = nullptr;
};

inline void free_held(Held &held) {
    std::free(held.slot);
    std::free(held.subcategory);
    std::free(held.info);
    held = Held{};
}

// Zero-filled records the cheapest way: glibc's calloc skips the per-thread
// cache that malloc uses, and a small record is cleared in a store or two.
template <typename T>
inline T *zeroed() {
    auto *record = static_cast<T *>(std::malloc(sizeof(T)));
    *record = T{};
    return record;
}

// The irreducible part of storing one recording: a zero-filled slot, the
// subcategory copy, a zero-filled info record and the clock.
inline void allocate_held(Held &held, const char *subcategory) {
    held.slot = zeroed<mekal_value_t>();
    held.subcategory = subcategory ? strdup(subcategory) : nullptr;
    held.info = zeroed<mekal_value_info_t>();
    held.info->category = mekal_category_general;
    held.info->subcategory = held.subcategory;
    clock_gettime(CLOCK_REALTIME, &held.info->timestamp);
}

// ------------------------------------------------------------ map registry

// What an application keeps per name when it writes its own registry: the
// same facts as an entry and its info record, with owned text and elements.
struct MapValue {
    mekal_category_t category = 0;
    bool has_subcategory = false;
    std::string subcategory;
    mekal_value_t value{};
    mekal_datatype_t *datatype = nullptr;
    std::string text;
    std::vector<mekal_value_t> elements;
    struct timespec timestamp{};
};

// Transparent, so a const char * name is looked up without building a key.
struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

class MapStore {
public:
    using Map = std::unordered_map<std::string, MapValue, NameHash, std::equal_to<>>;

    void record_int(const char *name, mekal_category_t category, const char *subcategory, int v) {
        MapValue &slot = stamp(name, category, subcategory);
        slot.value.as_long = 0;
        slot.value.as_int = v;
        slot.datatype = mekal_get_basetype(mekal_type_int);
    }

    void record_text(const char *name, mekal_category_t category, const char *subcategory,
                     const char *text) {
        MapValue &slot = stamp(name, category, subcategory);
        slot.text.assign(text);
        slot.value.as_ptr = slot.text.data();
        slot.datatype = mekal_get_basetype(mekal_type_string);
    }

    void record_ints(const char *name, mekal_category_t category, const char *subcategory,
                     const int *ints, int count) {
        MapValue &slot = stamp(name, category, subcategory);
        slot.elements.resize(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) slot.elements[static_cast<size_t>(i)].as_int = ints[i];
        slot.value.as_ptr = slot.elements.data();
        slot.datatype = nullptr;  // an application would keep its own set type here
    }

    const MapValue *find(const std::string &name) const {
        auto it = map_.find(name);
        return it == map_.end() ? nullptr : &it->second;
    }
    const MapValue *find(const char *name) const {
        auto it = map_.find(std::string_view(name));
        return it == map_.end() ? nullptr : &it->second;
    }

    Map &map() { return map_; }

private:
    MapValue &stamp(const char *name, mekal_category_t category, const char *subcategory) {
        auto it = map_.find(std::string_view(name));
        if (it == map_.end()) it = map_.try_emplace(std::string(name)).first;
        MapValue &slot = it->second;
        slot.category = category;
        slot.has_subcategory = subcategory != nullptr;
        if (subcategory != nullptr) slot.subcategory.assign(subcategory);
        else slot.subcategory.clear();
        clock_gettime(CLOCK_REALTIME, &slot.timestamp);
        return slot;
    }

    Map map_;
};

// ------------------------------------------------------------ lookup keys

// Keys for lookups: each name as a std::string and as the const char * of
// that string.
struct Keys {
    std::vector<std::string> strings;
    std::vector<const char *> pointers;
};
inline constexpr size_t kMaxKeys = 4096;  // distinct keys cycled through per benchmark
// Up to kMaxKeys of the names of a registry of `population`, in a fixed
// random order, so consecutive lookups land in different chains and at
// different depths.
const Keys &hit_keys(int population);
// 1,024 names of the same shape that were never recorded.
const Keys &miss_keys(int population);
// The unordered_map registry holding the names of a registry of `population`.
const MapStore &map_with(int population);

}  // namespace bench
