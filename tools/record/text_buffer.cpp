// A growable text for the recorder and mekal-run.
#include "text_buffer.h"

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
    // By hand: formatting through snprintf costs more than the rest of a
    // record's numbers together.
    char digits[24];
    char *end = digits + sizeof digits;
    char *p = end;
    unsigned long long magnitude = number < 0 ? 0ull - static_cast<unsigned long long>(number)
                                              : static_cast<unsigned long long>(number);
    do {
        *--p = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (number < 0) *--p = '-';
    append(p, static_cast<size_t>(end - p));
}

void text_buffer::append_digits(unsigned long long number, int width) {
    char digits[24];
    char *end = digits + sizeof digits;
    char *p = end;
    do {
        *--p = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number != 0 || end - p < width);
    append(p, static_cast<size_t>(end - p));
}

char *text_buffer::release() {
    if (failed) return nullptr;
    char *out = data != nullptr ? data : static_cast<char *>(std::calloc(1, 1));
    data = nullptr;
    length = capacity = 0;
    return out;
}

}  // namespace mekal::record
