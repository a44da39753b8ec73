#include "record/RecordStore.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <limits>
#include <unistd.h>

namespace {

bool Number(const std::string& text, size_t at, size_t count, int low, int high, int& value) {
    if (at + count > text.size()) {
        return false;
    }
    value = 0;
    for (size_t index = at; index < at + count; ++index) {
        if (text[index] < '0' || text[index] > '9') {
            return false;
        }
        value = value * 10 + (text[index] - '0');
    }
    return value >= low && value <= high;
}

int DaysInMonth(int year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

struct TimeOfDay {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// "YYYY-MM-DD" at the start of text, a real date.
bool ReadDate(const std::string& text, TimeOfDay& time) {
    return Number(text, 0, 4, 0, 9999, time.year) && text.size() >= 10 && text[4] == '-' && text[7] == '-' &&
           Number(text, 5, 2, 1, 12, time.month) &&
           Number(text, 8, 2, 1, DaysInMonth(time.year, time.month), time.day);
}

// "HH:MM" at 11, and ":SS" after it when seconds is set.
bool ReadClock(const std::string& text, bool seconds, TimeOfDay& time) {
    return Number(text, 11, 2, 0, 23, time.hour) && text.size() >= 16 && text[13] == ':' &&
           Number(text, 14, 2, 0, 59, time.minute) &&
           (!seconds || (text.size() >= 19 && text[16] == ':' && Number(text, 17, 2, 0, 59, time.second)));
}

std::string IsoUtc(const TimeOfDay& time) {
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", time.year, time.month, time.day,
                  time.hour, time.minute, time.second);
    return text;
}

// "2026-12-08T17:02:04Z" or "2026-12-08T17:02:04.250Z": how the store's times are written.
bool IsStoredTime(const std::string& text) {
    TimeOfDay time;
    if (!ReadDate(text, time) || text.size() < 20 || text[10] != 'T' || !ReadClock(text, true, time) ||
        text.back() != 'Z') {
        return false;
    }
    if (text.size() == 20) {
        return true;
    }
    if (text[19] != '.' || text.size() < 22) {
        return false;
    }
    for (size_t index = 20; index + 1 < text.size(); ++index) {
        if (text[index] < '0' || text[index] > '9') {
            return false;
        }
    }
    return true;
}

} // namespace

// "0f2c5f0e-8a47-4b3c-9d1e-2a6b7c8d9e0f": 36 characters, hex digits and four dashes.
bool IsUuid(const std::string& text) {
    if (text.size() != 36) {
        return false;
    }
    for (size_t index = 0; index < text.size(); ++index) {
        const bool dash = index == 8 || index == 13 || index == 18 || index == 23;
        if (dash ? text[index] != '-' : std::isxdigit(static_cast<unsigned char>(text[index])) == 0) {
            return false;
        }
    }
    return true;
}

bool CheckRecord(const RunRecord& record, std::string& error) {
    // A run that goes on, or went with its process, has no end.
    const bool open = record.outcome == "running" || record.outcome == "interrupted";
    if (!IsStoredTime(record.started) ||
        !(IsStoredTime(record.finished) || (open && record.finished.empty()))) {
        error = "its times are not ISO 8601 UTC (\"" + record.started + "\", \"" + record.finished + "\")";
        return false;
    }
    if (!open && record.outcome != "completed" && record.outcome != "failed" &&
        record.outcome != "cancelled" && record.outcome != "not-started") {
        error = "unknown outcome \"" + record.outcome + "\"";
        return false;
    }
    if (!record.uuid.empty() ? !IsUuid(record.uuid) : open) {
        error = "its run id \"" + record.uuid + "\" is not a UUID";
        return false;
    }
    if (!record.steps.empty()) {
        const nlohmann::json steps = nlohmann::json::parse(record.steps, nullptr, false);
        if (steps.is_discarded() || !steps.is_array()) {
            error = "its steps are not a JSON array";
            return false;
        }
    }
    if (record.bytes > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) ||
        !std::isfinite(record.seconds) || record.seconds < 0) {
        error = "its byte count or time is out of range";
        return false;
    }
    return true;
}

