// The record's values as entries.
#include "entries.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "library.h"

namespace mekal::record {
namespace {

constexpr uint64_t kNameSeed = 0x6e616d65u;
constexpr uint64_t kEntrySeed = 0x656e7472u;
constexpr uint64_t kValueSeed = 0x76616c75u;
// Beyond this depth the key stops walking: far past anything the library's
// type strings can make, and short of the stack's end.
constexpr int kMaxKeyDepth = 4096;

uint64_t rotate(uint64_t x, int bits) { return (x << bits) | (x >> (64 - bits)); }

uint64_t finish_hash(uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9u;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebu;
    return x ^ (x >> 31);
}

uint64_t mix(uint64_t h, uint64_t word) { return hash_bytes(&word, sizeof word, h); }

uint64_t text_hash(const char *text, uint64_t h) {
    return text == nullptr ? mix(h, 0) : hash_bytes(text, std::strlen(text) + 1, h);
}

bool is_text_code(int32_t type) {
    return type == mekal_type_version || type == mekal_type_string ||
           type == mekal_type_catstring || type == mekal_type_path ||
           type == mekal_type_jsonstring;
}

uint64_t key_of(const mekal_value_t *value, const mekal_datatype_t *datatype, uint64_t h,
                int depth) {
    if (datatype == nullptr) return mix(h, ~uint64_t{0});
    h = mix(h, static_cast<uint32_t>(datatype->type));
    switch (datatype->type) {
    case mekal_type_int:
    case mekal_type_unsigned_int: return mix(h, static_cast<uint32_t>(value->as_int));
    case mekal_type_double: {
        uint64_t bits;
        std::memcpy(&bits, &value->as_double, sizeof bits);
        return mix(h, bits);
    }
    case mekal_type_timeval: {
        if (value->as_ptr == nullptr) return mix(h, 0);
        struct timeval tv;
        std::memcpy(&tv, value->as_ptr, sizeof tv);
        return mix(mix(h, static_cast<uint64_t>(tv.tv_sec)), static_cast<uint64_t>(tv.tv_usec));
    }
    case mekal_type_range:
    case mekal_type_set:
    case mekal_type_list:
    case mekal_type_tuple: {
        const int count = lib.mekal_num_subvals(datatype);
        h = mix(h, static_cast<uint32_t>(count));
        if (depth >= kMaxKeyDepth) return h;
        for (int i = 0; i < count; ++i) {
            mekal_datatype_t *element = nullptr;
            mekal_value_t item{};
            h = lib.mekal_get_subval(datatype, value, i, &element, &item) == 0
                    ? key_of(&item, element, h, depth + 1)
                    : mix(h, 1);
        }
        return h;
    }
    default:
        if (is_text_code(datatype->type)) return text_hash(static_cast<const char *>(value->as_ptr), h);
        return mix(h, static_cast<uint64_t>(value->as_long));  // the 64-bit codes, and unset
    }
}

// The texts of an entry, in the order they are laid out in its block.
constexpr int kTexts = 6;

}  // namespace

uint64_t hash_bytes(const void *data, size_t length, uint64_t seed) {
    constexpr uint64_t kOdd1 = 0x9e3779b97f4a7c15u;
    constexpr uint64_t kOdd2 = 0xc2b2ae3d27d4eb4fu;
    const auto *p = static_cast<const unsigned char *>(data);
    uint64_t h = finish_hash(seed ^ (static_cast<uint64_t>(length) * kOdd1));
    // Each step is one-to-one in the word, so one differing word always
    // changes the result.
    for (; length >= 8; length -= 8, p += 8) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        h = rotate(h ^ (word * kOdd1), 29) * kOdd2 + kOdd1;
    }
    if (length > 0) {
        uint64_t word = 0;
        std::memcpy(&word, p, length);
        h = rotate(h ^ (word * kOdd1), 29) * kOdd2 + kOdd1;
    }
    return finish_hash(h);
}

uint64_t name_hash(const char *name) { return hash_bytes(name, std::strlen(name), kNameSeed); }

uint64_t value_key(const mekal_value_t *value, const mekal_datatype_t *datatype) {
    return key_of(value, datatype, kValueSeed, 0);
}

