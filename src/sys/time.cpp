// Time probes: CPU times from times(), the time of day, and the launch time
// from the kernel's own record of the process start.
#include <sys/stat.h>
#include <sys/times.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

int parse_stat_starttime(const char *text, int64_t *ticks) {
    // The command name (field 2) is in parentheses and may itself hold
    // blanks and parentheses; the fields after the last ')' are numbers.
    const char *at = std::strrchr(text, ')');
    if (at == nullptr) return -1;
    ++at;
    // Field 22 is the 20th blank-separated field after the name.
    for (int field = 3; field < 22; ++field) {
        while (*at == ' ') ++at;
        while (*at != ' ' && *at != '\0') ++at;
        if (*at == '\0') return -1;
    }
    while (*at == ' ') ++at;
    uint64_t value = 0;
    const char *end = nullptr;
    if (!parse_decimal(at, &value, &end) || (*end != ' ' && *end != '\0' && *end != '\n') ||
        value > static_cast<uint64_t>(INT64_MAX))
        return -1;
    *ticks = static_cast<int64_t>(value);
    return 0;
}

int read_stat_starttime(const char *path, int64_t *ticks) {
    // The line is a few hundred bytes; fields past the start time may be cut.
    // A command name holding a line end cuts the line before its fields,
    // which then fails to parse.
    char line[2048];
    if (read_first_line(path, line, sizeof line) != 0) return -1;
    return parse_stat_starttime(line, ticks);
}

struct timeval launch_from_boot_ticks(int64_t start_ticks, int64_t rate,
                                      const struct timespec &real_now,
                                      const struct timespec &boot_now) {
    // Everything in nanoseconds: launch = realtime now - (boottime now - start).
    const int64_t start_ns = start_ticks / rate * 1000000000 + start_ticks % rate * 1000000000 / rate;
    const int64_t boot_ns = static_cast<int64_t>(boot_now.tv_sec) * 1000000000 + boot_now.tv_nsec;
    const int64_t real_ns = static_cast<int64_t>(real_now.tv_sec) * 1000000000 + real_now.tv_nsec;
    int64_t launch_ns = real_ns - (boot_ns - start_ns);
    struct timeval out{};
    // Floor division, so a launch before the epoch keeps microseconds in 0..999999.
    int64_t seconds = launch_ns / 1000000000;
    int64_t rest = launch_ns % 1000000000;
    if (rest < 0) {
        rest += 1000000000;
        seconds -= 1;
    }
    out.tv_sec = seconds;
    out.tv_usec = rest / 1000;
    return out;
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
    // gettimeofday accepts a null record and reports success.
    if (tv == nullptr) return -1;
    return gettimeofday(tv, nullptr);
}

extern "C" MEKAL_API int melsys_starttime(struct timeval *tv) {
    if (tv == nullptr) return -1;
    tv->tv_sec = 0;
    tv->tv_usec = 0;
    // The kernel records the start in clock ticks since boot. Boot time
    // itself (btime) can be off by a second or more after a virtual machine
    // was restored, so the distance to now is measured on the boot clock and
    // taken back from the real-time clock read at the same moment.
    int64_t ticks = 0;
    struct timespec real_now{}, boot_now{};
    if (mekal::read_stat_starttime("/proc/self/stat", &ticks) == 0 &&
        clock_gettime(CLOCK_BOOTTIME, &boot_now) == 0 &&
        clock_gettime(CLOCK_REALTIME, &real_now) == 0) {
        *tv = mekal::launch_from_boot_ticks(ticks, mekal::clock_ticks_per_second(sysconf),
                                            real_now, boot_now);
        return 0;
    }
    // Without the stat file: the process's directory is stamped when it is
    // first looked up, no earlier than the launch.
    return mekal::path_mtime("/proc/self", tv);
}

// The registry stamps every recording through this clock.
extern "C" MEKAL_API int melsys_clock_realtime(struct timespec *ts) {
    if (ts == nullptr) return -1;
    return clock_gettime(CLOCK_REALTIME, ts);
}
