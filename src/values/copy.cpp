// Value copy-in and element access: copying a caller's packed value into
// library-owned slots, and taking copied or referenced containers apart.
#include <climits>
#include <cstdlib>
#include <cstring>

#include "types/types.h"
#include "values/values.h"

namespace mekal {
namespace {

bool is_long_code(int32_t type) {
    switch (type) {
    case mekal_type_long: case mekal_type_unsigned_long: case mekal_type_date:
    case mekal_type_long_long: case mekal_type_unsigned_long_long:
        return true;
    default:
        return false;
    }
}

// A 1-, 2- or 4-byte packed integer widened to 32 bits: sign extension for
// int, zero extension for unsigned int. Other widths read 4 bytes.
int32_t read_narrow_int(const mekal_datatype_t *datatype, const void *source) {
    const bool is_signed = datatype->type == mekal_type_int;
    switch (datatype->base_size) {
    case 1:
        return is_signed ? read_packed<int8_t>(source)
                         : static_cast<int32_t>(read_packed<uint8_t>(source));
    case 2:
        return is_signed ? read_packed<int16_t>(source)
                         : static_cast<int32_t>(read_packed<uint16_t>(source));
    default:
        return read_packed<int32_t>(source);
    }
}

double read_real(const mekal_datatype_t *datatype, const void *source) {
    if (datatype->base_size == 4) return static_cast<double>(read_packed<float>(source));
    return read_packed<double>(source);
}

}  // namespace

const mekal_datatype_t *element_type(const mekal_datatype_t *container, int64_t index) {
    if (container->subtypes == nullptr) return nullptr;
    const int64_t member = container->type == mekal_type_tuple ? index : 0;
    if (member >= container->num_subtypes) return nullptr;
    return container->subtypes[member];
}

namespace {

int64_t copy_container(mekal_value_t *dest, const mekal_datatype_t *datatype, const void *source) {
    if (datatype->is_reference != 0) {
        // The data stays in the caller's memory, even inside a larger copy.
        const int32_t size = datatype_size(datatype);
        if (size < 0) return -1;  // an element without a size
        dest->as_ptr = const_cast<void *>(source);
        return size;
    }
    const int32_t count = datatype->num_elements;
    if (count <= 0) {
        // No array at all: release_value frees the null pointer harmlessly.
        dest->as_ptr = nullptr;
        return 0;
    }
    auto *slots = static_cast<mekal_value_t *>(std::calloc(static_cast<size_t>(count),
                                                           sizeof(mekal_value_t)));
    if (slots == nullptr) return -1;
    const auto *bytes = static_cast<const unsigned char *>(source);
    int64_t offset = 0;
    for (int32_t j = 0; j < count; ++j) {
        const mekal_datatype_t *element = element_type(datatype, j);
        const int64_t size = element ? copy_value(&slots[j], element, bytes + offset) : -1;
        if (size < 0) {
            // Undo the elements already copied, so a failure keeps nothing.
            for (int32_t k = 0; k < j; ++k) release_value(element_type(datatype, k), &slots[k]);
            std::free(slots);
            return -1;
        }
        offset += size;
    }
    dest->as_ptr = slots;
    return offset;
}

}  // namespace

bool read_element(const mekal_datatype_t *element, const void *at, mekal_value_t *out) {
    const int32_t type = element->type;
    if (is_long_code(type)) {
        out->as_long = read_packed<int64_t>(at);
    } else if (type == mekal_type_timeval || is_text_code(type)) {
        out->as_ptr = read_packed<void *>(at);
    } else if (type == mekal_type_int || type == mekal_type_unsigned_int) {
        out->as_int = read_narrow_int(element, at);
    } else if (type == mekal_type_double) {
        out->as_double = read_real(element, at);
    } else if (is_container_code(type)) {
        // The nested container is referenced too: its value is its packed data.
        out->as_ptr = const_cast<void *>(at);
    } else {
        out->as_long = 0;
        return false;
    }
    return true;
}

int64_t copy_value(mekal_value_t *dest, const mekal_datatype_t *datatype, const void *source) {
    if (dest == nullptr || datatype == nullptr || source == nullptr) return -1;
    const int32_t type = datatype->type;
    if (is_long_code(type)) {
        dest->as_long = read_packed<int64_t>(source);
        return 8;
    }
    if (type == mekal_type_int || type == mekal_type_unsigned_int) {
        dest->as_int = read_narrow_int(datatype, source);  // the high half stays as it was
        return static_cast<int64_t>(datatype->base_size);
    }
    if (type == mekal_type_double) {
        dest->as_double = read_real(datatype, source);
        return static_cast<int64_t>(datatype->base_size);
    }
    if (type == mekal_type_timeval || is_text_code(type)) {
        void *pointer = read_packed<void *>(source);
        if (datatype->is_reference != 0 || pointer == nullptr) {
            // A null pointer is kept as null rather than failing the whole
            // container: release_value frees it harmlessly and readers see
            // a missing text.
            dest->as_ptr = pointer;
            return 8;
        }
        void *copy;
        if (type == mekal_type_timeval) {
            copy = std::malloc(16);
            if (copy != nullptr) std::memcpy(copy, pointer, 16);
        } else {
            copy = strdup(static_cast<const char *>(pointer));
        }
        if (copy == nullptr) return -1;
        dest->as_ptr = copy;
        return 8;
    }
    if (is_container_code(type)) return copy_container(dest, datatype, source);
    return -1;
}

}  // namespace mekal

