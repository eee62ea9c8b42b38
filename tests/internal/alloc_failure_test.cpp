// Exhausted memory at every allocation of every public operation that
// allocates. Each operation first runs once without interference (which
// also warms up whatever glibc sets up lazily), then again with the Nth
// allocation from its start failing, for N = 1, 2, ... until a run meets no
// failure. Every run must return a failure result or complete correctly,
// leak nothing (what the run and the mekal_clean after it allocate, they
// also free), and leave the registry consistent: lookups, listings and
// chains agree, observers heard exactly what was stored, and a name that
// held a value holds either that value untouched or the complete new one.
#include <gtest/gtest.h>

#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "alloc_hooks.h"
#include "registry/registry.h"
#include "types/types.h"

namespace {

// ------------------------------------------------------- canonical texts

const char *scalar_name(int32_t code) {
    switch (code) {
    case mekal_type_long: return "long";
    case mekal_type_unsigned_long: return "ulong";
    case mekal_type_int: return "int";
    case mekal_type_unsigned_int: return "uint";
    case mekal_type_double: return "double";
    case mekal_type_date: return "date";
    case mekal_type_timeval: return "timeval";
    case mekal_type_version: return "version";
    case mekal_type_string: return "string";
    case mekal_type_catstring: return "catstring";
    case mekal_type_path: return "path";
    case mekal_type_long_long: return "llong";
    case mekal_type_unsigned_long_long: return "ullong";
    case mekal_type_jsonstring: return "json";
    default: return "?";
    }
}

const char *container_name(int32_t code) {
    switch (code) {
    case mekal_type_range: return "range";
    case mekal_type_set: return "set";
    case mekal_type_list: return "list";
    default: return "tuple";
    }
}

// The whole datatype tree as text: codes, widths, reference marks, counts
// and scales, so that two trees compare equal only if they describe the
// same value.
std::string type_canon(const mekal_datatype_t *d) {
    if (d == nullptr) return "null";
    std::string out = d->is_reference ? "&" : "";
    if (d->numerical != mekal_numerical_from_type(d->type)) out += "?scale";
    if (!mekal::is_container_code(d->type)) {
        if (d->subtypes != nullptr || d->num_subtypes != 0) out += "?subtypes";
        return out + scalar_name(d->type) + std::to_string(d->base_size);
    }
    const int32_t count = d->is_reference ? d->num_ref_elements : d->num_elements;
    const int32_t other = d->is_reference ? d->num_elements : d->num_ref_elements;
    out += container_name(d->type);
    out += "[" + std::to_string(count) + (other != 0 ? "?" : "") + "](";
    for (int32_t i = 0; i < d->num_subtypes; ++i) {
        if (i > 0) out += ",";
        out += d->subtypes != nullptr ? type_canon(d->subtypes[i]) : "null";
    }
    return out + ")";
}

std::string number(double v) {
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, v);
    return std::string(buffer, result.ptr);
}

std::string quoted(const std::string &s) { return "\"" + s + "\""; }

// The stored value as text, read through mekal_get_subval for containers,
// so copied and referenced forms read alike. Every byte the value owns is
// touched, which lets the sanitizers see a value that was released.
std::string value_canon(mekal_datatype_t *d, mekal_value_t *v) {
    if (d == nullptr || v == nullptr) return "null";
    switch (d->type) {
    case mekal_type_int: return std::to_string(v->as_int);
    case mekal_type_unsigned_int: return std::to_string(static_cast<uint32_t>(v->as_int));
    case mekal_type_long:
    case mekal_type_long_long:
    case mekal_type_date: return std::to_string(v->as_long);
    case mekal_type_unsigned_long:
    case mekal_type_unsigned_long_long: return std::to_string(static_cast<uint64_t>(v->as_long));
    case mekal_type_double: return number(v->as_double);
    case mekal_type_timeval: {
        if (v->as_ptr == nullptr) return "null";
        const auto *tv = static_cast<const struct timeval *>(v->as_ptr);
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "%lld.%06lld", static_cast<long long>(tv->tv_sec),
                      static_cast<long long>(tv->tv_usec));
        return buffer;
    }
    case mekal_type_version:
    case mekal_type_string:
    case mekal_type_catstring:
    case mekal_type_path:
    case mekal_type_jsonstring:
        return v->as_ptr == nullptr ? "null" : quoted(static_cast<const char *>(v->as_ptr));
    case mekal_type_range:
    case mekal_type_set:
    case mekal_type_list:
    case mekal_type_tuple: {
        std::string out = "{";
        const int count = mekal_num_subvals(d);
        for (int i = 0; i < count; ++i) {
            mekal_datatype_t *subtype = nullptr;
            mekal_value_t subvalue{};
            if (i > 0) out += ",";
            out += mekal_get_subval(d, v, i, &subtype, &subvalue) == 0
                       ? value_canon(subtype, &subvalue)
                       : "?";
        }
        return out + "}";
    }
    default: return "?";
    }
}

std::string text_set(const std::vector<std::string> &texts) {
    std::string out = "{";
    for (size_t i = 0; i < texts.size(); ++i) out += (i ? "," : "") + quoted(texts[i]);
    return out + "}";
}

// --------------------------------------------------- observers of a run

struct Heard {
    std::string name;
    mekal_category_t category;
};
std::vector<Heard> g_heard;   // plain observer
int g_heard_with_info = 0;    // info observer
int g_dispatch_mismatches = 0;  // a dispatched value that a lookup did not return

void plain_observer(const char *name, mekal_category_t category, const char *,
                    mekal_value_t *value, mekal_datatype_t *datatype, void *) {
    g_heard.push_back({name, category});
    if (category == mekal_category_control) return;
    // A value is dispatched only once it is stored.
    mekal_value_t *stored = nullptr;
    mekal_datatype_t *stored_type = nullptr;
    if (mekal_get_nameval(name, &stored_type, &stored, nullptr, nullptr) != 0 ||
        stored != value || stored_type != datatype)
        ++g_dispatch_mismatches;
}

