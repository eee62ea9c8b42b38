// The merge of an MPI job's values without MPI: entry lines cut at their
// members, the ranks' answers to rank 0's digest merged into one list, what
// rank 0 recorded after the merge, and every failed allocation.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "alloc_hooks.h"
#include "job_merge.h"

namespace {

using mekal::record::value_table;
using nlohmann::json;

std::string take(char *text) {
    std::unique_ptr<char, decltype(&std::free)> owned(text, &std::free);
    return text ? text : "(null)";
}

// An entry line as the registry renders it; value is JSON text.
std::string entry(const std::string &name, const std::string &type, const std::string &value,
                  const std::string &recorded = "\"2026-01-05T10:00:00.000000000Z\"") {
    return R"({"name":")" + name + R"(","category":2,"category_name":"general","subcategory":"s",)" +
           R"("type":")" + type + R"(","long_type":")" + type + R"(","value":)" + value +
           R"(,"recorded":)" + recorded + "}";
}

std::string registry(const std::vector<std::string> &entries) {
    std::string text = "[";
    for (size_t i = 0; i < entries.size(); ++i) text += (i ? ",\n" : "\n") + entries[i];
    return text + (entries.empty() ? "]\n" : "\n]\n");
}

// The whole exchange among the ranks' registries; answer_lengths gets what
// each rank sends to rank 0.
std::string merge(const std::vector<std::string> &ranks, std::vector<size_t> *answer_lengths,
                  mekal::record::merge_counts *counts = nullptr) {
    value_table root;
    EXPECT_TRUE(mekal::record::index_values(ranks[0].c_str(), &root));
    std::vector<uint64_t> digest(2 * root.count + 1);
    mekal::record::root_digest(root, digest.data());
    std::vector<std::string> answers(ranks.size());
    std::vector<const char *> starts(ranks.size());
    answer_lengths->assign(ranks.size(), 0);
    for (size_t rank = 1; rank < ranks.size(); ++rank) {
        value_table mine;
        EXPECT_TRUE(mekal::record::index_values(ranks[rank].c_str(), &mine));
        answers[rank] = take(mekal::record::answer_digest(mine, digest.data(), root.count,
                                                          &(*answer_lengths)[rank]));
        starts[rank] = answers[rank].data();
    }
    return take(mekal::record::merge_answers(root, starts.data(), answer_lengths->data(),
                                             static_cast<int>(ranks.size()), counts));
}

TEST(JobMerge, CutsEntryLinesAtTheirMembers) {
    const struct {
        std::string line;
        bool ok;
        const char *name = "", *type = "", *value = "";
    } rows[] = {
        {entry("a", "%d", "5"), true, "a", R"("%d")", "5"},
        // A value embedded as JSON may spell the members' names; a name
        // cannot, its quotes are escaped.
        {entry("j", "%j", R"({"x":1,"recorded":"y","type":2})"), true, "j", R"("%j")",
         R"({"x":1,"recorded":"y","type":2})"},
        {entry(R"(q\",\"type\":\"x)", "%s", R"("v")"), true, R"(q\",\"type\":\"x)", R"("%s")",
         R"("v")"},
        {entry("n", "%d", "1", "null"), true, "n", R"("%d")", "1"},
        {R"({"name":"a","category":2,"type":"%d","long_type":"int","recorded":null})", false},
        {R"({"value":1,"name":"a"})", false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.line);
        mekal::record::entry_line e;
        ASSERT_EQ(mekal::record::split_entry(row.line.data(), row.line.size(), &e), row.ok);
        if (!row.ok) continue;
        const std::string line(e.line, e.length);
        EXPECT_EQ(std::string(e.name, e.name_length), row.name);
        EXPECT_EQ(line.substr(e.type_at + 8, e.long_type_at - e.type_at - 8), row.type);
        EXPECT_EQ(line.substr(e.value_at + 9, e.recorded_at - e.value_at - 9), row.value);
        EXPECT_EQ(line.back(), '}');
    }
    // Two entries of one name (one hash) are refused.
    value_table table;
    EXPECT_FALSE(mekal::record::index_values(
        registry({entry("a", "%d", "1"), entry("a", "%d", "2")}).c_str(), &table));
}

TEST(JobMerge, OneListWithWhatDiffersPerRank) {
    const std::vector<std::string> ranks = {
        registry({entry("mesh", "%s", R"("box")"), entry("rank", "%d", "0"),
                  entry("only0", "%d", "1"), entry("typed", "%d", "1")}),
        registry({entry("mesh", "%s", R"("box")"), entry("rank", "%d", "1"),
                  entry("typed", "%f", "1.5"), entry("extra_b", "%d", "2")}),
        registry({entry("extra_a", "%d", "3"), entry("mesh", "%s", R"("box")"),
                  entry("rank", "%d", "2"), entry("only0", "%d", "1"), entry("typed", "%d", "1"),
                  entry("extra_b", "%d", "2")}),
        // The same entries as rank 0's, recorded at another time.
        registry({entry("mesh", "%s", R"("box")", "null"), entry("rank", "%d", "0"),
                  entry("only0", "%d", "1"), entry("typed", "%d", "1")}),
    };
    std::vector<size_t> sent;
    mekal::record::merge_counts counts;
    const json merged = json::parse(merge(ranks, &sent, &counts));
    // Rank 0's names in its order, then those it lacks by name. "ranks" as
    // [rank, type, value]; rank 3, equal to rank 0, has rank 0's values.
    const struct {
        const char *name, *type, *value, *ranks;
    } expected[] = {
        {"mesh", R"("%s")", R"("box")", nullptr},
        {"rank", R"("%d")", nullptr, R"([[0,"%d",0],[1,"%d",1],[2,"%d",2],[3,"%d",0]])"},
        {"only0", R"("%d")", nullptr, R"([[0,"%d",1],[2,"%d",1],[3,"%d",1]])"},
        {"typed", "null", nullptr, R"([[0,"%d",1],[1,"%f",1.5],[2,"%d",1],[3,"%d",1]])"},
        {"extra_a", R"("%d")", nullptr, R"([[2,"%d",3]])"},
        {"extra_b", R"("%d")", nullptr, R"([[1,"%d",2],[2,"%d",2]])"},
    };
    ASSERT_EQ(merged.size(), std::size(expected)) << merged.dump();
    for (size_t i = 0; i < merged.size(); ++i) {
        const json &got = merged[i];
        SCOPED_TRACE(expected[i].name);
        EXPECT_EQ(got["name"], expected[i].name);
        EXPECT_EQ(got["type"], json::parse(expected[i].type));
        EXPECT_EQ(got["subcategory"], "s");
        EXPECT_EQ(got.contains("value"), expected[i].value != nullptr);
        if (expected[i].value != nullptr) {
            EXPECT_EQ(got["value"], json::parse(expected[i].value));
        }
        if (expected[i].ranks == nullptr) continue;
        json ranks = json::array();
        for (const json &r : got["ranks"]) ranks.push_back({r["rank"], r["type"], r["value"]});
        EXPECT_EQ(ranks, json::parse(expected[i].ranks));
    }
    EXPECT_EQ(counts.equal, 1u);
    EXPECT_EQ(counts.per_rank, 5u);
    // Rank 0 receives what differs, and nothing from a rank equal to it.
    EXPECT_EQ(sent[3], 0u);

    // An answer that names one of its names twice is refused, not merged.
    value_table root;
    ASSERT_TRUE(mekal::record::index_values(ranks[0].c_str(), &root));
    std::string repeated;
    for (const char *v : {"1", "2", "3"}) repeated += "- " + entry("x", "%d", v) + "\n";
    const char *answers[] = {nullptr, repeated.c_str()};
    const size_t lengths[] = {0, repeated.size()};
    EXPECT_EQ(take(mekal::record::merge_answers(root, answers, lengths, 2, nullptr)), "(null)");
}

TEST(JobMerge, RankZerosEntriesSinceTheMergeAreItsAlone) {
    const std::string at_merge = registry({entry("a", "%d", "1"), entry("b", "%d", "2")});
    const std::string now = registry({entry("a", "%d", "1"), entry("b", "%d", "3"),
                                      entry("c", "%s", R"("new")")});
    const json since = json::parse(take(mekal::record::entries_since(now.c_str(), at_merge.c_str())));
    ASSERT_EQ(since.size(), 2u) << since.dump();
    EXPECT_EQ(since[0]["name"], "b");
    EXPECT_EQ(since[0]["ranks"], json::parse(R"([{"rank":0,"type":"%d","long_type":"%d","value":3}])"));
    EXPECT_EQ(since[1]["name"], "c");
    EXPECT_EQ(take(mekal::record::entries_since(at_merge.c_str(), at_merge.c_str())), "[]\n");
}

TEST(JobMerge, FailedAllocationsGiveNoResultAndLeakNothing) {
    const std::string root_text = registry({entry("a", "%d", "1"), entry("b", "%d", "2")});
    const std::string other_text = registry({entry("a", "%d", "5"), entry("c", "%d", "3")});
    value_table root, other;
    ASSERT_TRUE(mekal::record::index_values(root_text.c_str(), &root));
    ASSERT_TRUE(mekal::record::index_values(other_text.c_str(), &other));
    uint64_t digest[4];
    mekal::record::root_digest(root, digest);
    size_t length = 0;
    const std::string answer = take(mekal::record::answer_digest(other, digest, 2, &length));
    const char *answers[] = {nullptr, answer.c_str()};
    const size_t lengths[] = {0, answer.size()};

    // Each operation returns whether it gave a result, which it releases.
    const std::pair<const char *, std::function<bool()>> operations[] = {
        {"index_values", [&] { value_table t; return mekal::record::index_values(other_text.c_str(), &t); }},
        {"answer_digest", [&] { return take(mekal::record::answer_digest(other, digest, 2, &length)) != "(null)"; }},
        {"merge_answers", [&] { return take(mekal::record::merge_answers(root, answers, lengths, 2, nullptr)) != "(null)"; }},
        {"entries_since", [&] { return take(mekal::record::entries_since(other_text.c_str(), root_text.c_str())) != "(null)"; }},
    };
    for (const auto &[name, operation] : operations) {
        bool failing = true;
        long n = 1;
        for (; failing; ++n) {
            const alloc_hooks::Scope scope;
            const long failed_before = alloc_hooks::counts().failed;
            alloc_hooks::fail_nth(n);
            const bool gave = operation();
            alloc_hooks::fail_nth(0);
            failing = alloc_hooks::counts().failed != failed_before;
            EXPECT_NE(gave, failing) << name << ", allocation " << n;
            EXPECT_EQ(scope.allocations(), scope.frees()) << name << ", allocation " << n;
        }
        EXPECT_GE(n, 3) << name;
    }
}

}  // namespace
