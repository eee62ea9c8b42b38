// Rendering datatypes in the short form ("[%d]") and the long form
// ("set of int"), the measuring pass and the bounded writing pass.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "alloc_hooks.h"
#include "types/types.h"

namespace {

struct DatatypeDeleter {
    void operator()(mekal_datatype_t *datatype) const { mekal::release_datatype(datatype); }
};
using Datatype = std::unique_ptr<mekal_datatype_t, DatatypeDeleter>;

int measure(const mekal_datatype_t *datatype, int long_form) {
    return mekal::render_type(datatype, nullptr, 0, 0, long_form, 1);
}

// The rendered text, checked against the measured count on the way.
std::string rendered(const mekal_datatype_t *datatype, int long_form) {
    char *text = mekal_type_to_string(datatype, long_form);
    if (text == nullptr) return "<null>";
    std::string out(text);
    EXPECT_EQ(static_cast<int>(out.size()), measure(datatype, long_form)) << out;
    std::free(text);
    return out;
}

mekal_datatype_t scalar(int32_t code) {
    mekal_datatype_t record{};
    record.type = code;
    return record;
}

// A container over the given members, built by hand so that any code and
// any member, valid or not, can be rendered.
mekal_datatype_t container(int32_t code, mekal_datatype_t **members, int32_t count) {
    mekal_datatype_t record{};
    record.type = code;
    record.numerical = mekal_numerical_categorical;
    record.num_subtypes = count;
    record.subtypes = members;
    return record;
}

TEST(Render, EveryCodeInBothForms) {
    struct Case {
        int32_t code;
        const char *short_form;
        const char *long_form;
    };
    const Case scalars[] = {
        {0, "unset", "unset"},
        {1, "%ld", "long"},
        {2, "%lu", "unsigned long"},
        {3, "%d", "int"},
        {4, "%u", "unsigned int"},
        {5, "%f", "double"},
        {6, "%D", "date"},
        {7, "%t", "timeval"},
        {8, "%v", "version"},
        {9, "%s", "string"},
        {10, "%r", "catstring"},
        {11, "%p", "path"},
        {16, "%lld", "long long"},
        {17, "%llu", "unsigned long long"},
        {18, "%j", "jsonstring"},
    };
    for (const Case &c : scalars) {
        SCOPED_TRACE(c.code);
        const mekal_datatype_t record = scalar(c.code);
        EXPECT_EQ(rendered(&record, 0), c.short_form);
        EXPECT_EQ(rendered(&record, 1), c.long_form);
        if (c.code != 0) {
            EXPECT_EQ(rendered(mekal_get_basetype(c.code), 0), c.short_form);
            EXPECT_EQ(rendered(mekal_get_basetype(c.code), 7), c.long_form);  // any non-zero flag
        }
    }

    mekal_datatype_t *int_member[] = {mekal_get_basetype(mekal_type_int)};
    mekal_datatype_t *two_members[] = {mekal_get_basetype(mekal_type_int),
                                       mekal_get_basetype(mekal_type_path)};
    const mekal_datatype_t range = container(mekal_type_range, int_member, 1);
    const mekal_datatype_t set = container(mekal_type_set, int_member, 1);
    const mekal_datatype_t list = container(mekal_type_list, int_member, 1);
    const mekal_datatype_t tuple = container(mekal_type_tuple, two_members, 2);
    EXPECT_EQ(rendered(&range, 0), "<%d>");
    EXPECT_EQ(rendered(&range, 1), "range of int");
    EXPECT_EQ(rendered(&set, 0), "[%d]");
    EXPECT_EQ(rendered(&set, 1), "set of int");
    EXPECT_EQ(rendered(&list, 0), "{%d}");
    EXPECT_EQ(rendered(&list, 1), "list of int");
    EXPECT_EQ(rendered(&tuple, 0), "(%d, %p)");
    EXPECT_EQ(rendered(&tuple, 1), "tuple of (int, path)");
}

TEST(Render, ParsedExamplesRenderInBothForms) {
    struct Case {
        Datatype datatype;
        const char *short_form;
        const char *long_form;
    };
    Case cases[] = {
        {Datatype(mekal_new_datatype("[%d]", 3)), "[%d]", "set of int"},
        {Datatype(mekal_new_datatype("<%f>")), "<%f>", "range of double"},
        {Datatype(mekal_new_datatype("(%s,%u)", 2)), "(%s, %u)", "tuple of (string, unsigned int)"},
        {Datatype(mekal_new_datatype("{(%d,%p)}", 4, 2)), "{(%d, %p)}", "list of tuple of (int, path)"},
        {Datatype(mekal_new_datatype("[[%ld]]", 2, 3)), "[[%ld]]", "set of set of long"},
        {Datatype(mekal_new_datatype("([%d],{%s})", 2, 5, 7)), "([%d], {%s})",
         "tuple of (set of int, list of string)"},
        {Datatype(mekal_new_datatype("((%d,%s),%f)", 2, 2)), "((%d, %s), %f)",
         "tuple of (tuple of (int, string), double)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.short_form);
        ASSERT_NE(c.datatype, nullptr);
        EXPECT_EQ(rendered(c.datatype.get(), 0), c.short_form);
        EXPECT_EQ(rendered(c.datatype.get(), 1), c.long_form);
    }
}

TEST(Render, ReferenceWidthCountsAndScaleNeverShow) {
    Datatype referenced(mekal_new_datatype("&[%s]", 4));
    Datatype copied(mekal_new_datatype("[%s]", 9));
    ASSERT_NE(referenced, nullptr);
    ASSERT_NE(copied, nullptr);
    EXPECT_EQ(rendered(referenced.get(), 0), "[%s]");
    EXPECT_EQ(rendered(referenced.get(), 1), rendered(copied.get(), 1));
    EXPECT_EQ(rendered(mekal_new_datatype("&%p"), 0), "%p");

    EXPECT_EQ(rendered(mekal_new_datatype("%i8"), 0), "%d");
    EXPECT_EQ(rendered(mekal_new_datatype("%i8"), 1), "int");
    EXPECT_EQ(rendered(mekal_new_datatype("%f32"), 0), "%f");
    EXPECT_EQ(rendered(mekal_new_datatype("%f32"), 1), "double");
    EXPECT_EQ(rendered(mekal_new_datatype("%u16"), 0), "%u");
    EXPECT_EQ(rendered(mekal_new_datatype("%u16"), 1), "unsigned int");
    EXPECT_EQ(rendered(mekal_new_datatype("%i64"), 0), "%lld");
    EXPECT_EQ(rendered(mekal_new_datatype("%i64"), 1), "long long");

    // Only type, num_subtypes and subtypes are read.
    mekal_datatype_t odd = scalar(mekal_type_string);
    odd.numerical = 99;
    odd.num_elements = -4;
    odd.num_ref_elements = 12;
    odd.base_size = 3;
    odd.is_reference = 1;
    EXPECT_EQ(rendered(&odd, 0), "%s");
}

TEST(Render, EmptyOutOfRangeAndMissingPartsNeverCrash) {
    EXPECT_EQ(mekal_type_to_string(nullptr, 0), nullptr);
    EXPECT_EQ(measure(nullptr, 0), 0);

    for (int32_t code : {19, -1, 25, INT32_MIN}) {
        SCOPED_TRACE(code);
        const mekal_datatype_t record = scalar(code);
        alloc_hooks::Scope scope;
        EXPECT_EQ(mekal_type_to_string(&record, 0), nullptr);
        EXPECT_EQ(mekal_type_to_string(&record, 1), nullptr);
        EXPECT_EQ(scope.allocations(), 0);  // nothing to render, nothing allocated
        EXPECT_EQ(measure(&record, 0), 0);
    }

    const mekal_datatype_t unset = scalar(mekal_type_unset);
    EXPECT_EQ(measure(&unset, 0), 5);
    EXPECT_EQ(rendered(&unset, 0), "unset");
    EXPECT_EQ(rendered(&unset, 1), "unset");

    const mekal_datatype_t no_members = container(mekal_type_tuple, nullptr, 0);
    EXPECT_EQ(rendered(&no_members, 0), "()");
    EXPECT_EQ(rendered(&no_members, 1), "tuple of ()");
    Datatype parsed_empty(mekal_new_datatype("(%d)", 0));
    ASSERT_NE(parsed_empty, nullptr);
    EXPECT_EQ(rendered(parsed_empty.get(), 0), "()");

    // A member outside the codes renders nothing but keeps its separator.
    mekal_datatype_t code25 = scalar(25);
    mekal_datatype_t *with_bad[] = {mekal_get_basetype(mekal_type_int), &code25};
    const mekal_datatype_t bad_member = container(mekal_type_tuple, with_bad, 2);
    EXPECT_EQ(rendered(&bad_member, 0), "(%d, )");
    EXPECT_EQ(rendered(&bad_member, 1), "tuple of (int, )");
    mekal_datatype_t *bad_first[] = {&code25, mekal_get_basetype(mekal_type_date)};
    const mekal_datatype_t bad_first_member = container(mekal_type_tuple, bad_first, 2);
    EXPECT_EQ(rendered(&bad_first_member, 0), "(, %D)");

    // A null member, or a null array behind a member count, likewise.
    mekal_datatype_t *with_null[] = {nullptr, mekal_get_basetype(mekal_type_string), nullptr};
    const mekal_datatype_t null_member = container(mekal_type_tuple, with_null, 3);
    EXPECT_EQ(rendered(&null_member, 0), "(, %s, )");
    const mekal_datatype_t null_array = container(mekal_type_tuple, nullptr, 2);
    EXPECT_EQ(rendered(&null_array, 0), "(, )");
    EXPECT_EQ(rendered(&null_array, 1), "tuple of (, )");
    const mekal_datatype_t null_set = container(mekal_type_set, nullptr, 1);
    EXPECT_EQ(rendered(&null_set, 0), "[]");
    EXPECT_EQ(rendered(&null_set, 1), "set of ");
    const mekal_datatype_t negative = container(mekal_type_list, nullptr, -3);
    EXPECT_EQ(rendered(&negative, 0), "{}");

    // A nested out-of-range container member.
    mekal_datatype_t *inner_bad[] = {&code25};
    mekal_datatype_t inner = container(mekal_type_set, inner_bad, 1);
    mekal_datatype_t *outer_members[] = {&inner};
    const mekal_datatype_t outer = container(mekal_type_list, outer_members, 1);
    EXPECT_EQ(rendered(&outer, 0), "{[]}");
    EXPECT_EQ(rendered(&outer, 1), "list of set of ");
}

TEST(Render, TextLengthAlwaysEqualsTheMeasuredCount) {
    const struct {
        const char *text;
        int counts[4];
    } strings[] = {
        {"%d", {}},
        {"%llu", {}},
        {"&%j", {}},
        {"[%d]", {1}},
        {"<{%t}>", {2}},
        {"([%d],{%s})", {2, 5, 7}},
        {"&(%s,%d,[<%p>])", {3, 4}},
        {"{(%i8,(%u16,%f32),[%lu])}", {1, 3, 2, 9}},
    };
    for (const auto &s : strings) {
        Datatype datatype(mekal_new_datatype(s.text, s.counts[0], s.counts[1], s.counts[2], s.counts[3]));
        ASSERT_NE(datatype, nullptr) << s.text;
        for (int long_form : {0, 1}) {
            SCOPED_TRACE(std::string(s.text) + (long_form ? " long" : " short"));
            const int count = measure(datatype.get(), long_form);
            ASSERT_GT(count, 0);
            char *text = mekal_type_to_string(datatype.get(), long_form);
            ASSERT_NE(text, nullptr);
            EXPECT_EQ(static_cast<int>(std::strlen(text)), count);

            // The writing pass fills an exact buffer and reports the same count.
            std::string buffer(static_cast<size_t>(count) + 1, '#');
            EXPECT_EQ(mekal::render_type(datatype.get(), buffer.data(), count + 1, 0, long_form, 0), count);
            EXPECT_STREQ(buffer.c_str(), text);
            std::free(text);
        }
    }
    // Sample outputs of the nested case, to prove the texts are not merely long enough.
    Datatype nested(mekal_new_datatype("{(%i8,(%u16,%f32),[%lu])}", 1, 3, 2, 9));
    EXPECT_EQ(rendered(nested.get(), 0), "{(%d, (%u, %f), [%lu])}");
    EXPECT_EQ(rendered(nested.get(), 1),
              "list of tuple of (int, tuple of (unsigned int, double), set of unsigned long)");
}

TEST(Render, WritingStaysInsideTheBuffer) {
    Datatype datatype(mekal_new_datatype("{(%d,%p)}", 1, 2));
    ASSERT_NE(datatype, nullptr);
    const int count = measure(datatype.get(), 0);
    ASSERT_EQ(count, 10);

    // Too small: what fits is written, NUL-terminated, and the count is
    // still the whole text's.
    char small[8];
    std::memset(small, '#', sizeof small);
    EXPECT_EQ(mekal::render_type(datatype.get(), small, 5, 0, 0, 0), count);
    EXPECT_STREQ(small, "{(%d");
    EXPECT_EQ(std::string(small + 5, 3), "###");

    // At a position: the text starts there and nothing before it changes.
    char offset[16];
    std::memset(offset, 'x', sizeof offset);
    EXPECT_EQ(mekal::render_type(datatype.get(), offset, 14, 3, 0, 0), count);
    EXPECT_STREQ(offset, "xxx{(%d, %p)}");

    // Positions at or past the end, and a missing buffer, write nothing.
    char full[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(mekal::render_type(datatype.get(), full, 4, 4, 0, 0), count);
    EXPECT_EQ(mekal::render_type(datatype.get(), full, 4, 9, 1, 0), measure(datatype.get(), 1));
    EXPECT_EQ(std::string(full, 4), "abcd");
    // A negative start writes only the pieces that land inside.
    EXPECT_EQ(mekal::render_type(datatype.get(), full, 4, -2, 0, 0), count);
    EXPECT_EQ(std::string(full, 4), std::string("%d,\0", 4));
    EXPECT_EQ(mekal::render_type(datatype.get(), nullptr, 64, 0, 0, 0), count);
}

TEST(Render, EveryCallAllocatesOneFreshTextAndFailsCleanly) {
    Datatype datatype(mekal_new_datatype("[%s]", 1));
    ASSERT_NE(datatype, nullptr);
    alloc_hooks::Scope scope;
    char *first = mekal_type_to_string(datatype.get(), 0);
    char *second = mekal_type_to_string(datatype.get(), 0);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_STREQ(first, second);
    EXPECT_EQ(scope.allocations(), 2);
    std::free(first);
    std::free(second);

    alloc_hooks::fail_nth(1);
    EXPECT_EQ(mekal_type_to_string(datatype.get(), 1), nullptr);
    alloc_hooks::fail_nth(0);
    EXPECT_EQ(scope.allocations(), scope.frees());
    EXPECT_EQ(rendered(datatype.get(), 1), "set of string");
}

TEST(Render, NestingBeyondTheCapIsRefused) {
    // As deep as the parser goes, everything renders.
    const std::string deepest = std::string(256, '<') + "%d" + std::string(256, '>');
    Datatype parsed(mekal_new_datatype(deepest.c_str()));
    ASSERT_NE(parsed, nullptr);
    EXPECT_EQ(rendered(parsed.get(), 0), deepest);

    // One level more, or a hand-made set that contains itself, fails
    // instead of giving a cut text that names another type (and instead
    // of recursing until the stack runs out).
    mekal_datatype_t *inner[1] = {parsed.get()};
    mekal_datatype_t deeper = container(mekal_type_list, inner, 1);
    mekal_datatype_t *self[1] = {nullptr};
    mekal_datatype_t cycle = container(mekal_type_set, self, 1);
    self[0] = &cycle;
    for (const mekal_datatype_t *refused : {&deeper, &cycle}) {
        for (const int long_form : {0, 1}) {
            EXPECT_EQ(rendered(refused, long_form), "<null>");
            EXPECT_EQ(measure(refused, long_form), -1);
        }
    }
}

}  // namespace
