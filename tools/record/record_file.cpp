// The run record as text and as a file.
#include "record_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace mekal::record {

text_buffer::~text_buffer() { std::free(data); }

void text_buffer::append(const char *text, size_t count) {
    if (failed) return;
    if (length + count + 1 > capacity) {
        size_t wanted = capacity < 256 ? 256 : capacity;
        while (wanted < length + count + 1) wanted *= 2;
        auto *grown = static_cast<char *>(std::realloc(data, wanted));
        if (grown == nullptr) {
            failed = true;
            return;
        }
        data = grown;
        capacity = wanted;
    }
    std::memcpy(data + length, text, count);
    length += count;
    data[length] = '\0';
}

void text_buffer::append(const char *text) { append(text, std::strlen(text)); }

void text_buffer::append_long(long long number) {
    char digits[32];
    const int written = std::snprintf(digits, sizeof digits, "%lld", number);
    append(digits, static_cast<size_t>(written));
}

char *text_buffer::release() {
    if (failed) return nullptr;
    if (data == nullptr) append("", 0);
    char *out = data;
    data = nullptr;
    length = capacity = 0;
    return out;
}

bool expand_path(const char *pattern, long pid, const char *host, const char *executable_name,
                 text_buffer *out) {
    for (const char *p = pattern; *p != '\0'; ++p) {
        if (*p != '%') {
            out->append(p, 1);
            continue;
        }
        switch (*++p) {
        case 'p': out->append_long(pid); break;
        case '%': out->append("%", 1); break;
        case 'h':
        case 'e': {
            // Both are single path components; a '/' would move the file.
            const char *part = *p == 'h' ? host : executable_name;
            if (std::strchr(part, '/') != nullptr) return false;
            out->append(part);
            break;
        }
        default: return false;  // also a '%' at the end
        }
    }
    return !out->failed && out->length > 0;
}

bool rank_path(const char *path, int rank, text_buffer *out) {
    static constexpr char kSuffix[] = ".json";
    constexpr size_t kSuffixLength = sizeof kSuffix - 1;
    const size_t length = std::strlen(path);
    const bool suffixed = length > kSuffixLength && path[length - kSuffixLength - 1] != '/' &&
                          std::strcmp(path + length - kSuffixLength, kSuffix) == 0;
    const size_t stem = suffixed ? length - kSuffixLength : length;
    out->append(path, stem);
    out->append(".rank");
    out->append_long(rank);
    out->append(path + stem);
    return !out->failed;
}

char *build_record(const program_facts &program, const char *version_json, const char *values,
                   bool complete, bool has_status, int exit_status, int job_size) {
    text_buffer out;
    out.append("{\n\"schema\": \"mekal-run-record\",\n\"schema_version\": 1,\n\"complete\": ");
    out.append(complete ? "true" : "false");
    out.append(",\n\"exit_status\": ");
    if (has_status) out.append_long(exit_status);
    else out.append("null");
    out.append(",\n\"program\": {\"executable\": ");
    out.append(program.executable);
    out.append(", \"argv\": ");
    out.append(program.argv);
    out.append(", \"pid\": ");
    out.append_long(program.pid);
    out.append(", \"host\": ");
    out.append(program.host);
    out.append("},\n");
    if (job_size > 0) {
        out.append("\"mpi\": {\"size\": ");
        out.append_long(job_size);
        out.append("},\n");
    }
    out.append("\"recorder\": {\"version\": ");
    out.append(version_json);
    out.append("},\n\"values\": ");
    // The registry's text ends with a newline; the record closes after it.
    size_t count = std::strlen(values);
    while (count > 0 && values[count - 1] == '\n') --count;
    out.append(values, count);
    out.append("\n}\n");
    return out.release();
}

namespace {

// The line of an entry starts with {"name":"...", written by the registry's
// renderer, so the escaped name compares as text.
bool entry_name(const char *line, const char **name, size_t *length) {
    static constexpr char kPrefix[] = "{\"name\":\"";
    if (std::strncmp(line, kPrefix, sizeof kPrefix - 1) != 0) return false;
    const char *start = line + sizeof kPrefix - 1;
    const char *p = start;
    while (*p != '"' && *p != '\0' && *p != '\n') p += (*p == '\\' && p[1] != '\0') ? 2 : 1;
    if (*p != '"') return false;
    *name = start;
    *length = static_cast<size_t>(p - start);
    return true;
}

struct name_ref {
    const char *text;
    size_t length;
};

bool operator<(const name_ref &a, const name_ref &b) {
    const int order = std::memcmp(a.text, b.text, a.length < b.length ? a.length : b.length);
    return order < 0 || (order == 0 && a.length < b.length);
}

// The entry names of values, sorted, so that a merge looks each name up
// once instead of rescanning values per entry. NULL on exhausted memory.
name_ref *sorted_names(const char *values, size_t *count) {
    size_t lines = 1;
    for (const char *p = values; *p != '\0'; ++p) lines += *p == '\n';
    auto *names = static_cast<name_ref *>(std::malloc(lines * sizeof(name_ref)));
    if (names == nullptr) return nullptr;
    *count = 0;
    for (const char *line = values; line != nullptr && *line != '\0';) {
        if (entry_name(line, &names[*count].text, &names[*count].length)) ++*count;
        line = std::strchr(line, '\n');
        if (line != nullptr) ++line;
    }
    std::sort(names, names + *count);
    return names;
}

// Appends every entry line of values to out, each ending ",\n", leaving
// out the entries whose name is among the count names of skip.
void append_entries(text_buffer *out, const char *values, const name_ref *skip, size_t count) {
    for (const char *line = values; line != nullptr && *line != '\0';) {
        const char *end = std::strchr(line, '\n');
        const size_t length = end ? static_cast<size_t>(end - line) : std::strlen(line);
        name_ref name{};
        if (entry_name(line, &name.text, &name.length) &&
            !std::binary_search(skip, skip + count, name)) {
            size_t keep = length;
            if (keep > 0 && line[keep - 1] == ',') --keep;
            out->append(line, keep);
            out->append(",\n");
        }
        line = end ? end + 1 : nullptr;
    }
}

}  // namespace

char *merge_values(const char *snapshot, const char *current) {
    size_t count = 0;
    name_ref *names = sorted_names(current, &count);
    if (names == nullptr) return nullptr;
    text_buffer out;
    out.append("[\n");
    append_entries(&out, snapshot, names, count);
    append_entries(&out, current, nullptr, 0);
    std::free(names);
    if (out.failed) return nullptr;
    if (out.length > 2) {
        out.length -= 2;  // the last entry's ",\n"
        out.append("\n");
    }
    out.append("]\n");
    return out.release();
}

int write_atomically(const char *path, const char *text, size_t length, mode_t mode) {
    text_buffer name;
    name.append(path);
    name.append(".XXXXXX");
    if (name.failed) return ENOMEM;
    const int fd = mkostemp(name.data, O_CLOEXEC);
    if (fd < 0) return errno;
    int error = 0;
    for (size_t done = 0; done < length && error == 0;) {
        const ssize_t n = write(fd, text + done, length - done);
        if (n > 0) done += static_cast<size_t>(n);
        else if (n < 0 && errno != EINTR) error = errno;
        else if (n == 0) error = EIO;
    }
    if (error == 0 && fchmod(fd, mode) != 0) error = errno;
    if (close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && rename(name.data, path) != 0) error = errno;
    if (error != 0) (void)unlink(name.data);
    return error;
}

}  // namespace mekal::record
