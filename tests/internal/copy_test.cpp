// Copy-in of packed caller values and element access on copied and
// referenced containers, with datatypes built by hand and packed data laid
// out at odd addresses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "alloc_hooks.h"
#include "types/types.h"
#include "values/values.h"

using mekal::copy_value;

namespace {

mekal_datatype_t *base(int record) { return mekal::base_record(record); }

// Hand-made container records; owned by the builder, never by the library.
class Types {
public:
    mekal_datatype_t *container(int32_t code, int32_t count,
                                std::initializer_list<mekal_datatype_t *> members,
                                bool reference = false) {
        records_.push_back(std::make_unique<mekal_datatype_t>());
        mekal_datatype_t *record = records_.back().get();
        *record = mekal_datatype_t{};
        record->type = code;
        record->numerical = mekal_numerical_categorical;
        record->is_reference = reference ? 1 : 0;
        (reference ? record->num_ref_elements : record->num_elements) = count;
        arrays_.push_back(std::make_unique<mekal_datatype_t *[]>(members.size()));
        std::copy(members.begin(), members.end(), arrays_.back().get());
        record->subtypes = arrays_.back().get();
        record->num_subtypes = static_cast<int32_t>(members.size());
        return record;
    }
    mekal_datatype_t *set(int32_t count, mekal_datatype_t *element, bool reference = false) {
        return container(mekal_type_set, count, {element}, reference);
    }
    mekal_datatype_t *tuple(std::initializer_list<mekal_datatype_t *> members, bool reference = false) {
        return container(mekal_type_tuple, static_cast<int32_t>(members.size()), members, reference);
    }
    mekal_datatype_t *scalar(int32_t code, uint64_t size, bool reference = false) {
        records_.push_back(std::make_unique<mekal_datatype_t>());
        mekal_datatype_t *record = records_.back().get();
        *record = mekal_datatype_t{};
        record->type = code;
        record->base_size = size;
        record->is_reference = reference ? 1 : 0;
        return record;
    }

private:
    std::vector<std::unique_ptr<mekal_datatype_t>> records_;
    std::vector<std::unique_ptr<mekal_datatype_t *[]>> arrays_;
};

// Packed bytes that start at an odd address, so that any read through a
// typed pointer instead of memcpy is misaligned (and caught by UBSan).
class Packed {
public:
    template <typename T>
    Packed &put(T value) {
        const auto *bytes = reinterpret_cast<const unsigned char *>(&value);
        bytes_.insert(bytes_.end(), bytes, bytes + sizeof(T));
        return *this;
    }
    const unsigned char *data() {
        storage_.assign(bytes_.size() + 2, 0xEE);
        std::memcpy(storage_.data() + 1, bytes_.data(), bytes_.size());
        const unsigned char *start = storage_.data() + 1;
        EXPECT_EQ(reinterpret_cast<uintptr_t>(start) % 2, 1u);
        return start;
    }
    size_t size() const { return bytes_.size(); }

private:
    std::vector<unsigned char> bytes_;
    std::vector<unsigned char> storage_;
};

mekal_value_t *slots_of(const mekal_value_t &value) {
    return static_cast<mekal_value_t *>(value.as_ptr);
}

constexpr int64_t kPoison = 0x5A5A5A5A5A5A5A5A;

TEST(CopyValue, SetOfIntsBecomesOneSlotArray) {
    Types t;
    mekal_datatype_t *set3 = t.set(3, base(mekal::kInt));
    Packed p;
    p.put<int32_t>(-7).put<int32_t>(0).put<int32_t>(123456789);
    const unsigned char *source = p.data();

    alloc_hooks::Scope scope;
    mekal_value_t value{};
    ASSERT_EQ(copy_value(&value, set3, source), 12);
    EXPECT_EQ(scope.allocations(), 1) << "one slot array, nothing else";
    EXPECT_EQ(slots_of(value)[0].as_int, -7);
    EXPECT_EQ(slots_of(value)[1].as_int, 0);
    EXPECT_EQ(slots_of(value)[2].as_int, 123456789);
    mekal::release_value(set3, &value);
    EXPECT_EQ(scope.frees(), scope.allocations());
}

TEST(CopyValue, NarrowIntegersWidenBySignednessAndFloatsWidenToDouble) {
    Types t;
    mekal_value_t value{};

    Packed u8;
    u8.put<uint8_t>(200).put<uint8_t>(7);
    ASSERT_EQ(copy_value(&value, t.set(2, base(mekal::kUnsigned8)), u8.data()), 2);
    EXPECT_EQ(slots_of(value)[0].as_int, 200);
    EXPECT_EQ(slots_of(value)[1].as_int, 7);
    mekal::release_value(t.set(2, base(mekal::kUnsigned8)), &value);

    Packed i8;
    i8.put<uint8_t>(0xFF).put<uint8_t>(5);
    ASSERT_EQ(copy_value(&value, t.set(2, base(mekal::kInt8)), i8.data()), 2);
    EXPECT_EQ(slots_of(value)[0].as_int, -1);
    EXPECT_EQ(slots_of(value)[1].as_int, 5);
    mekal::release_value(t.set(2, base(mekal::kInt8)), &value);

    Packed u16;
    u16.put<uint16_t>(0xFFFF).put<uint16_t>(0x8000);
    ASSERT_EQ(copy_value(&value, t.set(2, base(mekal::kUnsigned16)), u16.data()), 4);
    EXPECT_EQ(slots_of(value)[0].as_int, 65535);
    EXPECT_EQ(slots_of(value)[1].as_int, 32768);
    mekal::release_value(t.set(2, base(mekal::kUnsigned16)), &value);

    Packed i16;
    i16.put<uint16_t>(0x8000).put<int16_t>(-2).put<int16_t>(300);
    ASSERT_EQ(copy_value(&value, t.set(3, base(mekal::kInt16)), i16.data()), 6);
    EXPECT_EQ(slots_of(value)[0].as_int, -32768);
    EXPECT_EQ(slots_of(value)[1].as_int, -2);
    EXPECT_EQ(slots_of(value)[2].as_int, 300);
    mekal::release_value(t.set(3, base(mekal::kInt16)), &value);

    Packed u32;
    u32.put<uint32_t>(0xFFFFFFFFu);
    ASSERT_EQ(copy_value(&value, base(mekal::kUnsignedInt), u32.data()), 4);
    EXPECT_EQ(static_cast<uint32_t>(value.as_int), 0xFFFFFFFFu);

    Packed floats;
    floats.put<float>(1.5f).put<float>(-0.1f);
    ASSERT_EQ(copy_value(&value, t.set(2, base(mekal::kFloat)), floats.data()), 8);
    EXPECT_EQ(slots_of(value)[0].as_double, 1.5);
    EXPECT_EQ(slots_of(value)[1].as_double, static_cast<double>(-0.1f));
    mekal::release_value(t.set(2, base(mekal::kFloat)), &value);

    Packed doubles;
    doubles.put<double>(-0.1).put<double>(1e300);
    ASSERT_EQ(copy_value(&value, t.set(2, base(mekal::kDouble)), doubles.data()), 16);
    EXPECT_EQ(slots_of(value)[0].as_double, -0.1);
    EXPECT_EQ(slots_of(value)[1].as_double, 1e300);
    mekal::release_value(t.set(2, base(mekal::kDouble)), &value);
}

TEST(CopyValue, EightByteScalarsCopyTheirBitsAndTakeEightBytes) {
    const int records[] = {mekal::kLong, mekal::kUnsignedLong, mekal::kLongLong,
                           mekal::kUnsignedLongLong, mekal::kDate};
    for (int record : records) {
        Packed p;
        p.put<int64_t>(INT64_MIN + 3);
        mekal_value_t value{};
        EXPECT_EQ(copy_value(&value, base(record), p.data()), 8) << record;
        EXPECT_EQ(value.as_long, INT64_MIN + 3) << record;
    }
}

TEST(CopyValue, TextsAndTimevalsAreDuplicatedUnlessReferenced) {
    Types t;
    char text[] = "hello";
    struct timeval tv {12, 34};

    for (int record : {mekal::kVersion, mekal::kString, mekal::kCatstring, mekal::kPath,
                       mekal::kJsonstring}) {
        Packed p;
        p.put<char *>(text);
        mekal_value_t value{};
        ASSERT_EQ(copy_value(&value, base(record), p.data()), 8);
        ASSERT_NE(value.as_ptr, nullptr);
        EXPECT_NE(value.as_ptr, text);
        EXPECT_STREQ(static_cast<char *>(value.as_ptr), "hello");
        mekal::release_value(base(record), &value);
    }
    for (int record : {mekal::kVersionRef, mekal::kStringRef, mekal::kCatstringRef,
                       mekal::kPathRef, mekal::kJsonstringRef}) {
        Packed p;
        p.put<char *>(text);
        alloc_hooks::Scope scope;
        mekal_value_t value{};
        ASSERT_EQ(copy_value(&value, base(record), p.data()), 8);
        EXPECT_EQ(value.as_ptr, text);
        EXPECT_EQ(scope.allocations(), 0);
    }

    Packed p;
    p.put<struct timeval *>(&tv);
    mekal_value_t value{};
    ASSERT_EQ(copy_value(&value, base(mekal::kTimeval), p.data()), 8);
    ASSERT_NE(value.as_ptr, &tv);
    tv.tv_sec = 99;
    const auto *copy = static_cast<const struct timeval *>(value.as_ptr);
    EXPECT_EQ(copy->tv_sec, 12);
    EXPECT_EQ(copy->tv_usec, 34);
    mekal::release_value(base(mekal::kTimeval), &value);

    mekal_datatype_t *timeval_ref = t.scalar(mekal_type_timeval, 8, true);
    ASSERT_EQ(copy_value(&value, timeval_ref, p.data()), 8);
    EXPECT_EQ(value.as_ptr, &tv);
}

TEST(CopyValue, TupleOfIntAndStringFindsTheTextPointerAtOffsetFour) {
    Types t;
    mekal_datatype_t *tuple = t.tuple({base(mekal::kInt), base(mekal::kString)});
    char text[] = "abc";
    Packed p;
    p.put<int32_t>(42).put<char *>(text);
    ASSERT_EQ(p.size(), 12u);

    mekal_value_t value{};
    ASSERT_EQ(copy_value(&value, tuple, p.data()), 12);
    EXPECT_EQ(slots_of(value)[0].as_int, 42);
    const char *copy = static_cast<const char *>(slots_of(value)[1].as_ptr);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, text) << "the text is the library's own duplicate";
    text[0] = 'X';
    EXPECT_STREQ(copy, "abc");
    mekal::release_value(tuple, &value);
}

