// Dispatch of one recording to 0, 1, 8 and 64 observers. A control event
// through the raw entry is dispatch alone (nothing is stored); the scalar
// replace shows what the observers add to a real recording. The floor walks
// the library's own observer list with the same filters and one indirect
// call per observer.
#include "bench_support.h"

namespace bench {
namespace {

constexpr int kObserverCounts[] = {0, 1, 8, 64};
constexpr int kPopulation = 100;

bool check_calls(benchmark::State &state, long before, int observers) {
    const long expected = static_cast<long>(state.iterations()) * observers;
    return require(state, observer_calls() - before == expected, "observers missed events");
}

void mekal_dispatch_control(benchmark::State &state, int observers) {
    ensure_registry(kPopulation, observers, true);
    mekal_value_t value;
    value.as_long = 0;
    mekal_datatype_t *datatype = mekal_get_basetype(mekal_type_int);
    const long before = observer_calls();
    for (auto _ : state) {
        // A control event stays the caller's: the stack slot is fine.
        mekal_raw_namevalue("progress", mekal_category_control, nullptr, &value, datatype);
        ++value.as_int;
    }
    check_calls(state, before, observers);
}

void floor_dispatch_control(benchmark::State &state, int observers) {
    ensure_registry(kPopulation, observers, true);
    registry_block *block = shared_block();
    mekal_value_t value;
    value.as_long = 0;
    mekal_datatype_t *datatype = mekal_get_basetype(mekal_type_int);
    const long before = observer_calls();
    for (auto _ : state) {
        for (const observer *o = *block->observer_head_slot; o != nullptr; o = o->next) {
            if ((o->report_all != 0 || block->is_reporter != 0) &&
                (o->category == mekal_category_all || o->category == mekal_category_control) &&
                o->nameval_cb != nullptr)
                o->nameval_cb("progress", mekal_category_control, nullptr, &value, datatype,
                              o->opaque);
        }
        ++value.as_int;
        benchmark::ClobberMemory();
    }
    check_calls(state, before, observers);
}

void mekal_dispatch_replace(benchmark::State &state, int observers) {
    ensure_registry(kPopulation, observers, true);
    int i = 0;
    long failures = 0;
    const long before = observer_calls();
    for (auto _ : state)
        failures += mekal_namevalue(fixed::kIntSub, mekal_category_general, kSubcategory, "%d", i++) != 0;
    require(state, failures == 0, "recording failed");
    check_calls(state, before, observers);
}

[[maybe_unused]] const bool registered = [] {
    for (const int n : kObserverCounts) {
        benchmark::RegisterBenchmark(run_name("mekal", "dispatch_control", n).c_str(),
                                     mekal_dispatch_control, n);
        benchmark::RegisterBenchmark(run_name("floor", "dispatch_control", n).c_str(),
                                     floor_dispatch_control, n);
        benchmark::RegisterBenchmark(run_name("mekal", "dispatch_replace", n).c_str(),
                                     mekal_dispatch_replace, n);
    }
    return true;
}();

}  // namespace
}  // namespace bench
