// What the formatted entry allocates and releases: refused calls keep
// nothing, control values are released after dispatch, and exhausted
// memory at any allocation fails the call without touching what is stored.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "alloc_hooks.h"
#include "mekal.h"

namespace {

class NameValueMemory : public ::testing::Test {
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

TEST_F(NameValueMemory, AFailingFirstScanAllocatesNothing) {
    const char *bad[] = {"", "  ", "%", "%%", "%x", "%F", "%lx", "%lf", "%lli", "%l", "x%d", "&,"};
    alloc_hooks::Scope scope;
    for (const char *typestr : bad) EXPECT_EQ(mekal_namevalue("n", 2, nullptr, typestr, 5), -1);
    EXPECT_EQ(mekal_namevalue("n", 2, nullptr, nullptr, 5), -1);
    EXPECT_EQ(mekal_namevalue(nullptr, 2, nullptr, "%s", "text"), -1);
    EXPECT_EQ(scope.allocations(), 0);
    EXPECT_EQ(scope.frees(), 0);
}

TEST_F(NameValueMemory, AParseFailureReleasesTheSlotAndTheTimevalCopy) {
    struct timeval tv {1, 2};
    {
        alloc_hooks::Scope scope;
        EXPECT_EQ(mekal_namevalue("p", 2, nullptr, "& %t", &tv), -1);
        EXPECT_EQ(scope.allocations(), 2) << "the slot and the timeval copy";
        EXPECT_EQ(scope.frees(), 2);
    }
    {
        alloc_hooks::Scope scope;
        EXPECT_EQ(mekal_namevalue("p", 2, nullptr, "&&%t", &tv), -1);
        EXPECT_EQ(scope.allocations(), 2);
        EXPECT_EQ(scope.frees(), 2);
    }
    char text[] = "t";
    int32_t ints[3] = {1, 2, 3};
    const std::vector<std::function<int()>> calls = {
        [&] { return mekal_namevalue("p", 2, nullptr, "& %s", text); },
        [&] { return mekal_namevalue("p", 2, nullptr, "&&%s", text); },
        [&] { return mekal_namevalue("p", 2, nullptr, "%i7", 5); },
        [&] { return mekal_namevalue("p", 2, nullptr, "%f16", 1.0); },
        [&] { return mekal_namevalue("p", 2, nullptr, "[%d", ints, 3); },
        [&] { return mekal_namevalue("p", 2, nullptr, "(%d,%s)", ints, 3); },
        [&] { return mekal_namevalue("p", 2, nullptr, "[(%d,%x)]", ints, 1, 2); },
    };
    for (size_t i = 0; i < calls.size(); ++i) {
        alloc_hooks::Scope scope;
        EXPECT_EQ(calls[i](), -1) << i;
        EXPECT_GE(scope.allocations(), 1) << i;
        EXPECT_EQ(scope.allocations(), scope.frees()) << i;
    }
    EXPECT_EQ(mekal_get_nameval("p", nullptr, nullptr, nullptr, nullptr), -1);
}

TEST_F(NameValueMemory, MissingValuePointersLeaveNothingAllocated) {
    alloc_hooks::Scope scope;
    EXPECT_EQ(mekal_namevalue("m", 2, nullptr, "[(%s,%d)]", nullptr, 2, 2), -1);
    EXPECT_EQ(mekal_namevalue("m", 2, nullptr, "%t", nullptr), -1);
    EXPECT_EQ(mekal_namevalue("m", 2, nullptr, "%s", nullptr), -1);
    EXPECT_GE(scope.allocations(), 5) << "slots and the parsed datatype were built";
    EXPECT_EQ(scope.allocations(), scope.frees());
}

struct Heard {
    int calls = 0;
    std::string text;
};

void heard_cb(const char *name, mekal_category_t, const char *, mekal_value_t *value,
              mekal_datatype_t *datatype, void *opaque) {
    if (std::strcmp(name, "ctl") != 0) return;
    auto *heard = static_cast<Heard *>(opaque);
    ++heard->calls;
    mekal_datatype_t *member = nullptr;
    mekal_value_t sub{};
    if (mekal_get_subval(datatype, value, 1, &member, &sub) == 0 && member->type == mekal_type_string)
        heard->text = static_cast<const char *>(sub.as_ptr);
}

TEST_F(NameValueMemory, AControlValueIsReleasedOnceTheObserversHaveSeenIt) {
    Heard heard;
    mekal_register_cb(0, mekal_category_all, heard_cb, 1, &heard);
    char text[] = "seen";
    unsigned char packed[12];
    const int32_t number = 5;
    char *pointer = text;
    std::memcpy(packed, &number, 4);
    std::memcpy(packed + 4, &pointer, 8);
    {
        alloc_hooks::Scope scope;
        EXPECT_EQ(mekal_namevalue("ctl", mekal_category_control, "sub", "(%d,%s)", packed, 2), 0);
        EXPECT_GE(scope.allocations(), 5) << "slot, slot array, text copy, tuple record and array";
        EXPECT_EQ(scope.allocations(), scope.frees());
    }
    EXPECT_EQ(heard.calls, 1);
    EXPECT_EQ(heard.text, "seen");
    EXPECT_EQ(mekal_get_nameval("ctl", nullptr, nullptr, nullptr, nullptr), -1);
    mekal_clean();  // the observer's record lives on this stack
}

// Fails allocation 1, 2, ... of one recording until it succeeds. Every
// failed run must return -1, keep nothing and leave the stored value of the
// name alone; check_before is asked whether it still is.
void inject_until_success(const std::function<int()> &call,
                          const std::function<void()> &check_before, long expected_min) {
    long n = 1;
    for (;; ++n) {
        ASSERT_LT(n, 200) << "the recording never succeeded";
        const long failed_before = alloc_hooks::counts().failed;
        alloc_hooks::Scope scope;
        alloc_hooks::fail_nth(n);
        const int result = call();
        const bool failed = alloc_hooks::counts().failed > failed_before;
        alloc_hooks::fail_nth(0);
        if (result == 0) {
            EXPECT_FALSE(failed) << "succeeded although allocation " << n << " failed";
            break;
        }
        EXPECT_TRUE(failed) << "failed without an allocation failure at " << n;
        EXPECT_EQ(result, -1) << n;
        EXPECT_EQ(scope.allocations(), scope.frees()) << "leak after failing allocation " << n;
        check_before();
    }
    EXPECT_GT(n, expected_min) << "fewer allocations than the value needs";
}

TEST_F(NameValueMemory, ExhaustedMemoryAnywhereFailsAndKeepsThePreviousValue) {
    // The previous value: a copied set of two texts.
    const char *old_texts[2] = {"old0", "old1"};
    ASSERT_EQ(mekal_namevalue("nested", 2, "before", "[%s]", old_texts, 2), 0);
    mekal_datatype_t *old_type = nullptr;
    mekal_value_t *old_value = nullptr;
    ASSERT_EQ(mekal_get_nameval("nested", &old_type, &old_value, nullptr, nullptr), 0);
    auto previous_intact = [&] {
        mekal_datatype_t *type = nullptr;
        mekal_value_t *value = nullptr;
        const char *sub = nullptr;
        ASSERT_EQ(mekal_get_nameval("nested", &type, &value, nullptr, &sub), 0);
        EXPECT_EQ(type, old_type);
        EXPECT_EQ(value, old_value);
        EXPECT_STREQ(sub, "before");
        mekal_datatype_t *element = nullptr;
        mekal_value_t text{};
        ASSERT_EQ(mekal_get_subval(type, value, 1, &element, &text), 0);
        EXPECT_STREQ(static_cast<const char *>(text.as_ptr), "old1");
    };

    // The new value: a list of 2 tuples of (text, set of 3 paths, timeval).
    char s0[] = "s0", s1[] = "s1";
    char p[6][3] = {"/a", "/b", "/c", "/d", "/e", "/f"};
    struct timeval tv0 {1, 2}, tv1 {3, 4};
    // Each tuple packs to 8 + 3 * 8 + 8 = 40 bytes, inline and unpadded.
    unsigned char packed[80];
    for (int i = 0; i < 2; ++i) {
        unsigned char *at = packed + 40 * i;
        char *text = i == 0 ? s0 : s1;
        struct timeval *tv = i == 0 ? &tv0 : &tv1;
        std::memcpy(at, &text, 8);
        for (int j = 0; j < 3; ++j) {
            char *path = p[3 * i + j];
            std::memcpy(at + 8 + 8 * j, &path, 8);
        }
        std::memcpy(at + 32, &tv, 8);
    }
    auto record = [&] {
        return mekal_namevalue("nested", 2, "after", "{(%s,[%p],%t)}", packed, 2, 3, 3);
    };
    // Slot, list array, 2 x (tuple array, text, set array, 3 paths, timeval),
    // list, tuple and set records with their arrays, info and subcategory.
    inject_until_success(record, previous_intact, 2 + 2 * 7 + 6 + 2);
    if (HasFatalFailure()) return;

    mekal_datatype_t *type = nullptr;
    mekal_value_t *value = nullptr;
    const char *sub = nullptr;
    ASSERT_EQ(mekal_get_nameval("nested", &type, &value, nullptr, &sub), 0);
    EXPECT_STREQ(sub, "after");
    ASSERT_EQ(type->type, mekal_type_list);
    mekal_datatype_t *tuple_type = nullptr;
    mekal_value_t tuple{};
    ASSERT_EQ(mekal_get_subval(type, value, 1, &tuple_type, &tuple), 0);
    mekal_datatype_t *set_type = nullptr;
    mekal_value_t set{};
    ASSERT_EQ(mekal_get_subval(tuple_type, &tuple, 1, &set_type, &set), 0);
    mekal_datatype_t *path_type = nullptr;
    mekal_value_t path{};
    ASSERT_EQ(mekal_get_subval(set_type, &set, 2, &path_type, &path), 0);
    EXPECT_STREQ(static_cast<const char *>(path.as_ptr), "/f");
    EXPECT_NE(path.as_ptr, p[5]);
    mekal_value_t time{};
    ASSERT_EQ(mekal_get_subval(tuple_type, &tuple, 2, &path_type, &time), 0);
    EXPECT_EQ(static_cast<const struct timeval *>(time.as_ptr)->tv_sec, 3);
}

TEST_F(NameValueMemory, ExhaustedMemoryForANewNameLeavesNoEntry) {
    struct timeval tv {7, 8};
    char text[] = "fresh";
    const std::vector<std::function<int()>> calls = {
        [&] { return mekal_namevalue("fresh", 2, "sub", "%t", &tv); },
        [&] { return mekal_namevalue("fresh", 2, "sub", "%s", text); },
        [&] { return mekal_namevalue("fresh", 2, nullptr, "&%s", text); },
        [&] { return mekal_namevalue("fresh", 2, "sub", "%d", 3); },
    };
    for (size_t i = 0; i < calls.size(); ++i) {
        inject_until_success(calls[i], [] {
            EXPECT_EQ(mekal_get_nameval("fresh", nullptr, nullptr, nullptr, nullptr), -1);
        }, 2);
        if (HasFatalFailure()) return;
        EXPECT_EQ(mekal_get_nameval("fresh", nullptr, nullptr, nullptr, nullptr), 0) << i;
        mekal_clean();
    }
}

}  // namespace
