// mekal.hpp: every deduced kind stores the same datatype and value as the
// explicit C call, typed read-back refuses what does not match, composite
// values the C ABI cannot express are refused, and capturing observers are
// called and then released by mekal_clean.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <climits>
#include <cstring>
#include <deque>
#include <list>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_set>
#include <utility>
#include <vector>

#include "mekal.hpp"
#include "registry/registry.h"

using namespace std::chrono_literals;
using std::chrono::microseconds;
using std::chrono::seconds;
using std::chrono::system_clock;

namespace {

// Packs values by hand, as a C caller would lay them out.
struct packer {
    std::vector<unsigned char> bytes;
    template <class T>
    packer &put(T v) {
        const auto *p = reinterpret_cast<const unsigned char *>(&v);
        bytes.insert(bytes.end(), p, p + sizeof v);
        return *this;
    }
    void *data() { return bytes.empty() ? static_cast<void *>(this) : bytes.data(); }
};

std::string rendered(const mekal_datatype_t *datatype, int long_form) {
    char *text = mekal_type_to_string(datatype, long_form);
    std::string out = text ? text : "<null>";
    std::free(text);
    return out;
}

bool stored(const char *name) {
    return mekal_get_nameval(name, nullptr, nullptr, nullptr, nullptr) == 0;
}

// Compares two stored values element by element, descending into
// containers through the public element access.
void expect_same_value(const mekal_datatype_t *a, const mekal_value_t &va,
                       const mekal_datatype_t *b, const mekal_value_t &vb,
                       const std::string &where) {
    ASSERT_NE(a, nullptr) << where;
    ASSERT_NE(b, nullptr) << where;
    ASSERT_EQ(a->type, b->type) << where;
    ASSERT_EQ(a->base_size, b->base_size) << where;
    ASSERT_EQ(mekal_num_subvals(a), mekal_num_subvals(b)) << where;
    switch (a->type) {
    case mekal_type_range:
    case mekal_type_set:
    case mekal_type_list:
    case mekal_type_tuple:
        for (int i = 0; i < mekal_num_subvals(a); ++i) {
            mekal_datatype_t *sa = nullptr, *sb = nullptr;
            mekal_value_t ea{}, eb{};
            ASSERT_EQ(mekal_get_subval(a, &va, i, &sa, &ea), 0) << where << "[" << i << "]";
            ASSERT_EQ(mekal_get_subval(b, &vb, i, &sb, &eb), 0) << where << "[" << i << "]";
            expect_same_value(sa, ea, sb, eb, where + "[" + std::to_string(i) + "]");
        }
        break;
    case mekal_type_int:
    case mekal_type_unsigned_int:
        EXPECT_EQ(va.as_int, vb.as_int) << where;
        break;
    case mekal_type_long:
    case mekal_type_unsigned_long:
    case mekal_type_long_long:
    case mekal_type_unsigned_long_long:
    case mekal_type_date:
        EXPECT_EQ(va.as_long, vb.as_long) << where;
        break;
    case mekal_type_double:
        EXPECT_EQ(va.as_double, vb.as_double) << where;
        break;
    case mekal_type_timeval: {
        const auto *ta = static_cast<const struct timeval *>(va.as_ptr);
        const auto *tb = static_cast<const struct timeval *>(vb.as_ptr);
        ASSERT_NE(ta, nullptr) << where;
        ASSERT_NE(tb, nullptr) << where;
        EXPECT_EQ(ta->tv_sec, tb->tv_sec) << where;
        EXPECT_EQ(ta->tv_usec, tb->tv_usec) << where;
        break;
    }
    default:  // the text kinds
        ASSERT_NE(va.as_ptr, nullptr) << where;
        ASSERT_NE(vb.as_ptr, nullptr) << where;
        EXPECT_STREQ(static_cast<const char *>(va.as_ptr), static_cast<const char *>(vb.as_ptr))
            << where;
    }
}

// The values under the two names have the same datatype, in both
// renderings, and the same contents.
void expect_same_entry(const char *cpp_name, const char *c_name) {
    mekal_datatype_t *a = nullptr, *b = nullptr;
    mekal_value_t *va = nullptr, *vb = nullptr;
    ASSERT_EQ(mekal_get_nameval(cpp_name, &a, &va, nullptr, nullptr), 0) << cpp_name;
    ASSERT_EQ(mekal_get_nameval(c_name, &b, &vb, nullptr, nullptr), 0) << c_name;
    EXPECT_EQ(rendered(a, 0), rendered(b, 0));
    EXPECT_EQ(rendered(a, 1), rendered(b, 1));
    expect_same_value(a, *va, b, *vb, rendered(b, 0));
}

class CppInterface : public ::testing::Test {
protected:
    void SetUp() override { mekal_clean(); }
    void TearDown() override { mekal_clean(); }

