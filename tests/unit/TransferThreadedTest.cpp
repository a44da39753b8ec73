#include "engine/TransferControl.h"
#include "tests/unit/support/EngineRig.h"
#include "tests/unit/support/FakeSessionOwner.h"
#include "tests/unit/support/MemoryConfiguration.h"
#include "tests/unit/support/ThreadedEnginePlatform.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

using enginefake::Bytes;
using enginefake::Program;
using enginethreads::Message;
using enginethreads::ScriptedDevice;
using enginethreads::ThreadedEnginePlatform;

namespace {

constexpr uint8_t kFirstAck = 0x5A;
constexpr uint8_t kSecondAck = 0x42;

// Far above what an answer of the in-memory device takes, even on a loaded machine; short
// enough that an engine that misses an answer fails the test instead of hanging it.
constexpr uint32_t kAnswerLimitMs = 10000;

// A whole transfer through TransferControl with both worker threads running for real against
// a scripted device that answers at once.
class ThreadedRig {
public:
    explicit ThreadedRig(TransferOptions options = {})
        : platform(std::make_shared<ThreadedEnginePlatform>()), catalogue(CatalogueLanguage::English),
          owner(std::make_unique<FakeSessionOwner>()) {
        files = {{"boot1.bin", Bytes(100, 0x80)},
                 {"prog1.b86", Program({9, 4, 0})},
                 {"boot2.bin", Bytes(960, 0x10)},
                 {"prog2.b86", Program({200, 1})}};
        for (const auto& file : files) {
            platform->AddFile(file.first, file.second);
        }
        configuration = configurations.Make("C:\\cfg\\two.cfg", {{"boot1.bin", "prog1.b86", kFirstAck},
                                                                 {"boot2.bin", "prog2.b86", kSecondAck}});
        for (const auto& step : configuration->Steps()) {
            step->connectAckTimeoutMs = kAnswerLimitMs;
            step->bootAckTimeoutMs = kAnswerLimitMs;
            step->blockAckTimeoutMs = kAnswerLimitMs;
            step->writeMsPerByte = 100;
        }
        options.maxConnectRetries = 2;
        owner->selected = configuration.get();
        control = std::make_unique<TransferControl>(*owner, catalogue, platform, &window, options);
    }

    ~ThreadedRig() {
        control.reset();
        platform->ReleaseReads();
        platform->JoinThreads();
    }

    void Dispatch(const Message& message) {
        control->Dispatch(message.message, message.wParam, message.lParam);
    }
    // The owner's message loop while the transfer runs.
    void PumpWhileRunning() {
        Message message;
        while (control->IsRunning() && platform->NextMessage(message)) {
            Dispatch(message);
        }
    }
    void PumpUntilSummary(const std::string& text) {
        Message message;
        while (owner->summary != text && platform->NextMessage(message)) {
            Dispatch(message);
        }
        ASSERT_EQ(owner->summary, text);
    }
    // After the end: the threads go by themselves; their late messages are still handled.
    // A transfer that did not end is a failure; the rig's destructor then stops it.
    void Finish() {
        if (control->IsRunning()) {
            ADD_FAILURE() << "the transfer did not end";
            return;
        }
        platform->JoinThreads();
        for (const Message& message : platform->TakeMessages()) {
            Dispatch(message);
        }
    }
    std::vector<uint8_t> StepWire(const std::string& boot, const std::string& program) const {
        std::vector<uint8_t> wire{0x00};
        std::vector<uint8_t> image = files.at(boot);
        image.resize(960, 0xFF);
        wire.insert(wire.end(), image.begin(), image.end());
        wire.insert(wire.end(), files.at(program).begin(), files.at(program).end());
        return wire;
    }
    size_t ProgramSize(const std::string& program) const { return files.at(program).size(); }

