// Typed entries for callers that cannot call a variadic function (Fortran
// above all): a kind code instead of a type string, texts as (pointer,
// length) pairs. Recording goes through the formatted entry, reading through
// the lookup, so that both behave exactly as for C callers, observers and
// replacements included.
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

#include "types/types.h"
#include "values/values.h"

namespace mekal {
namespace {

struct free_deleter {
    void operator()(void *block) const { std::free(block); }
};
using text_copy = std::unique_ptr<char, free_deleter>;

// Packed width and type strings of each kind, indexed by its code.
struct kind_form {
    size_t width;
    const char *scalar;
    const char *list;
};
constexpr kind_form kForms[] = {
    {0, nullptr, nullptr}, {1, "%i8", "{%i8}"}, {2, "%i16", "{%i16}"}, {4, "%d", "{%d}"},
    {8, "%ld", "{%ld}"},   {4, "%f32", "{%f32}"}, {8, "%f", "{%f}"}, {1, "%d", "{%d}"},
    {0, "%s", "{%s}"},
};
static_assert(sizeof kForms / sizeof kForms[0] == mekal_kind_text + 1);
// "%ld" holds an int64_t only where long is 64 bits wide.
static_assert(sizeof(long) == sizeof(int64_t));

bool known_kind(mekal_kind_t kind) { return kind >= mekal_kind_int8 && kind <= mekal_kind_text; }

// A NUL-terminated copy of the length bytes at text; null for a null text,
// an embedded NUL or exhausted memory.
text_copy terminated(const char *text, size_t length) {
    if (text == nullptr || length == SIZE_MAX || std::memchr(text, '\0', length) != nullptr)
        return nullptr;
    text_copy copy(static_cast<char *>(std::malloc(length + 1)));
    if (copy == nullptr) return nullptr;
    std::memcpy(copy.get(), text, length);
    copy.get()[length] = '\0';
    return copy;
}

// The name and subcategory as the formatted entry takes them.
struct labels {
    text_copy name;
    text_copy subcategory;
    bool valid = false;
};

labels make_labels(const char *name, size_t name_length, const char *subcategory,
                   size_t subcategory_length) {
    labels out;
    out.name = terminated(name, name_length);
    if (out.name == nullptr) return out;
    if (subcategory != nullptr) {
        out.subcategory = terminated(subcategory, subcategory_length);
        if (out.subcategory == nullptr) return out;
    }
    out.valid = true;
    return out;
}

int record_one(const labels &l, mekal_category_t category, mekal_kind_t kind, const void *value,
               size_t text_length) {
    const char *type = kForms[kind].scalar;
    const char *sub = l.subcategory.get();
    switch (kind) {
    case mekal_kind_int8:
        return mekal_namevalue(l.name.get(), category, sub, type, int{read_packed<int8_t>(value)});
    case mekal_kind_int16:
        return mekal_namevalue(l.name.get(), category, sub, type, int{read_packed<int16_t>(value)});
    case mekal_kind_int32:
        return mekal_namevalue(l.name.get(), category, sub, type, read_packed<int32_t>(value));
    case mekal_kind_int64:
        return mekal_namevalue(l.name.get(), category, sub, type,
                               static_cast<long>(read_packed<int64_t>(value)));
    case mekal_kind_real32:
        return mekal_namevalue(l.name.get(), category, sub, type,
                               static_cast<double>(read_packed<float>(value)));
    case mekal_kind_real64:
        return mekal_namevalue(l.name.get(), category, sub, type, read_packed<double>(value));
    case mekal_kind_logical:
        return mekal_namevalue(l.name.get(), category, sub, type,
                               read_packed<unsigned char>(value) != 0 ? 1 : 0);
    default: {
        const text_copy text = terminated(static_cast<const char *>(value), text_length);
        if (text == nullptr) return -1;
        return mekal_namevalue(l.name.get(), category, sub, type, text.get());
    }
    }
}

// Length of a fixed-width text without its padding: trailing blanks, which
// Fortran pads with, and NULs, which a C char array is padded with.
size_t trimmed_length(const char *text, size_t length) {
    while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\0')) --length;
    return length;
}

// count fixed-width texts as a list of trimmed texts: one block holds the
// packed text pointers the formatted entry takes, then the texts.
int record_texts(const labels &l, mekal_category_t category, const char *texts, size_t count,
                 size_t text_length) {
    const size_t per_text = sizeof(char *) + 1;
    if (count > 0 && text_length > (SIZE_MAX - 1) / count - per_text) return -1;
    const std::unique_ptr<void, free_deleter> block(
        std::malloc(count * (per_text + text_length) + 1));
    if (block == nullptr) return -1;
    auto **pointers = static_cast<char **>(block.get());
    char *next = static_cast<char *>(block.get()) + count * sizeof(char *);
    for (size_t i = 0; i < count; ++i) {
        const char *text = texts + i * text_length;
        const size_t length = trimmed_length(text, text_length);
        if (std::memchr(text, '\0', length) != nullptr) return -1;
        std::memcpy(next, text, length);
        next[length] = '\0';
        pointers[i] = next;
        next += length + 1;
    }
    return mekal_namevalue(l.name.get(), category, l.subcategory.get(), "{%s}", pointers,
                           static_cast<int>(count));
}

int record_list(const labels &l, mekal_category_t category, mekal_kind_t kind,
                const void *values, size_t count, size_t text_length) {
    // The formatted entry refuses a null container, also an empty one.
    static const int64_t no_values = 0;
    if (count == 0) values = &no_values;
    if (kind == mekal_kind_text)
        return record_texts(l, category, static_cast<const char *>(values), count, text_length);
    if (kind == mekal_kind_logical) {
        // Any nonzero byte is true: normalised to a packed list of 0 and 1.
        const std::unique_ptr<int32_t, free_deleter> flags(
            static_cast<int32_t *>(std::malloc(count * sizeof(int32_t) + 1)));
        if (flags == nullptr) return -1;
        const auto *bytes = static_cast<const unsigned char *>(values);
        for (size_t i = 0; i < count; ++i) flags.get()[i] = bytes[i] != 0 ? 1 : 0;
        return mekal_namevalue(l.name.get(), category, l.subcategory.get(), "{%d}", flags.get(),
                               static_cast<int>(count));
    }
    return mekal_namevalue(l.name.get(), category, l.subcategory.get(), kForms[kind].list, values,
                           static_cast<int>(count));
}

// The stored integer of any integer type, or false for another type or an
// unsigned value beyond int64_t.
bool stored_integer(const mekal_datatype_t *datatype, const mekal_value_t *value, int64_t *out) {
    switch (datatype->type) {
    case mekal_type_int: *out = value->as_int; return true;
    case mekal_type_unsigned_int: *out = static_cast<uint32_t>(value->as_int); return true;
    case mekal_type_long:
    case mekal_type_long_long: *out = value->as_long; return true;
    case mekal_type_unsigned_long:
    case mekal_type_unsigned_long_long:
        *out = value->as_long;
        return value->as_long >= 0;
    default: return false;
    }
}

template <typename T>
bool put_integer(int64_t integer, void *out) {
    if constexpr (sizeof(T) < sizeof(int64_t)) {
        if (integer < std::numeric_limits<T>::min() || integer > std::numeric_limits<T>::max())
            return false;
    }
    const auto narrow = static_cast<T>(integer);
    std::memcpy(out, &narrow, sizeof narrow);
    return true;
}

// A double that a float holds exactly (NaN and infinities included).
bool float_holds(double real) {
    if (std::isnan(real) || std::isinf(real)) return true;
    return std::fabs(real) <= FLT_MAX && static_cast<double>(static_cast<float>(real)) == real;
}

int get_one(const mekal_datatype_t *datatype, const mekal_value_t *value, mekal_kind_t kind,
            void *out) {
    int64_t integer = 0;
    switch (kind) {
    case mekal_kind_real32:
    case mekal_kind_real64: {
        if (datatype->type != mekal_type_double) return -1;
        const double real = value->as_double;
        if (kind == mekal_kind_real64) {
            std::memcpy(out, &real, sizeof real);
            return 0;
        }
        if (!float_holds(real)) return -1;
        const auto narrow = static_cast<float>(real);
        std::memcpy(out, &narrow, sizeof narrow);
        return 0;
    }
    case mekal_kind_text:
        if (!is_text_code(datatype->type) || value->as_ptr == nullptr) return -1;
        std::memcpy(out, &value->as_ptr, sizeof value->as_ptr);
        return 0;
    default:
        if (!stored_integer(datatype, value, &integer)) return -1;
        switch (kind) {
        case mekal_kind_int8: return put_integer<int8_t>(integer, out) ? 0 : -1;
        case mekal_kind_int16: return put_integer<int16_t>(integer, out) ? 0 : -1;
        case mekal_kind_int32: return put_integer<int32_t>(integer, out) ? 0 : -1;
        case mekal_kind_int64: return put_integer<int64_t>(integer, out) ? 0 : -1;
        default: {
            const unsigned char flag = integer != 0 ? 1 : 0;
            std::memcpy(out, &flag, 1);
            return 0;
        }
        }
    }
}

}  // namespace
}  // namespace mekal

