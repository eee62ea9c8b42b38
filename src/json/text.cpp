// Texts as JSON strings, and the strict check that lets a jsonstring be
// embedded as the JSON it claims to be. Whatever the bytes, the output is
// valid JSON: texts are not required to be UTF-8, and a jsonstring that is
// not exactly one well-formed value is written as a string instead.
#include <cstdint>

#include "common/char_classes.h"
#include "json/json.h"

namespace mekal::json {
namespace {

// Bytes that go into a JSON string as they are: printable ASCII other than
// the quote and the backslash.
struct ByteClasses {
    bool plain[256];
};

constexpr ByteClasses make_byte_classes() {
    ByteClasses classes{};
    for (int c = 0x20; c < 0x80; ++c) classes.plain[c] = c != '"' && c != '\\';
    return classes;
}

constexpr ByteClasses kBytes = make_byte_classes();

// Length of the well-formed UTF-8 sequence at s (s[0] >= 0x80), or 0: no
// overlong forms, no surrogates, nothing above U+10FFFF. Stops at the NUL
// that ends the text, since a NUL is no continuation byte.
size_t utf8_sequence(const unsigned char *s) {
    const unsigned char lead = s[0];
    if (lead >= 0xc2 && lead <= 0xdf) return (s[1] & 0xc0) == 0x80 ? 2 : 0;
    if (lead >= 0xe0 && lead <= 0xef) {
        const unsigned char low = lead == 0xe0 ? 0xa0 : 0x80;
        const unsigned char high = lead == 0xed ? 0x9f : 0xbf;
        return s[1] >= low && s[1] <= high && (s[2] & 0xc0) == 0x80 ? 3 : 0;
    }
    if (lead >= 0xf0 && lead <= 0xf4) {
        const unsigned char low = lead == 0xf0 ? 0x90 : 0x80;
        const unsigned char high = lead == 0xf4 ? 0x8f : 0xbf;
        return s[1] >= low && s[1] <= high && (s[2] & 0xc0) == 0x80 && (s[3] & 0xc0) == 0x80 ? 4
                                                                                             : 0;
    }
    return 0;
}

// Length of the start of s that goes into a JSON string unchanged. Eight
// bytes at a time while no byte of them is special: a set high bit marks
// the bytes at or above 0x80, and the borrow of a subtraction those below
// 0x20 and, after an XOR, the quotes and backslashes.
size_t plain_prefix(const unsigned char *s, size_t length) {
    constexpr uint64_t kOnes = 0x0101010101010101;
    constexpr uint64_t kHighs = 0x8080808080808080;
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t x;
        std::memcpy(&x, s + i, 8);
        const uint64_t quotes = x ^ (kOnes * '"');
        const uint64_t backslashes = x ^ (kOnes * '\\');
        const uint64_t special = (x | ((x - kOnes * 0x20) & ~x) | ((quotes - kOnes) & ~quotes) |
                                  ((backslashes - kOnes) & ~backslashes)) & kHighs;
        if (special != 0) break;
    }
    while (i < length && kBytes.plain[s[i]]) ++i;
    return i;
}

char *escape_control(char *p, unsigned char c) {
    *p++ = '\\';
    switch (c) {
    case '"': *p++ = '"'; break;
    case '\\': *p++ = '\\'; break;
    case '\b': *p++ = 'b'; break;
    case '\f': *p++ = 'f'; break;
    case '\n': *p++ = 'n'; break;
    case '\r': *p++ = 'r'; break;
    case '\t': *p++ = 't'; break;
    default:
        p = append(p, "u00", 3);
        *p++ = "0123456789abcdef"[c >> 4];
        *p++ = "0123456789abcdef"[c & 15];
        break;
    }
    return p;
}

// ------------------------------------------------------------ validation

const unsigned char *skip_blanks(const unsigned char *s) {
    while (is_json_whitespace(*s)) ++s;
    return s;
}

// The four hex digits of a \u escape, or -1.
int32_t hex4(const unsigned char *s) {
    int32_t unit = 0;
    for (int i = 0; i < 4; ++i) {
        const unsigned char c = s[i];
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else return -1;  // also the NUL: the bytes after it are never read
        unit = unit << 4 | digit;
    }
    return unit;
}

// A string starting at its opening quote; returns the byte after its
// closing quote, or nullptr. An escaped surrogate must come in a pair:
// parsers disagree about lone ones, so they are not passed on as JSON.
const unsigned char *skip_string(const unsigned char *s) {
    ++s;
    for (;;) {
        const unsigned char c = *s;
        if (c == '"') return s + 1;
        if (c < 0x20) return nullptr;  // the end of the text, or a raw control character
        if (c >= 0x80) {
            const size_t length = utf8_sequence(s);
            if (length == 0) return nullptr;
            s += length;
            continue;
        }
        if (c != '\\') {
            ++s;
            continue;
        }
        const unsigned char escaped = s[1];
        if (escaped != 'u') {
            if (std::strchr("\"\\/bfnrt", escaped) == nullptr || escaped == 0) return nullptr;
            s += 2;
            continue;
        }
        const int32_t unit = hex4(s + 2);
        if (unit < 0 || (unit >= 0xdc00 && unit <= 0xdfff)) return nullptr;
        s += 6;
        if (unit >= 0xd800 && unit <= 0xdbff) {
            if (s[0] != '\\' || s[1] != 'u') return nullptr;
            const int32_t low = hex4(s + 2);
            if (low < 0xdc00 || low > 0xdfff) return nullptr;
            s += 6;
        }
    }
}

const unsigned char *skip_digits(const unsigned char *s) {
    while (*s >= '0' && *s <= '9') ++s;
    return s;
}

// -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?; the byte after, or nullptr.
const unsigned char *skip_number(const unsigned char *s) {
    if (*s == '-') ++s;
    if (*s == '0') {
        ++s;
    } else if (*s >= '1' && *s <= '9') {
        s = skip_digits(s);
    } else {
        return nullptr;
    }
    if (*s == '.') {
        const unsigned char *digits = ++s;
        s = skip_digits(s);
        if (s == digits) return nullptr;
    }
    if (*s == 'e' || *s == 'E') {
        ++s;
        if (*s == '+' || *s == '-') ++s;
        const unsigned char *digits = s;
        s = skip_digits(s);
        if (s == digits) return nullptr;
    }
    return s;
}

const unsigned char *skip_word(const unsigned char *s, const char *word) {
    const size_t length = std::strlen(word);
    return std::strncmp(reinterpret_cast<const char *>(s), word, length) == 0 ? s + length : nullptr;
}

// One scalar value (string, number or word) at s; the byte after, or nullptr.
const unsigned char *skip_scalar(const unsigned char *s) {
    switch (*s) {
    case '"': return skip_string(s);
    case 't': return skip_word(s, "true");
    case 'f': return skip_word(s, "false");
    case 'n': return skip_word(s, "null");
    default: return skip_number(s);
    }
}

// Open containers, innermost last: a set bit is an object.
class Nesting {
public:
    bool push(bool object) {
        if (depth_ == kMaxJsonNesting) return false;
        const uint64_t bit = uint64_t{1} << (depth_ % 64);
        if (object) kinds_[depth_ / 64] |= bit;
        else kinds_[depth_ / 64] &= ~bit;
        ++depth_;
        return true;
    }
    void pop() { --depth_; }
    bool empty() const { return depth_ == 0; }
    bool in_object() const { return ((kinds_[(depth_ - 1) / 64] >> ((depth_ - 1) % 64)) & 1) != 0; }

private:
    uint64_t kinds_[kMaxJsonNesting / 64] = {};
    int depth_ = 0;
};

// A member name and its colon at s (blanks skipped first); the byte after
// the colon, or nullptr.
const unsigned char *skip_member_name(const unsigned char *s) {
    s = skip_blanks(s);
    if (*s != '"') return nullptr;
    s = skip_string(s);
    if (s == nullptr) return nullptr;
    s = skip_blanks(s);
    return *s == ':' ? s + 1 : nullptr;
}

}  // namespace

