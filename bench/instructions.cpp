// Instruction counts per operation, for callgrind: `mekal_instructions OP N`
// prepares the registry for OP (OP_SIZE: a registry of SIZE names), then
// runs it N times inside run_OP, which bench/instructions.py has callgrind
// count alone (--toggle-collect). Unlike times, the counts repeat exactly
// from run to run on a shared machine.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>

#include "bench_support.h"

namespace {

using namespace bench;

std::vector<std::string> g_names;
std::vector<const char *> g_keys;
MapStore g_map;
std::vector<std::string> g_map_keys;

__attribute__((noinline)) void run_replace_int_sub(long n) {
    for (long i = 0; i < n; ++i)
        mekal_namevalue(fixed::kIntSub, mekal_category_general, kSubcategory, "%d", static_cast<int>(i));
}

// The floor of the paired row, step for step.
__attribute__((noinline)) void run_floor_replace_int_sub(long n) {
    Held held;
    allocate_held(held, kSubcategory);
    for (long i = 0; i < n; ++i) {
        free_held(held);
        allocate_held(held, kSubcategory);
        held.slot->as_int = static_cast<int>(i);
        benchmark::DoNotOptimize(held);
    }
    free_held(held);
}

__attribute__((noinline)) void run_lookup_hit(long n) {
    size_t k = 0;
    for (long i = 0; i < n; ++i) {
        mekal_value_t *value = nullptr;
        mekal_datatype_t *datatype = nullptr;
        mekal_get_nameval(g_keys[k], &datatype, &value, nullptr, nullptr);
        benchmark::DoNotOptimize(value);
        if (++k == g_keys.size()) k = 0;
    }
}

__attribute__((noinline)) void run_map_lookup_hit(long n) {
    size_t k = 0;
    for (long i = 0; i < n; ++i) {
        benchmark::DoNotOptimize(g_map.find(g_map_keys[k]));
        if (++k == g_map_keys.size()) k = 0;
    }
}

// Each of the keys in turn, so the caller's name pointer never repeats.
__attribute__((noinline)) void run_replace_cycled(long n) {
    size_t k = 0;
    for (long i = 0; i < n; ++i) {
        mekal_namevalue(g_keys[k], mekal_category_general, kSubcategory, "%d", static_cast<int>(i));
        if (++k == g_keys.size()) k = 0;
    }
}

__attribute__((noinline)) void run_record_new_name(long n) {
    for (long i = 0; i < n; ++i)
        mekal_namevalue(g_keys[static_cast<size_t>(i)], mekal_category_general, kSubcategory, "%d",
                        static_cast<int>(i));
}

void prepare_lookup(int population) {
    ensure_registry(population, 0, false);
    g_names = make_names(0, population);
    std::shuffle(g_names.begin(), g_names.end(), std::mt19937(12345));
    for (const std::string &name : g_names) g_keys.push_back(name.c_str());
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: mekal_instructions OP N\n");
        return 2;
    }
    // OP_SIZE runs OP in a registry of SIZE names.
    std::string op = argv[1];
    int size = 0;
    const size_t cut = op.find_last_of('_');
    if (cut != std::string::npos &&
        op.find_first_not_of("0123456789", cut + 1) == std::string::npos) {
        size = std::atoi(op.c_str() + cut + 1);
        op.resize(cut);
    }
    const long n = std::atol(argv[2]);
    if (op == "replace_int_sub") {
        ensure_registry(size != 0 ? size : 100, 0, true);
        run_replace_int_sub(n);
    } else if (op == "replace_cycled" && size != 0) {
        prepare_lookup(size);
        run_replace_cycled(n);
    } else if (op == "floor_replace_int_sub") {
        run_floor_replace_int_sub(n);
    } else if (op == "lookup_hit" && size != 0) {
        prepare_lookup(size);
        run_lookup_hit(n);
    } else if (op == "map_lookup_hit" && size != 0) {
        for (const std::string &name : make_names(0, size))
            g_map.record_int(name.c_str(), mekal_category_general, "bench", 0);
        g_map_keys = make_names(0, size);
        std::shuffle(g_map_keys.begin(), g_map_keys.end(), std::mt19937(12345));
        run_map_lookup_hit(n);
    } else if (op == "record_new_name") {
        ensure_registry(size != 0 ? size : 100, 0, false);
        g_names = make_names(1000000, static_cast<int>(n));
        for (const std::string &name : g_names) g_keys.push_back(name.c_str());
        run_record_new_name(n);
    } else {
        std::fprintf(stderr, "mekal_instructions: unknown operation %s\n", op.c_str());
        return 2;
    }
    mekal_clean();
    return 0;
}