using namespace mekal;

namespace {

int subval_failure(mekal_datatype_t **subtype_out, mekal_value_t *subvalue_out) {
    if (subtype_out != nullptr) *subtype_out = nullptr;
    if (subvalue_out != nullptr) subvalue_out->as_long = 0;
    return -1;
}

// Byte offset of element index inside a referenced container's packed data,
// or -1 when a size on the way is negative or the offset leaves 32 bits.
int64_t packed_offset(const mekal_datatype_t *datatype, int index) {
    if (datatype->type == mekal_type_tuple) {
        int64_t offset = 0;
        for (int i = 0; i < index; ++i) {
            const mekal_datatype_t *member = datatype->subtypes[i];
            const int32_t size = member ? datatype_size(member) : -1;
            if (size < 0) return -1;
            offset += size;
        }
        return offset <= INT32_MAX ? offset : -1;
    }
    const int64_t offset = static_cast<int64_t>(index) * datatype_size(datatype->subtypes[0]);
    return (offset >= 0 && offset <= INT32_MAX) ? offset : -1;
}

}  // namespace

extern "C" {

MEKAL_API int mekal_num_subvals(const mekal_datatype_t *datatype) {
    if (datatype == nullptr || !is_container_code(datatype->type)) return 0;
    // At most one of the two is non-zero; add without signed overflow.
    return static_cast<int>(static_cast<uint32_t>(datatype->num_elements) +
                            static_cast<uint32_t>(datatype->num_ref_elements));
}

MEKAL_API int mekal_get_subval(const mekal_datatype_t *datatype, const mekal_value_t *value,
                               int index, mekal_datatype_t **subtype_out,
                               mekal_value_t *subvalue_out) {
    if (datatype == nullptr || value == nullptr || subtype_out == nullptr ||
        subvalue_out == nullptr || index < 0 || !is_container_code(datatype->type))
        return subval_failure(subtype_out, subvalue_out);

    const bool referenced = datatype->is_reference != 0;
    const int32_t count = referenced ? datatype->num_ref_elements : datatype->num_elements;
    const mekal_datatype_t *element = index < count ? element_type(datatype, index) : nullptr;
    if (element == nullptr || value->as_ptr == nullptr)
        return subval_failure(subtype_out, subvalue_out);

    if (!referenced) {
        // The stored form as it is: owned texts, timeval copies and, for a
        // nested container, the pointer to its slot array.
        *subtype_out = const_cast<mekal_datatype_t *>(element);
        *subvalue_out = static_cast<const mekal_value_t *>(value->as_ptr)[index];
        return 0;
    }

    const int64_t offset = packed_offset(datatype, index);
    if (offset < 0) return subval_failure(subtype_out, subvalue_out);
    // Elements are part of the caller's tree; the pointer type is plain only
    // so that callers can hand it back in without casts.
    *subtype_out = const_cast<mekal_datatype_t *>(element);
    const unsigned char *at = static_cast<const unsigned char *>(value->as_ptr) + offset;
    // An element without a readable form keeps its datatype for the caller.
    return read_element(element, at, subvalue_out) ? 0 : -1;
}

}  // extern "C"
