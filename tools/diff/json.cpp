// Reading JSON for the comparison: one pass over the text, strings decoded
// in place, numbers kept as written, and the children of every container
// side by side in large blocks. A general-purpose reader would turn numbers
// into doubles (losing digits, refusing 1e400), would allocate per value,
// and could bound the nesting only through callbacks that cost more than
// the reading itself. Memory is most of the time a large record takes:
// the blocks are asked for as huge pages, which cuts the page faults of a
// 100,000-value record from about 20,000 to a few dozen.
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>

#include "diff.h"

namespace mekal::diff {

namespace {

// The order of member names: byte by byte, as std::string_view has it, but
// decided by the first byte where that differs, which it mostly does, so
// without a call to compare the rest.
bool name_before(std::string_view x, std::string_view y) {
    if (!x.empty() && !y.empty() && x[0] != y[0])
        return static_cast<unsigned char>(x[0]) < static_cast<unsigned char>(y[0]);
    return x < y;
}

}  // namespace

const json_value *json_value::find(std::string_view name) const {
    if (kind != json_kind::object) return nullptr;
    const std::span<const json_member> members = children();
    const auto at = std::lower_bound(members.begin(), members.end(), name,
                                     [](const json_member &m, std::string_view n) { return name_before(m.name, n); });
    return at != members.end() && at->name == name ? &at->value : nullptr;
}

namespace {

bool is_whitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Length of the well-formed UTF-8 sequence at s (s[0] >= 0x80) within n
// bytes, or 0: no overlong forms, no surrogates, nothing above U+10FFFF.
size_t utf8_sequence(const unsigned char *s, size_t n) {
    const unsigned char lead = s[0];
    const auto continues = [&](size_t i) { return i < n && (s[i] & 0xc0) == 0x80; };
    if (lead >= 0xc2 && lead <= 0xdf) return continues(1) ? 2 : 0;
    if (lead >= 0xe0 && lead <= 0xef) {
        const unsigned char low = lead == 0xe0 ? 0xa0 : 0x80;
        const unsigned char high = lead == 0xed ? 0x9f : 0xbf;
        return n > 1 && s[1] >= low && s[1] <= high && continues(2) ? 3 : 0;
    }
    if (lead >= 0xf0 && lead <= 0xf4) {
        const unsigned char low = lead == 0xf0 ? 0x90 : 0x80;
        const unsigned char high = lead == 0xf4 ? 0x8f : 0xbf;
        return n > 1 && s[1] >= low && s[1] <= high && continues(2) && continues(3) ? 4 : 0;
    }
    return 0;
}

// code as UTF-8 at p; returns the end.
char *put_utf8(char *p, uint32_t code) {
    if (code < 0x80) {
        *p++ = static_cast<char>(code);
    } else if (code < 0x800) {
        *p++ = static_cast<char>(0xc0 | code >> 6);
        *p++ = static_cast<char>(0x80 | (code & 0x3f));
    } else if (code < 0x10000) {
        *p++ = static_cast<char>(0xe0 | code >> 12);
        *p++ = static_cast<char>(0x80 | ((code >> 6) & 0x3f));
        *p++ = static_cast<char>(0x80 | (code & 0x3f));
    } else {
        *p++ = static_cast<char>(0xf0 | code >> 18);
        *p++ = static_cast<char>(0x80 | ((code >> 12) & 0x3f));
        *p++ = static_cast<char>(0x80 | ((code >> 6) & 0x3f));
        *p++ = static_cast<char>(0x80 | (code & 0x3f));
    }
    return p;
}

// The blocks hold children as raw copies and are unmapped without running
// destructors.
static_assert(std::is_trivially_copyable_v<json_member> && std::is_trivially_destructible_v<json_member>);

// Reads the text in place: a string's decoded characters never outnumber
// its escaped ones, so they are written over them, behind the reading
// position, and the value's text is a view of them.
class reader {
public:
    explicit reader(json_document &document)
        : data_(document.text), size_(document.size), blocks_(document.blocks) {}

    void document(json_value &value) {
        // A byte order mark is no part of the JSON; some editors write one.
        if (size_ >= 3 && std::memcmp(data_, "\xef\xbb\xbf", 3) == 0) at_ = 3;
        skip_whitespace();
        if (at_ == size_) fail("the file is empty");
        read_value(value, 0);
        skip_whitespace();
        if (at_ != size_) fail("more text after the JSON value");
    }

private:
    [[noreturn]] void fail(const std::string &what, bool is_json = false) const {
        throw json_error(what, "line " + std::to_string(line_) + ", column " +
                                   std::to_string(at_ - line_start_ + 1), is_json);
    }

