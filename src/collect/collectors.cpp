// Built-in collectors: each asks a probe for one fact of the run and records
// it through the formatted entry under category 2. Nothing is kept: the
// entry copies every text before it returns.
#include <cerrno>
#include <cstdio>
#include <memory>
#include <cstdlib>
#include <cstring>

#include "collect/collect.h"
#include "mekal.h"

namespace mekal {
namespace {

constexpr int kExecutableBufferSize = 4097;
constexpr int kCwdBufferSize = 1024;
// Far beyond any real directory; keeps a probe that always reports ERANGE
// from growing the buffer without end.
constexpr size_t kCwdLimit = size_t{1} << 30;

constexpr long kSecondsPerDay = 86400;

// The helpers below return the collector's result: 0 when the value was
// recorded, -1 when the fact could not be read or the entry refused it
// (exhausted memory), so that mekal_collect_all counts only what is stored.

int record_version() {
    char text[16];
    const int written = std::snprintf(text, sizeof text, "%d.%d.%d", MEKAL_VERSION_MAJOR,
                                      MEKAL_VERSION_MINOR, MEKAL_VERSION_PATCH);
    // A negative result, taken as unsigned, is also too long.
    if (static_cast<unsigned>(written) > sizeof text - 1) return -1;
    return mekal_namevalue("mekalversion", mekal_category_general, "runinfo", "%v", text);
}

// Launch seconds, or -1 when the probe fails or reports the epoch itself,
// which a failed read leaves behind.
int launch_seconds(long *seconds) {
    struct timeval start{};
    if (melsys_starttime(&start) == -1) return -1;
    if (start.tv_sec == 0 && start.tv_usec == 0) return -1;
    *seconds = static_cast<long>(start.tv_sec);
    return 0;
}

int record_launchdate() {
    long seconds = 0;
    if (launch_seconds(&seconds) == -1) return -1;
    return mekal_namevalue("launchdate", mekal_category_general, "runinfo", "%D", seconds);
}

int record_launchday() {
    long seconds = 0;
    if (launch_seconds(&seconds) == -1) return -1;
    const long day = seconds / kSecondsPerDay * kSecondsPerDay;
    return mekal_namevalue("launchday", mekal_category_general, "runinfo", "%D", day);
}

int record_executable() {
    char path[kExecutableBufferSize];
    if (melsys_get_executable(path, sizeof path) == -1) return -1;
    const char *slash = std::strrchr(path, '/');
    const char *file = slash != nullptr ? slash + 1 : path;
    return mekal_namevalue("executable", mekal_category_general, "binary", "%s", file);
}

int record_executablepath() {
    char path[kExecutableBufferSize];
    if (melsys_get_executable(path, sizeof path) == -1) return -1;
    return mekal_namevalue("executablepath", mekal_category_general, "binary", "%p", path);
}

int record_user() {
    char *login = nullptr;
    if (melsys_get_names(nullptr, &login) == -1) return -1;
    const int result = mekal_namevalue("user", mekal_category_general, "runinfo", "%s", login);
    std::free(login);
    return result;
}

int record_uid() {
    char *gecos = nullptr;
    if (melsys_get_names(&gecos, nullptr) == -1) return -1;
    const int result = mekal_namevalue("uid", mekal_category_general, "runinfo", "%s", gecos);
    std::free(gecos);
    return result;
}

int record_workdir() {
    char cwd[kCwdBufferSize];
    errno = 0;
    if (melsys_get_cwd(cwd, sizeof cwd) == 0)
        return mekal_namevalue("working_directory", mekal_category_general, "runinfo", "%p", cwd);
    // A directory too long for the buffer is reported with ERANGE: grow the
    // buffer until it fits, so any directory getcwd can name is recorded.
    for (size_t size = 2 * sizeof cwd; errno == ERANGE && size <= kCwdLimit; size *= 2) {
        std::unique_ptr<char, free_deleter> grown(static_cast<char *>(std::malloc(size)));
        if (grown == nullptr) return -1;
        errno = 0;
        if (melsys_get_cwd(grown.get(), size) == 0)
            return mekal_namevalue("working_directory", mekal_category_general, "runinfo", "%p",
                                   grown.get());
    }
    return -1;
}

int record_hostname() {
    char host[kHostBufferSize];
    if (melsys_hostname(host, sizeof host) == -1) return -1;
    return mekal_namevalue("hostname", mekal_category_general, "host", "%s", host);
}

int record_clustername() {
    // Zero-filled, so a short name that a probe left unterminated still ends.
    char host[kHostBufferSize] = {};
    char cluster[kHostBufferSize] = {};
    if (melsys_hostname(host, sizeof host) == -1) return -1;
    // The last byte is never read, so the result always has room for its NUL.
    int length = 0;
    for (int i = 0; i < kHostBufferSize - 1 && host[i] != '\0' && host[i] != '.'; ++i) {
        if (host[i] >= '0' && host[i] <= '9') continue;
        cluster[length++] = host[i];
    }
    cluster[length] = '\0';
    return mekal_namevalue("cluster", mekal_category_general, "host", "%s", cluster);
}

}  // namespace
}  // namespace mekal

