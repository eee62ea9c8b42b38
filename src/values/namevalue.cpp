// The printf-like recording entry: a first scan of the type string decides
// how the value argument is taken, the parser builds the datatype from the
// rest, and the value is copied into library-owned storage before it is
// handed to the raw entry.
#include <cstdarg>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "types/types.h"
#include "values/values.h"

namespace mekal {
namespace {

// Outermost kind of a type string by its first significant characters, or
// mekal_type_unset when they open no value. Reads only the string.
int32_t outermost_code(const char *typestr) {
    const char *p = typestr;
    while (*p != '%' && (is_type_string_blank(static_cast<unsigned char>(*p)) || *p == '&' || *p == ',')) ++p;
    switch (*p) {
    case '<': return mekal_type_range;
    case '[': return mekal_type_set;
    case '{': return mekal_type_list;
    case '(': return mekal_type_tuple;
    case '%': break;
    default: return mekal_type_unset;
    }
    // Each test below stops at the first mismatch, so no character past the
    // terminating NUL is looked at.
    const char *c = p + 1;
    switch (*c) {
    case 'l':
        if (c[1] == 'd') return mekal_type_long;
        if (c[1] == 'u') return mekal_type_unsigned_long;
        if (c[1] == 'l' && c[2] == 'd') return mekal_type_long_long;
        if (c[1] == 'l' && c[2] == 'u') return mekal_type_unsigned_long_long;
        return mekal_type_unset;
    case 'd': return mekal_type_int;
    case 'i': return (c[1] == '6' && c[2] == '4') ? mekal_type_long_long : mekal_type_int;
    case 'u':
        return (c[1] == '6' && c[2] == '4') ? mekal_type_unsigned_long_long : mekal_type_unsigned_int;
    case 'f': return mekal_type_double;
    case 'D': return mekal_type_date;
    case 't': return mekal_type_timeval;
    case 'v': return mekal_type_version;
    case 's': return mekal_type_string;
    case 'r': return mekal_type_catstring;
    case 'p': return mekal_type_path;
    case 'j': return mekal_type_jsonstring;
    default: return mekal_type_unset;
    }
}

// Takes the value argument as the outermost kind says and puts what can be
// stored at once into the slot; text and container pointers are left in
// *pointer for the copy after the parse. Returns false on exhausted memory.
bool take_value(int32_t code, va_list *args, mekal_value_t *slot, const void **pointer) {
    switch (code) {
    case mekal_type_long:
    case mekal_type_date:
        slot->as_long = va_arg(*args, long);
        return true;
    case mekal_type_unsigned_long:
        slot->as_long = static_cast<int64_t>(va_arg(*args, unsigned long));
        return true;
    case mekal_type_long_long:
        slot->as_long = va_arg(*args, long long);
        return true;
    case mekal_type_unsigned_long_long:
        slot->as_long = static_cast<int64_t>(va_arg(*args, unsigned long long));
        return true;
    case mekal_type_int:
        slot->as_int = va_arg(*args, int);  // never narrowed to a declared width
        return true;
    case mekal_type_unsigned_int:
        slot->as_int = static_cast<int32_t>(va_arg(*args, unsigned int));
        return true;
    case mekal_type_double:
        slot->as_double = va_arg(*args, double);
        return true;
    case mekal_type_timeval: {
        // Copied whatever the parser later says: a timeval has no reference form.
        const auto *caller = va_arg(*args, const struct timeval *);
        if (caller == nullptr) {
            *pointer = nullptr;
            return true;
        }
        void *copy = std::malloc(16);
        if (copy == nullptr) return false;
        std::memcpy(copy, caller, 16);
        slot->as_ptr = copy;
        *pointer = caller;
        return true;
    }
    default:
        // Texts and containers: copied or referenced once the datatype is known.
        *pointer = va_arg(*args, const void *);
        return true;
    }
}

int record(const char *name, mekal_category_t category, const char *subcategory,
           const char *typestr, int32_t code, va_list *args, int length) {
    // Zero-filled, so a 32-bit value leaves no undefined high half and a
    // failure before the value is stored releases nothing through it.
    // malloc and a store: glibc's calloc bypasses the per-thread cache.
    auto *slot = static_cast<mekal_value_t *>(std::malloc(sizeof(mekal_value_t)));
    if (slot == nullptr) return -1;
    slot->as_long = 0;
    const void *pointer = nullptr;
    if (!take_value(code, args, slot, &pointer)) {
        std::free(slot);
        return -1;
    }

    int end_pos = 0;
    mekal_datatype_t *datatype = parse_datatype(typestr, 0, length, 0, args, &end_pos);
    if (datatype == nullptr) {
        if (code == mekal_type_timeval) std::free(slot->as_ptr);
        std::free(slot);
        return -1;
    }

    // A missing timeval, text or container is refused rather than stored as
    // an empty slot; the parse has run, so the counts were drawn in order.
    const bool needs_pointer = code == mekal_type_timeval || is_text_code(code) ||
                               is_container_code(code);
    if (needs_pointer && pointer == nullptr) {
        release_recording(slot, datatype);
        return -1;
    }

    if (is_text_code(code)) {
        if (datatype->is_reference != 0) {
            slot->as_ptr = const_cast<void *>(pointer);
        } else {
            slot->as_ptr = strdup(static_cast<const char *>(pointer));
            if (slot->as_ptr == nullptr) {
                release_recording(slot, datatype);
                return -1;
            }
        }
    } else if (is_container_code(code)) {
        if (datatype->is_reference != 0) {
            slot->as_ptr = const_cast<void *>(pointer);
        } else if (copy_value(slot, datatype, pointer) < 0) {
            // copy_value kept nothing and left the slot as it was (null).
            release_recording(slot, datatype);
            return -1;
        }
    }

    const int result = mekal_raw_namevalue(name, category, subcategory, slot, datatype);
    if (category == mekal_category_control) {
        // A control event is only dispatched; nothing stores what was built.
        release_recording(slot, datatype);
    }
    // On -1 the raw entry has already released what it was handed.
    return result;
}

// How a bare numeric conversion's argument is passed: promoted to int (or
// unsigned int, the same bits), as a 64-bit integer, or as a double.
enum class scalar_arg : uint8_t { none, int32, int64, real };

struct scalar_form {
    int record = 0;
    scalar_arg arg = scalar_arg::none;
};

// Width suffix after the conversion letter at letter, ending the text:
// "" 0, "8" 1, "16" 2, "32" 4, "64" 8; -1 for anything else.
inline int exact_width(const char *letter) {
    int pos = 0;  // read_width_suffix starts at the letter
    const int width = read_width_suffix(letter, &pos);
    return width >= 0 && letter[pos + 1] == '\0' ? width : -1;
}

// A type string that is exactly one numeric conversion ("%d", "%u16",
// "%f32", "%D", "%llu", ...), classified in one pass: the record the parser
// would build and how the argument comes. Anything else (texts, containers,
// references, blanks, trailing text) goes the general way.
inline scalar_form bare_scalar(const char *t) {
    using enum scalar_arg;
    if (t[0] != '%') return {};
    switch (t[1]) {
    case 'd': return t[2] == 0 ? scalar_form{kInt, int32} : scalar_form{};
    case 'D': return t[2] == 0 ? scalar_form{kDate, int64} : scalar_form{};
    case 'f':
        switch (exact_width(t + 1)) {
        case 0: case 8: return {kDouble, real};
        case 4: return {kFloat, real};
        default: return {};
        }
    case 'u':
        switch (exact_width(t + 1)) {
        case 0: case 4: return {kUnsignedInt, int32};
        case 1: return {kUnsigned8, int32};
        case 2: return {kUnsigned16, int32};
        case 8: return {kUnsignedLongLong, int64};
        default: return {};
        }
    case 'i':
        switch (exact_width(t + 1)) {
        case 0: case 4: return {kInt, int32};
        case 1: return {kInt8, int32};
        case 2: return {kInt16, int32};
        case 8: return {kLongLong, int64};
        default: return {};
        }
    case 'l':
        if (t[2] == 'd' && t[3] == 0) return {kLong, int64};
        if (t[2] == 'u' && t[3] == 0) return {kUnsignedLong, int64};
        if (t[2] == 'l' && t[3] == 'd' && t[4] == 0) return {kLongLong, int64};
        if (t[2] == 'l' && t[3] == 'u' && t[4] == 0) return {kUnsignedLongLong, int64};
        return {};
    default:
        return {};
    }
}

int record_scalar(const char *name, mekal_category_t category, const char *subcategory,
                  scalar_form form, va_list *args) {
    auto *slot = static_cast<mekal_value_t *>(std::malloc(sizeof(mekal_value_t)));
    if (slot == nullptr) return -1;
    slot->as_long = 0;  // a 32-bit value leaves no undefined high half
    switch (form.arg) {
    case scalar_arg::int32: slot->as_int = va_arg(*args, int); break;
    case scalar_arg::int64: slot->as_long = va_arg(*args, long long); break;
    default: slot->as_double = va_arg(*args, double); break;
    }
    mekal_datatype_t *datatype = base_record(form.record);
    const int result = mekal_raw_namevalue(name, category, subcategory, slot, datatype);
    // A control event is only dispatched; nothing stores the slot.
    if (category == mekal_category_control) std::free(slot);
    return result;
}

}  // namespace
}  // namespace mekal

extern "C" MEKAL_API int mekal_namevalue(const char *name, mekal_category_t category,
                                         const char *subcategory, const char *typestr, ...) {
    // Every refusal up to the scan reads no argument and allocates nothing.
    if (name == nullptr || typestr == nullptr) return -1;
    const mekal::scalar_form scalar = mekal::bare_scalar(typestr);
    if (scalar.arg != mekal::scalar_arg::none) {
        va_list args;
        va_start(args, typestr);
        const int result = mekal::record_scalar(name, category, subcategory, scalar, &args);
        va_end(args);
        return result;
    }
    const size_t length = std::strlen(typestr);
    if (length > static_cast<size_t>(INT_MAX)) return -1;  // positions are 32-bit
    const int32_t code = mekal::outermost_code(typestr);
    if (code == mekal_type_unset) return -1;

    va_list args;
    va_start(args, typestr);
    const int result = mekal::record(name, category, subcategory, typestr, code, &args,
                                       static_cast<int>(length));
    va_end(args);
    return result;
}
