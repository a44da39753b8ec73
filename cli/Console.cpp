#include "cli/Console.h"

#include "app/TextFormat.h"
#include "config/CodePage1252.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr size_t kBarCells = 20;

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

std::string Minutes(double seconds) {
    const unsigned whole = seconds < 0 ? 0u : static_cast<unsigned>(seconds + 0.5);
    return FormatText("%u:%02u", {whole / 60, whole % 60});
}

} // namespace

std::string ForTerminal(const std::string& line) {
    if (ValidUtf8(line)) {
        return line;
    }
    std::string converted;
    for (char byte : line) {
        AppendUtf8(converted, AnsiToWide(static_cast<unsigned char>(byte)));
    }
    return converted;
}

std::string ProgressText(const std::string& name, const Progress& progress, size_t width) {
    std::string text = name + " ";
    if (progress.phase == Progress::Phase::Waiting) {
        text += "starting";
    } else if (progress.phase == Progress::Phase::Done) {
        text += "done";
    } else {
        text += FormatText("step %u/%u ", {unsigned(progress.step), unsigned(progress.steps)});
        if (progress.phase == Progress::Phase::Connecting) {
            text += FormatText("waking the loader, 0x00 byte %u", {progress.attempt});
        } else if (progress.phase == Progress::Phase::Boot) {
            text += "sending the boot image";
        } else {
            const uint32_t blocks = progress.blocks == 0 ? 1 : progress.blocks;
            const size_t filled = kBarCells * progress.block / blocks;
            const double rate = progress.seconds > 0 ? progress.bytes / progress.seconds : 0;
            const double left = progress.block == 0
                                    ? 0
                                    : progress.programSeconds / progress.block * (blocks - progress.block);
            text += "[" + std::string(filled, '#') + std::string(kBarCells - filled, '-') + "] ";
            text += FormatText("block %u/%u %3u%% %s kB/s %s left",
                               {progress.block, progress.blocks, unsigned(100ull * progress.block / blocks),
                                FormatText("%u.%u", {unsigned(rate / 1000), unsigned(rate / 100) % 10}),
                                Minutes(left)});
        }
    }
    if (width > 1 && text.size() >= width) {
        text.resize(width - 1);
    }
    return text;
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
