// What the registry allocates and frees: replacing releases exactly what the
// old value owned, reads allocate nothing, and exhausted memory leaves the
// registry as it was.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "alloc_hooks.h"
#include "registry/registry.h"
#include "types/types.h"

using namespace mekal;

namespace {

mekal_value_t *int_slot(int v) {
    auto *slot = static_cast<mekal_value_t *>(std::malloc(sizeof(mekal_value_t)));
    slot->as_int = v;
    return slot;
}

mekal_value_t *text_slot(const char *text) {
    auto *slot = static_cast<mekal_value_t *>(std::malloc(sizeof(mekal_value_t)));
    slot->as_ptr = strdup(text);
    return slot;
}

// A copied set of two strings with its datatype, as the formatted entry
// would hand them over: 6 blocks in all.
void string_set(mekal_value_t **value, mekal_datatype_t **datatype) {
    auto *d = static_cast<mekal_datatype_t *>(std::calloc(1, sizeof(mekal_datatype_t)));
    d->type = mekal_type_set;
    d->numerical = 1;
    d->num_elements = 2;
    d->num_subtypes = 1;
    d->subtypes = static_cast<mekal_datatype_t **>(std::calloc(1, sizeof(void *)));
    d->subtypes[0] = mekal_get_basetype(mekal_type_string);
    auto *slots = static_cast<mekal_value_t *>(std::calloc(2, sizeof(mekal_value_t)));
    slots[0].as_ptr = strdup("a");
    slots[1].as_ptr = strdup("b");
    *value = static_cast<mekal_value_t *>(std::malloc(sizeof(mekal_value_t)));
    (*value)->as_ptr = slots;
    *datatype = d;
}

int count_entries() {
    int n = 0;
    mekal_list_namevals(0, 1, [](const char *, mekal_category_t, const char *, mekal_value_t *,
                                 mekal_datatype_t *, void *o) { ++*static_cast<int *>(o); },
                        &n);
    return n;
}

void noop_cb(const char *, mekal_category_t, const char *, mekal_value_t *,
             mekal_datatype_t *, void *opaque) {
    ++*static_cast<int *>(opaque);
}
void noop_info_cb(const char *, mekal_value_t *, mekal_datatype_t *,
                  mekal_value_info_t *, void *opaque) {
    ++*static_cast<int *>(opaque);
}

class RegistryMemory : public ::testing::Test {
protected:
    void TearDown() override {
        alloc_hooks::fail_nth(0);
        mekal_clean();
    }
};

TEST_F(RegistryMemory, NameHashIsDjb2LowSevenBits) {
    EXPECT_EQ(name_hash(""), 5u);
    EXPECT_EQ(name_hash("a"), (5381u * 33 + 'a') & 127);
    uint64_t h = 5381;
    for (const unsigned char c : std::string("\xff\x80launchdate")) h = h * 33 + c;
    EXPECT_EQ(name_hash("\xff\x80launchdate"), h & 127) << "bytes are taken unsigned";
    // Every length up to three words, at every start offset, against the
    // plain loop: the word loop, its tails and the lane weights.
    const std::string text = "abcdefghij\xfe\x01xyz\x80\xffsolver.iterations.042";
    for (size_t start = 0; start < 8; ++start) {
        for (size_t n = 0; start + n <= text.size(); ++n) {
            uint64_t ref = 5381;
            for (size_t i = start; i < start + n; ++i)
                ref = ref * 33 + static_cast<unsigned char>(text[i]);
            char buffer[64];  // the name at each alignment
            std::memcpy(buffer + start, text.data() + start, n);
            buffer[start + n] = 0;
            EXPECT_EQ(name_hash(buffer + start), ref & 127) << start << " " << n;
        }
    }
}

TEST_F(RegistryMemory, ReplacingReleasesExactlyWhatTheOldValueOwned) {
    ASSERT_EQ(mekal_raw_namevalue("n", 2, "sub", int_slot(1), mekal_get_basetype(mekal_type_int)), 0);
    {
        // Old slot, subcategory copy and info record go; new info record and
        // subcategory copy come. The static datatype is never freed.
        mekal_value_t *slot = int_slot(2);
        alloc_hooks::Scope scope;
        ASSERT_EQ(mekal_raw_namevalue("n", 2, "sub2", slot, mekal_get_basetype(mekal_type_int)), 0);
        EXPECT_EQ(scope.allocations(), 2);
        EXPECT_EQ(scope.frees(), 3);
    }
    {
        mekal_value_t *slot = text_slot("text");
        alloc_hooks::Scope scope;
        ASSERT_EQ(mekal_raw_namevalue("n", 2, nullptr, slot, mekal_get_basetype(mekal_type_string)), 0);
        EXPECT_EQ(scope.allocations(), 1) << "no subcategory copy";
        EXPECT_EQ(scope.frees(), 3);
    }
    {
        mekal_value_t *value;
        mekal_datatype_t *datatype;
        string_set(&value, &datatype);
        alloc_hooks::Scope scope;
        ASSERT_EQ(mekal_raw_namevalue("n", 2, nullptr, value, datatype), 0);
        EXPECT_EQ(scope.frees(), 3) << "old text, its slot and the old info record";
    }
    {
        alloc_hooks::Scope scope;
        ASSERT_EQ(mekal_raw_namevalue("n", 2, nullptr, int_slot(3), mekal_get_basetype(mekal_type_int)), 0);
        // slot array + 2 texts + slot + set record + subtype array + info
        EXPECT_EQ(scope.frees(), 7);
    }
    {
        // A new name: entry, name copy, info record, subcategory copy.
        mekal_value_t *slot = int_slot(4);
        alloc_hooks::Scope scope;
        ASSERT_EQ(mekal_raw_namevalue("m", 2, "s", slot, mekal_get_basetype(mekal_type_int)), 0);
        EXPECT_EQ(scope.allocations(), 4);
        EXPECT_EQ(scope.frees(), 0);
    }
    {
        // Clean releases entry, name, info, subcategory and slot of each.
        alloc_hooks::Scope scope;
        mekal_clean();
        EXPECT_EQ(scope.frees(), 4 + 5);
        EXPECT_EQ(scope.allocations(), 0);
    }
}

TEST_F(RegistryMemory, ReadsAndDispatchAllocateNothing) {
    int calls = 0;
    for (int i = 0; i < 4; ++i) {
        mekal_register_cb(1, 1, noop_cb, 0, &calls);
        mekal_register_cb_with_info(1, 1, noop_info_cb, 0, &calls);
    }
    ASSERT_EQ(mekal_raw_namevalue("x", 2, "s", int_slot(1), mekal_get_basetype(mekal_type_int)), 0);
    alloc_hooks::Scope scope;
    mekal_value_t *value = nullptr;
    mekal_value_info_t *info = nullptr;
    EXPECT_EQ(mekal_get_nameval("x", nullptr, &value, nullptr, nullptr), 0);
    EXPECT_EQ(mekal_get_nameval_with_info("x", nullptr, nullptr, &info), 0);
    EXPECT_EQ(mekal_get_nameval("missing", nullptr, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(count_entries(), 1);
    mekal_flush("somewhere");  // a control event through eight observers
    EXPECT_EQ(scope.allocations(), 0);
    EXPECT_EQ(scope.frees(), 0);
    EXPECT_EQ(calls, 16);

    // A stored recording through eight observers costs what it costs without.
    mekal_value_t *slot = int_slot(2);
    alloc_hooks::Scope replace;
    ASSERT_EQ(mekal_raw_namevalue("x", 2, "s", slot, mekal_get_basetype(mekal_type_int)), 0);
    EXPECT_EQ(replace.allocations(), 2);
    EXPECT_EQ(calls, 24);
    // The clean event reaches the observers: calls must still be alive.
    mekal_clean();
}

TEST_F(RegistryMemory, ExhaustedMemoryLeavesTheRegistryConsistent) {
    ASSERT_EQ(mekal_raw_namevalue("kept", 2, "old", int_slot(7), mekal_get_basetype(mekal_type_int)), 0);
    int observed = 0;
    mekal_register_cb(1, 1, noop_cb, 0, &observed);

    int cases = 0;
    // A new name needs four blocks; a replacement two. Fail each in turn.
    for (const char *name : {"fresh", "kept"}) {
        for (long n = 1;; ++n) {
            mekal_value_t *value;
            mekal_datatype_t *datatype;
            string_set(&value, &datatype);
            const int entries_before = count_entries();
            const int observed_before = observed;
            alloc_hooks::Scope scope;
            alloc_hooks::fail_nth(n);
            const int rc = mekal_raw_namevalue(name, 2, "newsub", value, datatype);
            const bool injected = alloc_hooks::counts().failed > 0;
            alloc_hooks::fail_nth(0);
            if (rc == 0) {
                EXPECT_FALSE(injected) << "a failed allocation was reported as success";
                break;
            }
            ++cases;
            EXPECT_EQ(rc, -1);
            // Everything handed over was released, nothing new is held.
            EXPECT_EQ(scope.frees(), scope.allocations() + 6) << name << " n=" << n;
            EXPECT_EQ(count_entries(), entries_before);
            EXPECT_EQ(observed, observed_before) << "a refused recording is not dispatched";
            mekal_value_t *stored = nullptr;
            const char *sub = nullptr;
            if (std::strcmp(name, "kept") == 0) {
                ASSERT_EQ(mekal_get_nameval("kept", nullptr, &stored, nullptr, &sub), 0);
                EXPECT_EQ(stored->as_int, 7) << "the old value is intact";
                EXPECT_STREQ(sub, "old");
            } else {
                EXPECT_EQ(mekal_get_nameval("fresh", nullptr, nullptr, nullptr, nullptr), -1);
            }
            alloc_hooks::reset();
            ASSERT_LT(n, 10);
        }
    }
    EXPECT_EQ(cases, 4 + 2);
    EXPECT_EQ(count_entries(), 2);

    // Inside a delivery a replacement also needs the carrier that keeps the
    // old blocks until the delivery ends: three blocks to fail in turn.
    int delivery_cases = 0;
    mekal_list_namevals(0, 1, [](const char *name, mekal_category_t, const char *,
                                 mekal_value_t *value, mekal_datatype_t *, void *o) {
        if (std::strcmp(name, "kept") != 0) return;
        for (long n = 1; n < 10; ++n) {
            mekal_value_t *slot = int_slot(8);
            alloc_hooks::fail_nth(n);
            const int rc = mekal_raw_namevalue("kept", 2, "newsub", slot,
                                               mekal_get_basetype(mekal_type_int));
            alloc_hooks::fail_nth(0);
            mekal_value_t *stored = nullptr;
            ASSERT_EQ(mekal_get_nameval("kept", nullptr, &stored, nullptr, nullptr), 0);
            if (rc == 0) {
                EXPECT_EQ(stored->as_int, 8);
                return;
            }
            ++*static_cast<int *>(o);
            EXPECT_EQ(stored, value) << "the old value is intact, n=" << n;
        }
    }, &delivery_cases);
    EXPECT_EQ(delivery_cases, 3);

    // Registration without memory links nothing.
    int calls = 0;
    alloc_hooks::fail_nth(1);
    mekal_register_cb(1, 1, noop_cb, 0, &calls);
    alloc_hooks::fail_nth(0);
    ASSERT_EQ(mekal_raw_namevalue("after", 2, nullptr, int_slot(1), mekal_get_basetype(mekal_type_int)), 0);
    EXPECT_EQ(calls, 0);
    // The clean event reaches the observers: their counters must still be alive.
    mekal_clean();
}

}  // namespace