TEST(CopyValue, NestedContainersAdvanceByTheirPackedSize) {
    Types t;
    // A set of 2 sets of 3 ints: 24 bytes, two arrays of 3 under one of 2.
    mekal_datatype_t *grid = t.set(2, t.set(3, base(mekal::kInt)));
    Packed p;
    for (int i = 0; i < 6; ++i) p.put<int32_t>(10 * i);
    mekal_value_t value{};
    ASSERT_EQ(copy_value(&value, grid, p.data()), 24);
    for (int row = 0; row < 2; ++row) {
        mekal_value_t *inner = slots_of(slots_of(value)[row]);
        for (int col = 0; col < 3; ++col) EXPECT_EQ(inner[col].as_int, 10 * (3 * row + col));
    }
    EXPECT_EQ(mekal::datatype_size(grid), 24);
    mekal::release_value(grid, &value);

    // Odd widths: a tuple of (set of 2 8-bit ints, long, string, range of
    // floats, 16-bit unsigned) packs to 2 + 8 + 8 + 8 + 2 = 28 bytes.
    mekal_datatype_t *mixed = t.tuple({t.set(2, base(mekal::kInt8)), base(mekal::kLong),
                                       base(mekal::kString),
                                       t.container(mekal_type_range, 2, {base(mekal::kFloat)}),
                                       base(mekal::kUnsigned16)});
    char text[] = "mid";
    Packed q;
    q.put<int8_t>(-4).put<int8_t>(9).put<int64_t>(1LL << 40).put<char *>(text)
        .put<float>(0.5f).put<float>(2.0f).put<uint16_t>(60000);
    ASSERT_EQ(q.size(), 28u);
    ASSERT_EQ(copy_value(&value, mixed, q.data()), 28);
    mekal_value_t *m = slots_of(value);
    EXPECT_EQ(slots_of(m[0])[0].as_int, -4);
    EXPECT_EQ(slots_of(m[0])[1].as_int, 9);
    EXPECT_EQ(m[1].as_long, 1LL << 40);
    EXPECT_STREQ(static_cast<const char *>(m[2].as_ptr), "mid");
    EXPECT_EQ(slots_of(m[3])[0].as_double, 0.5);
    EXPECT_EQ(slots_of(m[3])[1].as_double, 2.0);
    EXPECT_EQ(m[4].as_int, 60000);
    EXPECT_EQ(mekal::datatype_size(mixed), 28);
    mekal::release_value(mixed, &value);
}

