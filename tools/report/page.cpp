// The page: the HTML template with its style, script, data and, when it has
// plots to draw, the charting library, all inlined so that the page works
// opened from disk with no network.
#include <cstring>
#include <string_view>

#include "report.h"

// The page's parts, embedded at build time (embed.S), each ending in a NUL.
extern "C" {
extern const char mekal_report_page_html[];
extern const char mekal_report_page_css[];
extern const char mekal_report_page_js[];
extern const char mekal_report_charts_js[];
}

namespace mekal::report {

std::string embedded_json(const json &data) {
    const std::string text = data.dump(-1, ' ', false, json::error_handler_t::replace);
    std::string escaped;
    escaped.reserve(text.size() + text.size() / 64);
    // '<' appears in JSON text only inside strings, where "\u003c" means the same.
    for (const char c : text) {
        if (c == '<') escaped += "\\u003c";
        else escaped += c;
    }
    return escaped;
}

std::string render_page(const json &data) {
    const bool charts = data.value("view", "") == "runs" && !data.value("metrics", json()).empty();
    const std::string library =
        charts ? std::string("<script>\n") + mekal_report_charts_js + "</script>\n" : std::string();
    // Each marker appears once in the template, in this order.
    const std::pair<std::string_view, std::string> parts[] = {
        {"@MEKAL_STYLE@", mekal_report_page_css},
        {"@MEKAL_DATA@", embedded_json(data)},
        {"@MEKAL_LIBRARY@", library},
        {"@MEKAL_SCRIPT@", mekal_report_page_js},
    };
    const std::string_view html = mekal_report_page_html;
    std::string page;
    page.reserve(html.size() + library.size() + parts[1].second.size() + 65536);
    size_t at = 0;
    for (const auto &[marker, text] : parts) {
        const size_t found = html.find(marker, at);
        if (found == std::string_view::npos) break;  // CMake checks the template has them all
        page.append(html.substr(at, found - at));
        page += text;
        at = found + marker.size();
    }
    page.append(html.substr(at));
    return page;
}

}  // namespace mekal::report
