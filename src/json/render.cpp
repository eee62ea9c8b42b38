// Values, and the whole registry, as JSON text. One pass writes into a
// growing buffer, cut to the exact size at the end. Measuring first would
// cost nearly a second rendering: copying the bytes is under a tenth of the
// work (callgrind on the benchmark's registry), the formatting, escaping
// and type strings that a measure must also do are the rest.
#include <climits>

#include "json/json.h"
#include "registry/registry.h"
#include "types/types.h"
#include "values/values.h"

namespace mekal::json {
namespace {

void put_null(growable_text &out) { out.append_literal("null"); }

// Formats into room of the given size and takes what the writer wrote.
template <typename Writer>
void put_formatted(growable_text &out, size_t room, Writer write) {
    if (char *p = out.room(room)) out.commit(write(p));
}

bool put_value_at(growable_text &out, const mekal_datatype_t *datatype, const mekal_value_t *value,
                  bool packed, int depth);

// A container as an array. Copied elements are slots; packed ones (a
// referenced container, and everything inside one) are read from the
// caller's data one after another, as mekal_get_subval finds them.
bool put_container(growable_text &out, const mekal_datatype_t *datatype, const mekal_value_t *value,
                   bool packed, int depth) {
    if (depth >= kMaxNesting) return false;
    packed = packed || datatype->is_reference != 0;
    const int32_t count = datatype->is_reference != 0 ? datatype->num_ref_elements
                                                      : datatype->num_elements;
    if (count <= 0) {
        out.append_literal("[]");
        return true;
    }
    if (value->as_ptr == nullptr) {
        put_null(out);
        return true;
    }
    out.append('[');
    const auto *slots = static_cast<const mekal_value_t *>(value->as_ptr);
    const auto *bytes = static_cast<const unsigned char *>(value->as_ptr);
    int64_t offset = 0;  // of element i in packed data; -1 once unknown
    for (int32_t i = 0; i < count; ++i) {
        if (i > 0) out.append(',');
        const mekal_datatype_t *element = element_type(datatype, i);
        bool fits = true;
        if (!packed) {
            fits = put_value_at(out, element, &slots[i], false, depth + 1);
        } else {
            mekal_value_t read{};
            if (element != nullptr && offset >= 0 && read_element(element, bytes + offset, &read)) {
                fits = put_value_at(out, element, &read, true, depth + 1);
            } else {
                put_null(out);
            }
            const int32_t size = element != nullptr ? datatype_size(element) : -1;
            offset = (size < 0 || offset < 0) ? -1 : offset + size;
        }
        if (!fits) return false;
    }
    out.append(']');
    return true;
}

bool put_value_at(growable_text &out, const mekal_datatype_t *datatype, const mekal_value_t *value,
                  bool packed, int depth) {
    if (datatype == nullptr) {
        put_null(out);
        return true;
    }
    switch (datatype->type) {
    case mekal_type_long:
    case mekal_type_long_long:
        put_formatted(out, kIntegerRoom, [&](char *p) { return write_i64(p, value->as_long); });
        return true;
    case mekal_type_unsigned_long:
    case mekal_type_unsigned_long_long:
        put_formatted(out, kIntegerRoom, [&](char *p) {
            return write_u64(p, static_cast<uint64_t>(value->as_long));
        });
        return true;
    case mekal_type_int:
        put_formatted(out, kIntegerRoom, [&](char *p) { return write_i64(p, value->as_int); });
        return true;
    case mekal_type_unsigned_int:
        put_formatted(out, kIntegerRoom, [&](char *p) {
            return write_u64(p, static_cast<uint32_t>(value->as_int));
        });
        return true;
    case mekal_type_double:
        if (!__builtin_isfinite(value->as_double)) {
            put_null(out);  // JSON has no NaN or infinity
            return true;
        }
        put_formatted(out, kDoubleRoom, [&](char *p) { return write_double(p, value->as_double); });
        return true;
    case mekal_type_date:
        put_formatted(out, kDateRoom, [&](char *p) {
            char *end = write_iso_date(p, value->as_long, -1);
            return end != nullptr ? end : write_i64(p, value->as_long);
        });
        return true;
    case mekal_type_timeval: {
        if (value->as_ptr == nullptr) {
            put_null(out);
            return true;
        }
        struct timeval tv;
        std::memcpy(&tv, value->as_ptr, sizeof tv);
        put_formatted(out, kIntervalRoom, [&](char *p) { return write_seconds(p, tv.tv_sec, tv.tv_usec, 6); });
        return true;
    }
    case mekal_type_version:
    case mekal_type_string:
    case mekal_type_catstring:
    case mekal_type_path:
        put_text(out, static_cast<const char *>(value->as_ptr));
        return true;
    case mekal_type_jsonstring:
        put_json_text(out, static_cast<const char *>(value->as_ptr));
        return true;
    case mekal_type_range:
    case mekal_type_set:
    case mekal_type_list:
    case mekal_type_tuple:
        return put_container(out, datatype, value, packed, depth);
    default:
        put_null(out);  // unset, or a code this copy does not know
        return true;
    }
}

// ------------------------------------------------------------ the document

const char *category_name(int32_t category) {
    switch (category) {
    case mekal_category_all: return "\"all\"";
    case mekal_category_general: return "\"general\"";
    case mekal_category_performance: return "\"performance\"";
    case mekal_category_control: return "\"control\"";
    default: return "null";
    }
}

// The type string as mekal_type_to_string gives it, or null where that
// gives NULL. Type strings hold no character that JSON escapes.
void put_type(growable_text &out, const mekal_datatype_t *datatype, int long_form) {
    if (const char *text = datatype != nullptr ? scalar_type_text(datatype->type, long_form) : nullptr) {
        // Most values are scalars: their text is known without a measure.
        const size_t length = std::strlen(text);
        if (char *p = out.room(length + 2)) {
            *p++ = '"';
            p = append(p, text, length);
            *p++ = '"';
            out.commit(p);
        }
        return;
    }
    const int length = datatype != nullptr ? render_type(datatype, nullptr, 0, 0, long_form, 1) : 0;
    if (length < 1 || length == INT_MAX) {
        put_null(out);
        return;
    }
    char *p = out.room(static_cast<size_t>(length) + 2);
    if (p == nullptr) return;
    *p = '"';
    // Writes its NUL where the closing quote goes.
    render_type(datatype, p + 1, length + 1, 0, long_form, 0);
    p[length + 1] = '"';
    out.commit(p + length + 2);
}

void put_recorded(growable_text &out, const mekal_value_info_t *info) {
    if (info == nullptr) {
        put_null(out);
        return;
    }
    const struct timespec &ts = info->timestamp;
    put_formatted(out, kIntervalRoom, [&](char *p) {
        char *end = nullptr;
        if (ts.tv_nsec >= 0 && ts.tv_nsec < 1000000000) end = write_iso_date(p, ts.tv_sec, ts.tv_nsec);
        // A clock far outside four-digit years: seconds since the epoch.
        return end != nullptr ? end : write_seconds(p, ts.tv_sec, ts.tv_nsec, 9);
    });
}

bool put_entry(growable_text &out, const nameval_entry *entry) {
    out.append_literal("{\"name\":");
    put_text(out, entry->name);
    out.append_literal(",\"category\":");
    put_formatted(out, kIntegerRoom, [&](char *p) { return write_i64(p, entry->category); });
    out.append_literal(",\"category_name\":");
    const char *category = category_name(entry->category);
    out.append(category, std::strlen(category));
    out.append_literal(",\"subcategory\":");
    put_text(out, entry->subcategory);
    out.append_literal(",\"type\":");
    put_type(out, entry->datatype, 0);
    out.append_literal(",\"long_type\":");
    put_type(out, entry->datatype, 1);
    out.append_literal(",\"value\":");
    if (entry->value == nullptr) put_null(out);
    else if (!put_value_at(out, entry->datatype, entry->value, false, 0)) return false;
    out.append_literal(",\"recorded\":");
    put_recorded(out, entry->info);
    out.append('}');
    return true;
}

bool in_category(const nameval_entry *entry, mekal_category_t category) {
    return category == mekal_category_all || entry->category == category;
}

// A typical entry takes 150 to 250 bytes.
constexpr size_t kEntryEstimate = 256;

// The document of count entries, given newest first: written oldest first.
char *render_oldest_first(const nameval_entry *const *entries, size_t count) {
    growable_text out;
    out.reserve(count < SIZE_MAX / (2 * kEntryEstimate) ? count * kEntryEstimate + 8 : 0);
    out.append('[');
    for (size_t i = count; i-- > 0;) {
        if (i + 1 == count) out.append('\n');
        else out.append_literal(",\n");
        if (!put_entry(out, entries[i])) return nullptr;
    }
    if (count == 0) out.append_literal("]\n");
    else out.append_literal("\n]\n");
    return out.release();
}

}  // namespace
}  // namespace mekal::json