TEST(CopyValue, ReferenceElementsInsideACopiedContainerPointIntoTheCallersData) {
    Types t;
    char a[] = "first", b[] = "second";
    Packed texts;
    texts.put<char *>(a).put<char *>(b);
    mekal_datatype_t *ref_texts = t.set(2, base(mekal::kStringRef));
    mekal_value_t value{};
    {
        alloc_hooks::Scope scope;
        ASSERT_EQ(copy_value(&value, ref_texts, texts.data()), 16);
        EXPECT_EQ(scope.allocations(), 1) << "only the slot array";
        EXPECT_EQ(slots_of(value)[0].as_ptr, a);
        EXPECT_EQ(slots_of(value)[1].as_ptr, b);
        mekal::release_value(ref_texts, &value);
        EXPECT_EQ(scope.frees(), 1) << "the caller's texts are not freed";
    }

    // A copied set of 3 whose element is a referenced list of 2 ints: each
    // slot points at its element's 8 bytes inside the caller's data.
    mekal_datatype_t *ref_list = t.container(mekal_type_list, 2, {base(mekal::kInt)}, true);
    mekal_datatype_t *outer = t.set(3, ref_list);
    Packed ints;
    for (int i = 0; i < 6; ++i) ints.put<int32_t>(i);
    const unsigned char *source = ints.data();
    ASSERT_EQ(copy_value(&value, outer, source), 24);
    for (int j = 0; j < 3; ++j) EXPECT_EQ(slots_of(value)[j].as_ptr, source + 8 * j) << j;

    // The referenced elements can still be taken apart.
    mekal_datatype_t *element = nullptr;
    mekal_value_t sub{};
    ASSERT_EQ(mekal_get_subval(ref_list, &slots_of(value)[2], 1, &element, &sub), 0);
    EXPECT_EQ(element, base(mekal::kInt));
    EXPECT_EQ(sub.as_int, 5);
    alloc_hooks::Scope scope;
    mekal::release_value(outer, &value);
    EXPECT_EQ(scope.frees(), 1);
}

