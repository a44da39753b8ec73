#include "config/IniDocument.h"

#include "config/CodePage1252.h"

#include <algorithm>
#include <numeric>

namespace {

constexpr char16_t kReplacement = 0xFFFD;

bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == 0x0B || c == 0x0C || c == 0x1A;
}

bool StartsWith(const std::string& bytes, const char* mark, size_t length) {
    return bytes.size() >= length && bytes.compare(0, length, mark, length) == 0;
}

void AppendCodePoint(std::u16string& out, uint32_t codePoint) {
    if (codePoint < 0x10000) {
        out += static_cast<char16_t>(codePoint);
    } else {
        codePoint -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (codePoint >> 10));
        out += static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF));
    }
}

// One UTF-8 sequence from `position` on, as the platform decodes it: a sequence that breaks off
// becomes one U+FFFD for what was read of it, an overlong form or a surrogate breaks off after
// its second byte, and a sequence cut by the end of the file takes the rest of the file.
void DecodeUtf8Sequence(const std::string& bytes, size_t& position, std::u16string& out) {
    const auto byteAt = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = byteAt(position++);
    if (lead < 0x80) {
        out += lead;
        return;
    }
    const unsigned following = lead >= 0xC2 && lead <= 0xDF   ? 1
                               : lead >= 0xE0 && lead <= 0xEF ? 2
                               : lead >= 0xF0 && lead <= 0xF4 ? 3
                                                              : 0;
    if (following == 0) {
        out += kReplacement;
        return;
    }
    if (position + following > bytes.size()) {
        position = bytes.size();
        out += kReplacement;
        return;
    }
    static constexpr unsigned char kLeadMask[4] = {0x7F, 0x1F, 0x0F, 0x07};
    uint32_t value = lead & kLeadMask[following];
    for (unsigned i = 0; i < following; ++i) {
        const unsigned char next = byteAt(position);
        if ((next & 0xC0) != 0x80) {
            out += kReplacement;
            return;
        }
        value = (value << 6) | (next & 0x3F);
        ++position;
        // After the second byte: overlong forms, surrogates and values beyond U+10FFFF.
        const bool invalid =
            i == 0 && ((following == 3 && (value < 0x10 || value >= 0x110)) ||
                       (following == 2 && (value < 0x20 || (value >= 0x360 && value < 0x380))));
        if (invalid) {
            out += kReplacement;
            return;
        }
    }
    AppendCodePoint(out, value);
}

std::u16string DecodeUtf16(const std::string& bytes, bool bigEndian) {
    std::u16string out;
    out.reserve(bytes.size() / 2);
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
        const auto first = static_cast<unsigned char>(bytes[i]);
        const auto second = static_cast<unsigned char>(bytes[i + 1]);
        out += static_cast<char16_t>(bigEndian ? (first << 8) | second : (second << 8) | first);
    }
    return out;
}

std::u16string Decode(const std::string& bytes) {
    std::u16string out;
    if (StartsWith(bytes, "\xEF\xBB\xBF", 3)) {
        out.reserve(bytes.size());
        for (size_t position = 3; position < bytes.size();) {
            DecodeUtf8Sequence(bytes, position, out);
        }
        return out;
    }
    if (StartsWith(bytes, "\xFF\xFE", 2) || StartsWith(bytes, "\xFE\xFF", 2)) {
        return DecodeUtf16(bytes, bytes[0] == '\xFE');
    }
    out.reserve(bytes.size());
    for (char c : bytes) {
        out += AnsiToWide(static_cast<unsigned char>(c));
    }
    return out;
}

char16_t FoldCase(char16_t c) {
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - (u'a' - u'A')) : c;
}

// An order of names that ignores the case of ASCII letters.
bool LessNoCase(std::u16string_view a, std::u16string_view b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char16_t x, char16_t y) { return FoldCase(x) < FoldCase(y); });
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
    return !LessNoCase(a, b) && !LessNoCase(b, a);
}

std::u16string_view TrimBlanks(std::u16string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

} // namespace

IniDocument::IniDocument(const std::string& bytes) : text(Decode(bytes)) {
    Parse();
    BuildIndex();
}

void IniDocument::Parse() {
    sections.push_back(Section{});
    const auto length = static_cast<uint32_t>(text.size());
    for (uint32_t lineStart = 0; lineStart < length;) {
        uint32_t lineEnd = lineStart;
        while (lineEnd < length && text[lineEnd] != u'\r' && text[lineEnd] != u'\n') {
            ++lineEnd;
        }
        ParseLine(lineStart, lineEnd);
        lineStart = lineEnd + 1;
    }
}

void IniDocument::ParseLine(uint32_t begin, uint32_t end) {
    while (begin < end && IsBlank(text[begin])) {
        ++begin;
    }
    if (begin >= end) {
        return;
    }
    if (text[begin] == u'[') {
        uint32_t close = end;
        while (close > begin && text[close - 1] != u']') {
            --close;
        }
        if (close > begin) {
            uint32_t nameBegin = begin + 1;
            uint32_t nameEnd = close - 1;
            while (nameBegin < nameEnd && IsBlank(text[nameBegin])) {
                ++nameBegin;
            }
            while (nameEnd > nameBegin && IsBlank(text[nameEnd - 1])) {
                --nameEnd;
            }
            sections.push_back(Section{CutAtNul(nameBegin, nameEnd), static_cast<uint32_t>(keys.size()), 0});
            return;
        }
        // Without a closing bracket the line is a key.
    }
    while (end > begin && IsBlank(text[end - 1])) {
        --end;
    }
    const uint32_t equals =
        static_cast<uint32_t>(std::find(text.begin() + begin, text.begin() + end, u'=') - text.begin());
    if (equals == end) {
        AddKey(begin, end, end - begin, std::nullopt);
        return;
    }
    uint32_t nameEnd = equals;
    while (nameEnd > begin && IsBlank(text[nameEnd - 1])) {
        --nameEnd;
    }
    uint32_t valueBegin = equals + 1;
    while (valueBegin < end && IsBlank(text[valueBegin])) {
        ++valueBegin;
    }
    AddKey(begin, nameEnd, nameEnd - begin, CutAtNul(valueBegin, end));
}

