// Comparing groups of runs: summaries, the Mann-Whitney U test against the
// baseline group, and a verdict per metric and group.
#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <tuple>
#include <unordered_map>

#include "catalog.h"

namespace mekal::catalog {
namespace {

// The number of orderings of m values of one group and n of the other in
// which U (pairs won by the first group) takes each value 0..m*n. The
// largest value is either the first group's, winning n pairs, or not:
// count(m, n, u) = count(m - 1, n, u - n) + count(m, n - 1, u). Doubles
// hold the counts: C(50, 25) is about 1.3e14, exact in 53 bits.
std::vector<double> u_counts(size_t m, size_t n) {
    // row[j]: the counts for (i, j) as i goes from 0 to m.
    std::vector<std::vector<double>> row(n + 1, std::vector<double>{1.0});
    for (size_t i = 1; i <= m; ++i) {
        std::vector<std::vector<double>> next(n + 1);
        next[0] = {1.0};
        for (size_t j = 1; j <= n; ++j) {
            std::vector<double> counts(i * j + 1, 0.0);
            for (size_t u = 0; u < row[j].size(); ++u) counts[u + j] += row[j][u];  // (i-1, j)
            for (size_t u = 0; u < next[j - 1].size(); ++u) counts[u] += next[j - 1][u];  // (i, j-1)
            next[j] = std::move(counts);
        }
        row = std::move(next);
    }
    return row[n];
}

double relative_change(double baseline, double value) {
    if (value == baseline) return 0;
    if (baseline == 0) return value > 0 ? std::numeric_limits<double>::infinity()
                                        : -std::numeric_limits<double>::infinity();
    return (value - baseline) / std::fabs(baseline);
}

}  // namespace

summary summarize(std::vector<double> values) {
    summary out;
    out.n = values.size();
    if (values.empty()) return out;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    out.min = values.front();
    out.max = values.back();
    out.median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    out.mean = std::accumulate(values.begin(), values.end(), 0.0) / static_cast<double>(n);
    if (n > 1) {
        double squares = 0;
        for (const double v : values) squares += (v - out.mean) * (v - out.mean);
        out.sd = std::sqrt(squares / static_cast<double>(n - 1));
    }
    return out;
}

u_test mann_whitney_u(const std::vector<double> &a, const std::vector<double> &b) {
    u_test out;
    const size_t n1 = a.size(), n2 = b.size();
    if (n1 == 0 || n2 == 0) return out;
    // Midranks over both groups; each run of t tied values adds t^3 - t.
    std::vector<std::pair<double, bool>> all;  // value, from a
    all.reserve(n1 + n2);
    for (const double v : a) all.emplace_back(v, true);
    for (const double v : b) all.emplace_back(v, false);
    std::sort(all.begin(), all.end());
    double rank_sum_a = 0, ties = 0;
    for (size_t i = 0; i < all.size();) {
        size_t j = i;
        while (j < all.size() && all[j].first == all[i].first) ++j;
        const double midrank = (static_cast<double>(i + 1) + static_cast<double>(j)) / 2;
        for (size_t k = i; k < j; ++k)
            if (all[k].second) rank_sum_a += midrank;
        const double t = static_cast<double>(j - i);
        ties += t * t * t - t;
        i = j;
    }
    const double m = static_cast<double>(n1), n = static_cast<double>(n2);
    out.u = rank_sum_a - m * (m + 1) / 2;
    if (ties == 0 && n1 <= kExactMaxRuns && n2 <= kExactMaxRuns) {
        const std::vector<double> counts = u_counts(n1, n2);
        const auto u = static_cast<size_t>(std::llround(out.u));
        const double total = std::accumulate(counts.begin(), counts.end(), 0.0);
        const double below = std::accumulate(counts.begin(), counts.begin() + static_cast<long>(u) + 1, 0.0);
        const double above = std::accumulate(counts.begin() + static_cast<long>(u), counts.end(), 0.0);
        out.p = std::min(1.0, 2 * std::min(below, above) / total);
        out.exact = true;
        return out;
    }
    const double total = m + n;
    const double variance = m * n / 12 * ((total + 1) - ties / (total * (total - 1)));
    if (variance <= 0) return out;  // every value tied: nothing tells the groups apart
    const double z = std::max(0.0, std::fabs(out.u - m * n / 2) - 0.5) / std::sqrt(variance);
    out.p = std::min(1.0, std::erfc(z / std::sqrt(2.0)));
    return out;
}

std::string_view verdict_name(verdict v) {
    switch (v) {
    case verdict::baseline: return "baseline";
    case verdict::better: return "better";
    case verdict::worse: return "worse";
    case verdict::no_change: return "no significant change";
    case verdict::not_compared: return "not compared";
    }
    return "";
}

bool comparison::any_worse() const {
    return std::any_of(rows.begin(), rows.end(),
                       [](const comparison_row &row) { return row.judged == verdict::worse; });
}

comparison compare(catalog &db, const compare_options &options) {
    std::vector<std::string> names{options.by};
    names.insert(names.end(), options.metrics.begin(), options.metrics.end());
    const std::vector<run_cells> runs = db.scan(options.where, names);

    comparison out;
    std::vector<std::string> found;
    std::unordered_map<std::string, size_t> found_index;
    std::vector<std::vector<const run_cells *>> found_members;
    for (const run_cells &run : runs) {
        if (run.cells[0].type == cell::kind::null) {
            ++out.without_group;
            continue;
        }
        ++out.runs;
        const auto [at, added] = found_index.emplace(run.cells[0].str(), found.size());
        if (added) {
            found.push_back(at->first);
            found_members.emplace_back();
        }
        found_members[at->second].push_back(&run);
    }
    if (found.empty())
        throw trouble(runs.empty() ? "no run matches" : "no run has a value of " + options.by);
    // Groups in the order of their oldest run (then of its id).
    const auto oldest = [](const std::vector<const run_cells *> &group) {
        const run_cells *first = group.front();
        for (const run_cells *run : group)
            if (std::tie(run->start, run->id) < std::tie(first->start, first->id)) first = run;
        return first;
    };
    std::vector<size_t> order(found.size());
    std::iota(order.begin(), order.end(), 0);
    std::vector<const run_cells *> first(found.size());
    for (size_t g = 0; g < found.size(); ++g) first[g] = oldest(found_members[g]);
    std::sort(order.begin(), order.end(), [&first](size_t x, size_t y) {
        return std::tie(first[x]->start, first[x]->id) < std::tie(first[y]->start, first[y]->id);
    });
    std::vector<std::string> groups;
    std::unordered_map<std::string, size_t> group_index;
    std::vector<std::vector<const run_cells *>> members;
    for (const size_t g : order) {
        group_index.emplace(found[g], groups.size());
        groups.push_back(std::move(found[g]));
        members.push_back(std::move(found_members[g]));
    }
    out.baseline_given = options.baseline.has_value();
    out.baseline = options.baseline.value_or(groups.front());
    const auto base = group_index.find(out.baseline);
    if (base == group_index.end()) throw trouble("no run has " + options.by + " = " + out.baseline);
    const size_t base_index = base->second;

    for (size_t m = 0; m < options.metrics.size(); ++m) {
        const std::string &metric = options.metrics[m];
        const bool higher_better = std::find(options.higher_is_better.begin(), options.higher_is_better.end(),
                                             metric) != options.higher_is_better.end();
        std::vector<std::vector<double>> samples(groups.size());
        for (size_t g = 0; g < groups.size(); ++g)
            for (const run_cells *run : members[g])
                if (const auto v = run->cells[1 + m].number(); v && std::isfinite(*v)) samples[g].push_back(*v);
        const summary base_stats = summarize(samples[base_index]);
        for (size_t g = 0; g < groups.size(); ++g) {
            comparison_row row{metric, groups[g], summarize(samples[g]), std::nullopt, std::nullopt,
                               verdict::not_compared};
            if (row.stats.n > 0 && base_stats.n > 0 && base_stats.median != 0)
                row.ratio = row.stats.median / base_stats.median;
            if (g == base_index) {
                row.judged = verdict::baseline;
            } else if (row.stats.n > 0 && base_stats.n > 0) {
                row.test = mann_whitney_u(samples[g], samples[base_index]);
                double change = relative_change(base_stats.median, row.stats.median);
                if (higher_better) change = -change;
                row.judged = row.test->p >= options.alpha     ? verdict::no_change
                             : change > options.threshold     ? verdict::worse
                             : change < -options.threshold    ? verdict::better
                                                              : verdict::no_change;
            }
            out.rows.push_back(std::move(row));
        }
    }
    return out;
}

}  // namespace mekal::catalog