    [[noreturn]] void fail_here(const char *expected, const char *inside) const {
        if (at_ == size_) fail(std::string("the text ends inside ") + inside);
        const auto c = static_cast<unsigned char>(data_[at_]);
        std::string found;
        if (c >= 0x20 && c < 0x7f) {
            found = std::string("'") + static_cast<char>(c) + "'";
        } else {
            static constexpr char kHex[] = "0123456789abcdef";
            found = std::string("byte 0x") + kHex[c >> 4] + kHex[c & 15];
        }
        fail(std::string("expected ") + expected + ", found " + found);
    }

    // Raw line ends stand only between tokens, so the lines are counted here.
    void skip_whitespace() {
        for (; at_ < size_ && is_whitespace(data_[at_]); ++at_) {
            if (data_[at_] == '\n') {
                ++line_;
                line_start_ = at_ + 1;
            }
        }
    }

    bool take(char c) {
        if (at_ < size_ && data_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }

    void read_value(json_value &value, int depth) {
        if (at_ == size_) fail("the text ends where a value should be");
        switch (data_[at_]) {
        case '{': return read_object(value, depth + 1);
        case '[': return read_array(value, depth + 1);
        case '"':
            value.kind = json_kind::string;
            value.text = read_string();
            return;
        case 't': return read_word(value, "true", json_kind::boolean, true);
        case 'f': return read_word(value, "false", json_kind::boolean, false);
        case 'n': return read_word(value, "null", json_kind::null, false);
        default:
            if (data_[at_] == '-' || is_digit(data_[at_])) return read_number(value);
            fail_here("a value", "");
        }
    }

    void read_word(json_value &value, std::string_view word, json_kind kind, bool truth) {
        if (std::string_view(data_ + at_, size_ - at_).substr(0, word.size()) != word)
            fail("expected a value (the only words are true, false and null)");
        at_ += word.size();
        value.kind = kind;
        value.truth = truth;
    }

    bool digits() {
        const size_t first = at_;
        while (at_ < size_ && is_digit(data_[at_])) ++at_;
        return at_ > first;
    }

    // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?, any size: kept as text.
    void read_number(json_value &value) {
        const size_t start = at_;
        take('-');
        if (!take('0') && !digits()) fail_here("a digit", "a number");
        if (take('.') && !digits()) fail_here("a digit after the decimal point", "a number");
        if (take('e') || take('E')) {
            if (!take('+')) take('-');
            if (!digits()) fail_here("a digit in the exponent", "a number");
        }
        value.kind = json_kind::number;
        value.text = std::string_view(data_ + start, at_ - start);
    }

    // Four hex digits of a \u escape.
    uint32_t hex4() {
        uint32_t unit = 0;
        for (int i = 0; i < 4; ++i, ++at_) {
            const char c = at_ < size_ ? data_[at_] : '\0';
            uint32_t digit;
            if (c >= '0' && c <= '9') digit = static_cast<uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f') digit = static_cast<uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') digit = static_cast<uint32_t>(c - 'A' + 10);
            else fail_here("four hex digits after \\u", "a string");
            unit = unit << 4 | digit;
        }
        return unit;
    }

    // The escape after a backslash, decoded at out; returns the end.
    char *read_escape(char *out) {
        static constexpr std::string_view kLetters = "\"\\/bfnrt";
        static constexpr std::string_view kMeanings = "\"\\/\b\f\n\r\t";
        const size_t letter = at_ < size_ ? kLetters.find(data_[at_]) : std::string_view::npos;
        if (letter != std::string_view::npos) {
            ++at_;
            *out++ = kMeanings[letter];
            return out;
        }
        if (!take('u')) fail_here("an escape (\\\" \\\\ \\/ \\b \\f \\n \\r \\t \\u)", "a string");
        const size_t escape = at_ - 2;
        uint32_t code = hex4();
        if (code >= 0xd800 && code <= 0xdbff && size_ - at_ >= 2 && data_[at_] == '\\' &&
            data_[at_ + 1] == 'u') {
            at_ += 2;
            const uint32_t low = hex4();
            if (low >= 0xdc00 && low <= 0xdfff) code = 0x10000 + ((code - 0xd800) << 10) + (low - 0xdc00);
            else code = low;  // refused below with the unpaired high half
        }
        if (code >= 0xd800 && code <= 0xdfff) {
            at_ = escape;
            fail("a \\u escape names half a character (an unpaired surrogate)");
        }
        return put_utf8(out, code);
    }

