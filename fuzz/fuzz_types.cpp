// Fuzzes the type-string parser, the renderer, copy-in and element access.
//
// Input: the header of fuzz_support.h, then the type string (up to the
// first NUL). The whole input also feeds the packed values and is the pool
// their text pointers point into.
//
// Per input: parse the string and compare with a parser written here from
// the grammar; check the tree's invariants, prefix stability and that the
// exported entry agrees; render both forms and compare with the reference
// renderer and the measured count; reparse the short form; then pack a value
// of the datatype, copy it in and record it, and take it apart down to the
// leaves, copied and by reference. With the failure flag, each operation is
// also run with one allocation failing.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"

using namespace fuzz;

namespace {

// ---------------------------------------------------- the reference parser

struct Node {
    int32_t type = 0;
    int32_t reference = 0;
    int32_t count = 0;
    uint64_t base_size = 0;
    std::vector<Node> members;
};

bool blank(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x80 && std::isspace(byte) != 0;
}

bool digit(char c) { return c >= '0' && c <= '9'; }

// The grammar as written down, without the implementation's limits: a
// result is only compared when the parse stayed within them (no negative
// count drawn, nesting below 256).
struct ReferenceParser {
    const char *text;
    const int *counts;
    int drawn = 0;
    bool beyond_limits = false;

    // Width suffix after the letter at pos: bytes (0, 1, 2, 4, 8) or -1;
    // consumed is the number of suffix characters.
    static int width(const char *t, int pos, int *consumed) {
        *consumed = 0;
        const char a = t[pos + 1];
        if (!digit(a)) return 0;
        if (a == '8') {
            *consumed = 1;
            return 1;
        }
        const char b = t[pos + 2];
        *consumed = 2;
        if (a == '1' && b == '6') return 2;
        if (a == '3' && b == '2') return 4;
        if (a == '6' && b == '4') return 8;
        return -1;
    }

    bool conversion(int pos, int reference, Node &out, int *out_pos) {
        int p = pos + 1;
        int prefix = 0;
        while (prefix < 2 && text[p] == 'l') {
            ++prefix;
            ++p;
        }
        int consumed = 0;
        out.reference = 0;
        switch (text[p]) {
        case 'd':
            out.type = prefix == 0 ? mekal_type_int : prefix == 1 ? mekal_type_long : mekal_type_long_long;
            out.base_size = prefix == 0 ? 4 : 8;
            break;
        case 'u':
            switch (width(text, p, &consumed)) {
            case 0:
                out.type = prefix == 0 ? mekal_type_unsigned_int
                           : prefix == 1 ? mekal_type_unsigned_long : mekal_type_unsigned_long_long;
                out.base_size = prefix == 0 ? 4 : 8;
                break;
            case 1: out.type = mekal_type_unsigned_int; out.base_size = 1; break;
            case 2: out.type = mekal_type_unsigned_int; out.base_size = 2; break;
            case 4: out.type = mekal_type_unsigned_int; out.base_size = 4; break;
            case 8: out.type = mekal_type_unsigned_long_long; out.base_size = 8; break;
            default: return false;
            }
            break;
        case 'i':
            switch (width(text, p, &consumed)) {
            case 0: case 4: out.type = mekal_type_int; out.base_size = 4; break;
            case 1: out.type = mekal_type_int; out.base_size = 1; break;
            case 2: out.type = mekal_type_int; out.base_size = 2; break;
            case 8: out.type = mekal_type_long_long; out.base_size = 8; break;
            default: return false;
            }
            break;
        case 'f':
            switch (width(text, p, &consumed)) {
            case 0: case 8: out.type = mekal_type_double; out.base_size = 8; break;
            case 4: out.type = mekal_type_double; out.base_size = 4; break;
            default: return false;
            }
            break;
        case 'D': out.type = mekal_type_date; out.base_size = 8; break;
        case 't': out.type = mekal_type_timeval; out.base_size = 8; break;
        case 'v': out.type = mekal_type_version; out.base_size = 8; out.reference = reference; break;
        case 's': out.type = mekal_type_string; out.base_size = 8; out.reference = reference; break;
        case 'r': out.type = mekal_type_catstring; out.base_size = 8; out.reference = reference; break;
        case 'j': out.type = mekal_type_jsonstring; out.base_size = 8; out.reference = reference; break;
        case 'p': out.type = mekal_type_path; out.base_size = 8; out.reference = reference; break;
        default: return false;
        }
        *out_pos = p + 1 + consumed;
        return true;
    }