    std::shared_ptr<ThreadedEnginePlatform> platform;
    std::map<std::string, std::vector<uint8_t>> files;
    int window = 0;
    MemoryConfigurations configurations;
    std::unique_ptr<Configuration> configuration;
    BuiltInCatalogue catalogue;
    std::unique_ptr<FakeSessionOwner> owner;
    std::unique_ptr<TransferControl> control;
};

TEST(ThreadedTransfer, CompletesTwoSteps) {
    ThreadedRig rig;
    ScriptedDevice device(*rig.platform,
                          {{rig.ProgramSize("prog1.b86"), kFirstAck, 0x11, 0x11, "BOOT OK\r\n"},
                           // The second loader answers with the alternate acknowledge only.
                           {rig.ProgramSize("prog2.b86"), 0xD5, 0xD5, 0xD5, ""}});
    rig.control->StartOrCancel();
    rig.PumpWhileRunning();
    rig.Finish();

    std::vector<std::string> status;
    std::vector<std::string> deviceOutput;
    for (const std::string& line : rig.owner->lines) {
        (line.compare(0, 3, "***") == 0 ? status : deviceOutput).push_back(line);
    }
    EXPECT_EQ(status,
              (std::vector<std::string>{
                  "*** Start Download", "*** Connecting to device", "*** Transmitting 0-Byte (1)",
                  "*** Connected to device", "*** Binaryfile boot1.bin transmitted.",
                  "*** Transmitting programfile prog1.b86", "*** Download completed",
                  "*** Connecting to device", "*** Transmitting 0-Byte (1)", "*** Connected to device",
                  "*** Binaryfile boot2.bin transmitted.", "*** Transmitting programfile prog2.b86",
                  "*** Download completed", "*** Download finally completed"}));
    EXPECT_EQ(deviceOutput, std::vector<std::string>{"BOOT OK"});
    EXPECT_TRUE(rig.control->Completed());
    EXPECT_FALSE(rig.control->IsRunning());
    EXPECT_EQ(rig.owner->startButton, "Start &Transfer");
    EXPECT_EQ(rig.owner->summary, FakeSessionOwner::kPortSummary);

    std::vector<uint8_t> wire = rig.StepWire("boot1.bin", "prog1.b86");
    std::vector<uint8_t> second = rig.StepWire("boot2.bin", "prog2.b86");
    wire.insert(wire.end(), second.begin(), second.end());
    EXPECT_EQ(device.Received(), wire);
    EXPECT_EQ(rig.platform->LiveThreads(), 0);
    EXPECT_TRUE(rig.platform->Misuse().empty());
}

TEST(ThreadedTransfer, DryRunSendsNothing) {
    TransferOptions options;
    options.dryRun = true;
    ThreadedRig rig(options);
    ScriptedDevice device(*rig.platform, {});
    rig.control->StartOrCancel();
    rig.PumpWhileRunning();
    rig.Finish();
    EXPECT_EQ(rig.owner->lines,
              (std::vector<std::string>{"*** Start Download", "*** Download finally completed"}));
    EXPECT_TRUE(device.Received().empty());
    EXPECT_TRUE(rig.control->Completed());
}

TEST(ThreadedTransfer, CancelEndsBothThreads) {
    ThreadedRig rig;
    ScriptedDevice::Step silentAfterOneBlock{rig.ProgramSize("prog1.b86"), kFirstAck};
    silentAfterOneBlock.answeredBlocks = 1;
    ScriptedDevice device(*rig.platform, {silentAfterOneBlock});
    rig.control->StartOrCancel();
    rig.PumpUntilSummary("Block 2 of 3");
    rig.owner->answers = {true};
    rig.control->StartOrCancel();
    rig.Finish();

    ASSERT_GE(rig.owner->lines.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(rig.owner->lines.end() - 2, rig.owner->lines.end()),
              (std::vector<std::string>{"*** Download has been cancelled by user.", "*** Download aborted"}));
    EXPECT_FALSE(rig.control->IsRunning());
    EXPECT_FALSE(rig.control->Completed());
    EXPECT_EQ(rig.platform->LiveThreads(), 0);
    EXPECT_TRUE(rig.platform->Misuse().empty());
}

// The owner goes (the dialog closes, the program exits) while the download thread waits for
// an acknowledge that never comes.
TEST(ThreadedTransfer, OwnerExitDuringATransferIsClean) {
    ThreadedRig rig;
    ScriptedDevice::Step silentAfterOneBlock{rig.ProgramSize("prog1.b86"), kFirstAck};
    silentAfterOneBlock.answeredBlocks = 1;
    ScriptedDevice device(*rig.platform, {silentAfterOneBlock});
    rig.control->StartOrCancel();
    rig.PumpUntilSummary("Block 2 of 3");

    rig.control.reset();
    rig.owner.reset();
    rig.platform->JoinThreads();
    rig.platform->TakeMessages(); // nobody is left to handle them

    EXPECT_EQ(rig.platform->LiveThreads(), 0);
    EXPECT_EQ(rig.platform->OpenHandles(), 0) << "session, ports, files and slots are all closed";
    EXPECT_TRUE(rig.platform->Misuse().empty());
}

// The owner goes while a thread is busy elsewhere than in a wait (here: a slow file read) and
// so does not end within the owner's wait: the thread finishes later, on its own.
TEST(ThreadedTransfer, ThreadSlowToEndOutlivesItsOwnerSafely) {
    ThreadedRig rig;
    ScriptedDevice device(*rig.platform, {{rig.ProgramSize("prog1.b86"), kFirstAck}});
    rig.platform->HoldReads("boot1.bin");
    rig.platform->threadWaitCapMs = 0;
    rig.control->StartOrCancel();
    ASSERT_TRUE(rig.platform->WaitUntilReadHeld());

    rig.control.reset();
    rig.owner.reset();
    EXPECT_GE(rig.platform->LiveThreads(), 1) << "the download thread is still reading";
    rig.platform->ReleaseReads();
    rig.platform->JoinThreads();
    rig.platform->TakeMessages();

    EXPECT_EQ(rig.platform->LiveThreads(), 0);
    EXPECT_EQ(rig.platform->OpenHandles(), 0) << "the last thread took the session with it";
    EXPECT_TRUE(rig.platform->Misuse().empty());
}

} // namespace
