#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One INI file as the platform's profile functions see it, decoded to UTF-16 and indexed.
// - A UTF-8 or UTF-16 byte order mark selects that encoding; any other file is Windows-1252.
// - Lines end at CR or LF. Blanks (space, tab, VT, FF, Ctrl-Z) around a line, a name or a value
//   do not count.
// - "[name]" opens a section; the name runs to the line's last ']'. Keys before the first
//   section belong to a section without a name.
// - "name=value" is a key; a line without '=' is a key without a value. Names and values end at
//   their first NUL. A key without a name directly after another one without a name is dropped.
// - Names match without regard to the case of ASCII letters; the first section and the first
//   key of a name win.
class IniDocument {
public:
    explicit IniDocument(const std::string& bytes);

    // The value of a key; blanks around both requested names are ignored. None when the section
    // or the key is missing, or the key has no '='.
    std::optional<std::u16string_view> Value(std::u16string_view section, std::u16string_view key) const;
    // The names of the keys with a value of the section named exactly `section`, in file order,
    // comments (';') left out, written as the wide profile call writes them into `size` units:
    // each name followed by a zero, the list ending with a second zero. A list that does not
    // fit ends after size - 2 units. Returns the units written before the final zero; nothing
    // is listed (and 0 returned, or buffer[0] zero) for a missing section.
    unsigned KeyNames(std::u16string_view section, char16_t* buffer, unsigned size) const;
    // The names of the sections that have one, in the same form.
    unsigned SectionNames(char16_t* buffer, unsigned size) const;

private:
    struct Span {
        uint32_t begin = 0;
        uint32_t length = 0;
    };
    struct Key {
        Span name;
        Span value;
        bool hasValue = false;
    };
    struct Section {
        Span name;
        uint32_t firstKey = 0;
        uint32_t keyCount = 0;
    };

    void Parse();
    void ParseLine(uint32_t begin, uint32_t end);
    void AddKey(uint32_t begin, uint32_t nameEnd, uint32_t rawNameLength, std::optional<Span> value);
    void BuildIndex();
    std::u16string_view View(Span span) const {
        return std::u16string_view(text).substr(span.begin, span.length);
    }
    Span CutAtNul(uint32_t begin, uint32_t end) const;
    const Section* FindSection(std::u16string_view name) const;
    const Key* FindKey(const Section& section, std::u16string_view name) const;

    std::u16string text;
    std::vector<Section> sections;
    std::vector<Key> keys;
    // Section indices sorted by name, and each section's key indices sorted by name; file order
    // among equal names, so that a search finds the first.
    std::vector<uint32_t> sectionOrder;
    std::vector<uint32_t> keyOrder;
};
