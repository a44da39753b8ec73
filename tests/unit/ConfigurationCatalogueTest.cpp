#include "config/ConfigurationCatalogue.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace {

using Entries = std::vector<std::string>; // File1, File2, ... in order; "" for a missing value

// A store whose recent file list holds the entries given (empty ones are not written).
MemorySettingsStore RecentStore(const Entries& entries) {
    MemorySettingsStore store;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (!entries[i].empty()) {
            store.WriteRegString(settings::kRecentFileList, "File" + std::to_string(i + 1), entries[i]);
        }
    }
    return store;
}

Entries RecentEntries(MemorySettingsStore& store, int count) {
    Entries entries;
    for (int i = 1; i <= count; ++i) {
        entries.push_back(store.ReadRegString(settings::kRecentFileList, "File" + std::to_string(i), ""));
    }
    return entries;
}

TEST(RecentConfiguration, IsTheFirstEntryThatOpens) {
    struct Case {
        Entries entries;
        std::set<std::string> openable;
        const char* expected;
    } cases[] = {
        {{"C:\\a.cfg", "C:\\b.cfg"}, {"C:\\a.cfg", "C:\\b.cfg"}, "C:\\a.cfg"},
        {{"C:\\deleted.cfg", "C:\\b.cfg"}, {"C:\\b.cfg"}, "C:\\b.cfg"},
        {{"", "", "C:\\c.cfg"}, {"C:\\c.cfg"}, "C:\\c.cfg"},
        {{"a", "b", "c", "d", "", "", "", "", "C:\\nine.cfg"}, {"C:\\nine.cfg"}, "C:\\nine.cfg"},
        {{"a", "b", "c", "d", "e", "f", "g", "h", "i", "C:\\ten.cfg"}, {"C:\\ten.cfg"}, ""},
        {{"C:\\gone.cfg"}, {}, ""},
        {{}, {}, ""},
    };
    for (const Case& c : cases) {
        MemorySettingsStore store = RecentStore(c.entries);
        auto opens = [&c](const std::string& path) { return c.openable.count(path) != 0; };
        EXPECT_EQ(FindRecentConfiguration(store, opens), c.expected);
        MemorySettingsStore untouched = RecentStore(c.entries);
        EXPECT_EQ(RecentEntries(store, 10), RecentEntries(untouched, 10)) << "entries that fail stay";
    }
}

TEST(RecentConfiguration, RememberingMovesThePathToTheTop) {
    struct Case {
        Entries before;
        const char* path;
        Entries after; // File1 to File5
    } cases[] = {
        {{"A", "B", "C", "D"}, "C", {"C", "A", "B", "D", ""}},
        {{"A", "B", "C", "D"}, "E", {"E", "A", "B", "C", ""}},
        {{"A", "B", "C", "D"}, "A", {"A", "B", "C", "D", ""}},
        {{"A", "B", "C", "D"}, "D", {"D", "A", "B", "C", ""}},
        {{"x\\A.cfg", "B"}, "X\\a.CFG", {"X\\a.CFG", "B", "", "", ""}},
        {{"A", "B", "C", "D", "E"}, "X", {"X", "A", "B", "C", "E"}},
        {{"A", "B", "C", "D", "E"}, "E", {"E", "A", "B", "C", "E"}},
        {{"A", "", "C"}, "X", {"X", "A", "C", "", ""}},
        {{}, "A", {"A", "", "", "", ""}},
        {{"A", "B"}, "", {"A", "B", "", "", ""}},
    };
    for (const Case& c : cases) {
        MemorySettingsStore store = RecentStore(c.before);
        RememberRecentConfiguration(store, c.path);
        EXPECT_EQ(RecentEntries(store, 5), c.after) << c.path;
    }
}

TEST(RecentConfiguration, StartSelectionFollowsTheRecentPathOrTheOnlyItem) {
    const std::vector<std::string> three = {"C:\\p\\alpha.cfg", "C:\\p\\Beta.cfg", "C:\\p\\gamma.cfg"};
    struct Case {
        std::vector<std::string> items;
        const char* recent;
        int expected;
    } cases[] = {
        {three, "C:\\p\\Beta.cfg", 1},
        {three, "c:\\P\\GAMMA.CFG", 2},
        {three, "C:\\other\\Beta.cfg", -1},
        {three, "", -1},
        {{"C:\\p\\one.cfg"}, "C:\\p\\elsewhere.cfg", 0},
        {{"C:\\p\\one.cfg"}, "", 0},
        {{""}, "", 0}, // the placeholder alone
        {{""}, "C:\\p\\one.cfg", 0},
        {{"C:\\a.cfg", "C:\\b.cfg"}, "", -1},
        {{}, "C:\\a.cfg", -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(StartSelection(c.items, c.recent), c.expected) << c.recent;
    }
}

} // namespace
