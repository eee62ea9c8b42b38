// Shared pieces of the benchmarks: value names shaped like real ones, one
// registry state that is rebuilt only when a benchmark needs another, and the
// std::unordered_map registry an application would write instead of mekal.
//
// Naming: "mekal/<what>" measures libmekal.so, "floor/<what>" the
// irreducible work of the same operation, "map/<what>" (and "map_cstr/")
// the unordered_map registry. bench/report.py pairs the rows by <what>.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
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

}  // namespace bench
