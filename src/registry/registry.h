// Registry core: the block shared by every copy of the library, the entry
// and observer records hanging off it, and the internal operations on them.
// Every layout here is read and written by independently built copies of
// the library in one process, so each size and offset is fixed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mekal.h"


struct nameval_entry {
    char *name;  // owned; kept when the value is replaced
    int32_t category;
    int32_t gap_;
    char *subcategory;  // owned, or NULL
    mekal_value_t *value;  // owned slots
    mekal_datatype_t *datatype;  // owned unless a static base record
    nameval_entry *list_next;  // next older entry of the block's list
    nameval_entry *bucket_next;  // next entry of the same chain
    mekal_value_info_t *info;  // owned info record of the latest recording
};

struct observer {
    int32_t version;
    int32_t gap_;
    observer *next;  // next older observer
    observer *prev;  // newer neighbour; written, never read
    void *opaque;
    mekal_nameval_cb_t nameval_cb;
    int32_t report_all;
    int32_t category;
    mekal_nameval_info_cb_t nameval_info_cb;
};

inline constexpr int kBucketCount = 128;

struct mekal_registry_block {
    int32_t version;
    int32_t reserved;  // see bucket_table: counts cleans, for version <= 0 mode
    int32_t any_report_all;
    int32_t is_reporter;
    observer **observer_head_slot;
    int32_t reserved2;
    int32_t gap_;
    nameval_entry *entry_list;
    nameval_entry *buckets[kBucketCount];
};
using registry_block = mekal_registry_block;

static_assert(sizeof(void *) == 8, "the shared layouts assume LP64");

static_assert(sizeof(registry_block) == 1064);
static_assert(alignof(registry_block) == 8);
static_assert(offsetof(registry_block, version) == 0);
static_assert(offsetof(registry_block, reserved) == 4);
static_assert(offsetof(registry_block, any_report_all) == 8);
static_assert(offsetof(registry_block, is_reporter) == 12);
static_assert(offsetof(registry_block, observer_head_slot) == 16);
static_assert(offsetof(registry_block, reserved2) == 24);
static_assert(offsetof(registry_block, gap_) == 28);
static_assert(offsetof(registry_block, entry_list) == 32);
static_assert(offsetof(registry_block, buckets) == 40);

static_assert(sizeof(nameval_entry) == 64);
static_assert(offsetof(nameval_entry, name) == 0);
static_assert(offsetof(nameval_entry, category) == 8);
static_assert(offsetof(nameval_entry, gap_) == 12);
static_assert(offsetof(nameval_entry, subcategory) == 16);
static_assert(offsetof(nameval_entry, value) == 24);
static_assert(offsetof(nameval_entry, datatype) == 32);
static_assert(offsetof(nameval_entry, list_next) == 40);
static_assert(offsetof(nameval_entry, bucket_next) == 48);
static_assert(offsetof(nameval_entry, info) == 56);

static_assert(sizeof(observer) == 56);
static_assert(offsetof(observer, version) == 0);
static_assert(offsetof(observer, gap_) == 4);
static_assert(offsetof(observer, next) == 8);
static_assert(offsetof(observer, prev) == 16);
static_assert(offsetof(observer, opaque) == 24);
static_assert(offsetof(observer, nameval_cb) == 32);
static_assert(offsetof(observer, report_all) == 40);
static_assert(offsetof(observer, category) == 44);
static_assert(offsetof(observer, nameval_info_cb) == 48);

static_assert(sizeof(mekal_value_info_t) == 32);
static_assert(offsetof(mekal_value_info_t, category) == 0);
static_assert(offsetof(mekal_value_info_t, subcategory) == 8);
static_assert(offsetof(mekal_value_info_t, timestamp) == 16);
static_assert(sizeof(struct timespec) == 16);

namespace mekal {

// block.cpp
registry_block *get_registry_block();
nameval_entry **bucket_table(registry_block *block);

// store.cpp
unsigned name_hash(const char *name);
nameval_entry *find_entry(nameval_entry **table, const char *name);
// Frees everything an entry record owns, then the record.
void release_entry(nameval_entry *entry);

// observers.cpp
void dispatch_event(const char *name, mekal_category_t category, const char *subcategory,
                    mekal_value_t *value, mekal_datatype_t *datatype,
                    mekal_value_info_t *info);

// Deliveries (dispatches and listings) hand out pointers to a recording's
// blocks; a callback may replace that recording or clean the registry while
// later callbacks of the same delivery still have those pointers to come.
// While this copy is delivering, the store therefore retires such blocks
// onto a per-copy list (entry records used as carriers) instead of freeing
// them, and the outermost delivery frees the list when it returns.
extern int delivery_depth;
extern nameval_entry *retired_entries;
void release_retired();

struct delivery_scope {
    delivery_scope() { ++delivery_depth; }
    ~delivery_scope() {
        if (--delivery_depth == 0 && retired_entries != nullptr) release_retired();
    }
    delivery_scope(const delivery_scope &) = delete;
    delivery_scope &operator=(const delivery_scope &) = delete;
};

// lifecycle.cpp
struct timeval wall_difference(const struct timeval &start, const struct timeval &now);

}  // namespace mekal