TEST(CopyValue, EmptyAndNegativeCountsCopyNothing) {
    Types t;
    for (int32_t count : {0, -3}) {
        mekal_datatype_t *empty = t.set(count, base(mekal::kString));
        Packed p;
        p.put<int64_t>(0);
        alloc_hooks::Scope scope;
        mekal_value_t value;
        value.as_long = kPoison;
        EXPECT_EQ(copy_value(&value, empty, p.data()), 0) << count;
        EXPECT_EQ(value.as_ptr, nullptr) << count;
        mekal::release_value(empty, &value);
        EXPECT_EQ(scope.allocations(), 0) << count;
    }
}

TEST(CopyValue, NullTextOrTimevalPointerInsideACopiedContainerIsKeptAsNull) {
    Types t;
    char text[] = "kept";
    mekal_datatype_t *tuple = t.tuple({base(mekal::kString), base(mekal::kTimeval),
                                       base(mekal::kPath)});
    Packed p;
    p.put<char *>(nullptr).put<struct timeval *>(nullptr).put<char *>(text);
    alloc_hooks::Scope scope;
    mekal_value_t value{};
    ASSERT_EQ(copy_value(&value, tuple, p.data()), 24);
    EXPECT_EQ(slots_of(value)[0].as_ptr, nullptr);
    EXPECT_EQ(slots_of(value)[1].as_ptr, nullptr);
    EXPECT_STREQ(static_cast<const char *>(slots_of(value)[2].as_ptr), "kept");
    mekal::release_value(tuple, &value);
    EXPECT_EQ(scope.allocations(), 2);
    EXPECT_EQ(scope.frees(), 2);
}

