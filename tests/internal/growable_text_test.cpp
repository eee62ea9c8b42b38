// The growable text of src/common/, included as the tools include it: what
// each write leaves, the NUL kept behind the text, the block handed over at
// exactly its size, and a failed allocation that drops every later write.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "alloc_hooks.h"
#include "growable_text.h"

namespace {

std::string take(char *text) {
    std::string out = text != nullptr ? text : "<null>";
    std::free(text);
    return out;
}

TEST(GrowableText, WritesTruncationAndTheBlockHandedOver) {
    mekal::growable_text text;
    text.append("ab", 1);
    text.append("cd");
    text.append('-');
    text.append_literal("[]");
    for (long long n : {0LL, 7LL, -42LL, LLONG_MAX, LLONG_MIN}) {
        text.append_decimal(n);
        text.append(' ');
    }
    if (char *p = text.room(3)) text.commit(p + 2);  // takes two of the three bytes
    const std::string expected =
        "acd-[]0 7 -42 9223372036854775807 -9223372036854775808 ";
    ASSERT_NE(text.c_str(), nullptr);
    EXPECT_EQ(text.size(), expected.size() + 2);
    text.truncate(expected.size());
    text.truncate(expected.size() + 5);  // never lengthens
    EXPECT_EQ(std::string(text.c_str()), expected);

    // Past the first capacity, handed over in one block of the exact size.
    const std::string long_text(1000, 'x');
    text.append(long_text.c_str(), long_text.size());
    alloc_hooks::Scope scope;
    char *released = text.release();
    EXPECT_EQ(alloc_hooks::counts().last_request_size, expected.size() + long_text.size() + 1);
    EXPECT_EQ(take(released), expected + long_text);
    EXPECT_EQ(take(text.release()), "");  // emptied by the handover
}

TEST(GrowableText, AFailureDropsEveryLaterWriteAndLeavesNothing) {
    alloc_hooks::Scope scope;
    for (const bool out_of_memory : {true, false}) {
        mekal::growable_text text;
        text.append("kept");
        if (out_of_memory) alloc_hooks::fail_nth(1);  // the growth past 64 bytes
        else text.fail();  // a failure for another reason
        text.append(std::string(100, 'y').c_str());
        alloc_hooks::fail_nth(0);
        text.append(std::string(5000, 'z').c_str());  // memory is back: still refused
        EXPECT_TRUE(text.failed()) << out_of_memory;
        EXPECT_EQ(text.room(1), nullptr);
        EXPECT_EQ(text.c_str(), nullptr);
        EXPECT_EQ(text.release(), nullptr);
    }
    EXPECT_EQ(scope.allocations(), scope.frees());
}

}  // namespace
