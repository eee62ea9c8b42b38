// The record's values as entries: each value of the registry taken through
// the library's C interface (name, category, subcategory, type, value, time)
// and held with its texts already in JSON form, so that the recorder can
// keep values past a clean, compare the ranks of a job and write the record
// without reading any JSON back.
#pragma once

#include <time.h>

#include <cstddef>
#include <cstdint>

#include "mekal.h"

namespace mekal::record {

// A 64-bit hash of length bytes, continuing from seed. Two texts of one
// length that differ in a single 8-byte word never share a hash; other
// different texts share one with a chance of about 2^-64.
uint64_t hash_bytes(const void *data, size_t length, uint64_t seed);

// The hash of a name that entries and lists use.
uint64_t name_hash(const char *name);

// One rank's form of a value that differs between the ranks of a job.
struct rank_value {
    int rank;
    const char *type_json;
    const char *long_type_json;
    const char *value_json;
    bool unrendered;
};

// What one value is. Every text is JSON ("null" where there is none).
struct entry_fields {
    const char *name;  // as the program recorded it: the entry's identity
    const char *name_json;
    int32_t category;
    const char *subcategory_json;
    const char *type_json;
    const char *long_type_json;
    const char *value_json;
    bool unrendered;  // the library could not render the value: value_json is "null"
    uint64_t value_key;  // of the value itself, exact where its JSON is not (NaN, bad UTF-8)
    struct timespec recorded;
};

// One value, its texts in its own block, released with one free().
struct record_entry : entry_fields {
    uint64_t name_hash;
    uint64_t entry_hash;  // everything but the recording time
    // A job's value that differs between its ranks (rank_count > 0):
    // value_json is unused, the types are the ranks' common ones or "null".
    const rank_value *ranks;
    int32_t rank_count;
};

// A new entry holding copies of fields (an entry's own, to copy one) and
// of the count ranks, or NULL on exhausted memory.
record_entry *new_entry(const entry_fields &fields, const rank_value *ranks = nullptr,
                        int count = 0);

// The exact key of a value, walked through the library's element access.
uint64_t value_key(const mekal_value_t *value, const mekal_datatype_t *datatype);

// An ordered set of entries, one per name, owned. Adding a name again
// moves it to the end with its new entry: the record keeps the values that
// cleans released, and a value recorded again since is newer than those.
class entry_list {
public:
    entry_list() = default;
    entry_list(const entry_list &) = delete;
    entry_list &operator=(const entry_list &) = delete;
    ~entry_list();

    // Takes entry (NULL: counts as exhausted memory). False when memory ran
    // out; the list keeps what it held.
    bool put(record_entry *entry);
    // Takes every entry of other, in its order, as put does; other ends empty.
    bool absorb(entry_list *other);
    const record_entry *find(const char *name, uint64_t name_hash) const;
    const record_entry *find(const char *name) const { return find(name, name_hash(name)); }
    size_t size() const { return live_; }
    // Calls visit(const record_entry &) for each entry, oldest first.
    template <typename Visit>
    void each(Visit visit) const {
        for (size_t i = 0; i < count_; ++i)
            if (items_[i] != nullptr) visit(*items_[i]);
    }
    void clear();

private:
    bool reindex(size_t capacity);
    record_entry **items_ = nullptr;  // NULL where an entry was replaced
    size_t count_ = 0;
    size_t capacity_ = 0;
    size_t live_ = 0;
    uint32_t *slots_ = nullptr;  // position + 1 by name hash, 0 for none
    size_t slot_count_ = 0;
};

// The values of the registry now, oldest first, into list. False when
// memory ran out (list then holds what could be taken).
bool take_registry(entry_list *list);

// The time interval value of a timing ("walltime", ...) that the record
// holds without delivering it to the program's observers.
record_entry *timing_entry(const char *name, const struct timeval &interval);

}  // namespace mekal::record