void info_observer(const char *name, mekal_value_t *value, mekal_datatype_t *,
                   mekal_value_info_t *info, void *) {
    ++g_heard_with_info;
    if (info == nullptr) ++g_dispatch_mismatches;
    if (info == nullptr || info->category == mekal_category_control) return;
    mekal_value_info_t *stored_info = nullptr;
    mekal_value_t *stored = nullptr;
    if (mekal_get_nameval_with_info(name, nullptr, &stored, &stored_info) != 0 ||
        stored != value || stored_info != info)
        ++g_dispatch_mismatches;
}

int heard(const std::string &name, mekal_category_t category) {
    int n = 0;
    for (const Heard &h : g_heard) n += h.name == name && h.category == category;
    return n;
}

// ------------------------------------------------- registry consistency

struct Listed {
    std::string name;
    mekal_category_t category;
    const char *subcategory;
    mekal_value_t *value;
    mekal_datatype_t *datatype;
};

std::vector<Listed> list_all() {
    std::vector<Listed> out;
    mekal_list_namevals(
        0, mekal_category_all,
        [](const char *name, mekal_category_t category, const char *subcategory,
           mekal_value_t *value, mekal_datatype_t *datatype, void *opaque) {
            static_cast<std::vector<Listed> *>(opaque)->push_back(
                {name, category, subcategory, value, datatype});
        },
        &out);
    return out;
}

int count_observers() {
    registry_block *block = mekal::get_registry_block();
    int n = 0;
    for (observer *o = *block->observer_head_slot; o != nullptr && n < 1000; o = o->next) ++n;
    return n;
}

// Lookups, both listings, the hash chains and the observer list agree.
void expect_registry_consistent() {
    const std::vector<Listed> listed = list_all();
    std::set<std::string> names;
    for (const Listed &l : listed) {
        EXPECT_TRUE(names.insert(l.name).second) << "listed twice: " << l.name;
        mekal_datatype_t *datatype = nullptr;
        mekal_value_t *value = nullptr;
        mekal_category_t category = -1;
        const char *subcategory = "unset";
        ASSERT_EQ(mekal_get_nameval(l.name.c_str(), &datatype, &value, &category, &subcategory), 0)
            << "listed but not found: " << l.name;
        EXPECT_EQ(value, l.value) << l.name;
        EXPECT_EQ(datatype, l.datatype) << l.name;
        EXPECT_EQ(category, l.category) << l.name;
        EXPECT_EQ(subcategory, l.subcategory) << l.name;
        mekal_value_info_t *info = nullptr;
        ASSERT_EQ(mekal_get_nameval_with_info(l.name.c_str(), nullptr, nullptr, &info), 0);
        ASSERT_NE(info, nullptr) << l.name;
        EXPECT_EQ(info->category, l.category) << l.name;
        EXPECT_EQ(info->subcategory, l.subcategory) << l.name;
        EXPECT_NE(value_canon(datatype, value), "") << l.name;
    }

    std::vector<mekal_value_t *> with_info;
    mekal_list_namevals_with_info(
        0, mekal_category_all,
        [](const char *, mekal_value_t *value, mekal_datatype_t *,
           mekal_value_info_t *, void *opaque) {
            static_cast<std::vector<mekal_value_t *> *>(opaque)->push_back(value);
        },
        &with_info);
    ASSERT_EQ(with_info.size(), listed.size());
    for (size_t i = 0; i < listed.size(); ++i) EXPECT_EQ(with_info[i], listed[i].value);

    registry_block *block = mekal::get_registry_block();
    nameval_entry **table = mekal::bucket_table(block);
    size_t chained = 0;
    for (unsigned i = 0; i < kBucketCount; ++i) {
        for (nameval_entry *e = table[i]; e != nullptr; e = e->bucket_next) {
            ASSERT_LT(++chained, 100000u) << "a chain loops";
            EXPECT_EQ(mekal::name_hash(e->name), i) << e->name;
            EXPECT_EQ(names.count(e->name), 1u) << "chained but not listed: " << e->name;
        }
    }
    EXPECT_EQ(chained, listed.size());

    observer *newer = nullptr;
    int observers = 0;
    for (observer *o = *block->observer_head_slot; o != nullptr; o = o->next) {
        ASSERT_LT(++observers, 1000) << "the observer list loops";
        EXPECT_EQ(o->prev, newer);
        newer = o;
    }
}

// ----------------------------------------------------------- the driver

struct Outcome {
    int rc = 0;
    void *pointer = nullptr;
};

struct Case {
    std::string label;
    // realpath hands back memory from glibc's own malloc, which the hooks
    // do not see, and the library frees it with the wrapped free.
    bool foreign_frees = false;
    std::function<void()> seed;  // what the registry holds before the run
    std::function<Outcome()> run;
    std::function<void(const Outcome &, bool injected)> check;
    std::function<void(const Outcome &)> release;  // what the run handed to the caller
};

long g_failure_cases = 0;
long g_operations = 0;

// One run in a fresh registry; returns frees minus allocations of the
// seed, the run and the mekal_clean after it.
long run_once(const Case &c, long n, bool *injected) {
    mekal_clean();
    alloc_hooks::fail_nth(0);
    alloc_hooks::Scope scope;
    // Two observers are in place for every run; what they hear is checked.
    mekal_register_cb(1, mekal_category_all, plain_observer, 0, nullptr);
    mekal_register_cb_with_info(1, mekal_category_all, info_observer, 0, nullptr);
    if (c.seed) c.seed();
    g_heard.clear();
    g_heard_with_info = 0;
    g_dispatch_mismatches = 0;

    const long failed_before = alloc_hooks::counts().failed;
    alloc_hooks::fail_nth(n);
    const Outcome outcome = c.run();
    alloc_hooks::fail_nth(0);
    *injected = alloc_hooks::counts().failed > failed_before;

    expect_registry_consistent();
    EXPECT_EQ(g_dispatch_mismatches, 0);
    c.check(outcome, *injected);
    if (c.release) c.release(outcome);
    mekal_clean();
    return scope.frees() - scope.allocations();
}

