// The recorder's file-side pieces: output path patterns, the record document,
// the values kept from before a clean, and the atomic write.
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

#include "atomic_file.h"
#include "entries.h"
#include "output_path.h"
#include "record_file.h"

namespace {


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
        mekal::growable_text out;
        EXPECT_EQ(mekal::record::expand_path(row.pattern, 4242, row.host, row.name, &out), row.ok);
        // mekal-run refuses a bad pattern before the program runs.
        EXPECT_EQ(mekal::record::pattern_error(row.pattern) == nullptr,
                  row.ok || std::strchr(row.host, '/') != nullptr);
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
        mekal::growable_text out;
        EXPECT_TRUE(mekal::record::rank_path(row.path, row.rank, &out));
        EXPECT_EQ(take(out.release()), row.expected);
    }
}

mekal::record::record_entry *entry(const char *name, const char *value) {
    const std::string name_json = std::string("\"") + name + '"';
    return mekal::record::new_entry({name, name_json.c_str(), 2, "null", "\"%d\"", "\"int\"", value,
                                     false, 0, {1765000000, 5}});
}

// The names and values of a list, as "a=1 b=2".
std::string names_and_values(const mekal::record::entry_list &list) {
    std::string out;
    list.each([&](const mekal::record::record_entry &e) {
        out += (out.empty() ? "" : " ") + std::string(e.name) + "=" + e.value_json;
    });
    return out;
}

TEST(RecordFile, DocumentHoldsTheHeaderAndTheValues) {
    mekal::record::entry_list values;
    ASSERT_TRUE(values.put(entry("a", "1")));
    ASSERT_TRUE(values.put(entry("b", "[2]")));
    for (int job_size : {0, 8}) {
        const mekal::record::record_header header{
            "\"/bin/app\"", "[\"app\", \"-v\"]", 99, "\"node\"", job_size > 0, job_size > 0, 3, job_size};
        const auto doc = nlohmann::json::parse(take(mekal::record::build_record(header, values)));
        EXPECT_EQ(doc["schema"], "mekal-run-record");
        EXPECT_EQ(doc["schema_version"], 1);
        EXPECT_EQ(doc["complete"], job_size > 0);
        EXPECT_EQ(doc["exit_status"], job_size > 0 ? nlohmann::json(3) : nlohmann::json(nullptr));
        EXPECT_EQ(doc["program"], nlohmann::json::parse(
                                      R"({"executable":"/bin/app","argv":["app","-v"],"pid":99,"host":"node"})"));
        EXPECT_EQ(doc["recorder"]["version"], "0.5.0");
        EXPECT_EQ(doc["values"][1], nlohmann::json::parse(
            R"({"name":"b","category":2,"category_name":"general","subcategory":null,"type":"%d",
                "long_type":"int","value":[2],"recorded":"2025-12-06T05:46:40.000000005Z"})"));
        EXPECT_EQ(doc.contains("mpi"), job_size > 0);
    }
}

TEST(RecordFile, ValuesFromBeforeACleanStayUnlessRecordedAgain) {
    // (kept, taken since, the record's values)
    const std::vector<std::vector<std::pair<const char *, const char *>>> rows[] = {
        {{{"a", "1"}, {"b", "2"}}, {}, {{"a", "1"}, {"b", "2"}}},
        {{}, {{"c", "3"}}, {{"c", "3"}}},
        {{{"a", "1"}, {"b", "2"}}, {{"b", "5"}, {"c", "3"}}, {{"a", "1"}, {"b", "5"}, {"c", "3"}}},
        {{{"a", "1"}, {"b", "2"}, {"c", "3"}}, {{"a", "4"}}, {{"b", "2"}, {"c", "3"}, {"a", "4"}}},
    };
    for (const auto &row : rows) {
        mekal::record::entry_list kept, taken, expected;
        for (const auto &[name, value] : row[0]) ASSERT_TRUE(kept.put(entry(name, value)));
        for (const auto &[name, value] : row[1]) ASSERT_TRUE(taken.put(entry(name, value)));
        for (const auto &[name, value] : row[2]) ASSERT_TRUE(expected.put(entry(name, value)));
        ASSERT_TRUE(kept.absorb(&taken));
        EXPECT_EQ(names_and_values(kept), names_and_values(expected));
        EXPECT_EQ(taken.size(), 0u);
    }
    // Many names, each replaced many times: one entry per name, in order.
    mekal::record::entry_list many;
    for (int round = 0; round < 50; ++round)
        for (const char *name : {"x", "y", "z"}) ASSERT_TRUE(many.put(entry(name, std::to_string(round).c_str())));
    EXPECT_EQ(names_and_values(many), "x=49 y=49 z=49");
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
    // A name at the system's limit leaves room for no suffix: the temporary
    // file has a name of its own.
    const std::string longest = pattern + "/" + std::string(255, 'n');
    EXPECT_EQ(mekal::record::write_atomically(longest.c_str(), "x", 1, 0644), 0);
    EXPECT_EQ(unlink(longest.c_str()), 0);
    // A directory in the way of the rename: the temporary file goes again.
    ASSERT_EQ(mkdir((pattern + "/d.json").c_str(), 0700), 0);
    EXPECT_EQ(mekal::record::write_atomically((pattern + "/d.json").c_str(), "x", 1, 0644), EISDIR);
    EXPECT_EQ(entries().size(), 2u);
    rmdir((pattern + "/d.json").c_str());
    unlink(path.c_str());
    rmdir(pattern.c_str());
}

}  // namespace