record_entry *new_entry(const entry_fields &f, const rank_value *ranks, int count) {
    const char *texts[kTexts] = {f.name,          f.name_json,      f.subcategory_json,
                                 f.type_json,     f.long_type_json, f.value_json};
    size_t size = sizeof(record_entry) + static_cast<size_t>(count) * sizeof(rank_value);
    for (const char *text : texts) size += std::strlen(text) + 1;
    for (int i = 0; i < count; ++i)
        for (const char *text : {ranks[i].type_json, ranks[i].long_type_json, ranks[i].value_json})
            size += std::strlen(text) + 1;
    auto *e = static_cast<record_entry *>(std::malloc(size));
    if (e == nullptr) return nullptr;
    auto *copies = reinterpret_cast<rank_value *>(e + 1);
    char *at = reinterpret_cast<char *>(copies + count);
    auto copy = [&at](const char *text) {
        const size_t length = std::strlen(text) + 1;
        char *out = static_cast<char *>(std::memcpy(at, text, length));
        at += length;
        return out;
    };
    *e = record_entry{};
    e->name = copy(f.name);
    e->name_json = copy(f.name_json);
    e->category = f.category;
    e->subcategory_json = copy(f.subcategory_json);
    e->type_json = copy(f.type_json);
    e->long_type_json = copy(f.long_type_json);
    e->value_json = copy(f.value_json);
    e->unrendered = f.unrendered;
    e->value_key = f.value_key;
    e->recorded = f.recorded;
    for (int i = 0; i < count; ++i)
        copies[i] = {ranks[i].rank, copy(ranks[i].type_json), copy(ranks[i].long_type_json),
                     copy(ranks[i].value_json), ranks[i].unrendered};
    e->ranks = count > 0 ? copies : nullptr;
    e->rank_count = count;
    e->name_hash = name_hash(e->name);
    uint64_t h = mix(kEntrySeed, static_cast<uint32_t>(e->category));
    for (const char *text : {e->subcategory_json, e->type_json, e->long_type_json}) h = text_hash(text, h);
    e->entry_hash = mix(h, e->value_key);
    return e;
}


// ------------------------------------------------------------ entry_list

entry_list::~entry_list() { clear(); }

void entry_list::clear() {
    for (size_t i = 0; i < count_; ++i) std::free(items_[i]);
    std::free(items_);
    std::free(slots_);
    items_ = nullptr;
    slots_ = nullptr;
    count_ = capacity_ = live_ = slot_count_ = 0;
}

const record_entry *entry_list::find(const char *name, uint64_t name_hash) const {
    if (slot_count_ == 0) return nullptr;
    for (size_t i = name_hash & (slot_count_ - 1);; i = (i + 1) & (slot_count_ - 1)) {
        if (slots_[i] == 0) return nullptr;
        const record_entry *e = items_[slots_[i] - 1];
        if (e->name_hash == name_hash && std::strcmp(e->name, name) == 0) return e;
    }
}

bool entry_list::reindex(size_t capacity) {
    // The index stays at most half full.
    size_t slots = 16;
    while (slots < 2 * capacity) slots *= 2;
    auto *fresh = static_cast<uint32_t *>(std::calloc(slots, sizeof(uint32_t)));
    if (fresh == nullptr) return false;
    std::free(slots_);
    slots_ = fresh;
    slot_count_ = slots;
    for (size_t p = 0; p < count_; ++p) {
        if (items_[p] == nullptr) continue;
        size_t i = items_[p]->name_hash & (slots - 1);
        while (slots_[i] != 0) i = (i + 1) & (slots - 1);
        slots_[i] = static_cast<uint32_t>(p + 1);
    }
    return true;
}

bool entry_list::put(record_entry *entry) {
    if (entry == nullptr) return false;
    if (count_ == capacity_) {
        if (live_ <= count_ / 2 && count_ > 0) {
            // Mostly replaced entries: close the gaps instead of growing.
            size_t kept = 0;
            for (size_t p = 0; p < count_; ++p)
                if (items_[p] != nullptr) items_[kept++] = items_[p];
            count_ = kept;
        } else {
            const size_t capacity = capacity_ < 16 ? 16 : 2 * capacity_;
            // NOLINTNEXTLINE(bugprone-sizeof-expression): an array of pointers
            const size_t bytes = capacity * sizeof(record_entry *);
            auto *grown = capacity < UINT32_MAX
                              ? static_cast<record_entry **>(std::realloc(items_, bytes))
                              : nullptr;
            if (grown == nullptr) {
                std::free(entry);
                return false;
            }
            items_ = grown;
            capacity_ = capacity;
        }
        if (!reindex(capacity_)) {
            std::free(entry);
            return false;
        }
    }
    size_t i = entry->name_hash & (slot_count_ - 1);
    for (; slots_[i] != 0; i = (i + 1) & (slot_count_ - 1)) {
        record_entry *&old = items_[slots_[i] - 1];
        if (old->name_hash == entry->name_hash && std::strcmp(old->name, entry->name) == 0) {
            std::free(old);
            old = nullptr;
            --live_;
            break;
        }
    }
    items_[count_++] = entry;
    slots_[i] = static_cast<uint32_t>(count_);
    ++live_;
    return true;
}

bool entry_list::absorb(entry_list *other) {
    bool ok = true;
    for (size_t i = 0; i < other->count_; ++i) {
        if (other->items_[i] == nullptr) continue;
        ok = put(other->items_[i]) && ok;
        other->items_[i] = nullptr;
    }
    other->clear();
    return ok;
}

