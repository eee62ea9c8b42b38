// Fuzzes the formatted entry: mekal_namevalue("n", 2, "s", typestr, value,
// counts...) with the value argument in the C type that the type string's
// outermost kind takes.
//
// Input: the header of fuzz_support.h, 8 bytes for a scalar value argument,
// then the type string (up to the first NUL).
//
// The outermost kind is computed here by a scan written from the rules of
// the entry, independently of the library's. When it says the string opens
// no value, the call must return -1 having allocated nothing. Otherwise the
// datatype that mekal_new_datatype gives for the same string and counts is
// what must be stored, and the stored value must read back as passed and
// render as valid JSON.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "json/json.h"

using namespace fuzz;

namespace {

enum class Kind {
    kFails, kLong, kUnsignedLong, kInt, kUnsignedInt, kDouble, kDate, kTimeval, kText,
    kContainer, kLongLong, kUnsignedLongLong,
};

bool skipped(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte < 0x80 && std::isspace(byte) != 0) || c == '&' || c == ',';
}

// The first scan: blanks, "&" and "," skipped; the first other character
// and, after "%", the conversion decide the argument's C type.
Kind outermost_kind(const char *text) {
    const char *p = text;
    while (skipped(*p)) ++p;
    switch (*p) {
    case '<': case '[': case '{': case '(': return Kind::kContainer;
    case '%': break;
    default: return Kind::kFails;
    }
    const char c1 = p[1];
    const char c2 = c1 ? p[2] : '\0';
    const char c3 = c2 ? p[3] : '\0';
    switch (c1) {
    case 'l':
        if (c2 == 'd') return Kind::kLong;
        if (c2 == 'u') return Kind::kUnsignedLong;
        if (c2 == 'l' && c3 == 'd') return Kind::kLongLong;
        if (c2 == 'l' && c3 == 'u') return Kind::kUnsignedLongLong;
        return Kind::kFails;
    case 'd': return Kind::kInt;
    case 'i': return c2 == '6' && c3 == '4' ? Kind::kLongLong : Kind::kInt;
    case 'u': return c2 == '6' && c3 == '4' ? Kind::kUnsignedLongLong : Kind::kUnsignedInt;
    case 'f': return Kind::kDouble;
    case 'D': return Kind::kDate;
    case 't': return Kind::kTimeval;
    case 'v': case 's': case 'r': case 'p': case 'j': return Kind::kText;
    default: return Kind::kFails;
    }
}

bool takes_pointer(Kind kind) {
    return kind == Kind::kTimeval || kind == Kind::kText || kind == Kind::kContainer;
}

template <typename T>
int record(const char *text, int category, T value, const int *counts) {
    return mekal_namevalue("n", category, "s", text, value, FUZZ_COUNTS(counts));
}

// The value recorded before the fuzzed one in replace mode.
constexpr int kOldValue = 0x0ddba11;

// After a refused recording: the old value, or nothing, is stored.
void check_nothing_new(bool replace) {
    mekal_datatype_t *datatype = nullptr;
    mekal_value_t *value = nullptr;
    const int found = mekal_get_nameval("n", &datatype, &value, nullptr, nullptr);
    if (replace) {
        FUZZ_CHECK(found == 0);
        FUZZ_CHECK(datatype == mekal_get_basetype(mekal_type_int) && value->as_int == kOldValue);
    } else {
        FUZZ_CHECK(found == -1);
    }
}

// What the observer saw of the fuzzed recording, checked while it is
// dispatched (a control event's value is released right after).
struct Seen {
    const mekal_datatype_t *expected = nullptr;
    int events = 0;
    mekal_category_t category = 0;
    const mekal_datatype_t *datatype = nullptr;
    const mekal_value_t *value = nullptr;
};

