// A growable text for the recorder and mekal-run.
#pragma once

#include <cstddef>

namespace mekal::record {

// A growable text in one malloc'd block. A failed allocation sets failed and
// makes every later append a no-op, so callers check once at the end.
struct text_buffer {
    char *data = nullptr;
    size_t length = 0;
    size_t capacity = 0;
    bool failed = false;

    text_buffer() = default;
    text_buffer(const text_buffer &) = delete;
    text_buffer &operator=(const text_buffer &) = delete;
    ~text_buffer();

    void append(const char *text, size_t count);
    void append(const char *text);
    void append_long(long long number);
    // Hands the block over (NUL-terminated); NULL when an append failed.
    char *release();
};

}  // namespace mekal::record