// --------------------------------------------------- from the registry

namespace {

// A text the library rendered, released on every way out.
struct rendered {
    char *text;
    explicit rendered(char *t) : text(t) {}
    rendered(const rendered &) = delete;
    rendered &operator=(const rendered &) = delete;
    ~rendered() { std::free(text); }
    const char *or_null() const { return text != nullptr ? text : "null"; }
};

char *json_string(const char *text) {
    if (text == nullptr) return nullptr;
    // Most names are plain printable ASCII, which JSON takes as it is; the
    // library escapes the others (and mends invalid UTF-8).
    size_t length = 0;
    while (text[length] >= 0x20 && text[length] < 0x7f && text[length] != '"' && text[length] != '\\')
        ++length;
    if (text[length] == '\0') {
        auto *out = static_cast<char *>(std::malloc(length + 3));
        if (out == nullptr) return nullptr;
        out[0] = '"';
        std::memcpy(out + 1, text, length);
        out[length + 1] = '"';
        out[length + 2] = '\0';
        return out;
    }
    mekal_value_t slot{};
    slot.as_ptr = const_cast<char *>(text);
    return lib.mekal_value_to_json(&slot, lib.mekal_get_basetype(mekal_type_string));
}

// The type string or its words in quotes: type texts hold nothing that JSON
// escapes.
char *json_type(const mekal_datatype_t *datatype, int long_form) {
    rendered text(datatype != nullptr ? lib.mekal_type_to_string(datatype, long_form) : nullptr);
    if (text.text == nullptr) return nullptr;
    const size_t length = std::strlen(text.text);
    auto *out = static_cast<char *>(std::malloc(length + 3));
    if (out == nullptr) return nullptr;
    out[0] = '"';
    std::memcpy(out + 1, text.text, length);
    out[length + 1] = '"';
    out[length + 2] = '\0';
    return out;
}

record_entry *entry_of(const char *name, int32_t category, const char *subcategory,
                       const mekal_value_t *value, const mekal_datatype_t *datatype,
                       const struct timespec &recorded) {
    const rendered name_json(json_string(name)), sub(json_string(subcategory)),
        type(json_type(datatype, 0)), long_type(json_type(datatype, 1)),
        text(value != nullptr && datatype != nullptr ? lib.mekal_value_to_json(value, datatype)
                                                     : nullptr);
    if (name_json.text == nullptr || (subcategory != nullptr && sub.text == nullptr)) return nullptr;
    const bool unrendered = text.text == nullptr && value != nullptr && datatype != nullptr;
    const entry_fields fields{name,
                              name_json.text,
                              category,
                              sub.or_null(),
                              type.or_null(),
                              long_type.or_null(),
                              text.or_null(),
                              unrendered,
                              value != nullptr ? value_key(value, datatype) : 0,
                              recorded};
    return new_entry(fields);
}

struct taking {
    record_entry **newest_first = nullptr;
    size_t count = 0;
    size_t capacity = 0;
    bool failed = false;
};

void take_one(const char *name, mekal_value_t *value, mekal_datatype_t *datatype,
              mekal_value_info_t *info, void *opaque) {
    auto *t = static_cast<taking *>(opaque);
    if (t->count == t->capacity) {
        const size_t capacity = t->capacity < 64 ? 64 : 2 * t->capacity;
        // NOLINTNEXTLINE(bugprone-sizeof-expression): an array of pointers
        const size_t bytes = capacity * sizeof(record_entry *);
        auto *grown = static_cast<record_entry **>(std::realloc(t->newest_first, bytes));
        if (grown == nullptr) {
            t->failed = true;
            return;
        }
        t->newest_first = grown;
        t->capacity = capacity;
    }
    const struct timespec none {};
    record_entry *e = entry_of(name, info != nullptr ? info->category : 0,
                               info != nullptr ? info->subcategory : nullptr, value, datatype,
                               info != nullptr ? info->timestamp : none);
    if (e == nullptr) t->failed = true;
    else t->newest_first[t->count++] = e;
}

}  // namespace

bool take_registry(entry_list *list) {
    taking t;
    lib.mekal_list_namevals_with_info(1, mekal_category_all, take_one, &t);
    bool ok = !t.failed;
    for (size_t i = t.count; i-- > 0;) ok = list->put(t.newest_first[i]) && ok;
    std::free(t.newest_first);
    return ok;
}

record_entry *timing_entry(const char *name, const struct timeval &interval) {
    struct timespec now {};
    (void)clock_gettime(CLOCK_REALTIME, &now);
    struct timeval copy = interval;
    mekal_value_t slot{};
    slot.as_ptr = &copy;
    return entry_of(name, mekal_category_performance, "timing", &slot,
                    lib.mekal_get_basetype(mekal_type_timeval), now);
}

}  // namespace mekal::record
