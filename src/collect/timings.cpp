// The timings of the run: the requests set this copy's flags, and
// mekal_fini records each requested timing through the formatted entry,
// like any other fact of the run, before it announces the end with the
// control event "fini".
#include <sys/time.h>

#include <cstdint>

#include "collect/collect.h"
#include "mekal.h"

namespace mekal {
namespace {

// Per-copy flags: a request made through one copy is that copy's alone.
bool want_cputime = false;
bool want_systime = false;
bool want_walltime = false;

void record_timing(const char *name, struct timeval *interval) {
    (void)mekal_namevalue(name, mekal_category_performance, "timing", "%t", interval);
}

struct timeval wall_difference(const struct timeval &start, const struct timeval &now) {
    int64_t seconds = static_cast<int64_t>(now.tv_sec) - start.tv_sec;
    int64_t micros = now.tv_usec;
    if (now.tv_usec < start.tv_usec) {
        micros += 1000000;
        seconds -= 1;
    }
    micros -= start.tv_usec;
    struct timeval out {};
    out.tv_sec = seconds;
    out.tv_usec = micros;
    return out;
}

}  // namespace
}  // namespace mekal

using namespace mekal;

extern "C" {

MEKAL_API int mekal_walltime(void) {
    want_walltime = true;
    return 0;
}

MEKAL_API int mekal_systime(void) {
    want_systime = true;
    return 0;
}

MEKAL_API int mekal_cputime(void) {
    want_cputime = true;
    return 0;
}

MEKAL_API void mekal_fini(void) {
    if (want_cputime) {
        struct timeval user {};
        if (melsys_get_times(nullptr, &user) != -1) record_timing("cputime", &user);
    }
    if (want_systime) {
        struct timeval sys {};
        if (melsys_get_times(&sys, nullptr) != -1) record_timing("systime", &sys);
    }
    if (want_walltime) {
        struct timeval start {}, now {};
        if (melsys_starttime(&start) != -1 && melsys_curtime(&now) != -1) {
            struct timeval wall = wall_difference(start, now);
            record_timing("walltime", &wall);
        }
    }
    // Nothing is stored for a control event, so the slot may live here.
    mekal_value_t value{};
    value.as_int = 0;
    (void)mekal_raw_namevalue("fini", mekal_category_control, nullptr, &value,
                              mekal_get_basetype(mekal_type_int));
}

}  // extern "C"
