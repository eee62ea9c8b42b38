// A growable text for the recorder and mekal-run.
#include "text_buffer.h"

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
    char *out = data != nullptr ? data : static_cast<char *>(std::calloc(1, 1));
    data = nullptr;
    length = capacity = 0;
    return out;
}

}  // namespace mekal::record
