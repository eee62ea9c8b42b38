// Values and the registry as JSON: the mapping of every kind of value, the
// embedding of jsonstrings, doubles that read back bit-identical, numbers
// under a decimal-comma locale, and the document of the registry.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cfloat>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "mekal.h"
#include "registry/registry.h"

// The registry's clock, set by the tests, so timestamps are known exactly.
static struct timespec g_now = {1796768940, 5};
extern "C" int melsys_clock_realtime(struct timespec *ts) {
    *ts = g_now;
    return 0;
}

namespace {

std::string take(char *text) {
    std::string out = text != nullptr ? text : "(NULL)";
    std::free(text);
    return out;
}

template <typename T>
std::string scalar(mekal_type_t code, T content) {
    mekal_value_t value;
    value.as_long = 0x7fffffff00000000;  // only the low half of an int slot counts
    if constexpr (std::is_same_v<T, double>) value.as_double = content;
    else if constexpr (std::is_pointer_v<T>) value.as_ptr = const_cast<void *>(static_cast<const void *>(content));
    else if constexpr (sizeof(T) == 4) value.as_int = content;
    else value.as_long = content;
    return take(mekal_value_to_json(&value, mekal_get_basetype(code)));
}

// Records with mekal_namevalue's arguments and renders what was stored.
template <typename... Args>
std::string recorded(const char *typestr, Args... args) {
    if (mekal_namevalue("v", mekal_category_general, nullptr, typestr, args...) != 0) return "(refused)";
    mekal_datatype_t *datatype = nullptr;
    mekal_value_t *value = nullptr;
    mekal_get_nameval("v", &datatype, &value, nullptr, nullptr);
    return take(mekal_value_to_json(value, datatype));
}

// A hand-made chain of `levels` lists of one element around an int; with
// cycle, the innermost list holds itself instead.
std::string nested_lists(int levels, bool cycle) {
    std::vector<mekal_datatype_t> types(static_cast<size_t>(levels) + 1);
    std::vector<mekal_datatype_t *> links(types.size());
    std::vector<mekal_value_t> slots(types.size());
    for (size_t i = 0; i < types.size(); ++i) {
        const bool last = i + 1 == types.size();
        types[i] = *mekal_get_basetype(mekal_type_int);
        if (last && !cycle) continue;
        links[i] = last ? &types[i] : &types[i + 1];
        types[i] = {mekal_type_list, mekal_numerical_categorical, 1, 1, &links[i], 0, 0, 0};
        slots[i].as_ptr = last ? &slots[i] : &slots[i + 1];
    }
    return take(mekal_value_to_json(&slots[0], &types[0]));
}

struct Row {
    const char *label;
    std::function<std::string()> render;
    std::string expected;
};

TEST(Json, EveryKindOfValueMapsToItsJson) {
    const struct timeval interval = {-2, 500000}, carried = {1, 2500000}, borrowed = {3, -250000};
    const struct timeval tiny = {0, -1};
    const struct timeval extreme = {INT64_MIN, -999999};
    const double pair[2] = {0.25, -7.5};
    const uint16_t ports[3] = {8080, 65535, 0};
    const char *texts[2] = {"a", nullptr};
    const char *names[2] = {"x\ty", "z"};
    struct __attribute__((packed)) {
        int32_t id;
        const char *label;
        double seconds[2];
        int8_t level;
    } nested = {7, "step", {0.5, 1e-9}, -3};
    const int64_t dates[2] = {0, 951782400};
    mekal_datatype_t unset{}, unknown{};
    unknown.type = 99;
    mekal_value_t zero{};
    // A referenced tuple of an unknown member and an int that cannot be
    // located after it, and a copied list that lost its array.
    mekal_datatype_t *odd_members[2] = {&unknown, mekal_get_basetype(mekal_type_int)};
    const mekal_datatype_t odd_tuple = {mekal_type_tuple, 1, 0, 2, odd_members, 1, 2, 0};
    const mekal_datatype_t lost_list = {mekal_type_list, 1, 2, 1, odd_members + 1, 0, 0, 0};
    mekal_value_t packed;
    packed.as_ptr = &nested;
    const std::string deep(256, '[');

    const std::vector<Row> rows = {
        {"long", [] { return scalar(mekal_type_long, int64_t{-5}); }, "-5"},
        {"unsigned long", [] { return scalar(mekal_type_unsigned_long, int64_t{1234}); }, "1234"},
        {"int", [] { return scalar(mekal_type_int, int32_t{-7}); }, "-7"},
        {"unsigned int", [] { return scalar(mekal_type_unsigned_int, int32_t{-1}); }, "4294967295"},
        {"long long", [] { return scalar(mekal_type_long_long, INT64_MIN); }, "-9223372036854775808"},
        {"2^64-1", [] { return scalar(mekal_type_unsigned_long_long, int64_t{-1}); }, "18446744073709551615"},
        {"-0.0", [] { return scalar(mekal_type_double, -0.0); }, "-0.0"},
        {"NaN", [] { return scalar(mekal_type_double, std::nan("")); }, "null"},
        {"-inf", [] { return scalar(mekal_type_double, -HUGE_VAL); }, "null"},
        {"1e-9", [] { return scalar(mekal_type_double, 1e-9); }, "1e-9"},
        {"0.1", [] { return scalar(mekal_type_double, 0.1); }, "0.1"},
        {"0.000123", [] { return scalar(mekal_type_double, 0.000123); }, "0.000123"},
        {"100", [] { return scalar(mekal_type_double, 100.0); }, "100.0"},
        {"2^53 + 2", [] { return scalar(mekal_type_double, 9007199254740994.0); }, "9007199254740994.0"},
        {"largest", [] { return scalar(mekal_type_double, DBL_MAX); }, "1.7976931348623157e308"},
        {"smallest", [] { return scalar(mekal_type_double, 4.9e-324); }, "5e-324"},
        {"date", [] { return scalar(mekal_type_date, int64_t{1796768940}); }, "\"2026-12-08T22:29:00Z\""},
        {"date before 1970", [] { return scalar(mekal_type_date, int64_t{-86401}); }, "\"1969-12-30T23:59:59Z\""},
        {"date in year 0", [] { return scalar(mekal_type_date, int64_t{-62167219200}); }, "\"0000-01-01T00:00:00Z\""},
        {"date in year 10000", [] { return scalar(mekal_type_date, int64_t{253402300800}); }, "253402300800"},
        {"negative interval", [&] { return scalar(mekal_type_timeval, &interval); }, "-1.500000"},
        {"interval carrying", [&] { return scalar(mekal_type_timeval, &carried); }, "3.500000"},
        {"interval borrowing", [&] { return scalar(mekal_type_timeval, &borrowed); }, "2.750000"},
        {"interval below 0", [&] { return scalar(mekal_type_timeval, &tiny); }, "-0.000001"},
        {"interval at the limit", [&] { return scalar(mekal_type_timeval, &extreme); }, "-9223372036854775808.999999"},
        {"no interval", [] { return scalar(mekal_type_timeval, static_cast<void *>(nullptr)); }, "null"},
        {"version", [] { return scalar(mekal_type_version, "3.1.4"); }, "\"3.1.4\""},
        {"escapes", [] { return scalar(mekal_type_string, "q\"b\\\n\t\b\f\r\x01\x7f"); },
         "\"q\\\"b\\\\\\n\\t\\b\\f\\r\\u0001\x7f\""},
        {"bad UTF-8", [] { return scalar(mekal_type_catstring, "\xe2\x82\xac \xe2\x82 \xc0\xaf \xed\xa0\x80 \xff"); },
         "\"\xe2\x82\xac \xef\xbf\xbd\xef\xbf\xbd \xef\xbf\xbd\xef\xbf\xbd \xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd \xef\xbf\xbd\""},
        {"path", [] { return scalar(mekal_type_path, "/\xc3\xa9\xe0\xa0\x80\xf4\x8f\xbf\xbf\xf0\x9f\x99\x82"); },
         "\"/\xc3\xa9\xe0\xa0\x80\xf4\x8f\xbf\xbf\xf0\x9f\x99\x82\""},
        {"overlong and too high", [] { return scalar(mekal_type_path, "\xf0\x8f\xbf\xbf\xf4\x90"); },
         "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},
        {"no text", [] { return scalar(mekal_type_string, static_cast<void *>(nullptr)); }, "null"},
        {"no jsonstring", [] { return scalar(mekal_type_jsonstring, static_cast<void *>(nullptr)); }, "null"},
        {"unset code", [&] { return take(mekal_value_to_json(&zero, &unset)); }, "null"},
        {"unknown code", [&] { return take(mekal_value_to_json(&zero, &unknown)); }, "null"},
        {"range", [&] { return recorded("<%f>", pair); }, "[0.25,-7.5]"},
        {"set of u16", [&] { return recorded("[%u16]", ports, 3); }, "[8080,65535,0]"},
        {"empty set", [&] { return recorded("[%d]", ports, 0); }, "[]"},
        {"copied list, a null text", [&] { return recorded("{%s}", texts, 2); }, "[\"a\",null]"},
        {"referenced list", [&] { return recorded("&{%s}", names, 2); }, "[\"x\\ty\",\"z\"]"},
        {"nested tuple", [&] { return recorded("((%d,%s,<%f>),%i8)", &nested, 2, 3); }, "[[7,\"step\",[0.5,1e-9]],-3]"},
        {"referenced nested tuple", [&] { return recorded("&((%d,%s,<%f>),%i8)", &nested, 2, 3); }, "[[7,\"step\",[0.5,1e-9]],-3]"},
        {"set of dates", [&] { return recorded("[%D]", dates, 2); }, "[\"1970-01-01T00:00:00Z\",\"2000-02-29T00:00:00Z\"]"},
        {"unreadable tuple member", [&] { return take(mekal_value_to_json(&packed, &odd_tuple)); }, "[null,null]"},
        {"list without its array", [&] { return take(mekal_value_to_json(&zero, &lost_list)); }, "null"},
        {"256 nested lists", [] { return nested_lists(256, false); }, deep + "0" + std::string(256, ']')},
        {"257 nested lists", [] { return nested_lists(257, false); }, "(NULL)"},
        {"a list holding itself", [] { return nested_lists(3, true); }, "(NULL)"},
        {"no value", [] { return take(mekal_value_to_json(nullptr, mekal_get_basetype(mekal_type_int))); }, "(NULL)"},
        {"no datatype", [] { mekal_value_t v{}; return take(mekal_value_to_json(&v, nullptr)); }, "(NULL)"},
    };
    for (const Row &row : rows) EXPECT_EQ(row.render(), row.expected) << row.label;
    mekal_clean();
}

TEST(Json, JsonstringIsEmbeddedCompactOnlyWhenStrictlyValid) {
    const std::vector<std::pair<const char *, const char *>> cases = {
        {" {\"a\" : [1, -0.5e+3, true, false, null],\n \"b\\u00e9\\ud83d\\ude00\": {}} ",
         "{\"a\":[1,-0.5e+3,true,false,null],\"b\\u00e9\\ud83d\\ude00\":{}}"},
        {"\"x y\\\"\"", "\"x y\\\"\""},
        {"[ ]", "[]"},
        {"0", "0"},
        {"", "\"\""},
        {"{\"a\":}", "\"{\\\"a\\\":}\""},
        {"[1,]", "\"[1,]\""},
        {"[1 2]", "\"[1 2]\""},
        {"{\"a\" 1}", "\"{\\\"a\\\" 1}\""},
        {"{1:2}", "\"{1:2}\""},
        {"[1]]", "\"[1]]\""},
        {"[01]", "\"[01]\""},
        {"[1.]", "\"[1.]\""},
        {"[1e]", "\"[1e]\""},
        {"[-]", "\"[-]\""},
        {"[tru]", "\"[tru]\""},
        {"[\"\\x\"]", "\"[\\\"\\\\x\\\"]\""},
        {"[\"\\u12G4\"]", "\"[\\\"\\\\u12G4\\\"]\""},
        {"[\"\\udc00\"]", "\"[\\\"\\\\udc00\\\"]\""},
        {"[\"\\ud800\"]", "\"[\\\"\\\\ud800\\\"]\""},
        {"[\"\\ud800\\u0041\"]", "\"[\\\"\\\\ud800\\\\u0041\\\"]\""},
        {"[\"\t\"]", "\"[\\\"\\t\\\"]\""},
        {"[\"\xff\"]", "\"[\\\"\xef\xbf\xbd\\\"]\""},
        {"[\"open", "\"[\\\"open\""},
        {"{\"a\":[1,{\"b\":2}],\"c\":3}", "{\"a\":[1,{\"b\":2}],\"c\":3}"},
        {"[\"\xc3\xa9\\u00E9\"]", "[\"\xc3\xa9\\u00E9\"]"},
        {"\"\\", "\"\\\"\\\\\""},
        {"{\"\\x\":1}", "\"{\\\"\\\\x\\\":1}\""},
        {"{\"a\":1,}", "\"{\\\"a\\\":1,}\""},
    };
    for (const auto &[text, expected] : cases)
        EXPECT_EQ(scalar(mekal_type_jsonstring, text), expected) << text;
    // 256 open brackets are embedded, 257 are text.
    for (const size_t depth : {256, 257}) {
        const std::string deep = std::string(depth, '[') + std::string(depth, ']');
        EXPECT_EQ(scalar(mekal_type_jsonstring, deep.c_str()), depth == 256 ? deep : "\"" + deep + "\"");
    }
}

// The number of significant digits of a rendered double.
int significant_digits(const std::string &text) {
    std::string digits;
    for (const char c : text.substr(0, text.find('e')))
        if (c >= '0' && c <= '9' && !(digits.empty() && c == '0')) digits += c;
    return static_cast<int>(digits.find_last_not_of('0') + 1);
}

// A decimal text as its sign, significant digits and the power of ten
// after them: "-0.0125", "-1.25e-2" and "-125e-4" all give "-125e-4".
std::string decimal_form(const std::string &text) {
    const bool negative = !text.empty() && text[0] == '-';
    std::string digits;
    long point = -1;
    long exponent = 0;
    for (size_t i = negative ? 1 : 0; i < text.size(); ++i) {
        if (text[i] == '.') point = static_cast<long>(digits.size());
        else if (text[i] == 'e' || text[i] == 'E') exponent = std::stol(text.substr(i + 1));
        if (text[i] == 'e' || text[i] == 'E') break;
        if (text[i] != '.') digits += text[i];
    }
    if (point < 0) point = static_cast<long>(digits.size());
    const size_t last = digits.find_last_not_of('0');
    if (last == std::string::npos) return "0";
    exponent += point - static_cast<long>(last + 1);
    digits.erase(last + 1);
    digits.erase(0, digits.find_first_not_of('0'));
    return (negative ? "-" : "") + digits + "e" + std::to_string(exponent);
}

TEST(Json, DoublesReadBackBitIdenticalAndNoLongerThanNeeded) {
    std::vector<double> samples = {DBL_MIN, std::nextafter(DBL_MIN, 0.0), DBL_MAX, DBL_EPSILON,
                                   4.9e-324, 1.0 / 3, 2.0 / 3, 1e23, 5e-324 * 12345, 0.3};
    std::mt19937_64 random(20261208);
    while (samples.size() < 100000) {
        uint64_t bits = random();
        if (samples.size() % 8 == 0) bits &= 0x800fffffffffffff;  // subnormals
        if (samples.size() % 8 == 1) bits = (bits & 0x800fffffffffffff) | ((random() % 2 ? uint64_t{1} : uint64_t{2045}) << 52);
        double value;
        std::memcpy(&value, &bits, sizeof value);
        if (std::isfinite(value)) samples.push_back(value);
    }
    int failures = 0;
    for (const double value : samples) {
        const std::string text = scalar(mekal_type_double, value);
        const double back = std::strtod(text.c_str(), nullptr);
        // One digit fewer, correctly rounded, must not read back.
        const int digits = significant_digits(text);
        char fewer[40] = "";
        if (digits > 1) std::snprintf(fewer, sizeof fewer, "%.*e", digits - 2, value);
        const bool shorter_exists = digits > 1 && std::strtod(fewer, nullptr) == value;
        // The C++ library's shortest digits (scientific: its plain form
        // writes large integers out in full): the same digits, also where
        // two texts of that length read back (the nearer is the one).
        char shortest[40];
        const auto converted = std::to_chars(shortest, shortest + sizeof shortest, value,
                                             std::chars_format::scientific);
        const std::string library(shortest, converted.ptr);
        if (std::memcmp(&back, &value, sizeof value) != 0 || shorter_exists ||
            decimal_form(text) != decimal_form(library)) {
            ADD_FAILURE() << std::hexfloat << value << " rendered " << text << ", shorter: " << fewer
                          << ", std::to_chars: " << library;
            if (++failures == 10) break;
        }
    }
}

TEST(Json, NumbersIgnoreADecimalCommaLocale) {
    // No such locale is installed on a plain machine: build one in a
    // scratch directory and point the C library at it.
    const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                      ("mekal-locale-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string build = "localedef -i de_DE -f ISO-8859-1 '" + (dir / "de_DE.iso88591").string() +
                              "' >/dev/null 2>&1";
    const bool built = std::system(build.c_str()) == 0;
    ::setenv("LOCPATH", dir.c_str(), 1);
    const bool active = built && std::setlocale(LC_ALL, "de_DE.ISO-8859-1") != nullptr;
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 1.5);
    const struct timeval interval = {3, 250000};
    const std::string rendered = scalar(mekal_type_double, -1234.5e-10) + " " +
                                 scalar(mekal_type_double, 2.5) + " " + scalar(mekal_type_timeval, &interval);
    std::setlocale(LC_ALL, "C");
    ::unsetenv("LOCPATH");
    std::filesystem::remove_all(dir);
    if (!active) {
        const char *required = std::getenv("MEKAL_REQUIRE_ALL");  // set in CI: a skip there is a failure
        if (required != nullptr && std::strcmp(required, "1") == 0)
            FAIL() << "localedef could not build de_DE (package locales missing)";
        GTEST_SKIP() << "localedef could not build de_DE (package locales missing)";
    }
    ASSERT_STREQ(probe, "1,5");  // the locale was in force
    EXPECT_EQ(rendered, "-1.2345e-7 2.5 3.250000");
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(Json, DocumentHoldsOneEntryPerLineOldestFirst) {
    mekal_clean();
    EXPECT_EQ(take(mekal_namevals_to_json(mekal_category_all)), "[]\n");
    g_now = {1796768940, 5};
    ASSERT_EQ(mekal_namevalue("first", mekal_category_general, "solver", "%d", 1), 0);
    g_now = {1796768941, 999999999};
    ASSERT_EQ(mekal_namevalue("second", mekal_category_performance, nullptr, "%j", "{\n\"k\": [1,\n 2]}"), 0);
    g_now = {INT64_MAX, 0};  // a clock past year 9999
    const char *texts[1] = {"a"};
    ASSERT_EQ(mekal_namevalue("third", 9, "x\ny", "[%s]", texts, 1), 0);
    g_now = {1796768942, 0};
    ASSERT_EQ(mekal_namevalue("first", mekal_category_general, "solver", "%d", 2), 0);  // keeps its place
    static mekal_datatype_t unknown = {99, 0, 0, 0, nullptr, 0, 0, 0};
    g_now = {1796768942, 1000000000};  // a clock that leaves the nanosecond range
    ASSERT_EQ(mekal_raw_namevalue("odd", mekal_category_all, nullptr, nullptr, &unknown), 0);

    const std::string document = take(mekal_namevals_to_json(mekal_category_all));
    EXPECT_EQ(lines_of(document), (std::vector<std::string>{
        "[",
        "{\"name\":\"first\",\"category\":2,\"category_name\":\"general\",\"subcategory\":\"solver\","
        "\"type\":\"%d\",\"long_type\":\"int\",\"value\":2,\"recorded\":\"2026-12-08T22:29:02.000000000Z\"},",
        "{\"name\":\"second\",\"category\":3,\"category_name\":\"performance\",\"subcategory\":null,"
        "\"type\":\"%j\",\"long_type\":\"jsonstring\",\"value\":{\"k\":[1,2]},"
        "\"recorded\":\"2026-12-08T22:29:01.999999999Z\"},",
        "{\"name\":\"third\",\"category\":9,\"category_name\":null,\"subcategory\":\"x\\ny\","
        "\"type\":\"[%s]\",\"long_type\":\"set of string\",\"value\":[\"a\"],"
        "\"recorded\":9223372036854775807.000000000},",
        "{\"name\":\"odd\",\"category\":1,\"category_name\":\"all\",\"subcategory\":null,\"type\":null,"
        "\"long_type\":null,\"value\":null,\"recorded\":1796768943.000000000}",
        "]"}));
    EXPECT_EQ(document.back(), '\n');

    const auto parsed = nlohmann::ordered_json::parse(document);
    ASSERT_EQ(parsed.size(), 4u);
    std::vector<std::string> keys;
    for (const auto &member : parsed[1].items()) keys.push_back(member.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"name", "category", "category_name", "subcategory", "type",
                                              "long_type", "value", "recorded"}));
    EXPECT_EQ(parsed[1]["value"]["k"][1], 2);

    const auto performance = nlohmann::json::parse(take(mekal_namevals_to_json(mekal_category_performance)));
    ASSERT_EQ(performance.size(), 1u);
    EXPECT_EQ(performance[0]["name"], "second");
    EXPECT_EQ(take(mekal_namevals_to_json(7)), "[]\n");
    mekal_clean();
}

TEST(Json, DocumentReadsTheSharedEntryListWithoutWritingIt) {
    mekal_clean();
    ASSERT_EQ(mekal_namevalue("a", mekal_category_general, "s", "%d", 1), 0);
    ASSERT_EQ(mekal_namevalue("b", mekal_category_performance, nullptr, "%f", 0.5), 0);
    ASSERT_EQ(mekal_namevalue("c", mekal_category_general, nullptr, "%s", "x"), 0);
    const mekal_category_t categories[] = {mekal_category_all, mekal_category_general,
                                           mekal_category_performance, 7};
    std::vector<std::string> expected;
    for (const mekal_category_t category : categories)
        expected.push_back(take(mekal_namevals_to_json(category)));
    ASSERT_EQ(lines_of(expected[0]).size(), 5u);

    // The entries again, on a page that nothing may write: any write to
    // the list, even one undone before the call returns, kills the child.
    registry_block *block = melsys_get_public_mekal_symbol();
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void *memory = mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(memory, MAP_FAILED);
    auto *copies = static_cast<nameval_entry *>(memory);
    size_t count = 0;
    for (const nameval_entry *e = block->entry_list; e != nullptr; e = e->list_next, ++count) {
        copies[count] = *e;
        if (count > 0) copies[count - 1].list_next = &copies[count];
    }
    ASSERT_EQ(mprotect(memory, page, PROT_READ), 0);
    nameval_entry *shared = block->entry_list;
    block->entry_list = copies;
    std::fflush(nullptr);
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        int wrong = 0;
        for (size_t i = 0; i < std::size(categories); ++i)
            wrong += take(mekal_namevals_to_json(categories[i])) != expected[i];
        _exit(wrong);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    block->entry_list = shared;
    munmap(memory, page);
    EXPECT_TRUE(WIFEXITED(status)) << "the rendering wrote the entry list";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "renderings that differ from the plain list's";
    mekal_clean();
}

}  // namespace
