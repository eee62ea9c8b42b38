// Datatypes: parsing a type string with mekal_new_datatype, and rendering
// the result with mekal_type_to_string in the short and the long form.
// Container datatypes have no exported release; the benchmarks hand them to
// the registry with an empty slot (which the store releases when the name is
// recorded again), outside the timed part.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench_support.h"

namespace bench {
namespace {

constexpr const char *kDeepType = "[[[[[[[[[[[[[[[[%d]]]]]]]]]]]]]]]]";  // 16 sets deep
constexpr size_t kBatch = 1024;

mekal_datatype_t *make_int() { return mekal_new_datatype("%d"); }
mekal_datatype_t *make_set() { return mekal_new_datatype("[%s]", 8); }
mekal_datatype_t *make_tuple() { return mekal_new_datatype(kTupleType, 2, 2, 3); }
mekal_datatype_t *make_deep() {
    return mekal_new_datatype(kDeepType, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2);
}

// Gives a parsed datatype to the store, whose next replace releases it.
void release(mekal_datatype_t *datatype) {
    if (datatype == nullptr || datatype->type < mekal_type_range || datatype->type > mekal_type_tuple)
        return;  // static records are never released
    auto *slot = static_cast<mekal_value_t *>(std::calloc(1, sizeof(mekal_value_t)));
    mekal_raw_namevalue("bench.released_datatype", mekal_category_general, nullptr, slot, datatype);
}

template <mekal_datatype_t *(*Make)()>
void mekal_new_datatype_bench(benchmark::State &state) {
    ensure_registry(0, 0, false);
    invalidate_registry();
    std::vector<mekal_datatype_t *> made;
    made.reserve(kBatch);
    long failures = 0;
    for (auto _ : state) {
        if (made.size() == kBatch) {
            state.PauseTiming();
            for (mekal_datatype_t *d : made) release(d);
            made.clear();
            state.ResumeTiming();
        }
        mekal_datatype_t *d = Make();
        failures += d == nullptr;
        made.push_back(d);
    }
    for (mekal_datatype_t *d : made) release(d);
    mekal_clean();
    require(state, failures == 0, "the type string did not parse");
}

template <mekal_datatype_t *(*Make)(), int LongForm>
void mekal_type_to_string_bench(benchmark::State &state) {
    ensure_registry(0, 0, false);
    invalidate_registry();
    mekal_datatype_t *datatype = Make();
    if (!require(state, datatype != nullptr, "the type string did not parse")) return;
    long failures = 0;
    size_t length = 0;
    for (auto _ : state) {
        char *text = mekal_type_to_string(datatype, LongForm);
        failures += text == nullptr;
        benchmark::DoNotOptimize(text);
        if (text != nullptr) length = std::strlen(text);
        std::free(text);
    }
    release(datatype);
    mekal_clean();
    state.counters["chars"] = static_cast<double>(length);
    require(state, failures == 0, "rendering failed");
}

BENCHMARK(mekal_new_datatype_bench<make_int>)->Name("mekal/new_datatype/int");
BENCHMARK(mekal_new_datatype_bench<make_set>)->Name("mekal/new_datatype/set");
BENCHMARK(mekal_new_datatype_bench<make_tuple>)->Name("mekal/new_datatype/nested_tuple");
BENCHMARK(mekal_new_datatype_bench<make_deep>)->Name("mekal/new_datatype/depth16");

BENCHMARK_TEMPLATE2(mekal_type_to_string_bench, make_int, 0)->Name("mekal/type_to_string/int/short");
BENCHMARK_TEMPLATE2(mekal_type_to_string_bench, make_int, 1)->Name("mekal/type_to_string/int/long");
BENCHMARK_TEMPLATE2(mekal_type_to_string_bench, make_set, 0)->Name("mekal/type_to_string/set/short");
BENCHMARK_TEMPLATE2(mekal_type_to_string_bench, make_set, 1)->Name("mekal/type_to_string/set/long");
BENCHMARK_TEMPLATE2(mekal_type_to_string_bench, make_tuple, 0)->Name("mekal/type_to_string/nested_tuple/short");
BENCHMARK_TEMPLATE2(mekal_type_to_string_bench, make_tuple, 1)->Name("mekal/type_to_string/nested_tuple/long");
BENCHMARK_TEMPLATE2(mekal_type_to_string_bench, make_deep, 0)->Name("mekal/type_to_string/depth16/short");
BENCHMARK_TEMPLATE2(mekal_type_to_string_bench, make_deep, 1)->Name("mekal/type_to_string/depth16/long");

}  // namespace
}  // namespace bench
