// Probe internals driven directly: tick arithmetic and the tick rate, the
// whole-stream reader on streams that end, shrink, fail or get interrupted,
// path resolution with truncation, the password-entry copies, the two
// object-list walks, with allocations counted and failed, and the host
// files' parsers.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "alloc_hooks.h"
#include "sys/sys.h"

namespace {

char *const kPoison = reinterpret_cast<char *>(0x5a5a);

// --------------------------------------------------------------- time

TEST(ProbeTimes, TicksBecomeSecondsAndTruncatedMicroseconds) {
    struct timeval tv = mekal::ticks_to_timeval(383, 100);
    EXPECT_EQ(tv.tv_sec, 3);
    EXPECT_EQ(tv.tv_usec, 830000);

    // 1000000 / 128 = 7812 per leftover tick, not the exact 7812.5.
    tv = mekal::ticks_to_timeval(383, 128);
    EXPECT_EQ(tv.tv_sec, 2);
    EXPECT_EQ(tv.tv_usec, 127 * 7812);
    EXPECT_EQ(tv.tv_usec, 992124);

    tv = mekal::ticks_to_timeval(256, 128);
    EXPECT_EQ(tv.tv_sec, 2);
    EXPECT_EQ(tv.tv_usec, 0);

    tv = mekal::ticks_to_timeval(0, 100);
    EXPECT_EQ(tv.tv_sec, 0);
    EXPECT_EQ(tv.tv_usec, 0);

    // Beyond 32 bits nothing is cut off.
    tv = mekal::ticks_to_timeval(8589934599LL, 100);
    EXPECT_EQ(tv.tv_sec, 85899345);
    EXPECT_EQ(tv.tv_usec, 990000);
}

long rate_128(int) { return 128; }
long rate_error(int) {
    errno = EINVAL;
    return -1;
}
long rate_error_with_value(int) {
    errno = EINVAL;
    return 250;
}
long rate_64_errno_untouched(int) { return 64; }
long rate_zero(int) { return 0; }
int g_asked_name = -1;
long rate_remember_name(int name) {
    g_asked_name = name;
    return 100;
}

TEST(ProbeTimes, TickRateFallsBackTo100WhenTheQueryFails) {
    EXPECT_EQ(mekal::clock_ticks_per_second(rate_128), 128);
    EXPECT_EQ(mekal::clock_ticks_per_second(rate_error), 100);
    // errno decides, not the value returned with it.
    EXPECT_EQ(mekal::clock_ticks_per_second(rate_error_with_value), 100);
    // A stale errno from before the query must not count as its failure.
    errno = EINTR;
    EXPECT_EQ(mekal::clock_ticks_per_second(rate_64_errno_untouched), 64);
    // A rate that cannot divide is no rate.
    EXPECT_EQ(mekal::clock_ticks_per_second(rate_zero), 100);
    mekal::clock_ticks_per_second(rate_remember_name);
    EXPECT_EQ(g_asked_name, _SC_CLK_TCK);
    EXPECT_EQ(mekal::clock_ticks_per_second(sysconf), sysconf(_SC_CLK_TCK));
}

TEST(ProbeTimes, GetTimesWithBothOutputsNullSucceedsAndWritesNothing) {
    EXPECT_EQ(melsys_get_times(nullptr, nullptr), 0);
    struct timeval sys = {-7, -7};
    EXPECT_EQ(melsys_get_times(&sys, nullptr), 0);
    EXPECT_GE(sys.tv_sec, 0);
    EXPECT_GE(sys.tv_usec, 0);
    EXPECT_LT(sys.tv_usec, 1000000);
}

class TempDir : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/mekal-probes-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        // Newest first: a directory is empty by the time its turn comes.
        for (auto path = created_.rbegin(); path != created_.rend(); ++path) std::remove(path->c_str());
        rmdir(dir_.c_str());
    }
    std::string make_dir(const std::string &name) {
        std::string path = dir_ + "/" + name;
        EXPECT_EQ(mkdir(path.c_str(), 0700), 0);
        created_.push_back(path);
        return path;
    }
    std::string make_file(const std::string &name, const std::string &content = "") {
        std::string path = dir_ + "/" + name;
        FILE *f = std::fopen(path.c_str(), "w");
        EXPECT_NE(f, nullptr);
        if (f) {
            std::fwrite(content.data(), 1, content.size(), f);
            std::fclose(f);
        }
        created_.push_back(path);
        return path;
    }
    std::string make_link(const std::string &name, const std::string &target) {
        std::string path = dir_ + "/" + name;
        EXPECT_EQ(symlink(target.c_str(), path.c_str()), 0);
        created_.push_back(path);
        return path;
    }
    std::string dir_;
    std::vector<std::string> created_;
};

