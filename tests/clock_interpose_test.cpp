// The library reaches its own exported functions through the dynamic
// linker: this program's melsys_clock_realtime replaces the library's.
#include <gtest/gtest.h>

#include "mekal.h"
#include "registry_helpers.h"

static int g_clock_calls = 0;

extern "C" int melsys_clock_realtime(struct timespec *ts) {
    ++g_clock_calls;
    ts->tv_sec = 1234567890;
    ts->tv_nsec = 424242;
    return 0;
}

namespace {

void info_observer(const char *, mekal_value_t *, mekal_datatype_t *,
                   mekal_value_info_t *info, void *opaque) {
    *static_cast<mekal_value_info_t *>(opaque) = *info;
}

TEST(ClockInterposition, StoredAndControlTimestampsComeFromTheProgramsClock) {
    mekal_value_info_t seen{};
    mekal_register_cb_with_info(1, mekal_category_all, info_observer, 0, &seen);
    ASSERT_EQ(testing_helpers::record_int("stamped", 1), 0);
    mekal_value_info_t *info = nullptr;
    ASSERT_EQ(mekal_get_nameval_with_info("stamped", nullptr, nullptr, &info), 0);
    EXPECT_EQ(info->timestamp.tv_sec, 1234567890);
    EXPECT_EQ(info->timestamp.tv_nsec, 424242);
    EXPECT_EQ(seen.timestamp.tv_sec, 1234567890);

    // The temporary record of a control event is stamped the same way.
    seen = mekal_value_info_t{};
    const int before = g_clock_calls;
    mekal_flush("x");
    EXPECT_EQ(g_clock_calls, before + 1);
    EXPECT_EQ(seen.category, mekal_category_control);
    EXPECT_EQ(seen.timestamp.tv_nsec, 424242);
    mekal_clean();
}

}  // namespace