TEST(CopyValue, UnknownCodesFailAndLeaveDestinationAndHeapUntouched) {
    Types t;
    Packed p;
    char text[] = "t";
    for (int i = 0; i < 4; ++i) p.put<char *>(text);
    const unsigned char *source = p.data();

    std::vector<mekal_datatype_t *> bad = {
        t.scalar(mekal_type_unset, 8), t.scalar(19, 8), t.scalar(-1, 8),
        t.set(3, t.scalar(mekal_type_unset, 8)),
        // The failing member comes after a text and a nested array that were
        // already built: both must be released again.
        t.tuple({base(mekal::kString), t.set(1, base(mekal::kString)), t.scalar(42, 8)}),
        t.set(2, t.tuple({base(mekal::kString), t.scalar(mekal_type_unset, 8)})),
        // Hand-made records short of subtypes.
        t.container(mekal_type_tuple, 3, {base(mekal::kString)}),
        t.container(mekal_type_set, 2, {}),
        // A referenced container whose element has no size.
        t.set(2, t.set(2, t.scalar(mekal_type_unset, 8), true)),
    };
    for (size_t i = 0; i < bad.size(); ++i) {
        alloc_hooks::Scope scope;
        mekal_value_t value;
        value.as_long = kPoison;
        EXPECT_EQ(copy_value(&value, bad[i], source), -1) << i;
        EXPECT_EQ(value.as_long, kPoison) << i;
        EXPECT_EQ(scope.allocations(), scope.frees()) << i;
    }
    mekal_value_t value{};
    EXPECT_EQ(copy_value(&value, nullptr, source), -1);
    EXPECT_EQ(copy_value(nullptr, base(mekal::kInt), source), -1);
}

TEST(CopyValue, ExhaustedMemoryAtAnyStepKeepsNothing) {
    Types t;
    // A set of 2 tuples of (string, set of 2 paths, timeval): 1 + 2 * (1 + 1
    // + 1 + 2 + 1) = 13 allocations when everything succeeds.
    mekal_datatype_t *type = t.set(2, t.tuple({base(mekal::kString),
                                               t.set(2, base(mekal::kPath)),
                                               base(mekal::kTimeval)}));
    char s0[] = "s0", s1[] = "s1", p0[] = "/a", p1[] = "/b", p2[] = "/c", p3[] = "/d";
    struct timeval tv0 {1, 2}, tv1 {3, 4};
    Packed p;
    p.put<char *>(s0).put<char *>(p0).put<char *>(p1).put<struct timeval *>(&tv0);
    p.put<char *>(s1).put<char *>(p2).put<char *>(p3).put<struct timeval *>(&tv1);
    const unsigned char *source = p.data();

    long n = 1;
    for (;; ++n) {
        ASSERT_LT(n, 100) << "copy never succeeded";
        alloc_hooks::Scope scope;
        mekal_value_t value;
        value.as_long = kPoison;
        const long failed_before = alloc_hooks::counts().failed;
        alloc_hooks::fail_nth(n);
        const int64_t result = copy_value(&value, type, source);
        const bool failed_on_purpose = alloc_hooks::counts().failed > failed_before;
        alloc_hooks::fail_nth(0);
        if (result >= 0) {
            EXPECT_FALSE(failed_on_purpose);
            EXPECT_EQ(result, 64);
            mekal_value_t *second = slots_of(slots_of(value)[1]);
            EXPECT_STREQ(static_cast<const char *>(second[0].as_ptr), "s1");
            EXPECT_STREQ(static_cast<const char *>(slots_of(second[1])[1].as_ptr), "/d");
            EXPECT_EQ(static_cast<const struct timeval *>(second[2].as_ptr)->tv_usec, 4);
            EXPECT_EQ(scope.allocations(), 13);
            mekal::release_value(type, &value);
            EXPECT_EQ(scope.allocations(), scope.frees());
            break;
        }
        EXPECT_EQ(result, -1) << n;
        EXPECT_EQ(value.as_long, kPoison) << n;
        EXPECT_EQ(scope.allocations(), scope.frees()) << n;
    }
    EXPECT_EQ(n, 14) << "each of the 13 allocations was failed once";
}

