// Runs every benchmark with defaults that keep the whole suite to a couple
// of minutes on two cores; flags given on the command line override them.
#include <benchmark/benchmark.h>

#include <vector>

#include "mekal.h"

int main(int argc, char **argv) {
    std::vector<char *> args;
    args.push_back(argv[0]);
    static char min_time[] = "--benchmark_min_time=0.1";
    static char repetitions[] = "--benchmark_repetitions=5";
    // The console shows the aggregates; the JSON output keeps every
    // repetition, so bench/report.py can take the median or the minimum.
    static char aggregates[] = "--benchmark_display_aggregates_only=true";
    args.push_back(min_time);
    args.push_back(repetitions);
    args.push_back(aggregates);
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);

    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    mekal_clean();
    return 0;
}
