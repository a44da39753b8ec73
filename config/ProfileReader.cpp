#include "config/ProfileReader.h"

#include <vector>

std::string IProfileReader::ReadString(const char* section, const char* key, const char* defaultText,
                                       unsigned size, const std::string& fileName) {
    std::vector<char> buffer(size + 1, '\0');
    unsigned length = GetString(section, key, defaultText, buffer.data(), size, fileName);
    if (length >= size) {
        length = size == 0 ? 0 : size - 1;
    }
    return std::string(buffer.data(), length);
}