void drive(const Case &c) {
    SCOPED_TRACE(c.label);
    ++g_operations;
    const bool failed_before = ::testing::Test::HasFailure();
    bool injected = false;
    const long baseline = run_once(c, 0, &injected);
    ASSERT_FALSE(injected);
    if (c.foreign_frees) {
        EXPECT_GE(baseline, 0);
    } else {
        EXPECT_EQ(baseline, 0) << "a run without failures leaks";
    }
    for (long n = 1;; ++n) {
        SCOPED_TRACE("failing allocation " + std::to_string(n));
        const long balance = run_once(c, n, &injected);
        EXPECT_EQ(balance, baseline) << (balance < baseline ? "leak" : "extra free");
        if (!injected) break;
        ++g_failure_cases;
        if (!failed_before && ::testing::Test::HasFailure()) break;  // one broken N is enough to read
        ASSERT_LT(n, 100000) << "the operation never completes";
    }
}

class CaseCountReport : public ::testing::Environment {
public:
    void TearDown() override {
        const int failed = ::testing::UnitTest::GetInstance()->failed_test_count();
        std::printf("alloc-failure cases: %ld over %ld operations, %s\n", g_failure_cases,
                    g_operations, failed == 0 ? "all passed" : "SOME FAILED");
    }
};
[[maybe_unused]] ::testing::Environment *const g_report =
    ::testing::AddGlobalTestEnvironment(new CaseCountReport);

class AllocFailure : public ::testing::Test {
protected:
    void SetUp() override {
        alloc_hooks::fail_nth(0);
        mekal_clean();
    }
    void TearDown() override {
        alloc_hooks::fail_nth(0);
        mekal_clean();
    }
};

// ------------------------------------------------------------ recordings

// What an operation records under one name when it succeeds.
struct Expected {
    std::string name;
    mekal_category_t category;
    const char *subcategory;  // nullptr: none
    std::string type;
    std::string value;                                 // canonical text, or
    bool (*value_matches)(const std::string &) = nullptr;  // for values that vary
    const void *caller_pointer = nullptr;  // a reference: the slot holds this pointer
};

enum class Mode { kNew, kReplace };

enum class Result {
    kHonest,         // one name; -1 exactly when it was not recorded
    kMany,           // several names; 0 whatever each recording returned
};

// The value a replacement must either keep untouched or give up whole.
const char *const kOldTexts[] = {"old-a", "old-b"};
constexpr mekal_category_t kOldCategory = 5;
const char *const kOldType = "set[2](string8)";
const char *const kOldValue = "{\"old-a\",\"old-b\"}";

// The sentinel is recorded in every run before the operation; it must
// survive every failure untouched.
struct SentinelTuple {
    unsigned char bytes[12];
    SentinelTuple() {
        const int n = 99;
        const char *text = "sentinel-text";
        std::memcpy(bytes, &n, 4);
        std::memcpy(bytes + 4, &text, 8);
    }
};

enum class State { kAbsent, kOld, kNew, kBroken };

struct Observed {
    State state;
    std::string what;
};

bool stored_text(const char *subcategory, const char *expected) {
    if (expected == nullptr || subcategory == nullptr) return subcategory == expected;
    return std::strcmp(subcategory, expected) == 0;
}

Observed observe(const Expected &e, mekal_value_t *old_value) {
    mekal_datatype_t *datatype = nullptr;
    mekal_value_t *value = nullptr;
    mekal_category_t category = 0;
    const char *subcategory = nullptr;
    if (mekal_get_nameval(e.name.c_str(), &datatype, &value, &category, &subcategory) != 0)
        return {State::kAbsent, "absent"};
    const std::string type = type_canon(datatype);
    const std::string text = value_canon(datatype, value);
    const std::string what = std::to_string(category) + "|" + (subcategory ? subcategory : "(null)") +
                             "|" + type + "|" + text;
    if (old_value != nullptr && value == old_value) {
        const bool intact = category == kOldCategory && stored_text(subcategory, "old") &&
                            type == kOldType && text == kOldValue;
        return {intact ? State::kOld : State::kBroken, "old value changed: " + what};
    }
    bool ok = category == e.category && stored_text(subcategory, e.subcategory) && type == e.type &&
              (e.value_matches ? e.value_matches(text) : text == e.value);
    if (e.caller_pointer != nullptr) ok = ok && value->as_ptr == e.caller_pointer;
    return {ok ? State::kNew : State::kBroken, "unexpected value: " + what};
}

