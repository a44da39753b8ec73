#pragma once

#include "app/TextFormat.h"

#include <string>

// The message catalogue: every user-visible text by id. The Windows program loads the texts
// from its current resource module (built in, or the language library); native code and tests
// use the generated tables.
class ITextCatalogue {
public:
    virtual ~ITextCatalogue() = default;
    // The text of the id, or the empty text when the catalogue lacks it.
    virtual std::string LoadText(unsigned id) const = 0;

    std::string Format(unsigned id, std::initializer_list<FormatArg> args = {}) const {
        return FormatText(LoadText(id), args);
    }
};

enum class CatalogueLanguage { German, English };

// The generated tables of one language.
class BuiltInCatalogue : public ITextCatalogue {
public:
    explicit BuiltInCatalogue(CatalogueLanguage language) : language(language) {}
    std::string LoadText(unsigned id) const override;

private:
    CatalogueLanguage language;
};
