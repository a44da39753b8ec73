// The download engine's own overhead, natively: a whole transfer through TransferControl with
// both worker threads running for real, against an in-memory port whose device answers at once.
// What it measures is the host's time per block round trip that is not line time; the ratio
// printed is what that overhead adds to a transfer of the same file at the given baud rate.
//
//   engine_bench [program bytes] [baud]
#include "app/Catalogue.h"
#include "engine/TransferControl.h"
#include "tests/unit/support/FakeSessionOwner.h"
#include "tests/unit/support/MemoryConfiguration.h"
#include "tests/unit/support/ThreadedEnginePlatform.h"
#include "tools/mkexample/ExampleFiles.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

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
        auto start = std::chrono::steady_clock::now();
        control.StartOrCancel();
        auto dispatch = [&](const Message& message) {
            if (message.message == WM_TRANSFER_STATE && message.wParam == 154) {
                ++result.blocks;
            }
            control.Dispatch(message.message, message.wParam, message.lParam);
        };
        Message message;
        while (control.IsRunning() && platform->NextMessage(message)) {
            dispatch(message);
        }
        for (const Message& late : platform->TakeMessages()) {
            dispatch(late);
        }
        result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        result.completed = control.Completed();
    }
    platform->JoinThreads();
    return result;
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
    Result result = RunTransfer(boot, *program);
    if (!result.completed || result.blocks == 0) {
        std::fprintf(stderr, "the transfer did not complete\n");
        return 1;
    }
    const double bytes = 1 + 960 + static_cast<double>(program->size()) + 2 + result.blocks; // acks included
    const double line = bytes * 10 / baud;
    const double perBlock = result.seconds / (result.blocks + 2);
    std::printf("engine alone (native, real threads): %u blocks in %.3f s: %.0f blocks/s, %.1f us per round trip\n",
                result.blocks, result.seconds, result.blocks / result.seconds, perBlock * 1e6);
    std::printf("    at %.0f baud this adds %.4f to the %.3f s the bytes need on the line: ratio %.4f\n", baud,
                result.seconds / line, line, (line + result.seconds) / line);
    return 0;
}
