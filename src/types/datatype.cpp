// The datatype model: scale table, the static base datatypes that every
// scalar value shares, packed sizes and the release operations.
#include <cstdlib>

#include "types/types.h"

namespace mekal {
namespace {

// Scale of codes 1..18, indexed by code - 1.
constexpr int32_t kScaleOfCode[18] = {
    mekal_numerical_ratio,       mekal_numerical_ratio,    mekal_numerical_ratio,
    mekal_numerical_ratio,       mekal_numerical_ratio,    mekal_numerical_interval,
    mekal_numerical_interval,    mekal_numerical_ordinal,  mekal_numerical_ordinal,
    mekal_numerical_categorical, mekal_numerical_categorical, mekal_numerical_categorical,
    mekal_numerical_categorical, mekal_numerical_categorical, mekal_numerical_categorical,
    mekal_numerical_ratio,       mekal_numerical_ratio,    mekal_numerical_categorical,
};

constexpr int32_t scale_of(int32_t code) {
    return (code >= 1 && code <= 18) ? kScaleOfCode[code - 1] : mekal_numerical_unset;
}

constexpr mekal_datatype_t base(int32_t code, uint64_t size, int32_t reference) {
    return mekal_datatype_t{code, scale_of(code), 0, 0, nullptr, reference, 0, size};
}

}  // namespace

// Never written after load and never freed; shared by every scalar value.
constinit const mekal_datatype_t base_datatypes[kBaseDatatypeCount] = {
    base(mekal_type_int, 4, 0),                // 0
    base(mekal_type_long, 8, 0),               // 1
    base(mekal_type_unsigned_long, 8, 0),      // 2
    base(mekal_type_long_long, 8, 0),          // 3
    base(mekal_type_unsigned_long_long, 8, 0), // 4
    base(mekal_type_unsigned_int, 4, 0),       // 5
    base(mekal_type_double, 8, 0),             // 6
    base(mekal_type_date, 8, 0),               // 7
    base(mekal_type_timeval, 8, 0),            // 8
    base(mekal_type_version, 8, 0),            // 9
    base(mekal_type_string, 8, 0),             // 10
    base(mekal_type_catstring, 8, 0),          // 11
    base(mekal_type_jsonstring, 8, 0),         // 12
    base(mekal_type_path, 8, 0),               // 13
    base(mekal_type_unsigned_int, 1, 0),       // 14
    base(mekal_type_unsigned_int, 2, 0),       // 15
    base(mekal_type_int, 1, 0),                // 16
    base(mekal_type_int, 2, 0),                // 17
    base(mekal_type_double, 4, 0),             // 18: supplied as a 4-byte float
    base(mekal_type_version, 8, 1),            // 19
    base(mekal_type_string, 8, 1),             // 20
    base(mekal_type_catstring, 8, 1),          // 21
    base(mekal_type_jsonstring, 8, 1),         // 22
    base(mekal_type_path, 8, 1),               // 23
};

namespace {

// Entries 0..17: base record of codes 1..18 (-1 for the containers);
// entries 18..26: conversion i by width in bytes 0..8 (3, 5, 6, 7 unused).
constexpr int kPointerTable[27] = {
    kLong,   kUnsignedLong, kInt, kUnsignedInt, kDouble, kDate,    kTimeval,
    kVersion, kString, kCatstring, kPath, -1, -1, -1, -1, kLongLong, kUnsignedLongLong,
    kJsonstring,
    kInt, kInt8, kInt16, kInt, kInt, kInt, kInt, kInt, kLongLong,
};

static_assert(base(mekal_type_date, 8, 0).numerical == mekal_numerical_interval);
static_assert(kPointerTable[mekal_type_jsonstring - 1] == kJsonstring);
static_assert(kPointerTable[18 + 8] == kLongLong);

}  // namespace

mekal_datatype_t *int_by_width(int width) {
    if (width < 0 || width > 8) return nullptr;
    return base_record(kPointerTable[18 + width]);
}

int32_t datatype_size(const mekal_datatype_t *datatype) {
    // Counts come from callers; wrap instead of overflowing.
    uint32_t multiplier = 1;
    while (datatype->type >= mekal_type_range && datatype->type <= mekal_type_list) {
        multiplier *= static_cast<uint32_t>(datatype->num_elements) +
                      static_cast<uint32_t>(datatype->num_ref_elements);
        if (datatype->num_subtypes < 1 || datatype->subtypes == nullptr ||
            datatype->subtypes[0] == nullptr)
            return static_cast<int32_t>(multiplier * static_cast<uint32_t>(-1));
        datatype = datatype->subtypes[0];
    }
    uint32_t unit;
    switch (datatype->type) {
    case mekal_type_long: case mekal_type_unsigned_long: case mekal_type_date:
    case mekal_type_timeval: case mekal_type_version: case mekal_type_string:
    case mekal_type_catstring: case mekal_type_path: case mekal_type_jsonstring:
        unit = 8;
        break;
    case mekal_type_int: case mekal_type_unsigned_int: case mekal_type_double:
    case mekal_type_long_long: case mekal_type_unsigned_long_long:
        unit = static_cast<uint32_t>(datatype->base_size);
        break;
    case mekal_type_tuple:
        unit = 0;
        for (int32_t i = 0; i < datatype->num_subtypes; ++i) {
            const mekal_datatype_t *member = datatype->subtypes ? datatype->subtypes[i] : nullptr;
            const int32_t size = member ? datatype_size(member) : -1;
            // A member without a size leaves the tuple without one; summed,
            // a -1 would cancel against its neighbours and misplace them.
            if (size < 0) {
                unit = static_cast<uint32_t>(-1);
                break;
            }
            unit += static_cast<uint32_t>(size);
        }
        break;
    default:
        unit = static_cast<uint32_t>(-1);
        break;
    }
    return static_cast<int32_t>(unit * multiplier);
}

void release_datatype(mekal_datatype_t *datatype) {
    // Static base records never carry a container code, so this test is
    // what keeps them alive.
    if (datatype == nullptr || !is_container_code(datatype->type)) return;
    if (datatype->subtypes != nullptr) {
        for (int32_t i = 0; i < datatype->num_subtypes; ++i) release_datatype(datatype->subtypes[i]);
    }
    if (datatype->num_subtypes != 0) std::free(datatype->subtypes);
    std::free(datatype);
}

void release_value(const mekal_datatype_t *datatype, mekal_value_t *value) {
    if (datatype == nullptr || value == nullptr || datatype->is_reference != 0) return;
    switch (datatype->type) {
    case mekal_type_timeval: case mekal_type_version: case mekal_type_string:
    case mekal_type_catstring: case mekal_type_path: case mekal_type_jsonstring:
        std::free(value->as_ptr);
        return;
    case mekal_type_range: case mekal_type_set: case mekal_type_list: case mekal_type_tuple: {
        auto *slots = static_cast<mekal_value_t *>(value->as_ptr);
        if (slots != nullptr && datatype->subtypes != nullptr) {
            for (int32_t i = 0; i < datatype->num_elements; ++i) {
                const int32_t member = datatype->type == mekal_type_tuple ? i : 0;
                if (member < datatype->num_subtypes) release_value(datatype->subtypes[member], &slots[i]);
            }
        }
        std::free(slots);
        return;
    }
    default:
        return;
    }
}

void release_owned_recording(mekal_value_t *slot, mekal_datatype_t *datatype) {
    // The value's parts are found through the datatype, so it goes last.
    release_value(datatype, slot);
    std::free(slot);
    release_datatype(datatype);
}

}  // namespace mekal

extern "C" {

MEKAL_API mekal_numerical_t mekal_numerical_from_type(mekal_type_t type) {
    return mekal::scale_of(type);
}

MEKAL_API mekal_datatype_t *mekal_get_basetype(mekal_type_t type) {
    if (type < 1 || type > 18) return nullptr;
    const int record = mekal::kPointerTable[type - 1];
    return record < 0 ? nullptr : mekal::base_record(record);
}

}  // extern "C"