    // Also reports the deepest nesting met on the way, which the library
    // refuses beyond its cap even where the parse would not descend.
    int closing(int open, int end, int *deepest) const {
        const char opener = text[open];
        const char wanted = opener == '<' ? '>' : opener == '[' ? ']' : opener == '{' ? '}' : ')';
        int depth = 0;
        *deepest = 0;
        for (int i = open; i < end; ++i) {
            const char c = text[i];
            if (c == '<' || c == '[' || c == '{' || c == '(') *deepest = std::max(*deepest, ++depth);
            if (c == '>' || c == ']' || c == '}' || c == ')') {
                --depth;
                if (depth == 0 && c == wanted) return i;
            }
        }
        return -1;
    }

    bool step(int start, int end, int reference, Node &out, int *out_pos, int depth) {
        if (start >= end) return false;
        int pos = start;
        while (blank(text[pos]) || text[pos] == ',') ++pos;
        if (text[pos] == '&') {
            reference = 1;
            ++pos;
        }
        const char c = text[pos];
        if (c == '%') return conversion(pos, reference, out, out_pos);
        if (c != '<' && c != '[' && c != '{' && c != '(') return false;
        if (depth >= 256) {
            beyond_limits = true;
            return false;
        }
        int deepest = 0;
        const int close = closing(pos, end, &deepest);
        if (deepest > 256 - depth) beyond_limits = true;
        if (close < 0) return false;
        out.reference = reference;
        out.count = 2;
        out.type = c == '<' ? mekal_type_range : c == '[' ? mekal_type_set
                   : c == '{' ? mekal_type_list : mekal_type_tuple;
        if (c != '<') {
            out.count = counts[drawn++ % kCounts];
            if (out.count < 0) {
                beyond_limits = true;
                return false;
            }
        }
        const int members = out.type == mekal_type_tuple ? out.count : 1;
        int member_pos = pos + 1;
        for (int i = 0; i < members; ++i) {
            Node member;
            int next = member_pos;
            if (!step(member_pos, close, reference, member, &next, depth + 1)) return false;
            out.members.push_back(std::move(member));
            member_pos = next;
        }
        *out_pos = close + 1;
        return true;
    }
};

bool matches(const mekal_datatype_t *datatype, const Node &node) {
    if (datatype->type != node.type || datatype->is_reference != node.reference) return false;
    if (!mekal::is_container_code(node.type)) return datatype->base_size == node.base_size;
    if (element_count(datatype) != node.count) return false;
    if (datatype->num_subtypes != static_cast<int32_t>(node.members.size())) return false;
    for (size_t i = 0; i < node.members.size(); ++i)
        if (!matches(datatype->subtypes[i], node.members[i])) return false;
    return true;
}

// Codes, counts and member counts: what survives rendering in short form.
bool same_shape(const mekal_datatype_t *a, const mekal_datatype_t *b) {
    if (a->type != b->type) return false;
    if (!mekal::is_container_code(a->type)) return true;
    if (element_count(a) != element_count(b) || a->num_subtypes != b->num_subtypes) return false;
    for (int32_t i = 0; i < a->num_subtypes; ++i)
        if (!same_shape(a->subtypes[i], b->subtypes[i])) return false;
    return true;
}

// The reference-mode tree of a string is its plain tree with every
// container and text marked as referenced.
void check_reference_twin(const mekal_datatype_t *plain, const mekal_datatype_t *ref) {
    FUZZ_CHECK(plain->type == ref->type);
    if (!mekal::is_container_code(plain->type)) {
        if (is_text_code(plain->type)) {
            FUZZ_CHECK(ref->is_reference == 1 && ref->base_size == plain->base_size);
            FUZZ_CHECK(is_static_record(ref));
        } else {
            FUZZ_CHECK(ref == plain);
        }
        return;
    }
    FUZZ_CHECK(ref->is_reference == 1 && ref->num_elements == 0);
    FUZZ_CHECK(ref->num_ref_elements == element_count(plain));
    FUZZ_CHECK(ref->num_subtypes == plain->num_subtypes);
    for (int32_t i = 0; i < plain->num_subtypes; ++i)
        check_reference_twin(plain->subtypes[i], ref->subtypes[i]);
}

// ------------------------------------------------------------- rendering

void check_rendering(const mekal_datatype_t *datatype, int long_form) {
    std::string expected;
    render_oracle(datatype, long_form != 0, expected);
    const int measured = mekal::render_type(datatype, nullptr, 0, 0, long_form, 1);
    FUZZ_CHECK(measured == static_cast<int>(expected.size()));
    char *text = mekal_type_to_string(datatype, long_form);
    FUZZ_CHECK(text != nullptr);
    FUZZ_CHECK(std::strlen(text) == static_cast<size_t>(measured));
    FUZZ_CHECK(expected == text);
    std::free(text);

    // A buffer too small takes the prefix that fits and the count stays the
    // whole length; an exact heap block lets ASan see any write past it.
    for (int size : {1, measured / 2 + 1, measured}) {
        if (size < 1 || size > measured) continue;
        auto *buffer = static_cast<char *>(std::malloc(static_cast<size_t>(size)));
        FUZZ_CHECK(buffer != nullptr);
        std::memset(buffer, 'X', static_cast<size_t>(size));
        FUZZ_CHECK(mekal::render_type(datatype, buffer, size, 0, long_form, 0) == measured);
        FUZZ_CHECK(std::memchr(buffer, '\0', static_cast<size_t>(size)) != nullptr);
        FUZZ_CHECK(std::strlen(buffer) == static_cast<size_t>(size - 1));
        FUZZ_CHECK(expected.compare(0, static_cast<size_t>(size - 1), buffer) == 0);
        std::free(buffer);
    }
}

// ---------------------------------------------------------------- values

// One level of a plain container read through a hand-made reference
// wrapper: the same members, the packed data held by reference.
void check_reference_wrapper(const mekal_datatype_t *datatype, const unsigned char *packed) {
    auto *wrapper = static_cast<mekal_datatype_t *>(std::calloc(1, sizeof(mekal_datatype_t)));
    FUZZ_CHECK(wrapper != nullptr);
    *wrapper = *datatype;
    wrapper->is_reference = 1;
    wrapper->num_ref_elements = datatype->num_elements;
    wrapper->num_elements = 0;
    mekal_value_t value;
    value.as_ptr = const_cast<unsigned char *>(packed);
    for (int32_t i = 0; i < wrapper->num_ref_elements; ++i) {
        mekal_datatype_t *subtype = nullptr;
        mekal_value_t subvalue;
        subvalue.as_long = 0;
        FUZZ_CHECK(mekal_get_subval(wrapper, &value, i, &subtype, &subvalue) == 0);
        FUZZ_CHECK(subtype == element_type(datatype, i));
        const unsigned char *at = packed + element_offset(datatype, i);
        if (mekal::is_container_code(subtype->type)) {
            // Members are plain records: one level is all the wrapper shows.
            FUZZ_CHECK(subvalue.as_ptr == at);
        } else {
            check_value(subtype, subvalue, at, true);
        }
    }
    std::free(wrapper);
}

void check_values(const char *text, const int *counts, mekal_datatype_t *datatype, const Flags &flags,
                  const uint8_t *data, size_t size) {
    const int64_t packed = packed_size(datatype);
    FUZZ_CHECK(packed >= 0);
    if (packed <= INT32_MAX) FUZZ_CHECK(mekal::datatype_size(datatype) == packed);
    if (packed > 65536 || value_nodes(datatype) > 20000) {
        mekal::release_datatype(datatype);
        return;
    }

    // The pool holds the whole input, so texts are suffixes of it.
    std::string pool(reinterpret_cast<const char *>(data), size);
    Pools pools{pool.c_str(), std::strlen(pool.c_str()), {}, flags.null_elements};
    pools.timevals[0] = {static_cast<time_t>(size), 17};
    pools.timevals[1] = {-1, 999999};
    ByteSource source{data, size};
    std::string bytes;
    pack(datatype, bytes, source, pools);
    FUZZ_CHECK(static_cast<int64_t>(bytes.size()) == packed);
    // An exact heap block: a read past the packed size is an ASan report.
    auto *buffer = static_cast<unsigned char *>(std::malloc(bytes.size() ? bytes.size() : 1));
    FUZZ_CHECK(buffer != nullptr);
    std::memcpy(buffer, bytes.data(), bytes.size());

    // By reference, at every depth: the same string parsed in reference mode.
    int end_pos = 0;
    mekal_datatype_t *referenced = parse(text, counts, 1, &end_pos);
    FUZZ_CHECK(referenced != nullptr);
    check_reference_twin(datatype, referenced);
    {
        mekal_value_t slot;
        slot.as_long = 0;
        FUZZ_CHECK(mekal::copy_value(&slot, referenced, buffer) == packed);
        check_value(referenced, slot, buffer, false);
        if (!mekal::is_container_code(referenced->type)) check_scalar_has_no_elements(referenced, slot);
        mekal::release_value(referenced, &slot);  // frees only a timeval copy
    }
    mekal::release_datatype(referenced);
    if (mekal::is_container_code(datatype->type) && !datatype->is_reference)
        check_reference_wrapper(datatype, buffer);

    // copy_value with one allocation failing keeps nothing and leaves the
    // slot unwritten.
    if (flags.fail_nth) {
        mekal_value_t slot;
        slot.as_long = 0x1234;
        int64_t copied = 0;
        const FailResult r = with_failure(flags.fail_nth, [&] {
            copied = mekal::copy_value(&slot, datatype, buffer);
        });
        if (r.injected) {
            FUZZ_CHECK(copied == -1 && slot.as_long == 0x1234 && r.net_allocations == 0);
        } else {
            FUZZ_CHECK(copied == packed);
            mekal::release_value(datatype, &slot);
        }
    }

    // Copied: a heap slot filled by copy_value, handed to the store, read
    // back through the lookup.
    auto *slot = static_cast<mekal_value_t *>(std::calloc(1, sizeof(mekal_value_t)));
    FUZZ_CHECK(slot != nullptr);
    FUZZ_CHECK(mekal::copy_value(slot, datatype, buffer) == packed);
    int recorded = 0;
    const FailResult r = with_failure(flags.fail_nth, [&] {
        recorded = mekal_raw_namevalue("v", mekal_category_general, "fuzz", slot, datatype);
    });
    mekal_datatype_t *stored_type = nullptr;
    mekal_value_t *stored_value = nullptr;
    if (r.injected) {
        // The store released what it was handed; nothing is stored.
        FUZZ_CHECK(recorded == -1);
        FUZZ_CHECK(mekal_get_nameval("v", &stored_type, &stored_value, nullptr, nullptr) == -1);
    } else {
        FUZZ_CHECK(recorded == 0);
        FUZZ_CHECK(mekal_get_nameval("v", &stored_type, &stored_value, nullptr, nullptr) == 0);
        FUZZ_CHECK(stored_type == datatype && stored_value == slot);
        check_value(stored_type, *stored_value, buffer, false);
        if (!mekal::is_container_code(stored_type->type))
            check_scalar_has_no_elements(stored_type, *stored_value);
    }
    mekal_clean();
    std::free(buffer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < kHeader) return 0;
    int counts[kCounts];
    for (int i = 0; i < kCounts; ++i) counts[i] = decode_count(data[i]);
    const Flags flags = decode_flags(data[8], data[9]);
    const std::string text_copy(reinterpret_cast<const char *>(data + kHeader), size - kHeader);
    const char *text = text_copy.c_str();  // up to the first NUL
    if (count_openers(text) > kCountArgs) return 0;
    g_current_text = text;
    const int len = static_cast<int>(std::strlen(text));

    constexpr int kUnwritten = -424242;
    int end_pos = kUnwritten;
    mekal_datatype_t *datatype = parse(text, counts, 0, &end_pos);

    ReferenceParser reference{text, counts};
    Node expected;
    int expected_end = kUnwritten;
    const bool expected_ok = reference.step(0, len, 0, expected, &expected_end, 0);
    if (!reference.beyond_limits) {
        FUZZ_CHECK((datatype != nullptr) == expected_ok);
        if (expected_ok) {
            FUZZ_CHECK(matches(datatype, expected));
            FUZZ_CHECK(end_pos == expected_end);
        }
    }

    // The exported entry parses the same way; with an allocation failing it
    // returns null and keeps nothing.
    mekal_datatype_t *exported = new_datatype(text, counts);
    FUZZ_CHECK(same_tree(datatype, exported));
    mekal::release_datatype(exported);
    if (flags.fail_nth) {
        mekal_datatype_t *failing = nullptr;
        const FailResult r = with_failure(flags.fail_nth, [&] { failing = new_datatype(text, counts); });
        if (r.injected) FUZZ_CHECK(failing == nullptr && r.net_allocations == 0);
        else FUZZ_CHECK(same_tree(datatype, failing));
        mekal::release_datatype(failing);
    }

    if (datatype == nullptr) {
        FUZZ_CHECK(end_pos == kUnwritten);
        return 0;
    }
    FUZZ_CHECK(end_pos > 0 && end_pos <= len);
    check_tree(datatype, 0, 0);

    // Nothing after the end position was needed: the prefix parses the same.
    {
        const std::string prefix(text, static_cast<size_t>(end_pos));
        int prefix_end = kUnwritten;
        mekal_datatype_t *again = parse(prefix.c_str(), counts, 0, &prefix_end);
        FUZZ_CHECK(same_tree(datatype, again) && prefix_end == end_pos);
        mekal::release_datatype(again);
    }

    check_rendering(datatype, 0);
    check_rendering(datatype, 1);
    check_rendering(datatype, 7);
    if (flags.fail_nth) {
        char *rendered = nullptr;
        const FailResult r = with_failure(flags.fail_nth, [&] { rendered = mekal_type_to_string(datatype, 0); });
        if (r.injected) FUZZ_CHECK(rendered == nullptr && r.net_allocations == 0);
        else FUZZ_CHECK(rendered != nullptr);
        std::free(rendered);
    }

    // The short form is a type string again: it parses, with the same counts
    // drawn in the same order, to the same codes and counts.
    {
        char *short_form = mekal_type_to_string(datatype, 0);
        FUZZ_CHECK(short_form != nullptr);
        int reparsed_end = kUnwritten;
        mekal_datatype_t *reparsed = parse(short_form, counts, 0, &reparsed_end);
        FUZZ_CHECK(reparsed != nullptr);
        FUZZ_CHECK(same_shape(datatype, reparsed));
        FUZZ_CHECK(reparsed_end == static_cast<int>(std::strlen(short_form)));
        mekal::release_datatype(reparsed);
        std::free(short_form);
    }

    check_values(text, counts, datatype, flags, data, size);  // takes the datatype
    return 0;
}