MEKAL_API int mekal_record_scalar(const char *name, size_t name_length, mekal_category_t category,
                                  const char *subcategory, size_t subcategory_length,
                                  mekal_kind_t kind, const void *value, size_t text_length) {
    if (!mekal::known_kind(kind) || value == nullptr) return -1;
    const mekal::labels l = mekal::make_labels(name, name_length, subcategory, subcategory_length);
    if (!l.valid) return -1;
    return mekal::record_one(l, category, kind, value, text_length);
}

MEKAL_API int mekal_record_array(const char *name, size_t name_length, mekal_category_t category,
                                 const char *subcategory, size_t subcategory_length,
                                 mekal_kind_t kind, const void *values, size_t count,
                                 size_t text_length) {
    if (!mekal::known_kind(kind) || count > INT_MAX || (values == nullptr && count > 0))
        return -1;
    const mekal::labels l = mekal::make_labels(name, name_length, subcategory, subcategory_length);
    if (!l.valid) return -1;
    return mekal::record_list(l, category, kind, values, count, text_length);
}

MEKAL_API int mekal_get_scalar(const char *name, size_t name_length, mekal_kind_t kind,
                               void *value_out) {
    if (!mekal::known_kind(kind) || value_out == nullptr) return -1;
    const mekal::text_copy terminated_name = mekal::terminated(name, name_length);
    mekal_datatype_t *datatype = nullptr;
    mekal_value_t *value = nullptr;
    if (terminated_name == nullptr ||
        mekal_get_nameval(terminated_name.get(), &datatype, &value, nullptr, nullptr) != 0 ||
        datatype == nullptr || value == nullptr)
        return -1;
    return mekal::get_one(datatype, value, kind, value_out);
}
