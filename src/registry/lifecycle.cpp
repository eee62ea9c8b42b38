// Lifecycle: the reporting mark, the timing requests, the end-of-run report
// and the tear-down, announced to observers as control events.
#include <cstdlib>

#include "registry/registry.h"
#include "types/types.h"

namespace mekal {
namespace {

// Per-copy flags: a request made through one copy is that copy's alone.
bool init_done = false;
bool want_cputime = false;
bool want_systime = false;
bool want_walltime = false;

void send_control(const char *name, mekal_value_t value, mekal_type_t type) {
    // Nothing is stored for a control event, so the slot may live here.
    (void)mekal_raw_namevalue(name, mekal_category_control, nullptr, &value,
                              mekal_get_basetype(type));
}

void record_timing(const char *name, struct timeval *interval) {
    (void)mekal_namevalue(name, mekal_category_performance, "timing", "%t", interval);
}

}  // namespace

struct timeval wall_difference(const struct timeval &start, const struct timeval &now) {
    int64_t seconds = static_cast<int64_t>(now.tv_sec) - start.tv_sec;
    int64_t micros = now.tv_usec;
    if (now.tv_usec < start.tv_usec) {
        micros += 1000000;
        seconds -= 1;
    }
    micros -= start.tv_usec;
    struct timeval out {};
    out.tv_sec = seconds;
    out.tv_usec = micros;
    return out;
}

}  // namespace mekal

using namespace mekal;

extern "C" {

MEKAL_API void mekal_init(void) {
    if (init_done) return;
    init_done = true;
    registry_block *block = get_registry_block();
    block->is_reporter = 1;
    block->reserved2 = 0;
}

MEKAL_API int mekal_walltime(void) {
    want_walltime = true;
    return 0;
}

MEKAL_API int mekal_systime(void) {
    want_systime = true;
    return 0;
}

MEKAL_API int mekal_cputime(void) {
    want_cputime = true;
    return 0;
}

MEKAL_API void mekal_fini(void) {
    if (want_cputime) {
        struct timeval user {};
        if (melsys_get_times(nullptr, &user) != -1) record_timing("cputime", &user);
    }
    if (want_systime) {
        struct timeval sys {};
        if (melsys_get_times(&sys, nullptr) != -1) record_timing("systime", &sys);
    }
    if (want_walltime) {
        struct timeval start {}, now {};
        if (melsys_starttime(&start) != -1 && melsys_curtime(&now) != -1) {
            struct timeval wall = wall_difference(start, now);
            record_timing("walltime", &wall);
        }
    }
    mekal_value_t value{};
    value.as_int = 0;
    send_control("fini", value, mekal_type_int);
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
