// Type system internals: the static base datatypes, the packed size of a
// datatype, the release operations the store applies, the parser and the
// renderer.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "mekal.h"

// The datatype record and the value slot are read and released by every
// copy of the library in the process: their layouts are fixed.
static_assert(sizeof(mekal_datatype_t) == 40);
static_assert(alignof(mekal_datatype_t) == 8);
static_assert(offsetof(mekal_datatype_t, type) == 0);
static_assert(offsetof(mekal_datatype_t, numerical) == 4);
static_assert(offsetof(mekal_datatype_t, num_elements) == 8);
static_assert(offsetof(mekal_datatype_t, num_subtypes) == 12);
static_assert(offsetof(mekal_datatype_t, subtypes) == 16);
static_assert(offsetof(mekal_datatype_t, is_reference) == 24);
static_assert(offsetof(mekal_datatype_t, num_ref_elements) == 28);
static_assert(offsetof(mekal_datatype_t, base_size) == 32);

static_assert(sizeof(mekal_value_t) == 8);
static_assert(offsetof(mekal_value_t, as_long) == 0);
static_assert(offsetof(mekal_value_t, as_int) == 0);
static_assert(offsetof(mekal_value_t, as_double) == 0);
static_assert(offsetof(mekal_value_t, as_ptr) == 0);

namespace mekal {

// Deepest container nesting the parser builds and the renderers (type
// strings and JSON) descend. Each level is one recursive call: the cap keeps
// a deeply bracketed string, or a hand-made tree that refers to itself, from
// exhausting the stack.
inline constexpr int kMaxNesting = 256;

// datatype.cpp
inline constexpr int kBaseDatatypeCount = 24;
extern const mekal_datatype_t base_datatypes[kBaseDatatypeCount];

// Record numbers in base_datatypes, named for the parser.
enum BaseRecord : int {
    kInt = 0, kLong = 1, kUnsignedLong = 2, kLongLong = 3, kUnsignedLongLong = 4,
    kUnsignedInt = 5, kDouble = 6, kDate = 7, kTimeval = 8, kVersion = 9, kString = 10,
    kCatstring = 11, kJsonstring = 12, kPath = 13, kUnsigned8 = 14, kUnsigned16 = 15,
    kInt8 = 16, kInt16 = 17, kFloat = 18, kVersionRef = 19, kStringRef = 20,
    kCatstringRef = 21, kJsonstringRef = 22, kPathRef = 23,
};

// The static record of a base record number, as the mutable pointer type the
// public interface hands out. The records live in read-only memory.
inline mekal_datatype_t *base_record(int record) {
    return const_cast<mekal_datatype_t *>(&base_datatypes[record]);
}

// The static record of conversion i by its width in bytes (0, 1, 2, 4, 8).
mekal_datatype_t *int_by_width(int width);

inline bool is_container_code(int32_t type) { return type >= mekal_type_range && type <= mekal_type_tuple; }

// The five text kinds: a pointer to NUL-terminated text, copied or referenced.
inline bool is_text_code(int32_t type) {
    return type == mekal_type_version || type == mekal_type_string ||
           type == mekal_type_catstring || type == mekal_type_path ||
           type == mekal_type_jsonstring;
}

// Numbers and dates: stored whole in their slot, typed by a static record.
inline bool is_plain_scalar(int32_t type) {
    return (type >= mekal_type_long && type <= mekal_type_date) || type == mekal_type_long_long ||
           type == mekal_type_unsigned_long_long;
}

int32_t datatype_size(const mekal_datatype_t *datatype);
void release_datatype(mekal_datatype_t *datatype);
void release_value(const mekal_datatype_t *datatype, mekal_value_t *value);
// Releases one recording's heap slot with everything it owns, then its
// datatype: what the store drops on replace and clean, and what a recording
// that cannot be stored gives back.
void release_owned_recording(mekal_value_t *slot, mekal_datatype_t *datatype);
inline void release_recording(mekal_value_t *slot, mekal_datatype_t *datatype) {
    // Numbers and dates own nothing beyond their slot, and their datatype is
    // static: the common case is one free.
    if (datatype != nullptr && is_plain_scalar(datatype->type)) {
        std::free(slot);
        return;
    }
    release_owned_recording(slot, datatype);
}

// parser.cpp
// The argument list travels by address so that the formatted entry and the
// parser draw from one list.
mekal_datatype_t *parse_datatype(const char *text, int start, int end, int reference,
                                 va_list *args, int *out_pos);
int read_width_suffix(const char *text, int *pos);
// The type strings' blank: an ASCII white-space character by isspace() in
// the thread's locale, else the global one.
bool is_type_string_blank(unsigned char c);

// render.cpp
// Characters of the rendering (written into buffer unless measure_only),
// saturating at INT_MAX; -1 for containers nested deeper than kMaxNesting.
int render_type(const mekal_datatype_t *datatype, char *buffer, int size, int position,
                int long_form, int measure_only);
// The whole rendering of a scalar code (what render_type writes for it), or
// nullptr for a container or an unknown code.
const char *scalar_type_text(int32_t code, int long_form);

}  // namespace mekal