// A case for an operation that records the expected names.
Case recording_case(std::string label, Mode mode, Result result, std::vector<Expected> expected,
                    std::function<int()> operation, std::vector<std::string> control = {},
                    bool foreign_frees = false) {
    struct Shared {
        std::vector<mekal_value_t *> old_values;
        mekal_value_t *sentinel = nullptr;
        std::string sentinel_text;
    };
    auto shared = std::make_shared<Shared>();
    Case c;
    c.label = label + (mode == Mode::kNew ? " (new)" : " (replacing)");
    c.foreign_frees = foreign_frees;
    c.seed = [shared, mode, expected] {
        static const SentinelTuple tuple;
        ASSERT_EQ(mekal_namevalue("sentinel", 7, "keep", "(%d,%s)", tuple.bytes, 2), 0);
        mekal_datatype_t *datatype = nullptr;
        ASSERT_EQ(mekal_get_nameval("sentinel", &datatype, &shared->sentinel, nullptr, nullptr), 0);
        shared->sentinel_text = value_canon(datatype, shared->sentinel);
        shared->old_values.assign(expected.size(), nullptr);
        if (mode == Mode::kNew) return;
        for (size_t i = 0; i < expected.size(); ++i) {
            ASSERT_EQ(mekal_namevalue(expected[i].name.c_str(), kOldCategory, "old", "[%s]",
                                      kOldTexts, 2),
                      0);
            ASSERT_EQ(mekal_get_nameval(expected[i].name.c_str(), nullptr, &shared->old_values[i],
                                        nullptr, nullptr),
                      0);
        }
    };
    c.run = [operation] { return Outcome{operation(), nullptr}; };
    c.check = [shared, mode, result, expected, control](const Outcome &outcome, bool injected) {
        size_t fresh = 0;
        for (size_t i = 0; i < expected.size(); ++i) {
            const Observed seen = observe(expected[i], shared->old_values[i]);
            SCOPED_TRACE(expected[i].name);
            EXPECT_NE(seen.state, State::kBroken) << seen.what;
            if (mode == Mode::kReplace) {
                EXPECT_NE(seen.state, State::kAbsent) << "the old value is lost";
            }
            fresh += seen.state == State::kNew;
            // Observers hear a value exactly when it was stored.
            EXPECT_EQ(heard(expected[i].name, expected[i].category), seen.state == State::kNew ? 1 : 0);
        }
        int heard_stored = 0;
        for (const Heard &h : g_heard) heard_stored += h.category != mekal_category_control;
        EXPECT_EQ(static_cast<size_t>(heard_stored), fresh) << "an observer heard a value not stored";
        EXPECT_EQ(g_heard_with_info, static_cast<int>(g_heard.size()));
        std::vector<std::string> controls;
        for (const Heard &h : g_heard)
            if (h.category == mekal_category_control) controls.push_back(h.name);
        EXPECT_EQ(controls, control);

        switch (result) {
        case Result::kHonest:
            EXPECT_TRUE(outcome.rc == 0 || outcome.rc == -1) << outcome.rc;
            EXPECT_EQ(outcome.rc == 0, fresh == 1) << "the result does not tell what happened";
            break;
        case Result::kMany:
            EXPECT_EQ(outcome.rc, 0);
            // One failed allocation costs at most the one value it was for.
            EXPECT_GE(fresh + 1, expected.size());
            break;
        }
        if (!injected) {
            EXPECT_EQ(fresh, expected.size()) << "a run without failures is incomplete";
        }

        mekal_datatype_t *datatype = nullptr;
        mekal_value_t *value = nullptr;
        ASSERT_EQ(mekal_get_nameval("sentinel", &datatype, &value, nullptr, nullptr), 0);
        EXPECT_EQ(value, shared->sentinel);
        EXPECT_EQ(value_canon(datatype, value), shared->sentinel_text);
    };
    return c;
}

void drive_both(const std::string &label, Result result, const std::vector<Expected> &expected,
                const std::function<int()> &operation, const std::vector<std::string> &control = {},
                bool foreign_frees = false) {
    for (Mode mode : {Mode::kNew, Mode::kReplace})
        drive(recording_case(label, mode, result, expected, operation, control, foreign_frees));
}

// ------------------------------------------------------------ the tests

TEST_F(AllocFailure, FormattedEntryOfEveryKindFailsWholeOrRecordsWhole) {
    struct Kind {
        const char *typestr;
        std::string type, value;
        std::function<int(const char *)> record;
        const void *caller_pointer = nullptr;
    };
    static const struct timeval tv = {12, 345678};
    static const char *const by_reference = "by reference";
    static const int ints[3] = {3, 1, 4};
    static const char *const texts[3] = {"a", "bb", "ccc"};
    static const double range[2] = {0.25, 4.0};
    // {(%d,%s)} with 2 tuples of an int and a text pointer, packed.
    static unsigned char pairs[24];
    static const char *const pair_texts[2] = {"x", "yy"};
    const int pair_ints[2] = {7, -8};
    for (int i = 0; i < 2; ++i) {
        std::memcpy(pairs + 12 * i, &pair_ints[i], 4);
        std::memcpy(pairs + 12 * i + 4, &pair_texts[i], 8);
    }
    // ((%d,%s),{%f}) with counts 2, 2, 3: an int, a text pointer, 3 doubles.
    static unsigned char nested[36];
    static const char *const nested_text = "tuple-text";
    const int nested_int = 5;
    const double nested_list[3] = {1.0e-3, 2.5e-6, 7.0e-9};
    std::memcpy(nested, &nested_int, 4);
    std::memcpy(nested + 4, &nested_text, 8);
    std::memcpy(nested + 12, nested_list, 24);

    const std::vector<Kind> kinds = {
        {"%d", "int4", "42", [](const char *n) { return mekal_namevalue(n, 2, "sub", "%d", 42); }},
        {"%ld", "long8", "1234567890123",
         [](const char *n) { return mekal_namevalue(n, 2, "sub", "%ld", 1234567890123L); }},
        {"%f", "double8", "2.5", [](const char *n) { return mekal_namevalue(n, 2, "sub", "%f", 2.5); }},
        {"%D", "date8", "1700000000",
         [](const char *n) { return mekal_namevalue(n, 2, "sub", "%D", 1700000000L); }},
        {"%t", "timeval8", "12.345678",
         [](const char *n) { return mekal_namevalue(n, 2, "sub", "%t", &tv); }},
        {"%s", "string8", "\"hello\"",
         [](const char *n) { return mekal_namevalue(n, 2, "sub", "%s", "hello"); }},
        {"&%s", "&string8", "\"by reference\"",
         [](const char *n) { return mekal_namevalue(n, 2, "sub", "&%s", by_reference); },
         by_reference},
        {"%p", "path8", "\"/tmp/run/out\"",
         [](const char *n) { return mekal_namevalue(n, 2, nullptr, "%p", "/tmp/run/out"); }},
        {"[%d]", "set[3](int4)", "{3,1,4}",
         [](const char *n) { return mekal_namevalue(n, 2, "sub", "[%d]", ints, 3); }},
        {"[%s]", "set[3](string8)", "{\"a\",\"bb\",\"ccc\"}",
         [](const char *n) { return mekal_namevalue(n, 2, "sub", "[%s]", texts, 3); }},
        {"{(%d,%s)}", "list[2](tuple[2](int4,string8))", "{{7,\"x\"},{-8,\"yy\"}}",
         [](const char *n) { return mekal_namevalue(n, 2, "sub", "{(%d,%s)}", pairs, 2, 2); }},
        {"<%f>", "range[2](double8)", "{0.25,4}",
         [](const char *n) { return mekal_namevalue(n, 2, "sub", "<%f>", range); }},
        {"&[%d]", "&set[3](int4)", "{3,1,4}",
         [](const char *n) { return mekal_namevalue(n, 2, "sub", "&[%d]", ints, 3); }, ints},
        {"((%d,%s),{%f})", "tuple[2](tuple[2](int4,string8),list[3](double8))",
         "{{5,\"tuple-text\"},{0.001,2.5e-06,7e-09}}",
         [](const char *n) { return mekal_namevalue(n, 2, "sub", "((%d,%s),{%f})", nested, 2, 2, 3); }},
    };
    for (const Kind &kind : kinds) {
        const std::string name = std::string("value ") + kind.typestr;
        Expected e{name, 2, std::strcmp(kind.typestr, "%p") == 0 ? nullptr : "sub", kind.type,
                   kind.value};
        e.caller_pointer = kind.caller_pointer;
        auto record = kind.record;
        drive_both(std::string("mekal_namevalue ") + kind.typestr, Result::kHonest, {e},
                   [record, name] { return record(name.c_str()); });
    }

    // A control event through the formatted entry is built, dispatched and
    // released by the entry itself: nothing stays, with or without memory.
    Case control;
    control.label = "mekal_namevalue [%s] as a control event";
    control.run = [] {
        return Outcome{mekal_namevalue("announce", mekal_category_control, nullptr, "[%s]", texts, 3),
                       nullptr};
    };
    control.check = [](const Outcome &outcome, bool injected) {
        EXPECT_EQ(outcome.rc, injected ? -1 : 0);
        EXPECT_EQ(mekal_get_nameval("announce", nullptr, nullptr, nullptr, nullptr), -1);
        EXPECT_EQ(heard("announce", mekal_category_control), outcome.rc == 0 ? 1 : 0);
        EXPECT_EQ(g_heard.size(), outcome.rc == 0 ? 1u : 0u);
    };
    drive(control);
}

