#include "record/Support.h"

#include "config/CodePage1252.h"
#include "engine/posix/UniqueFd.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace {

bool ValidUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        const int more = lead < 0x80             ? 0
                         : (lead & 0xE0) == 0xC0 ? 1
                         : (lead & 0xF0) == 0xE0 ? 2
                         : (lead & 0xF8) == 0xF0 ? 3
                                                 : -1;
        if (more < 0 || lead == 0xC0 || lead == 0xC1) {
            return false;
        }
        for (int k = 0; k < more; ++k) {
            if (++i >= text.size() || (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
                return false;
            }
        }
    }
    return true;
}

void AppendUtf8(std::string& out, char16_t unit) {
    if (unit < 0x80) {
        out += static_cast<char>(unit);
    } else if (unit < 0x800) {
        out += static_cast<char>(0xC0 | (unit >> 6));
        out += static_cast<char>(0x80 | (unit & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (unit >> 12));
        out += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (unit & 0x3F));
    }
}

} // namespace

std::string Utf8Text(const std::string& text) {
    if (ValidUtf8(text)) {
        return text;
    }
    std::string converted;
    for (char byte : text) {
        AppendUtf8(converted, AnsiToWide(static_cast<unsigned char>(byte)));
    }
    return converted;
}

std::string IsoUtc(std::chrono::system_clock::time_point moment) {
    const auto since = moment.time_since_epoch();
    const std::time_t seconds = std::chrono::duration_cast<std::chrono::seconds>(since).count();
    const long milliseconds =
        static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count() % 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, milliseconds);
    return text;
}

bool ReplaceFile(const std::string& path, const std::string& text, std::string& reason) {
    const std::string temporary = path + ".tmp" + std::to_string(getpid());
    UniqueFd file(open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    bool written = static_cast<bool>(file);
    for (size_t done = 0; written && done < text.size();) {
        const ssize_t count = write(file.Get(), text.data() + done, text.size() - done);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        written = count > 0;
        done += written ? static_cast<size_t>(count) : 0;
    }
    written = written && fdatasync(file.Get()) == 0;
    const int error = errno;
    file.Reset();
    if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
        reason = path + ": " + std::strerror(written ? errno : error);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}
