// mekal-report internals: what the page draws, built from the catalog of
// runs (tools/db/catalog.h), and the page itself.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "catalog.h"

namespace mekal::report {

using json = nlohmann::json;

// An input left out of the page, and why.
struct skipped_input {
    std::string source;
    std::string reason;
};

// What the user asked the table, the plots and the comparison to show.
struct view_options {
    std::optional<std::string> by;       // the value or field that groups the runs
    std::vector<std::string> metrics;    // one pair of plots each
    std::vector<std::string> columns;    // further columns of the table
    std::vector<std::string> conditions;  // as the user wrote them
};

// The columns of the table of runs: the catalog's names of them, and the
// names the page shows.
struct table_columns {
    std::vector<std::string> names;
    std::vector<std::string> labels;
};

// model.cpp
// Start, host, duration and exit status, then by, the metrics and the
// further columns (each once), then the record.
table_columns columns_of(const view_options &options);

// The catalog's names of what heads the page of one run, in the order
// run_page_data reads them.
std::vector<std::string> header_columns();

// What the page draws of one run: header is its one row of
// header_columns(), values the entries of its record.
json run_page_data(const catalog::table &header, json values,
                   const std::vector<skipped_input> &skipped);

// What the page draws of many runs: runs has a row per run of
// columns.names; compare is null, or what compare_data gives.
json runs_page_data(const table_columns &columns, const catalog::table &runs,
                    const view_options &options, json compare,
                    const std::vector<skipped_input> &skipped);

// The comparison of the groups as the page's table shows it, with the
// test, threshold and level it was judged by.
json compare_data(const catalog::comparison &result, const catalog::compare_options &options);

// page.cpp
// The whole HTML page around data. The charting library is inlined only
// when the page has plots to draw.
std::string render_page(const json &data);

// data as the text of a <script type="application/json"> element: JSON in
// which no '<' appears, so no value can close the element or open a comment.
std::string embedded_json(const json &data);

}  // namespace mekal::report
