// Hand-made container records that lack their subtype array, or hold null
// members, reach the library through mekal_raw_namevalue and
// mekal_get_subval. Sizing, releasing and element access must treat the
// missing parts as absent: no size, nothing read past the array, a failure
// result instead of a crash.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <utility>

#include "alloc_hooks.h"
#include "types/types.h"

using namespace mekal;

namespace {

// A container record; with no members the subtype array stays null.
mekal_datatype_t *container(int32_t code, int32_t count, std::initializer_list<mekal_datatype_t *> members,
                            bool reference = false) {
    auto *d = static_cast<mekal_datatype_t *>(std::calloc(1, sizeof(mekal_datatype_t)));
    d->type = code;
    d->numerical = mekal_numerical_categorical;
    d->is_reference = reference ? 1 : 0;
    (reference ? d->num_ref_elements : d->num_elements) = count;
    if (members.size() != 0) {
        // Exactly as many entries as members: a read past them is out of bounds.
        d->num_subtypes = static_cast<int32_t>(members.size());
        d->subtypes = static_cast<mekal_datatype_t **>(std::calloc(members.size(), sizeof(void *)));
        int i = 0;
        for (auto *m : members) d->subtypes[i++] = m;
    }
    return d;
}

// A record that claims member descriptions but has no array for them.
mekal_datatype_t *claiming(int32_t code, int32_t count, int32_t claimed) {
    mekal_datatype_t *d = container(code, count, {});
    d->num_subtypes = claimed;
    return d;
}

mekal_value_t slots_value(int count) {
    mekal_value_t v{};
    v.as_ptr = std::calloc(static_cast<size_t>(count), sizeof(mekal_value_t));
    return v;
}

TEST(ContainersWithoutSubtypes, HaveNoPackedSize) {
    mekal_datatype_t *bare_set = container(mekal_type_set, 3, {});
    mekal_datatype_t *null_member_list = container(mekal_type_list, 2, {nullptr});
    mekal_datatype_t *outer = container(mekal_type_set, 2, {container(mekal_type_list, 4, {})});

    EXPECT_LT(datatype_size(bare_set), 0);
    EXPECT_LT(datatype_size(null_member_list), 0);
    EXPECT_LT(datatype_size(outer), 0) << "an unsized inner container leaves the outer unsized";
    mekal_datatype_t *claimed = claiming(mekal_type_list, 2, 1);
    EXPECT_LT(datatype_size(claimed), 0);

    for (auto *d : {bare_set, null_member_list, outer, claimed}) release_datatype(d);
}

TEST(ContainersWithoutSubtypes, ReleaseFreesTheSlotArrayAndOnlyDescribedElements) {
    // No subtype array: the element types are unknown, only the array goes.
    mekal_datatype_t *bare_set = container(mekal_type_set, 2, {});
    mekal_value_t bare = slots_value(2);
    {
        alloc_hooks::Scope scope;
        release_value(bare_set, &bare);
        EXPECT_EQ(scope.frees(), 1);
    }

    // The same when the record claims members it has no array for.
    mekal_datatype_t *claimed = claiming(mekal_type_tuple, 2, 2);
    mekal_value_t claimed_slots = slots_value(2);
    {
        alloc_hooks::Scope scope;
        release_value(claimed, &claimed_slots);
        EXPECT_EQ(scope.frees(), 1);
    }

    // A copied tuple of three elements described by one subtype: the first
    // element's text and the array go, and subtypes[1], subtypes[2] (past
    // the one-entry array) are never read.
    mekal_datatype_t *short_tuple = container(mekal_type_tuple, 3, {mekal_get_basetype(mekal_type_string)});
    mekal_value_t tuple = slots_value(3);
    static_cast<mekal_value_t *>(tuple.as_ptr)[0].as_ptr = strdup("owned");
    {
        alloc_hooks::Scope scope;
        release_value(short_tuple, &tuple);
        EXPECT_EQ(scope.frees(), 2);
    }

    alloc_hooks::Scope scope;
    release_datatype(bare_set);
    release_datatype(claimed);
    release_datatype(short_tuple);
    EXPECT_EQ(scope.frees(), 1 + 1 + 2) << "the bare records alone; the tuple with its array";
}

TEST(ContainersWithoutSubtypes, ElementAccessFailsAndClearsTheOutputs) {
    mekal_datatype_t *subtype = mekal_get_basetype(mekal_type_int);
    mekal_value_t sub{};

    // A copied set with stored slots but no subtype array.
    mekal_datatype_t *bare_set = container(mekal_type_set, 2, {});
    mekal_value_t slots = slots_value(2);
    sub.as_long = 77;
    EXPECT_EQ(mekal_get_subval(bare_set, &slots, 1, &subtype, &sub), -1);
    EXPECT_EQ(subtype, nullptr);
    EXPECT_EQ(sub.as_long, 0);

    // Copied and referenced sets that claim a member but have no array.
    for (const bool reference : {false, true}) {
        mekal_datatype_t *claimed = claiming(mekal_type_set, 2, 1);
        if (reference) {
            claimed->is_reference = 1;
            std::swap(claimed->num_elements, claimed->num_ref_elements);
        }
        subtype = mekal_get_basetype(mekal_type_int);
        sub.as_long = 77;
        EXPECT_EQ(mekal_get_subval(claimed, &slots, 0, &subtype, &sub), -1) << reference;
        EXPECT_EQ(subtype, nullptr);
        EXPECT_EQ(sub.as_long, 0);
        release_datatype(claimed);
    }

    // A referenced tuple whose member before the wanted one is null: the
    // wanted member's offset cannot be known.
    int64_t packed[3] = {1, 2, 3};
    mekal_value_t ref{};
    ref.as_ptr = packed;
    mekal_datatype_t *gap_tuple =
        container(mekal_type_tuple, 3,
                  {mekal_get_basetype(mekal_type_long), nullptr, mekal_get_basetype(mekal_type_long)}, true);
    subtype = mekal_get_basetype(mekal_type_int);
    sub.as_long = 77;
    EXPECT_EQ(mekal_get_subval(gap_tuple, &ref, 2, &subtype, &sub), -1);
    EXPECT_EQ(subtype, nullptr);
    EXPECT_EQ(sub.as_long, 0);
    // The member before the gap still reads.
    EXPECT_EQ(mekal_get_subval(gap_tuple, &ref, 0, &subtype, &sub), 0);
    EXPECT_EQ(subtype, mekal_get_basetype(mekal_type_long));
    EXPECT_EQ(sub.as_long, 1);

    release_value(bare_set, &slots);
    release_datatype(bare_set);
    release_datatype(gap_tuple);
}

}  // namespace
