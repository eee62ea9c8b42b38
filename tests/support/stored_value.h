// A recorded value read back by name, for the collector and probe tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "mekal.h"

namespace testing_helpers {

struct Stored {
    bool found = false;
    mekal_datatype_t *datatype = nullptr;
    mekal_value_t *value = nullptr;
    mekal_category_t category = 0;
    std::string subcategory;
    std::string typestr;

    std::string text() const {
        if (!found || value->as_ptr == nullptr) return "(missing)";
        return static_cast<const char *>(value->as_ptr);
    }
    int64_t number() const { return found ? value->as_long : -999999; }
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        if (!found) return {"(missing)"};
        for (int i = 0; i < mekal_num_subvals(datatype); ++i) {
            mekal_datatype_t *subtype = nullptr;
            mekal_value_t element{};
            EXPECT_EQ(mekal_get_subval(datatype, value, i, &subtype, &element), 0);
            out.push_back(element.as_ptr ? static_cast<const char *>(element.as_ptr) : "(null)");
        }
        return out;
    }
};

inline Stored stored(const char *name) {
    Stored s;
    const char *subcategory = nullptr;
    s.found = mekal_get_nameval(name, &s.datatype, &s.value, &s.category, &subcategory) == 0;
    if (!s.found) return s;
    s.subcategory = subcategory ? subcategory : "(null)";
    char *rendered = mekal_type_to_string(s.datatype, 0);
    s.typestr = rendered ? rendered : "(none)";
    std::free(rendered);
    return s;
}

}  // namespace testing_helpers
