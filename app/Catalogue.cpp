#include "app/Catalogue.h"

#include "app/CatalogueData.h"

std::string BuiltInCatalogue::LoadText(unsigned id) const {
    for (unsigned i = 0; i < kCatalogueEntryCount; ++i) {
        if (kCatalogueEntries[i].id == id) {
            return language == CatalogueLanguage::German ? kCatalogueEntries[i].german
                                                         : kCatalogueEntries[i].english;
        }
    }
    return std::string();
}
