// Lifecycle: the timings mekal_fini records from the probes, the control
// events and their order. This program supplies its own time probes.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstring>

#include "mekal.h"
#include "registry_helpers.h"

using namespace testing_helpers;

namespace {
struct FakeClock {
    int times_rc = 0;
    struct timeval sys = {1, 250000};
    struct timeval user = {4, 500000};
    int start_rc = 0;
    struct timeval start = {10, 900000};
    int now_rc = 0;
    struct timeval now = {12, 100000};
} g_clock;
}  // namespace

extern "C" {
int melsys_get_times(struct timeval *sys_out, struct timeval *user_out) {
    if (g_clock.times_rc != 0) return g_clock.times_rc;
    if (sys_out) *sys_out = g_clock.sys;
    if (user_out) *user_out = g_clock.user;
    return 0;
}
int melsys_starttime(struct timeval *tv) {
    *tv = g_clock.start_rc == 0 ? g_clock.start : timeval{0, 0};
    return g_clock.start_rc;
}
int melsys_curtime(struct timeval *tv) {
    if (g_clock.now_rc == 0) *tv = g_clock.now;
    return g_clock.now_rc;
}
}

namespace {

class Lifecycle : public ::testing::Test {
protected:
    void SetUp() override {
        g_clock = FakeClock{};
        mekal_register_cb(1, mekal_category_all, plain_cb, 0, &recorder_);
    }
    void TearDown() override { mekal_clean(); }

    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto &e : events_) out.push_back(e.name);
        return out;
    }
    static struct timeval stored_timeval(const char *name) {
        mekal_value_t *value = nullptr;
        mekal_datatype_t *datatype = nullptr;
        mekal_category_t category = 0;
        const char *sub = nullptr;
        EXPECT_EQ(mekal_get_nameval(name, &datatype, &value, &category, &sub), 0) << name;
        if (!value) return {-1, -1};
        EXPECT_EQ(datatype->type, mekal_type_timeval);
        EXPECT_EQ(category, mekal_category_performance);
        EXPECT_STREQ(sub, "timing");
        return *static_cast<const struct timeval *>(value->as_ptr);
    }

    std::vector<Event> events_;
    Recorder recorder_{"r", &events_};
};

// The request flags are per copy and never cleared, so the test without
// requests must run first in this program.
TEST_F(Lifecycle, A_FiniWithoutRequestsSendsOnlyFini) {
    mekal_fini();
    ASSERT_EQ(names(), (std::vector<std::string>{"fini"}));
    EXPECT_EQ(events_[0].category, mekal_category_control);
    EXPECT_EQ(events_[0].subcategory, nullptr);
    EXPECT_EQ(events_[0].value_copy.as_int, 0);
    EXPECT_EQ(events_[0].datatype, mekal_get_basetype(mekal_type_int));
    EXPECT_EQ(mekal_get_nameval("fini", nullptr, nullptr, nullptr, nullptr), -1);
}

TEST_F(Lifecycle, B_RequestedTimingsComeInOrderThenFini) {
    EXPECT_EQ(mekal_cputime(), 0);
    EXPECT_EQ(mekal_systime(), 0);
    EXPECT_EQ(mekal_walltime(), 0);
    mekal_fini();
    ASSERT_EQ(names(), (std::vector<std::string>{"cputime", "systime", "walltime", "fini"}));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(events_[i].category, mekal_category_performance);
        EXPECT_STREQ(events_[i].subcategory, "timing");
    }
    struct timeval cpu = stored_timeval("cputime");
    EXPECT_EQ(cpu.tv_sec, 4);
    EXPECT_EQ(cpu.tv_usec, 500000);
    struct timeval sys = stored_timeval("systime");
    EXPECT_EQ(sys.tv_sec, 1);
    EXPECT_EQ(sys.tv_usec, 250000);
    // 10.900000 to 12.100000: the microseconds borrow a second.
    struct timeval wall = stored_timeval("walltime");
    EXPECT_EQ(wall.tv_sec, 1);
    EXPECT_EQ(wall.tv_usec, 200000);

    // Without a borrow; and a second fini replaces the values in place.
    g_clock.start = {10, 100000};
    g_clock.now = {12, 900000};
    events_.clear();
    mekal_fini();
    EXPECT_EQ(names().size(), 4u);
    wall = stored_timeval("walltime");
    EXPECT_EQ(wall.tv_sec, 2);
    EXPECT_EQ(wall.tv_usec, 800000);
    EXPECT_EQ(listed_names(), (std::vector<std::string>{"walltime", "systime", "cputime"}));
}

