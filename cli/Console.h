#pragma once

#include "cli/RunResult.h"

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

// Where a device stands, for its progress bar and its progress lines.
struct Progress {
    enum class Phase { Waiting, Connecting, Boot, Program, Completed, Failed, Cancelled };
    Phase phase = Phase::Waiting;
    size_t step = 0; // from 1
    size_t steps = 0;
    uint32_t attempt = 0; // wake-up 0x00 bytes sent in this step
    uint32_t block = 0;
    uint32_t blocks = 0;
    uint64_t bytes = 0;      // written to the port in the whole run
    double seconds = 0;      // since the run started
    double fraction = 0;     // of the bytes of all steps together (boot images and program files)
    double rate = 0;         // bytes per second while the files went out
    double secondsLeft = -1; // for the rest of all steps; below 0 while unknown
};

// One line for a progress bar, at most `width` - 1 characters: "ttyUSB0 step 1/2 block
// 120/2053 [####----] 42% 11.2 kB/s 0:23 left". On a narrow line the bar shrinks first, then the
// rate and the step go; the percentage and the time left stay.
std::string ProgressBar(const std::string& name, const Progress& progress, size_t width);

// A progress line for a log or a pipe: "12.3 s step 1/2: program file 40% (block 26 of 64)".
std::string ProgressLine(const Progress& progress);

// Decides when a progress line is due: at each new tenth of a program file, at a new phase or
// step, and at least every `heartbeat` seconds while a phase lasts.
class ProgressPacer {
public:
    explicit ProgressPacer(double heartbeat = 5.0) : heartbeat(heartbeat) {}
    bool Due(const Progress& progress);

private:
    double heartbeat;
    Progress::Phase phase = Progress::Phase::Waiting;
    size_t step = 0;
    uint32_t tenth = 0;
    double last = 0;
};

// The end of a device's run in one line: "/dev/ttyUSB0: completed in 12.3 s, 266240 bytes,
// 21.6 kB/s", with the message that ended it when it did not complete; `name` names the device.
std::string EndLine(const RunResult& result, const std::string& name);

// Text as the terminal shows it: the program's texts are Windows-1252 (as the log keeps them),
// so a line that is not UTF-8 already is converted.
std::string ForTerminal(const std::string& line);

// Standard output shared by the devices of a run. Lines are written whole, one device's at a
// time. On a terminal the progress bars stay below the lines and are redrawn in place; without
// one there are lines only.
class Console {
public:
    Console(std::FILE* out, bool terminal);
    void Line(const std::string& prefix, const std::string& text);
    void Error(const std::string& text); // a line on standard error, between the bars
    // Redraws the bars (one per entry); an empty list removes them.
    void ShowBars(const std::vector<std::string>& bars);
    bool Terminal() const { return terminal; }
    size_t Width() const;

private:
    void ClearBars();
    void DrawBars();

    std::mutex mutex;
    std::FILE* out;
    const bool terminal;
    std::vector<std::string> bars;
};
