// A plugin that observes through the copy of the library it bundles and
// leaves before it is unloaded: a destructor function unregisters its plain
// and info observers, and its static C++ handle unregisters the callable.
#include "mekal.hpp"

namespace {

int *heard = nullptr;
bool leave_at_unload = true;
mekal::observer_handle callable;

void plain(const char *, mekal_category_t, const char *, mekal_value_t *, mekal_datatype_t *,
           void *opaque) {
    ++*static_cast<int *>(opaque);
}

void with_info(const char *, mekal_value_t *, mekal_datatype_t *, mekal_value_info_t *,
               void *opaque) {
    ++*static_cast<int *>(opaque);
}

__attribute__((destructor)) void unload() {
    if (!leave_at_unload) return;
    (void)mekal_unregister_cb(plain, heard);
    (void)mekal_unregister_cb_with_info(with_info, heard);
}

}  // namespace

// Registers the three observers, each counting into *count. With leave 0
// the plugin leaves them all behind when it is unloaded.
extern "C" MEKAL_API void plugin_watch(int *count, int leave) {
    heard = count;
    leave_at_unload = leave != 0;
    mekal_register_cb(1, mekal_category_general, plain, 0, count);
    mekal_register_cb_with_info(1, mekal_category_general, with_info, 0, count);
    callable = mekal::observe([count](const mekal::event &) { ++*count; }, mekal_category_general);
    if (!leave_at_unload) callable.detach();
}
