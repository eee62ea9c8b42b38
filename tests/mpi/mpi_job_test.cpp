// The job facts under mpirun with 4 ranks, with this program's own host
// probe and MPI version text standing in where a case sets them; outside
// MPI_Init and MPI_Finalize the collectors fail and record nothing.
#define OMPI_SKIP_MPICXX 1
#include <mpi.h>

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "mekal.h"
#include "stored_value.h"

using testing_helpers::stored;

namespace {

using Collector = std::pair<const char *, int (*)()>;

std::vector<std::string> g_hosts;       // host of rank r: g_hosts[r % size]; empty: the real one
const char *g_library_text = nullptr;  // the MPI's version text as the library reads it

int world_rank() {
    int rank = -1;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    return rank;
}

unsigned stored_count(const char *name) {
    const testing_helpers::Stored s = stored(name);
    return s.found ? static_cast<unsigned>(s.value->as_int) : ~0u;
}

}  // namespace

extern "C" int melsys_hostname(char *buf, int size) {
    static auto real = reinterpret_cast<int (*)(char *, int)>(dlsym(RTLD_NEXT, "melsys_hostname"));
    if (g_hosts.empty()) return real(buf, size);
    const std::string &host = g_hosts[world_rank() % g_hosts.size()];
    std::snprintf(buf, static_cast<size_t>(size), "%s", host.c_str());
    return 0;
}

extern "C" int PMPI_Get_library_version(char *text, int *length) {
    static auto real =
        reinterpret_cast<int (*)(char *, int *)>(dlsym(RTLD_NEXT, "PMPI_Get_library_version"));
    if (g_library_text == nullptr) return real(text, length);
    *length = std::snprintf(text, MPI_MAX_LIBRARY_VERSION_STRING, "%s", g_library_text);
    return MPI_SUCCESS;
}

namespace {

class MpiJob : public ::testing::Test {
protected:
    void TearDown() override {
        MPI_Comm world = MPI_COMM_WORLD;
        EXPECT_EQ(mekal_set_communicator(&world), 0);
        g_hosts.clear();
        g_library_text = nullptr;
        mekal_clean();
    }
};

TEST_F(MpiJob, CollectAllRecordsTheJobAndItsMpiOnEveryRank) {
    int size = 0, major = 0, minor = 0, length = 0;
    MPI_Comm_size(MPI_COMM_WORLD, &size);
    MPI_Get_version(&major, &minor);
    char text[MPI_MAX_LIBRARY_VERSION_STRING] = {}, host[512] = {};
    MPI_Get_library_version(text, &length);
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);

    ASSERT_EQ(mekal_collect_all(), 0);
    EXPECT_EQ(stored_count("jobsize"), static_cast<unsigned>(size));
    EXPECT_EQ(stored_count("numhosts"), 1u);
    EXPECT_EQ(stored("hostlist").texts(), std::vector<std::string>{host});
    EXPECT_EQ(stored("mpi_version").text(), std::to_string(major) + "." + std::to_string(minor));
#ifdef OMPI_MAJOR_VERSION
    EXPECT_EQ(stored("mpi_library").text() + " " + stored("mpi_library_version").text(),
              "Open MPI " + std::to_string(OMPI_MAJOR_VERSION) + "." +
                  std::to_string(OMPI_MINOR_VERSION) + "." + std::to_string(OMPI_RELEASE_VERSION));
#endif
    for (const char *name : {"mpi_library", "mpi_library_version"})
        EXPECT_NE(std::string(text).find(stored(name).text()), std::string::npos) << name;
    for (const auto &[name, type] : {std::pair{"jobsize", "%u"}, {"numhosts", "%u"},
                                     {"hostlist", "[%s]"}, {"mpi_version", "%v"},
                                     {"mpi_library", "%s"}, {"mpi_library_version", "%v"}})
        EXPECT_EQ(stored(name).typestr + "/" + stored(name).subcategory, type + std::string("/mpi"));
}