TEST_F(AllocFailure, RawEntryReleasesWhatItWasHandedAndKeepsTheOldValue) {
    for (Mode mode : {Mode::kNew, Mode::kReplace}) {
        // The handed value is built in the seed, outside the failing window;
        // on -1 the raw entry must release it all.
        struct Handed {
            mekal_value_t *value = nullptr;
            mekal_datatype_t *datatype = nullptr;
        };
        auto handed = std::make_shared<Handed>();
        Case c = recording_case(
            "mekal_raw_namevalue", mode, Result::kHonest,
            {{"raw", 6, "rawsub", "set[2](string8)", "{\"raw-x\",\"raw-y\"}"}},
            [handed] { return mekal_raw_namevalue("raw", 6, "rawsub", handed->value, handed->datatype); });
        auto seed = c.seed;
        c.seed = [seed, handed] {
            seed();
            handed->datatype = mekal_new_datatype("[%s]", 2);
            ASSERT_NE(handed->datatype, nullptr);
            auto *slots = static_cast<mekal_value_t *>(std::calloc(2, sizeof(mekal_value_t)));
            slots[0].as_ptr = strdup("raw-x");
            slots[1].as_ptr = strdup("raw-y");
            handed->value = static_cast<mekal_value_t *>(std::malloc(sizeof(mekal_value_t)));
            handed->value->as_ptr = slots;
        };
        drive(c);
    }
}

TEST_F(AllocFailure, RegistrationWithoutMemoryLinksNothing) {
    for (bool with_info : {false, true}) {
        auto calls = std::make_shared<int>(0);
        auto before = std::make_shared<int>(0);
        Case c;
        c.label = with_info ? "mekal_register_cb_with_info" : "mekal_register_cb";
        c.seed = [calls, before] {
            *calls = 0;
            *before = count_observers();
        };
        c.run = [calls, with_info] {
            if (with_info) {
                mekal_register_cb_with_info(
                    1, mekal_category_control,
                    [](const char *, mekal_value_t *, mekal_datatype_t *,
                       mekal_value_info_t *, void *opaque) { ++*static_cast<int *>(opaque); },
                    1, calls.get());
            } else {
                mekal_register_cb(
                    1, mekal_category_control,
                    [](const char *, mekal_category_t, const char *, mekal_value_t *,
                       mekal_datatype_t *, void *opaque) { ++*static_cast<int *>(opaque); },
                    1, calls.get());
            }
            return Outcome{};
        };
        c.check = [calls, before](const Outcome &, bool injected) {
            const int observers = count_observers();
            registry_block *block = mekal::get_registry_block();
            const bool linked = observers == *before + 1 && (*block->observer_head_slot)->opaque == calls.get();
            EXPECT_TRUE(linked || observers == *before) << observers << " observers";
            EXPECT_EQ(linked, !injected);
            EXPECT_EQ(mekal_flush("probe"), 0);
            EXPECT_EQ(*calls, linked ? 1 : 0);
        };
        drive(c);
    }
}