TEST_F(Lifecycle, C_FailingProbesSkipOnlyTheirTiming) {
    g_clock.times_rc = -1;
    mekal_fini();
    EXPECT_EQ(names(), (std::vector<std::string>{"walltime", "fini"}));
    events_.clear();
    g_clock = FakeClock{};
    g_clock.start_rc = -1;
    mekal_fini();
    EXPECT_EQ(names(), (std::vector<std::string>{"cputime", "systime", "fini"}));
    events_.clear();
    g_clock = FakeClock{};
    g_clock.now_rc = -1;
    mekal_fini();
    EXPECT_EQ(names(), (std::vector<std::string>{"cputime", "systime", "fini"}));
}

TEST_F(Lifecycle, D_RequestsArePerCopy) {
    // A second copy of the library: its requests are its own, and its
    // mekal_fini reaches this program's probes like the first copy's does.
    void *handle = dlopen(MEKAL_COPY2_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    auto other_fini = reinterpret_cast<decltype(&mekal_fini)>(dlsym(handle, "mekal_fini"));
    ASSERT_NE(other_fini, nullptr);
    other_fini();
    EXPECT_EQ(names(), (std::vector<std::string>{"fini"})) << "requests of this copy are not seen";
    events_.clear();
    auto other_walltime = reinterpret_cast<decltype(&mekal_walltime)>(dlsym(handle, "mekal_walltime"));
    ASSERT_NE(other_walltime, nullptr);
    g_clock.start = {100, 0};
    g_clock.now = {103, 5};
    EXPECT_EQ(other_walltime(), 0);
    other_fini();
    EXPECT_EQ(names(), (std::vector<std::string>{"walltime", "fini"}));
    struct timeval wall = stored_timeval("walltime");
    EXPECT_EQ(wall.tv_sec, 3);
    EXPECT_EQ(wall.tv_usec, 5);
}

TEST_F(Lifecycle, FlushAndCleanAreControlEvents) {
    ASSERT_EQ(record_int("v", 1), 0);
    const char location[] = "/tmp/out";
    EXPECT_EQ(mekal_flush(location), 0);
    ASSERT_EQ(events_.size(), 2u);
    EXPECT_EQ(events_[1].name, "flush");
    EXPECT_EQ(events_[1].value_copy.as_ptr, location) << "the location is passed unchanged";
    EXPECT_EQ(events_[1].datatype, mekal_get_basetype(mekal_type_path));

    // Observers get "clean" while the entries are still there.
    struct Probe {
        int entries_at_clean = -1;
    } probe;
    mekal_register_cb(
        1, mekal_category_control,
        [](const char *name, mekal_category_t, const char *, mekal_value_t *,
           mekal_datatype_t *, void *o) {
            if (std::strcmp(name, "clean") == 0)
                static_cast<Probe *>(o)->entries_at_clean = static_cast<int>(listed_names().size());
        },
        0, &probe);
    EXPECT_EQ(mekal_clean(), 0);
    EXPECT_EQ(probe.entries_at_clean, 1);
    EXPECT_EQ(events_.back().name, "clean");
    const size_t seen = events_.size();
    EXPECT_EQ(mekal_clean(), 0);
    EXPECT_EQ(events_.size(), seen) << "no observer is left to see a second clean";
    // Works as new afterwards.
    mekal_register_cb(1, mekal_category_all, plain_cb, 0, &recorder_);
    ASSERT_EQ(record_int("w", 2), 0);
    EXPECT_EQ(events_.back().name, "w");
}

}  // namespace
