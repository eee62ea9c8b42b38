// The catalog of run records behind mekal-db, for any command that reads
// run records or a catalog: reading and checking records, the SQLite
// catalog (adding, listing runs under conditions, reading values for
// statistics), and the comparison of groups of runs.
//
// Errors throw trouble, whose what() reads "<file>: <reason>" or names what
// was wrong; nothing is printed. To apply conditions to record files without
// a catalog, add them to catalog(":memory:", open_mode::create).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

struct sqlite3;

namespace mekal::catalog {

using json = nlohmann::json;

struct trouble : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// --- cells -----------------------------------------------------------------
// One value as SQLite holds it. Texts of kind json are JSON (a container or
// a %j value); an integer beyond 64 bits is a text of its digits.
struct cell {
    enum class kind { null, integer, real, text, json };
    kind type = kind::null;
    std::int64_t integer = 0;
    double real = 0;
    std::string text;

    // A number when the cell is one (also an integer kept as text), else empty.
    std::optional<double> number() const;
    // As printed in a table or CSV: integers exact, reals shortest, null "".
    std::string str() const;
    // As a JSON value: texts of kind json parsed, an integer text as a number.
    json to_json() const;
};

// --- records (record.cpp) --------------------------------------------------
struct record_value {
    std::string name;
    std::string type;    // the type string; empty when the record has none
    cell value;
};

struct rank_value {
    std::string name;
    int rank;
    std::string type;
    cell value;
};

// Where and when rank `rank` of an MPI job ran, from the job's record.
struct job_rank {
    int rank;
    std::string host;
    std::string start;
};

// What the catalog keeps of one run record.
struct run_record {
    std::string source;      // the file, absolute
    std::string host;
    std::int64_t pid = 0;
    std::string start;       // launchdate, else the earliest recorded time
    std::string executable;
    std::string argv;        // JSON array
    bool complete = false;
    std::optional<std::int64_t> exit_status;
    int ranks = 1;           // "mpi"."size", else 1
    std::optional<int> rank; // from a file name FILE.rank<N>.json
    std::string updated;     // latest recorded time
    std::string digest;      // of the file's bytes
    std::vector<record_value> values;     // one per name; for a value that differs
                                          // between ranks, the lowest rank's
    std::vector<rank_value> rank_values;  // every rank's, for those values
    std::vector<job_rank> job_ranks;      // a job's record: each rank it knows
};

// The run record in the file at path, checked: a JSON object with "schema"
// "mekal-run-record", "schema_version" 1, "program" with "host", "pid" and
// "executable", and "values", an array of entries with distinct string
// names. Members it does not know are ignored. Throws trouble.
json load_record(const std::string &path);
// The same from text already read; path names it in errors.
json parse_record(const std::string &path, const std::string &text);
// What the catalog keeps of the record in text, read from path, checked as
// load_record checks it but read in one pass, without building the document.
run_record to_run_record(const std::string &path, const std::string &text);
// to_run_record of the file at path.
run_record read_run_record(const std::string &path);
// Whether values of a type string are kept as JSON text: containers and %j.
bool is_json_type(std::string_view type);
// The record files under paths: files as given, directories searched
// recursively for *.json (sorted). Throws trouble for a path that is neither.
std::vector<std::string> find_record_files(const std::vector<std::string> &paths);
// The rank in a file name FILE.rank<N>.json (or FILE.rank<N>), if any.
std::optional<int> rank_of_file(std::string_view path);

// --- conditions ------------------------------------------------------------
// NAME OP VALUE. A NAME starting with "." is a field of the run (.host,
// .start, ...: fields()), any other a value name. A VALUE that is a number
// (or true/false) compares as a number, one that reads as a date
// (YYYY-MM-DD[THH:MM[:SS]][Z]) as a date, any other as text; ~ is a glob.
// A run without the value matches no condition on it.
struct condition {
    enum class op { eq = 0, ne = 1, lt = 2, le = 3, gt = 4, ge = 5, glob = 6 };
    std::string name;
    op relation = op::eq;
    std::string value;
};
condition parse_condition(std::string_view text);
// The names of the run's fields, in their usual order.
std::vector<std::string> fields();
bool is_field(std::string_view name);

// --- the catalog (catalog.cpp) ---------------------------------------------
enum class open_mode {
    create,    // create the file when missing
    existing,  // the file must exist
};

enum class add_outcome { added, updated, unchanged };

struct add_counts {
    std::size_t added = 0, updated = 0, unchanged = 0, refused = 0;
};

struct list_query {
    std::vector<condition> where;
    std::vector<std::string> columns;  // fields and value names
    std::string sort;                  // a field or value name; empty: .start
    bool descending = false;
    std::optional<std::int64_t> limit;
};

struct table {
    std::vector<std::string> columns;
    std::vector<std::vector<cell>> rows;
};

// One run's cells of some names, from scan().
struct run_cells {
    std::int64_t id;
    std::string start;
    std::vector<cell> cells;  // one per name asked for
};

class catalog {
public:
    // Opens (or creates) the catalog at path: WAL mode, a busy timeout, and
    // the schema upgraded to this version when older. Throws trouble for a
    // file that is not a catalog, or of a newer schema version.
    catalog(const std::string &path, open_mode mode);
    ~catalog();
    catalog(const catalog &) = delete;
    catalog &operator=(const catalog &) = delete;

