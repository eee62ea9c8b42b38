// The record's entries and the merge of an MPI job's values without MPI:
// values compared exactly, the ranks' answers to rank 0's digest merged
// into one list, and every failed allocation.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "alloc_hooks.h"
#include "job_merge.h"
#include "library.h"
#include "record_file.h"

namespace {

using mekal::record::entry_list;
using mekal::record::value_table;
using nlohmann::json;

void use_linked_library() {
#define MEKAL_TEST_LINK(name, result, parameters) mekal::record::lib.name = &::name;
    MEKAL_RECORD_CALLS(MEKAL_TEST_LINK)
#undef MEKAL_TEST_LINK
}

// An entry as a rank holds it; value is JSON text and stands for the value.
mekal::record::record_entry *entry(const std::string &name, const std::string &type,
                                   const std::string &value) {
    const std::string name_json = '"' + name + '"', type_json = '"' + type + '"';
    return mekal::record::new_entry({name.c_str(), name_json.c_str(), 2, "\"s\"", type_json.c_str(),
                                     type_json.c_str(), value.c_str(), false,
                                     mekal::record::hash_bytes(value.data(), value.size(), 0), {}});
}

struct rank_values {
    std::vector<std::vector<std::string>> entries;  // name, type, value
};

// The whole exchange among the ranks' lists, as the job's record lists it;
// sent gets what each rank sends to rank 0.
json merge(const std::vector<rank_values> &ranks, std::vector<size_t> *sent,
           mekal::record::merge_counts *counts) {
    std::vector<std::unique_ptr<entry_list>> lists;
    std::vector<std::unique_ptr<value_table>> tables;
    for (const rank_values &r : ranks) {
        lists.push_back(std::make_unique<entry_list>());
        for (const auto &e : r.entries) EXPECT_TRUE(lists.back()->put(entry(e[0], e[1], e[2])));
        tables.push_back(std::make_unique<value_table>());
        EXPECT_TRUE(mekal::record::index_values(*lists.back(), tables.back().get()));
    }
    std::vector<uint64_t> digest(2 * tables[0]->count + 1);
    mekal::record::root_digest(*tables[0], digest.data());
    std::vector<std::string> answers(ranks.size());
    std::vector<const char *> starts(ranks.size());
    sent->assign(ranks.size(), 0);
    for (size_t rank = 1; rank < ranks.size(); ++rank) {
        char *answer = mekal::record::answer_digest(*tables[rank], digest.data(), tables[0]->count,
                                                    &(*sent)[rank]);
        answers[rank].assign(answer, (*sent)[rank]);
        std::free(answer);
        starts[rank] = answers[rank].data();
    }
    entry_list job;
    EXPECT_TRUE(mekal::record::merge_answers(*tables[0], starts.data(), sent->data(),
                                             static_cast<int>(ranks.size()), &job, counts));
    const mekal::record::record_header header{"\"a\"", "[]", 1, "\"h\"", true, false, 0, 1};
    char *document = mekal::record::build_record(header, job);
    const json out = json::parse(document)["values"];
    std::free(document);
    return out;
}

TEST(JobMerge, ValuesCompareExactlyWhereTheirJsonCannot) {
    use_linked_library();
    // Each pair renders alike as JSON but differs as a value.
    ASSERT_EQ(mekal_namevalue("nan", 2, nullptr, "%f", std::nan("")), 0);
    ASSERT_EQ(mekal_namevalue("inf", 2, nullptr, "%f", HUGE_VAL), 0);
    ASSERT_EQ(mekal_namevalue("bad1", 2, nullptr, "%s", "\xff"), 0);
    ASSERT_EQ(mekal_namevalue("bad2", 2, nullptr, "%s", "\xfe"), 0);
    ASSERT_EQ(mekal_namevalue("j1", 2, nullptr, "%j", "[1, 2]"), 0);
    ASSERT_EQ(mekal_namevalue("j2", 2, nullptr, "%j", "[1,2]"), 0);
    ASSERT_EQ(mekal_namevalue("list", 2, nullptr, "{%f}", std::vector<double>{-HUGE_VAL}.data(), 1), 0);
    ASSERT_EQ(mekal_namevalue("list2", 2, nullptr, "{%f}", std::vector<double>{HUGE_VAL}.data(), 1), 0);
    entry_list list;
    ASSERT_TRUE(mekal::record::take_registry(&list));
    for (const auto &[a, b] : {std::pair{"nan", "inf"}, {"bad1", "bad2"}, {"j1", "j2"}, {"list", "list2"}}) {
        SCOPED_TRACE(a);
        EXPECT_STREQ(list.find(a)->value_json, list.find(b)->value_json);
        EXPECT_NE(list.find(a)->value_key, list.find(b)->value_key);
    }
    EXPECT_EQ(mekal_clean(), 0);
}

TEST(JobMerge, OneListWithWhatDiffersPerRank) {
    const std::vector<rank_values> ranks = {
        {{{"mesh", "%s", R"("box")"}, {"rank", "%d", "0"}, {"only0", "%d", "1"}, {"typed", "%d", "1"}}},
        {{{"mesh", "%s", R"("box")"}, {"rank", "%d", "1"}, {"typed", "%f", "1.5"}, {"extra_b", "%d", "2"}}},
        {{{"extra_a", "%d", "3"}, {"mesh", "%s", R"("box")"}, {"rank", "%d", "2"}, {"only0", "%d", "1"},
          {"typed", "%d", "1"}, {"extra_b", "%d", "2"}}},
        // The same entries as rank 0's.
        {{{"mesh", "%s", R"("box")"}, {"rank", "%d", "0"}, {"only0", "%d", "1"}, {"typed", "%d", "1"}}},
    };
    std::vector<size_t> sent;
    mekal::record::merge_counts counts;
    const json merged = merge(ranks, &sent, &counts);
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
        json ranks_seen = json::array();
        for (const json &r : got["ranks"]) ranks_seen.push_back({r["rank"], r["type"], r["value"]});
        EXPECT_EQ(ranks_seen, json::parse(expected[i].ranks));
    }
    EXPECT_EQ(counts.equal, 1u);
    EXPECT_EQ(counts.per_rank, 5u);
    // Rank 0 receives what differs, and nothing from a rank equal to it.
    EXPECT_EQ(sent[3], 0u);
}

