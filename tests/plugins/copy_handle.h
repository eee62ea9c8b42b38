// Helpers for the tests of several copies of the library in one process:
// one copy's own entry points looked up in its handle, the plugin's entry
// points, and a child process per arrangement, since a loaded copy cannot
// really be unloaded and the registry is process-wide.
#pragma once

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "mekal.h"
#include "registry/registry.h"

namespace copies {

template <typename F>
void bind(void *handle, F &fn, const char *name) {
    fn = reinterpret_cast<F>(dlsym(handle, name));
    ASSERT_NE(fn, nullptr) << name << ": " << dlerror();
}

// The definitions of one copy, found in its own handle: dlsym on a handle
// searches that object first, so these are this copy's functions even when
// another copy's come first in the global search order.
struct Copy {
    void *handle = nullptr;
    decltype(&mekal_namevalue) namevalue = nullptr;
    decltype(&mekal_raw_namevalue) raw_namevalue = nullptr;
    decltype(&mekal_get_nameval) get_nameval = nullptr;
    decltype(&mekal_list_namevals) list_namevals = nullptr;
    decltype(&mekal_register_cb) register_cb = nullptr;
    decltype(&mekal_clean) clean = nullptr;
    decltype(&mekal_get_basetype) get_basetype = nullptr;
    decltype(&mekal_num_subvals) num_subvals = nullptr;
    decltype(&mekal_get_subval) get_subval = nullptr;
    decltype(&melsys_get_public_mekal_symbol) public_symbol = nullptr;
    registry_block *own_block = nullptr;  // this copy's mekal_public

    void open(const char *path, int mode) {
        handle = dlopen(path, mode);
        ASSERT_NE(handle, nullptr) << dlerror();
        bind(handle, namevalue, "mekal_namevalue");
        bind(handle, raw_namevalue, "mekal_raw_namevalue");
        bind(handle, get_nameval, "mekal_get_nameval");
        bind(handle, list_namevals, "mekal_list_namevals");
        bind(handle, register_cb, "mekal_register_cb");
        bind(handle, clean, "mekal_clean");
        bind(handle, get_basetype, "mekal_get_basetype");
        bind(handle, num_subvals, "mekal_num_subvals");
        bind(handle, get_subval, "mekal_get_subval");
        bind(handle, public_symbol, "melsys_get_public_mekal_symbol");
        bind(handle, own_block, "mekal_public");
    }

    // Records an int through this copy's raw entry, so this copy's chain
    // table takes it.
    int raw_int(const char *name, int v) {
        auto *slot = static_cast<mekal_value_t *>(std::calloc(1, sizeof(mekal_value_t)));
        slot->as_int = v;
        return raw_namevalue(name, mekal_category_general, nullptr, slot,
                             get_basetype(mekal_type_int));
    }

    // The stored int of name through this copy's lookup, or missing.
    static constexpr int kMissing = -999999;
    int lookup(const char *name) {
        mekal_value_t *value = nullptr;
        if (get_nameval(name, nullptr, &value, nullptr, nullptr) != 0) return kMissing;
        return value->as_int;
    }

    std::vector<std::string> names() {
        std::vector<std::string> out;
        list_namevals(
            0, mekal_category_all,
            [](const char *name, mekal_category_t, const char *, mekal_value_t *,
               mekal_datatype_t *, void *opaque) {
                static_cast<std::vector<std::string> *>(opaque)->push_back(name);
            },
            &out);
        return out;
    }
};

// The entry points of tests/plugins/record_plugin.c.
struct Plugin {
    void *handle = nullptr;
    int (*record)(const char *, int) = nullptr;
    int (*lookup)(const char *, int *) = nullptr;
    void (*observe)(mekal_nameval_cb_t, void *) = nullptr;
    int (*clean)() = nullptr;
    mekal_datatype_t *(*int_basetype)() = nullptr;
    registry_block *(*found_block)() = nullptr;
    registry_block *(*fallback_block)() = nullptr;

    void open(const char *path, int mode) {
        handle = dlopen(path, mode);
        ASSERT_NE(handle, nullptr) << dlerror();
        bind(handle, record, "plugin_record");
        bind(handle, lookup, "plugin_lookup");
        bind(handle, observe, "plugin_observe");
        bind(handle, clean, "plugin_clean");
        bind(handle, int_basetype, "plugin_int_basetype");
        bind(handle, found_block, "plugin_found_block");
        bind(handle, fallback_block, "plugin_fallback_block");
    }

    int stored(const char *name) {
        int v = 0;
        return lookup(name, &v) == 0 ? v : Copy::kMissing;
    }
};

// Counts the events an observer hears, by name.
struct Heard {
    std::vector<std::string> names;
};

inline void hear(const char *name, mekal_category_t, const char *, mekal_value_t *,
                 mekal_datatype_t *, void *opaque) {
    static_cast<Heard *>(opaque)->names.push_back(name);
}

inline bool pristine(const registry_block *block) {
    if (block->version != 1 || block->entry_list != nullptr || block->observer_head_slot != nullptr)
        return false;
    for (const nameval_entry *head : block->buckets)
        if (head != nullptr) return false;
    return true;
}

// Runs body in a child process, so that the copies it loads and the
// registry it fills go away with it. The child reports its own assertion
// failures and exits non-zero on any; under the sanitizers and valgrind
// its own leak check and error count decide its exit status too.
template <typename Body>
void in_child(Body body) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
        body();
        std::fflush(nullptr);
        std::exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "the child died of signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the arrangement failed in its child (see above)";
}

}  // namespace copies
