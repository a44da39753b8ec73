#pragma once

// The built-in text tables generated from resources/catalogue.tsv: every catalogue id with
// its German and English text, Windows-1252 bytes. The Windows build takes its texts from
// the resources instead; these tables serve the native build and the resource checks.
struct CatalogueEntry {
    unsigned id;
    const char* german;
    const char* english;
};

extern const CatalogueEntry kCatalogueEntries[];
extern const unsigned kCatalogueEntryCount;
