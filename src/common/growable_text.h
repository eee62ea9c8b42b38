// A growable text in one malloc'd block, shared by the library and the
// tools: C++20 without exceptions or the C++ library, nothing beyond the C
// library's malloc, realloc and free. A failed allocation marks the text
// failed and every later write is dropped, so callers check once, at the
// end. Writers either append, or ask for room, write through the pointer
// they get and commit. The library includes it as "common/growable_text.h";
// a tool links the mekal_common target and includes "growable_text.h".
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace mekal {

class growable_text {
public:
    growable_text() = default;
    growable_text(const growable_text &) = delete;
    growable_text &operator=(const growable_text &) = delete;
    ~growable_text() { std::free(data_); }

    // Where n more bytes can be written, or nullptr once the text failed.
    // A byte beyond them is always kept for the terminating NUL.
    char *room(size_t n) { return !failed_ && capacity_ - size_ > n ? data_ + size_ : grow(n); }
    // Takes the bytes written up to end, a pointer into the last room.
    void commit(const char *end) { size_ = static_cast<size_t>(end - data_); }

    void append(const char *text, size_t n) {
        if (char *p = room(n)) {
            std::memcpy(p, text, n);
            size_ += n;
        }
    }
    void append(const char *text) { append(text, std::strlen(text)); }
    void append(char c) {
        if (char *p = room(1)) {
            *p = c;
            ++size_;
        }
    }
    template <size_t N>
    void append_literal(const char (&text)[N]) { append(text, N - 1); }
    // number in decimal, with a '-' when negative.
    void append_decimal(long long number) {
        char digits[24];
        char *start = digits + sizeof digits;
        // The magnitude in unsigned arithmetic, so LLONG_MIN has one too.
        unsigned long long magnitude = number < 0 ? 0ull - static_cast<unsigned long long>(number)
                                                  : static_cast<unsigned long long>(number);
        do {
            *--start = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        if (number < 0) *--start = '-';
        append(start, static_cast<size_t>(digits + sizeof digits - start));
    }

    // Sets the first capacity; a failure shows at the end like any other.
    void reserve(size_t n) { (void)room(n); }
    // Drops what was written from length on.
    void truncate(size_t length) {
        if (length < size_) size_ = length;
    }
    size_t size() const { return size_; }
    bool failed() const { return failed_; }
    // Marks the text as failed for a reason other than memory.
    void fail() { failed_ = true; }

    // The text so far, NUL-terminated and still owned by this object;
    // nullptr once it failed.
    char *c_str() {
        char *end = room(0);
        if (end == nullptr) return nullptr;
        *end = '\0';
        return data_;
    }
    // Hands the text over, NUL-terminated, in a block of exactly its size
    // that the caller frees; nullptr when it failed (the partial text is
    // freed with this object).
    char *release() {
        if (c_str() == nullptr) return nullptr;
        char *text = data_;
        // Cutting a block down rarely fails; if it does, the larger block
        // holds the same text.
        if (capacity_ > size_ + 1) {
            if (auto *exact = static_cast<char *>(std::realloc(data_, size_ + 1))) text = exact;
        }
        data_ = nullptr;
        size_ = capacity_ = 0;
        return text;
    }

private:
    static constexpr size_t kFirstCapacity = 64;

    char *grow(size_t n) {
        if (failed_) return nullptr;
        // Room for n bytes and the NUL, in a capacity that can still double.
        if (n > SIZE_MAX / 2 - size_ - 1) {
            failed_ = true;
            return nullptr;
        }
        size_t capacity = capacity_ < kFirstCapacity ? kFirstCapacity : capacity_;
        while (capacity - size_ <= n) capacity *= 2;
        auto *data = static_cast<char *>(std::realloc(data_, capacity));
        if (data == nullptr) {
            failed_ = true;
            return nullptr;
        }
        data_ = data;
        capacity_ = capacity;
        return data_ + size_;
    }

    char *data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    bool failed_ = false;
};

}  // namespace mekal
