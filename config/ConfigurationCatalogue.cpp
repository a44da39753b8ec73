#include "config/ConfigurationCatalogue.h"

#include "app/TextFormat.h"
#include "app/TextUtil.h"

namespace {

std::string RecentValueName(int number) {
    return FormatText("File%d", {number});
}

} // namespace

std::string FindRecentConfiguration(ISettingsStore& settings, const FileOpenTest& opens) {
    for (int i = 1; i <= kRecentFilesTried; ++i) {
        const std::string path = settings.ReadRegString(settings::kRecentFileList, RecentValueName(i), "");
        if (!path.empty() && opens(path)) {
            return path;
        }
    }
    return std::string();
}

void RememberRecentConfiguration(ISettingsStore& settings, const std::string& path) {
    // Each entry takes the value carried down from above it, until the path's old place
    // or an empty entry ends the move.
    std::string carried = path;
    for (int i = 1; i <= kRecentFilesKept && !carried.empty(); ++i) {
        const std::string name = RecentValueName(i);
        std::string current = settings.ReadRegString(settings::kRecentFileList, name, "");
        settings.WriteRegString(settings::kRecentFileList, name, carried);
        if (current.empty() || EqualsNoCase(current, path)) {
            return;
        }
        carried = std::move(current);
    }
}

int StartSelection(const std::vector<std::string>& itemPaths, const std::string& recentPath) {
    if (!recentPath.empty()) {
        for (size_t i = 0; i < itemPaths.size(); ++i) {
            if (!itemPaths[i].empty() && EqualsNoCase(itemPaths[i], recentPath)) {
                return static_cast<int>(i);
            }
        }
    }
    return itemPaths.size() == 1 ? 0 : -1;
}
