// The name/value store: one entry per name, chained newest first into the
// block's entry list and into one of 128 hash chains, and this copy's index
// of the entries by name.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "registry/registry.h"
#include "types/types.h"

namespace mekal {
namespace {

char *copy_or_null(const char *text) { return text ? strdup(text) : nullptr; }

}  // namespace

void release_entry(nameval_entry *entry) {
    release_recording(entry->value, entry->datatype);
    std::free(entry->name);
    std::free(entry->info);
    std::free(entry->subcategory);
    std::free(entry);
}

namespace {

// ------------------------------------------------------- the name index
//
// This copy's index of the entries by name. The shared layout fixes 128
// chains, so at a million names a chain walk passes thousands of entries;
// the index finds any name in a probe or two. It is this copy's own memory
// beside the shared records, and the chains stay the truth: the index is
// trusted only while the shared state shows that nothing it knows was
// released, and it takes in whatever other copies linked since.
//
// What the shared state shows:
// - `reserved` counts the cleans of every copy of this library;
// - entries are linked only at the head of the entry list and of their
//   chain, and never move: a head as last seen means nothing new there,
//   and a changed head leads through the new entries down to it;
// - a clean by a copy that leaves `reserved` alone empties the list and the
//   chains, so the heads last seen are no longer found below the new ones,
//   or a chain changed while the list did not. Before an entry's name is
//   read, its chain is checked; before a miss is reported, the name's.
// Every entry found is confirmed by its name. While the chains are short,
// or when the index cannot allocate, the chains are walked as before.

// A walk past this many entries builds the index; shorter ones cost no
// more than a probe.
constexpr unsigned kLongWalk = 8;
constexpr size_t kFirstSlots = 1024;  // a power of two
// Long walks to wait after an allocation for the index failed, doubled by
// each failure in a row.
constexpr unsigned long kRetryWalks = 64;
constexpr unsigned kMaxRetryShift = 16;
constexpr uint64_t kChainBits = kBucketCount - 1;

struct index_slot {
    nameval_entry *entry;  // nullptr: free
    // The name's key hash with the entry's chain in the low seven bits:
    // growing reads no entry, and a hit knows which chain to check.
    uint64_t tag;
};

struct name_index {
    index_slot *slots;         // nullptr: no index, the chains serve
    size_t mask;               // slot count - 1; at most 3/4 of the slots are taken
    size_t count;
    nameval_entry **table;     // the chain table the index mirrors
    int32_t generation;        // the block's clean count when built
    nameval_entry *list_head;  // the entry list's head as last seen
    nameval_entry *heads[kBucketCount];  // each chain's head as last seen
    unsigned long retry_walks;
    unsigned failures;
};
name_index idx;

// The entry that this copy last recorded, by the caller's name pointer: a
// caller that records one name again and again (a literal, a buffer it
// keeps) skips the hashes. Its name is compared before it is used (a
// reused buffer is another name), and it is trusted only while it is known
// to be alive: set while the index in step lived, or found again on the
// live chain by pointer.
struct name_memo {
    const char *name;
    nameval_entry *entry;
    unsigned chain;
};
name_memo memo;

// Where a name goes: its key hash in the index and its chain.
struct name_key {
    uint64_t hash;
    unsigned chain;
};

constexpr uint64_t kOdd1 = 0x9e3779b97f4a7c15u;
constexpr uint64_t kOdd2 = 0xc2b2ae3d27d4eb4fu;

// A 64-bit hash of the words that name_hash_words reads (its own sums,
// unused here, compile away): each word multiplied in spreads upwards, and
// the end folds the high bits down. Slots are picked by bits 7 and up.
inline uint64_t key_hash(const char *name) {
    const size_t n = std::strlen(name);
    uint64_t h = n * kOdd2;
    (void)name_hash_words(name, n, [&h](uint64_t word) { h = (h ^ word) * kOdd1; });
    h ^= h >> 32;
    h *= kOdd2;
    return h ^ (h >> 29);
}

inline size_t slot_of(uint64_t hash, size_t mask) { return (hash >> 7) & mask; }

// Forgets everything; after a failed allocation, waits before building again.
void drop(bool failed) {
    std::free(idx.slots);
    const unsigned failures = failed ? idx.failures + 1 : 0;
    idx = name_index{};
    memo = name_memo{};
    idx.failures = failures;
    if (failed)
        idx.retry_walks = kRetryWalks << (failures < kMaxRetryShift ? failures : kMaxRetryShift);
}

void place(index_slot *slots, size_t mask, const index_slot &slot) {
    size_t i = slot_of(slot.tag, mask);
    while (slots[i].entry != nullptr) i = (i + 1) & mask;
    slots[i] = slot;
}

// False when the slots could not grow: the index is then gone.
bool insert(nameval_entry *entry, uint64_t hash, unsigned chain) {
    if (idx.count + 1 > (idx.mask + 1) / 4 * 3) {
        const size_t size = 2 * (idx.mask + 1);
        auto *slots = static_cast<index_slot *>(std::calloc(size, sizeof(index_slot)));
        if (slots == nullptr) {
            drop(true);
            return false;
        }
        for (size_t k = 0; k <= idx.mask; ++k)
            if (idx.slots[k].entry != nullptr) place(slots, size - 1, idx.slots[k]);
        std::free(idx.slots);
        idx.slots = slots;
        idx.mask = size - 1;
    }
    place(idx.slots, idx.mask, {entry, (hash & ~kChainBits) | chain});
    ++idx.count;
    return true;
}

// Takes in the entries linked at the head of chain c since it was last
// seen. False when the index is gone: the chain no longer leads to its
// head as last seen (a clean emptied it), or memory ran out.
bool catch_up_chain(nameval_entry **table, unsigned c) {
    nameval_entry *const seen = idx.heads[c];
    nameval_entry *const head = table[c];
    for (nameval_entry *e = head; e != seen; e = e->bucket_next) {
        if (e == nullptr) {
            drop(false);
            return false;
        }
        if (!insert(e, key_hash(e->name), c)) return false;
    }
    idx.heads[c] = head;
    return true;
}

// The slow side of in_step: a clean, or new entries on the list.
[[gnu::noinline]] bool catch_up(registry_block *block, nameval_entry **table) {
    if (block->reserved != idx.generation || table != idx.table) {
        drop(false);
        return false;
    }
    // With a block of version 0, other copies' entries are on the list but
    // not on this copy's chains, whose heads then have not moved.
    nameval_entry *const head = block->entry_list;
    for (nameval_entry *e = head; e != idx.list_head; e = e->list_next) {
        if (e == nullptr) {
            drop(false);
            return false;
        }
        if (!catch_up_chain(table, name_hash(e->name))) return false;
    }
    idx.list_head = head;
    return true;
}

// Brings the index up to the shared state. False when it can no longer be
// trusted: it is then gone.
inline bool in_step(registry_block *block, nameval_entry **table) {
    if (block->reserved == idx.generation && table == idx.table &&
        block->entry_list == idx.list_head)
        return true;
    return catch_up(block, table);
}

// Once the list is caught up, a chain differs from its head as last seen
// only where a clean emptied the chains and new entries refilled the list
// up to the same head.
inline bool chain_in_step(nameval_entry **table, unsigned c) {
    if (table[c] == idx.heads[c]) return true;
    drop(false);
    return false;
}

[[gnu::noinline]] void build(registry_block *block, nameval_entry **table) {
    if (idx.retry_walks != 0) {
        --idx.retry_walks;
        return;
    }
    auto *slots = static_cast<index_slot *>(std::calloc(kFirstSlots, sizeof(index_slot)));
    if (slots == nullptr) {
        drop(true);
        return;
    }
    idx.slots = slots;
    idx.mask = kFirstSlots - 1;
    idx.table = table;
    idx.generation = block->reserved;
    idx.list_head = block->entry_list;
    memo = name_memo{};
    for (unsigned c = 0; c < kBucketCount; ++c)
        if (!catch_up_chain(table, c)) return;
    idx.failures = 0;
}

// The entry of name in an index in step, filling in its chain; nullptr
// on a miss, or when a chain check dropped the index.
[[gnu::always_inline]] inline nameval_entry *probe(nameval_entry **table, const char *name,
                                                   name_key *key) {
    for (size_t i = slot_of(key->hash, idx.mask);; i = (i + 1) & idx.mask) {
        const index_slot slot = idx.slots[i];
        if (slot.entry == nullptr) return nullptr;
        if (((slot.tag ^ key->hash) & ~kChainBits) == 0) {
            key->chain = static_cast<unsigned>(slot.tag & kChainBits);
            if (!chain_in_step(table, key->chain)) return nullptr;
            if (std::strcmp(slot.entry->name, name) == 0) return slot.entry;
        }
    }
}

// The entry of name in table, through the index while it is in step with
// the shared chains, else by walking the chain; a long walk builds the
// index for next time. Fills in the key as far as an index needs it.
[[gnu::always_inline]] inline nameval_entry *find_named(registry_block *block,
                                                        nameval_entry **table, const char *name,
                                                        name_key *key) {
    if (idx.slots != nullptr) {
        key->hash = key_hash(name);
        if (in_step(block, table)) {
            nameval_entry *found = probe(table, name, key);
            if (found != nullptr) return found;
            key->chain = name_hash(name);
            if (idx.slots != nullptr && chain_in_step(table, key->chain)) return nullptr;
        }
    }
    key->chain = name_hash(name);
    unsigned steps = 0;
    nameval_entry *e = table[key->chain];
    for (; e != nullptr; e = e->bucket_next, ++steps)
        if (e->name[0] == name[0] && std::strcmp(e->name, name) == 0) break;
    if (steps > kLongWalk) {
        build(block, table);
        key->hash = key_hash(name);  // for index_linked, should the name be new
    }
    return e;
}

// The memo's entry, when it still holds the name.
nameval_entry *remembered(registry_block *block, nameval_entry **table, const char *name) {
    nameval_entry *found = nullptr;
    if (idx.slots != nullptr) {
        // A drop forgets the memo, so it was set while this index lived:
        // alive unless a clean came since, which the checks see.
        if (in_step(block, table) && chain_in_step(table, memo.chain)) found = memo.entry;
    } else {
        for (nameval_entry *e = table[memo.chain]; e != nullptr && found == nullptr;
             e = e->bucket_next)
            if (e == memo.entry) found = e;
    }
    return found != nullptr && std::strcmp(found->name, name) == 0 ? found : nullptr;
}

// A recording's search past the memo, out of line so that a replace
// through the memo stays short; what it finds becomes the memo.
[[gnu::noinline]] nameval_entry *find_recorded(registry_block *block, nameval_entry **table,
                                               const char *name, name_key *key) {
    nameval_entry *entry = find_named(block, table, name, key);
    if (entry != nullptr) memo = name_memo{name, entry, key->chain};
    return entry;
}

// A new entry was just linked at the head of its chain and of the list,
// right after find_named missed it with the index (if any) in step.
void index_linked(nameval_entry *entry, const char *name, const name_key &key) {
    memo = name_memo{name, entry, key.chain};
    if (idx.slots == nullptr || !insert(entry, key.hash, key.chain)) return;
    idx.heads[key.chain] = entry;
    idx.list_head = entry;
}

[[gnu::always_inline]] inline const nameval_entry *lookup(const char *name) {
    if (name == nullptr) return nullptr;
    registry_block *block = get_registry_block();
    name_key key{};
    return find_named(block, bucket_table(block), name, &key);
}

// Calls visit for every entry of the category (1: all), newest first.
template <typename Visit>
void list_entries(mekal_category_t category, Visit visit) {
    registry_block *block = get_registry_block();
    const delivery_scope scope;
    const int32_t generation = block->reserved;
    for (nameval_entry *e = block->entry_list; e != nullptr;) {
        nameval_entry *current = e;
        if (category == mekal_category_all || category == current->category) visit(current);
        if (block->reserved != generation) return;  // cleaned inside the callback
        // Read after the callback: it may have recorded or re-recorded.
        e = current->list_next;
    }
}

}  // namespace

void drop_name_index() { drop(false); }

size_t name_index_count() { return idx.count; }

}  // namespace mekal