TEST(Subvals, CountIsTheElementCountInEitherFormAndZeroForScalars) {
    Types t;
    EXPECT_EQ(mekal_num_subvals(base(mekal::kInt)), 0);
    EXPECT_EQ(mekal_num_subvals(base(mekal::kStringRef)), 0);
    EXPECT_EQ(mekal_num_subvals(nullptr), 0);
    EXPECT_EQ(mekal_num_subvals(t.container(mekal_type_range, 2, {base(mekal::kInt)})), 2);
    EXPECT_EQ(mekal_num_subvals(t.container(mekal_type_range, 2, {base(mekal::kInt)}, true)), 2);
    EXPECT_EQ(mekal_num_subvals(t.set(7, base(mekal::kInt))), 7);
    EXPECT_EQ(mekal_num_subvals(t.set(7, base(mekal::kInt), true)), 7);
    EXPECT_EQ(mekal_num_subvals(t.container(mekal_type_list, 0, {base(mekal::kInt)})), 0);
    EXPECT_EQ(mekal_num_subvals(t.tuple({base(mekal::kInt), base(mekal::kDouble)}, true)), 2);
    EXPECT_EQ(mekal_num_subvals(t.set(-4, base(mekal::kInt))), -4);
}

// Expects a failed element access: -1, null subtype, zero subvalue.
void expect_subval_failure(mekal_datatype_t *type, mekal_value_t *value, int index) {
    mekal_datatype_t *element = base(mekal::kInt);
    mekal_value_t sub;
    sub.as_long = kPoison;
    EXPECT_EQ(mekal_get_subval(type, value, index, &element, &sub), -1) << index;
    EXPECT_EQ(element, nullptr) << index;
    EXPECT_EQ(sub.as_long, 0) << index;
}

TEST(Subvals, BadIndexesScalarsAndNullArgumentsFail) {
    Types t;
    mekal_datatype_t *set3 = t.set(3, base(mekal::kInt));
    Packed p;
    p.put<int32_t>(1).put<int32_t>(2).put<int32_t>(3);
    mekal_value_t copied{};
    ASSERT_EQ(copy_value(&copied, set3, p.data()), 12);
    mekal_datatype_t *ref3 = t.set(3, base(mekal::kInt), true);
    mekal_value_t referenced{};
    referenced.as_ptr = const_cast<unsigned char *>(p.data());

    for (int index : {-1, 3, 4, INT32_MIN}) {
        expect_subval_failure(set3, &copied, index);
        expect_subval_failure(ref3, &referenced, index);
    }
    mekal_value_t scalar{};
    for (int index : {-1, 0, 1}) {
        expect_subval_failure(base(mekal::kInt), &scalar, index);
        expect_subval_failure(base(mekal::kStringRef), &scalar, index);
    }

    mekal_datatype_t *element = base(mekal::kInt);
    mekal_value_t sub;
    sub.as_long = kPoison;
    EXPECT_EQ(mekal_get_subval(nullptr, &copied, 0, &element, &sub), -1);
    EXPECT_EQ(element, nullptr);
    EXPECT_EQ(sub.as_long, 0);
    sub.as_long = kPoison;
    element = base(mekal::kInt);
    EXPECT_EQ(mekal_get_subval(set3, nullptr, 0, &element, &sub), -1);
    EXPECT_EQ(element, nullptr);
    EXPECT_EQ(sub.as_long, 0);
    sub.as_long = kPoison;
    EXPECT_EQ(mekal_get_subval(set3, &copied, 0, nullptr, &sub), -1);
    EXPECT_EQ(sub.as_long, 0);
    element = base(mekal::kInt);
    EXPECT_EQ(mekal_get_subval(set3, &copied, 0, &element, nullptr), -1);
    EXPECT_EQ(element, nullptr);
    EXPECT_EQ(mekal_get_subval(set3, &copied, 0, nullptr, nullptr), -1);
    // A container value whose data pointer is missing.
    mekal_value_t empty{};
    expect_subval_failure(set3, &empty, 0);
    expect_subval_failure(ref3, &empty, 0);

    mekal::release_value(set3, &copied);
}

