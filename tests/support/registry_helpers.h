// Helpers shared by the registry tests: recording through the raw entry and
// observers that remember what they saw.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "mekal.h"

namespace testing_helpers {

// Records an int through the raw entry, which takes the heap slot over.
inline int record_int(const char *name, int value, mekal_category_t category = 2,
                      const char *subcategory = nullptr) {
    auto *slot = static_cast<mekal_value_t *>(std::malloc(sizeof(mekal_value_t)));
    slot->as_long = 0;
    slot->as_int = value;
    return mekal_raw_namevalue(name, category, subcategory, slot,
                               mekal_get_basetype(mekal_type_int));
}

inline int stored_int(const char *name) {
    mekal_value_t *value = nullptr;
    if (mekal_get_nameval(name, nullptr, &value, nullptr, nullptr) != 0) return -999999;
    return value->as_int;
}

struct Event {
    std::string observer;
    std::string name;
    mekal_category_t category;
    const char *name_ptr;
    const char *subcategory;  // pointer as received
    mekal_value_t *value;
    mekal_datatype_t *datatype;
    mekal_value_info_t *info;
    mekal_value_info_t info_copy;
    mekal_value_t value_copy;  // control events' slots live only during the call
};

struct Recorder {
    std::string label;
    std::vector<Event> *events;
};

inline void plain_cb(const char *name, mekal_category_t category, const char *subcategory,
                     mekal_value_t *value, mekal_datatype_t *datatype,
                     void *opaque) {
    auto *r = static_cast<Recorder *>(opaque);
    r->events->push_back({r->label, name, category, name, subcategory, value, datatype,
                          nullptr, {}, value ? *value : mekal_value_t{}});
}

inline void info_cb(const char *name, mekal_value_t *value,
                    mekal_datatype_t *datatype, mekal_value_info_t *info,
                    void *opaque) {
    auto *r = static_cast<Recorder *>(opaque);
    r->events->push_back({r->label, name, info ? info->category : -1, name,
                          info ? info->subcategory : nullptr, value, datatype, info,
                          info ? *info : mekal_value_info_t{}, value ? *value : mekal_value_t{}});
}

inline std::vector<std::string> listed_names(mekal_category_t category = mekal_category_all) {
    std::vector<std::string> names;
    mekal_list_namevals(
        0, category,
        [](const char *name, mekal_category_t, const char *, mekal_value_t *,
           mekal_datatype_t *, void *opaque) {
            static_cast<std::vector<std::string> *>(opaque)->push_back(name);
        },
        &names);
    return names;
}

}  // namespace testing_helpers