using namespace mekal;

extern "C" {

MEKAL_API int mekal_raw_namevalue(const char *name, mekal_category_t category,
                                  const char *subcategory, mekal_value_t *value,
                                  mekal_datatype_t *datatype) {
    if (category == mekal_category_control) {
        if (name == nullptr) return -1;
        dispatch_event(name, category, subcategory, value, datatype, nullptr);
        return 0;
    }
    if (name == nullptr) {
        // The caller handed ownership over; dropping it silently would leak.
        release_recording(value, datatype);
        return -1;
    }

    registry_block *block = get_registry_block();
    nameval_entry **table = bucket_table(block);
    name_key key{};
    nameval_entry *entry = name == memo.name ? remembered(block, table, name) : nullptr;
    if (entry == nullptr) entry = find_recorded(block, table, name, &key);

    // Allocate everything before touching the registry, so that exhausted
    // memory leaves the old value (or no entry at all) intact.
    char *sub_copy = copy_or_null(subcategory);
    // malloc and a full store: calloc bypasses glibc's per-thread cache.
    auto *info = static_cast<mekal_value_info_t *>(std::malloc(sizeof(mekal_value_info_t)));
    if (info != nullptr) *info = mekal_value_info_t{};
    nameval_entry *fresh = nullptr;
    char *name_copy = nullptr;
    // While delivering, the old blocks are retired (see delivery_scope) in
    // a carrier record instead of freed.
    nameval_entry *carrier = nullptr;
    const bool retire = entry != nullptr && delivery_depth != 0;
    if (entry == nullptr) {
        fresh = static_cast<nameval_entry *>(std::calloc(1, sizeof(nameval_entry)));
        name_copy = strdup(name);
    } else if (retire) {
        carrier = static_cast<nameval_entry *>(std::calloc(1, sizeof(nameval_entry)));
    }
    if (info == nullptr || (subcategory != nullptr && sub_copy == nullptr) ||
        (entry == nullptr && (fresh == nullptr || name_copy == nullptr)) ||
        (retire && carrier == nullptr)) {
        std::free(sub_copy);
        std::free(info);
        std::free(fresh);
        std::free(name_copy);
        std::free(carrier);
        release_recording(value, datatype);
        return -1;
    }

    if (carrier != nullptr) {
        carrier->value = entry->value;
        carrier->datatype = entry->datatype;
        carrier->info = entry->info;
        carrier->subcategory = entry->subcategory;
        carrier->list_next = retired_entries;
        retired_entries = carrier;
    } else if (entry != nullptr) {
        release_recording(entry->value, entry->datatype);
        if (entry->subcategory != nullptr) std::free(entry->subcategory);
        std::free(entry->info);
    } else {
        entry = fresh;
    }

    entry->category = category;
    entry->subcategory = sub_copy;
    entry->value = value;
    entry->datatype = datatype;
    info->category = category;
    info->subcategory = sub_copy;
    (void)melsys_clock_realtime(&info->timestamp);  // a failed read leaves zeros
    entry->info = info;

    if (fresh != nullptr) {
        entry->name = name_copy;
        entry->list_next = block->entry_list;
        block->entry_list = entry;
        entry->bucket_next = table[key.chain];
        table[key.chain] = entry;
        index_linked(entry, name, key);
    }

    if (*block->observer_head_slot != nullptr)
        dispatch_event(name, category, subcategory, value, datatype, info);
    return 0;
}

MEKAL_API int mekal_get_nameval(const char *name, mekal_datatype_t **datatype_out,
                                mekal_value_t **value_out,
                                mekal_category_t *category_out, const char **subcategory_out) {
    const nameval_entry *entry = lookup(name);
    if (entry == nullptr) return -1;
    if (datatype_out) *datatype_out = entry->datatype;
    if (value_out) *value_out = entry->value;
    if (category_out) *category_out = entry->category;
    if (subcategory_out) *subcategory_out = entry->subcategory;
    return 0;
}

MEKAL_API int mekal_get_nameval_with_info(const char *name,
                                          mekal_datatype_t **datatype_out,
                                          mekal_value_t **value_out,
                                          mekal_value_info_t **info_out) {
    const nameval_entry *entry = lookup(name);
    if (entry == nullptr) return -1;
    if (datatype_out) *datatype_out = entry->datatype;
    if (value_out) *value_out = entry->value;
    if (info_out) *info_out = entry->info;
    return 0;
}

MEKAL_API void mekal_list_namevals(int version, mekal_category_t category,
                                   mekal_nameval_cb_t cb, void *opaque) {
    (void)version;
    if (cb == nullptr) return;
    list_entries(category, [&](const nameval_entry *e) {
        cb(e->name, e->category, e->subcategory, e->value, e->datatype, opaque);
    });
}

MEKAL_API void mekal_list_namevals_with_info(int version, mekal_category_t category,
                                             mekal_nameval_info_cb_t cb, void *opaque) {
    (void)version;
    if (cb == nullptr) return;
    list_entries(category, [&](const nameval_entry *e) {
        cb(e->name, e->value, e->datatype, e->info, opaque);
    });
}

}  // extern "C"
