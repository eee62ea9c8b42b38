// Registry core: the block shared by every copy of the library, the entry
// and observer records hanging off it, and the internal operations on them.
// Every layout here is read and written by independently built copies of
// the library in one process, so each size and offset is fixed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

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
    int32_t version;  // 1: shared chains; 0 or less: per-copy chains (bucket_table)
    // The clean counter: mekal_clean adds one. The store and the observers
    // stop a walk that a clean inside a callback has emptied, and copies
    // with their own chains drop them when it has moved.
    int32_t reserved;
    int32_t any_report_all;
    int32_t is_reporter;
    observer **observer_head_slot;
    int32_t reserved2;  // never read here; mekal_init zeroes it, as every copy does
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

// The helpers below sit on every recording and lookup: they are inline here
// rather than calls across translation units.

// block.cpp
// The block this copy settled on at its first registry operation.
extern registry_block *cached_block;
registry_block *resolve_registry_block();
inline registry_block *get_registry_block() {
    registry_block *block = cached_block;
    return block != nullptr ? block : resolve_registry_block();
}
// This copy's own chains, for blocks of version 0 or less.
nameval_entry **local_bucket_table(registry_block *block);
inline nameval_entry **bucket_table(registry_block *block) {
    return block->version > 0 ? block->buckets : local_bucket_table(block);
}

// store.cpp
// djb2 over the bytes taken unsigned; the chain is its low seven bits. Every
// copy chains the shared entries this way, so the result is fixed. Modulo
// 128 the sum needs no sequential multiply: 33^4 is 1, so a byte weighs
// 33^(its distance from the last byte, mod 4), and it counts only by its low
// seven bits. Words are read back from the end of the name, so each byte
// lane holds one distance mod 8 and one weight: the lanes are summed mod 128
// eight bytes at a time and weighed by one multiply at the end. Only the n
// bytes of the name are read: the length comes first.
namespace hash_detail {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "byte lanes are little-endian");

inline constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
// 5381 * 33^k mod 128, for n = k mod 4.
inline constexpr uint32_t kStart[4] = {5, 37, 69, 101};
// Lane r (0..3, spread to 16 bits) weighs 33^(3 - r) mod 128; laid out so
// that the top 16 bits of lanes * kWeights are the weighed sum.
inline constexpr uint64_t kWeights =
    (uint64_t{97} << 48) | (uint64_t{65} << 32) | (uint64_t{33} << 16) | 1;

inline uint64_t load64(const unsigned char *p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}
inline uint64_t load32(const unsigned char *p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

}  // namespace hash_detail

// name_hash of the n bytes at name, handing visit each word it reads: the
// whole words back from the end, then the first bytes packed into the top
// lanes. With n they spell the name: a second hash may take the same reads.
template <typename Visit>
inline unsigned name_hash_words(const char *name, size_t n, Visit visit) {
    using namespace hash_detail;
    const auto *p = reinterpret_cast<const unsigned char *>(name);
    uint64_t lanes = 0;  // lane j: the bytes 7 - j (mod 8) before the last, summed mod 128
    size_t head = n;
    for (; head >= 8; head -= 8) {
        const uint64_t word = load64(p + head - 8);
        visit(word);
        lanes = (lanes + (word & kLow7)) & kLow7;
    }
    if (head != 0) {
        uint64_t first;  // the first `head` bytes, in the top lanes
        if (n >= 8) {
            first = load64(p) << (8 * (8 - head));
        } else {
            // Overlapping reads; the shared bytes land in the same lanes.
            if (n >= 4)
                first = load32(p) | (load32(p + n - 4) << (8 * (n - 4)));
            else
                first = uint64_t{p[0]} | (uint64_t{p[n >> 1]} << (8 * (n >> 1))) |
                        (uint64_t{p[n - 1]} << (8 * (n - 1)));
            first <<= 8 * (8 - n);
        }
        visit(first);
        lanes = (lanes + (first & kLow7)) & kLow7;
    }
    // Lanes j and j + 4 weigh alike; spread the four sums to 16 bits so that
    // one multiply weighs them without carries between lanes.
    uint64_t sums = (lanes + (lanes >> 32)) & 0x7F7F7F7Full;
    sums = (sums | (sums << 16)) & 0x0000FFFF0000FFFFull;
    sums = (sums | (sums << 8)) & 0x00FF00FF00FF00FFull;
    return (kStart[n & 3] + static_cast<unsigned>((sums * kWeights) >> 48)) & 127;
}

inline unsigned name_hash(const char *name) {
    return name_hash_words(name, std::strlen(name), [](uint64_t) {});
}

// Frees everything an entry record owns, then the record.
void release_entry(nameval_entry *entry);

// This copy's index of the entries by name (store.cpp): mekal_clean
// releases it, and a later long chain walk builds it again.
void drop_name_index();
// Entries in this copy's index: 0 while the chains serve alone.
size_t name_index_count();

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

}  // namespace mekal