TEST_F(MpiJob, HostsAreTheDistinctNamesOfTheRanksSorted) {
    const std::vector<std::vector<std::string>> by_rank_then_hosts[] = {
        {{"a", "a", "b", "b"}, {"a", "b"}},
        {{"n3", "n2", "n1", "n0"}, {"n0", "n1", "n2", "n3"}},
        {{"node10", "node1"}, {"node1", "node10"}},
        {{"x", "a-much-longer-name", "x", ""}, {"", "a-much-longer-name", "x"}},
    };
    for (const auto &c : by_rank_then_hosts) {
        g_hosts = c[0];
        EXPECT_EQ(mekal_num_hosts(), 0);
        EXPECT_EQ(mekal_hostlist(), 0);
        EXPECT_EQ(stored_count("numhosts"), c[1].size()) << c[1][0];
        EXPECT_EQ(stored("hostlist").texts(), c[1]);
    }
}

TEST_F(MpiJob, LibraryNameAndVersionComeFromTheFirstLineOfItsText) {
    const char *const cases[][3] = {
        {"Open MPI v4.1.4, package: Debian OpenMPI, ident: 4.1.4", "Open MPI", "4.1.4"},
        {"MPICH Version:\t4.0.2\nMPICH Release date: 2022", "MPICH", "4.0.2"},
        {"MVAPICH2 Version      :\t2.3.7\n", "MVAPICH2", "2.3.7"},
        {"Intel(R) MPI Library 2021.5 for Linux* OS\n", "Intel(R) MPI Library", "2021.5"},
        {"Some MPI 7.\nversion 9.9", "Some MPI", "7"},
        {"Plain MPI\n1.0", "Plain MPI", nullptr},
        {"v2.0 only", nullptr, "2.0"},
    };
    for (const auto &c : cases) {
        g_library_text = c[0];
        EXPECT_EQ(mekal_mpi_library(), c[1] ? 0 : -1) << c[0];
        EXPECT_EQ(mekal_mpi_library_version(), c[2] ? 0 : -1) << c[0];
        EXPECT_EQ(stored("mpi_library").text(), c[1] ? c[1] : "(missing)") << c[0];
        EXPECT_EQ(stored("mpi_library_version").text(), c[2] ? c[2] : "(missing)") << c[0];
        mekal_clean();
    }
}

TEST_F(MpiJob, ASetCommunicatorNarrowsTheJobAndOnlyAnIntracommunicatorIsTaken) {
    const int rank = world_rank();
    MPI_Comm none = MPI_COMM_NULL, half = MPI_COMM_NULL, inter = MPI_COMM_NULL;
    MPI_Comm_split(MPI_COMM_WORLD, rank / 2, 0, &half);
    MPI_Intercomm_create(half, 0, MPI_COMM_WORLD, rank < 2 ? 2 : 0, 7, &inter);
    EXPECT_EQ(mekal_set_communicator(nullptr), -1);
    EXPECT_EQ(mekal_set_communicator(&none), -1);
    EXPECT_EQ(mekal_set_communicator(&inter), -1);
    EXPECT_EQ(mekal_set_communicator(&half), 0);
    g_hosts = {"a", "a", "b", "b"};
    EXPECT_EQ(mekal_collect_all(), 0);
    EXPECT_EQ(stored_count("jobsize"), 2u);
    EXPECT_EQ(stored("hostlist").texts(), std::vector<std::string>{rank < 2 ? "a" : "b"});
    MPI_Comm_free(&inter);
    MPI_Comm_free(&half);
}

void expect_no_job_facts(const char *when) {
    EXPECT_EQ(mekal_collect_all(), 0) << when;  // the process's own facts still
    for (const auto &[name, collect] :
         {Collector{"jobsize", mekal_job_size}, {"numhosts", mekal_num_hosts},
          {"hostlist", mekal_hostlist}, {"mpi_version", mekal_mpi_version},
          {"mpi_library", mekal_mpi_library}, {"mpi_library_version", mekal_mpi_library_version}}) {
        EXPECT_EQ(collect(), -1) << name << " " << when;
        EXPECT_FALSE(stored(name).found) << name << " " << when;
    }
    mekal_clean();
}

class MpiSession : public ::testing::Environment {
public:
    void SetUp() override {
        expect_no_job_facts("before MPI_Init");
        MPI_Init(nullptr, nullptr);
    }
    void TearDown() override {
        MPI_Finalize();
        expect_no_job_facts("after MPI_Finalize");
    }
};

}  // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new MpiSession);
    return RUN_ALL_TESTS();
}