    // Records v through mekal::value and through mekal_namevalue with the
    // explicit type string and arguments; both entries must agree, and the
    // value reads back as Read.
    template <class ReadAs, class T, class... CArgs>
    void check_kind(const T &v, const char *typestr, CArgs... c_args) {
        using Read = std::remove_cv_t<ReadAs>;
        SCOPED_TRACE(typestr);
        EXPECT_STREQ(mekal::type_string<T>(), typestr);
        ASSERT_EQ(mekal::value("via_cpp", v), 0);
        ASSERT_EQ(mekal_namevalue("via_c", mekal_category_general, nullptr, typestr, c_args...), 0);
        expect_same_entry("via_cpp", "via_c");
        const std::optional<Read> back = mekal::get<Read>("via_cpp");
        ASSERT_TRUE(back.has_value());
        EXPECT_TRUE(*back == Read(v));
        // The C recording reads back through the same deduction.
        const std::optional<Read> c_back = mekal::get<Read>("via_c");
        ASSERT_TRUE(c_back.has_value());
        EXPECT_TRUE(*c_back == Read(v));
        mekal_clean();
    }
};

TEST_F(CppInterface, ScalarsStoreTheDatatypeAndValueOfTheirTypeString) {
    check_kind<int8_t>(int8_t{-5}, "%i8", -5);
    check_kind<uint8_t>(uint8_t{200}, "%u8", 200u);
    check_kind<int16_t>(int16_t{-30000}, "%i16", -30000);
    check_kind<uint16_t>(uint16_t{60000}, "%u16", 60000u);
    check_kind<int>(-7, "%d", -7);
    check_kind<unsigned>(4000000000u, "%u", 4000000000u);
    check_kind<long>(-(1L << 40), "%ld", -(1L << 40));
    check_kind<unsigned long>(~0UL, "%lu", ~0UL);
    check_kind<long long>(-(1LL << 50), "%lld", -(1LL << 50));
    check_kind<unsigned long long>(~0ULL - 1, "%llu", ~0ULL - 1);
    check_kind<float>(1.25f, "%f32", 1.25);
    check_kind<double>(-2.5e-300, "%f", -2.5e-300);

    // A top-level small integer keeps its width in the datatype and its
    // value in as_int.
    ASSERT_EQ(mekal::value("small", int8_t{-128}), 0);
    mekal_datatype_t *datatype = nullptr;
    mekal_value_t *value = nullptr;
    ASSERT_EQ(mekal_get_nameval("small", &datatype, &value, nullptr, nullptr), 0);
    EXPECT_EQ(datatype->base_size, 1u);
    EXPECT_EQ(value->as_int, -128);
    EXPECT_EQ(rendered(datatype, 1), "int");
}

TEST_F(CppInterface, TextsAreCopiedFromEveryTextKind) {
    const std::string text = "owned text";
    check_kind<std::string>(text, "%s", text.c_str());
    const char *c_text = "c text";
    check_kind<std::string>(c_text, "%s", c_text);
    check_kind<std::string>("literal", "%s", "literal");
    // A view into the middle of a buffer has no NUL of its own.
    const char buffer[] = "abcdef";
    const std::string_view view = std::string_view(buffer).substr(1, 3);
    check_kind<std::string>(view, "%s", "bcd");
    check_kind<mekal::version>(mekal::version("1.2.3"), "%v", "1.2.3");
    check_kind<mekal::path>(mekal::path("/tmp/x"), "%p", "/tmp/x");
    check_kind<mekal::catstring>(mekal::catstring("red"), "%r", "red");
    check_kind<mekal::jsonstring>(mekal::jsonstring("{\"a\":1}"), "%j", "{\"a\":1}");

    // The library keeps its own copy, not the caller's buffer.
    std::string changing = "before";
    ASSERT_EQ(mekal::value("copy", changing), 0);
    changing[0] = 'X';
    EXPECT_EQ(mekal::get<std::string>("copy"), std::optional<std::string>("before"));
}

TEST_F(CppInterface, DatesRoundDownToSecondsAndIntervalsToMicroseconds) {
    const system_clock::time_point whole{seconds(1700000000)};
    check_kind<system_clock::time_point>(whole, "%D", 1700000000L);
    const struct timeval minus_one_and_a_half{-2, 500000};
    check_kind<microseconds>(microseconds(-1500000), "%t", &minus_one_and_a_half);
    const struct timeval some{3, 250};
    check_kind<microseconds>(microseconds(3000250), "%t", &some);

    ASSERT_EQ(mekal::value("later", system_clock::time_point{seconds(100) + 700ms}), 0);
    ASSERT_EQ(mekal::value("earlier", system_clock::time_point{-500ms}), 0);
    ASSERT_EQ(mekal::value("interval", std::chrono::nanoseconds(2500001999)), 0);
    mekal_value_t *value = nullptr;
    ASSERT_EQ(mekal_get_nameval("later", nullptr, &value, nullptr, nullptr), 0);
    EXPECT_EQ(value->as_long, 100);
    ASSERT_EQ(mekal_get_nameval("earlier", nullptr, &value, nullptr, nullptr), 0);
    EXPECT_EQ(value->as_long, -1);
    ASSERT_EQ(mekal_get_nameval("interval", nullptr, &value, nullptr, nullptr), 0);
    const auto *tv = static_cast<const struct timeval *>(value->as_ptr);
    EXPECT_EQ(tv->tv_sec, 2);
    EXPECT_EQ(tv->tv_usec, 500001);
    EXPECT_EQ(mekal::get<std::chrono::milliseconds>("interval"), std::chrono::milliseconds(2500));

    // An interval a timeval of microseconds cannot hold is refused.
    EXPECT_EQ(mekal::value("too_long", std::chrono::hours(std::chrono::hours::max())), -1);
    EXPECT_EQ(mekal::value("nan", std::chrono::duration<double>(std::nan(""))), -1);
    EXPECT_FALSE(stored("too_long"));
    EXPECT_FALSE(stored("nan"));
}

TEST_F(CppInterface, FlatContainersPackTheirElementsInTheirOwnWidths) {
    const std::vector<int8_t> bytes{-1, 127, -128};
    check_kind<std::vector<int8_t>>(bytes, "{%i8}",
                                    packer().put<int8_t>(-1).put<int8_t>(127).put<int8_t>(-128).data(),
                                    3);
    {
        // Packed without padding: the C recording above used the same bytes.
        packer p;
        p.put<uint16_t>(1).put<uint16_t>(65535);
        check_kind<std::vector<uint16_t>>(std::vector<uint16_t>{1, 65535}, "{%u16}", p.data(), 2);
    }
    {
        packer p;
        p.put(0.5f).put(-1.5f).put(3.0f);
        check_kind<std::array<float, 3>>(std::array<float, 3>{0.5f, -1.5f, 3.0f}, "{%f32}", p.data(),
                                         3);
    }
    {
        const std::list<std::string> names{"alpha", "beta"};
        packer p;
        p.put("alpha").put("beta");
        check_kind<std::list<std::string>>(names, "{%s}", p.data(), 2);
    }
    {
        packer p;
        p.put(-3).put(7).put(40);
        check_kind<std::set<int>>(std::set<int>{40, -3, 7}, "[%d]", p.data(), 3);
    }
    {
        const std::unordered_set<long> longs{1L << 40, -2, 5};
        packer p;
        for (long v : longs) p.put(v);
        check_kind<std::unordered_set<long>>(longs, "[%ld]", p.data(), 3);
    }
    {
        packer p;
        p.put(1.0).put(2.0);
        check_kind<std::deque<double>>(std::deque<double>{1.0, 2.0}, "{%f}", p.data(), 1 + 1);
    }
    {
        packer p;
        p.put(-0.5).put(0.5);
        check_kind<mekal::range<double>>(mekal::range<double>{-0.5, 0.5}, "<%f>", p.data());
    }
    {
        const std::pair<int, std::string> pair{42, "answer"};
        packer p;
        p.put(42).put("answer");
        check_kind<std::pair<int, std::string>>(pair, "(%d,%s)", p.data(), 2);
    }
    {
        // A tuple of texts and small integers: 1 + 8 + 8 + 8 + 2 bytes.
        const std::tuple<int8_t, std::string, double, mekal::path, uint16_t> t{
            -9, "name", 0.25, mekal::path("/etc"), 513};
        packer p;
        p.put<int8_t>(-9).put("name").put(0.25).put("/etc").put<uint16_t>(513);
        ASSERT_EQ(p.bytes.size(), 27u);
        check_kind<decltype(t)>(t, "(%i8,%s,%f,%p,%u16)", p.data(), 5);
    }
    {
        packer p;
        check_kind<std::vector<int>>(std::vector<int>{}, "{%d}", p.data(), 0);
        check_kind<std::tuple<>>(std::tuple<>{}, "()", p.data(), 0);
    }
}

TEST_F(CppInterface, NestedContainersTakeOneCountPerContainerInOpeningOrder) {
    {
        // Three levels, 2 x 3 x 4 ints, packed as 96 contiguous bytes.
        std::vector<std::vector<std::vector<int>>> cube(2, std::vector<std::vector<int>>(3));
        packer p;
        int n = 0;
        for (auto &plane : cube)
            for (auto &row : plane)
                for (int k = 0; k < 4; ++k) {
                    row.push_back(n);
                    p.put(n++);
                }
        check_kind<decltype(cube)>(cube, "{{{%d}}}", p.data(), 2, 3, 4);
    }
    {
        // A list of sets of 2-byte pairs: three levels, 1- and 2-byte widths.
        const std::vector<std::set<std::array<int16_t, 2>>> v{{{1, -2}, {3, 4}}, {{-5, 6}, {7, 8}}};
        packer p;
        for (const auto &s : v)
            for (const auto &a : s) p.put(a[0]).put(a[1]);
        check_kind<decltype(v)>(v, "{[{%i16}]}", p.data(), 2, 2, 2);
    }
    {
        const std::set<std::set<int>> v{{1, 2}, {3, 4}};
        check_kind<decltype(v)>(v, "[[%d]]", packer().put(1).put(2).put(3).put(4).data(), 2, 2);
    }
    {
        // A tuple's count comes before its members' counts.
        const std::tuple<std::vector<int>, std::string, std::set<std::string>> t{
            {1, 2, 3}, "mid", {"x", "y"}};
        packer p;
        p.put(1).put(2).put(3).put("mid").put("x").put("y");
        check_kind<decltype(t)>(t, "({%d},%s,[%s])", p.data(), 3, 3, 2);
    }
    {
        const std::vector<std::pair<std::string, std::vector<uint8_t>>> v{{"a", {1, 255}},
                                                                          {"b", {0, 128}}};
        packer p;
        p.put("a").put<uint8_t>(1).put<uint8_t>(255).put("b").put<uint8_t>(0).put<uint8_t>(128);
        check_kind<decltype(v)>(v, "{(%s,{%u8})}", p.data(), 2, 2, 2);
    }
    {
        const std::list<std::tuple<int, std::tuple<std::string, unsigned long long>>> v{
            {1, {"one", 11ULL}}, {2, {"two", 22ULL}}};
        packer p;
        p.put(1).put("one").put(11ULL).put(2).put("two").put(22ULL);
        check_kind<decltype(v)>(v, "{(%d,(%s,%llu))}", p.data(), 2, 2, 2);
    }
    {
        const mekal::range<std::vector<int>> r{{1, 2}, {3, 4}};
        check_kind<decltype(r)>(r, "<{%d}>", packer().put(1).put(2).put(3).put(4).data(), 2);
    }
    {
        const struct timeval a{1, 0}, b{0, 5}, c{-1, 999999}, d{7, 7};
        const std::vector<std::vector<microseconds>> v{{1s, 5us}, {-1us, 7000007us}};
        packer p;
        p.put(&a).put(&b).put(&c).put(&d);
        check_kind<decltype(v)>(v, "{{%t}}", p.data(), 2, 2);
    }
    {
        const std::vector<system_clock::time_point> v{system_clock::time_point{seconds(5)},
                                                      system_clock::time_point{seconds(-5)}};
        check_kind<decltype(v)>(v, "{%D}", packer().put(int64_t{5}).put(int64_t{-5}).data(), 2);
    }
    {
        // Empty outer and empty inner containers.
        packer p;
        check_kind<std::vector<std::vector<int>>>(std::vector<std::vector<int>>{}, "{{%d}}", p.data(),
                                                  0, 0);
        check_kind<std::vector<std::vector<int>>>(std::vector<std::vector<int>>(3), "{{%d}}",
                                                  p.data(), 3, 0);
    }
}

TEST_F(CppInterface, ReadBackRefusesMismatchedAndAbsentValues) {
    EXPECT_FALSE(mekal::get<int>("absent"));
    EXPECT_FALSE(mekal::get<int>(nullptr));

    ASSERT_EQ(mekal::value("int", 5), 0);
    ASSERT_EQ(mekal::value("byte", int8_t{5}), 0);
    ASSERT_EQ(mekal::value("path", mekal::path("/p")), 0);
    ASSERT_EQ(mekal::value("set", std::set<int>{1, 2}), 0);
    ASSERT_EQ(mekal::value("four", std::vector<int>{1, 2, 3, 4}), 0);
    ASSERT_EQ(mekal::value("triple", std::make_tuple(1, std::string("s"), 2.0)), 0);
    ASSERT_EQ(mekal::value("nested", std::vector<std::vector<short>>{{1}, {2}}), 0);
    EXPECT_EQ(mekal::get<int>("int"), 5);
    EXPECT_FALSE(mekal::get<long>("int"));
    EXPECT_FALSE(mekal::get<unsigned>("int"));
    EXPECT_FALSE(mekal::get<int>("byte"));  // same code, other width
    EXPECT_EQ(mekal::get<int8_t>("byte"), int8_t{5});
    EXPECT_FALSE(mekal::get<std::string>("path"));
    EXPECT_FALSE(mekal::get<std::vector<int>>("set"));
    EXPECT_FALSE((mekal::get<std::array<int, 3>>("four")));
    EXPECT_EQ((mekal::get<std::array<int, 4>>("four")), (std::array<int, 4>{1, 2, 3, 4}));
    EXPECT_FALSE((mekal::get<std::tuple<int, std::string>>("triple")));
    EXPECT_FALSE((mekal::get<std::tuple<int, std::string, float>>("triple")));
    EXPECT_FALSE(mekal::get<std::vector<std::vector<int>>>("nested"));

    // Values that C code stored beyond the width the C++ type holds.
    ASSERT_EQ(mekal_namevalue("wide_i8", mekal_category_general, nullptr, "%i8", 300), 0);
    ASSERT_EQ(mekal_namevalue("wide_u8", mekal_category_general, nullptr, "%u8", 256u), 0);
    ASSERT_EQ(mekal_namevalue("wide_f32", mekal_category_general, nullptr, "%f32", 1e300), 0);
    EXPECT_FALSE(mekal::get<int8_t>("wide_i8"));
    EXPECT_FALSE(mekal::get<uint8_t>("wide_u8"));
    EXPECT_FALSE(mekal::get<float>("wide_f32"));

    // Values held by reference read back like copies.
    static const int cells[2][2] = {{1, 2}, {3, 4}};
    static const char text[] = "kept by the caller";
    ASSERT_EQ(mekal_namevalue("ref_grid", mekal_category_general, nullptr, "&{{%d}}", cells, 2, 2),
              0);
    ASSERT_EQ(mekal_namevalue("ref_text", mekal_category_general, nullptr, "&%s", text), 0);
    EXPECT_EQ(mekal::get<std::vector<std::vector<int>>>("ref_grid"),
              (std::vector<std::vector<int>>{{1, 2}, {3, 4}}));
    EXPECT_EQ(mekal::get<std::string>("ref_text"), std::optional<std::string>(text));
}

TEST_F(CppInterface, RaggedContainersAreRefusedAndNothingIsRecorded) {
    EXPECT_EQ(mekal::value("r1", std::vector<std::vector<int>>{{1, 2}, {3}}), -1);
    EXPECT_EQ(mekal::value("r2", std::set<std::set<int>>{{1}, {2, 3}}), -1);
    EXPECT_EQ(mekal::value("r3", mekal::range<std::vector<int>>{{1}, {1, 2}}), -1);
    EXPECT_EQ(mekal::value("r4", std::vector<std::pair<int, std::vector<std::string>>>{
                                     {1, {"a"}}, {2, {"b", "c"}}}),
              -1);
    // Ragged only at the third level.
    EXPECT_EQ(mekal::value("r5",
                           std::vector<std::vector<std::vector<int>>>{{{1}, {2}}, {{3}, {4, 5}}}),
              -1);
    for (const char *name : {"r1", "r2", "r3", "r4", "r5"}) EXPECT_FALSE(stored(name)) << name;

    // Same sizes are fine, also when the inner containers are empty.
    EXPECT_EQ(mekal::value("even", std::vector<std::vector<int>>{{}, {}}), 0);
    EXPECT_TRUE(stored("even"));
}

// A list whose size() reports what the test chooses, with no elements
// behind it: enough to reach the size checks without allocating gigabytes.
template <class T>
struct huge_list {
    using value_type = T;
    std::size_t n;
    std::size_t size() const { return n; }
    const T *begin() const { return nullptr; }
    const T *end() const { return nullptr; }
};

}  // namespace

