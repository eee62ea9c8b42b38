// Type-string parser: turns "%d", "[%s]", "(%d,&%p)" and the like into
// datatypes. Scalars come back as the shared static records; only containers
// are allocated, and a failed parse releases everything it built.
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "types/types.h"

namespace mekal {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_opener(char c) { return c == '<' || c == '[' || c == '{' || c == '('; }
bool is_closer(char c) { return c == '>' || c == ']' || c == '}' || c == ')'; }

char closer_of(char opener) {
    switch (opener) {
    case '<': return '>';
    case '[': return ']';
    case '{': return '}';
    default: return ')';
    }
}

// Position of the bracket closing the container opened at open, or -1.
// Bracket kinds are not matched against each other: any opener deepens and
// any closer shallows, and only the wanted closer at depth 0 ends the scan.
// The NUL check keeps an end bound past the text harmless. Nesting deeper
// than max_depth (what the parser may still descend) fails at once: every
// level would otherwise rescan the whole deep text before the cap refused
// it, 256 times the length of a string of nested brackets.
int find_closing(const char *text, int open, int end, int max_depth) {
    const char wanted = closer_of(text[open]);
    int depth = 0;
    for (int i = open; i < end && text[i] != '\0'; ++i) {
        if (is_opener(text[i])) {
            if (++depth > max_depth) return -1;
        } else if (is_closer(text[i])) {
            --depth;
            if (depth == 0 && text[i] == wanted) return i;
        }
    }
    return -1;
}

// The static record of a conversion whose letter stands at *pos, after a
// prefix of prefix_len 'l's. On success *pos is left on the last character
// consumed (the letter or the last digit of the width suffix).
mekal_datatype_t *conversion_record(const char *text, int *pos, int prefix_len, int reference) {
    switch (text[*pos]) {
    case 'd':
        return base_record(prefix_len == 0 ? kInt : prefix_len == 1 ? kLong : kLongLong);
    case 'u':
        switch (read_width_suffix(text, pos)) {
        case 0: return base_record(prefix_len == 0 ? kUnsignedInt
                                   : prefix_len == 1 ? kUnsignedLong : kUnsignedLongLong);
        case 1: return base_record(kUnsigned8);
        case 2: return base_record(kUnsigned16);
        case 4: return base_record(kUnsignedInt);
        case 8: return base_record(kUnsignedLongLong);
        default: return nullptr;
        }
    case 'i': {
        const int width = read_width_suffix(text, pos);
        return width < 0 ? nullptr : int_by_width(width);
    }
    case 'f':
        switch (read_width_suffix(text, pos)) {
        case 0: case 8: return base_record(kDouble);
        case 4: return base_record(kFloat);
        default: return nullptr;  // 1 and 2 bytes are no floating-point width
        }
    case 'D': return base_record(kDate);
    case 't': return base_record(kTimeval);
    case 'v': return base_record(reference ? kVersionRef : kVersion);
    case 's': return base_record(reference ? kStringRef : kString);
    case 'r': return base_record(reference ? kCatstringRef : kCatstring);
    case 'j': return base_record(reference ? kJsonstringRef : kJsonstring);
    case 'p': return base_record(reference ? kPathRef : kPath);
    default: return nullptr;
    }
}

// A zero-filled container record with room for num_subtypes subtypes.
// num_subtypes is set only once the array exists, so release_datatype can
// take the record back at any point.
mekal_datatype_t *new_container(int32_t code, int reference, int32_t count, int32_t num_subtypes) {
    auto *record = static_cast<mekal_datatype_t *>(std::calloc(1, sizeof(mekal_datatype_t)));
    if (record == nullptr) return nullptr;
    record->type = code;
    record->numerical = mekal_numerical_categorical;
    record->is_reference = reference;
    if (reference) record->num_ref_elements = count;
    else record->num_elements = count;
    if (num_subtypes > 0) {
        // calloc(0) may hand back a block that release_datatype would never
        // free, so an empty tuple keeps a null array.
        record->subtypes = static_cast<mekal_datatype_t **>(
            std::calloc(static_cast<size_t>(num_subtypes), sizeof(mekal_datatype_t *)));
        if (record->subtypes == nullptr) {
            std::free(record);
            return nullptr;
        }
        record->num_subtypes = num_subtypes;
    }
    return record;
}

mekal_datatype_t *parse_step(const char *text, int start, int end, int reference, va_list *args,
                             int *out_pos, int depth);

// Range, set, list or tuple opened at pos. Draws the count (none for a
// range) after the closing bracket is found and before any member is parsed.
mekal_datatype_t *parse_container(const char *text, int pos, int end, int reference,
                                  va_list *args, int *out_pos, int depth) {
    if (depth >= kMaxNesting) return nullptr;
    const char opener = text[pos];
    const int closing = find_closing(text, pos, end, kMaxNesting - depth);
    if (closing < 0) return nullptr;

    int32_t code;
    int32_t count = 2;
    switch (opener) {
    case '<': code = mekal_type_range; break;
    case '[': code = mekal_type_set; break;
    case '{': code = mekal_type_list; break;
    default: code = mekal_type_tuple; break;
    }
    if (code != mekal_type_range) {
        count = va_arg(*args, int);
        // A negative count describes no usable value.
        if (count < 0) return nullptr;
    }
    int32_t members = code == mekal_type_tuple ? count : 1;
    // Every member takes at least two characters inside the brackets, so a
    // larger count is bound to fail; refusing it here spares an allocation
    // sized by an arbitrary caller count.
    if (members > closing - pos) return nullptr;

    mekal_datatype_t *record = new_container(code, reference, count, members);
    if (record == nullptr) return nullptr;

    int member_pos = pos + 1;
    for (int32_t i = 0; i < members; ++i) {
        int next = member_pos;
        record->subtypes[i] = parse_step(text, member_pos, closing, reference, args, &next, depth + 1);
        if (record->subtypes[i] == nullptr) {
            release_datatype(record);
            return nullptr;
        }
        member_pos = next;
    }
    // Anything between the last member and the closing bracket is ignored.
    *out_pos = closing + 1;
    return record;
}

mekal_datatype_t *parse_step(const char *text, int start, int end, int reference, va_list *args,
                             int *out_pos, int depth) {
    if (text == nullptr || start < 0 || start >= end) return nullptr;
    int pos = start;
    // Not bounded by end: inside a container the end bound is a closing
    // bracket, at the top level the NUL, and neither is skipped.
    while (is_type_string_blank(static_cast<unsigned char>(text[pos])) || text[pos] == ',') ++pos;
    if (text[pos] == '&') {
        reference = 1;
        ++pos;  // the mark must stand directly before its type
    }

    switch (text[pos]) {
    case '%': {
        int letter = pos + 1;
        int prefix_len = 0;
        while (prefix_len < 2 && text[letter] == 'l') {
            ++prefix_len;
            ++letter;
        }
        mekal_datatype_t *record = conversion_record(text, &letter, prefix_len, reference);
        if (record == nullptr) return nullptr;
        *out_pos = letter + 1;
        return record;
    }
    case '<': case '[': case '{': case '(':
        return parse_container(text, pos, end, reference, args, out_pos, depth);
    default:
        return nullptr;
    }
}

}  // namespace

