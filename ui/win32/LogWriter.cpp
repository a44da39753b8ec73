#include "ui/win32/LogWriter.h"

#include "app/TextFormat.h"
#include "ui/LogFile.h"

#include <windows.h>

#include <string>

namespace {

// A file handle, closed when it goes.
class ScopedFileHandle {
public:
    explicit ScopedFileHandle(HANDLE file) : file(file) {}
    ~ScopedFileHandle() {
        if (Valid()) {
            ::CloseHandle(file);
        }
    }
    ScopedFileHandle(const ScopedFileHandle&) = delete;
    ScopedFileHandle& operator=(const ScopedFileHandle&) = delete;
    bool Valid() const { return file != INVALID_HANDLE_VALUE && file != nullptr; }
    HANDLE Get() const { return file; }

private:
    HANDLE file;
};

// A path of MAX_PATH characters or more (the default log beside a program deep in a folder tree)
// is opened through the wide call, with the prefix that lifts the limit when it is absolute.
HANDLE OpenForWriting(const std::string& path, DWORD disposition) {
    if (path.size() < MAX_PATH) {
        return ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, disposition,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    int length = ::MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
    if (length <= 1) {
        return INVALID_HANDLE_VALUE;
    }
    std::wstring wide(static_cast<size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, &wide[0], length);
    wide.resize(static_cast<size_t>(length - 1));
    if (wide.size() > 2 && wide[1] == L':' && wide[2] == L'\\') {
        wide = L"\\\\?\\" + wide;
    } else if (wide.rfind(L"\\\\", 0) == 0 && wide[2] != L'?' && wide[2] != L'.') {
        wide = L"\\\\?\\UNC\\" + wide.substr(2);
    }
    return ::CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, disposition,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool WriteAll(HANDLE file, const std::string& bytes) {
    DWORD written = 0;
    return ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

} // namespace

std::string LogDateTime(std::time_t moment) {
    if (moment == 0) {
        return std::string();
    }
    std::tm* local = std::localtime(&moment);
    if (local == nullptr) {
        return std::string();
    }
    SYSTEMTIME time{};
    time.wYear = static_cast<WORD>(local->tm_year + 1900);
    time.wMonth = static_cast<WORD>(local->tm_mon + 1);
    time.wDay = static_cast<WORD>(local->tm_mday);
    time.wDayOfWeek = static_cast<WORD>(local->tm_wday);
    time.wHour = static_cast<WORD>(local->tm_hour);
    time.wMinute = static_cast<WORD>(local->tm_min);
    time.wSecond = static_cast<WORD>(local->tm_sec);
    char date[64] = "";
    char clock[64] = "";
    ::GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &time, nullptr, date, sizeof date);
    ::GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &time, nullptr, clock, sizeof clock);
    return FormatText("%s * %s", {date, clock});
}

bool WriteLogRecord(const std::string& path, bool append, const std::string& record) {
    ScopedFileHandle existing(append ? OpenForWriting(path, OPEN_EXISTING) : INVALID_HANDLE_VALUE);
    if (existing.Valid()) {
        ::SetFilePointer(existing.Get(), 0, nullptr, FILE_END);
        return WriteAll(existing.Get(), kLogRunSeparator + record);
    }
    return WriteTextFile(path, record);
}

bool WriteTextFile(const std::string& path, const std::string& text) {
    ScopedFileHandle file(OpenForWriting(path, CREATE_ALWAYS));
    return file.Valid() && WriteAll(file.Get(), text);
}
