// The registry block shared by every copy of the library in the process.
// The dynamic linker's answer comes through the probe
// melsys_get_public_mekal_symbol (sys/libraries.cpp).
#include "registry/registry.h"

// Initialised data: ready the moment the copy is loaded, no code runs
// (constinit makes the compiler hold to that).
extern "C" {
MEKAL_API constinit registry_block mekal_public = {
    /*version=*/1, /*reserved=*/1, /*any_report_all=*/0, /*is_reporter=*/1,
    /*observer_head_slot=*/nullptr, /*reserved2=*/0, /*gap_=*/0,
    /*entry_list=*/nullptr, /*buckets=*/{},
};
}

namespace mekal {

registry_block *cached_block = nullptr;

namespace {

// Per-copy state, never shared.
nameval_entry *local_buckets[kBucketCount] = {};
observer *local_observer_head = nullptr;
// Clean count (the block's `reserved`) at which local_buckets were last
// known to match the shared entry list; see local_bucket_table.
int32_t local_generation = 0;
bool local_generation_known = false;

}  // namespace

registry_block *resolve_registry_block() {
    registry_block *block = melsys_get_public_mekal_symbol();
    // This reference to mekal_public is bound by the dynamic linker, so it
    // may designate another copy's block.
    if (block == nullptr) block = &mekal_public;
    cached_block = block;
    // Copies built to this layout know versions 1 and 0 or less; every one
    // of them takes a later version as 1, and writes it so that all agree.
    if (block->version >= 2) block->version = 1;
    if (block->observer_head_slot == nullptr) block->observer_head_slot = &local_observer_head;
    return block;
}

nameval_entry **local_bucket_table(registry_block *block) {
    // With per-copy chains, a clean through another copy frees entries that
    // this copy's chains still point at. mekal_clean bumps the block's clean
    // counter (its `reserved` word) so every copy drops its stale chains.
    if (!local_generation_known || local_generation != block->reserved) {
        for (auto &head : local_buckets) head = nullptr;
        local_generation = block->reserved;
        local_generation_known = true;
    }
    return local_buckets;
}

}  // namespace mekal
