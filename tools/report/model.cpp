// From run records to what the page draws: a run's header, a table of runs,
// and the JSON document the page reads.
#include <algorithm>
#include <string_view>

#include "report.h"

namespace mekal::report {
namespace {

// The columns of every table of runs, first, in this order.
constexpr std::string_view kStandardColumns[] = {"start", "host", "duration", "exit_status"};
// Last: which record each row comes from.
constexpr std::string_view kSourceColumn = "record";

std::string text_member(const json &object, const char *name) {
    const auto found = object.find(name);
    return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

std::optional<long long> integer_member(const json &object, const char *name) {
    const auto found = object.find(name);
    if (found == object.end() || !found->is_number_integer()) return std::nullopt;
    return found->get<long long>();
}

const json *entry_named(const json &values, std::string_view name) {
    for (const json &entry : values)
        if (entry.is_object() && entry.value("name", std::string()) == name) return &entry;
    return nullptr;
}

// A value as one cell: the value, or for a value that differs between the
// ranks of an MPI job the largest of theirs (the slowest rank's time), or
// their values in rank order when they are not all numbers.
json cell_of_entry(const json &entry) {
    if (const auto value = entry.find("value"); value != entry.end()) return *value;
    const auto ranks = entry.find("ranks");
    if (ranks == entry.end() || !ranks->is_array()) return nullptr;
    json largest, each = json::array();
    bool numbers = true;
    for (const json &rank : *ranks) {
        const json value = rank.is_object() ? rank.value("value", json()) : json();
        each.push_back(value);
        numbers = numbers && value.is_number();
        if (numbers && (largest.is_null() || value.get<double>() > largest.get<double>()))
            largest = value;
    }
    return numbers ? largest : each;
}

std::optional<double> seconds_of(const json *entry) {
    if (entry == nullptr) return std::nullopt;
    const json cell = cell_of_entry(*entry);
    if (!cell.is_number()) return std::nullopt;
    return cell.get<double>();
}

// When the run started: its launch date, else the time of its first value.
std::string start_of(const json &values) {
    if (const json *launch = entry_named(values, "launchdate"))
        if (const auto value = launch->find("value"); value != launch->end() && value->is_string())
            return value->get<std::string>();
    std::string first;
    for (const json &entry : values) {
        const std::string recorded = entry.is_object() ? text_member(entry, "recorded") : "";
        // ISO 8601 texts of one width order as their times do.
        if (!recorded.empty() && (first.empty() || recorded < first)) first = recorded;
    }
    return first;
}

json header_cell(const run_header &header, std::string_view column) {
    if (column == "start") return header.start.empty() ? json() : json(header.start);
    if (column == "host") return header.host;
    if (column == "duration") return header.duration ? json(*header.duration) : json();
    if (column == "exit_status") return header.exit_status ? json(*header.exit_status) : json();
    return header.source;
}

bool is_header_column(std::string_view column) {
    return column == kSourceColumn ||
           std::find(std::begin(kStandardColumns), std::end(kStandardColumns), column) !=
               std::end(kStandardColumns);
}

json skipped_json(const std::vector<skipped_input> &skipped) {
    json list = json::array();
    for (const skipped_input &input : skipped)
        list.push_back({{"source", input.source}, {"reason", input.reason}});
    return list;
}

}  // namespace

run run_of_record(const std::string &source, json record) {
    run result;
    run_header &header = result.header;
    const json program = record.value("program", json::object());
    header.source = source;
    header.executable = text_member(program, "executable");
    header.host = text_member(program, "host");
    header.pid = integer_member(program, "pid").value_or(0);
    if (const auto argv = program.find("argv"); argv != program.end() && argv->is_array())
        for (const json &word : *argv)
            if (word.is_string()) header.argv.push_back(word.get<std::string>());
    header.complete = record.value("complete", false);
    header.exit_status = integer_member(record, "exit_status");
    if (const auto mpi = record.find("mpi"); mpi != record.end() && mpi->is_object())
        header.mpi_size = integer_member(*mpi, "size");
    result.values = std::move(record["values"]);
    header.start = start_of(result.values);
    header.duration = seconds_of(entry_named(result.values, "walltime"));
    return result;
}

run_table table_of_runs(const std::vector<run> &runs, const view_options &options) {
    run_table table;
    auto add_column = [&table](std::string_view name) {
        if (std::find(table.columns.begin(), table.columns.end(), name) == table.columns.end())
            table.columns.emplace_back(name);
    };
    for (const std::string_view name : kStandardColumns) add_column(name);
    if (options.by) add_column(*options.by);
    for (const std::string &name : options.metrics) add_column(name);
    for (const std::string &name : options.columns) add_column(name);
    add_column(kSourceColumn);

    table.rows.reserve(runs.size());
    for (const run &one : runs) {
        std::vector<json> &row = table.rows.emplace_back();
        row.reserve(table.columns.size());
        for (const std::string &column : table.columns) {
            if (is_header_column(column)) {
                row.push_back(header_cell(one.header, column));
            } else {
                const json *entry = entry_named(one.values, column);
                row.push_back(entry == nullptr ? json() : cell_of_entry(*entry));
            }
        }
    }
    return table;
}

json run_page_data(const run &one, const std::vector<skipped_input> &skipped) {
    const run_header &header = one.header;
    return {{"view", "run"},
            {"run",
             {{"source", header.source},
              {"executable", header.executable},
              {"argv", header.argv},
              {"host", header.host},
              {"pid", header.pid},
              {"start", header.start},
              {"duration", header.duration ? json(*header.duration) : json()},
              {"exit_status", header.exit_status ? json(*header.exit_status) : json()},
              {"complete", header.complete},
              {"mpi_size", header.mpi_size ? json(*header.mpi_size) : json()}}},
            {"values", one.values},
            {"skipped", skipped_json(skipped)}};
}

json runs_page_data(const run_table &table, const view_options &options, json compare,
                    const std::vector<skipped_input> &skipped) {
    return {{"view", "runs"},
            {"columns", table.columns},
            {"rows", table.rows},
            {"by", options.by ? json(*options.by) : json()},
            {"metrics", options.metrics},
            {"conditions", options.conditions},
            {"compare", std::move(compare)},
            {"skipped", skipped_json(skipped)}};
}

}  // namespace mekal::report
