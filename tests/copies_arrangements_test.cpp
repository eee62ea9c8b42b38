// Copies of the library in the arrangements users meet, with libmekal.so
// linked into this program: plugins that bring their own copy, a copy
// loaded after values were recorded, a clean through another copy, and a
// block whose version asks for per-copy chains. Each arrangement runs in a
// child process of its own, which starts with an untouched registry.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstring>
#include <string>
#include <vector>

#include "mekal.h"
#include "plugins/copy_handle.h"
#include "registry/registry.h"

using namespace copies;

namespace {

using Names = std::vector<std::string>;

// The copy this program links, through its own handle.
void open_linked(Copy &linked) {
    linked.open(MEKAL_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD);
}

int stored_int(const char *name) {
    mekal_value_t *value = nullptr;
    if (mekal_get_nameval(name, nullptr, &value, nullptr, nullptr) != 0) return Copy::kMissing;
    return value->as_int;
}

Names listed() {
    Names out;
    mekal_list_namevals(
        0, mekal_category_all,
        [](const char *name, mekal_category_t, const char *, mekal_value_t *,
           mekal_datatype_t *, void *opaque) { static_cast<Names *>(opaque)->push_back(name); },
        &out);
    return out;
}

// A plugin that either bundles its own copy (exporting only plugin_*) or
// links the second shared copy. Whatever the load mode, the copy linked
// into the program is first in the global search order: its block is the
// one every copy shares.
void plugin_arrangement(const char *path, int mode, bool bundled) {
    Copy linked;
    open_linked(linked);
    registry_block *shared = melsys_get_public_mekal_symbol();
    ASSERT_EQ(shared, linked.own_block);
    ASSERT_EQ(mekal_namevalue("from-program", 2, "main", "%d", 1), 0);
    Heard program_heard;
    mekal_register_cb(1, mekal_category_all, hear, 0, &program_heard);

    Plugin plugin;
    plugin.open(path, RTLD_NOW | mode);
    EXPECT_EQ(dlsym(RTLD_DEFAULT, "plugin_record") != nullptr, mode == RTLD_GLOBAL)
        << "the load mode took effect";
    EXPECT_EQ(dlsym(RTLD_DEFAULT, "mekal_public"), shared) << "a plugin does not displace the block";
    EXPECT_EQ(plugin.found_block(), shared) << "the plugin's lookup finds the linked copy's block";

    // The block the plugin's own copy defines stays unused.
    registry_block *plugin_own;
    mekal_datatype_t *program_int = mekal_get_basetype(mekal_type_int);
    if (bundled) {
        EXPECT_EQ(dlsym(plugin.handle, "mekal_public"), nullptr) << "the bundled copy exports nothing";
        plugin_own = plugin.fallback_block();
        EXPECT_NE(plugin_own, shared);
        // The bundled copy binds its own calls: its code records.
        EXPECT_NE(plugin.int_basetype(), program_int);
    } else {
        plugin_own = static_cast<registry_block *>(dlsym(plugin.handle, "mekal_public"));
        ASSERT_NE(plugin_own, nullptr);
        EXPECT_NE(plugin_own, shared);
        // The second copy's exported names lose to the linked copy's: the
        // plugin's calls and its reference to mekal_public go there.
        EXPECT_EQ(plugin.fallback_block(), shared);
        EXPECT_EQ(plugin.int_basetype(), program_int);
    }

    EXPECT_EQ(plugin.stored("from-program"), 1);
    ASSERT_EQ(plugin.record("from-plugin", 2), 0);
    mekal_datatype_t *datatype = nullptr;
    mekal_value_t *value = nullptr;
    mekal_category_t category = 0;
    const char *subcategory = nullptr;
    ASSERT_EQ(mekal_get_nameval("from-plugin", &datatype, &value, &category, &subcategory), 0);
    EXPECT_EQ(value->as_int, 2);
    EXPECT_EQ(category, 2);
    EXPECT_STREQ(subcategory, "plugin");
    EXPECT_EQ(datatype, plugin.int_basetype()) << "typed by the copy whose code recorded it";

    Heard plugin_heard;
    plugin.observe(hear, &plugin_heard);
    ASSERT_EQ(mekal_namevalue("after-plugin", 2, "main", "%d", 3), 0);
    ASSERT_EQ(plugin.record("from-plugin", 4), 0);
    EXPECT_EQ(stored_int("from-plugin"), 4) << "replaced in place across copies";
    EXPECT_EQ(program_heard.names, (Names{"from-plugin", "after-plugin", "from-plugin"}));
    EXPECT_EQ(plugin_heard.names, (Names{"after-plugin", "from-plugin"}));
    EXPECT_EQ(listed(), (Names{"after-plugin", "from-plugin", "from-program"}));

    // A clean through the plugin releases the program's values and
    // observers as well as its own; both go on as on a fresh registry.
    EXPECT_EQ(plugin.clean(), 0);
    EXPECT_EQ(program_heard.names.back(), "clean");
    EXPECT_EQ(plugin_heard.names.back(), "clean");
    EXPECT_TRUE(listed().empty());
    EXPECT_EQ(stored_int("from-program"), Copy::kMissing);
    EXPECT_EQ(*shared->observer_head_slot, nullptr);
    ASSERT_EQ(plugin.record("again", 5), 0);
    EXPECT_EQ(stored_int("again"), 5);
    EXPECT_EQ(program_heard.names.back(), "clean") << "released observers hear nothing more";
    EXPECT_EQ(mekal_clean(), 0);
    EXPECT_EQ(plugin.stored("again"), Copy::kMissing);
    EXPECT_TRUE(pristine(plugin_own)) << "the plugin's own block was never touched";
}

TEST(CopiesArrangements, PluginBundlingItsCopyLoadedLocallySharesTheLinkedBlock) {
    in_child([] { plugin_arrangement(MEKAL_PLUGIN_BUNDLED_PATH, RTLD_LOCAL, true); });
}

TEST(CopiesArrangements, PluginBundlingItsCopyLoadedGloballySharesTheLinkedBlock) {
    in_child([] { plugin_arrangement(MEKAL_PLUGIN_BUNDLED_PATH, RTLD_GLOBAL, true); });
}

TEST(CopiesArrangements, PluginLinkingTheSecondCopyLoadedLocallyIsServedByTheLinkedCopy) {
    in_child([] { plugin_arrangement(MEKAL_PLUGIN_LINKED_PATH, RTLD_LOCAL, false); });
}

TEST(CopiesArrangements, PluginLinkingTheSecondCopyLoadedGloballyIsServedByTheLinkedCopy) {
    in_child([] { plugin_arrangement(MEKAL_PLUGIN_LINKED_PATH, RTLD_GLOBAL, false); });
}

TEST(CopiesArrangements, CopyLoadedAfterValuesWereRecordedSeesThemThroughLookupsAndListings) {
    in_child([] {
        static const char *const texts[3] = {"x", "yy", "zzz"};
        static const struct timeval interval = {5, 6};
        ASSERT_EQ(mekal_namevalue("n", 2, "main", "%d", 7), 0);
        ASSERT_EQ(mekal_namevalue("texts", 3, "main", "[%s]", texts, 3), 0);
        ASSERT_EQ(mekal_namevalue("interval", 3, nullptr, "%t", &interval), 0);
        Heard early;
        mekal_register_cb(1, mekal_category_all, hear, 0, &early);
        registry_block *shared = melsys_get_public_mekal_symbol();
        observer **slot = shared->observer_head_slot;
        ASSERT_NE(slot, nullptr);

        Copy late;
        late.open(MEKAL_COPY2_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(late.own_block, shared);
        EXPECT_EQ(late.public_symbol(), shared);

        // The late copy's lookups hand out the stored records themselves.
        for (const char *name : {"n", "texts", "interval"}) {
            mekal_datatype_t *d1 = nullptr, *d2 = nullptr;
            mekal_value_t *v1 = nullptr, *v2 = nullptr;
            mekal_category_t c1 = 0, c2 = -1;
            const char *s1 = "?", *s2 = "!";
            ASSERT_EQ(mekal_get_nameval(name, &d1, &v1, &c1, &s1), 0) << name;
            ASSERT_EQ(late.get_nameval(name, &d2, &v2, &c2, &s2), 0) << name;
            EXPECT_EQ(d1, d2) << name;
            EXPECT_EQ(v1, v2) << name;
            EXPECT_EQ(c1, c2) << name;
            EXPECT_EQ(s1, s2) << name;
        }
        EXPECT_EQ(late.lookup("n"), 7);
        EXPECT_EQ(late.names(), (Names{"interval", "texts", "n"}));
        EXPECT_EQ(late.names(), listed());

        // Elements through the late copy's own element access.
        mekal_datatype_t *set_type = nullptr;
        mekal_value_t *set_value = nullptr;
        ASSERT_EQ(late.get_nameval("texts", &set_type, &set_value, nullptr, nullptr), 0);
        ASSERT_EQ(late.num_subvals(set_type), 3);
        for (int i = 0; i < 3; ++i) {
            mekal_datatype_t *element = nullptr;
            mekal_value_t text{};
            ASSERT_EQ(late.get_subval(set_type, set_value, i, &element, &text), 0);
            EXPECT_EQ(element->type, mekal_type_string);
            EXPECT_STREQ(static_cast<const char *>(text.as_ptr), texts[i]);
            EXPECT_NE(text.as_ptr, texts[i]) << "a copy, not the caller's text";
        }

        // An observer registered through the late copy joins the one list.
        Heard late_heard;
        late.register_cb(1, mekal_category_all, hear, 0, &late_heard);
        EXPECT_EQ(shared->observer_head_slot, slot) << "the slot is filled once";
        ASSERT_EQ(late.raw_int("from-late", 8), 0);
        ASSERT_EQ(mekal_namevalue("n", 2, "main", "%d", 9), 0);
        EXPECT_EQ(early.names, (Names{"from-late", "n"}));
        EXPECT_EQ(late_heard.names, (Names{"from-late", "n"}));
        EXPECT_EQ(late.lookup("n"), 9);
        EXPECT_EQ(stored_int("from-late"), 8);
        EXPECT_TRUE(pristine(late.own_block));

        EXPECT_EQ(mekal_clean(), 0);
        EXPECT_EQ(late.lookup("n"), Copy::kMissing);
        EXPECT_TRUE(late.names().empty());
    });
}

struct AtClean {
    int events = 0;
    Names entries;  // what the program's listing shows while "clean" is dispatched
};

void at_clean(const char *name, mekal_category_t, const char *, mekal_value_t *,
              mekal_datatype_t *, void *opaque) {
    if (std::strcmp(name, "clean") != 0) return;
    auto *seen = static_cast<AtClean *>(opaque);
    ++seen->events;
    seen->entries = listed();
}

TEST(CopiesArrangements, CleanThroughTheSecondCopyReleasesEverythingAndTheFirstGoesOnAsNew) {
    in_child([] {
        registry_block *shared = melsys_get_public_mekal_symbol();
        Copy second;
        second.open(MEKAL_COPY2_PATH, RTLD_NOW | RTLD_LOCAL);

        // Values typed and copied by either copy's code.
        static const char *const texts[2] = {"p", "q"};
        unsigned char tuple[12];
        const int n = 11;
        const char *text = "tuple-text";
        std::memcpy(tuple, &n, 4);
        std::memcpy(tuple + 4, &text, 8);
        ASSERT_EQ(mekal_namevalue("first-set", 2, "a", "[%s]", texts, 2), 0);
        ASSERT_EQ(second.namevalue("second-tuple", 2, "b", "(%d,%s)", tuple, 2), 0);
        ASSERT_EQ(second.raw_int("second-raw", 3), 0);
        ASSERT_EQ(mekal_namevalue("first-int", 2, nullptr, "%d", 4), 0);

        AtClean first_seen, second_seen;
        mekal_register_cb(1, mekal_category_control, at_clean, 0, &first_seen);
        second.register_cb(1, mekal_category_control, at_clean, 0, &second_seen);
        observer **slot = shared->observer_head_slot;

        EXPECT_EQ(second.clean(), 0);
        const Names all{"first-int", "second-raw", "second-tuple", "first-set"};
        EXPECT_EQ(first_seen.events, 1);
        EXPECT_EQ(second_seen.events, 1);
        EXPECT_EQ(first_seen.entries, all) << "observers hear \"clean\" before anything goes";
        EXPECT_EQ(second_seen.entries, all);

        EXPECT_EQ(shared->entry_list, nullptr);
        for (const nameval_entry *head : shared->buckets) EXPECT_EQ(head, nullptr);
        EXPECT_EQ(shared->observer_head_slot, slot) << "the block keeps its slot";
        EXPECT_EQ(*slot, nullptr);
        for (const std::string &name : all) {
            EXPECT_EQ(stored_int(name.c_str()), Copy::kMissing) << name;
            EXPECT_EQ(second.lookup(name.c_str()), Copy::kMissing) << name;
        }
        EXPECT_TRUE(listed().empty());
        EXPECT_TRUE(second.names().empty());

        // The first copy goes on as on a fresh registry, and so does the second.
        ASSERT_EQ(mekal_namevalue("first-int", 2, nullptr, "%d", 40), 0);
        Heard fresh;
        mekal_register_cb(1, mekal_category_all, hear, 0, &fresh);
        ASSERT_EQ(second.raw_int("second-raw", 30), 0);
        ASSERT_EQ(mekal_namevalue("next", 2, nullptr, "%d", 50), 0);
        EXPECT_EQ(fresh.names, (Names{"second-raw", "next"}));
        EXPECT_EQ(stored_int("first-int"), 40);
        EXPECT_EQ(stored_int("second-raw"), 30);
        EXPECT_EQ(second.lookup("next"), 50);
        EXPECT_EQ(listed(), (Names{"next", "second-raw", "first-int"}));
        EXPECT_EQ(mekal_flush("x"), 0);
        EXPECT_EQ(first_seen.events + second_seen.events, 2) << "released observers stay silent";
        EXPECT_EQ(mekal_clean(), 0);
    });
}

// Version 0 or less: each copy hashes the entries that its own raw entry
// stores into its own chains; the entry list stays shared.
void per_copy_chains(int version) {
    registry_block *shared = melsys_get_public_mekal_symbol();
    Copy second;
    second.open(MEKAL_COPY2_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_EQ(second.lookup("warm"), Copy::kMissing);  // both copies hold the block now
    ASSERT_EQ(stored_int("warm"), Copy::kMissing);
    shared->version = version;

    ASSERT_EQ(mekal_namevalue("first", 2, nullptr, "%d", 1), 0);
    ASSERT_EQ(second.raw_int("second", 2), 0);
    EXPECT_EQ(stored_int("first"), 1);
    EXPECT_EQ(stored_int("second"), Copy::kMissing);
    EXPECT_EQ(second.lookup("second"), 2);
    EXPECT_EQ(second.lookup("first"), Copy::kMissing);
    EXPECT_EQ(listed(), (Names{"second", "first"}));
    EXPECT_EQ(second.names(), listed());
    for (const nameval_entry *head : shared->buckets) EXPECT_EQ(head, nullptr);

    // One name through both copies: two entries, each copy finds its own.
    ASSERT_EQ(second.raw_int("first", 3), 0);
    EXPECT_EQ(stored_int("first"), 1);
    EXPECT_EQ(second.lookup("first"), 3);
    EXPECT_EQ(listed(), (Names{"first", "second", "first"}));
    // The second copy's formatted entry hands over to the raw entry that
    // the dynamic linker found first, the linked copy's: its chains.
    ASSERT_EQ(second.namevalue("formatted", 2, nullptr, "%d", 4), 0);
    EXPECT_EQ(stored_int("formatted"), 4);
    EXPECT_EQ(second.lookup("formatted"), Copy::kMissing);

    // A clean through the second copy leaves no stale chain in the first.
    EXPECT_EQ(second.clean(), 0);
    EXPECT_TRUE(listed().empty());
    for (const char *name : {"first", "second", "formatted"}) {
        EXPECT_EQ(stored_int(name), Copy::kMissing) << name;
        EXPECT_EQ(second.lookup(name), Copy::kMissing) << name;
    }
    ASSERT_EQ(mekal_namevalue("first", 2, nullptr, "%d", 10), 0);
    ASSERT_EQ(second.raw_int("second", 20), 0);
    EXPECT_EQ(stored_int("first"), 10);
    EXPECT_EQ(second.lookup("second"), 20);
    EXPECT_EQ(listed(), (Names{"second", "first"}));

    // And a clean through the first leaves none in the second.
    EXPECT_EQ(mekal_clean(), 0);
    for (const char *name : {"first", "second"}) {
        EXPECT_EQ(stored_int(name), Copy::kMissing) << name;
        EXPECT_EQ(second.lookup(name), Copy::kMissing) << name;
    }
    ASSERT_EQ(second.raw_int("second", 30), 0);
    ASSERT_EQ(mekal_namevalue("third", 2, nullptr, "%d", 40), 0);
    EXPECT_EQ(second.lookup("second"), 30);
    EXPECT_EQ(stored_int("third"), 40);
    EXPECT_EQ(second.names(), (Names{"third", "second"}));
    EXPECT_EQ(shared->version, version) << "a clean leaves the version alone";

    // Back to shared chains on an empty registry: one table for both again.
    EXPECT_EQ(mekal_clean(), 0);
    shared->version = 1;
    ASSERT_EQ(second.raw_int("shared", 5), 0);
    EXPECT_EQ(stored_int("shared"), 5);
    EXPECT_EQ(mekal_clean(), 0);
}

TEST(CopiesArrangements, VersionZeroKeepsChainsPerCopyAndACleanThroughEitherDropsThemAll) {
    in_child([] { per_copy_chains(0); });
    in_child([] { per_copy_chains(-3); });
}

}  // namespace