TEST_F(AllocFailure, NewDatatypeOfNestedTypesFailsWithoutALeak) {
    struct Shape {
        std::string label, type;
        std::function<mekal_datatype_t *()> make;
    };
    const std::vector<Shape> shapes = {
        {"((%d,%s),{%f})", "tuple[2](tuple[2](int4,string8),list[3](double8))",
         [] { return mekal_new_datatype("((%d,%s),{%f})", 2, 2, 3); }},
        {"[<%f32>]", "set[4](range[2](double4))", [] { return mekal_new_datatype("[<%f32>]", 4); }},
        {"{(&%s,[%u16])}", "list[5](tuple[2](&string8,set[3](uint2)))",
         [] { return mekal_new_datatype("{(&%s,[%u16])}", 5, 2, 3); }},
        {"&[(%D,%t)]", "&set[2](&tuple[2](date8,timeval8))",
         [] { return mekal_new_datatype("&[(%D,%t)]", 2, 2); }},
    };
    for (const Shape &shape : shapes) {
        Case c;
        c.label = "mekal_new_datatype " + shape.label;
        auto make = shape.make;
        c.run = [make] { return Outcome{0, make()}; };
        const std::string type = shape.type;
        c.check = [type](const Outcome &outcome, bool injected) {
            const auto *datatype = static_cast<mekal_datatype_t *>(outcome.pointer);
            EXPECT_EQ(datatype == nullptr, injected);
            if (datatype != nullptr) {
                EXPECT_EQ(type_canon(datatype), type);
            }
        };
        c.release = [](const Outcome &outcome) {
            mekal::release_datatype(static_cast<mekal_datatype_t *>(outcome.pointer));
        };
        drive(c);
    }
}

TEST_F(AllocFailure, TypeToStringFailsWithNullAndNoLeak) {
    for (int long_form : {0, 1}) {
        auto datatype = std::make_shared<mekal_datatype_t *>(nullptr);
        Case c;
        c.label = std::string("mekal_type_to_string ") + (long_form ? "long" : "short");
        c.seed = [datatype] { *datatype = mekal_new_datatype("((%d,%s),{%f})", 2, 2, 3); };
        c.run = [datatype, long_form] {
            return Outcome{0, mekal_type_to_string(*datatype, long_form)};
        };
        const std::string expected = long_form ? "tuple of (tuple of (int, string), list of double)"
                                               : "((%d, %s), {%f})";
        c.check = [expected](const Outcome &outcome, bool injected) {
            const auto *text = static_cast<const char *>(outcome.pointer);
            EXPECT_EQ(text == nullptr, injected);
            if (text != nullptr) {
                EXPECT_STREQ(text, expected.c_str());
            }
        };
        c.release = [datatype](const Outcome &outcome) {
            std::free(outcome.pointer);
            mekal::release_datatype(*datatype);
        };
        drive(c);
    }
}

TEST_F(AllocFailure, JsonRenderingFailsWithNullAndNoLeakAndKeepsTheListOrder) {
    // Texts long enough to outgrow the first buffer of either rendering.
    static const std::string long_text(3000, 'x');
    static const char *const texts[2] = {long_text.c_str(), "tab\there"};
    const std::vector<std::pair<std::string, std::function<char *()>>> renderings = {
        {"mekal_value_to_json", [] {
             mekal_datatype_t *datatype = nullptr;
             mekal_value_t *value = nullptr;
             mekal_get_nameval("texts", &datatype, &value, nullptr, nullptr);
             return mekal_value_to_json(value, datatype);
         }},
        {"mekal_namevals_to_json", [] { return mekal_namevals_to_json(mekal_category_all); }},
    };
    for (const auto &[label, render] : renderings) {
        auto expected = std::make_shared<std::string>();
        Case c;
        c.label = label;
        c.seed = [] {
            mekal_namevalue("first", 2, "s", "(%d,%f)", SentinelTuple().bytes, 2);
            mekal_namevalue("texts", 3, nullptr, "{%s}", texts, 2);
        };
        c.run = [render = render] { return Outcome{0, render()}; };
        c.check = [expected](const Outcome &outcome, bool injected) {
            const auto *text = static_cast<const char *>(outcome.pointer);
            // Cutting the block to size may fail harmlessly: the text stands.
            EXPECT_TRUE(text != nullptr || injected);
            // Timestamps differ from run to run.
            const std::string stable = text != nullptr
                ? std::regex_replace(text, std::regex("\"recorded\":\"[^\"]*\""), "") : "";
            if (!injected) *expected = stable;
            if (text != nullptr) {
                EXPECT_EQ(stable, *expected);
            }
            EXPECT_EQ(list_all().front().name, "texts") << "the entry list lost its order";
        };
        c.release = [](const Outcome &outcome) { std::free(outcome.pointer); };
        drive(c);
    }
}

// The facts of this run as the probes report them, read before any
// failure is injected; the collectors must record exactly these.
struct Facts {
    bool launch = false;
    long launch_seconds = 0;
    bool executable = false;
    std::string exe_path, exe_file;
    bool cmdline = false;
    std::string cmdline_raw;
    std::vector<std::string> arguments;
    bool names = false;
    std::string login, gecos;
    bool cwd = false;
    std::string cwd_path;
    bool host = false;
    std::string host_name, cluster;
    std::vector<std::string> libraries;
};

Facts read_facts() {
    Facts f;
    struct timeval start {};
    if (melsys_starttime(&start) == 0 && (start.tv_sec != 0 || start.tv_usec != 0)) {
        f.launch = true;
        f.launch_seconds = static_cast<long>(start.tv_sec);
    }
    char path[4097];
    if (melsys_get_executable(path, sizeof path) == 0) {
        f.executable = true;
        f.exe_path = path;
        const char *slash = std::strrchr(path, '/');
        f.exe_file = slash ? slash + 1 : path;
    }
    char *buffer = nullptr;
    int length = 0;
    if (melsys_get_cmdline_buffer(&buffer, &length) == 0) {
        f.cmdline = true;
        f.cmdline_raw.assign(buffer, static_cast<size_t>(length));
        // One argument per NUL among the first length bytes.
        size_t begin = 0;
        for (int i = 0; i < length; ++i) {
            if (buffer[i] != '\0') continue;
            f.arguments.emplace_back(buffer + begin);
            begin = static_cast<size_t>(i) + 1;
        }
        std::free(buffer);
    }
    char *gecos = nullptr, *login = nullptr;
    if (melsys_get_names(&gecos, &login) == 0) {
        f.names = true;
        f.login = login;
        f.gecos = gecos;
        std::free(gecos);
        std::free(login);
    }
    char cwd[1024];
    if (getcwd(cwd, sizeof cwd) != nullptr) {
        f.cwd = true;
        f.cwd_path = cwd;
    }
    char host[512] = {};
    if (melsys_hostname(host, sizeof host) == 0) {
        f.host = true;
        f.host_name = host;
        for (const char *p = host; *p != '\0' && *p != '.'; ++p)
            if (*p < '0' || *p > '9') f.cluster += *p;
    }
    const char **names = nullptr;
    int count = 0, owned = 0;
    if (melsys_get_libraries(&names, &count, &owned) == 0) {
        for (int i = 0; i < count; ++i) f.libraries.emplace_back(names[i]);
        std::free(names);
    }
    return f;
}

