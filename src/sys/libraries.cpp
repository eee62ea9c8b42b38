// The dynamic linker's probes: the loaded objects, in two walks over its
// object list (one to size the array, one to fill it with the linker's own
// names), and the lookup of the registry block that every copy shares.
#include <dlfcn.h>

#include <cstdlib>

#include "sys/sys.h"

namespace mekal {
namespace {

bool has_name(const struct dl_phdr_info *info) {
    return info->dlpi_name != nullptr && info->dlpi_name[0] != '\0';
}

}  // namespace

int count_library_names(struct dl_phdr_info *info, size_t, void *data) {
    if (has_name(info)) ++*static_cast<int *>(data);
    return 0;
}

int collect_library_names(struct dl_phdr_info *info, size_t, void *data) {
    auto *collector = static_cast<library_name_collector *>(data);
    // Objects loaded since the count are dropped rather than overrun the array.
    if (has_name(info) && collector->next_index < collector->capacity)
        collector->names[collector->next_index++] = info->dlpi_name;
    return 0;
}

}  // namespace mekal

extern "C" MEKAL_API int melsys_get_libraries(const char ***names_out, int *count_out,
                                              int *names_owned_out) {
    if (names_out == nullptr || count_out == nullptr || names_owned_out == nullptr) return -1;

    int count = 0;
    dl_iterate_phdr(mekal::count_library_names, &count);

    auto *names = static_cast<const char **>(std::malloc(sizeof(const char *) * (count + 1u)));
    if (names == nullptr) return -1;

    mekal::library_name_collector collector{names, 0, count};
    dl_iterate_phdr(mekal::collect_library_names, &collector);
    // Objects unloaded since the count leave slots unfilled: the array ends
    // after the names actually stored.
    for (int i = collector.next_index; i <= count; ++i) names[i] = nullptr;

    *names_out = names;
    *count_out = collector.next_index;
    *names_owned_out = 0;  // the names belong to the dynamic linker
    return 0;
}

extern "C" MEKAL_API struct mekal_registry_block *melsys_get_public_mekal_symbol(void) {
    (void)dlerror();
    void *symbol = dlsym(RTLD_DEFAULT, "mekal_public");
    if (dlerror() != nullptr) return nullptr;
    return static_cast<struct mekal_registry_block *>(symbol);
}
