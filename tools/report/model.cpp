// From the catalog's rows to the JSON document the page reads.
#include <algorithm>
#include <cstdio>
#include <string_view>

#include "report.h"

namespace mekal::report {
namespace {

struct named_column {
    std::string_view name;   // the catalog's: a field (".host") or a value name
    std::string_view label;  // the page's
};

// The columns every table of runs has: first these, last the record.
constexpr named_column kLeadingColumns[] = {
    {".start", "start"}, {".host", "host"}, {"walltime", "duration"}, {".exit_status", "exit_status"}};
constexpr named_column kSourceColumn = {".source", "record"};

// What heads the page of one run, in the order run_page_data reads it.
constexpr std::string_view kHeaderColumns[] = {".source", ".executable", ".argv",     ".host",
                                               ".pid",    ".start",      "walltime", ".exit_status",
                                               ".complete", ".ranks"};
enum header_index { source, executable, argv, host, pid, start, walltime, exit_status, complete, ranks };

json skipped_json(const std::vector<skipped_input> &skipped) {
    json list = json::array();
    for (const skipped_input &input : skipped)
        list.push_back({{"source", input.source}, {"reason", input.reason}});
    return list;
}

// The catalog keeps the command line as the JSON text of its array.
json argv_of(const catalog::cell &cell) {
    json parsed = cell.to_json();
    if (parsed.is_string()) parsed = json::parse(parsed.get<std::string>(), nullptr, false);
    return parsed.is_array() ? parsed : json::array();
}

json number_or_null(const std::optional<double> &number) {
    return number ? json(*number) : json();
}

std::string short_number(double number) {
    char text[32];
    // A double in %g fits the buffer; nothing to check.
    (void)std::snprintf(text, sizeof text, "%g", number);
    return text;
}

}  // namespace

table_columns columns_of(const view_options &options) {
    table_columns out;
    // A column the page already shows under the same label is not repeated.
    auto add = [&out](std::string_view name, std::string_view label) {
        if (std::find(out.labels.begin(), out.labels.end(), label) != out.labels.end()) return;
        out.names.emplace_back(name);
        out.labels.emplace_back(label);
    };
    for (const named_column &column : kLeadingColumns) add(column.name, column.label);
    if (options.by) add(*options.by, *options.by);
    for (const std::string &name : options.metrics) add(name, name);
    for (const std::string &name : options.columns) add(name, name);
    add(kSourceColumn.name, kSourceColumn.label);
    return out;
}

std::vector<std::string> header_columns() {
    return {std::begin(kHeaderColumns), std::end(kHeaderColumns)};
}

json run_page_data(const catalog::table &header, json values,
                   const std::vector<skipped_input> &skipped) {
    const std::vector<catalog::cell> &row = header.rows.front();
    const auto ranks_count = row[ranks].number();
    return {{"view", "run"},
            {"run",
             {{"source", row[source].to_json()},
              {"executable", row[executable].str()},
              {"argv", argv_of(row[argv])},
              {"host", row[host].str()},
              {"pid", row[pid].to_json()},
              {"start", row[start].to_json()},
              {"duration", number_or_null(row[walltime].number())},
              {"exit_status", row[exit_status].to_json()},
              {"complete", row[complete].number().value_or(0) != 0},
              {"mpi_size", ranks_count && *ranks_count > 1 ? json(*ranks_count) : json()}}},
            {"values", std::move(values)},
            {"skipped", skipped_json(skipped)}};
}

json runs_page_data(const table_columns &columns, const catalog::table &runs,
                    const view_options &options, json compare,
                    const std::vector<skipped_input> &skipped) {
    json rows = json::array();
    for (const std::vector<catalog::cell> &run : runs.rows) {
        json row = json::array();
        for (const catalog::cell &cell : run) row.push_back(cell.to_json());
        rows.push_back(std::move(row));
    }
    return {{"view", "runs"},
            {"columns", columns.labels},
            {"rows", std::move(rows)},
            {"by", options.by ? json(*options.by) : json()},
            {"metrics", options.metrics},
            {"conditions", options.conditions},
            {"compare", std::move(compare)},
            {"skipped", skipped_json(skipped)}};
}

json compare_data(const catalog::comparison &result, const catalog::compare_options &options) {
    json rows = json::array();
    for (const catalog::comparison_row &row : result.rows) {
        rows.push_back({{"metric", row.metric},
                        {"group", row.group},
                        {"n", row.stats.n},
                        {"median", row.stats.median},
                        {"mean", row.stats.mean},
                        {"stddev", row.stats.sd},
                        {"min", row.stats.min},
                        {"max", row.stats.max},
                        {"ratio", number_or_null(row.ratio)},
                        {"p", row.test ? json(row.test->p) : json()},
                        {"verdict", catalog::verdict_name(row.judged)}});
    }
    std::string method = "Each group against the baseline by the Mann-Whitney U test, two-sided (exact "
                         "when both have at most " + std::to_string(catalog::kExactMaxRuns) +
                         " runs and no ties); a change counts when the medians differ by more than " +
                         short_number(options.threshold * 100) + "% with p < " +
                         short_number(options.alpha) + ".";
    // Appended piece by piece: GCC 12 at -O2 warns (-Wrestrict, falsely) on
    // a literal plus a temporary string.
    if (result.without_group > 0)
        method.append(" ").append(std::to_string(result.without_group)).append(" runs without ")
            .append(options.by).append(" are left out.");
    return {{"by", options.by}, {"baseline", result.baseline}, {"method", method}, {"rows", std::move(rows)}};
}

}  // namespace mekal::report
