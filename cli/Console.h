#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

// Where a device stands, for its progress bar.
struct Progress {
    enum class Phase { Waiting, Connecting, Boot, Program, Done };
    Phase phase = Phase::Waiting;
    size_t step = 0; // from 1
    size_t steps = 0;
    uint32_t attempt = 0; // wake-up 0x00 bytes sent in this step
    uint32_t block = 0;
    uint32_t blocks = 0;
    uint64_t bytes = 0;        // written to the port in the whole run
    double seconds = 0;        // since the run started
    double programSeconds = 0; // since this step's program file began
};

// One line of text for a progress bar: "ttyUSB0 step 1/2 [####----] block 120/2053 5% 11.2 kB/s 0:23 left".
std::string ProgressText(const std::string& name, const Progress& progress, size_t width);

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
