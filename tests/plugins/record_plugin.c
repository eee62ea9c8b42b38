/* A plugin as users write them: it records and reads values through the
 * library it was built against. Built twice: once with its own copy of the
 * library linked in (only plugin_* exported), once linking the second
 * shared copy. Which copy's code serves each call depends on how the
 * dynamic linker binds it, which is what the copies tests look at. */
#include "mekal.h"

MEKAL_API int plugin_record(const char *name, int v) {
    return mekal_namevalue(name, mekal_category_general, "plugin", "%d", v);
}

/* The stored int of name, or -1 when the plugin's lookup misses. */
MEKAL_API int plugin_lookup(const char *name, int *out) {
    mekal_value_t *value = 0;
    if (mekal_get_nameval(name, 0, &value, 0, 0) != 0) return -1;
    *out = value->as_int;
    return 0;
}

MEKAL_API void plugin_observe(mekal_nameval_cb_t cb, void *opaque) {
    mekal_register_cb(1, mekal_category_all, cb, 0, opaque);
}

MEKAL_API int plugin_clean(void) { return mekal_clean(); }

/* The int datatype of whichever copy serves the plugin's calls. */
MEKAL_API mekal_datatype_t *plugin_int_basetype(void) {
    return mekal_get_basetype(mekal_type_int);
}

/* The block the plugin's symbol lookup finds, and the one its own
 * reference to mekal_public designates. */
MEKAL_API struct mekal_registry_block *plugin_found_block(void) {
    return melsys_get_public_mekal_symbol();
}

MEKAL_API struct mekal_registry_block *plugin_fallback_block(void) { return &mekal_public; }