TEST(JobMerge, BadAnswersAndFailedAllocationsGiveNoResultAndLeakNothing) {
    entry_list root_list, other_list;
    for (const char *name : {"a", "b"}) ASSERT_TRUE(root_list.put(entry(name, "%d", "1")));
    for (const char *name : {"a", "c"}) ASSERT_TRUE(other_list.put(entry(name, "%d", "5")));
    value_table root, other;
    ASSERT_TRUE(mekal::record::index_values(root_list, &root));
    ASSERT_TRUE(mekal::record::index_values(other_list, &other));
    uint64_t digest[4];
    mekal::record::root_digest(root, digest);
    size_t length = 0;
    char *text = mekal::record::answer_digest(other, digest, 2, &length);
    const std::string answer(text, length);
    std::free(text);
    const char *answers[] = {nullptr, answer.data()};
    const size_t lengths[] = {0, answer.size()};

    // An answer cut short, or naming one of its names twice, is refused.
    entry_list extra_list;
    for (const char *name : {"a", "b", "c"}) ASSERT_TRUE(extra_list.put(entry(name, "%d", "1")));
    value_table extra;
    ASSERT_TRUE(mekal::record::index_values(extra_list, &extra));
    text = mekal::record::answer_digest(extra, digest, 2, &length);
    const std::string repeated = std::string(text, length) + std::string(text, length);
    std::free(text);
    for (const std::string &bad : {answer.substr(0, answer.size() - 1), repeated}) {
        const char *bad_answers[] = {nullptr, bad.data()};
        const size_t bad_lengths[] = {0, bad.size()};
        entry_list job;
        EXPECT_FALSE(mekal::record::merge_answers(root, bad_answers, bad_lengths, 2, &job, nullptr));
    }

    // Each operation returns whether it gave a result, which it releases.
    const std::pair<const char *, std::function<bool()>> operations[] = {
        {"index_values", [&] { value_table t; return mekal::record::index_values(other_list, &t); }},
        // Its last allocation cuts the block to size; when that fails, the
        // larger block holds the whole answer.
        {"answer_digest", [&] {
             char *a = mekal::record::answer_digest(other, digest, 2, &length);
             const bool whole = a != nullptr && std::string(a, length) == answer;
             std::free(a);
             return a != nullptr && (whole || (ADD_FAILURE() << "a partial answer", false));
         }},
        {"merge_answers", [&] {
             entry_list job;
             return mekal::record::merge_answers(root, answers, lengths, 2, &job, nullptr);
         }},
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
            // No result means an allocation failed; a result despite one is
            // whole (checked above), which only answer_digest may give.
            EXPECT_TRUE(gave || failing) << name << ", allocation " << n;
            if (std::string(name) != "answer_digest") {
                EXPECT_NE(gave, failing) << name << ", allocation " << n;
            }
            EXPECT_EQ(scope.allocations(), scope.frees()) << name << ", allocation " << n;
        }
        EXPECT_GE(n, 3) << name;
    }
}

}  // namespace
