// Values internals: copying packed caller data into library-owned slots and
// reading elements of packed data.
#pragma once

#include <cstdint>
#include <cstring>

#include "mekal.h"

namespace mekal {

// Packed data has no alignment: every read goes through memcpy.
template <typename T>
inline T read_packed(const void *source, int64_t offset = 0) {
    T out;
    std::memcpy(&out, static_cast<const unsigned char *>(source) + offset, sizeof(T));
    return out;
}

// copy.cpp
// Fills *dest with the stored form of the packed value at source and returns
// its packed size, or -1 (dest unwritten, nothing left allocated) for a code
// outside 1..18 or exhausted memory.
int64_t copy_value(mekal_value_t *dest, const mekal_datatype_t *datatype, const void *source);

// Datatype of element index of a container, or null when the record does
// not describe one (hand-made records may be short of subtypes).
const mekal_datatype_t *element_type(const mekal_datatype_t *container, int64_t index);

// Reads the element of datatype element stored packed at `at` into *out, as
// mekal_get_subval hands it out: numbers widened, texts and timevals as the
// caller's pointers, a nested container as the address of its packed data.
// False (and a zero slot) for a code without a readable form.
bool read_element(const mekal_datatype_t *element, const void *at, mekal_value_t *out);

}  // namespace mekal
