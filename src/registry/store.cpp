// The name/value store: one entry per name, chained newest first into the
// block's entry list and into one of 128 hash chains.
#include <cstdlib>
#include <cstring>

#include "registry/registry.h"
#include "types/types.h"

namespace mekal {
namespace {

char *copy_or_null(const char *text) { return text ? strdup(text) : nullptr; }

// The entry that this copy last recorded, by the caller's name pointer: a
// caller that records one name again and again (a literal, a buffer it
// keeps) skips the hash. It is only a hint, trusted once the entry is found
// again on the live chain by pointer (so a record freed by a clean through
// any copy is never read) and its name still equals the caller's text (a
// reused buffer falls back to the hash). Whichever table the memo came
// from, an entry found on the given table's chain belongs to that table.
struct name_memo {
    const char *name = nullptr;
    nameval_entry *entry = nullptr;
    unsigned index = 0;
};
name_memo memo;

// The entry of name and its chain, through the memo or by hashing. Lookups
// hash straight away: their names keep changing, so even the memo's
// check would cost more than it saves.
inline nameval_entry *locate(nameval_entry **table, const char *name, unsigned *index) {
    if (name == memo.name) {
        for (nameval_entry *e = table[memo.index]; e != nullptr; e = e->bucket_next) {
            if (e == memo.entry) {
                if (std::strcmp(e->name, name) != 0) break;
                *index = memo.index;
                return e;
            }
        }
    }
    *index = name_hash(name);
    return find_in_chain(table[*index], name);
}

}  // namespace

void release_entry(nameval_entry *entry) {
    release_recording(entry->value, entry->datatype);
    std::free(entry->name);
    std::free(entry->info);
    std::free(entry->subcategory);
    std::free(entry);
}

namespace {

inline const nameval_entry *lookup(const char *name) {
    if (name == nullptr) return nullptr;
    return find_entry(bucket_table(get_registry_block()), name);
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
    unsigned index;
    nameval_entry *entry = locate(table, name, &index);

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

    memo = name_memo{name, entry != nullptr ? entry : fresh, index};
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
        entry->bucket_next = table[index];
        table[index] = entry;
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