bool is_type_string_blank(unsigned char c) {
    // isspace() follows the thread's locale when uselocale() set one; high
    // bytes stay non-blank whatever a single-byte locale says of them.
    return c < 0x80 && std::isspace(c) != 0;
}

int read_width_suffix(const char *text, int *pos) {
    const char first = text[*pos + 1];
    if (!is_digit(first)) return 0;
    if (first == '8') {
        *pos += 1;
        return 1;
    }
    const char second = text[*pos + 2];
    int width;
    if (first == '1' && second == '6') width = 2;
    else if (first == '3' && second == '2') width = 4;
    else if (first == '6' && second == '4') width = 8;
    else return -1;
    *pos += 2;
    return width;
}

mekal_datatype_t *parse_datatype(const char *text, int start, int end, int reference,
                                 va_list *args, int *out_pos) {
    return parse_step(text, start, end, reference != 0, args, out_pos, 0);
}

}  // namespace mekal

extern "C" MEKAL_API mekal_datatype_t *mekal_new_datatype(const char *typestr, ...) {
    if (typestr == nullptr) return nullptr;
    const size_t length = std::strlen(typestr);
    if (length > static_cast<size_t>(INT_MAX)) return nullptr;  // positions are 32-bit
    va_list args;
    va_start(args, typestr);
    int end_pos = 0;
    mekal_datatype_t *datatype =
        mekal::parse_datatype(typestr, 0, static_cast<int>(length), 0, &args, &end_pos);
    va_end(args);
    return datatype;
}
