// The run record as text.
#include "record_file.h"

#include <time.h>

#include <cstdlib>
#include <cstring>

#include "entries.h"
#include "growable_text.h"
#include "run_settings.h"

#define MEKAL_RECORD_TEXT(x) #x
#define MEKAL_RECORD_NUMBER(x) MEKAL_RECORD_TEXT(x)
// The recorder's version: the library's it was built with.
#define MEKAL_RECORD_VERSION                                                          \
    MEKAL_RECORD_NUMBER(MEKAL_VERSION_MAJOR) "." MEKAL_RECORD_NUMBER(MEKAL_VERSION_MINOR) \
    "." MEKAL_RECORD_NUMBER(MEKAL_VERSION_PATCH)

namespace mekal::record {
namespace {

const char *category_name(int32_t category) {
    switch (category) {
    case mekal_category_all: return "\"all\"";
    case mekal_category_general: return "\"general\"";
    case mekal_category_performance: return "\"performance\"";
    case mekal_category_control: return "\"control\"";
    default: return "null";
    }
}

// ISO 8601 UTC with nanoseconds, as the library writes the times it keeps.
// The civil date comes from the day count directly (no gmtime, no printf):
// a record writes one per value.
// number in decimal, with leading zeros to width digits.
void put_digits(growable_text *out, unsigned long long number, int width) {
    char digits[24];
    char *end = digits + sizeof digits;
    char *p = end;
    do {
        *--p = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number != 0 || end - p < width);
    out->append(p, static_cast<size_t>(end - p));
}

void put_time(growable_text *out, const struct timespec &ts) {
    const long long seconds = ts.tv_sec;
    const long nanoseconds = ts.tv_nsec >= 0 && ts.tv_nsec < 1000000000 ? ts.tv_nsec : 0;
    long long days = seconds / 86400;
    long long rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    // Days since 0000-03-01, in eras of 400 years.
    const long long z = days + 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long day_of_era = z - era * 146097;
    const long long year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const long long day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const long long month_index = (5 * day_of_year + 2) / 153;
    const long long day = day_of_year - (153 * month_index + 2) / 5 + 1;
    const long long month = month_index < 10 ? month_index + 3 : month_index - 9;
    const long long year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
    out->append("\"");
    put_digits(out, static_cast<unsigned long long>(year < 0 ? 0 : year), 4);
    const struct {
        char separator;
        long long value;
    } parts[] = {{'-', month}, {'-', day}, {'T', rest / 3600}, {':', rest / 60 % 60}, {':', rest % 60}};
    for (const auto &part : parts) {
        out->append(&part.separator, 1);
        put_digits(out, static_cast<unsigned long long>(part.value), 2);
    }
    out->append(".");
    put_digits(out, static_cast<unsigned long long>(nanoseconds), 9);
    out->append("Z\"");
}

void put_value(growable_text *out, const char *type, const char *long_type, const char *value,
               bool unrendered) {
    out->append(",\"type\":");
    out->append(type);
    out->append(",\"long_type\":");
    out->append(long_type);
    out->append(",\"value\":");
    out->append(value);
    // A value the library could not render costs itself only.
    if (unrendered) out->append(",\"unrendered\":true");
}

void put_entry(growable_text *out, const record_entry &e) {
    out->append("{\"name\":");
    out->append(e.name_json);
    out->append(",\"category\":");
    out->append_decimal(e.category);
    out->append(",\"category_name\":");
    out->append(category_name(e.category));
    out->append(",\"subcategory\":");
    out->append(e.subcategory_json);
    if (e.rank_count == 0) {
        put_value(out, e.type_json, e.long_type_json, e.value_json, e.unrendered);
    } else {
        out->append(",\"type\":");
        out->append(e.type_json);
        out->append(",\"long_type\":");
        out->append(e.long_type_json);
        out->append(",\"ranks\":[");
        for (int i = 0; i < e.rank_count; ++i) {
            const rank_value &r = e.ranks[i];
            out->append(i == 0 ? "{\"rank\":" : ",{\"rank\":");
            out->append_decimal(r.rank);
            put_value(out, r.type_json, r.long_type_json, r.value_json, r.unrendered);
            out->append("}");
        }
        out->append("]");
    }
    out->append(",\"recorded\":");
    put_time(out, e.recorded);
    out->append("}");
}

}  // namespace

char *build_record(const record_header &header, const entry_list &values) {
    growable_text out;
    out.append("{\n\"schema\": \"");
    out.append(kSchemaName);
    out.append("\",\n\"schema_version\": ");
    out.append_decimal(kSchemaVersion);
    out.append(",\n\"complete\": ");
    out.append(header.complete ? "true" : "false");
    out.append(",\n\"exit_status\": ");
    if (header.has_status) out.append_decimal(header.exit_status);
    else out.append("null");
    out.append(",\n\"program\": {\"executable\": ");
    out.append(header.executable);
    out.append(", \"argv\": ");
    out.append(header.argv);
    out.append(", \"pid\": ");
    out.append_decimal(header.pid);
    out.append(", \"host\": ");
    out.append(header.host);
    out.append("},\n");
    if (header.job_size > 0) {
        out.append("\"mpi\": {\"size\": ");
        out.append_decimal(header.job_size);
        out.append("},\n");
    }
    out.append("\"recorder\": {\"version\": \"" MEKAL_RECORD_VERSION "\"},\n\"values\": [");
    bool first = true;
    values.each([&](const record_entry &e) {
        out.append(first ? "\n" : ",\n");
        first = false;
        put_entry(&out, e);
    });
    out.append(first ? "]\n}\n" : "\n]\n}\n");
    return out.release();
}

}  // namespace mekal::record