std::string set_type(size_t count, const char *element) {
    return "set[" + std::to_string(count) + "](" + element + ")";
}

struct Collector {
    const char *label;
    int (*collect)();
    bool available;
    Result result;
    Expected expected;
    bool foreign_frees = false;
};

std::vector<Collector> collectors(const Facts &f) {
    const long day = f.launch_seconds / 86400 * 86400;
    return {
        {"mekal_mekalversion", mekal_mekalversion, true, Result::kHonest,
         {"mekalversion", 2, "runinfo", "version8", "\"0.5.0\""}},
        {"mekal_launchdate", mekal_launchdate, f.launch, Result::kHonest,
         {"launchdate", 2, "runinfo", "date8", std::to_string(f.launch_seconds)}},
        {"mekal_launchday", mekal_launchday, f.launch, Result::kHonest,
         {"launchday", 2, "runinfo", "date8", std::to_string(day)}},
        {"mekal_executable", mekal_executable, f.executable, Result::kHonest,
         {"executable", 2, "binary", "string8", quoted(f.exe_file)}, true},
        {"mekal_executablepath", mekal_executablepath, f.executable, Result::kHonest,
         {"executablepath", 2, "binary", "path8", quoted(f.exe_path)}, true},
        {"mekal_cmdline", mekal_cmdline, f.cmdline, Result::kHonest,
         {"cmdline", 2, "runinfo", set_type(f.arguments.size(), "string8"), text_set(f.arguments)}},
        {"mekal_user", mekal_user, f.names, Result::kHonest,
         {"user", 2, "runinfo", "string8", quoted(f.login)}},
        {"mekal_uid", mekal_uid, f.names, Result::kHonest,
         {"uid", 2, "runinfo", "string8", quoted(f.gecos)}},
        {"mekal_workdir", mekal_workdir, f.cwd, Result::kHonest,
         {"working_directory", 2, "runinfo", "path8", quoted(f.cwd_path)}},
        {"mekal_hostname", mekal_hostname, f.host, Result::kHonest,
         {"hostname", 2, "host", "string8", quoted(f.host_name)}},
        {"mekal_clustername", mekal_clustername, f.host, Result::kHonest,
         {"cluster", 2, "host", "string8", quoted(f.cluster)}},
        {"mekal_job_size", mekal_job_size, true, Result::kHonest,
         {"jobsize", 2, "mpi", "uint4", "1"}},
        {"mekal_num_hosts", mekal_num_hosts, true, Result::kHonest,
         {"numhosts", 2, "mpi", "uint4", "1"}},
        {"mekal_libraries", mekal_libraries, true, Result::kHonest,
         {"libraries", 2, "binary", set_type(f.libraries.size(), "path8"), text_set(f.libraries)}},
    };
}

TEST_F(AllocFailure, EachCollectorFailsWithoutALeakOrKeepsTheOldValue) {
    const Facts facts = read_facts();
    for (const Collector &c : collectors(facts)) {
        if (!c.available) {
            std::printf("skipped %s: its probe fails on this machine\n", c.label);
            continue;
        }
        drive_both(c.label, c.result, {c.expected}, c.collect, {}, c.foreign_frees);
    }
}

TEST_F(AllocFailure, CollectAllLosesAtMostTheValueWhoseAllocationFailed) {
    const Facts facts = read_facts();
    std::vector<Expected> expected;
    for (const Collector &c : collectors(facts))
        if (c.available) expected.push_back(c.expected);
    ASSERT_GE(expected.size(), 4u);
    drive_both("mekal_collect_all", Result::kMany, expected, mekal_collect_all, {}, true);
}

// What op records when nothing fails: the values its failing runs must
// either match or leave out.
std::vector<Expected> recorded_by(const std::function<int()> &op) {
    static std::deque<std::string> subcategories;  // outlive the registry's copies
    mekal_clean();
    EXPECT_EQ(op(), 0);
    std::vector<Expected> out;
    for (const Listed &l : list_all()) {
        subcategories.emplace_back(l.subcategory);
        out.push_back({l.name, l.category, subcategories.back().c_str(), type_canon(l.datatype),
                       value_canon(l.datatype, l.value)});
        // The load moves while the test runs; its type is still checked.
        if (l.name == "loadavg") out.back().value_matches = [](const std::string &) { return true; };
    }
    mekal_clean();
    return out;
}

