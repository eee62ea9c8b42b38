// Time probes: CPU times from times(), the time of day, and the launch time
// read from the process's own directory in /proc.
#include <sys/stat.h>
#include <sys/times.h>
#include <unistd.h>

#include <cerrno>

#include "sys/sys.h"

namespace mekal {

int64_t clock_ticks_per_second(long (*query)(int)) {
    // sysconf reports an error only through errno, so errno must start clean.
    errno = 0;
    const long rate = query(_SC_CLK_TCK);
    if (errno != 0 || rate <= 0) return 100;
    return rate;
}

struct timeval ticks_to_timeval(int64_t ticks, int64_t rate) {
    struct timeval out{};
    out.tv_sec = ticks / rate;
    // The quotient first: at rates that do not divide a million each tick
    // counts slightly less than its exact share, as the tick counters do.
    out.tv_usec = (ticks % rate) * (1000000 / rate);
    return out;
}

int path_mtime(const char *path, struct timeval *tv) {
    tv->tv_sec = 0;
    tv->tv_usec = 0;
    struct stat status{};
    if (stat(path, &status) != 0) return -1;
    tv->tv_sec = status.st_mtim.tv_sec;
    tv->tv_usec = status.st_mtim.tv_nsec / 1000;
    return 0;
}

}  // namespace mekal

extern "C" MEKAL_API int melsys_get_times(struct timeval *sys_out, struct timeval *user_out) {
    const int64_t rate = mekal::clock_ticks_per_second(sysconf);
    struct tms usage{};
    if (times(&usage) == static_cast<clock_t>(-1)) return -1;
    if (sys_out != nullptr)
        *sys_out = mekal::ticks_to_timeval(static_cast<int64_t>(usage.tms_stime), rate);
    if (user_out != nullptr)
        *user_out = mekal::ticks_to_timeval(static_cast<int64_t>(usage.tms_utime), rate);
    return 0;
}

extern "C" MEKAL_API int melsys_curtime(struct timeval *tv) {
    return gettimeofday(tv, nullptr);
}

extern "C" MEKAL_API int melsys_starttime(struct timeval *tv) {
    if (tv == nullptr) return -1;
    // The process file system stamps the process's directory no earlier than
    // its launch; that stamp is taken as the launch time.
    return mekal::path_mtime("/proc/self", tv);
}

// The registry stamps every recording through this clock.
extern "C" MEKAL_API int melsys_clock_realtime(struct timespec *ts) {
    return clock_gettime(CLOCK_REALTIME, ts);
}
