// The download engine's own overhead, natively: a whole transfer through TransferControl with
// both worker threads running for real, whose device answers at once, twice:
//   - over the test platform of the unit tests (in-memory port, events under one lock);
//   - over the POSIX platform of the Linux tool, on a real pseudo-terminal, the simulator's
//     device model answering on the other side in a thread of its own.
// What it measures is the host's time per block round trip that is not line time; the ratio
// printed is what that overhead adds to a transfer of the same file at the given baud rate.
//
//   engine_bench [program bytes] [baud]
#include "app/Catalogue.h"
#include "engine/TransferControl.h"
#include "engine/posix/PosixEnginePlatform.h"
#include "engine/posix/UniqueFd.h"
#include "tests/unit/support/FakeSessionOwner.h"
#include "tests/unit/support/MemoryConfiguration.h"
#include "tests/unit/support/ThreadedEnginePlatform.h"
#include "tools/mkexample/ExampleFiles.h"
#include "tools/sim/DeviceModel.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <thread>
#include <unistd.h>

using enginethreads::Message;
using enginethreads::ScriptedDevice;
using enginethreads::ThreadedEnginePlatform;

namespace {

constexpr uint8_t kConnectAck = 0xC5;

struct Result {
    double seconds = 0;
    unsigned blocks = 0;
    bool completed = false;
};

// Starts the transfer and hands it the messages until it has ended.
template <typename NextMessage> Result Drive(TransferControl& control, NextMessage next) {
    Result result;
    auto start = std::chrono::steady_clock::now();
    control.StartOrCancel();
    PostedMessage message;
    while (next(message, control.IsRunning())) {
        if (message.message == WM_TRANSFER_STATE && message.wParam == 154) {
            ++result.blocks;
        }
        control.Dispatch(message.message, message.wParam, message.lParam);
    }
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.completed = control.Completed();
    return result;
}

Result RunTransfer(const examples::Bytes& boot, const examples::Bytes& program) {
    auto platform = std::make_shared<ThreadedEnginePlatform>();
    platform->AddFile("boot.bin", boot);
    platform->AddFile("prog.b86", program);
    MemoryConfigurations configurations;
    std::unique_ptr<Configuration> configuration =
        configurations.Make("C:\\bench\\bench.cfg", {{"boot.bin", "prog.b86", kConnectAck}});
    FakeSessionOwner owner;
    owner.selected = configuration.get();
    BuiltInCatalogue catalogue(CatalogueLanguage::English);
    int window = 0;
    Result result;
    {
        TransferControl control(owner, catalogue, platform, &window, TransferOptions{});
        ScriptedDevice device(*platform, {{program.size(), kConnectAck}});
        std::deque<Message> late; // what is left in the queue once the transfer has ended
        bool ended = false;
        result = Drive(control, [&](PostedMessage& message, bool running) {
            Message taken;
            if (!ended && running && platform->NextMessage(taken)) {
                message = {taken.message, taken.wParam, taken.lParam};
                return true;
            }
            if (!ended) {
                ended = true;
                for (const Message& left : platform->TakeMessages()) {
                    late.push_back(left);
                }
            }
            if (late.empty()) {
                return false;
            }
            message = {late.front().message, late.front().wParam, late.front().lParam};
            late.pop_front();
            return true;
        });
    }
    platform->JoinThreads();
    return result;
}

void WriteFile(const std::filesystem::path& path, const examples::Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The device side of the pty: the simulator's model of the loader, answering at once.
void PlayDevice(int master, uint64_t programSize, const std::atomic<bool>& stop) {
    sim::Scenario scenario;
    scenario.steps.push_back(sim::StepPlan{kConnectAck, 1, programSize});
    sim::DeviceModel model(scenario);
    uint8_t buffer[4096];
    while (!stop && !model.Finished()) {
        pollfd ready{master, POLLIN, 0};
        if (poll(&ready, 1, 20) <= 0 || (ready.revents & POLLIN) == 0) {
            continue;
        }
        const ssize_t count = read(master, buffer, sizeof buffer);
        if (count <= 0) {
            continue;
        }
        const sim::Time now = std::chrono::steady_clock::now().time_since_epoch();
        model.Receive(buffer, static_cast<size_t>(count), now);
        const std::string answer = model.Transmit(now);
        if (!answer.empty() && write(master, answer.data(), answer.size()) < 0) {
            return;
        }
    }
}

Result RunOverPty(const examples::Bytes& boot, const examples::Bytes& program) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("engine_bench." + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    WriteFile(folder / "boot.bin", boot);
    WriteFile(folder / "prog.b86", program);
    int masterFd = -1;
    int slaveFd = -1;
    char name[128] = "";
    Result result;
    if (openpty(&masterFd, &slaveFd, name, nullptr, nullptr) != 0) {
        return result;
    }
    const UniqueFd master(masterFd);
    const UniqueFd slave(slaveFd); // kept open: the line must not hang up between the phases
    MemoryConfigurations configurations;
    std::unique_ptr<Configuration> configuration =
        configurations.Make((folder / "bench.cfg").string(),
                            {{(folder / "boot.bin").string(), (folder / "prog.b86").string(), kConnectAck}});
    FakeSessionOwner owner;
    owner.selected = configuration.get();
    owner.portName = name;
    owner.settings.baudRate = 115200;
    BuiltInCatalogue catalogue(CatalogueLanguage::English);
    auto platform = std::make_shared<PosixEnginePlatform>();
    auto queue = std::make_shared<MessageQueue>();
    ScopedHandle window(*platform, platform->AddWindow(queue));
    std::atomic<bool> stop{false};
    std::thread device(PlayDevice, master.Get(), program.size(), std::cref(stop));
    {
        TransferControl control(owner, catalogue, platform, window.Get(), TransferOptions{});
        result = Drive(control, [&](PostedMessage& message, bool running) {
            while (!queue->Next(message, running ? 100 : 0)) {
                if (!running || !control.IsRunning()) {
                    return false;
                }
            }
            return true;
        });
    }
    stop = true;
    device.join();
    std::filesystem::remove_all(folder);
    return result;
}

void Report(const char* what, const Result& result, double line, double baud) {
    const double perBlock = result.seconds / (result.blocks + 2);
    std::printf("engine alone, %s: %u blocks in %.3f s: %.0f blocks/s, %.1f us per round trip\n", what,
                result.blocks, result.seconds, result.blocks / result.seconds, perBlock * 1e6);
    std::printf("    at %.0f baud this adds %.4f to the %.3f s the bytes need on the line: ratio %.4f\n",
                baud, result.seconds / line, line, (line + result.seconds) / line);
}

} // namespace

int main(int argc, char** argv) {
    const uint64_t size = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256 * 1024;
    const double baud = argc > 2 ? std::strtod(argv[2], nullptr) : 115200;
    std::optional<examples::Bytes> program = examples::MakeProgram(size, 1);
    if (!program) {
        std::fprintf(stderr, "no program file of %llu bytes\n", static_cast<unsigned long long>(size));
        return 2;
    }
    const examples::Bytes boot = examples::MakeBootImage(960, 1);
    const Result fake = RunTransfer(boot, *program);
    const Result pty = RunOverPty(boot, *program);
    if (!fake.completed || fake.blocks == 0 || !pty.completed || pty.blocks != fake.blocks) {
        std::fprintf(stderr, "the transfer did not complete\n");
        return 1;
    }
    const double bytes = 1 + 960 + static_cast<double>(program->size()) + 2 + fake.blocks; // acks included
    const double line = bytes * 10 / baud;
    Report("test platform (in-memory port)", fake, line, baud);
    Report("POSIX platform (pty, device model in a thread)", pty, line, baud);
    return 0;
}
