// The record's output path.
#include "output_path.h"

#include <cstring>

namespace mekal::record {

const char *pattern_error(const char *pattern) {
    if (*pattern == '\0') return "the output path is empty";
    for (const char *p = pattern; *p != '\0'; ++p) {
        if (*p != '%') continue;
        switch (*++p) {
        case 'p': case 'h': case 'e': case '%': break;
        case '\0': return "it ends in a lone '%' (write %% for a percent sign)";
        default: return "it holds a '%' that is no conversion (use %p, %h, %e, or %% for a percent sign)";
        }
    }
    return nullptr;
}

bool expand_path(const char *pattern, long pid, const char *host, const char *executable_name,
                 growable_text *out) {
    if (pattern_error(pattern) != nullptr) return false;
    for (const char *p = pattern; *p != '\0'; ++p) {
        if (*p != '%') {
            out->append(p, 1);
            continue;
        }
        switch (*++p) {
        case 'p': out->append_decimal(pid); break;
        case 'h':
        case 'e': {
            // Both are single path components; a '/' would move the file.
            const char *part = *p == 'h' ? host : executable_name;
            if (std::strchr(part, '/') != nullptr) return false;
            out->append(part);
            break;
        }
        default: out->append("%", 1); break;
        }
    }
    return !out->failed();
}

bool holds_pid(const char *pattern) {
    for (const char *p = pattern; *p != '\0'; ++p) {
        if (*p != '%') continue;
        if (*++p == 'p') return true;
        if (*p == '\0') break;
    }
    return false;
}

bool rank_path(const char *path, int rank, growable_text *out) {
    static constexpr char kSuffix[] = ".json";
    constexpr size_t kSuffixLength = sizeof kSuffix - 1;
    const size_t length = std::strlen(path);
    const bool suffixed = length > kSuffixLength && path[length - kSuffixLength - 1] != '/' &&
                          std::strcmp(path + length - kSuffixLength, kSuffix) == 0;
    const size_t stem = suffixed ? length - kSuffixLength : length;
    out->append(path, stem);
    out->append(".rank");
    out->append_decimal(rank);
    out->append(path + stem);
    return !out->failed();
}

}  // namespace mekal::record