void observe(const char *name, mekal_category_t category, const char *subcategory,
             mekal_value_t *value, mekal_datatype_t *datatype, void *opaque) {
    auto *seen = static_cast<Seen *>(opaque);
    if (std::strcmp(name, "n") != 0) return;
    ++seen->events;
    seen->category = category;
    seen->datatype = datatype;
    seen->value = value;
    FUZZ_CHECK(subcategory != nullptr && std::strcmp(subcategory, "s") == 0);
    FUZZ_CHECK(value != nullptr && same_tree(datatype, seen->expected));
}

bool same_rendering(const mekal_datatype_t *a, const mekal_datatype_t *b, int long_form) {
    char *ra = mekal_type_to_string(a, long_form);
    char *rb = mekal_type_to_string(b, long_form);
    const bool same = ra != nullptr && rb != nullptr && std::strcmp(ra, rb) == 0;
    std::free(ra);
    std::free(rb);
    return same;
}

void run(const char *text, const int *counts, const Flags &flags, const uint8_t *scalar,
         const uint8_t *data, size_t size) {
    const Kind kind = outermost_kind(text);
    const int category = flags.control ? mekal_category_control : mekal_category_general;

    if (kind == Kind::kFails) {
        // Refused by the first scan: no argument read, nothing allocated.
        alloc_hooks::Scope scope;
        FUZZ_CHECK(record(text, category, 0L, counts) == -1);
        FUZZ_CHECK(scope.allocations() == 0 && scope.frees() == 0);
        check_nothing_new(flags.replace);
        return;
    }

    // What the parser makes of the same string and counts.
    mekal_datatype_t *expected = new_datatype(text, counts);
    Seen seen;
    seen.expected = expected;
    mekal_register_cb(1, mekal_category_all, observe, 1, &seen);

    // A container value is packed to fit the parsed datatype.
    std::string pool(reinterpret_cast<const char *>(data), size);
    Pools pools{pool.c_str(), std::strlen(pool.c_str()), {}, flags.null_elements};
    pools.timevals[0] = {static_cast<time_t>(size), 5};
    pools.timevals[1] = {0, 0};
    std::string bytes;
    if (kind == Kind::kContainer && expected != nullptr) {
        if (packed_size(expected) > 65536 || value_nodes(expected) > 20000) {
            mekal::release_datatype(expected);
            mekal_clean();  // the observer points at this frame
            return;
        }
        ByteSource source{data, size};
        pack(expected, bytes, source, pools);
    }
    auto *packed = static_cast<unsigned char *>(std::malloc(bytes.size() ? bytes.size() : 1));
    FUZZ_CHECK(packed != nullptr);
    std::memcpy(packed, bytes.data(), bytes.size());
    const char *text_arg = flags.null_value ? nullptr : pools.text + scalar[0] % (pools.text_len + 1);
    struct timeval timeval_arg = {static_cast<time_t>(scalar[1]) - 100, scalar[2]};
    const struct timeval *timeval_ptr = flags.null_value ? nullptr : &timeval_arg;
    const void *container_arg = flags.null_value ? nullptr : packed;

    int64_t bits;
    std::memcpy(&bits, scalar, sizeof bits);
    double real;
    std::memcpy(&real, scalar, sizeof real);

    int result = 0;
    const FailResult r = with_failure(flags.fail_nth, [&] {
        switch (kind) {
        case Kind::kLong: case Kind::kDate: result = record(text, category, static_cast<long>(bits), counts); break;
        case Kind::kUnsignedLong: result = record(text, category, static_cast<unsigned long>(bits), counts); break;
        case Kind::kLongLong: result = record(text, category, static_cast<long long>(bits), counts); break;
        case Kind::kUnsignedLongLong:
            result = record(text, category, static_cast<unsigned long long>(bits), counts);
            break;
        case Kind::kInt: result = record(text, category, static_cast<int>(bits), counts); break;
        case Kind::kUnsignedInt: result = record(text, category, static_cast<unsigned>(bits), counts); break;
        case Kind::kDouble: result = record(text, category, real, counts); break;
        case Kind::kTimeval: result = record(text, category, timeval_ptr, counts); break;
        case Kind::kText: result = record(text, category, text_arg, counts); break;
        case Kind::kContainer: result = record(text, category, container_arg, counts); break;
        case Kind::kFails: break;
        }
    });

    const bool refused = r.injected || expected == nullptr || (flags.null_value && takes_pointer(kind));
    if (refused || flags.control) {
        // Refused calls and control events keep nothing on balance.
        FUZZ_CHECK(result == (refused ? -1 : 0));
        FUZZ_CHECK(r.net_allocations == 0);
        check_nothing_new(flags.replace);
        FUZZ_CHECK(seen.events == (refused ? 0 : 1));
        if (!refused) FUZZ_CHECK(seen.category == mekal_category_control);
    } else {
        FUZZ_CHECK(result == 0);
        mekal_datatype_t *datatype = nullptr;
        mekal_value_t *value = nullptr;
        mekal_category_t stored_category = 0;
        const char *subcategory = nullptr;
        FUZZ_CHECK(mekal_get_nameval("n", &datatype, &value, &stored_category, &subcategory) == 0);
        FUZZ_CHECK(stored_category == mekal_category_general && std::strcmp(subcategory, "s") == 0);
        FUZZ_CHECK(same_tree(datatype, expected));
        FUZZ_CHECK(seen.events == 1 && seen.category == mekal_category_general);
        FUZZ_CHECK(seen.datatype == datatype && seen.value == value);
        FUZZ_CHECK(same_rendering(datatype, expected, 0) && same_rendering(datatype, expected, 1));
        switch (kind) {
        case Kind::kLong: case Kind::kDate: case Kind::kUnsignedLong: case Kind::kLongLong:
        case Kind::kUnsignedLongLong:
            FUZZ_CHECK(value->as_long == bits);
            break;
        case Kind::kInt: case Kind::kUnsignedInt:
            // Never narrowed to a declared width of 8 or 16 bits.
            FUZZ_CHECK(value->as_int == static_cast<int32_t>(bits));
            break;
        case Kind::kDouble:
            FUZZ_CHECK(std::memcmp(&value->as_double, &real, sizeof real) == 0);
            break;
        case Kind::kTimeval:
            FUZZ_CHECK(value->as_ptr != timeval_ptr);
            FUZZ_CHECK(std::memcmp(value->as_ptr, timeval_ptr, sizeof timeval_arg) == 0);
            break;
        case Kind::kText:
            if (datatype->is_reference) {
                FUZZ_CHECK(value->as_ptr == text_arg);
            } else {
                FUZZ_CHECK(value->as_ptr != text_arg);
                FUZZ_CHECK(std::strcmp(static_cast<const char *>(value->as_ptr), text_arg) == 0);
            }
            break;
        case Kind::kContainer:
            check_value(datatype, *value, packed, false);
            break;
        case Kind::kFails:
            break;
        }
        // Whatever was stored renders as JSON that the strict check accepts.
        char *json = mekal_value_to_json(value, datatype);
        FUZZ_CHECK(json != nullptr && mekal::json::is_valid_json(json));
        std::free(json);
    }
    mekal::release_datatype(expected);
    mekal_clean();
    std::free(packed);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    constexpr size_t kScalarBytes = 8;
    if (size < kHeader + kScalarBytes) return 0;
    int counts[kCounts];
    for (int i = 0; i < kCounts; ++i) counts[i] = decode_count(data[i]);
    const Flags flags = decode_flags(data[8], data[9]);
    const uint8_t *scalar = data + kHeader;
    const size_t offset = kHeader + kScalarBytes;
    const std::string text_copy(reinterpret_cast<const char *>(data + offset), size - offset);
    const char *text = text_copy.c_str();  // up to the first NUL
    if (count_openers(text) > kCountArgs) return 0;
    g_current_text = text;

    if (flags.replace) FUZZ_CHECK(mekal_namevalue("n", mekal_category_general, "s", "%d", kOldValue) == 0);
    run(text, counts, flags, scalar, data, size);
    mekal_clean();
    return 0;
}
