// mekal-report internals: the runs as the page shows them, and the page.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace mekal::report {

using json = nlohmann::json;

// The facts that head a run's page and fill the standard columns of a table
// of runs.
struct run_header {
    std::string source;  // the record's file
    std::string executable;
    std::vector<std::string> argv;
    std::string host;
    long long pid = 0;
    std::string start;               // ISO 8601, UTC; empty when the record has no time
    std::optional<double> duration;  // seconds, from the value walltime
    std::optional<long long> exit_status;
    bool complete = false;
    std::optional<long long> mpi_size;  // the record of a whole MPI job
};

// One run: its header and the record's entries, oldest first.
struct run {
    run_header header;
    json values;
};

// An input left out of the page, and why.
struct skipped_input {
    std::string source;
    std::string reason;
};

// What the user asked the table and the plots to show.
struct view_options {
    std::optional<std::string> by;     // the value that groups the runs
    std::vector<std::string> metrics;  // one pair of plots each
    std::vector<std::string> columns;  // further columns of the table
    std::vector<std::string> conditions;
};

// A table of runs: one row per run, a cell per column (null when the run has
// no such value).
struct run_table {
    std::vector<std::string> columns;
    std::vector<std::vector<json>> rows;
};

// model.cpp
// The run in a valid record read from source.
run run_of_record(const std::string &source, json record);

// The columns every table has, then by, the metrics and the further columns
// (each once), and a row per run.
run_table table_of_runs(const std::vector<run> &runs, const view_options &options);

// What the page draws: one run, with its values.
json run_page_data(const run &one, const std::vector<skipped_input> &skipped);

// What the page draws: many runs as a table, with their plots and the
// comparison of their groups (null when there is none).
json runs_page_data(const run_table &table, const view_options &options, json compare,
                    const std::vector<skipped_input> &skipped);

// page.cpp
// The whole HTML page around data. The charting library is inlined only
// when the page has plots to draw.
std::string render_page(const json &data);

// data as the text of a <script type="application/json"> element: JSON in
// which no '<' appears, so no value can close the element or open a comment.
std::string embedded_json(const json &data);

}  // namespace mekal::report
