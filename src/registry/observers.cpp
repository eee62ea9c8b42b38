// Observers: callbacks that see every recording as it happens, newest
// observer first, on the recording thread.
#include <cstdlib>

#include "registry/registry.h"

namespace mekal {

int delivery_depth = 0;
nameval_entry *retired_entries = nullptr;

void release_retired() {
    // Detach first: nothing below calls back in, but the list must never
    // be seen half released.
    nameval_entry *e = retired_entries;
    retired_entries = nullptr;
    while (e != nullptr) {
        nameval_entry *next = e->list_next;
        release_entry(e);
        e = next;
    }
}

namespace {

void register_observer(int version, mekal_category_t category, mekal_nameval_cb_t cb,
                       mekal_nameval_info_cb_t info_cb, int report_all, void *opaque) {
    registry_block *block = get_registry_block();
    auto *obs = static_cast<observer *>(std::calloc(1, sizeof(observer)));
    // No result to report through: without memory nothing is linked, and the
    // list stays as it was.
    if (obs == nullptr) return;
    obs->version = version;
    obs->opaque = opaque;
    obs->report_all = report_all;
    obs->nameval_cb = cb;
    obs->nameval_info_cb = info_cb;
    obs->category = category;

    observer **slot = block->observer_head_slot;
    obs->next = *slot;
    if (*slot != nullptr) (*slot)->prev = obs;
    *slot = obs;
    if (report_all != 0 && block->any_report_all == 0) block->any_report_all = 1;
}

// Disables every observer of the process whose callback (as picked by
// slot) and opaque pointer match: the record stays in the list, which only
// grows until mekal_clean, and every copy's dispatch skips a null callback.
template <typename Callback>
int disable_observers(Callback observer::*slot, Callback cb, void *opaque) {
    if (cb == nullptr) return -1;
    registry_block *block = get_registry_block();
    int disabled = 0;
    for (observer *obs = *block->observer_head_slot; obs != nullptr; obs = obs->next) {
        if (obs->*slot == cb && obs->opaque == opaque) {
            obs->*slot = nullptr;
            ++disabled;
        }
    }
    return disabled;
}

}  // namespace

void dispatch_event(const char *name, mekal_category_t category, const char *subcategory,
                    mekal_value_t *value, mekal_datatype_t *datatype,
                    mekal_value_info_t *info) {
    registry_block *block = get_registry_block();
    if (*block->observer_head_slot == nullptr) return;
    const delivery_scope scope;
    // Control events have no stored info record; the first info callback gets
    // one on this stack, and every later one of the same event shares it.
    mekal_value_info_t temporary;
    bool temporary_ready = false;
    const int32_t generation = block->reserved;
    for (observer *obs = *block->observer_head_slot; obs != nullptr;) {
        observer *current = obs;
        if ((current->report_all != 0 || block->is_reporter != 0) &&
            (current->category == mekal_category_all || current->category == category)) {
            if (current->nameval_cb != nullptr) {
                current->nameval_cb(name, category, subcategory, value, datatype,
                                    current->opaque);
            } else if (current->nameval_info_cb != nullptr) {
                mekal_value_info_t *record = info;
                if (record == nullptr) {
                    if (!temporary_ready) {
                        temporary = mekal_value_info_t{};
                        temporary.category = category;
                        temporary.subcategory = subcategory;
                        (void)melsys_clock_realtime(&temporary.timestamp);
                        temporary_ready = true;
                    }
                    record = &temporary;
                }
                current->nameval_info_cb(name, value, datatype, record, current->opaque);
            }
        }
        // A callback that cleaned the registry has released this observer
        // and the rest of the list: stop rather than walk freed records.
        if (block->reserved != generation) break;
        // Read after the callback: observers registered inside it go in
        // front of the walk, not into it.
        obs = current->next;
    }
}

}  // namespace mekal

extern "C" {

MEKAL_API void mekal_register_cb(int version, mekal_category_t category,
                                 mekal_nameval_cb_t cb, int report_all, void *opaque) {
    mekal::register_observer(version, category, cb, nullptr, report_all, opaque);
}

MEKAL_API void mekal_register_cb_with_info(int version, mekal_category_t category,
                                           mekal_nameval_info_cb_t cb, int report_all,
                                           void *opaque) {
    mekal::register_observer(version, category, nullptr, cb, report_all, opaque);
}

MEKAL_API int mekal_unregister_cb(mekal_nameval_cb_t cb, void *opaque) {
    return mekal::disable_observers(&observer::nameval_cb, cb, opaque);
}

MEKAL_API int mekal_unregister_cb_with_info(mekal_nameval_info_cb_t cb, void *opaque) {
    return mekal::disable_observers(&observer::nameval_info_cb, cb, opaque);
}

}  // extern "C"