    // Adds a batch of records in one transaction, so that all of them are
    // in or none; one outcome per record, in order. A newer record of a run
    // replaces it; the same record, or an older one, changes nothing.
    std::vector<add_outcome> add(const std::vector<run_record> &records);

    // The runs that pass the conditions, sorted and limited, with the columns asked.
    table list(const list_query &query);

    // The runs that pass the conditions, in the order they were added, each
    // with its cells of the names (fields or values): a full scan per name,
    // for statistics.
    std::vector<run_cells> scan(const std::vector<condition> &where,
                                const std::vector<std::string> &names);

    // The version of the schema this program writes.
    static int schema_version();
    // The SQL of that schema.
    static std::string schema_sql();

private:
    struct statements;
    struct selection;
    std::string path_;
    sqlite3 *db_ = nullptr;
    std::unique_ptr<statements> cached_;
    std::map<std::string, std::int64_t, std::less<>> names_;  // ids of names, as committed

    void open_schema();
    add_outcome add_one(const run_record &record);
    void remove_values(std::int64_t run);
    bool held_by_job(const run_record &record);
    void fold_rank_records(const run_record &job);
    std::int64_t name_id(const std::string &name);
    std::optional<std::int64_t> known_name_id(const std::string &name);
    void insert_values(std::int64_t run, const run_record &record);
    void add_conditions(const std::vector<condition> &where, selection *out);
};

// --- statistics (stats.cpp) ------------------------------------------------
struct summary {
    std::size_t n = 0;
    double median = 0, mean = 0, sd = 0, min = 0, max = 0;  // sd: sample (n - 1)
};
summary summarize(std::vector<double> values);

// The Mann-Whitney U test, two-sided: U of a against b and its p-value, by
// the exact distribution when both groups have at most kExactMaxRuns runs
// and no value is tied, else by the normal approximation with the tie and
// continuity corrections.
inline constexpr std::size_t kExactMaxRuns = 25;
struct u_test {
    double u = 0;
    double p = 1;
    bool exact = false;
};
u_test mann_whitney_u(const std::vector<double> &a, const std::vector<double> &b);

enum class verdict { baseline, better, worse, no_change, not_compared };
std::string_view verdict_name(verdict v);

struct compare_options {
    std::vector<condition> where;
    std::string by;                             // field or value name
    std::vector<std::string> metrics;
    std::optional<std::string> baseline;        // a group; default: the oldest run's
    double threshold = 0.05;                    // relative change of the medians
    double alpha = 0.05;
    std::vector<std::string> higher_is_better;  // metrics where more is better
};

struct comparison_row {
    std::string metric;
    std::string group;
    summary stats;
    std::optional<double> ratio;  // median / baseline median
    std::optional<u_test> test;   // against the baseline
    verdict judged = verdict::not_compared;
};

struct comparison {
    std::string baseline;
    bool baseline_given = false;
    std::size_t runs = 0;           // runs compared (they have the --by value)
    std::size_t without_group = 0;  // runs left out for want of it
    std::vector<comparison_row> rows;  // by metric, then groups oldest first
    bool any_worse() const;
};

// Groups the runs that pass the conditions by the value of options.by and
// compares each metric of each group with the baseline group. A change
// counts (better, worse) when the medians differ by more than the threshold
// and p < alpha. Throws trouble when no run or no baseline group is found.
comparison compare(catalog &db, const compare_options &options);

}  // namespace mekal::catalog