template <class T>
struct mekal::container_traits<huge_list<T>> {
    static constexpr mekal::container_kind kind = mekal::container_kind::list;
};

namespace {

TEST_F(CppInterface, ValuesBeyondThe32BitCountsAndSizesAreRefused) {
    const std::size_t above = static_cast<std::size_t>(INT_MAX) + 1;
    EXPECT_EQ(mekal::value("count", huge_list<int8_t>{above}), -1);
    // A count that fits, but 8 GiB of packed ints.
    EXPECT_EQ(mekal::value("size", huge_list<int>{static_cast<std::size_t>(INT_MAX)}), -1);
    EXPECT_EQ(mekal::value("longs", huge_list<long>{std::size_t{1} << 28}), -1);
    // Packed size 0, but 4096 x 2^20 elements for the library to multiply.
    const std::vector<huge_list<std::tuple<>>> empty_tuples(4096, {std::size_t{1} << 20});
    EXPECT_EQ(mekal::value("span", empty_tuples), -1);
    for (const char *name : {"count", "size", "longs", "span"}) EXPECT_FALSE(stored(name)) << name;

    // The boundary: INT_MAX bytes is the most a value may pack into.
    std::array<int, 1> counts{};
    std::uint64_t size = 0;
    EXPECT_TRUE(mekal::detail::plan(huge_list<long>{(std::size_t{1} << 28) - 1}, counts, size));
    EXPECT_EQ(size, ((std::uint64_t{1} << 28) - 1) * 8);
    EXPECT_FALSE(mekal::detail::plan(huge_list<long>{std::size_t{1} << 28}, counts, size));
    EXPECT_TRUE(mekal::detail::plan(huge_list<int8_t>{static_cast<std::size_t>(INT_MAX)}, counts,
                                    size));
    EXPECT_EQ(size, static_cast<std::uint64_t>(INT_MAX));
}

TEST_F(CppInterface, BadTextsAndNamesAreRefused) {
    const char *null_text = nullptr;
    EXPECT_EQ(mekal::value("null", null_text), -1);
    EXPECT_EQ(mekal::value("nul", std::string("a\0b", 3)), -1);
    EXPECT_EQ(mekal::value("nul_view", std::string_view("a\0b", 3)), -1);
    EXPECT_EQ(mekal::value("nul_path", mekal::path(std::string_view("a\0b", 3))), -1);
    EXPECT_EQ(mekal::value("null_in_list", std::vector<const char *>{"a", nullptr}), -1);
    EXPECT_EQ(mekal::value("nul_in_tuple", std::make_pair(1, std::string("x\0", 2))), -1);
    for (const char *name : {"null", "nul", "nul_view", "nul_path", "null_in_list", "nul_in_tuple"})
        EXPECT_FALSE(stored(name)) << name;
    EXPECT_EQ(mekal::value(nullptr, 1), -1);
    EXPECT_EQ(mekal::value(std::string("na\0me", 5), 1), -1);
    EXPECT_FALSE(stored("na"));

    // Names and subcategories from std::string and unterminated views.
    const char buffer[] = "name-and-more";
    ASSERT_EQ(mekal::value(std::string_view(buffer, 4), 1, mekal_category_performance,
                           std::string_view(buffer + 5, 3)),
              0);
    mekal_category_t category = 0;
    const char *subcategory = nullptr;
    ASSERT_EQ(mekal_get_nameval("name", nullptr, nullptr, &category, &subcategory), 0);
    EXPECT_EQ(category, mekal_category_performance);
    EXPECT_STREQ(subcategory, "and");
    EXPECT_EQ(mekal::get<int>(std::string("name")), 1);
}

TEST_F(CppInterface, CapturingObserversReceiveValuesAndAreReleasedByClean) {
    auto token = std::make_shared<int>(0);
    std::vector<std::string> names;
    std::vector<int> ints;
    std::vector<std::vector<int>> lists;
    int controls = 0;
    auto all = mekal::observe([token, &names, &ints, &lists, &controls](const mekal::event &e) {
        if (e.is_control()) {
            ++controls;
            return;
        }
        names.emplace_back(e.name);
        if (auto v = e.as<int>()) ints.push_back(*v);
        if (auto v = e.as<std::vector<int>>()) lists.push_back(*v);
        EXPECT_NE(e.info, nullptr);
    });
    ASSERT_EQ(all.result(), 0);
    // Plain-callback signature and a category filter.
    std::vector<std::string> performance;
    auto timings = mekal::observe(
        [token, &performance](const char *name, mekal_category_t category,
                              const char *subcategory, const mekal_value_t *,
                              const mekal_datatype_t *) {
            performance.push_back(std::string(name) + "/" + std::to_string(category) + "/" +
                                  (subcategory ? subcategory : "-"));
        },
        mekal_category_performance);
    ASSERT_TRUE(timings);
    // The plain (non-const) pointers of the C callbacks fit as well.
    int plain_calls = 0;
    auto plain = mekal::observe(
        [&plain_calls](const char *, mekal_category_t, const char *, mekal_value_t *value,
                       mekal_datatype_t *datatype) {
            if (value != nullptr && datatype != nullptr) ++plain_calls;
        },
        mekal_category_performance);
    ASSERT_TRUE(plain);
    EXPECT_EQ(token.use_count(), 3);

    ASSERT_EQ(mekal::value("a", 1), 0);
    ASSERT_EQ(mekal::value("b", std::vector<int>{2, 3}), 0);
    ASSERT_EQ(mekal::value("t", 2.5, mekal_category_performance, "timing"), 0);
    EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "t"}));
    EXPECT_EQ(ints, (std::vector<int>{1}));
    EXPECT_EQ(lists, (std::vector<std::vector<int>>{{2, 3}}));
    EXPECT_EQ(performance, (std::vector<std::string>{"t/3/timing"}));
    EXPECT_EQ(plain_calls, 1);
    EXPECT_EQ(controls, 0);

    mekal_flush("/out");
    EXPECT_EQ(controls, 1);
    mekal_clean();
    EXPECT_EQ(controls, 2);  // "clean" reaches the callable before its release
    EXPECT_EQ(token.use_count(), 1);
    EXPECT_FALSE(all) << "the clean emptied the handles; their destructors do nothing";
    EXPECT_EQ(timings.reset(), 0);

    // The registry has no observers left: nothing is called again.
    ASSERT_EQ(mekal::value("after", 1), 0);
    EXPECT_EQ(names.size(), 3u);
    mekal_clean();
    EXPECT_EQ(controls, 2);
}

