// The run record as text and as a file.
#include "record_file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "entries.h"
#include "run_settings.h"

#define MEKAL_RECORD_TEXT(x) #x
#define MEKAL_RECORD_NUMBER(x) MEKAL_RECORD_TEXT(x)
// The recorder's version: the library's it was built with.
#define MEKAL_RECORD_VERSION                                                          \
    MEKAL_RECORD_NUMBER(MEKAL_VERSION_MAJOR) "." MEKAL_RECORD_NUMBER(MEKAL_VERSION_MINOR) \
    "." MEKAL_RECORD_NUMBER(MEKAL_VERSION_PATCH)

namespace mekal::record {
namespace {

const char *category_name(int32_t category) {
    switch (category) {
    case mekal_category_all: return "\"all\"";
    case mekal_category_general: return "\"general\"";
    case mekal_category_performance: return "\"performance\"";
    case mekal_category_control: return "\"control\"";
    default: return "null";
    }
}

// ISO 8601 UTC with nanoseconds, as the library writes the times it keeps.
void put_time(text_buffer *out, const struct timespec &ts) {
    struct tm parts {};
    char text[64];
    const time_t seconds = ts.tv_sec;
    const long nanoseconds = ts.tv_nsec >= 0 && ts.tv_nsec < 1000000000 ? ts.tv_nsec : 0;
    if (gmtime_r(&seconds, &parts) == nullptr) parts = tm{};
    const int n = std::snprintf(text, sizeof text, "\"%04d-%02d-%02dT%02d:%02d:%02d.%09ldZ\"",
                                parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
                                parts.tm_hour, parts.tm_min, parts.tm_sec, nanoseconds);
    out->append(text, n > 0 && static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : 0);
}

void put_value(text_buffer *out, const char *type, const char *long_type, const char *value,
               bool unrendered) {
    out->append(",\"type\":");
    out->append(type);
    out->append(",\"long_type\":");
    out->append(long_type);
    out->append(",\"value\":");
    out->append(value);
    // A value the library could not render costs itself only.
    if (unrendered) out->append(",\"unrendered\":true");
}

void put_entry(text_buffer *out, const record_entry &e) {
    out->append("{\"name\":");
    out->append(e.name_json);
    out->append(",\"category\":");
    out->append_long(e.category);
    out->append(",\"category_name\":");
    out->append(category_name(e.category));
    out->append(",\"subcategory\":");
    out->append(e.subcategory_json);
    if (e.rank_count == 0) {
        put_value(out, e.type_json, e.long_type_json, e.value_json, e.unrendered);
    } else {
        out->append(",\"type\":");
        out->append(e.type_json);
        out->append(",\"long_type\":");
        out->append(e.long_type_json);
        out->append(",\"ranks\":[");
        for (int i = 0; i < e.rank_count; ++i) {
            const rank_value &r = e.ranks[i];
            out->append(i == 0 ? "{\"rank\":" : ",{\"rank\":");
            out->append_long(r.rank);
            put_value(out, r.type_json, r.long_type_json, r.value_json, r.unrendered);
            out->append("}");
        }
        out->append("]");
    }
    out->append(",\"recorded\":");
    put_time(out, e.recorded);
    out->append("}");
}

// The directory of a path of any length: opened whole when the system takes
// it in one piece, else a component at a time.
int open_directory(const char *path, size_t length) {
    constexpr int kFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    if (length == 0) return open("/", kFlags);
    char *copy = strndup(path, length);
    if (copy == nullptr) {
        errno = ENOMEM;
        return -1;
    }
    int fd = length < PATH_MAX ? open(copy, kFlags) : -1;
    if (length >= PATH_MAX) {
        fd = open(copy[0] == '/' ? "/" : ".", kFlags);
        for (char *save = nullptr, *part = strtok_r(copy, "/", &save); part != nullptr && fd >= 0;
             part = strtok_r(nullptr, "/", &save)) {
            const int next = openat(fd, part, kFlags);
            const int error = errno;
            close(fd);
            errno = error;
            fd = next;
        }
    }
    const int error = errno;
    std::free(copy);
    errno = error;
    return fd;
}

// A fresh temporary file in the directory: a short name of its own, so
// that a record's name of any allowed length still has room.
int open_temporary(int directory, char *name, size_t size) {
    struct timespec now {};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    unsigned long long seed = static_cast<unsigned long long>(now.tv_nsec) ^
                              (static_cast<unsigned long long>(getpid()) << 32);
    for (int attempt = 0; attempt < 100; ++attempt) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        (void)std::snprintf(name, size, ".mekal-%08llx.tmp", seed >> 32);
        const int fd = openat(directory, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

}  // namespace

char *build_record(const record_header &header, const entry_list &values) {
    text_buffer out;
    out.append("{\n\"schema\": \"");
    out.append(kSchemaName);
    out.append("\",\n\"schema_version\": ");
    out.append_long(kSchemaVersion);
    out.append(",\n\"complete\": ");
    out.append(header.complete ? "true" : "false");
    out.append(",\n\"exit_status\": ");
    if (header.has_status) out.append_long(header.exit_status);
    else out.append("null");
    out.append(",\n\"program\": {\"executable\": ");
    out.append(header.executable);
    out.append(", \"argv\": ");
    out.append(header.argv);
    out.append(", \"pid\": ");
    out.append_long(header.pid);
    out.append(", \"host\": ");
    out.append(header.host);
    out.append("},\n");
    if (header.job_size > 0) {
        out.append("\"mpi\": {\"size\": ");
        out.append_long(header.job_size);
        out.append("},\n");
    }
    out.append("\"recorder\": {\"version\": \"" MEKAL_RECORD_VERSION "\"},\n\"values\": [");
    bool first = true;
    values.each([&](const record_entry &e) {
        out.append(first ? "\n" : ",\n");
        first = false;
        put_entry(&out, e);
    });
    out.append(first ? "]\n}\n" : "\n]\n}\n");
    return out.release();
}

int write_atomically(const char *path, const char *text, size_t length, mode_t mode) {
    const char *slash = std::strrchr(path, '/');
    const char *base = slash != nullptr ? slash + 1 : path;
    const int directory = slash != nullptr ? open_directory(path, static_cast<size_t>(slash - path))
                                           : open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0) return errno;
    char temporary[32];
    const int fd = open_temporary(directory, temporary, sizeof temporary);
    int error = fd < 0 ? errno : 0;
    for (size_t done = 0; done < length && error == 0;) {
        const ssize_t n = write(fd, text + done, length - done);
        if (n > 0) done += static_cast<size_t>(n);
        else if (n < 0 && errno != EINTR) error = errno;
        else if (n == 0) error = EIO;
    }
    if (fd >= 0) {
        if (error == 0 && fchmod(fd, mode) != 0) error = errno;
        if (close(fd) != 0 && error == 0) error = errno;
        if (error == 0 && renameat(directory, temporary, directory, base) != 0) error = errno;
        if (error != 0) (void)unlinkat(directory, temporary, 0);
    }
    close(directory);
    return error;
}

}  // namespace mekal::record
