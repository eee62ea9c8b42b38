// Opening the library the recorder was built with.
#include "library.h"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>

namespace mekal::record {

library_calls lib;
int (*next_raw_namevalue)(const char *, mekal_category_t, const char *, mekal_value_t *,
                          mekal_datatype_t *) = nullptr;

namespace {

const char *open_library() {
    // The library lies at the same place relative to the recorder in the
    // build tree and in an installed one.
    Dl_info self{};
    if (dladdr(reinterpret_cast<void *>(&open_library), &self) == 0 || self.dli_fname == nullptr)
        return "the recorder's own path is unknown";
    const char *recorder_path = self.dli_fname;
    const char *slash = std::strrchr(recorder_path, '/');
    if (slash == nullptr) return "the recorder's own path is unknown";
    const size_t directory = static_cast<size_t>(slash - recorder_path) + 1;
    static constexpr char kRelative[] = MEKAL_RECORD_LIBRARY_RELATIVE;
    char *path = static_cast<char *>(std::malloc(directory + sizeof kRelative));
    if (path == nullptr) return "out of memory";
    std::memcpy(path, recorder_path, directory);
    std::memcpy(path + directory, kRelative, sizeof kRelative);
    // Local: the program's own symbol search stays as it was.
    void *handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    std::free(path);
    if (handle == nullptr) return "cannot load the library it was built with";
// NOLINTBEGIN(bugprone-macro-parentheses): a parameter list, not an expression
#define MEKAL_RECORD_RESOLVE(name, result, parameters)                        \
    lib.name = reinterpret_cast<result(*) parameters>(dlsym(handle, #name)); \
    if (lib.name == nullptr) return "the library it was built with lacks " #name;
    MEKAL_RECORD_CALLS(MEKAL_RECORD_RESOLVE)
#undef MEKAL_RECORD_RESOLVE
    // NOLINTEND(bugprone-macro-parentheses)
    // The library stays loaded for the life of the process: its handle is
    // never closed.
    next_raw_namevalue = reinterpret_cast<decltype(next_raw_namevalue)>(
        dlsym(RTLD_NEXT, "mekal_raw_namevalue"));
    if (next_raw_namevalue == nullptr) next_raw_namevalue = lib.mekal_raw_namevalue;
    return nullptr;
}

}  // namespace

const char *load_library() {
    // Once: the first call may come from the raw entry, if a library's
    // constructor records before the recorder's own has run.
    static bool tried = false;
    static const char *failure = nullptr;
    if (!tried) {
        tried = true;
        failure = open_library();
    }
    return failure;
}

}  // namespace mekal::record
