#include "cli/Console.h"

#include "app/TextFormat.h"
#include "record/Support.h"

#include <algorithm>

#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr size_t kBarCells = 20;
constexpr size_t kMinimumCells = 5; // a bar narrower than this says nothing

std::string Minutes(double seconds) {
    if (seconds < 0) {
        return "-:--";
    }
    const unsigned whole = static_cast<unsigned>(seconds + 0.5);
    return FormatText("%u:%02u", {whole / 60, whole % 60});
}

std::string Rate(double bytesPerSecond) {
    const unsigned tenths = static_cast<unsigned>(bytesPerSecond / 100 + 0.5);
    return FormatText("%u.%u kB/s", {tenths / 10, tenths % 10});
}

unsigned Percent(double fraction) {
    return static_cast<unsigned>(std::min(1.0, std::max(0.0, fraction)) * 100);
}

// What the device is doing in this step, in a few words.
std::string Doing(const Progress& progress) {
    switch (progress.phase) {
    case Progress::Phase::Connecting:
        return progress.attempt == 0 ? std::string("waking the loader")
                                     : FormatText("waking the loader (0x00 byte %u)", {progress.attempt});
    case Progress::Phase::Boot:
        return "sending the boot image";
    case Progress::Phase::Program:
        return FormatText("block %u/%u", {progress.block, progress.blocks});
    default:
        return std::string();
    }
}

const char* EndWord(Progress::Phase phase) {
    switch (phase) {
    case Progress::Phase::Completed:
        return "completed";
    case Progress::Phase::Failed:
        return "failed";
    case Progress::Phase::Cancelled:
        return "cancelled";
    default:
        return nullptr;
    }
}

std::string Fit(std::string text, size_t width) {
    if (width > 1 && text.size() >= width) {
        text.resize(width - 1);
    }
    return text;
}

} // namespace

std::string ForTerminal(const std::string& line) {
    return Utf8Text(line);
}

std::string ProgressBar(const std::string& name, const Progress& progress, size_t width) {
    if (const char* end = EndWord(progress.phase)) {
        return Fit(FormatText("%s %s %s", {name, end, Minutes(progress.seconds)}), width);
    }
    if (progress.phase == Progress::Phase::Waiting) {
        return Fit(name + " starting", width);
    }
    const std::string step =
        FormatText("step %u/%u %s", {unsigned(progress.step), unsigned(progress.steps), Doing(progress)});
    const std::string percent = FormatText("%3u%%", {Percent(progress.fraction)});
    const std::string left = Minutes(progress.secondsLeft) + " left";
    const std::string rate = Rate(progress.rate);
    const size_t room = width > 1 ? width - 1 : kBarCells + 80;
    // The pieces give way in this order: the bar's cells, then the rate, then the step.
    for (int drop = 0; drop < 3; ++drop) {
        const std::string head = name + " " + (drop < 2 ? step + " " : std::string());
        const std::string tail = " " + percent + (drop < 1 ? " " + rate : std::string()) + " " + left;
        const size_t fixed = head.size() + tail.size() + 2; // the bar's brackets
        if (fixed + kMinimumCells <= room) {
            const size_t cells = std::min(kBarCells, room - fixed);
            const size_t filled =
                static_cast<size_t>(cells * std::min(1.0, std::max(0.0, progress.fraction)));
            return head + "[" + std::string(filled, '#') + std::string(cells - filled, '-') + "]" + tail;
        }
    }
    // No room for a bar: the name gives way before the percentage and the time left.
    const std::string kept = FormatText("%u%% ", {Percent(progress.fraction)}) + left;
    const size_t nameRoom = room > kept.size() + 1 ? room - kept.size() - 1 : 0;
    return Fit(nameRoom > 0 ? name.substr(0, nameRoom) + " " + kept : kept, width);
}

std::string ProgressLine(const Progress& progress) {
    const std::string when =
        FormatText("%u.%u s", {unsigned(progress.seconds), unsigned(progress.seconds * 10) % 10});
    if (const char* end = EndWord(progress.phase)) {
        return when + " " + end;
    }
    if (progress.phase == Progress::Phase::Waiting) {
        return when + " starting";
    }
    std::string text =
        FormatText("%s step %u/%u: ", {when, unsigned(progress.step), unsigned(progress.steps)});
    if (progress.phase == Progress::Phase::Program) {
        const unsigned percent =
            progress.blocks == 0 ? 0 : unsigned(100ull * progress.block / progress.blocks);
        text += FormatText("program file %u%% (block %u of %u)", {percent, progress.block, progress.blocks});
    } else {
        text += Doing(progress);
    }
    return text + FormatText(", %u%% of all", {Percent(progress.fraction)});
}

bool ProgressPacer::Due(const Progress& progress) {
    if (EndWord(progress.phase) != nullptr) {
        return false; // the device's end has a line of its own
    }
    const uint32_t nowTenth = progress.phase == Progress::Phase::Program && progress.blocks > 0
                                  ? 10 * progress.block / progress.blocks
                                  : 0;
    const bool due = progress.phase != phase || progress.step != step || nowTenth > tenth ||
                     progress.seconds - last >= heartbeat;
    if (due) {
        phase = progress.phase;
        step = progress.step;
        tenth = nowTenth;
        last = progress.seconds;
    }
    return due;
}

std::string EndLine(const RunResult& result, const std::string& name) {
    const double rate = result.seconds > 0 ? result.bytes / result.seconds : 0;
    const std::string figures =
        FormatText("%u.%u s, %s bytes, %s", {unsigned(result.seconds), unsigned(result.seconds * 10) % 10,
                                             std::to_string(result.bytes), Rate(rate)});
    const std::string error = result.error ? ": " + ForTerminal(result.error->text) : std::string();
    switch (result.outcome) {
    case RunOutcome::Completed:
        return name + ": completed in " + figures;
    case RunOutcome::NotStarted:
        return name + ": not started" + error;
    case RunOutcome::Cancelled:
        return name + ": cancelled after " + figures;
    case RunOutcome::Failed:
        break;
    }
    return name + ": failed after " + figures + error;
}

Console::Console(std::FILE* out, bool terminal) : out(out), terminal(terminal) {}

size_t Console::Width() const {
    winsize size{};
    if (ioctl(fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return 80;
}

// The cursor stands at the start of the first bar while bars show.
void Console::ClearBars() {
    if (terminal && !bars.empty()) {
        std::fputs("\r\033[J", out);
    }
}

void Console::DrawBars() {
    if (!terminal || bars.empty()) {
        return;
    }
    for (const std::string& bar : bars) {
        std::fputs(bar.c_str(), out);
        std::fputs("\033[K\n", out);
    }
    std::fprintf(out, "\033[%zuA\r", bars.size());
}

void Console::Line(const std::string& prefix, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex);
    ClearBars();
    std::fputs((prefix + ForTerminal(text) + "\n").c_str(), out);
    DrawBars();
    std::fflush(out);
}

void Console::Error(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex);
    ClearBars();
    std::fflush(out);
    std::fputs((ForTerminal(text) + "\n").c_str(), stderr);
    std::fflush(stderr);
    DrawBars();
    std::fflush(out);
}

void Console::ShowBars(const std::vector<std::string>& shown) {
    if (!terminal) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex);
    ClearBars();
    bars = shown;
    DrawBars();
    std::fflush(out);
}
