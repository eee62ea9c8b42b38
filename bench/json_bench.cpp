// JSON rendering: the document of a registry of 1,000 mixed values through
// mekal_namevals_to_json, against nlohmann-json serialising the same
// content with dump(). The nlohmann document is the library's own output
// parsed once outside the timed loop (as ordered_json, so the members keep
// their order), which makes the two contents equal by construction.
// Throughput is in bytes of JSON written; the counter "bytes" is the size
// of one rendering.
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"

namespace bench {
namespace {

constexpr int kMixedValues = 1000;

// Ints, doubles (half with full 17-digit precision), texts, dates, time
// intervals, sets of ints and (text, double) tuples, in turn.
void record_mixed_values() {
    const std::vector<std::string> names = make_names(0, kMixedValues);
    std::mt19937_64 random(42);
    std::uniform_real_distribution<double> spread(0.0, 1000.0);
    for (int i = 0; i < kMixedValues; ++i) {
        const char *name = names[static_cast<size_t>(i)].c_str();
        const mekal_category_t category = i % 5 == 0 ? mekal_category_performance : mekal_category_general;
        switch (i % 7) {
        case 0: mekal_namevalue(name, category, kSubcategory, "%d", i * 7919); break;
        case 1:
            mekal_namevalue(name, category, kSubcategory, "%f", i % 2 ? spread(random) : i * 0.25);
            break;
        case 2: mekal_namevalue(name, category, kSubcategory, "%s", kSampleText); break;
        case 3: mekal_namevalue(name, category, nullptr, "%D", 1796768940L + i * 3600L); break;
        case 4: {
            const struct timeval interval = {i, (i * 7919) % 1000000};
            mekal_namevalue(name, category, kSubcategory, "%t", &interval);
            break;
        }
        case 5: mekal_namevalue(name, category, kSubcategory, "[%d]", sample_ints(), 4); break;
        default: {
            struct __attribute__((packed)) {
                const char *method;
                double residual;
            } pair = {"cg", spread(random) * 1e-9};
            mekal_namevalue(name, category, kSubcategory, "(%s,%f)", &pair, 2);
            break;
        }
        }
    }
}

void mekal_json_document(benchmark::State &state) {
    invalidate_registry();
    mekal_clean();
    record_mixed_values();
    size_t bytes = 0;
    long failures = 0;
    for (auto _ : state) {
        char *text = mekal_namevals_to_json(mekal_category_all);
        benchmark::DoNotOptimize(text);
        failures += text == nullptr;
        bytes = text != nullptr ? std::strlen(text) : 0;
        std::free(text);
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes) * state.iterations());
    state.counters["bytes"] = static_cast<double>(bytes);
    mekal_clean();
    require(state, failures == 0, "the document was not rendered");
}

void nlohmann_json_document(benchmark::State &state) {
    invalidate_registry();
    mekal_clean();
    record_mixed_values();
    char *text = mekal_namevals_to_json(mekal_category_all);
    mekal_clean();
    if (!require(state, text != nullptr, "the document was not rendered")) return;
    const nlohmann::ordered_json document = nlohmann::ordered_json::parse(text);
    std::free(text);
    size_t bytes = 0;
    for (auto _ : state) {
        std::string dumped = document.dump();
        benchmark::DoNotOptimize(dumped.data());
        bytes = dumped.size();
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes) * state.iterations());
    state.counters["bytes"] = static_cast<double>(bytes);
}

}  // namespace

BENCHMARK(mekal_json_document)->Name(run_name("mekal", "json_document", kMixedValues));
BENCHMARK(nlohmann_json_document)->Name(run_name("nlohmann", "json_document", kMixedValues));

}  // namespace bench