namespace {

// An age "30m", "12h", "7d" before now.
bool ReadAge(const std::string& text, std::time_t now, std::string& isoUtc) {
    if (text.size() < 2 || text.size() > 10) {
        return false;
    }
    const char unit = text.back();
    const int64_t seconds = unit == 'm' ? 60 : unit == 'h' ? 3600 : unit == 'd' ? 86400 : 0;
    int64_t count = 0;
    for (size_t index = 0; index + 1 < text.size(); ++index) {
        if (text[index] < '0' || text[index] > '9') {
            return false;
        }
        count = count * 10 + (text[index] - '0');
    }
    if (seconds == 0) {
        return false;
    }
    // An age older than the epoch means every run.
    const int64_t moment = static_cast<int64_t>(now) - count * seconds;
    const std::time_t then = static_cast<std::time_t>(moment < 0 ? 0 : moment);
    std::tm utc{};
    if (gmtime_r(&then, &utc) == nullptr) {
        return false;
    }
    TimeOfDay time;
    time.year = utc.tm_year + 1900;
    time.month = utc.tm_mon + 1;
    time.day = utc.tm_mday;
    time.hour = utc.tm_hour;
    time.minute = utc.tm_min;
    time.second = utc.tm_sec;
    isoUtc = IsoUtc(time);
    return true;
}

// A date, or a date and time to the minute or second, all UTC, "Z" optional after a time.
bool ReadAbsolute(const std::string& text, std::string& isoUtc) {
    TimeOfDay time;
    if (!ReadDate(text, time)) {
        return false;
    }
    if (text.size() > 10) {
        const size_t end = text.back() == 'Z' ? text.size() - 1 : text.size();
        if ((text[10] != 'T' && text[10] != ' ') || (end != 16 && end != 19) ||
            !ReadClock(text, end == 19, time)) {
            return false;
        }
    }
    isoUtc = IsoUtc(time);
    return true;
}

} // namespace

bool ParseSinceTime(const std::string& text, std::time_t now, std::string& isoUtc, std::string& error) {
    if (ReadAbsolute(text, isoUtc) || ReadAge(text, now, isoUtc)) {
        return true;
    }
    error = "\"" + text +
            "\" is not a time: give a date 2026-12-08, a date and time 2026-12-08T17:02 or "
            "2026-12-08 17:02:04 (UTC, \"Z\" optional), or an age 30m, 12h or 7d";
    return false;
}

bool RunProcessAlive(int64_t pid) {
    if (pid <= 0 || pid > std::numeric_limits<pid_t>::max()) {
        return false;
    }
    if (kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) {
        return false;
    }
    // The id may have been given to another program since.
    char name[64] = "";
    const std::string path = "/proc/" + std::to_string(pid) + "/comm";
    std::FILE* comm = std::fopen(path.c_str(), "r");
    if (comm == nullptr) {
        return true;
    }
    const bool read = std::fgets(name, sizeof name, comm) != nullptr;
    std::fclose(comm);
    return !read || std::strncmp(name, "tovrin", 6) == 0;
}

std::string DefaultRecordStorePath(const char* (*environment)(const char*)) {
    const char* state = environment("XDG_STATE_HOME");
    // The base directory rules ignore a relative XDG_STATE_HOME.
    if (state != nullptr && state[0] == '/') {
        std::string folder = state;
        while (folder.size() > 1 && folder.back() == '/') {
            folder.pop_back();
        }
        return (folder == "/" ? "" : folder) + "/tovrin/records.db";
    }
    const char* home = environment("HOME");
    if (home != nullptr && home[0] != '\0') {
        std::string folder = home;
        while (folder.size() > 1 && folder.back() == '/') {
            folder.pop_back();
        }
        return (folder == "/" ? "" : folder) + "/.local/state/tovrin/records.db";
    }
    return std::string();
}

bool AbandonedRun(const RunRecord& run, const std::string& host) {
    return run.outcome == "running" && run.host == host && !RunProcessAlive(run.pid);
}

std::string ThisHost() {
    char name[256] = "";
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
        return "localhost";
    }
    return name;
}

bool UnsureOutcome(const RunFilter& filter) {
    return filter.outcome == "running" || filter.outcome == "interrupted";
}

std::vector<RunRecord> SettleRunning(std::vector<RunRecord> found, const RunFilter& filter) {
    const bool unsure = UnsureOutcome(filter);
    const std::string host = ThisHost();
    std::vector<RunRecord> runs;
    for (RunRecord& run : found) {
        if (AbandonedRun(run, host)) {
            run.outcome = "interrupted";
        }
        if (unsure && run.outcome != filter.outcome) {
            continue;
        }
        runs.push_back(std::move(run));
        if (unsure && filter.limit != 0 && runs.size() == filter.limit) {
            break;
        }
    }
    return runs;
}