using ProbeStartTime = TempDir;

TEST_F(ProbeStartTime, ModificationTimeBecomesSecondsAndTruncatedMicroseconds) {
    std::string path = make_file("stamped");
    struct timespec times[2] = {{1000, 0}, {1700000123, 987654321}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    struct timeval tv = {-1, -1};
    EXPECT_EQ(mekal::path_mtime(path.c_str(), &tv), 0);
    EXPECT_EQ(tv.tv_sec, 1700000123);
    EXPECT_EQ(tv.tv_usec, 987654);

    // A missing path leaves the zero time behind.
    tv = {-1, -1};
    EXPECT_EQ(mekal::path_mtime((dir_ + "/missing").c_str(), &tv), -1);
    EXPECT_EQ(tv.tv_sec, 0);
    EXPECT_EQ(tv.tv_usec, 0);

    EXPECT_EQ(melsys_starttime(nullptr), -1);
}

TEST(ProbeStartTicks, Field22AfterTheLastParenthesisOfTheName) {
    // Fields 3..21 are filler here; 22 is the start in ticks.
    const std::string filler = " S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 ";
    const struct {
        std::string line;
        int result;
        int64_t ticks;
    } rows[] = {
        {"42 (app)" + filler + "98765 0 0\n", 0, 98765},
        {"42 (a) b) (c d)" + filler + "7 1 2", 0, 7},  // parentheses and blanks in the name
        {"42 (app)" + filler + "123", 0, 123},            // the line may end with the field
        {"42 (app)" + filler, -1, 0},                     // cut before field 22
        {"42 (app)" + filler + "-5 0", -1, 0},
        {"42 (app)" + filler + "12x 0", -1, 0},
        {"42 (app)" + filler + "99999999999999999999999 0", -1, 0},
        {"no parenthesis" + filler + "5", -1, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.line);
        int64_t ticks = -1;
        EXPECT_EQ(mekal::parse_stat_starttime(row.line.c_str(), &ticks), row.result);
        EXPECT_EQ(ticks, row.result == 0 ? row.ticks : -1);
    }
    int64_t ticks = -1;
    EXPECT_EQ(mekal::read_stat_starttime("/nonexistent/stat", &ticks), -1);
    EXPECT_EQ(ticks, -1);
}

TEST(ProbeStartTicks, LaunchIsNowLessTheTimeSinceTheStartOnTheBootClock) {
    const struct {
        int64_t ticks, rate;
        struct timespec real_now, boot_now;
        struct timeval launch;
    } rows[] = {
        // 50 s after boot, read at 100.25 s on the boot clock: 50.25 s ago.
        {5000, 100, {1000, 500000000}, {100, 250000000}, {950, 250000}},
        {3, 128, {10, 0}, {1, 0}, {9, 23437}},      // 3/128 s = 23437.5 us, cut
        {0, 100, {0, 100}, {1, 0}, {-1, 0}},         // before the epoch: floor
        {150, 100, {20, 999999999}, {2, 0}, {20, 499999}},
    };
    for (const auto &row : rows) {
        const struct timeval launch =
            mekal::launch_from_boot_ticks(row.ticks, row.rate, row.real_now, row.boot_now);
        EXPECT_EQ(launch.tv_sec, row.launch.tv_sec) << row.ticks;
        EXPECT_EQ(launch.tv_usec, row.launch.tv_usec) << row.ticks;
    }
}

// ------------------------------------------------------- executable path

using ProbeResolvedPath = TempDir;

TEST_F(ProbeResolvedPath, CopiesTheResolvedPathCutToSizeMinusOne) {
    std::string target = make_file("application");
    std::string link = make_link("app-link", target);
    char *expected_c = realpath(target.c_str(), nullptr);
    ASSERT_NE(expected_c, nullptr);
    const std::string expected = expected_c;
    std::free(expected_c);
    ASSERT_GT(expected.size(), 8u);

    // The link resolves to its target; the bytes after the text are NULs.
    char big[512];
    std::memset(big, 'x', sizeof big);
    ASSERT_EQ(mekal::copy_resolved_path(link.c_str(), big, sizeof big), 0);
    EXPECT_EQ(std::string(big), expected);
    EXPECT_EQ(big[sizeof big - 1], '\0');
    EXPECT_EQ(big[expected.size() + 1], '\0');

    char small[9];
    std::memset(small, 'x', sizeof small);
    ASSERT_EQ(mekal::copy_resolved_path(link.c_str(), small, 8), 0);
    EXPECT_EQ(std::string(small), expected.substr(0, 7));
    EXPECT_EQ(small[8], 'x') << "wrote past size";

    // size == length + 1 holds the whole path; size == length cuts one byte.
    std::vector<char> exact(expected.size() + 1, 'x');
    ASSERT_EQ(mekal::copy_resolved_path(link.c_str(), exact.data(), exact.size()), 0);
    EXPECT_EQ(std::string(exact.data()), expected);
    ASSERT_EQ(mekal::copy_resolved_path(link.c_str(), exact.data(), expected.size()), 0);
    EXPECT_EQ(std::string(exact.data()), expected.substr(0, expected.size() - 1));

    char one[2] = {'x', 'y'};
    ASSERT_EQ(mekal::copy_resolved_path(link.c_str(), one, 1), 0);
    EXPECT_EQ(one[0], '\0');
    EXPECT_EQ(one[1], 'y');
}

TEST_F(ProbeResolvedPath, FailureLeavesTheBufferUntouched) {
    char buf[16];
    std::memset(buf, 'q', sizeof buf);
    EXPECT_EQ(mekal::copy_resolved_path((dir_ + "/nothing-here").c_str(), buf, sizeof buf), -1);
    EXPECT_EQ(buf[0], 'q');
    EXPECT_EQ(mekal::copy_resolved_path(dir_.c_str(), buf, 0), -1);
    EXPECT_EQ(buf[0], 'q');
    EXPECT_EQ(mekal::copy_resolved_path(dir_.c_str(), nullptr, 16), -1);
    EXPECT_EQ(melsys_get_executable(buf, 0), -1);
    EXPECT_EQ(buf[0], 'q');
}

// --------------------------------------------------------- host files

std::string from_stream(const std::string &text, int (*parse)(FILE *, char *, size_t)) {
    FILE *stream = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    char buf[64] = "untouched";
    const int rc = parse(stream, buf, sizeof buf);
    std::fclose(stream);
    return rc == 0 ? buf : "-1";
}

std::string os_key;
int os_value(FILE *stream, char *buf, size_t size) {
    return mekal::os_release_value(stream, os_key.c_str(), buf, size);
}

using ProbeHostFiles = TempDir;

TEST_F(ProbeHostFiles, ModelOsReleaseAndCachesParseAsTheKernelAndDistributionsWriteThem) {
    const std::pair<std::string, std::string> models[] = {
        {"processor\t: 0\nmodel name\t: AMD EPYC\ncpu MHz\t: 1\n", " AMD EPYC"},
        {"processor : 0\ncpu\t\t: POWER9 (raw)\n", " POWER9 (raw)"},
        {"Processor : ARMv7\nflags : " + std::string(3000, 'x') + "\nmodel name : v7 rev 4", " v7 rev 4"},
        {"cpu family : 6\ncpu cores : 2\n", "-1"},
    };
    for (const auto &[text, model] : models) EXPECT_EQ(from_stream(text, mekal::cpuinfo_model), model);

    const std::string release =
        "# comment\nNAME=Plain\nPRETTY_NAME=\"Deb \\\"GNU\\\" \\$x \\\\ \\q 'y'\"\n"
        "ID_LIKE='rhel \\ \"f\"'\nBUILD_ID=a\\ b c\nVARIANT=\"open\n";
    const std::pair<const char *, const char *> keys[] = {
        {"NAME", "Plain"}, {"PRETTY_NAME", "Deb \"GNU\" $x \\ \\q 'y'"}, {"ID_LIKE", "rhel \\ \"f\""},
        {"BUILD_ID", "a b"}, {"VARIANT", "open"}, {"PRETTY", "-1"}, {"VERSION_ID", "-1"},
    };
    for (const auto &[key, value] : keys) {
        os_key = key;
        EXPECT_EQ(from_stream(release, os_value), value) << key;
    }
    // A later file stands in for a missing one, not for a missing key.
    const std::string first = make_file("first", "ID=one\n"), second = make_file("second", "ID=two\nV=2\n");
    char buf[16] = "";
    const char *paths[] = {"/nonexistent/os-release", first.c_str(), second.c_str()};
    EXPECT_EQ(mekal::os_release_from(paths, 3, "ID", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "one");
    EXPECT_EQ(mekal::os_release_from(paths, 3, "V", buf, sizeof buf), -1);
    EXPECT_EQ(mekal::os_release_from(paths, 1, "ID", buf, sizeof buf), -1);

    const std::pair<const char *, uint64_t> sizes[] = {
        {"32K", 32768}, {"8M", 8u << 20}, {"1G", 1u << 30}, {"1024", 1024}, {"K", 0}, {"", 0},
        {"32KB", 0}, {"-1K", 0}, {"99999999999999999999", 0}, {"17179869184G", 0},
    };
    for (const auto &[text, bytes] : sizes) {
        uint64_t got = 0;
        EXPECT_EQ(mekal::parse_cache_size(text, &got), bytes != 0 ? 0 : -1) << text;
        EXPECT_EQ(got, bytes) << text;
    }

    struct Files {
        const char *level, *type, *size;
    };
    const Files caches[] = {{"1\n", "Data\n", "48K\n"}, {"2", "Unified", "2048K"}, {"x", "Data", "1K"},
                            {"1", "Data", nullptr}, {"1", "\n", "1K"}};
    for (int i = 0; i < 5; ++i) {
        const std::string index = "index" + std::to_string(i);
        make_dir(index);
        make_file(index + "/level", caches[i].level);
        make_file(index + "/type", caches[i].type);
        if (caches[i].size) make_file(index + "/size", caches[i].size);
    }
    std::vector<std::string> read;
    for (int i = 0; i < 6; ++i) {
        int level = -1;
        char type[8] = "";
        uint64_t bytes = 0;
        read.push_back(mekal::cache_entry(dir_.c_str(), i, &level, type, sizeof type, &bytes) == 0
                           ? std::to_string(level) + type + std::to_string(bytes)
                           : "-1");
    }
    EXPECT_EQ(read, (std::vector<std::string>{"1Data49152", "2Unified2097152", "-1", "-1", "-1", "-1"}));
    EXPECT_EQ(mekal::read_first_line((dir_ + "/index4/type").c_str(), buf, sizeof buf), -1);
}

// Affinity queries that need a mask of at least g_mask_bytes, then set the
// first and the last CPU of the mask; or fail for another reason.
size_t g_mask_bytes = 0;
int g_affinity_errno = EINVAL;
int fake_affinity(pid_t, size_t bytes, cpu_set_t *mask) {
    if (bytes < g_mask_bytes) {
        errno = g_affinity_errno;
        return -1;
    }
    CPU_SET_S(0, bytes, mask);
    CPU_SET_S(bytes * 8 - 1, bytes, mask);
    return 0;
}

TEST(ProbeAffinity, TheMaskGrowsUntilTheKernelsFits) {
    const std::pair<size_t, int> cases[] = {{0, 2}, {CPU_ALLOC_SIZE(4096), 2}, {SIZE_MAX, -1}};
    for (const auto &[needed, count] : cases) {
        g_mask_bytes = needed;
        EXPECT_EQ(mekal::count_allowed_cpus(fake_affinity), count) << needed;
    }
    g_mask_bytes = SIZE_MAX;
    g_affinity_errno = EPERM;
    EXPECT_EQ(mekal::count_allowed_cpus(fake_affinity), -1);
    EXPECT_GE(melsys_cpus_allowed(), 1);
}

TEST(ProbeCwd, NullOrTooSmallBufferFails) {
    EXPECT_EQ(melsys_get_cwd(nullptr, 1024), -1);
    char one[1] = {'q'};
    EXPECT_EQ(melsys_get_cwd(one, sizeof one), -1);
    char buf[4096];
    ASSERT_EQ(melsys_get_cwd(buf, sizeof buf), 0);
    char expected[4096];
    ASSERT_NE(getcwd(expected, sizeof expected), nullptr);
    EXPECT_STREQ(buf, expected);
}

TEST(ProbeHostname, NullBufferOrSizeBelowOneFails) {
    char buf[4] = {'q', 'q', 'q', 'q'};
    EXPECT_EQ(melsys_hostname(nullptr, 64), -1);
    EXPECT_EQ(melsys_hostname(buf, 0), -1);
    EXPECT_EQ(melsys_hostname(buf, -5), -1);
    EXPECT_EQ(buf[0], 'q');
}

// ------------------------------------------------------- whole stream

// A stream whose reads follow a script: serves `data`, optionally fails
// with an errno at a position, can be cut short or interrupted once after
// the rewind, and remembers whether it was closed.
struct Script {
    std::string data;
    long error_at = -1;       // position at which reads fail (before the rewind)
    int error_errno = EIO;
    bool fail_after_rewind = false;
    long length_after_rewind = -1;  // data seen after the rewind, -1: all of it
    int interrupts_after_rewind = 0;
    long pos = 0;
    int rewinds = 0;
    int reads = 0;
    bool closed = false;
};

ssize_t script_read(void *cookie, char *buf, size_t size) {
    auto *s = static_cast<Script *>(cookie);
    ++s->reads;
    if (s->reads > 10000) return 0;  // ends a reader that would never stop
    long end = static_cast<long>(s->data.size());
    if (s->rewinds > 0) {
        if (s->fail_after_rewind) {
            errno = s->error_errno;
            return -1;
        }
        if (s->interrupts_after_rewind > 0) {
            --s->interrupts_after_rewind;
            errno = EINTR;
            return -1;
        }
        if (s->length_after_rewind >= 0) end = s->length_after_rewind;
    } else if (s->error_at >= 0) {
        if (s->pos >= s->error_at) {
            errno = s->error_errno;
            return -1;
        }
        end = s->error_at;
    }
    if (s->pos >= end) return 0;
    size_t n = std::min(size, static_cast<size_t>(end - s->pos));
    std::memcpy(buf, s->data.data() + s->pos, n);
    s->pos += static_cast<long>(n);
    return static_cast<ssize_t>(n);
}

int script_seek(void *cookie, off64_t *offset, int whence) {
    auto *s = static_cast<Script *>(cookie);
    if (whence != SEEK_SET) return -1;
    s->pos = static_cast<long>(*offset);
    ++s->rewinds;
    return 0;
}

int script_close(void *cookie) {
    static_cast<Script *>(cookie)->closed = true;
    return 0;
}

FILE *open_script(Script *script) {
    cookie_io_functions_t io{};
    io.read = script_read;
    io.seek = script_seek;
    io.close = script_close;
    return fopencookie(script, "r", io);
}

struct Read {
    int rc;
    char *buf;
    int len;
    long allocations;
    long frees;
};

Read read_script(Script *script) {
    Read r{0, kPoison, -77, 0, 0};
    FILE *stream = open_script(script);
    EXPECT_NE(stream, nullptr);
    alloc_hooks::Scope scope;
    r.rc = mekal::read_whole_stream(stream, &r.buf, &r.len);
    r.allocations = scope.allocations();
    r.frees = scope.frees();
    return r;
}

TEST(ProbeCmdlineStream, ReadsEveryByteAndAddsOneNul) {
    Script script;
    script.data = std::string("prog\0-v\0", 8);
    Read r = read_script(&script);
    ASSERT_EQ(r.rc, 0);
    EXPECT_TRUE(script.closed);
    EXPECT_EQ(script.rewinds, 1);
    ASSERT_EQ(r.len, 8);
    EXPECT_EQ(std::memcmp(r.buf, "prog\0-v\0\0", 9), 0);
    EXPECT_EQ(r.allocations, 1);
    std::free(r.buf);

    // Larger than one stdio buffer.
    Script big;
    for (int i = 0; i < 20000; ++i) big.data.push_back(static_cast<char>('a' + i % 26));
    r = read_script(&big);
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.len, 20000);
    EXPECT_EQ(std::string(r.buf, 20000), big.data);
    EXPECT_EQ(r.buf[20000], '\0');
    std::free(r.buf);
}

TEST(ProbeCmdlineStream, EmptyStreamFailsAndKeepsNothing) {
    Script script;
    Read r = read_script(&script);
    EXPECT_EQ(r.rc, -1);
    EXPECT_TRUE(script.closed);
    EXPECT_EQ(r.buf, kPoison);
    EXPECT_EQ(r.len, -77);
    EXPECT_EQ(r.allocations, r.frees);
}

TEST(ProbeCmdlineStream, ReadErrorEndsTheCountingPass) {
    // Fails at every read from position 3 on, and never reports end of file.
    Script script;
    script.data = "abcdef";
    script.error_at = 3;
    Read r = read_script(&script);
    ASSERT_EQ(r.rc, 0);
    EXPECT_TRUE(script.closed);
    EXPECT_LT(script.reads, 10) << "the count kept reading a failing stream";
    ASSERT_EQ(r.len, 3);
    EXPECT_EQ(std::memcmp(r.buf, "abc\0", 4), 0);
    std::free(r.buf);

    // Failing from the first byte: nothing counted, nothing to read.
    Script at_once;
    at_once.data = "abc";
    at_once.error_at = 0;
    r = read_script(&at_once);
    EXPECT_EQ(r.rc, -1);
    EXPECT_TRUE(at_once.closed);
    EXPECT_EQ(r.buf, kPoison);
    EXPECT_EQ(r.allocations, r.frees);
}

TEST(ProbeCmdlineStream, DirectoryStreamFailsWithoutHanging) {
    // Reading a directory fails with EISDIR and never reaches end of file.
    FILE *stream = std::fopen("/", "r");
    if (stream == nullptr) GTEST_SKIP() << "this C library does not open directories";
    char *buf = kPoison;
    int len = -77;
    alloc_hooks::Scope scope;
    alarm(20);  // a count that waits for end of file would never return
    EXPECT_EQ(mekal::read_whole_stream(stream, &buf, &len), -1);
    alarm(0);
    EXPECT_EQ(buf, kPoison);
    EXPECT_EQ(len, -77);
    EXPECT_EQ(scope.allocations(), scope.frees());
}

TEST(ProbeCmdlineStream, ReadPassErrorFreesTheBufferAndCloses) {
    Script script;
    script.data = "hello";
    script.fail_after_rewind = true;
    Read r = read_script(&script);
    EXPECT_EQ(r.rc, -1);
    EXPECT_TRUE(script.closed);
    EXPECT_EQ(r.buf, kPoison);
    EXPECT_EQ(r.len, -77);
    EXPECT_EQ(r.allocations, 1);
    EXPECT_EQ(r.frees, 1);
}

TEST(ProbeCmdlineStream, ShrunkStreamKeepsTheCountedLengthWithZeros) {
    Script script;
    script.data = "hello";
    script.length_after_rewind = 2;
    Read r = read_script(&script);
    ASSERT_EQ(r.rc, 0);
    EXPECT_TRUE(script.closed);
    ASSERT_EQ(r.len, 5);
    EXPECT_EQ(std::memcmp(r.buf, "he\0\0\0\0", 6), 0);
    std::free(r.buf);
}

TEST(ProbeCmdlineStream, InterruptedReadIsRetried) {
    Script script;
    script.data = "retry";
    script.interrupts_after_rewind = 2;
    Read r = read_script(&script);
    ASSERT_EQ(r.rc, 0);
    EXPECT_TRUE(script.closed);
    EXPECT_EQ(script.interrupts_after_rewind, 0);
    ASSERT_EQ(r.len, 5);
    EXPECT_STREQ(r.buf, "retry");
    std::free(r.buf);
}

TEST(ProbeCmdlineStream, BufferAllocationFailureClosesAndWritesNothing) {
    Script script;
    script.data = "abc";
    FILE *stream = open_script(&script);
    ASSERT_NE(stream, nullptr);
    char *buf = kPoison;
    int len = -77;
    alloc_hooks::fail_nth(1);
    EXPECT_EQ(mekal::read_whole_stream(stream, &buf, &len), -1);
    alloc_hooks::reset();
    EXPECT_TRUE(script.closed);
    EXPECT_EQ(buf, kPoison);
    EXPECT_EQ(len, -77);

    EXPECT_EQ(mekal::read_whole_stream(nullptr, &buf, &len), -1);
    EXPECT_EQ(melsys_get_cmdline_buffer(nullptr, &len), -1);
    EXPECT_EQ(melsys_get_cmdline_buffer(&buf, nullptr), -1);
    EXPECT_EQ(buf, kPoison);
}

// ------------------------------------------------------------ user names

struct passwd make_entry(const char *name, const char *gecos) {
    struct passwd entry{};
    entry.pw_name = const_cast<char *>(name);
    entry.pw_gecos = const_cast<char *>(gecos);
    return entry;
}

TEST(ProbeNames, LoginIsCutAtTheFirstCommaAndGecosKeptWhole) {
    struct passwd entry = make_entry("alice,x,y", "Alice Smith,Room 4,555-1234");
    char *gecos = nullptr;
    char *login = nullptr;
    ASSERT_EQ(mekal::copy_user_names(&entry, &gecos, &login), 0);
    EXPECT_STREQ(login, "alice");
    EXPECT_STREQ(gecos, "Alice Smith,Room 4,555-1234");
    EXPECT_NE(gecos, entry.pw_gecos) << "must be a copy";
    EXPECT_STREQ(entry.pw_name, "alice,x,y") << "the entry itself is not changed";
    std::free(gecos);
    std::free(login);

    entry = make_entry("bob", "");
    ASSERT_EQ(mekal::copy_user_names(&entry, &gecos, &login), 0);
    EXPECT_STREQ(login, "bob");
    EXPECT_STREQ(gecos, "");
    std::free(gecos);
    std::free(login);

    // Each output alone copies only its own field.
    entry = make_entry(",lead", "G");
    login = kPoison;
    alloc_hooks::Scope scope;
    ASSERT_EQ(mekal::copy_user_names(&entry, nullptr, &login), 0);
    EXPECT_EQ(scope.allocations(), 1);
    EXPECT_STREQ(login, "");
    std::free(login);
    gecos = kPoison;
    ASSERT_EQ(mekal::copy_user_names(&entry, &gecos, nullptr), 0);
    EXPECT_STREQ(gecos, "G");
    std::free(gecos);

    // Null fields count as empty.
    entry = make_entry(nullptr, nullptr);
    ASSERT_EQ(mekal::copy_user_names(&entry, &gecos, &login), 0);
    EXPECT_STREQ(login, "");
    EXPECT_STREQ(gecos, "");
    std::free(gecos);
    std::free(login);
}

TEST(ProbeNames, NoEntryOrBothOutputsNullAllocatesNothing) {
    struct passwd entry = make_entry("carol", "Carol");
    alloc_hooks::Scope scope;
    EXPECT_EQ(mekal::copy_user_names(&entry, nullptr, nullptr), 0);
    char *gecos = kPoison;
    char *login = kPoison;
    EXPECT_EQ(mekal::copy_user_names(nullptr, &gecos, &login), -1);
    EXPECT_EQ(gecos, kPoison);
    EXPECT_EQ(login, kPoison);
    const bool has_entry = getpwuid(getuid()) != nullptr;
    EXPECT_EQ(melsys_get_names(nullptr, nullptr), has_entry ? 0 : -1);
    EXPECT_EQ(scope.allocations(), 0);
}

TEST(ProbeNames, FailedCopyFreesTheOtherAndWritesNothing) {
    struct passwd entry = make_entry("dave", "Dave,Office");
    for (long nth = 1; nth <= 2; ++nth) {
        char *gecos = kPoison;
        char *login = kPoison;
        alloc_hooks::Scope scope;
        alloc_hooks::fail_nth(nth);
        EXPECT_EQ(mekal::copy_user_names(&entry, &gecos, &login), -1) << "failing copy " << nth;
        alloc_hooks::reset();
        EXPECT_EQ(gecos, kPoison);
        EXPECT_EQ(login, kPoison);
        EXPECT_EQ(scope.allocations(), scope.frees()) << "failing copy " << nth;
    }
}

// ------------------------------------------------------- loaded objects

struct dl_phdr_info object_named(const char *name) {
    struct dl_phdr_info info{};
    info.dlpi_name = name;
    return info;
}

TEST(ProbeLibraries, WalksSkipObjectsWithoutAName) {
    struct dl_phdr_info unnamed = object_named(nullptr);
    struct dl_phdr_info empty = object_named("");
    struct dl_phdr_info first = object_named("/lib/first.so");
    struct dl_phdr_info second = object_named("/lib/second.so");

    int count = 0;
    for (auto *info : {&unnamed, &first, &empty, &second})
        EXPECT_EQ(mekal::count_library_names(info, sizeof *info, &count), 0);
    EXPECT_EQ(count, 2);

    const char *names[3] = {kPoison, kPoison, kPoison};
    mekal::library_name_collector collector{names, 0, 2};
    for (auto *info : {&unnamed, &first, &empty, &second})
        EXPECT_EQ(mekal::collect_library_names(info, sizeof *info, &collector), 0);
    EXPECT_EQ(collector.next_index, 2);
    EXPECT_EQ(names[0], first.dlpi_name) << "the linker's own pointer, not a copy";
    EXPECT_EQ(names[1], second.dlpi_name);
    EXPECT_EQ(names[2], kPoison);
}

TEST(ProbeLibraries, CollectorNeverStoresBeyondItsCapacity) {
    int named = 0;
    dl_iterate_phdr(mekal::count_library_names, &named);
    ASSERT_GE(named, 2) << "this test needs at least two named objects loaded";

    // Fewer slots than objects, as when objects are loaded between the walks.
    const char *names[3] = {kPoison, kPoison, kPoison};
    mekal::library_name_collector collector{names, 0, 1};
    dl_iterate_phdr(mekal::collect_library_names, &collector);
    EXPECT_EQ(collector.next_index, 1);
    EXPECT_NE(names[0], kPoison);
    EXPECT_EQ(names[1], kPoison);

    mekal::library_name_collector none{names + 2, 0, 0};
    dl_iterate_phdr(mekal::collect_library_names, &none);
    EXPECT_EQ(none.next_index, 0);
    EXPECT_EQ(names[2], kPoison);
}

int remember_names(struct dl_phdr_info *info, size_t, void *data) {
    if (info->dlpi_name != nullptr && info->dlpi_name[0] != '\0')
        static_cast<std::vector<const char *> *>(data)->push_back(info->dlpi_name);
    return 0;
}

TEST(ProbeLibraries, ReturnsTheLinkersNamesInOrderWithANullAfterThem) {
    std::vector<const char *> expected;
    dl_iterate_phdr(remember_names, &expected);

    const char **names = nullptr;
    int count = -1;
    int owned = -1;
    alloc_hooks::Scope scope;
    ASSERT_EQ(melsys_get_libraries(&names, &count, &owned), 0);
    EXPECT_EQ(scope.allocations(), 1);
    EXPECT_EQ(owned, 0);
    ASSERT_EQ(count, static_cast<int>(expected.size()));
    for (int i = 0; i < count; ++i) EXPECT_EQ(names[i], expected[i]) << "index " << i;
    EXPECT_EQ(names[count], nullptr);
    std::free(names);
}

TEST(ProbeLibraries, ArrayAllocationFailureWritesNothing) {
    const char **names = reinterpret_cast<const char **>(kPoison);
    int count = -77;
    int owned = -77;
    alloc_hooks::fail_nth(1);
    EXPECT_EQ(melsys_get_libraries(&names, &count, &owned), -1);
    alloc_hooks::reset();
    EXPECT_EQ(names, reinterpret_cast<const char **>(kPoison));
    EXPECT_EQ(count, -77);
    EXPECT_EQ(owned, -77);

    EXPECT_EQ(melsys_get_libraries(nullptr, &count, &owned), -1);
    EXPECT_EQ(count, -77);
}

}  // namespace

