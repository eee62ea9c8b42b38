// The name/value store: one entry per name, chained newest first into the
// block's entry list and into one of 128 hash chains.
#include <cstdlib>
#include <cstring>

#include "registry/registry.h"
#include "types/types.h"

namespace mekal {
namespace {

char *copy_or_null(const char *text) { return text ? strdup(text) : nullptr; }

}  // namespace

__attribute__((always_inline)) inline unsigned name_hash_inline(const char *name) {
    // djb2, four bytes per step: h*33^4 + c0*33^3 + c1*33^2 + c2*33 + c3 is the
    // same sum, with one multiply on the dependency chain instead of four.
    uint64_t h = 5381;
    auto *p = reinterpret_cast<const unsigned char *>(name);
    for (;;) {
        const uint64_t c0 = p[0];
        if (c0 == 0) break;
        const uint64_t c1 = p[1];
        if (c1 == 0) { h = h * 33 + c0; break; }
        const uint64_t c2 = p[2];
        if (c2 == 0) { h = h * 1089 + c0 * 33 + c1; break; }
        const uint64_t c3 = p[3];
        if (c3 == 0) { h = h * 35937 + c0 * 1089 + c1 * 33 + c2; break; }
        h = h * 1185921 + c0 * 35937 + c1 * 1089 + c2 * 33 + c3;
        p += 4;
    }
    return static_cast<unsigned>(h & (kBucketCount - 1));
}

unsigned name_hash(const char *name) { return name_hash_inline(name); }

nameval_entry *find_entry(nameval_entry **table, const char *name) {
    for (nameval_entry *e = table[name_hash_inline(name)]; e != nullptr; e = e->bucket_next)
        if (e->name[0] == name[0] && std::strcmp(e->name, name) == 0) return e;
    return nullptr;
}

void release_entry(nameval_entry *entry) {
    release_recording(entry->value, entry->datatype);
    std::free(entry->name);
    std::free(entry->info);
    std::free(entry->subcategory);
    std::free(entry);
}

namespace {

const nameval_entry *lookup(const char *name) {
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
    nameval_entry *entry = find_entry(table, name);

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
        const unsigned index = name_hash(name);
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