bool is_valid_json(const char *text) {
    // An explicit stack instead of recursion: the depth is bounded by the
    // cap, not by the thread's stack.
    Nesting nesting;
    const auto *s = reinterpret_cast<const unsigned char *>(text);
    for (;;) {
        // A value is expected at s.
        s = skip_blanks(s);
        if (*s == '[' || *s == '{') {
            const bool object = *s == '{';
            if (!nesting.push(object)) return false;
            s = skip_blanks(s + 1);
            if (*s == static_cast<unsigned char>(object ? '}' : ']')) {
                nesting.pop();
                ++s;
            } else {
                if (object && (s = skip_member_name(s)) == nullptr) return false;
                continue;
            }
        } else if ((s = skip_scalar(s)) == nullptr) {
            return false;
        }
        // After a complete value: close what ends here, then a comma
        // calls for the next value, or the text must end.
        for (;;) {
            s = skip_blanks(s);
            if (nesting.empty()) return *s == '\0';
            const bool object = nesting.in_object();
            if (*s == static_cast<unsigned char>(object ? '}' : ']')) {
                nesting.pop();
                ++s;
                continue;
            }
            if (*s != ',') return false;
            ++s;
            if (object && (s = skip_member_name(s)) == nullptr) return false;
            break;
        }
    }
}

void put_text(growable_text &out, const char *text) {
    if (text == nullptr) {
        out.append_literal("null");
        return;
    }
    const auto *s = reinterpret_cast<const unsigned char *>(text);
    const size_t length = std::strlen(text);
    size_t plain = plain_prefix(s, length);

    // Room for the worst case: six bytes for each byte after the plain
    // start (a control character's \u00XX).
    const size_t rest = length - plain;
    if (rest > (SIZE_MAX - length - 2) / 6) {
        out.fail();
        return;
    }
    char *p = out.room(plain + 6 * rest + 2);
    if (p == nullptr) return;
    *p++ = '"';
    std::memcpy(p, text, plain);
    p += plain;
    for (size_t i = plain; i < length;) {
        const unsigned char c = s[i];
        if (kBytes.plain[c]) {
            *p++ = static_cast<char>(c);
            ++i;
        } else if (c < 0x80) {
            p = escape_control(p, c);
            ++i;
        } else if (const size_t sequence = utf8_sequence(s + i); sequence != 0) {
            std::memcpy(p, s + i, sequence);
            p += sequence;
            i += sequence;
        } else {
            p = append(p, "\xef\xbf\xbd", 3);  // U+FFFD for the one bad byte
            ++i;
        }
    }
    *p++ = '"';
    out.commit(p);
}

void put_json_text(growable_text &out, const char *text) {
    if (text == nullptr || !is_valid_json(text)) {
        put_text(out, text);
        return;
    }
    // Valid, so the blanks to drop are exactly those outside strings; the
    // document keeps one entry per line only if none survives.
    char *p = out.room(std::strlen(text));
    if (p == nullptr) return;
    bool in_string = false;
    for (const char *s = text; *s != '\0'; ++s) {
        const char c = *s;
        if (in_string) {
            *p++ = c;
            if (c == '\\') *p++ = *++s;
            else if (c == '"') in_string = false;
        } else if (!is_json_whitespace(static_cast<unsigned char>(c))) {
            *p++ = c;
            in_string = c == '"';
        }
    }
    out.commit(p);
}

}  // namespace mekal::json
