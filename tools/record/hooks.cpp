// The functions the recorder interposes: the C library's start routine, to
// learn how the program ends (an exit handler that is handed the status);
// _exit and _Exit, the ends that run no handler (a shell leaves through
// _exit); and the library's raw entry, which every copy of the library
// calls through the dynamic linker and which carries "clean" before a clean
// releases the values, however the program reached mekal_clean. Every other
// symbol of the recorder is hidden.
#include <dlfcn.h>

#include <cstdlib>
#include <cstring>

#include "library.h"
#include "recorder.h"

namespace {

using main_function = int (*)(int, char **, char **);
using start_function = int (*)(main_function, int, char **, void (*)(), void (*)(), void (*)(),
                               void *);
using exit_function = void (*)(int);

main_function g_main = nullptr;

void on_program_exit(int status, void *) { mekal::record::program_exits(status); }

int recorded_main(int argc, char **argv, char **envp) {
    // Registered now, this handler runs before the program's static
    // destructors and after the exit handlers that main registers.
    (void)on_exit(on_program_exit, nullptr);
    return g_main(argc, argv, envp);
}

[[noreturn]] void leave(const char *name, int status) {
    mekal::record::program_exits(status);
    auto next = reinterpret_cast<exit_function>(dlsym(RTLD_NEXT, name));
    if (next != nullptr) next(status);
    abort();  // no C library to end the program with
}

}  // namespace

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the C library's name
extern "C" __attribute__((visibility("default"))) int __libc_start_main(
    main_function main, int argc, char **argv, void (*init)(), void (*fini)(),
    void (*rtld_fini)(), void *stack_end) {
    auto next = reinterpret_cast<start_function>(dlsym(RTLD_NEXT, "__libc_start_main"));
    if (next == nullptr) abort();  // no C library to start the program with
    g_main = main;
    return next(recorded_main, argc, argv, init, fini, rtld_fini, stack_end);
}

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the C library's name
extern "C" __attribute__((visibility("default"), noreturn)) void _exit(int status) {
    leave("_exit", status);
}

extern "C" __attribute__((visibility("default"), noreturn)) void _Exit(int status) noexcept {
    leave("_Exit", status);
}

extern "C" __attribute__((visibility("default"))) int mekal_raw_namevalue(
    const char *name, mekal_category_t category, const char *subcategory, mekal_value_t *value,
    mekal_datatype_t *datatype) {
    using mekal::record::next_raw_namevalue;
    (void)mekal::record::load_library();  // a constructor may record before the recorder's ran
    if (next_raw_namevalue == nullptr)
        next_raw_namevalue = reinterpret_cast<decltype(next_raw_namevalue)>(
            dlsym(RTLD_NEXT, "mekal_raw_namevalue"));
    if (next_raw_namevalue == nullptr) return -1;
    const int result = next_raw_namevalue(name, category, subcategory, value, datatype);
    // After the observers saw "clean" (and anything they recorded then), before
    // the values go.
    if (category == mekal_category_control && name != nullptr && std::strcmp(name, "clean") == 0)
        mekal::record::clean_coming();
    return result;
}