void IniDocument::AddKey(uint32_t begin, uint32_t nameEnd, uint32_t rawNameLength,
                         std::optional<Span> value) {
    Section& section = sections.back();
    const bool afterUnnamedKey = section.keyCount > 0 && keys.back().name.length == 0;
    if (rawNameLength == 0 && afterUnnamedKey) {
        return;
    }
    keys.push_back(Key{CutAtNul(begin, nameEnd), value.value_or(Span{}), value.has_value()});
    ++section.keyCount;
}

IniDocument::Span IniDocument::CutAtNul(uint32_t begin, uint32_t end) const {
    const auto nul = std::find(text.begin() + begin, text.begin() + end, u'\0');
    return Span{begin, static_cast<uint32_t>(nul - (text.begin() + begin))};
}

void IniDocument::BuildIndex() {
    sectionOrder.resize(sections.size());
    std::iota(sectionOrder.begin(), sectionOrder.end(), 0u);
    std::stable_sort(sectionOrder.begin(), sectionOrder.end(), [this](uint32_t a, uint32_t b) {
        return LessNoCase(View(sections[a].name), View(sections[b].name));
    });
    keyOrder.resize(keys.size());
    std::iota(keyOrder.begin(), keyOrder.end(), 0u);
    for (const Section& section : sections) {
        const auto first = keyOrder.begin() + section.firstKey;
        std::stable_sort(first, first + section.keyCount, [this](uint32_t a, uint32_t b) {
            return LessNoCase(View(keys[a].name), View(keys[b].name));
        });
    }
}

const IniDocument::Section* IniDocument::FindSection(std::u16string_view name) const {
    const auto found = std::lower_bound(sectionOrder.begin(), sectionOrder.end(), name,
                                        [this](uint32_t index, std::u16string_view wanted) {
                                            return LessNoCase(View(sections[index].name), wanted);
                                        });
    return found != sectionOrder.end() && EqualNoCase(View(sections[*found].name), name) ? &sections[*found]
                                                                                         : nullptr;
}

const IniDocument::Key* IniDocument::FindKey(const Section& section, std::u16string_view name) const {
    const auto first = keyOrder.begin() + section.firstKey;
    const auto last = first + section.keyCount;
    const auto found =
        std::lower_bound(first, last, name, [this](uint32_t index, std::u16string_view wanted) {
            return LessNoCase(View(keys[index].name), wanted);
        });
    return found != last && EqualNoCase(View(keys[*found].name), name) ? &keys[*found] : nullptr;
}

std::optional<std::u16string_view> IniDocument::Value(std::u16string_view section,
                                                      std::u16string_view key) const {
    const Section* found = FindSection(TrimBlanks(section));
    const Key* entry = found != nullptr ? FindKey(*found, TrimBlanks(key)) : nullptr;
    if (entry == nullptr || !entry->hasValue) {
        return std::nullopt;
    }
    return View(entry->value);
}

unsigned IniDocument::KeyNames(std::u16string_view sectionName, char16_t* buffer, unsigned size) const {
    const Section* section = FindSection(sectionName);
    buffer[0] = u'\0';
    if (section == nullptr || size < 3) {
        return 0;
    }
    unsigned left = size;
    unsigned position = 0;
    for (uint32_t i = section->firstKey; i < section->firstKey + section->keyCount && left > 2; ++i) {
        const Key& key = keys[i];
        const std::u16string_view name = View(key.name);
        if (!key.hasValue || (!name.empty() && name[0] == u';')) {
            continue;
        }
        // Each name is cut to what leaves room for its zero and one more.
        const auto length = static_cast<unsigned>(std::min<size_t>(name.size(), left - 2));
        std::copy_n(name.begin(), length, buffer + position);
        buffer[position + length] = u'\0';
        position += length + 1;
        left -= length + 1;
        if (left < 2) {
            break;
        }
    }
    buffer[position] = u'\0';
    if (left <= 1) {
        return size - 2;
    }
    return size - left;
}

unsigned IniDocument::SectionNames(char16_t* buffer, unsigned size) const {
    buffer[0] = u'\0';
    if (size < 2) {
        return 0;
    }
    unsigned left = size - 1;
    unsigned position = 0;
    for (const Section& section : sections) {
        const std::u16string_view name = View(section.name);
        if (name.empty()) {
            continue;
        }
        if (name.size() + 1 >= left) {
            std::copy_n(name.begin(), left - 1, buffer + position);
            position += left - 1;
            buffer[position++] = u'\0';
            buffer[position] = u'\0';
            return size - 2;
        }
        std::copy_n(name.begin(), name.size(), buffer + position);
        position += static_cast<unsigned>(name.size());
        buffer[position++] = u'\0';
        left -= static_cast<unsigned>(name.size()) + 1;
    }
    buffer[position] = u'\0';
    return position;
}
