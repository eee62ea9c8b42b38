// Lifecycle: the reporting mark, the flush and the tear-down, announced to
// observers as control events. The timings and the end-of-run report
// (mekal_fini) are recorded with the other facts, in collect/timings.cpp.
#include <cstdlib>

#include "registry/registry.h"
#include "types/types.h"

namespace mekal {
namespace {

// Per-copy flag: a copy marks the process as reporting once.
bool init_done = false;

void send_control(const char *name, mekal_value_t value, mekal_type_t type) {
    // Nothing is stored for a control event, so the slot may live here.
    (void)mekal_raw_namevalue(name, mekal_category_control, nullptr, &value,
                              mekal_get_basetype(type));
}

}  // namespace
}  // namespace mekal

using namespace mekal;

extern "C" {

MEKAL_API void mekal_init(void) {
    if (init_done) return;
    init_done = true;
    registry_block *block = get_registry_block();
    block->is_reporter = 1;
    // Nothing here reads reserved2; every copy built to the shared layout
    // zeroes it here, and so does this one.
    block->reserved2 = 0;
}

MEKAL_API int mekal_flush(const char *location) {
    mekal_value_t value{};
    value.as_ptr = const_cast<char *>(location);
    send_control("flush", value, mekal_type_path);
    return 0;
}

MEKAL_API int mekal_clean(void) {
    registry_block *block = get_registry_block();
    mekal_value_t value{};
    value.as_int = 0;
    // Observers see "clean" while every entry and observer is still there.
    send_control("clean", value, mekal_type_int);

    for (nameval_entry *e = block->entry_list; e != nullptr;) {
        nameval_entry *next = e->list_next;
        if (delivery_depth != 0) {
            // Cleaned from inside a callback: the delivery in progress may
            // still hand these out. Retired whole, no memory needed.
            e->list_next = retired_entries;
            retired_entries = e;
        } else {
            release_entry(e);
        }
        e = next;
    }
    nameval_entry **table = bucket_table(block);
    for (int i = 0; i < kBucketCount; ++i) table[i] = nullptr;
    block->entry_list = nullptr;

    if (block->observer_head_slot != nullptr) {
        for (observer *obs = *block->observer_head_slot; obs != nullptr;) {
            observer *next = obs->next;
            std::free(obs);
            obs = next;
        }
        *block->observer_head_slot = nullptr;
    }
    // Tell every copy (and any walk in progress) that the records are gone:
    // copies holding their own chains drop them at their next operation.
    block->reserved = static_cast<int32_t>(static_cast<uint32_t>(block->reserved) + 1u);
    drop_name_index();
    return 0;
}

}  // extern "C"