TEST(Subvals, ReferencedTupleReadsEachMemberAtItsPackedOffset) {
    Types t;
    mekal_datatype_t *tuple = t.tuple({base(mekal::kInt8), base(mekal::kDouble),
                                       base(mekal::kStringRef)}, true);
    char text[] = "at nine";
    Packed p;
    p.put<int8_t>(-3).put<double>(2.5).put<char *>(text);
    mekal_value_t value{};
    value.as_ptr = const_cast<unsigned char *>(p.data());

    mekal_datatype_t *element = nullptr;
    mekal_value_t sub{};
    ASSERT_EQ(mekal_get_subval(tuple, &value, 2, &element, &sub), 0);
    EXPECT_EQ(element, base(mekal::kStringRef));
    EXPECT_EQ(sub.as_ptr, text) << "the pointer stored at byte offset 9";
    ASSERT_EQ(mekal_get_subval(tuple, &value, 0, &element, &sub), 0);
    EXPECT_EQ(element, base(mekal::kInt8));
    EXPECT_EQ(sub.as_int, -3);
    ASSERT_EQ(mekal_get_subval(tuple, &value, 1, &element, &sub), 0);
    EXPECT_EQ(element, base(mekal::kDouble));
    EXPECT_EQ(sub.as_double, 2.5);
}

TEST(Subvals, ReferencedSetOfSetsReachesTheInnerElementAtItsByteOffset) {
    Types t;
    mekal_datatype_t *inner = t.set(3, base(mekal::kInt), true);
    mekal_datatype_t *outer = t.set(2, inner, true);
    Packed p;
    for (int i = 0; i < 6; ++i) p.put<int32_t>(100 + i);
    const unsigned char *source = p.data();
    mekal_value_t value{};
    value.as_ptr = const_cast<unsigned char *>(source);

    mekal_datatype_t *row_type = nullptr;
    mekal_value_t row{};
    ASSERT_EQ(mekal_get_subval(outer, &value, 1, &row_type, &row), 0);
    EXPECT_EQ(row_type, inner);
    EXPECT_EQ(row.as_ptr, source + 12);

    mekal_datatype_t *cell_type = nullptr;
    mekal_value_t cell{};
    ASSERT_EQ(mekal_get_subval(row_type, &row, 2, &cell_type, &cell), 0);
    EXPECT_EQ(cell_type, base(mekal::kInt));
    EXPECT_EQ(cell.as_int, 105) << "the int at byte offset 20 of the outer data";
}

TEST(Subvals, ReferencedElementsOfEveryWidthAreReadAndWidened) {
    Types t;
    struct timeval tv {5, 6};
    Packed p;
    p.put<uint16_t>(0xFFFE).put<int16_t>(-9).put<float>(0.25f).put<int64_t>(-1234567890123LL)
        .put<struct timeval *>(&tv).put<uint8_t>(0xF0);
    mekal_value_t value{};
    value.as_ptr = const_cast<unsigned char *>(p.data());
    mekal_datatype_t *tuple = t.tuple({base(mekal::kUnsigned16), base(mekal::kInt16),
                                       base(mekal::kFloat), base(mekal::kDate),
                                       base(mekal::kTimeval), base(mekal::kUnsigned8)}, true);
    mekal_datatype_t *element = nullptr;
    mekal_value_t sub{};
    ASSERT_EQ(mekal_get_subval(tuple, &value, 0, &element, &sub), 0);
    EXPECT_EQ(sub.as_int, 0xFFFE);
    ASSERT_EQ(mekal_get_subval(tuple, &value, 1, &element, &sub), 0);
    EXPECT_EQ(sub.as_int, -9);
    ASSERT_EQ(mekal_get_subval(tuple, &value, 2, &element, &sub), 0);
    EXPECT_EQ(sub.as_double, 0.25);
    ASSERT_EQ(mekal_get_subval(tuple, &value, 3, &element, &sub), 0);
    EXPECT_EQ(sub.as_long, -1234567890123LL);
    ASSERT_EQ(mekal_get_subval(tuple, &value, 4, &element, &sub), 0);
    EXPECT_EQ(sub.as_ptr, &tv);
    ASSERT_EQ(mekal_get_subval(tuple, &value, 5, &element, &sub), 0);
    EXPECT_EQ(element, base(mekal::kUnsigned8));
    EXPECT_EQ(sub.as_int, 0xF0);

    // A referenced range of floats: element 1 four bytes in.
    mekal_datatype_t *range = t.container(mekal_type_range, 2, {base(mekal::kFloat)}, true);
    Packed r;
    r.put<float>(-1.0f).put<float>(8.5f);
    value.as_ptr = const_cast<unsigned char *>(r.data());
    ASSERT_EQ(mekal_get_subval(range, &value, 1, &element, &sub), 0);
    EXPECT_EQ(sub.as_double, 8.5);
}