TEST_F(AllocFailure, RunFactCollectorsLoseAtMostTheValueWhoseAllocationFailed) {
    ASSERT_EQ(setenv("SLURM_JOB_ID", "99", 0), 0);
    ASSERT_EQ(setenv("SLURM_JOB_NAME", "alloc", 0), 0);
    ASSERT_EQ(setenv("MEKALAF_ONE", "1", 1), 0);
    ASSERT_EQ(setenv("MEKALAF_TWO", "2", 1), 0);
    static const char *const prefixes[] = {"MEKALAF_", "MEKALAF_T"};
    static const mekal_buildinfo_t info = {sizeof info, 1,     "gcc",  "12.2.0",  "c++", 202002,
                                           0,           "abc", "v1-abc", "main", 1700000000};
    const std::pair<Result, std::function<int()>> operations[] = {
        {Result::kMany, mekal_hostinfo},
        {Result::kMany, mekal_jobinfo},
        {Result::kMany, [] { return mekal_buildinfo(&info); }},
        {Result::kHonest, [] { return mekal_environment(prefixes, 2); }},
    };
    for (const auto &[result, operation] : operations) {
        const std::vector<Expected> expected = recorded_by(operation);
        ASSERT_FALSE(expected.empty());
        drive_both(expected.front().subcategory, result, expected, operation);
    }
}

bool plausible_interval(const std::string &text) {
    long long seconds = -1, micros = -1;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%lld.%lld%c", &seconds, &micros, &tail) != 2) return false;
    return seconds >= 0 && micros >= 0 && micros < 1000000 && text.size() > 7;
}

TEST_F(AllocFailure, FiniRecordsEachTimingWholeOrNotAtAll) {
    mekal_cputime();
    mekal_systime();
    mekal_walltime();
    std::vector<Expected> timings;
    for (const char *name : {"cputime", "systime", "walltime"}) {
        Expected e{name, mekal_category_performance, "timing", "timeval8", ""};
        e.value_matches = plausible_interval;
        timings.push_back(e);
    }
    drive_both("mekal_fini", Result::kMany, timings,
               [] {
                   mekal_fini();
                   return 0;
               },
               {"fini"});
}

TEST_F(AllocFailure, CleanNeedsNoMemoryAndEmptiesEverything) {
    Case c;
    c.label = "mekal_clean";
    c.seed = [] {
        static const char *const texts[2] = {"p", "q"};
        static const struct timeval interval = {1, 2};
        static const int ranges[4] = {1, 2, 3, 4};
        ASSERT_EQ(mekal_namevalue("a", 2, "s", "[%s]", texts, 2), 0);
        ASSERT_EQ(mekal_namevalue("b", 3, nullptr, "%t", &interval), 0);
        ASSERT_EQ(mekal_namevalue("c", 2, "s", "{<%d>}", ranges, 2), 0);
    };
    c.run = [] { return Outcome{mekal_clean(), nullptr}; };
    c.check = [](const Outcome &outcome, bool) {
        EXPECT_EQ(outcome.rc, 0);
        EXPECT_TRUE(list_all().empty());
        for (const char *name : {"a", "b", "c"})
            EXPECT_EQ(mekal_get_nameval(name, nullptr, nullptr, nullptr, nullptr), -1);
        EXPECT_EQ(count_observers(), 0);
        EXPECT_EQ(heard("clean", mekal_category_control), 1);
        EXPECT_EQ(g_heard_with_info, 1);
    };
    drive(c);
}

TEST_F(AllocFailure, AllocatingProbesFailWithoutTouchingTheirOutputs) {
    const Facts facts = read_facts();
    static char untouched;
    {
        Case c;
        c.label = "melsys_get_names";
        auto out = std::make_shared<std::pair<char *, char *>>();
        c.run = [out] {
            out->first = out->second = &untouched;
            return Outcome{melsys_get_names(&out->first, &out->second), nullptr};
        };
        c.check = [out, &facts](const Outcome &outcome, bool injected) {
            EXPECT_EQ(outcome.rc, injected ? -1 : 0);
            if (outcome.rc != 0) {
                EXPECT_EQ(out->first, &untouched);
                EXPECT_EQ(out->second, &untouched);
            } else {
                EXPECT_EQ(out->first, facts.gecos);
                EXPECT_EQ(out->second, facts.login);
            }
        };
        c.release = [out](const Outcome &outcome) {
            if (outcome.rc != 0) return;
            std::free(out->first);
            std::free(out->second);
        };
        if (facts.names) drive(c);
    }
    {
        Case c;
        c.label = "melsys_get_cmdline_buffer";
        auto out = std::make_shared<std::pair<char *, int>>();
        c.run = [out] {
            *out = {&untouched, -7};
            return Outcome{melsys_get_cmdline_buffer(&out->first, &out->second), nullptr};
        };
        c.check = [out, &facts](const Outcome &outcome, bool injected) {
            EXPECT_EQ(outcome.rc, injected ? -1 : 0);
            if (outcome.rc != 0) {
                EXPECT_EQ(out->first, &untouched);
                EXPECT_EQ(out->second, -7);
            } else {
                EXPECT_EQ(std::string(out->first, static_cast<size_t>(out->second)), facts.cmdline_raw);
            }
        };
        c.release = [out](const Outcome &outcome) {
            if (outcome.rc == 0) std::free(out->first);
        };
        if (facts.cmdline) drive(c);
    }
    {
        Case c;
        c.label = "melsys_get_libraries";
        struct Out {
            const char **names;
            int count, owned;
        };
        auto out = std::make_shared<Out>();
        static const char *untouched_names[1] = {nullptr};
        c.run = [out] {
            *out = {untouched_names, -7, -7};
            return Outcome{melsys_get_libraries(&out->names, &out->count, &out->owned), nullptr};
        };
        c.check = [out, &facts](const Outcome &outcome, bool injected) {
            EXPECT_EQ(outcome.rc, injected ? -1 : 0);
            if (outcome.rc != 0) {
                EXPECT_EQ(out->names, untouched_names);
                EXPECT_EQ(out->count, -7);
                EXPECT_EQ(out->owned, -7);
                return;
            }
            std::vector<std::string> names;
            for (int i = 0; i < out->count; ++i) names.emplace_back(out->names[i]);
            EXPECT_EQ(names, facts.libraries);
            EXPECT_EQ(out->names[out->count], nullptr);
        };
        c.release = [out](const Outcome &outcome) {
            if (outcome.rc == 0) std::free(out->names);
        };
        drive(c);
    }
}

}  // namespace
