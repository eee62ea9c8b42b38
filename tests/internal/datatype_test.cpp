// The datatype model: scale and base tables, packed sizes, and what the
// release operations free (counted through the allocation hooks).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "alloc_hooks.h"
#include "types/types.h"

using namespace mekal;

namespace {

// A heap container record as the parser would make it.
mekal_datatype_t *container(int32_t code, int32_t count, std::initializer_list<mekal_datatype_t *> members,
                            bool reference = false) {
    auto *d = static_cast<mekal_datatype_t *>(std::calloc(1, sizeof(mekal_datatype_t)));
    d->type = code;
    d->numerical = mekal_numerical_categorical;
    d->is_reference = reference ? 1 : 0;
    (reference ? d->num_ref_elements : d->num_elements) = count;
    d->num_subtypes = static_cast<int32_t>(members.size());
    d->subtypes = static_cast<mekal_datatype_t **>(std::calloc(members.size(), sizeof(void *)));
    int i = 0;
    for (auto *m : members) d->subtypes[i++] = m;
    return d;
}

TEST(DatatypeTables, ScalesAndBaseRecords) {
    const int32_t expected_scale[19] = {0, 4, 4, 4, 4, 4, 3, 3, 2, 2, 1, 1, 1, 1, 1, 1, 4, 4, 1};
    for (int code = 0; code <= 18; ++code)
        EXPECT_EQ(mekal_numerical_from_type(code), expected_scale[code]) << code;
    EXPECT_EQ(mekal_numerical_from_type(19), 0);
    EXPECT_EQ(mekal_numerical_from_type(-1), 0);

    for (int code = 1; code <= 18; ++code) {
        mekal_datatype_t *d = mekal_get_basetype(code);
        if (code >= 12 && code <= 15) {
            EXPECT_EQ(d, nullptr) << code;
            continue;
        }
        ASSERT_NE(d, nullptr) << code;
        EXPECT_EQ(d->type, code);
        EXPECT_EQ(d->numerical, expected_scale[code]);
        EXPECT_EQ(d->is_reference, 0);
        EXPECT_EQ(d->num_subtypes, 0);
        EXPECT_EQ(d->subtypes, nullptr);
        EXPECT_EQ(d->base_size, (code == 3 || code == 4) ? 4u : 8u);
        EXPECT_EQ(d, mekal_get_basetype(code)) << "the same shared record every time";
    }
    EXPECT_EQ(mekal_get_basetype(0), nullptr);
    EXPECT_EQ(mekal_get_basetype(19), nullptr);
    EXPECT_EQ(mekal_get_basetype(-5), nullptr);

    // Width variants and reference twins differ only where they should.
    EXPECT_EQ(base_record(kUnsigned8)->base_size, 1u);
    EXPECT_EQ(base_record(kInt16)->type, mekal_type_int);
    EXPECT_EQ(base_record(kFloat)->base_size, 4u);
    for (int r = kVersionRef; r <= kPathRef; ++r) {
        mekal_datatype_t twin = *base_record(r - 10);
        EXPECT_EQ(base_record(r)->is_reference, 1);
        twin.is_reference = 1;
        EXPECT_EQ(std::memcmp(&twin, base_record(r), sizeof twin), 0) << r;
    }
    EXPECT_EQ(int_by_width(0), base_record(kInt));
    EXPECT_EQ(int_by_width(1), base_record(kInt8));
    EXPECT_EQ(int_by_width(2), base_record(kInt16));
    EXPECT_EQ(int_by_width(4), base_record(kInt));
    EXPECT_EQ(int_by_width(8), base_record(kLongLong));
}

TEST(DatatypeSize, PackedSizesWithoutPadding) {
    mekal_datatype_t *i32 = mekal_get_basetype(mekal_type_int);
    mekal_datatype_t *str = mekal_get_basetype(mekal_type_string);
    mekal_datatype_t *unset = static_cast<mekal_datatype_t *>(std::calloc(1, sizeof(mekal_datatype_t)));

    mekal_datatype_t *set5 = container(mekal_type_set, 5, {i32});
    mekal_datatype_t *list3 = container(mekal_type_list, 3, {container(mekal_type_tuple, 2, {i32, str})});
    mekal_datatype_t *range = container(mekal_type_range, 2, {base_record(kFloat)});
    mekal_datatype_t *nested = container(mekal_type_set, 2,
                                         {container(mekal_type_list, 3, {base_record(kUnsigned16)})});
    mekal_datatype_t *tuple13 = container(mekal_type_tuple, 3, {base_record(kInt8), i32,
                                                                 mekal_get_basetype(mekal_type_double)});
    mekal_datatype_t *bad_set = container(mekal_type_set, 4, {unset});
    mekal_datatype_t *empty_set = container(mekal_type_set, 0, {unset});
    mekal_datatype_t *ref_set = container(mekal_type_set, 6, {i32}, true);

    EXPECT_EQ(datatype_size(set5), 20);
    EXPECT_EQ(datatype_size(list3), 36);
    EXPECT_EQ(datatype_size(range), 8);
    EXPECT_EQ(datatype_size(nested), 12);
    EXPECT_EQ(datatype_size(tuple13), 13);
    EXPECT_EQ(datatype_size(unset), -1);
    EXPECT_EQ(datatype_size(bad_set), -4);
    EXPECT_EQ(datatype_size(empty_set), 0);
    EXPECT_EQ(datatype_size(ref_set), 24);
    // A member without a size leaves the whole tuple without one, however
    // the other members' sizes would sum.
    mekal_datatype_t *tuple_unset = container(mekal_type_tuple, 2, {base_record(kInt8), unset});
    mekal_datatype_t *tuple_null = container(mekal_type_tuple, 2, {mekal_get_basetype(mekal_type_int), nullptr});
    EXPECT_LT(datatype_size(tuple_unset), 0);
    EXPECT_LT(datatype_size(tuple_null), 0);
    tuple_unset->subtypes[1] = nullptr;  // the unset record is freed below
    release_datatype(tuple_unset);
    release_datatype(tuple_null);

    for (auto *d : {set5, list3, range, nested, tuple13, bad_set, empty_set, ref_set})
        release_datatype(d);
    std::free(unset);
}

TEST(DatatypeRelease, FreesExactlyWhatTheTreeOwns) {
    {
        alloc_hooks::Scope scope;
        release_datatype(nullptr);
        release_datatype(mekal_get_basetype(mekal_type_int));
        release_datatype(base_record(kStringRef));
        EXPECT_EQ(scope.frees(), 0);
    }
    mekal_datatype_t *tree = container(mekal_type_set, 4,
        {container(mekal_type_tuple, 2, {mekal_get_basetype(mekal_type_int),
                                         mekal_get_basetype(mekal_type_string)})});
    {
        alloc_hooks::Scope scope;
        release_datatype(tree);
        EXPECT_EQ(scope.frees(), 4) << "two records and two subtype arrays";
    }
    // The static records survived: still readable and unchanged.
    EXPECT_EQ(mekal_get_basetype(mekal_type_string)->type, mekal_type_string);
}

TEST(ValueRelease, CopiedPartsOnlyAndNeverTheReferenced) {
    mekal_datatype_t *set3 = container(mekal_type_set, 3, {mekal_get_basetype(mekal_type_string)});
    auto make_value = [] {
        auto *slots = static_cast<mekal_value_t *>(std::calloc(3, sizeof(mekal_value_t)));
        for (int i = 0; i < 3; ++i) slots[i].as_ptr = strdup("text");
        mekal_value_t v{};
        v.as_ptr = slots;
        return v;
    };
    mekal_value_t copied = make_value();
    {
        alloc_hooks::Scope scope;
        release_value(set3, &copied);
        EXPECT_EQ(scope.frees(), 4) << "three texts and the slot array";
    }
    mekal_value_t referenced = make_value();
    set3->is_reference = 1;
    {
        alloc_hooks::Scope scope;
        release_value(set3, &referenced);
        EXPECT_EQ(scope.frees(), 0);
    }
    set3->is_reference = 0;
    release_value(set3, &referenced);  // now as copied, to not leak
    release_datatype(set3);

    // A copied tuple holding a reference text and a copied text frees only
    // its own text and the array.
    mekal_datatype_t *tuple = container(mekal_type_tuple, 2,
        {base_record(kStringRef), mekal_get_basetype(mekal_type_string)});
    static char caller_text[] = "caller's";
    auto *slots = static_cast<mekal_value_t *>(std::calloc(2, sizeof(mekal_value_t)));
    slots[0].as_ptr = caller_text;
    slots[1].as_ptr = strdup("owned");
    mekal_value_t value{};
    value.as_ptr = slots;
    {
        alloc_hooks::Scope scope;
        release_value(tuple, &value);
        EXPECT_EQ(scope.frees(), 2);
    }
    release_datatype(tuple);

    // An empty copied set still frees its (empty) array.
    mekal_datatype_t *empty = container(mekal_type_list, 0, {mekal_get_basetype(mekal_type_int)});
    mekal_value_t none{};
    none.as_ptr = std::malloc(1);
    {
        alloc_hooks::Scope scope;
        release_value(empty, &none);
        EXPECT_EQ(scope.frees(), 1);
    }
    release_datatype(empty);

    // Scalars own nothing; a timeval copy is freed.
    mekal_value_t number{};
    number.as_long = 5;
    mekal_value_t tv{};
    tv.as_ptr = std::calloc(1, 16);
    alloc_hooks::Scope scope;
    release_value(mekal_get_basetype(mekal_type_long), &number);
    release_value(mekal_get_basetype(mekal_type_timeval), &tv);
    EXPECT_EQ(scope.frees(), 1);
}

}  // namespace