TEST(Subvals, ReferencedElementsWithoutASizeFail) {
    Types t;
    Packed p;
    for (int i = 0; i < 4; ++i) p.put<int64_t>(i);
    mekal_value_t value{};
    value.as_ptr = const_cast<unsigned char *>(p.data());
    mekal_datatype_t *unset = t.scalar(mekal_type_unset, 8);

    // The element itself has no readable form: its datatype is still handed out.
    mekal_datatype_t *tuple = t.tuple({base(mekal::kLong), unset, base(mekal::kLong)}, true);
    mekal_datatype_t *element = nullptr;
    mekal_value_t sub;
    sub.as_long = kPoison;
    EXPECT_EQ(mekal_get_subval(tuple, &value, 1, &element, &sub), -1);
    EXPECT_EQ(element, unset);
    EXPECT_EQ(sub.as_long, 0);
    // A member before the wanted one has no size: no offset exists.
    expect_subval_failure(tuple, &value, 2);
    // A set whose element size is negative has no offset past index 0.
    mekal_datatype_t *set = t.set(3, unset, true);
    expect_subval_failure(set, &value, 1);
    // A copied tuple short of subtypes.
    mekal_datatype_t *short_tuple = t.container(mekal_type_tuple, 3, {base(mekal::kLong)});
    mekal_value_t slots[3] = {};
    mekal_value_t holder{};
    holder.as_ptr = slots;
    expect_subval_failure(short_tuple, &holder, 2);
}

TEST(Subvals, CopiedContainersHandOutTheirStoredSlotsLevelByLevel) {
    Types t;
    mekal_datatype_t *inner = t.set(2, base(mekal::kString));
    mekal_datatype_t *tuple = t.tuple({base(mekal::kInt16), inner, base(mekal::kDouble)});
    char a[] = "a", b[] = "b";
    Packed p;
    p.put<int16_t>(-20).put<char *>(a).put<char *>(b).put<double>(3.75);
    mekal_value_t value{};
    ASSERT_EQ(copy_value(&value, tuple, p.data()), 26);

    for (int i = 0; i < 3; ++i) {
        mekal_datatype_t *element = nullptr;
        mekal_value_t sub;
        sub.as_long = kPoison;
        ASSERT_EQ(mekal_get_subval(tuple, &value, i, &element, &sub), 0) << i;
        EXPECT_EQ(element, tuple->subtypes[i]) << i;
        EXPECT_EQ(sub.as_long, slots_of(value)[i].as_long) << "all 8 bytes of slot " << i;
    }

    mekal_datatype_t *set_type = nullptr;
    mekal_value_t set_value{};
    ASSERT_EQ(mekal_get_subval(tuple, &value, 1, &set_type, &set_value), 0);
    mekal_datatype_t *text_type = nullptr;
    mekal_value_t text{};
    ASSERT_EQ(mekal_get_subval(set_type, &set_value, 1, &text_type, &text), 0);
    EXPECT_EQ(text_type, base(mekal::kString));
    EXPECT_STREQ(static_cast<const char *>(text.as_ptr), "b");
    EXPECT_NE(text.as_ptr, b) << "the library's duplicate, not the caller's text";
    expect_subval_failure(set_type, &set_value, 2);

    mekal::release_value(tuple, &value);
}

}  // namespace
