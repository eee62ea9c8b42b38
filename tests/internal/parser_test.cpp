// The type-string parser: conversions and widths, reference mode,
// containers and the order in which they draw counts, and failures.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdarg>
#include <cstring>
#include <locale.h>
#include <sys/mman.h>
#include <unistd.h>
#include <climits>
#include <memory>
#include <string>

#include "alloc_hooks.h"
#include "types/types.h"

namespace {

using mekal::base_record;

constexpr int kSentinel = 0x5e771e;
constexpr int kPoison = -7777;

struct DatatypeDeleter {
    void operator()(mekal_datatype_t *datatype) const { mekal::release_datatype(datatype); }
};
using Datatype = std::unique_ptr<mekal_datatype_t, DatatypeDeleter>;

struct Parsed {
    Datatype datatype;
    int end_pos;          // kPoison when the parser did not write it
    bool sentinel_next;   // the argument after the drawn counts was the sentinel
};

// Parses the whole text with the counts that follow it. The caller ends the
// arguments with kSentinel, which the parser must leave unread: the next
// argument is read here, from the same list the parser drew from.
Parsed parse(const char *text, ...) {
    va_list args;
    va_start(args, text);
    int end_pos = kPoison;
    const int end = text ? static_cast<int>(std::strlen(text)) : 0;
    mekal_datatype_t *datatype = mekal::parse_datatype(text, 0, end, 0, &args, &end_pos);
    const int next = va_arg(args, int);
    va_end(args);
    return Parsed{Datatype(datatype), end_pos, next == kSentinel};
}

// parse_datatype over a stretch of the text.
Parsed parse_stretch(const char *text, int start, int end, int reference, ...) {
    va_list args;
    va_start(args, reference);
    int end_pos = kPoison;
    mekal_datatype_t *datatype = mekal::parse_datatype(text, start, end, reference, &args, &end_pos);
    const int next = va_arg(args, int);
    va_end(args);
    return Parsed{Datatype(datatype), end_pos, next == kSentinel};
}

const mekal_datatype_t *member(const mekal_datatype_t *container, int i) {
    return container->subtypes[i];
}

// ------------------------------------------------ conversions and widths

TEST(ParserConversions, EachConversionYieldsItsSharedStaticRecord) {
    struct Case {
        const char *text;
        int record;
        int end_pos;
    };
    const Case cases[] = {
        {"%d", mekal::kInt, 2},           {"%ld", mekal::kLong, 3},
        {"%lld", mekal::kLongLong, 4},    {"%u", mekal::kUnsignedInt, 2},
        {"%lu", mekal::kUnsignedLong, 3}, {"%llu", mekal::kUnsignedLongLong, 4},
        {"%i", mekal::kInt, 2},           {"%f", mekal::kDouble, 2},
        {"%D", mekal::kDate, 2},          {"%t", mekal::kTimeval, 2},
        {"%v", mekal::kVersion, 2},       {"%s", mekal::kString, 2},
        {"%r", mekal::kCatstring, 2},     {"%j", mekal::kJsonstring, 2},
        {"%p", mekal::kPath, 2},
        // The prefix is ignored by every letter but d and u.
        {"%li", mekal::kInt, 3},          {"%lf", mekal::kDouble, 3},
        {"%llD", mekal::kDate, 4},        {"%lls", mekal::kString, 4},
        {"%lt", mekal::kTimeval, 3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        Parsed p = parse(c.text, kSentinel);
        EXPECT_EQ(p.datatype.get(), base_record(c.record));
        EXPECT_EQ(p.end_pos, c.end_pos);
        EXPECT_TRUE(p.sentinel_next);
        p.datatype.release();  // static: nothing to release, and nothing may be
    }

    // The records are the ones mekal_get_basetype hands out.
    const struct {
        const char *text;
        mekal_type_t code;
    } shared[] = {
        {"%ld", mekal_type_long},       {"%lu", mekal_type_unsigned_long},
        {"%d", mekal_type_int},         {"%u", mekal_type_unsigned_int},
        {"%f", mekal_type_double},      {"%D", mekal_type_date},
        {"%t", mekal_type_timeval},     {"%v", mekal_type_version},
        {"%s", mekal_type_string},      {"%r", mekal_type_catstring},
        {"%p", mekal_type_path},        {"%lld", mekal_type_long_long},
        {"%llu", mekal_type_unsigned_long_long}, {"%j", mekal_type_jsonstring},
    };
    for (const auto &s : shared) {
        SCOPED_TRACE(s.text);
        mekal_datatype_t *datatype = mekal_new_datatype(s.text);
        ASSERT_NE(datatype, nullptr);
        EXPECT_EQ(datatype, mekal_get_basetype(s.code));
        EXPECT_EQ(datatype->type, s.code);
    }
}

TEST(ParserConversions, WidthSuffixesSelectTheSizedRecords) {
    struct Case {
        const char *text;
        mekal_type_t code;
        uint64_t base_size;
        int end_pos;
    };
    const Case cases[] = {
        {"%u8", mekal_type_unsigned_int, 1, 3},
        {"%u16", mekal_type_unsigned_int, 2, 4},
        {"%u32", mekal_type_unsigned_int, 4, 4},
        {"%u64", mekal_type_unsigned_long_long, 8, 4},
        {"%u", mekal_type_unsigned_int, 4, 2},
        {"%i8", mekal_type_int, 1, 3},
        {"%i16", mekal_type_int, 2, 4},
        {"%i32", mekal_type_int, 4, 4},
        {"%i64", mekal_type_long_long, 8, 4},
        {"%f32", mekal_type_double, 4, 4},
        {"%f64", mekal_type_double, 8, 4},
        // A width overrides the prefix of u.
        {"%lu8", mekal_type_unsigned_int, 1, 4},
        {"%llu16", mekal_type_unsigned_int, 2, 6},
        {"%lu32", mekal_type_unsigned_int, 4, 5},
        {"%lu64", mekal_type_unsigned_long_long, 8, 5},
        {"%lli8", mekal_type_int, 1, 5},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        Parsed p = parse(c.text, kSentinel);
        ASSERT_NE(p.datatype, nullptr);
        EXPECT_EQ(p.datatype->type, c.code);
        EXPECT_EQ(p.datatype->base_size, c.base_size);
        EXPECT_EQ(p.datatype->is_reference, 0);
        EXPECT_EQ(p.datatype->subtypes, nullptr);
        EXPECT_EQ(p.end_pos, c.end_pos);
        p.datatype.release();
    }
    // Sized variants are distinct static records, not copies made per call.
    EXPECT_EQ(mekal_new_datatype("%u8"), base_record(mekal::kUnsigned8));
    EXPECT_EQ(mekal_new_datatype("%i16"), base_record(mekal::kInt16));
    EXPECT_EQ(mekal_new_datatype("%f32"), base_record(mekal::kFloat));
    EXPECT_EQ(mekal_new_datatype("%i64"), mekal_get_basetype(mekal_type_long_long));
    EXPECT_EQ(mekal_new_datatype("%u64"), mekal_get_basetype(mekal_type_unsigned_long_long));
}

TEST(ParserConversions, DigitsALetterDoesNotReadAreLeftForWhatFollows) {
    // d takes no width: "%d8" is an int and the 8 stays unread.
    Parsed d8 = parse("%d8", kSentinel);
    EXPECT_EQ(d8.datatype.get(), base_record(mekal::kInt));
    EXPECT_EQ(d8.end_pos, 2);
    d8.datatype.release();

    // "8" is a whole suffix; the second 8 is not part of it.
    Parsed u88 = parse("%u88", kSentinel);
    EXPECT_EQ(u88.datatype.get(), base_record(mekal::kUnsigned8));
    EXPECT_EQ(u88.end_pos, 3);
    u88.datatype.release();

    Parsed s16 = parse("%s16", kSentinel);
    EXPECT_EQ(s16.datatype.get(), base_record(mekal::kString));
    EXPECT_EQ(s16.end_pos, 2);
    s16.datatype.release();

    Parsed i6432 = parse("%i6432", kSentinel);
    EXPECT_EQ(i6432.datatype.get(), base_record(mekal::kLongLong));
    EXPECT_EQ(i6432.end_pos, 4);
    i6432.datatype.release();
}

TEST(ParserConversions, LeadingSeparatorsAndTrailingTextAreIgnored) {
    const char *texts[] = {"%d", " %d", ",%d", " ,\t,\n%d", "%d and more", "%d]", "%d%s"};
    for (const char *text : texts) {
        SCOPED_TRACE(text);
        mekal_datatype_t *datatype = mekal_new_datatype(text);
        EXPECT_EQ(datatype, mekal_get_basetype(mekal_type_int));
    }
    Parsed p = parse(" ,%d rest", kSentinel);
    EXPECT_EQ(p.end_pos, 4);
    p.datatype.release();
}

TEST(ParserConversions, WidthSuffixReaderConsumesOnlyAWholeSuffix) {
    struct Case {
        const char *text;  // the conversion letter stands at index 0
        int width;
        int pos_after;
    };
    const Case cases[] = {
        {"u8", 1, 1},  {"u16", 2, 2}, {"u32", 4, 2},  {"u64", 8, 2},  {"u88", 1, 1},
        {"u", 0, 0},   {"ux", 0, 0},  {"u]", 0, 0},   {"u12", -1, 0}, {"u1", -1, 0},
        {"u3", -1, 0}, {"u6x", -1, 0}, {"u7", -1, 0}, {"u0", -1, 0},  {"u9", -1, 0},
        {"u61", -1, 0}, {"u128", -1, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        int pos = 0;
        EXPECT_EQ(mekal::read_width_suffix(c.text, &pos), c.width);
        EXPECT_EQ(pos, c.pos_after);
    }
    // The position given is the letter's, wherever it stands.
    int pos = 2;
    EXPECT_EQ(mekal::read_width_suffix("[%i16]", &pos), 2);
    EXPECT_EQ(pos, 4);
}

TEST(ParserConversions, BlankIsAnAsciiSpaceInTheCurrentLocale) {
    for (unsigned char c : {' ', '\t', '\n', '\v', '\f', '\r'}) EXPECT_TRUE(mekal::is_type_string_blank(c)) << int(c);
    for (unsigned char c : {',', '&', '%', 'a', '0', '\0', '\x1f', '\x7f'}) EXPECT_FALSE(mekal::is_type_string_blank(c)) << int(c);
    for (int c = 0x80; c <= 0xff; ++c) EXPECT_FALSE(mekal::is_type_string_blank(static_cast<unsigned char>(c))) << c;

    // A thread locale, where set, is the one consulted; the ASCII spaces
    // stay spaces and high bytes stay non-blank.
    locale_t utf8 = newlocale(LC_ALL_MASK, "C.UTF-8", static_cast<locale_t>(0));
    if (utf8 != static_cast<locale_t>(0)) {
        locale_t previous = uselocale(utf8);
        EXPECT_TRUE(mekal::is_type_string_blank(' '));
        EXPECT_FALSE(mekal::is_type_string_blank(0xa0));
        EXPECT_FALSE(mekal::is_type_string_blank(0x85));
        EXPECT_EQ(mekal_new_datatype("\t %s"), mekal_get_basetype(mekal_type_string));
        uselocale(previous);
        freelocale(utf8);
    }
    // A high byte before the type is not skipped.
    EXPECT_EQ(mekal_new_datatype("\xa0%d"), nullptr);
}

TEST(ParserConversions, ScalarsAllocateNothing) {
    const char *texts[] = {"%d", "%s", "&%s", "%u16", "%f32", " ,%llu", "&%t"};
    for (const char *text : texts) {
        SCOPED_TRACE(text);
        alloc_hooks::Scope scope;
        mekal_datatype_t *datatype = mekal_new_datatype(text);
        EXPECT_NE(datatype, nullptr);
        EXPECT_EQ(scope.allocations(), 0);
        EXPECT_EQ(scope.frees(), 0);
    }
}

// ------------------------------------------------------- reference mode

TEST(ParserReference, MarkSelectsTextTwinsAndLeavesOtherScalarsPlain) {
    const struct {
        const char *text;
        int record;
    } cases[] = {
        {"&%s", mekal::kStringRef},   {"&%v", mekal::kVersionRef}, {"&%r", mekal::kCatstringRef},
        {"&%j", mekal::kJsonstringRef}, {"&%p", mekal::kPathRef},  {"&%d", mekal::kInt},
        {"&%lu", mekal::kUnsignedLong}, {"&%f32", mekal::kFloat},  {"&%D", mekal::kDate},
        {"&%t", mekal::kTimeval},     {" , &%lls", mekal::kStringRef},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        Parsed p = parse(c.text, kSentinel);
        EXPECT_EQ(p.datatype.get(), base_record(c.record));
        p.datatype.release();
    }
    const mekal_datatype_t *ref = mekal_new_datatype("&%s");
    ASSERT_NE(ref, nullptr);
    EXPECT_EQ(ref->type, mekal_type_string);
    EXPECT_EQ(ref->is_reference, 1);
    EXPECT_NE(ref, mekal_get_basetype(mekal_type_string));
    EXPECT_EQ(mekal_new_datatype("&%d"), mekal_get_basetype(mekal_type_int));

    // An inherited flag acts like the mark.
    Parsed inherited = parse_stretch("%p", 0, 2, 1, kSentinel);
    EXPECT_EQ(inherited.datatype.get(), base_record(mekal::kPathRef));
    inherited.datatype.release();
}

TEST(ParserReference, MarkMustStandDirectlyBeforeAType) {
    const char *texts[] = {"& %s", "&&%s", "&,%s", "&", " , &", "&x", "&]"};
    for (const char *text : texts) {
        SCOPED_TRACE(text);
        Parsed p = parse(text, kSentinel);
        EXPECT_EQ(p.datatype, nullptr);
        EXPECT_EQ(p.end_pos, kPoison);
        EXPECT_TRUE(p.sentinel_next);
    }
}

TEST(ParserReference, ContainerMarkHoldsForAllMembersAndCountsMoveToRefElements) {
    Parsed copied = parse("[%d]", 5, kSentinel);
    ASSERT_NE(copied.datatype, nullptr);
    EXPECT_EQ(copied.datatype->type, mekal_type_set);
    EXPECT_EQ(copied.datatype->numerical, mekal_numerical_categorical);
    EXPECT_EQ(copied.datatype->num_elements, 5);
    EXPECT_EQ(copied.datatype->num_ref_elements, 0);
    EXPECT_EQ(copied.datatype->is_reference, 0);
    EXPECT_EQ(copied.datatype->num_subtypes, 1);
    EXPECT_EQ(copied.datatype->base_size, 0u);
    EXPECT_EQ(member(copied.datatype.get(), 0), mekal_get_basetype(mekal_type_int));
    EXPECT_TRUE(copied.sentinel_next);

    Parsed referenced = parse("&[%d]", 5, kSentinel);
    ASSERT_NE(referenced.datatype, nullptr);
    EXPECT_EQ(referenced.datatype->num_elements, 0);
    EXPECT_EQ(referenced.datatype->num_ref_elements, 5);
    EXPECT_EQ(referenced.datatype->is_reference, 1);
    EXPECT_EQ(member(referenced.datatype.get(), 0), mekal_get_basetype(mekal_type_int));
    EXPECT_TRUE(referenced.sentinel_next);

    // Inherited at every depth: texts become twins, containers referenced.
    Parsed deep = parse("&(%s,%d,[<%p>])", 3, 4, kSentinel);
    ASSERT_NE(deep.datatype, nullptr);
    EXPECT_EQ(deep.datatype->is_reference, 1);
    EXPECT_EQ(deep.datatype->num_ref_elements, 3);
    EXPECT_EQ(member(deep.datatype.get(), 0), base_record(mekal::kStringRef));
    EXPECT_EQ(member(deep.datatype.get(), 1), base_record(mekal::kInt));
    const mekal_datatype_t *set = member(deep.datatype.get(), 2);
    EXPECT_EQ(set->is_reference, 1);
    EXPECT_EQ(set->num_ref_elements, 4);
    EXPECT_EQ(set->num_elements, 0);
    const mekal_datatype_t *range = member(set, 0);
    EXPECT_EQ(range->type, mekal_type_range);
    EXPECT_EQ(range->is_reference, 1);
    EXPECT_EQ(range->num_ref_elements, 2);
    EXPECT_EQ(member(range, 0), base_record(mekal::kPathRef));

    // A member turns the mode on for itself only.
    Parsed mixed = parse("[(%d, &%s)]", 4, 2, kSentinel);
    ASSERT_NE(mixed.datatype, nullptr);
    EXPECT_EQ(mixed.datatype->is_reference, 0);
    EXPECT_EQ(mixed.datatype->num_elements, 4);
    const mekal_datatype_t *tuple = member(mixed.datatype.get(), 0);
    EXPECT_EQ(tuple->is_reference, 0);
    EXPECT_EQ(tuple->num_elements, 2);
    EXPECT_EQ(member(tuple, 0), base_record(mekal::kInt));
    EXPECT_EQ(member(tuple, 1), base_record(mekal::kStringRef));
    EXPECT_TRUE(mixed.sentinel_next);

    Parsed siblings = parse("(&%s,%s,&[%s])", 3, 1, kSentinel);
    ASSERT_NE(siblings.datatype, nullptr);
    EXPECT_EQ(member(siblings.datatype.get(), 0), base_record(mekal::kStringRef));
    EXPECT_EQ(member(siblings.datatype.get(), 1), base_record(mekal::kString));
    EXPECT_EQ(member(member(siblings.datatype.get(), 2), 0), base_record(mekal::kStringRef));
}

// ------------------------------------------- containers and count order

TEST(ParserContainers, RangeDrawsNoCountAndIgnoresTextBeforeItsBracket) {
    Parsed range = parse("<%f>", kSentinel);
    ASSERT_NE(range.datatype, nullptr);
    EXPECT_EQ(range.datatype->type, mekal_type_range);
    EXPECT_EQ(range.datatype->num_elements, 2);
    EXPECT_EQ(range.datatype->num_ref_elements, 0);
    EXPECT_EQ(range.datatype->num_subtypes, 1);
    EXPECT_EQ(member(range.datatype.get(), 0), mekal_get_basetype(mekal_type_double));
    EXPECT_EQ(range.end_pos, 4);
    EXPECT_TRUE(range.sentinel_next);

    Parsed set = parse("[%d %s] tail", 3, kSentinel);
    ASSERT_NE(set.datatype, nullptr);
    EXPECT_EQ(set.datatype->type, mekal_type_set);
    EXPECT_EQ(set.datatype->num_elements, 3);
    EXPECT_EQ(set.datatype->num_subtypes, 1);
    EXPECT_EQ(member(set.datatype.get(), 0), mekal_get_basetype(mekal_type_int));
    EXPECT_EQ(set.end_pos, 7);
    EXPECT_TRUE(set.sentinel_next);

    Parsed list = parse("{ %u16 }", 0, kSentinel);
    ASSERT_NE(list.datatype, nullptr);
    EXPECT_EQ(list.datatype->type, mekal_type_list);
    EXPECT_EQ(list.datatype->num_elements, 0);
    EXPECT_EQ(member(list.datatype.get(), 0), base_record(mekal::kUnsigned16));
    EXPECT_EQ(list.end_pos, 8);
}

TEST(ParserContainers, TupleTakesExactlyItsCountOfMembers) {
    // Commas, blanks or nothing between members.
    for (const char *text : {"(%d,%s)", "(%d%s)", "( %d , %s )"}) {
        SCOPED_TRACE(text);
        Parsed p = parse(text, 2, kSentinel);
        ASSERT_NE(p.datatype, nullptr);
        EXPECT_EQ(p.datatype->type, mekal_type_tuple);
        EXPECT_EQ(p.datatype->num_elements, 2);
        EXPECT_EQ(p.datatype->num_subtypes, 2);
        EXPECT_EQ(member(p.datatype.get(), 0), base_record(mekal::kInt));
        EXPECT_EQ(member(p.datatype.get(), 1), base_record(mekal::kString));
        EXPECT_EQ(p.end_pos, static_cast<int>(std::strlen(text)));
        EXPECT_TRUE(p.sentinel_next);
    }

    // Count below the members present: the rest is ignored, and the parse
    // still ends after the closing bracket.
    Parsed fewer = parse("(%d,%s)x", 1, kSentinel);
    ASSERT_NE(fewer.datatype, nullptr);
    EXPECT_EQ(fewer.datatype->num_subtypes, 1);
    EXPECT_EQ(fewer.datatype->num_elements, 1);
    EXPECT_EQ(member(fewer.datatype.get(), 0), base_record(mekal::kInt));
    EXPECT_EQ(fewer.end_pos, 7);

    // Count above the members present fails and leaks nothing.
    alloc_hooks::Scope scope;
    Parsed more = parse("(%d,%s)", 3, kSentinel);
    EXPECT_EQ(more.datatype, nullptr);
    EXPECT_EQ(more.end_pos, kPoison);
    EXPECT_TRUE(more.sentinel_next);
    EXPECT_EQ(scope.allocations(), scope.frees());

    // No members: a tuple with neither members nor a subtype array.
    Parsed empty = parse("(%d)", 0, kSentinel);
    ASSERT_NE(empty.datatype, nullptr);
    EXPECT_EQ(empty.datatype->num_subtypes, 0);
    EXPECT_EQ(empty.datatype->num_elements, 0);
    EXPECT_EQ(empty.datatype->subtypes, nullptr);
    EXPECT_EQ(empty.end_pos, 4);

    Parsed nested = parse("((%d,%s),%f)", 2, 2, kSentinel);
    ASSERT_NE(nested.datatype, nullptr);
    const mekal_datatype_t *inner = member(nested.datatype.get(), 0);
    EXPECT_EQ(inner->type, mekal_type_tuple);
    EXPECT_EQ(inner->num_subtypes, 2);
    EXPECT_EQ(member(inner, 0), base_record(mekal::kInt));
    EXPECT_EQ(member(inner, 1), base_record(mekal::kString));
    EXPECT_EQ(member(nested.datatype.get(), 1), base_record(mekal::kDouble));
    EXPECT_TRUE(nested.sentinel_next);
}

TEST(ParserContainers, CountsAreDrawnOuterFirstLeftToRight) {
    Parsed p = parse("([%d],{%s})", 2, 5, 7, kSentinel);
    ASSERT_NE(p.datatype, nullptr);
    EXPECT_EQ(p.datatype->num_elements, 2);
    const mekal_datatype_t *set = member(p.datatype.get(), 0);
    const mekal_datatype_t *list = member(p.datatype.get(), 1);
    EXPECT_EQ(set->type, mekal_type_set);
    EXPECT_EQ(set->num_elements, 5);
    EXPECT_EQ(list->type, mekal_type_list);
    EXPECT_EQ(list->num_elements, 7);
    EXPECT_TRUE(p.sentinel_next);

    Parsed outer_inner = parse("[{%d}]", 3, 4, kSentinel);
    ASSERT_NE(outer_inner.datatype, nullptr);
    EXPECT_EQ(outer_inner.datatype->num_elements, 3);
    EXPECT_EQ(member(outer_inner.datatype.get(), 0)->num_elements, 4);
    EXPECT_TRUE(outer_inner.sentinel_next);

    // Ranges draw nothing, wherever they stand.
    Parsed ranges = parse("<(<%d>,[<%s>])>", 2, 9, kSentinel);
    ASSERT_NE(ranges.datatype, nullptr);
    const mekal_datatype_t *tuple = member(ranges.datatype.get(), 0);
    EXPECT_EQ(tuple->num_elements, 2);
    EXPECT_EQ(member(tuple, 1)->num_elements, 9);
    EXPECT_EQ(member(member(tuple, 1), 0)->num_elements, 2);
    EXPECT_TRUE(ranges.sentinel_next);

    // The exported entry draws from its own arguments in the same order.
    mekal_datatype_t *exported = mekal_new_datatype("([%d],{%s})", 2, 5, 7);
    ASSERT_NE(exported, nullptr);
    EXPECT_EQ(exported->num_elements, 2);
    EXPECT_EQ(exported->subtypes[0]->num_elements, 5);
    EXPECT_EQ(exported->subtypes[1]->num_elements, 7);
    mekal::release_datatype(exported);
}

TEST(ParserContainers, ParsesAStretchAndReportsWhereItEnded) {
    // The formatted entry and the tuple members parse stretches of a text.
    Parsed inner = parse_stretch("[%d]", 1, 3, 0, kSentinel);
    EXPECT_EQ(inner.datatype.get(), base_record(mekal::kInt));
    EXPECT_EQ(inner.end_pos, 3);
    inner.datatype.release();

    Parsed middle = parse_stretch("xx{%s}yy", 2, 6, 0, 6, kSentinel);
    ASSERT_NE(middle.datatype, nullptr);
    EXPECT_EQ(middle.datatype->num_elements, 6);
    EXPECT_EQ(middle.end_pos, 6);

    // The closing bracket must lie below the end bound.
    Parsed cut = parse_stretch("[%d]", 0, 3, 0, kSentinel);
    EXPECT_EQ(cut.datatype, nullptr);
    EXPECT_EQ(cut.end_pos, kPoison);

    Parsed empty = parse_stretch("%d", 1, 1, 0, kSentinel);
    EXPECT_EQ(empty.datatype, nullptr);
    EXPECT_EQ(empty.end_pos, kPoison);

    Parsed inverted = parse_stretch("%d%d", 2, 1, 0, kSentinel);
    EXPECT_EQ(inverted.datatype, nullptr);
}

// ------------------------------------------------------------- failures

TEST(ParserFailures, MalformedScalarsYieldNullAndWriteNoPosition) {
    const char *texts[] = {
        "", "   ", ",,", " , ", "&", "%", "%x", "%F", "%S", "%l", "%ll", "%lll", "%llld",
        "%lx", "%u12", "%u7", "%u0", "%u1", "%i3", "%i7", "%i12", "%f16", "%f8", "%f12",
        "%lf16", "x%d", "d", "]", ">", ")", "}", "%%", "% d",
    };
    for (const char *text : texts) {
        SCOPED_TRACE(text);
        alloc_hooks::Scope scope;
        Parsed p = parse(text, kSentinel);
        EXPECT_EQ(p.datatype, nullptr);
        EXPECT_EQ(p.end_pos, kPoison);
        EXPECT_TRUE(p.sentinel_next);
        EXPECT_EQ(scope.allocations(), 0);
    }
    EXPECT_EQ(mekal_new_datatype(nullptr), nullptr);
    Parsed null_text = parse(nullptr, kSentinel);
    EXPECT_EQ(null_text.datatype, nullptr);
    EXPECT_EQ(null_text.end_pos, kPoison);
}

TEST(ParserFailures, UnclosedOrMisnestedContainersDrawNothing) {
    const char *texts[] = {"[%d}", "[%d", "{[%d}]", "<%d", "<%d]", "(%d,%s", "([%d)]", "[%d>", "{%s)"};
    for (const char *text : texts) {
        SCOPED_TRACE(text);
        alloc_hooks::Scope scope;
        Parsed p = parse(text, kSentinel);
        EXPECT_EQ(p.datatype, nullptr);
        EXPECT_EQ(p.end_pos, kPoison);
        EXPECT_TRUE(p.sentinel_next);
        EXPECT_EQ(scope.allocations(), 0);
    }
}

TEST(ParserFailures, FailingMemberReleasesEverythingAndKeepsDrawnCounts) {
    struct Case {
        const char *text;
        int counts[3];
        int drawn;
    };
    const Case cases[] = {
        {"[%x]", {4}, 1},
        {"([%d],{%q})", {2, 5, 7}, 3},          // list element fails after all counts
        {"([%d],{%s})", {3, 5, 7}, 3},          // third member missing
        {"[(%d,&%s,%u7)]", {4, 3}, 2},
        {"{<[%d}>}", {1}, 1},                    // inner set closed wrongly
        {"(%d,[%s],& %s)", {3, 8}, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        alloc_hooks::Scope scope;
        // Every count the case holds is passed; the sentinel follows the
        // ones the parse is expected to draw.
        Parsed p = c.drawn == 1   ? parse(c.text, c.counts[0], kSentinel)
                   : c.drawn == 2 ? parse(c.text, c.counts[0], c.counts[1], kSentinel)
                                  : parse(c.text, c.counts[0], c.counts[1], c.counts[2], kSentinel);
        EXPECT_EQ(p.datatype, nullptr);
        EXPECT_EQ(p.end_pos, kPoison);
        EXPECT_TRUE(p.sentinel_next);
        EXPECT_GT(scope.allocations(), 0);
        EXPECT_EQ(scope.allocations(), scope.frees());
    }
}

TEST(ParserFailures, NegativeCountsAreRefused) {
    {
        alloc_hooks::Scope scope;
        Parsed p = parse("[%d]", -1, kSentinel);
        EXPECT_EQ(p.datatype, nullptr);
        EXPECT_EQ(p.end_pos, kPoison);
        EXPECT_TRUE(p.sentinel_next);
        EXPECT_EQ(scope.allocations(), 0);
    }
    for (const char *text : {"{%s}", "(%d)", "&[%d]"}) {
        SCOPED_TRACE(text);
        Parsed p = parse(text, -3, kSentinel);
        EXPECT_EQ(p.datatype, nullptr);
        EXPECT_TRUE(p.sentinel_next);
    }
    {
        // The set's negative count stops the parse before the list draws.
        alloc_hooks::Scope scope;
        Parsed p = parse("([%d],{%s})", 2, -5, kSentinel);
        EXPECT_EQ(p.datatype, nullptr);
        EXPECT_TRUE(p.sentinel_next);
        EXPECT_EQ(scope.allocations(), scope.frees());
    }
    {
        // A refusal deep inside releases the members already built.
        alloc_hooks::Scope scope;
        Parsed p = parse("([%d],{%s})", 2, 5, -7, kSentinel);
        EXPECT_EQ(p.datatype, nullptr);
        EXPECT_TRUE(p.sentinel_next);
        EXPECT_GT(scope.allocations(), 0);
        EXPECT_EQ(scope.allocations(), scope.frees());
    }
    // Zero is a count like any other.
    Parsed zero = parse("[%d]", 0, kSentinel);
    ASSERT_NE(zero.datatype, nullptr);
    EXPECT_EQ(zero.datatype->num_elements, 0);
}

TEST(ParserFailures, TupleCountThatCannotFitAllocatesNothing) {
    // Each member needs at least two characters, so a huge count fails
    // before any allocation sized by it.
    alloc_hooks::Scope scope;
    Parsed p = parse("(%d,%s)", 0x7fffffff, kSentinel);
    EXPECT_EQ(p.datatype, nullptr);
    EXPECT_TRUE(p.sentinel_next);
    EXPECT_EQ(scope.allocations(), 0);
}

TEST(ParserFailures, ExhaustedMemoryAtAnyAllocationReleasesEverything) {
    const char *text = "([%d],{(%s,&%p)},<%f>,&{%j})";
    long failures = 0;
    for (long n = 1; n < 100; ++n) {
        SCOPED_TRACE(n);
        alloc_hooks::Scope scope;
        const long failed_before = alloc_hooks::counts().failed;
        alloc_hooks::fail_nth(n);
        Parsed p = parse(text, 4, 3, 5, 2, 6, kSentinel);
        alloc_hooks::fail_nth(0);
        if (p.datatype == nullptr) {
            EXPECT_EQ(alloc_hooks::counts().failed, failed_before + 1);
            EXPECT_EQ(scope.allocations(), scope.frees());
            EXPECT_EQ(p.end_pos, kPoison);
            ++failures;
            continue;
        }
        // The first parse that ran out of allocations to fail is whole.
        EXPECT_EQ(alloc_hooks::counts().failed, failed_before);
        EXPECT_EQ(scope.allocations(), n - 1);
        EXPECT_TRUE(p.sentinel_next);
        EXPECT_EQ(p.datatype->num_elements, 4);
        EXPECT_EQ(p.datatype->num_subtypes, 4);
        const mekal_datatype_t *list = member(p.datatype.get(), 1);
        EXPECT_EQ(list->num_elements, 5);
        EXPECT_EQ(member(member(list, 0), 1), base_record(mekal::kPathRef));
        EXPECT_EQ(member(member(p.datatype.get(), 3), 0), base_record(mekal::kJsonstringRef));
        break;
    }
    // Six containers, each a record and a subtype array.
    EXPECT_EQ(failures, 12);
    alloc_hooks::reset();

    // The exported entry fails cleanly too.
    alloc_hooks::Scope scope;
    alloc_hooks::fail_nth(2);
    EXPECT_EQ(mekal_new_datatype("[%d]", 1), nullptr);
    alloc_hooks::fail_nth(0);
    EXPECT_EQ(scope.allocations(), scope.frees());
}

TEST(ParserFailures, DeepNestingIsCappedWithoutExhaustingTheStack) {
    auto nested = [](int levels) {
        return std::string(static_cast<size_t>(levels), '<') + "%d" +
               std::string(static_cast<size_t>(levels), '>');
    };
    {
        Parsed p = parse(nested(256).c_str(), kSentinel);
        ASSERT_NE(p.datatype, nullptr);
        int depth = 0;
        const mekal_datatype_t *at = p.datatype.get();
        while (at->type == mekal_type_range) {
            at = member(at, 0);
            ++depth;
        }
        EXPECT_EQ(depth, 256);
        EXPECT_EQ(at, base_record(mekal::kInt));
        EXPECT_EQ(p.end_pos, 2 * 256 + 2);
    }
    for (int levels : {257, 100000}) {
        SCOPED_TRACE(levels);
        alloc_hooks::Scope scope;
        Parsed p = parse(nested(levels).c_str(), kSentinel);
        EXPECT_EQ(p.datatype, nullptr);
        EXPECT_EQ(p.end_pos, kPoison);
        EXPECT_EQ(scope.allocations(), scope.frees());
    }
    // Unbalanced: the closing scan fails at the top, before any recursion.
    alloc_hooks::Scope scope;
    const std::string open_only(100000, '[');
    Parsed p = parse(open_only.c_str(), kSentinel);
    EXPECT_EQ(p.datatype, nullptr);
    EXPECT_TRUE(p.sentinel_next);
    EXPECT_EQ(scope.allocations(), 0);

    // The refusal reads no more than the cap's worth of brackets, not the
    // whole text at every level: a page of '[' ending at an unreadable page
    // is refused without a fault.
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void *map = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    auto *text = static_cast<char *>(map);
    std::memset(text, '[', page);
    ASSERT_EQ(mprotect(text + page, page, PROT_NONE), 0);
    Parsed guarded = parse_stretch(text, 0, INT_MAX, 0, kSentinel);
    EXPECT_EQ(guarded.datatype, nullptr);
    EXPECT_TRUE(guarded.sentinel_next);
    munmap(map, 2 * page);
}

}  // namespace