    std::string_view read_string() {
        ++at_;  // the opening quote
        char *const start = data_ + at_;
        char *out = start;
        for (;;) {
            // Plain bytes stay where they are until an escape shifts them.
            const size_t plain = at_;
            while (at_ < size_) {
                const auto c = static_cast<unsigned char>(data_[at_]);
                if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) break;
                ++at_;
            }
            if (out != data_ + plain) std::memmove(out, data_ + plain, at_ - plain);
            out += at_ - plain;
            if (at_ == size_) fail("the text ends inside a string");
            const auto c = static_cast<unsigned char>(data_[at_]);
            if (c == '"') {
                ++at_;
                return std::string_view(start, static_cast<size_t>(out - start));
            }
            if (c == '\\') {
                ++at_;
                out = read_escape(out);
            } else if (c < 0x20) {
                fail("a string holds a control character (write it as an escape)");
            } else {
                const size_t length =
                    utf8_sequence(reinterpret_cast<const unsigned char *>(data_ + at_), size_ - at_);
                if (length == 0) fail("a string holds bytes that are not UTF-8");
                std::memmove(out, data_ + at_, length);
                out += length;
                at_ += length;
            }
        }
    }

    void check_depth(int depth) const {
        if (depth > kMaxJsonDepth)
            fail("nested deeper than " + std::to_string(kMaxJsonDepth) + " levels", true);
    }

    // Room for count children in the document's blocks: whole multiples of
    // 2 MiB, mapped and marked for huge pages, released with the document.
    json_member *room(size_t count) {
        if (count > left_) {
            const size_t members = std::max(count, kBlockBytes / sizeof(json_member));
            const size_t bytes = (members * sizeof(json_member) + kBlockBytes - 1) / kBlockBytes * kBlockBytes;
            void *block = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (block == MAP_FAILED) throw std::bad_alloc();
            (void)::madvise(block, bytes, MADV_HUGEPAGE);  // a hint: without it, small pages
            blocks_.emplace_back(block, bytes);
            next_ = static_cast<json_member *>(block);
            left_ = bytes / sizeof(json_member);
        }
        return next_;
    }

    // The children of every level are gathered on one stack, then copied
    // side by side into the blocks: no allocation per container.
    void take_children(json_value &value, size_t base) {
        const size_t count = stack_.size() - base;
        if (count > UINT32_MAX) fail("a container holds more than 2^32 values");
        std::uninitialized_copy(stack_.begin() + static_cast<std::ptrdiff_t>(base), stack_.end(), room(count));
        value.first = next_;
        value.count = static_cast<uint32_t>(count);
        next_ += count;
        left_ -= count;
        stack_.resize(base);
    }

    void read_array(json_value &value, int depth) {
        check_depth(depth);
        ++at_;
        value.kind = json_kind::array;
        skip_whitespace();
        if (take(']')) return;
        const size_t base = stack_.size();
        for (;;) {
            skip_whitespace();
            // Read aside: the levels inside push onto the same stack.
            json_member element;
            read_value(element.value, depth);
            stack_.push_back(element);
            skip_whitespace();
            if (take(']')) break;
            if (!take(',')) fail_here("',' or ']'", "an array");
        }
        take_children(value, base);
    }

    void read_object(json_value &value, int depth) {
        check_depth(depth);
        ++at_;
        value.kind = json_kind::object;
        skip_whitespace();
        if (take('}')) return;
        const size_t base = stack_.size();
        for (;;) {
            skip_whitespace();
            if (at_ == size_ || data_[at_] != '"') fail_here("a member name in quotes", "an object");
            json_member member;
            member.name = read_string();
            skip_whitespace();
            if (!take(':')) fail_here("':'", "an object");
            skip_whitespace();
            read_value(member.value, depth);
            stack_.push_back(member);
            skip_whitespace();
            if (take('}')) break;
            if (!take(',')) fail_here("',' or '}'", "an object");
        }
        // By name; of a name given twice the last value stands, as in most
        // readers.
        const auto first = stack_.begin() + static_cast<std::ptrdiff_t>(base);
        std::stable_sort(first, stack_.end(),
                         [](const json_member &x, const json_member &y) { return name_before(x.name, y.name); });
        auto kept = first;
        for (auto m = first; m != stack_.end(); ++m) {
            if (m + 1 != stack_.end() && m[1].name == m->name) continue;
            if (kept != m) *kept = *m;
            ++kept;
        }
        stack_.erase(kept, stack_.end());
        take_children(value, base);
    }

    static constexpr size_t kBlockBytes = size_t{2} << 20;

