#include "tests/win32/Win32TestSupport.h"

#include "app/CatalogueData.h"

std::string BinFolder() {
    char path[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path);
    return folder.substr(0, folder.rfind('\\'));
}

std::string German(unsigned id) {
    for (unsigned i = 0; i < kCatalogueEntryCount; ++i) {
        if (kCatalogueEntries[i].id == id) {
            return kCatalogueEntries[i].german;
        }
    }
    return "<missing>";
}
