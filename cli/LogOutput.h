#pragma once

#include <ctime>
#include <string>

// The log file on Linux: the same record as the Windows program writes (ui/LogFile.h), written
// while the run goes, so that `tail -f` follows it and a run that is killed leaves a correct
// beginning of the record.

// The header's date and time: the user's locale's short date and time (LC_TIME), "%s * %s".
std::string LocaleDateTime(std::time_t moment);

// Checks before a run that the log can be written where it is to go; false with the reason.
bool LogWritable(const std::string& path, std::string& reason);
// Whether a file can be made in the folder (tried, not only asked); false with the reason.
bool FolderWritable(const std::string& folder, std::string& reason);

// How a log file is opened: made anew (an old log of that name replaced), appended to an
// existing log (after the run separator), or made where no file of that name may exist yet
// (O_EXCL: a station's logs, each a run's own).
enum class LogOpening { Replace, Append, New };

// One record, written part by part as it becomes final. Open starts it. Every Write goes to the
// file at once; Finish flushes it to the disk (fdatasync). After a failure nothing more is
// written and the reason stays.
class LiveLog {
public:
    LiveLog() = default;
    ~LiveLog();
    LiveLog(const LiveLog&) = delete;
    LiveLog& operator=(const LiveLog&) = delete;

    bool Open(const std::string& path, LogOpening opening);
    bool Write(const std::string& bytes);
    bool Finish();

    bool IsOpen() const { return fd >= 0; }
    bool Failed() const { return !failure.empty(); }
    const std::string& Failure() const { return failure; }
    // The bytes of this record written so far (without the run separator).
    const std::string& Record() const { return record; }

private:
    bool Fail(const std::string& what);
    void Close();

    std::string path;
    int fd = -1;
    std::string failure;
    std::string record;
};