    char *data_;
    size_t size_;
    std::vector<std::pair<void *, size_t>> &blocks_;
    json_member *next_ = nullptr;  // free room in the last block
    size_t left_ = 0;
    size_t at_ = 0;
    size_t line_ = 1;
    size_t line_start_ = 0;
    std::vector<json_member> stack_;
};

// ------------------------------------------------------------ exact numbers

// digits (a decimal magnitude) plus or minus n; a subtraction needs
// digits >= n. The result has no leading zeros ("0" for zero).
std::string add_to_digits(std::string_view digits, uint64_t n, bool subtract) {
    std::string reversed;
    int carry = 0;  // or borrow
    for (size_t i = digits.size(); i > 0 || n != 0 || carry != 0; n /= 10) {
        int d = i > 0 ? digits[--i] - '0' : 0;
        const int m = static_cast<int>(n % 10) + carry;
        d += subtract ? -m : m;
        carry = d < 0 || d > 9 ? 1 : 0;
        if (d < 0) d += 10;
        else if (d > 9) d -= 10;
        reversed += static_cast<char>('0' + d);
    }
    while (reversed.size() > 1 && reversed.back() == '0') reversed.pop_back();
    if (reversed.empty()) return "0";
    return std::string(reversed.rbegin(), reversed.rend());
}

// Whether the decimal magnitude digits (no leading zeros) is below n.
bool digits_below(std::string_view digits, uint64_t n) {
    const std::string other = std::to_string(n);
    return digits.size() != other.size() ? digits.size() < other.size() : digits < other;
}

}  // namespace

json_document::~json_document() {
    if (mapping != nullptr) ::munmap(mapping, size);
    for (const auto &[block, bytes] : blocks) ::munmap(block, bytes);
}

void read_json(json_document &document) { reader(document).document(document.root); }

void write_json_string(std::string &out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    const auto *s = reinterpret_cast<const unsigned char *>(text.data());
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = s[i];
        if (c >= 0x80) {
            const size_t length = utf8_sequence(s + i, text.size() - i);
            if (length == 0) {
                out += "\xef\xbf\xbd";  // U+FFFD for the one bad byte
                ++i;
            } else {
                out.append(text.data() + i, length);
                i += length;
            }
            continue;
        }
        ++i;
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                out += "\\u00";
                out += kHex[c >> 4];
                out += kHex[c & 15];
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += '"';
}

void write_json(std::string &out, const json_value &value, std::string_view pid) {
    switch (value.kind) {
    case json_kind::null: out += "null"; return;
    case json_kind::boolean: out += value.truth ? "true" : "false"; return;
    case json_kind::number: out += value.text; return;
    case json_kind::string:
        write_json_string(out, pid.empty() ? std::string(value.text) : without_pid(value.text, pid));
        return;
    case json_kind::array:
    case json_kind::object: {
        const bool object = value.kind == json_kind::object;
        out += object ? '{' : '[';
        for (const json_member &child : value.children()) {
            if (&child != value.first) out += ',';
            if (object) {
                write_json_string(out, child.name);
                out += ':';
            }
            write_json(out, child.value, pid);
        }
        out += object ? '}' : ']';
        return;
    }
    }
}

std::string exact_number(std::string_view text) {
    // text = [-] int [. fraction] [e exponent], as the reader checked.
    size_t at = 0;
    const bool negative = text[at] == '-';
    if (negative) ++at;
    const size_t point = text.find('.');  // npos when there is none
    std::string digits;
    int64_t shift = 0;  // the power of ten the digits are scaled by, beside the exponent
    for (; at < text.size() && text[at] != 'e' && text[at] != 'E'; ++at) {
        if (text[at] == '.') continue;
        digits += text[at];
        if (point < at) --shift;  // a digit of the fraction
    }
    const size_t first = digits.find_first_not_of('0');
    if (first == std::string::npos) return "0";
    const size_t last = digits.find_last_not_of('0');
    shift += static_cast<int64_t>(digits.size() - 1 - last);
    digits = digits.substr(first, last + 1 - first);

    // The exponent may have any number of digits: the shift is added to it
    // as text.
    bool exponent_negative = false;
    std::string exponent = "0";
    if (at < text.size()) {
        ++at;
        if (at < text.size() && (text[at] == '+' || text[at] == '-')) exponent_negative = text[at++] == '-';
        const size_t lead = text.find_first_not_of('0', at);
        if (lead != std::string_view::npos) exponent.assign(text.substr(lead));
        if (exponent == "0") exponent_negative = false;
    }
    const bool shift_negative = shift < 0;
    const uint64_t magnitude = shift_negative ? 0 - static_cast<uint64_t>(shift) : static_cast<uint64_t>(shift);
    if (magnitude != 0) {
        if (exponent == "0" || exponent_negative == shift_negative) {
            exponent = add_to_digits(exponent, magnitude, false);
            exponent_negative = shift_negative;
        } else if (digits_below(exponent, magnitude)) {
            // The shift outweighs the exponent, which then fits in 64 bits.
            exponent = std::to_string(magnitude - std::stoull(exponent));
            exponent_negative = shift_negative;
        } else {
            exponent = add_to_digits(exponent, magnitude, true);
            if (exponent == "0") exponent_negative = false;
        }
    }
    return (negative ? "-" : "") + digits + "e" + (exponent_negative ? "-" : "") + exponent;
}

}  // namespace mekal::diff
