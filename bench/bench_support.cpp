#include "bench_support.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <random>

namespace bench {
namespace {

constexpr const char *kGroups[] = {"solver", "mesh", "io", "run", "gpu", "timer",
                                   "config", "stats", "net", "cache", "fft", "linalg"};
constexpr const char *kQuantities[] = {
    "iterations", "residual", "elements", "bytes_read", "bytes_written", "tolerance",
    "threads", "ranks", "wall", "peak_memory", "hits", "misses", "nodes", "faces",
    "restarts", "seed"};
constexpr int kGroupCount = sizeof(kGroups) / sizeof(kGroups[0]);
constexpr int kQuantityCount = sizeof(kQuantities) / sizeof(kQuantities[0]);

struct RegistryState {
    int names = -1;  // -1: unknown, rebuild on the next request
    int observers = 0;
    bool with_fixed = false;
};
RegistryState current;
long calls = 0;

void count_call(const char *, mekal_category_t, const char *, mekal_value_t *,
                mekal_datatype_t *, void *opaque) {
    ++*static_cast<long *>(opaque);
}

void record_fixed() {
    mekal_namevalue(fixed::kIntSub, mekal_category_general, kSubcategory, "%d", 1);
    mekal_namevalue(fixed::kIntNoSub, mekal_category_general, nullptr, "%d", 1);
    mekal_namevalue(fixed::kText, mekal_category_general, kSubcategory, "%s", kSampleText);
    mekal_namevalue(fixed::kSet, mekal_category_general, kSubcategory, "[%d]", sample_ints(),
                    kSampleIntCount);
    mekal_namevalue(fixed::kTuple, mekal_category_general, kSubcategory, kTupleType,
                    sample_tuple(), 2, 2, 3);
    mekal_namevalue(fixed::kRefSet, mekal_category_general, kSubcategory, "&[%d]",
                    sample_ints(), kSampleIntCount);
}

}  // namespace

const char kSampleText[33] = "conjugate-gradient/jacobi/ilu(0)";
static_assert(sizeof(kSampleText) == 33, "a 32-byte text");

const int *sample_ints() {
    static const std::array<int, kSampleIntCount> ints = {3,  1,  4,  1,  5,  9,  2,  6,
                                                          5,  3,  5,  8,  9,  7,  9,  3};
    return ints.data();
}

const unsigned char *sample_tuple() {
    // Packed: int, text pointer, then the list's three doubles, no padding.
    static const std::array<unsigned char, 36> packed = [] {
        std::array<unsigned char, 36> bytes{};
        const int iterations = 500;
        const char *method = "cg";
        const double residuals[3] = {1.0e-3, 2.5e-6, 7.0e-9};
        std::memcpy(bytes.data(), &iterations, 4);
        std::memcpy(bytes.data() + 4, &method, 8);
        std::memcpy(bytes.data() + 12, residuals, 24);
        return bytes;
    }();
    return packed.data();
}

std::vector<std::string> make_names(int first, int count) {
    std::vector<std::string> names;
    names.reserve(static_cast<size_t>(count));
    for (int i = first; i < first + count; ++i) {
        std::string name = kGroups[i % kGroupCount];
        name += '.';
        name += kQuantities[(i / kGroupCount) % kQuantityCount];
        name += '.';
        name += std::to_string(i);
        names.push_back(std::move(name));
    }
    return names;
}

void ensure_registry(int names, int observers, bool with_fixed) {
    if (current.names == names && current.observers == observers &&
        current.with_fixed == with_fixed)
        return;
    mekal_clean();
    const std::vector<std::string> list = make_names(0, names);
    for (int i = 0; i < names; ++i) {
        if (with_fixed && i == names / 2) record_fixed();
        mekal_namevalue(list[static_cast<size_t>(i)].c_str(), mekal_category_general, "bench",
                        "%d", i);
    }
    if (with_fixed && names == 0) record_fixed();
    for (int i = 0; i < observers; ++i) mekal_register_cb(1, mekal_category_all, count_call, 0, &calls);
    current = RegistryState{names, observers, with_fixed};
}

void invalidate_registry() { current.names = -1; }

long observer_calls() { return calls; }

registry_block *shared_block() { return melsys_get_public_mekal_symbol(); }

nameval_entry **shared_chains() {
    registry_block *block = shared_block();
    // Blocks of version 0 or below keep per-copy chains out of reach here.
    if (block == nullptr || block->version <= 0) return nullptr;
    return block->buckets;
}

namespace {

Keys make_keys(std::vector<std::string> names) {
    Keys keys;
    keys.strings = std::move(names);
    for (const std::string &s : keys.strings) keys.pointers.push_back(s.c_str());
    return keys;
}

}  // namespace

const Keys &hit_keys(int population) {
    static std::map<int, Keys> cache;
    auto it = cache.find(population);
    if (it != cache.end()) return it->second;
    std::vector<std::string> names = make_names(0, population);
    std::shuffle(names.begin(), names.end(), std::mt19937(12345));
    if (names.size() > kMaxKeys) names.resize(kMaxKeys);
    return cache.emplace(population, make_keys(std::move(names))).first->second;
}

const Keys &miss_keys(int population) {
    static std::map<int, Keys> cache;
    auto it = cache.find(population);
    if (it != cache.end()) return it->second;
    return cache.emplace(population, make_keys(make_names(population, 1024))).first->second;
}

const MapStore &map_with(int population) {
    static std::map<int, MapStore> cache;
    auto it = cache.find(population);
    if (it != cache.end()) return it->second;
    MapStore &store = cache[population];
    int i = 0;
    for (const std::string &name : make_names(0, population))
        store.record_int(name.c_str(), mekal_category_general, "bench", i++);
    return store;
}

}  // namespace bench
