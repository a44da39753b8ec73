#include "config/IniProfileReader.h"

#include "config/CodePage1252.h"

#include <algorithm>
#include <fstream>
#include <optional>

namespace fs = std::filesystem;

namespace {

constexpr uintmax_t kMaxFileSize = uintmax_t{64} << 20;
// The wide buffer through which an integer is read.
constexpr unsigned kIntegerBufferSize = 30;

std::u16string Widen(const char* text) {
    std::u16string wide;
    for (; text != nullptr && *text != '\0'; ++text) {
        wide += AnsiToWide(static_cast<unsigned char>(*text));
    }
    return wide;
}

// At most size - 1 units and a zero, as lstrcpyn copies.
unsigned CopyText(char16_t* buffer, std::u16string_view text, unsigned size) {
    const auto length = static_cast<unsigned>(std::min<size_t>(text.size(), size - 1));
    std::copy_n(text.begin(), length, buffer);
    buffer[length] = u'\0';
    return length;
}

// A value in matching quotes loses them. The closing quote is dropped as the last character
// copied whenever the buffer holds all but it, so a value cut just before it loses one more.
unsigned CopyValue(char16_t* buffer, std::u16string_view value, unsigned size) {
    const bool quoted =
        value.size() >= 2 && (value[0] == u'"' || value[0] == u'\'') && value.back() == value[0];
    if (quoted) {
        value.remove_prefix(1);
    }
    unsigned length = CopyText(buffer, value, size);
    if (quoted && size >= value.size() && length > 0) {
        buffer[--length] = u'\0';
    }
    return length;
}

// Trailing spaces go, but never the first character.
std::u16string_view WithoutTrailingSpaces(std::u16string_view text) {
    while (text.size() > 1 && text.back() == u' ') {
        text.remove_suffix(1);
    }
    return text;
}

int DigitValue(char16_t c) {
    if (c >= u'0' && c <= u'9') {
        return c - u'0';
    }
    if (c >= u'A' && c <= u'Z') {
        return c - u'A' + 10;
    }
    if (c >= u'a' && c <= u'z') {
        return c - u'a' + 10;
    }
    return -1;
}

// Leading control characters and blanks, a sign, a base prefix (0x, 0o, 0b), then digits up to
// the first that does not belong to the base; wraps around at 32 bits.
uint32_t ParseInteger(std::u16string_view text) {
    size_t i = 0;
    while (i < text.size() && text[i] <= u' ') {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i++] == u'-';
    }
    unsigned base = 10;
    if (text.size() - i >= 2 && text[i] == u'0') {
        const char16_t prefix = text[i + 1];
        base = prefix == u'x' ? 16 : prefix == u'o' ? 8 : prefix == u'b' ? 2 : 10;
        i += base == 10 ? 0 : 2;
    }
    uint32_t total = 0;
    for (; i < text.size(); ++i) {
        const int digit = DigitValue(text[i]);
        if (digit < 0 || static_cast<unsigned>(digit) >= base) {
            break;
        }
        total = total * base + static_cast<uint32_t>(digit);
    }
    return negative ? 0u - total : total;
}

unsigned NotNegative(uint32_t value) {
    return static_cast<int32_t>(value) < 0 ? 0u : value;
}

fs::path NativePath(std::string fileName) {
    if constexpr (fs::path::preferred_separator == '/') {
        std::replace(fileName.begin(), fileName.end(), '\\', '/');
    }
    return fs::path(fileName);
}

// The whole file, or nothing when it cannot be read or is too large.
std::optional<std::string> ReadAll(const fs::path& path, uintmax_t expectedSize) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::string bytes;
    bytes.reserve(static_cast<size_t>(std::min(expectedSize, kMaxFileSize)));
    char chunk[4096];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        bytes.append(chunk, static_cast<size_t>(in.gcount()));
        if (bytes.size() > kMaxFileSize) {
            return std::nullopt;
        }
    }
    if (in.bad()) {
        return std::nullopt;
    }
    return bytes;
}

} // namespace

unsigned IniProfileReader::GetString(const char* section, const char* key, const char* defaultText,
                                     char* buffer, unsigned size, const std::string& fileName) {
    if (buffer == nullptr || size == 0) {
        return 0;
    }
    // The ANSI call converts what the wide call returned and ends it with a single zero.
    // Left unset: the wide call writes every unit it returns.
    const std::unique_ptr<char16_t[]> wide(new char16_t[size]);
    const unsigned length = GetWideString(section, key, defaultText, wide.get(), size, fileName);
    std::transform(wide.get(), wide.get() + length, buffer, WideToAnsi);
    buffer[length] = '\0';
    return length;
}

unsigned IniProfileReader::GetInt(const char* section, const char* key, int defaultValue,
                                  const std::string& fileName) {
    char16_t wide[kIntegerBufferSize] = {};
    const unsigned length = GetWideString(section, key, "", wide, kIntegerBufferSize, fileName);
    if (length == 0 || wide[0] == u'\0') {
        return NotNegative(static_cast<uint32_t>(defaultValue));
    }
    return NotNegative(ParseInteger(std::u16string_view(wide)));
}

unsigned IniProfileReader::GetWideString(const char* section, const char* key, const char* defaultText,
                                         char16_t* buffer, unsigned size, const std::string& fileName) {
    const IniDocument* document = Load(fileName);
    const std::u16string fallback = Widen(defaultText);
    if (section == nullptr) {
        buffer[0] = u'\0';
        return document != nullptr ? document->SectionNames(buffer, size) : 0;
    }
    if (key == nullptr) {
        buffer[0] = u'\0';
        const unsigned length = document != nullptr ? document->KeyNames(Widen(section), buffer, size) : 0;
        // An empty list, or one that starts with an empty name, gives the default as it stands.
        return buffer[0] != u'\0' ? length : CopyText(buffer, fallback, size);
    }
    const std::u16string_view trimmed = WithoutTrailingSpaces(fallback);
    if (document == nullptr) {
        return CopyText(buffer, trimmed, size);
    }
    const std::optional<std::u16string_view> value = document->Value(Widen(section), Widen(key));
    return CopyValue(buffer, value.value_or(trimmed), size);
}

const IniDocument* IniProfileReader::Load(const std::string& fileName) {
    const fs::path path = NativePath(fileName);
    // Two looks at the file on each call; a folder or a FIFO has no size.
    std::error_code error;
    const fs::file_time_type changed = fs::last_write_time(path, error);
    const uintmax_t size = error ? 0 : fs::file_size(path, error);
    if (error) {
        // A missing file in an existing folder is an empty profile; a missing folder is an error.
        const bool missing = fs::status(path, error).type() == fs::file_type::not_found;
        const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
        return missing && fs::is_directory(folder, error) ? &empty : nullptr;
    }
    if (size > kMaxFileSize) {
        return nullptr;
    }
    if (parsed != nullptr && parsed->fileName == fileName && parsed->size == size &&
        parsed->changed == changed) {
        return &parsed->document;
    }
    parsed.reset();
    std::optional<std::string> bytes = ReadAll(path, size);
    if (!bytes) {
        return nullptr;
    }
    parsed = std::make_unique<ParsedFile>(ParsedFile{fileName, size, changed, IniDocument(*bytes)});
    return &parsed->document;
}