using mekal::growable_text;
using namespace mekal::json;

extern "C" {

MEKAL_API char *mekal_value_to_json(const mekal_value_t *value, const mekal_datatype_t *datatype) {
    if (value == nullptr || datatype == nullptr) return nullptr;
    growable_text out;
    if (!put_value_at(out, datatype, value, false, 0)) return nullptr;
    return out.release();
}

MEKAL_API char *mekal_namevals_to_json(mekal_category_t category) {
    // The entry list is newest first and shared with every copy of the
    // library and every observer, so a rendering only reads it: the entries
    // go into one array, newest first, which is walked backwards.
    const registry_block *block = mekal::get_registry_block();
    size_t count = 0;
    for (const nameval_entry *e = block->entry_list; e != nullptr; e = e->list_next)
        count += in_category(e, category) ? 1 : 0;
    const nameval_entry **entries = nullptr;
    if (count > 0) {
        // NOLINTNEXTLINE(bugprone-sizeof-expression): an array of entry pointers, sized as one
        entries = static_cast<const nameval_entry **>(std::malloc(count * sizeof(const nameval_entry *)));
        if (entries == nullptr) return nullptr;
    }
    size_t filled = 0;
    for (const nameval_entry *e = block->entry_list; e != nullptr && filled < count; e = e->list_next)
        if (in_category(e, category)) entries[filled++] = e;
    char *text = render_oldest_first(entries, filled);
    std::free(entries);
    return text;
}

}  // extern "C"