TEST_F(CppInterface, ObserversSkippedByFilterOrReportingAreStillReleased) {
    registry_block *block = melsys_get_public_mekal_symbol();
    ASSERT_NE(block, nullptr);
    auto token = std::make_shared<int>(0);
    int quiet_calls = 0, loud_calls = 0;
    auto quiet = mekal::observe([token, &quiet_calls](const mekal::event &) { ++quiet_calls; });
    auto loud = mekal::observe([token, &loud_calls](const mekal::event &) { ++loud_calls; },
                               mekal_category_all, true);
    mekal::observe([token](const mekal::event &) {}, mekal_category_general).detach();
    ASSERT_TRUE(quiet && loud);
    EXPECT_EQ(token.use_count(), 4);

    block->is_reporter = 0;
    ASSERT_EQ(mekal::value("unreported", 1), 0);
    mekal_clean();
    block->is_reporter = 1;
    EXPECT_EQ(quiet_calls, 0);
    EXPECT_EQ(loud_calls, 2);  // the value and "clean"
    EXPECT_EQ(token.use_count(), 1);
}

TEST_F(CppInterface, HandlesUnregisterOnceOnResetDestructionOrFromInsideTheCall) {
    // token counts the live callables: each is destroyed exactly once
    // (ASan and valgrind catch a second time or none).
    auto token = std::make_shared<int>(0);
    int calls = 0;
    {
        auto scoped = mekal::observe([token, &calls](const mekal::event &) { ++calls; });
        mekal::observer_handle moved = std::move(scoped);
        EXPECT_FALSE(scoped) << "a moved-from handle holds nothing";
        ASSERT_EQ(mekal::value("seen", 1), 0);
        EXPECT_EQ(calls, 1);
    }
    EXPECT_EQ(token.use_count(), 1) << "the destructor unregistered and released";
    ASSERT_EQ(mekal::value("unseen", 1), 0);
    EXPECT_EQ(calls, 1);

    auto reset_twice = mekal::observe([token](const mekal::event &) {});
    EXPECT_EQ(reset_twice.reset(), 1);
    EXPECT_EQ(reset_twice.reset(), 0);

    // A callable that resets its own handle finishes its call, is never
    // called again and is released as the call returns.
    mekal::observer_handle self;
    int self_calls = 0;
    self = mekal::observe([token, &self, &self_calls](const mekal::event &e) {
        if (e.is_control()) return;
        ++self_calls;
        EXPECT_EQ(self.reset(), 1);
        EXPECT_EQ(token.use_count(), 2) << "still alive during its own call";
    });
    ASSERT_EQ(mekal::value("first", 1), 0);
    ASSERT_EQ(mekal::value("second", 1), 0);
    EXPECT_EQ(self_calls, 1);
    EXPECT_EQ(token.use_count(), 1);
    mekal_clean();
}

}  // namespace
