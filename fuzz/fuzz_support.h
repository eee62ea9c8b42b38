// Shared pieces of the fuzz targets: the input header, calls that pass the
// container counts, checks on parsed trees, an independent renderer, and a
// packer and walker for values of any parsed datatype.
//
// Input header (both targets): bytes 0..7 are container counts (byte & 7:
// 0..4 as is, 5 -> -1, 6 -> 8, 7 -> 1000, so ASCII digits read as counts);
// byte 8 holds flags, active only when its high bit is set; byte 9 picks
// which allocation to fail when the failure flag is on.
#pragma once

#include <cctype>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/time.h>

#include "alloc_hooks.h"
#include "mekal.h"
#include "types/types.h"
#include "values/values.h"

namespace fuzz {

inline const char *g_current_text = "";

[[noreturn]] inline void fail(const char *what, int line) {
    std::fprintf(stderr, "fuzz check failed at line %d: %s\ntype string: \"%s\"\n", line, what,
                 g_current_text);
    std::abort();
}

#define FUZZ_CHECK(cond)                                \
    do {                                                \
        if (!(cond)) ::fuzz::fail(#cond, __LINE__);     \
    } while (0)

// ------------------------------------------------------------ input header

constexpr int kCounts = 8;
constexpr size_t kHeader = 10;

inline int decode_count(uint8_t byte) {
    switch (byte & 7) {
    case 5: return -1;
    case 6: return 8;
    case 7: return 1000;
    default: return byte & 7;
    }
}

struct Flags {
    int fail_nth = 0;           // 0: no allocation is failed
    bool null_elements = false; // packed texts and timevals may be null
    bool null_value = false;    // the top-level text, timeval or container pointer is null
    bool control = false;       // record as a control event
    bool replace = false;       // the name holds a value before the fuzzed recording
};

inline Flags decode_flags(uint8_t flags, uint8_t fail_byte) {
    Flags f;
    if ((flags & 0x80) == 0) return f;
    if (flags & 0x01) f.fail_nth = fail_byte + 1;
    f.null_elements = (flags & 0x02) != 0;
    f.null_value = (flags & 0x10) != 0;
    f.control = (flags & 0x20) != 0;
    f.replace = (flags & 0x40) != 0;
    return f;
}

// ------------------------------------------------- calls with the counts

// Varargs cannot be built at run time, so every call passes the eight counts
// repeated kCountArgs / 8 times; count k drawn by the parser is counts[k % 8].
#define FUZZ_C8(c) c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7]
#define FUZZ_C64(c) FUZZ_C8(c), FUZZ_C8(c), FUZZ_C8(c), FUZZ_C8(c), \
                    FUZZ_C8(c), FUZZ_C8(c), FUZZ_C8(c), FUZZ_C8(c)
#define FUZZ_COUNTS(c) FUZZ_C64(c), FUZZ_C64(c), FUZZ_C64(c), FUZZ_C64(c), FUZZ_C64(c)
constexpr int kCountArgs = 320;

// Every count the parser draws belongs to a distinct "[", "{" or "(" of the
// text, so this bounds the arguments it can read.
inline int count_openers(const char *text) {
    int n = 0;
    for (const char *p = text; *p; ++p) n += (*p == '[' || *p == '{' || *p == '(');
    return n;
}

inline mekal_datatype_t *parse_va(const char *text, int reference, int *end_pos, ...) {
    va_list args;
    va_start(args, end_pos);
    const int len = static_cast<int>(std::strlen(text));
    mekal_datatype_t *datatype = mekal::parse_datatype(text, 0, len, reference, &args, end_pos);
    va_end(args);
    return datatype;
}

inline mekal_datatype_t *parse(const char *text, const int *c, int reference, int *end_pos) {
    return parse_va(text, reference, end_pos, FUZZ_COUNTS(c));
}

inline mekal_datatype_t *new_datatype(const char *text, const int *c) {
    return mekal_new_datatype(text, FUZZ_COUNTS(c));
}

// Runs op with the nth allocation from now failing; reports whether a
// failure was injected and how many blocks op left allocated on balance.
struct FailResult {
    bool injected;
    long net_allocations;
};

template <typename Op>
FailResult with_failure(int nth, Op op) {
    const long failed_before = alloc_hooks::counts().failed;
    alloc_hooks::Scope scope;
    alloc_hooks::fail_nth(nth);
    op();
    alloc_hooks::fail_nth(0);
    return FailResult{alloc_hooks::counts().failed != failed_before,
                      scope.allocations() - scope.frees()};
}

// ------------------------------------------------------------ tree checks

inline bool is_text_code(int32_t type) {
    return type == mekal_type_version || type == mekal_type_string ||
           type == mekal_type_catstring || type == mekal_type_path ||
           type == mekal_type_jsonstring;
}

inline bool is_static_record(const mekal_datatype_t *datatype) {
    const mekal_datatype_t *first = &mekal::base_datatypes[0];
    const mekal_datatype_t *last = &mekal::base_datatypes[mekal::kBaseDatatypeCount - 1];
    return datatype >= first && datatype <= last;
}

inline int32_t element_count(const mekal_datatype_t *datatype) {
    return datatype->num_elements + datatype->num_ref_elements;
}

inline const mekal_datatype_t *element_type(const mekal_datatype_t *container, int i) {
    return container->subtypes[container->type == mekal_type_tuple ? i : 0];
}

// Invariants of every tree the parser makes: scalars are the shared static
// records, containers are heap records with consistent counts, and reference
// mode reaches every member below a referenced container.
inline void check_tree(const mekal_datatype_t *datatype, int inherited_reference, int depth) {
    FUZZ_CHECK(datatype != nullptr);
    FUZZ_CHECK(depth <= 256);
    if (!mekal::is_container_code(datatype->type)) {
        FUZZ_CHECK(is_static_record(datatype));
        FUZZ_CHECK(datatype->type >= 1 && datatype->type <= 18);
        if (is_text_code(datatype->type)) {
            FUZZ_CHECK(datatype->is_reference >= inherited_reference);
        } else {
            FUZZ_CHECK(datatype->is_reference == 0);
        }
        return;
    }
    FUZZ_CHECK(!is_static_record(datatype));
    FUZZ_CHECK(datatype->numerical == mekal_numerical_categorical);
    FUZZ_CHECK(datatype->base_size == 0);
    FUZZ_CHECK(datatype->is_reference == 0 || datatype->is_reference == 1);
    FUZZ_CHECK(datatype->is_reference >= inherited_reference);
    if (datatype->is_reference) FUZZ_CHECK(datatype->num_elements == 0);
    else FUZZ_CHECK(datatype->num_ref_elements == 0);
    const int32_t count = element_count(datatype);
    if (datatype->type == mekal_type_tuple) {
        FUZZ_CHECK(datatype->num_subtypes == count);
    } else {
        FUZZ_CHECK(datatype->num_subtypes == 1);
        if (datatype->type == mekal_type_range) FUZZ_CHECK(count == 2);
    }
    FUZZ_CHECK(datatype->num_subtypes == 0 || datatype->subtypes != nullptr);
    FUZZ_CHECK(mekal_num_subvals(datatype) == count);
    for (int32_t i = 0; i < datatype->num_subtypes; ++i)
        check_tree(datatype->subtypes[i], datatype->is_reference, depth + 1);
}

// Same tree: the same static records for scalars, equal fields and equal
// members for containers.
inline bool same_tree(const mekal_datatype_t *a, const mekal_datatype_t *b) {
    if (a == nullptr || b == nullptr) return a == b;
    if (!mekal::is_container_code(a->type) || !mekal::is_container_code(b->type)) return a == b;
    if (a->type != b->type || a->numerical != b->numerical || a->num_elements != b->num_elements ||
        a->num_subtypes != b->num_subtypes || a->is_reference != b->is_reference ||
        a->num_ref_elements != b->num_ref_elements || a->base_size != b->base_size)
        return false;
    for (int32_t i = 0; i < a->num_subtypes; ++i)
        if (!same_tree(a->subtypes[i], b->subtypes[i])) return false;
    return true;
}

// ----------------------------------------------------- reference renderer

// Written from the table of texts, to compare with the library's output.
inline void render_oracle(const mekal_datatype_t *datatype, bool long_form, std::string &out) {
    static const char *const kShort[19] = {"unset", "%ld", "%lu", "%d", "%u", "%f", "%D",
                                           "%t",    "%v",  "%s",  "%r", "%p", "<",  "[",
                                           "{",     "(",   "%lld", "%llu", "%j"};
    static const char *const kLong[19] = {
        "unset",  "long",   "unsigned long", "int",       "unsigned int", "double", "date",
        "timeval", "version", "string",      "catstring", "path",         "range of ",
        "set of ", "list of ", "tuple of (", "long long", "unsigned long long", "jsonstring"};
    static const char *const kShortClose[4] = {">", "]", "}", ")"};
    static const char *const kLongClose[4] = {"", "", "", ")"};
    if (datatype == nullptr || datatype->type < 0 || datatype->type > 18) return;
    out += long_form ? kLong[datatype->type] : kShort[datatype->type];
    if (!mekal::is_container_code(datatype->type)) return;
    for (int32_t i = 0; i < datatype->num_subtypes; ++i) {
        if (i > 0) out += ", ";
        render_oracle(datatype->subtypes[i], long_form, out);
    }
    const int close = datatype->type - mekal_type_range;
    out += long_form ? kLongClose[close] : kShortClose[close];
}

// ---------------------------------------------------------------- values

// Sizes and node counts computed in 64 bits, saturating at kHuge.
constexpr int64_t kHuge = int64_t{1} << 40;

inline int64_t saturating_mul(int64_t a, int64_t b) {
    if (a <= 0 || b <= 0) return 0;
    if (a > kHuge / b) return kHuge;
    return a * b;
}

inline int64_t packed_size(const mekal_datatype_t *datatype) {
    switch (datatype->type) {
    case mekal_type_long: case mekal_type_unsigned_long: case mekal_type_date:
    case mekal_type_timeval: case mekal_type_version: case mekal_type_string:
    case mekal_type_catstring: case mekal_type_path: case mekal_type_jsonstring:
        return 8;
    case mekal_type_int: case mekal_type_unsigned_int: case mekal_type_double:
    case mekal_type_long_long: case mekal_type_unsigned_long_long:
        return static_cast<int64_t>(datatype->base_size);
    case mekal_type_range: case mekal_type_set: case mekal_type_list:
        return saturating_mul(element_count(datatype), packed_size(datatype->subtypes[0]));
    case mekal_type_tuple: {
        int64_t sum = 0;
        for (int32_t i = 0; i < datatype->num_subtypes; ++i) {
            sum += packed_size(datatype->subtypes[i]);
            if (sum > kHuge) return kHuge;
        }
        return sum;
    }
    default:
        return -1;
    }
}

// Values in the tree, the value itself included: the work a copy and a walk
// take, independent of the packed size (sets of empty tuples have size 0).
inline int64_t value_nodes(const mekal_datatype_t *datatype) {
    switch (datatype->type) {
    case mekal_type_range: case mekal_type_set: case mekal_type_list:
        return 1 + saturating_mul(element_count(datatype), value_nodes(datatype->subtypes[0]));
    case mekal_type_tuple: {
        int64_t sum = 1;
        for (int32_t i = 0; i < datatype->num_subtypes; ++i) {
            sum += value_nodes(datatype->subtypes[i]);
            if (sum > kHuge) return kHuge;
        }
        return sum;
    }
    default:
        return 1;
    }
}

// Byte offset of element i in a container's packed data.
inline int64_t element_offset(const mekal_datatype_t *container, int i) {
    if (container->type != mekal_type_tuple) return i * packed_size(container->subtypes[0]);
    int64_t offset = 0;
    for (int k = 0; k < i; ++k) offset += packed_size(container->subtypes[k]);
    return offset;
}

// Cycles through the fuzz input for the bytes of packed scalars.
struct ByteSource {
    const uint8_t *data;
    size_t size;
    size_t pos = 0;
    uint8_t next() {
        if (size == 0) return 0;
        return data[pos++ % size];
    }
    void fill(unsigned char *out, size_t n) {
        for (size_t i = 0; i < n; ++i) out[i] = next();
    }
};

// What packed pointers may point at: suffixes of a NUL-terminated text
// pool and two timevals.
struct Pools {
    const char *text;
    size_t text_len;
    struct timeval timevals[2];
    bool allow_null;
};

inline void put_pointer(std::string &out, const void *pointer) {
    out.append(reinterpret_cast<const char *>(&pointer), sizeof pointer);
}

// Appends the packed form of one value of the datatype.
inline void pack(const mekal_datatype_t *datatype, std::string &out, ByteSource &src, Pools &pools) {
    switch (datatype->type) {
    case mekal_type_timeval: {
        const uint8_t pick = src.next();
        put_pointer(out, pools.allow_null && pick == 0xff ? nullptr : &pools.timevals[pick & 1]);
        return;
    }
    case mekal_type_version: case mekal_type_string: case mekal_type_catstring:
    case mekal_type_path: case mekal_type_jsonstring: {
        const uint8_t pick = src.next();
        const size_t offset = (pick | (static_cast<size_t>(src.next()) << 8)) % (pools.text_len + 1);
        put_pointer(out, pools.allow_null && pick == 0xff ? nullptr : pools.text + offset);
        return;
    }
    case mekal_type_range: case mekal_type_set: case mekal_type_list: case mekal_type_tuple:
        for (int32_t i = 0; i < element_count(datatype); ++i)
            pack(element_type(datatype, i), out, src, pools);
        return;
    default: {
        unsigned char bytes[8];
        const int64_t size = packed_size(datatype);
        FUZZ_CHECK(size >= 1 && size <= 8);
        src.fill(bytes, static_cast<size_t>(size));
        out.append(reinterpret_cast<const char *>(bytes), static_cast<size_t>(size));
        return;
    }
    }
}

template <typename T>
T read_at(const unsigned char *at) {
    T out;
    std::memcpy(&out, at, sizeof out);
    return out;
}

// The 32-bit value a packed int or unsigned int of base_size bytes widens to.
inline int32_t expected_int(const mekal_datatype_t *datatype, const unsigned char *at) {
    const bool is_signed = datatype->type == mekal_type_int;
    switch (datatype->base_size) {
    case 1: return is_signed ? read_at<int8_t>(at) : static_cast<int32_t>(read_at<uint8_t>(at));
    case 2: return is_signed ? read_at<int16_t>(at) : static_cast<int32_t>(read_at<uint16_t>(at));
    default: return read_at<int32_t>(at);
    }
}

inline double expected_double(const mekal_datatype_t *datatype, const unsigned char *at) {
    if (datatype->base_size == 4) return static_cast<double>(read_at<float>(at));
    return read_at<double>(at);
}

inline bool same_double(double a, double b) {
    return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

// Checks a value against the packed data it came from. in_referenced: the
// value was read out of a referenced container, so texts and timevals are
// the caller's pointers. Containers are walked down to the leaves with
// mekal_get_subval.
inline void check_value(const mekal_datatype_t *datatype, const mekal_value_t &value,
                        const unsigned char *packed, bool in_referenced) {
    const int32_t type = datatype->type;
    switch (type) {
    case mekal_type_long: case mekal_type_unsigned_long: case mekal_type_date:
    case mekal_type_long_long: case mekal_type_unsigned_long_long:
        FUZZ_CHECK(value.as_long == read_at<int64_t>(packed));
        return;
    case mekal_type_int: case mekal_type_unsigned_int:
        FUZZ_CHECK(value.as_int == expected_int(datatype, packed));
        return;
    case mekal_type_double:
        FUZZ_CHECK(same_double(value.as_double, expected_double(datatype, packed)));
        return;
    case mekal_type_timeval: {
        const auto *caller = read_at<const struct timeval *>(packed);
        if (in_referenced || caller == nullptr) {
            FUZZ_CHECK(value.as_ptr == caller);
        } else {
            FUZZ_CHECK(value.as_ptr != nullptr && value.as_ptr != caller);
            FUZZ_CHECK(std::memcmp(value.as_ptr, caller, 16) == 0);
        }
        return;
    }
    case mekal_type_version: case mekal_type_string: case mekal_type_catstring:
    case mekal_type_path: case mekal_type_jsonstring: {
        const auto *caller = read_at<const char *>(packed);
        if (in_referenced || datatype->is_reference || caller == nullptr) {
            FUZZ_CHECK(value.as_ptr == caller);
        } else {
            FUZZ_CHECK(value.as_ptr != nullptr && value.as_ptr != caller);
            FUZZ_CHECK(std::strcmp(static_cast<const char *>(value.as_ptr), caller) == 0);
        }
        return;
    }
    case mekal_type_range: case mekal_type_set: case mekal_type_list: case mekal_type_tuple:
        break;
    default:
        FUZZ_CHECK(!"a parsed tree holds no other code");
    }

    const int32_t count = element_count(datatype);
    FUZZ_CHECK(mekal_num_subvals(datatype) == count);
    if (datatype->is_reference) FUZZ_CHECK(value.as_ptr == packed);
    for (int32_t i = 0; i < count; ++i) {
        mekal_datatype_t *subtype = nullptr;
        mekal_value_t subvalue;
        subvalue.as_long = 0x5a5a5a5a5a5a5a5a;
        FUZZ_CHECK(mekal_get_subval(datatype, &value, i, &subtype, &subvalue) == 0);
        FUZZ_CHECK(subtype == element_type(datatype, i));
        check_value(subtype, subvalue, packed + element_offset(datatype, i),
                    datatype->is_reference != 0);
    }
    for (int bad : {-1, count, INT32_MIN}) {
        if (bad < count && bad >= 0) continue;
        mekal_datatype_t *subtype = const_cast<mekal_datatype_t *>(datatype);
        mekal_value_t subvalue;
        subvalue.as_long = 1;
        FUZZ_CHECK(mekal_get_subval(datatype, &value, bad, &subtype, &subvalue) == -1);
        FUZZ_CHECK(subtype == nullptr && subvalue.as_long == 0);
    }
}

// mekal_get_subval on any scalar datatype fails for every index.
inline void check_scalar_has_no_elements(const mekal_datatype_t *datatype, const mekal_value_t &value) {
    mekal_datatype_t *subtype = const_cast<mekal_datatype_t *>(datatype);
    mekal_value_t subvalue;
    subvalue.as_long = 1;
    FUZZ_CHECK(mekal_get_subval(datatype, &value, 0, &subtype, &subvalue) == -1);
    FUZZ_CHECK(subtype == nullptr && subvalue.as_long == 0);
    FUZZ_CHECK(mekal_num_subvals(datatype) == 0);
}

}  // namespace fuzz