extern "C" MEKAL_API int mekal_mekalversion(void) { return mekal::record_version(); }
extern "C" MEKAL_API int mekal_launchdate(void) { return mekal::record_launchdate(); }
extern "C" MEKAL_API int mekal_launchday(void) { return mekal::record_launchday(); }
extern "C" MEKAL_API int mekal_executable(void) { return mekal::record_executable(); }
extern "C" MEKAL_API int mekal_executablepath(void) { return mekal::record_executablepath(); }
extern "C" MEKAL_API int mekal_user(void) { return mekal::record_user(); }
extern "C" MEKAL_API int mekal_uid(void) { return mekal::record_uid(); }
extern "C" MEKAL_API int mekal_workdir(void) { return mekal::record_workdir(); }
extern "C" MEKAL_API int mekal_hostname(void) { return mekal::record_hostname(); }
extern "C" MEKAL_API int mekal_clustername(void) { return mekal::record_clustername(); }
extern "C" MEKAL_API int mekal_cmdline(void) {
    char *buffer = nullptr;
    int length = 0;
    if (melsys_get_cmdline_buffer(&buffer, &length) == -1) return -1;
    if (buffer == nullptr) return -1;  // a replacement probe that reported nothing

    int count = 0;
    for (int i = 0; i < length; ++i)
        if (buffer[i] == '\0') ++count;

    auto **arguments = static_cast<const char **>(std::malloc(sizeof(char *) * (count + 1u)));
    if (arguments == nullptr) {
        std::free(buffer);
        return -1;
    }
    // Every NUL starts the next argument; the last start, past the final NUL,
    // is not an argument and stays outside the recorded count.
    arguments[0] = buffer;
    int next = 1;
    for (int i = 0; i < length; ++i)
        if (buffer[i] == '\0') arguments[next++] = buffer + i + 1;

    const int result = mekal_namevalue("cmdline", mekal_category_general, "runinfo", "[%s]",
                                       arguments, count);
    std::free(buffer);
    std::free(arguments);
    return result == -1 ? -1 : 0;
}

extern "C" MEKAL_API int mekal_libraries(void) {
    const char **names = nullptr;
    int count = 0;
    int owned = 0;
    int result = -1;
    if (melsys_get_libraries(&names, &count, &owned) != -1) {
        const int recorded = mekal_namevalue("libraries", mekal_category_general, "binary",
                                             "[%p]", names, count);
        result = recorded == -1 ? -1 : 0;
    }
    // The entry has copied the names; release them only if the probe made them.
    if (owned != 0 && names != nullptr) {
        for (int i = 0; i < count; ++i) std::free(const_cast<char *>(names[i]));
    }
    std::free(names);
    return result;
}

extern "C" MEKAL_API int mekal_collect_all(void) {
    int recorded = 0;
    recorded += mekal::record_version() == 0;
    recorded += mekal::record_user() == 0;
    recorded += mekal::record_uid() == 0;
    recorded += mekal::record_launchdate() == 0;
    recorded += mekal::record_launchday() == 0;
    recorded += mekal::record_executable() == 0;
    recorded += mekal::record_executablepath() == 0;
    recorded += mekal::record_workdir() == 0;
    // These two go through the exported collectors, so a program's own
    // versions of them are used here too.
    recorded += mekal_libraries() == 0;
    recorded += mekal_cmdline() == 0;
    recorded += mekal::record_hostname() == 0;
    recorded += mekal::record_clustername() == 0;
    recorded += mekal::collect_job_facts();
    return recorded == 0 ? -1 : 0;
}
