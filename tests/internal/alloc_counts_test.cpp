// How many heap blocks each operation costs, counted at the allocator: a
// replace through the formatted entry allocates exactly what the new value
// owns and frees exactly what the old one owned, whatever the observers;
// lookups, listings and dispatch allocate nothing; rendering a type string
// or JSON allocates one block of the exact size (the document also one
// array of entry pointers, freed before it returns); parsing a scalar
// allocates nothing.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "alloc_hooks.h"
#include "registry/registry.h"
#include "types/types.h"

namespace {

constexpr const char *kText32 = "conjugate-gradient/jacobi/ilu(0)";
constexpr int kInts[16] = {3, 1, 4, 1, 5, 9, 2, 6, 5, 3, 5, 8, 9, 7, 9, 3};

// "((%d,%s),{%f})" with counts 2, 2, 3, packed: int, text pointer, 3 doubles.
struct PackedTuple {
    unsigned char bytes[36];
    PackedTuple(int n, const char *text) {
        const double list[3] = {1.0e-3, 2.5e-6, 7.0e-9};
        std::memcpy(bytes, &n, 4);
        std::memcpy(bytes + 4, &text, 8);
        std::memcpy(bytes + 12, list, 24);
    }
};

void count_plain(const char *, mekal_category_t, const char *, mekal_value_t *,
                 mekal_datatype_t *, void *opaque) {
    ++*static_cast<long *>(opaque);
}

void count_info(const char *, mekal_value_t *, mekal_datatype_t *,
                mekal_value_info_t *info, void *opaque) {
    if (info != nullptr) ++*static_cast<long *>(opaque);
}

// Built by appending: GCC 12 warns falsely on a literal plus a temporary.
std::string metric_name(int i) {
    std::string name = "metric.";
    name += std::to_string(i);
    name += ".count";
    return name;
}

int stored_int(const char *name) {
    mekal_value_t *value = nullptr;
    if (mekal_get_nameval(name, nullptr, &value, nullptr, nullptr) != 0) return -1;
    return value->as_int;
}

class AllocCounts : public ::testing::Test {
protected:
    void SetUp() override { mekal_clean(); }
    void TearDown() override {
        alloc_hooks::fail_nth(0);
        mekal_clean();
    }
};

TEST_F(AllocCounts, ScalarReplaceWithSubcategoryCostsThreeBlocksWhateverTheObservers) {
    ASSERT_EQ(mekal_namevalue("solver.iters.042", 2, "numerics", "%d", 1), 0);
    long calls = 0;
    int registered = 0;
    int value = 2;
    for (const int observers : {0, 1, 8, 64}) {
        while (registered < observers) {
            mekal_register_cb(1, mekal_category_all, count_plain, 0, &calls);
            ++registered;
        }
        const long calls_before = calls;
        alloc_hooks::Scope scope;
        ASSERT_EQ(mekal_namevalue("solver.iters.042", 2, "numerics", "%d", value), 0);
        // New slot, subcategory copy and info record in; the old three out.
        EXPECT_EQ(scope.allocations(), 3) << observers << " observers";
        EXPECT_EQ(scope.frees(), 3) << observers << " observers";
        EXPECT_EQ(calls - calls_before, observers);
        EXPECT_EQ(stored_int("solver.iters.042"), value);
        ++value;
    }
    // The observers point at this test's locals: clean while they live.
    mekal_clean();
}

TEST_F(AllocCounts, FormattedReplaceAllocatesWhatTheNewValueOwnsAndFreesTheOld) {
    const PackedTuple tuple(500, "cg");
    struct Case {
        const char *label;
        long blocks;  // owned by one recording, entry and name aside
        mekal_type_t type;
        int (*record)(const char *name, const char *subcategory, const PackedTuple &tuple);
    };
    const Case cases[] = {
        {"int, no subcategory", 2, mekal_type_int,  // slot, info
         [](const char *n, const char *s, const PackedTuple &) {
             return mekal_namevalue(n, 2, s, "%d", 7);
         }},
        {"32-byte text", 4, mekal_type_string,  // slot, text copy, subcategory, info
         [](const char *n, const char *s, const PackedTuple &) {
             return mekal_namevalue(n, 2, s, "%s", kText32);
         }},
        {"copied set of 16 ints", 6, mekal_type_set,  // + slot array, set record, subtype array
         [](const char *n, const char *s, const PackedTuple &) {
             return mekal_namevalue(n, 2, s, "[%d]", kInts, 16);
         }},
        {"reference set of 16 ints", 5, mekal_type_set,  // slot, set record, subtype array, subcategory, info
         [](const char *n, const char *s, const PackedTuple &) {
             return mekal_namevalue(n, 2, s, "&[%d]", kInts, 16);
         }},
        {"nested tuple", 13, mekal_type_tuple,  // 3 records + 3 subtype arrays, slot + 3 arrays + text, sub, info
         [](const char *n, const char *s, const PackedTuple &t) {
             return mekal_namevalue(n, 2, s, "((%d,%s),{%f})", t.bytes, 2, 2, 3);
         }},
    };
    for (const Case &c : cases) {
        const char *sub = std::strcmp(c.label, "int, no subcategory") == 0 ? nullptr : "numerics";
        // First an int, so the counted recording replaces a known value.
        ASSERT_EQ(mekal_namevalue("solver.value.x1", 2, sub, "%d", 1), 0);
        ASSERT_EQ(c.record("solver.value.x1", sub, tuple), 0) << c.label;

        alloc_hooks::Scope scope;
        ASSERT_EQ(c.record("solver.value.x1", sub, tuple), 0) << c.label;
        EXPECT_EQ(scope.allocations(), c.blocks) << c.label;
        EXPECT_EQ(scope.frees(), c.blocks) << c.label;
        mekal_datatype_t *stored = nullptr;
        ASSERT_EQ(mekal_get_nameval("solver.value.x1", &stored, nullptr, nullptr, nullptr), 0);
        EXPECT_EQ(stored->type, c.type) << c.label;
        mekal_clean();
    }

    // Dropping the subcategory: its old copy goes and no new one comes.
    ASSERT_EQ(mekal_namevalue("solver.iters.042", 2, "numerics", "%d", 1), 0);
    alloc_hooks::Scope scope;
    ASSERT_EQ(mekal_namevalue("solver.iters.042", 2, nullptr, "%d", 2), 0);
    EXPECT_EQ(scope.allocations(), 2);
    EXPECT_EQ(scope.frees(), 3);
}

TEST_F(AllocCounts, LookupsListingsAndDispatchAllocateNothing) {
    std::vector<std::string> names;
    for (int i = 0; i < 1000; ++i) names.push_back(metric_name(i));
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(mekal_namevalue(names[static_cast<size_t>(i)].c_str(), 2 + i % 2, "bench",
                                  "%d", i),
                  0);
    long plain_calls = 0;
    long info_calls = 0;
    for (int i = 0; i < 32; ++i) {
        mekal_register_cb(1, mekal_category_all, count_plain, 0, &plain_calls);
        mekal_register_cb_with_info(1, mekal_category_all, count_info, 0, &info_calls);
    }

    alloc_hooks::Scope scope;
    long found = 0;
    for (const std::string &name : names) {
        mekal_datatype_t *datatype = nullptr;
        mekal_value_t *value = nullptr;
        mekal_category_t category = 0;
        const char *subcategory = nullptr;
        mekal_value_info_t *info = nullptr;
        found += mekal_get_nameval(name.c_str(), &datatype, &value, &category, &subcategory) == 0;
        found += mekal_get_nameval_with_info(name.c_str(), &datatype, &value, &info) == 0;
    }
    long missed = 0;
    for (int i = 1000; i < 1100; ++i)
        missed += mekal_get_nameval(metric_name(i).c_str(), nullptr, nullptr, nullptr, nullptr) == -1;
    long listed = 0;
    mekal_list_namevals(0, mekal_category_all, count_plain, &listed);
    mekal_list_namevals(0, 3, count_plain, &listed);
    mekal_list_namevals_with_info(0, mekal_category_all, count_info, &listed);
    // Control events reach all 64 observers; the info ones get a record
    // that lives on the dispatch's stack.
    mekal_value_t value;
    value.as_long = 0;
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(mekal_raw_namevalue("progress", mekal_category_control, nullptr, &value,
                                      mekal_get_basetype(mekal_type_int)),
                  0);
    EXPECT_EQ(scope.allocations(), 0);
    EXPECT_EQ(scope.frees(), 0);

    // The std::string temporaries above come from operator new, which the
    // hooks do not see, so these counts are the library's alone.
    EXPECT_EQ(found, 2000);
    EXPECT_EQ(missed, 100);
    EXPECT_EQ(listed, 1000 + 500 + 1000);
    EXPECT_EQ(plain_calls, 10 * 32);
    EXPECT_EQ(info_calls, 10 * 32);
    // The observers point at this test's locals: clean while they live.
    mekal_clean();
}

TEST_F(AllocCounts, TypeToStringAllocatesOneBlockOfTheRenderedLengthPlusOne) {
    std::vector<mekal_datatype_t *> made = {
        mekal_new_datatype("%d"),
        mekal_new_datatype("&%s"),
        mekal_new_datatype("%u8"),
        mekal_new_datatype("[%s]", 8),
        mekal_new_datatype("<%f32>"),
        mekal_new_datatype("((%d,%s),{%f})", 2, 2, 3),
        mekal_new_datatype("[[[[[[[[[[[[[[[[%d]]]]]]]]]]]]]]]]", 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
                           2, 2, 2, 2),
    };
    for (mekal_datatype_t *datatype : made) {
        ASSERT_NE(datatype, nullptr);
        for (const int long_form : {0, 1}) {
            alloc_hooks::Scope scope;
            char *text = mekal_type_to_string(datatype, long_form);
            ASSERT_NE(text, nullptr);
            EXPECT_EQ(scope.allocations(), 1) << text;
            EXPECT_EQ(alloc_hooks::counts().last_request_size, std::strlen(text) + 1) << text;
            std::free(text);
        }
    }
    // Brackets alone: 16 + "%d" + 16 characters, one more for the NUL.
    char *deep = mekal_type_to_string(made.back(), 0);
    ASSERT_NE(deep, nullptr);
    EXPECT_EQ(alloc_hooks::counts().last_request_size, 35u);
    std::free(deep);

    // An empty rendering allocates nothing at all.
    mekal_datatype_t unknown{};
    unknown.type = 19;
    alloc_hooks::Scope scope;
    EXPECT_EQ(mekal_type_to_string(&unknown, 0), nullptr);
    EXPECT_EQ(mekal_type_to_string(&unknown, 1), nullptr);
    EXPECT_EQ(scope.allocations(), 0);

    for (mekal_datatype_t *datatype : made) mekal::release_datatype(datatype);
}

TEST_F(AllocCounts, JsonRenderingLeavesOneBlockOfTheTextsLengthPlusOne) {
    const char *texts[2] = {kText32, "tab\there"};
    ASSERT_EQ(mekal_namevalue("texts", 2, "s", "{%s}", texts, 2), 0);
    ASSERT_EQ(mekal_namevalue("half", 3, nullptr, "%f", 0.5), 0);
    mekal_datatype_t *datatype = nullptr;
    mekal_value_t *value = nullptr;
    ASSERT_EQ(mekal_get_nameval("texts", &datatype, &value, nullptr, nullptr), 0);
    for (const bool document : {false, true}) {
        alloc_hooks::Scope scope;
        char *text = document ? mekal_namevals_to_json(mekal_category_all)
                              : mekal_value_to_json(value, datatype);
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(scope.allocations(), document ? 2 : 1) << text;
        EXPECT_EQ(scope.frees(), document ? 1 : 0) << text;
        EXPECT_EQ(alloc_hooks::counts().last_request_size, std::strlen(text) + 1) << text;
        std::free(text);
    }
}

TEST_F(AllocCounts, ParsingAllocatesNothingForScalarsAndTwoBlocksPerContainer) {
    for (const char *scalar : {"%d", "%ld", "%llu", "%u16", "%i8", "%f32", "%f", "%D", "%t", "%s",
                               "&%s", "%p", "&%j", " ,%v", "%r"}) {
        alloc_hooks::Scope scope;
        mekal_datatype_t *datatype = mekal_new_datatype(scalar);
        ASSERT_NE(datatype, nullptr) << scalar;
        EXPECT_EQ(datatype->subtypes, nullptr) << scalar;
        EXPECT_EQ(scope.allocations(), 0) << scalar;
    }

    // A container is its record and its subtype array.
    struct Case {
        const char *label;
        long containers;
        mekal_datatype_t *(*parse)();
    };
    const Case cases[] = {
        {"[%s]", 1, [] { return mekal_new_datatype("[%s]", 8); }},
        {"<%d>", 1, [] { return mekal_new_datatype("<%d>"); }},
        {"((%d,%s),{%f})", 3, [] { return mekal_new_datatype("((%d,%s),{%f})", 2, 2, 3); }},
        {"depth 16", 16,
         [] {
             return mekal_new_datatype("[[[[[[[[[[[[[[[[%d]]]]]]]]]]]]]]]]", 2, 2, 2, 2, 2, 2, 2,
                                       2, 2, 2, 2, 2, 2, 2, 2, 2);
         }},
    };
    for (const Case &c : cases) {
        alloc_hooks::Scope scope;
        mekal_datatype_t *datatype = c.parse();
        ASSERT_NE(datatype, nullptr) << c.label;
        EXPECT_EQ(scope.allocations(), 2 * c.containers) << c.label;
        mekal::release_datatype(datatype);
        EXPECT_EQ(scope.frees(), 2 * c.containers) << c.label;
    }

    // A refused type string leaves nothing behind, also after containers
    // were already built.
    alloc_hooks::Scope refused;
    EXPECT_EQ(mekal_new_datatype("%x"), nullptr);
    EXPECT_EQ(mekal_new_datatype("[(%d,%s)]", 2, 3), nullptr);
    EXPECT_EQ(mekal_new_datatype("[[%d]", 2, 2), nullptr);
    EXPECT_EQ(mekal_namevalue("refused", 2, "numerics", "& %s", kText32), -1);
    EXPECT_EQ(mekal_namevalue("refused", 2, "numerics", "(%d,%s)", kInts, 3), -1);
    EXPECT_EQ(refused.allocations(), refused.frees());
    EXPECT_EQ(mekal_get_nameval("refused", nullptr, nullptr, nullptr, nullptr), -1);
}

}  // namespace
