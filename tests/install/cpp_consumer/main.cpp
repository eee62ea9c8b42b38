// Records a list of tuples through mekal.hpp, reads it back typed and
// checks that a capturing observer saw it.
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include <mekal.hpp>

static int fail(const char *what) {
    std::fprintf(stderr, "c++ consumer: %s\n", what);
    return 1;
}

int main() {
    int events = 0;
    std::string last;
    const auto watching = mekal::observe([&events, &last](const mekal::event &e) {
        if (e.is_control()) return;
        ++events;
        last = e.name;
    });
    if (!watching) return fail("observe failed");

    const std::vector<std::pair<std::string, int>> runs{{"warmup", 3}, {"measure", 10}};
    if (mekal::value("runs", runs, mekal_category_general, "consumer") != 0)
        return fail("recording failed");
    const auto back = mekal::get<std::vector<std::pair<std::string, int>>>("runs");
    if (!back || *back != runs) return fail("read-back differs");
    if (mekal::get<std::vector<int>>("runs")) return fail("a mismatched type was read");
    if (events != 1 || last != "runs") return fail("the observer missed the recording");
    // The build facts macro compiles under this consumer's strict flags.
    if (MEKAL_BUILDINFO() != 0 || !mekal::get<std::string>("compiler")) return fail("no build facts");
    mekal_clean();
    std::puts("c++ consumer: ok");
    return 0;
}