// ------------------------------------- collectors on exhausted memory

namespace {

bool is_recorded(const char *name) {
    return mekal_get_nameval(name, nullptr, nullptr, nullptr, nullptr) == 0;
}

TEST(CollectorMemory, CommandLineFreesItsBufferWhenTheVectorOrEntryFails) {
    mekal_clean();
    ASSERT_FALSE(is_recorded("cmdline"));  // the registry is set up before counting
    for (long nth : {1L, 2L}) {
        // 1: the probe's buffer, 2: the argument vector.
        alloc_hooks::Scope scope;
        alloc_hooks::fail_nth(nth);
        EXPECT_EQ(mekal_cmdline(), -1) << "failing allocation " << nth;
        alloc_hooks::reset();
        EXPECT_EQ(scope.allocations(), scope.frees()) << "failing allocation " << nth;
        EXPECT_FALSE(is_recorded("cmdline"));
    }
    // Everything from the entry's first allocation on fails.
    alloc_hooks::Scope scope;
    alloc_hooks::fail_from(3);
    EXPECT_EQ(mekal_cmdline(), -1);
    alloc_hooks::reset();
    EXPECT_EQ(scope.allocations(), scope.frees());
    EXPECT_FALSE(is_recorded("cmdline"));

    EXPECT_EQ(mekal_cmdline(), 0);
    EXPECT_TRUE(is_recorded("cmdline"));
    mekal_clean();
}

TEST(CollectorMemory, LibrariesAndUserRecordNothingWhenTheProbeRunsOutOfMemory) {
    mekal_clean();
    ASSERT_FALSE(is_recorded("libraries"));
    alloc_hooks::Scope scope;
    alloc_hooks::fail_nth(1);
    EXPECT_EQ(mekal_libraries(), -1);
    alloc_hooks::fail_nth(1);
    EXPECT_EQ(mekal_user(), -1);
    alloc_hooks::fail_nth(1);
    EXPECT_EQ(mekal_uid(), -1);
    alloc_hooks::reset();
    EXPECT_EQ(scope.allocations(), scope.frees());
    EXPECT_FALSE(is_recorded("libraries"));
    EXPECT_FALSE(is_recorded("user"));
    EXPECT_FALSE(is_recorded("uid"));
    mekal_clean();
}

}  // namespace
