// The recorder's file-side pieces: output path patterns, the record document,
// the merge of values kept from before a clean, and the atomic write.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "record_file.h"

namespace {

using mekal::record::text_buffer;

std::string take(char *text) {
    std::unique_ptr<char, decltype(&std::free)> owned(text, &std::free);
    return text ? text : "(null)";
}

TEST(RecordFile, OutputPathPatterns) {
    const struct {
        const char *pattern, *host, *name;
        bool ok;
        const char *expected;
    } rows[] = {
        {"mekal-%e-%h-%p.json", "node7", "solver", true, "mekal-solver-node7-4242.json"},
        {"/runs/%p/%p.json", "h", "e", true, "/runs/4242/4242.json"},
        {"100%%-%e", "h", "e", true, "100%-e"},
        {"plain", "h", "e", true, "plain"},
        {"bad-%x", "h", "e", false, ""},
        {"trailing-%", "h", "e", false, ""},
        {"%h.json", "a/b", "e", false, ""},  // a component must not move the file
        {"", "h", "e", false, ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.pattern);
        text_buffer out;
        EXPECT_EQ(mekal::record::expand_path(row.pattern, 4242, row.host, row.name, &out), row.ok);
        if (row.ok) {
            EXPECT_EQ(take(out.release()), row.expected);
        }
    }
}

TEST(RecordFile, RankPathsStayBesideTheJobsRecord) {
    const struct {
        const char *path;
        int rank;
        const char *expected;
    } rows[] = {
        {"/runs/job.json", 3, "/runs/job.rank3.json"},
        {"/runs/job", 0, "/runs/job.rank0"},
        {"/runs/job.JSON", 12, "/runs/job.JSON.rank12"},
        {"/runs/.json", 1, "/runs/.json.rank1"},  // a file named .json has no stem
    };
    for (const auto &row : rows) {
        text_buffer out;
        EXPECT_TRUE(mekal::record::rank_path(row.path, row.rank, &out));
        EXPECT_EQ(take(out.release()), row.expected);
    }
}

TEST(RecordFile, DocumentHoldsTheHeaderAndTheValues) {
    const mekal::record::program_facts program{"\"/bin/app\"", "[\"app\", \"-v\"]", 99, "\"node\""};
    const char *values = "[\n{\"name\":\"a\",\"value\":1},\n{\"name\":\"b\",\"value\":[2]}\n]\n";
    for (bool complete : {false, true}) {
        const auto doc = nlohmann::json::parse(take(mekal::record::build_record(
            program, "\"0.5.0\"", values, complete, complete, 3)));
        EXPECT_EQ(doc["schema"], "mekal-run-record");
        EXPECT_EQ(doc["schema_version"], 1);
        EXPECT_EQ(doc["complete"], complete);
        EXPECT_EQ(doc["exit_status"], complete ? nlohmann::json(3) : nlohmann::json(nullptr));
        EXPECT_EQ(doc["program"], nlohmann::json::parse(
                                      R"({"executable":"/bin/app","argv":["app","-v"],"pid":99,"host":"node"})"));
        EXPECT_EQ(doc["recorder"]["version"], "0.5.0");
        EXPECT_EQ(doc["values"].size(), 2u);
        EXPECT_FALSE(doc.contains("mpi"));
    }
    const auto job = nlohmann::json::parse(
        take(mekal::record::build_record(program, "\"0.5.0\"", values, true, false, 0, 8)));
    EXPECT_EQ(job["mpi"], nlohmann::json::parse(R"({"size":8})"));
}

TEST(RecordFile, MergeKeepsValuesFromBeforeACleanUnlessRecordedAgain) {
    // Entries as name=v, in the merged order.
    const struct {
        const char *snapshot, *current, *expected;
    } rows[] = {
        {"[\n{\"name\":\"a\",\"v\":1},\n{\"name\":\"b\",\"v\":2}\n]\n", "[]\n", "a=1 b=2"},
        {"[]\n", "[\n{\"name\":\"c\",\"v\":3}\n]\n", "c=3"},
        {"[\n{\"name\":\"a\",\"v\":1},\n{\"name\":\"b\",\"v\":2}\n]\n",
         "[\n{\"name\":\"b\",\"v\":5},\n{\"name\":\"c\",\"v\":3}\n]\n", "a=1 b=5 c=3"},
        // Escaped quotes in names compare as written.
        {"[\n{\"name\":\"q\\\"x\",\"v\":1},\n{\"name\":\"q\",\"v\":2}\n]\n",
         "[\n{\"name\":\"q\\\"x\",\"v\":9}\n]\n", "q=2 q\"x=9"},
        {"[]\n", "[]\n", ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.expected);
        const auto merged = nlohmann::json::parse(take(mekal::record::merge_values(row.snapshot, row.current)));
        std::string got;
        for (const auto &entry : merged)
            got += (got.empty() ? "" : " ") + entry["name"].get<std::string>() + "=" + entry["v"].dump();
        EXPECT_EQ(got, row.expected);
    }
}

TEST(RecordFile, WritesAtomicallyAndLeavesNothingBehindOnFailure) {
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp ? tmp : "/tmp") + "/mekal-record-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const std::string path = pattern + "/r.json";
    auto entries = [&] {
        std::vector<std::string> out;
        DIR *d = opendir(pattern.c_str());
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') out.emplace_back(e->d_name);
        closedir(d);
        return out;
    };
    for (const char *text : {"first\n", "second, longer\n"}) {
        ASSERT_EQ(mekal::record::write_atomically(path.c_str(), text, std::strlen(text), 0640), 0);
        std::ifstream in(path);
        std::stringstream got;
        got << in.rdbuf();
        EXPECT_EQ(got.str(), text);
        struct stat st{};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0640u);
        EXPECT_EQ(entries(), std::vector<std::string>{"r.json"});
    }
    EXPECT_EQ(mekal::record::write_atomically((pattern + "/missing/r.json").c_str(), "x", 1, 0644), ENOENT);
    // A directory in the way of the rename: the temporary file goes again.
    ASSERT_EQ(mkdir((pattern + "/d.json").c_str(), 0700), 0);
    EXPECT_EQ(mekal::record::write_atomically((pattern + "/d.json").c_str(), "x", 1, 0644), EISDIR);
    EXPECT_EQ(entries().size(), 2u);
    rmdir((pattern + "/d.json").c_str());
    unlink(path.c_str());
    rmdir(pattern.c_str());
}

}  // namespace
