#include "app/MessageIds.h"
#include "engine/TransferSession.h"
#include "tests/unit/support/EngineRig.h"
#include "tests/unit/support/FakeEnginePlatform.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace enginefake;

namespace {

constexpr uint32_t kWaitFailedCode = 0xFFFFFFFF;

// One download thread on the fake platform, with a scripted loader at the other end.
class DownloadRig {
public:
    DownloadRig()
        : platform(std::make_shared<FakeEnginePlatform>()),
          session(std::make_shared<TransferSession>(platform, platform->window, false)),
          loader(*platform, [this]() -> TransferSession& { return *session; }), port(platform->NewPort()) {}

    LoadingStep& AddStep(const std::string& bootFile, std::vector<uint8_t> boot,
                         const std::string& programFile, std::vector<uint8_t> program) {
        platform->files[bootFile].content = std::move(boot);
        platform->files[programFile].content = std::move(program);
        steps.push_back(std::make_unique<LoadingStep>());
        LoadingStep& step = *steps.back();
        step.bootFile = bootFile;
        step.firmwareFile = programFile;
        step.connectAck = kConnectAck;
        step.bootAck = kBootAck;
        step.blockAck = kBlockAck;
        return step;
    }
    // The usual step: a 100-byte boot image and a program of three blocks (14, 9 and 5 bytes).
    LoadingStep& AddStep() {
        int n = static_cast<int>(steps.size()) + 1;
        return AddStep("boot" + std::to_string(n) + ".bin", Bytes(100, 0x80),
                       "prog" + std::to_string(n) + ".b86", Program({9, 4, 0}));
    }

    void Run() {
        session->SetSteps(steps);
        DownloadThreadProc(*session, port);
    }
    std::vector<Post> Posted() const { return Posts(platform->posted); }
    // The messages of a step that goes well with the usual three blocks, before its 133.
    static std::vector<Post> StepMessages() {
        return {State(IDS_CONNECTING),
                State(IDS_TRANSMITTING_ZERO_BYTE, 1),
                State(IDS_CONNECTED),
                State(IDS_BIN_TRANSMITTED),
                State(IDS_TRANSMITTING_PROGRAM),
                State(IDS_BLOCK_OF, 1),
                State(IDS_BLOCK_OF, 2),
                State(IDS_BLOCK_OF, 3)};
    }
    // The bytes of a step that goes well: one wake-up byte, the boot image, the program.
    std::vector<uint8_t> StepWire(size_t index) const {
        const LoadingStep& step = *steps[index];
        std::vector<uint8_t> wire{0x00};
        std::vector<uint8_t> image = platform->files[step.bootFile].content;
        image.resize(960, 0xFF);
        wire.insert(wire.end(), image.begin(), image.end());
        const std::vector<uint8_t>& program = platform->files[step.firmwareFile].content;
        wire.insert(wire.end(), program.begin(), program.end());
        return wire;
    }

    std::shared_ptr<FakeEnginePlatform> platform;
    std::shared_ptr<TransferSession> session;
    ScriptedLoader loader;
    OsHandle port;
    std::vector<std::unique_ptr<LoadingStep>> steps;
};

IoScript Pending() {
    IoScript script;
    script.start = IoStart::Pending;
    return script;
}

IoScript Failing(uint32_t error) {
    IoScript script;
    script.start = IoStart::Failed;
    script.error = error;
    return script;
}

WaitAction Timeout() {
    return {During::Timeout, 0, nullptr};
}
WaitAction FailWait() {
    return {During::Fail, 6, nullptr};
}
WaitAction Stop() {
    return {During::Stop, 0, nullptr};
}

// Write indexes of the usual step when the loader answers the first wake-up byte.
constexpr int kBootWrite = 1;
constexpr int kFirstBlockWrite = 2;
// Read indexes on the usual program file: the check reads 2 per block, then the sending.
constexpr int kFirstBlockLengthRead = 6;
constexpr int kFirstBlockBodyRead = 7;

TEST(DownloadThread, CarriesOutAStepAndAnnouncesEveryState) {
    DownloadRig rig;
    rig.AddStep();
    rig.Run();

    std::vector<Post> expected = DownloadRig::StepMessages();
    expected.push_back(State(IDS_DOWNLOAD_COMPLETED));
    expected.push_back(State(IDS_DOWNLOAD_FINALLY_COMPLETED));
    EXPECT_EQ(rig.Posted(), expected);
    EXPECT_EQ(rig.platform->Wire(), rig.StepWire(0));
    EXPECT_EQ(rig.session->downloadState.load(), Ended);
    EXPECT_EQ(rig.session->StepAt(0)->blockCount, 3u);
    EXPECT_EQ(rig.platform->OpenHandleCount("file"), 0) << "the BIN and B86 files are closed";
    EXPECT_EQ(rig.platform->releasedSlots, 1);
}

TEST(DownloadThread, TakesEveryTimeLimitFromTheStep) {
    DownloadRig rig;
    LoadingStep& step = rig.AddStep("b.bin", {}, "p.b86", Program({0}));
    step.connectAckTimeoutMs = 1111;
    step.writeMsPerByte = 3;
    step.bootAckTimeoutMs = 2222;
    step.blockAckTimeoutMs = 3333;
    rig.loader.answerZeroByte = 2;
    for (int write = 0; write < 4; ++write) {
        rig.platform->writeScript[write] = Pending();
    }
    rig.loader.answerBoot = false; // the boot acknowledge comes during its wait
    rig.loader.answeredBlocks = 0; // and so does the block acknowledge
    const WaitAction complete{During::Complete, 0, nullptr};
    const WaitAction acknowledge{During::Signal, 0, nullptr};
    rig.platform->waitScript = {complete, Timeout(), complete, complete, acknowledge, complete, acknowledge};
    rig.Run();

    std::vector<uint32_t> limits;
    for (const WaitRecord& wait : rig.platform->waits) {
        limits.push_back(wait.timeoutMs);
    }
    // Zero byte 1 sent, no answer, zero byte 2 sent and answered, boot image, block.
    // Every write is preceded by a poll for a stop.
    EXPECT_EQ(limits,
              (std::vector<uint32_t>{0, 1000, 1111, 0, 1000, 1111, 0, 3 * 960, 2222, 0, 3 * 5, 3333}));
    EXPECT_EQ(rig.Posted().back(), State(IDS_DOWNLOAD_FINALLY_COMPLETED));
}

// A stop that comes while the thread reads a file: the thread has its own port handle, so
// it must not send what it read after the user cancelled.
TEST(DownloadThread, SendsNothingAfterAStopThatCameDuringAFileRead) {
    for (int poll = 0; poll < 2; ++poll) { // before the boot image, before the first block
        DownloadRig rig;
        rig.AddStep();
        for (int i = 0; i <= poll; ++i) { // the first poll comes before the wake-up byte
            rig.platform->pollScript.push_back(kWaitTimeout);
        }
        rig.platform->pollScript.push_back(kWaitObject0);
        rig.Run();
        EXPECT_EQ(rig.platform->writes.size(), poll == 0 ? 1u : 2u) << poll;
        EXPECT_EQ(rig.session->downloadState.load(), Ended) << poll;
        EXPECT_EQ(rig.Posted().back(), poll == 0 ? State(IDS_CONNECTED) : State(IDS_BLOCK_OF, 1)) << poll;
    }
}

// The other moments a stop can come between two waits: as a wait for the connect acknowledge
// gives up, and with the last acknowledge of a step that another step follows. Nothing more
// goes out, and nothing more is announced.
TEST(DownloadThread, SendsNoWakeUpByteAfterAStopBetweenTwoWaits) {
    struct Case {
        const char* when;
        std::function<void(DownloadRig&)> arrange;
        size_t writes;
        std::vector<Post> posted;
    };
    std::vector<Post> firstStep = DownloadRig::StepMessages();
    firstStep.push_back(State(IDS_DOWNLOAD_COMPLETED));
    std::vector<Post> secondStepBegins = firstStep;
    secondStepBegins.push_back(State(IDS_CONNECTING));
    const Case cases[] = {
        {"with a connect time-out",
         [](DownloadRig& rig) {
             rig.loader.answerZeroByte = 0;
             rig.platform->waitScript = {
                 {During::Timeout, 0, [&rig]() { rig.platform->SetEvent(rig.session->stopEvent.Get()); }}};
         },
         1,
         {State(IDS_CONNECTING), State(IDS_TRANSMITTING_ZERO_BYTE, 1)}},
        {"with the connect time-out of a later attempt",
         [](DownloadRig& rig) {
             rig.loader.answerZeroByte = 0;
             rig.platform->waitScript = {Timeout(), Timeout(), {During::Timeout, 0, [&rig]() {
                                                                    rig.platform->SetEvent(
                                                                        rig.session->stopEvent.Get());
                                                                }}};
         },
         3,
         {State(IDS_CONNECTING), State(IDS_TRANSMITTING_ZERO_BYTE, 1), State(IDS_TRANSMITTING_ZERO_BYTE, 2),
          State(IDS_TRANSMITTING_ZERO_BYTE, 3)}},
        {"with the last acknowledge of a step",
         [](DownloadRig& rig) {
             // The stop lands after the acknowledge wait has returned, as the next step begins.
             rig.platform->onReset = [&rig](OsHandle event) {
                 if (event == rig.session->ackEvent.Get() &&
                     rig.session->CurrentStep() == rig.session->StepAt(1)) {
                     rig.platform->SetEvent(rig.session->stopEvent.Get());
                 }
             };
         },
         5, secondStepBegins},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.when);
        DownloadRig rig;
        rig.AddStep();
        rig.AddStep();
        c.arrange(rig);
        rig.Run();
        EXPECT_EQ(rig.platform->writes.size(), c.writes);
        EXPECT_EQ(rig.Posted(), c.posted);
        EXPECT_EQ(rig.session->downloadState.load(), Ended);
    }
}

TEST(DownloadThread, PutsTheStopEventFirstInEveryWait) {
    DownloadRig rig;
    rig.AddStep();
    rig.platform->writeScript[0] = Pending();
    rig.platform->writeScript[kBootWrite] = Pending();
    rig.platform->writeScript[kFirstBlockWrite] = Pending();
    rig.Run();
    ASSERT_FALSE(rig.platform->waits.empty());
    for (const WaitRecord& wait : rig.platform->waits) {
        EXPECT_EQ(wait.first, rig.session->stopEvent.Get());
    }
}

// --- Every error of the thread, with its id and code ---

struct ErrorCase {
    const char* name;
    std::function<void(DownloadRig&)> arrange;
    unsigned id;
    uint32_t code;
    size_t blocksAnnounced; // blocks announced before the error
    bool bootSent;
};

void Arrange(DownloadRig& rig) {
    rig.AddStep();
}

const ErrorCase kErrorCases[] = {
    {"NoConnectAck",
     [](DownloadRig& rig) {
         Arrange(rig);
         rig.session->maxConnectRetries = 3;
         rig.loader.answerZeroByte = 0;
     },
     IDS_NO_ACK_TIMEOUT, 3, 0, false},
    {"ZeroByteWriteFails",
     [](DownloadRig& rig) {
         Arrange(rig);
         rig.platform->writeScript[0] = Failing(22);
     },
     IDS_FAILED_ZERO_BYTES, 22, 0, false},
    {"ZeroByteWriteTimesOut",
     [](DownloadRig& rig) {
         Arrange(rig);
         rig.platform->writeScript[0] = Pending();
         rig.platform->waitScript = {Timeout()};
     },
     IDS_FAILED_ZERO_BYTES, kWaitTimeout, 0, false},
    {"ZeroByteWriteWaitFails",
     [](DownloadRig& rig) {
         Arrange(rig);
         rig.platform->writeScript[0] = Pending();
         rig.platform->waitScript = {FailWait()};
     },
     IDS_FAILED_ZERO_BYTES, kWaitFailedCode, 0, false},
    {"ConnectAckWaitFails",
     [](DownloadRig& rig) {
         Arrange(rig);
         rig.loader.answerZeroByte = 0;
         rig.platform->waitScript = {FailWait()};
     },
     IDS_ERROR_WAITING_ACK0, kWaitFailedCode, 0, false},
    {"BootFileMissing",
     [](DownloadRig& rig) {
         Arrange(rig);
         rig.platform->files.erase("boot1.bin");
     },
     IDS_FAILED_OPEN_BIN, 2, 0, false},
    {"BootFileLocked",
     [](DownloadRig& rig) {
         Arrange(rig);
         rig.platform->files["boot1.bin"].openError = 32;
     },
     IDS_FAILED_OPEN_BIN, 32, 0, false},
    {"BootFileTooLarge",
     [](DownloadRig& rig) { rig.AddStep("boot1.bin", Bytes(961, 0), "prog1.b86", Program({1})); },
     IDS_BIN_TOO_LARGE, 961, 0, false},
    {"BootFileReadFails",
     [](DownloadRig& rig) {
         Arrange(rig);
         rig.platform->files["boot1.bin"].readFaults[0] = {true, 23, 0};
     },
     IDS_ERROR_READING_BIN, 23, 0, false},
    {"BootFileReadShort",
     [](DownloadRig& rig) {
         Arrange(rig);
         rig.platform->files["boot1.bin"].readFaults[0] = {false, 0, 60};
     },
     IDS_ERROR_READING_BIN, 0, 0, false},
    {"BootWriteFails",
     [](DownloadRig& rig) {
         Arrange(rig);
         rig.platform->writeScript[kBootWrite] = Failing(1117);
     },
     IDS_ERROR_SENDING_BIN, 1117, 0, false},
    {"BootWriteTimesOut",
     [](DownloadRig& rig) {
         Arrange(rig);
         rig.platform->writeScript[kBootWrite] = Pending();
         rig.platform->waitScript = {Timeout()};
     },
     IDS_FAILED_SENDING_BIN, kWaitTimeout, 0, true},
    {"BootWriteWaitFails",
     [](DownloadRig& rig) {
         Arrange(rig);
         rig.platform->writeScript[kBootWrite] = Pending();
         rig.platform->waitScript = {FailWait()};
     },
     IDS_FAILED_SENDING_BIN, kWaitFailedCode, 0, true},
    {"NoBootAck",
     [](DownloadRig& rig) {
         Arrange(rig);
         rig.loader.answerBoot = false;
     },
     IDS_NO_ACK_1, kWaitTimeout, 0, true},
    {"BootAckWaitFails",
     [](DownloadRig& rig) {
         Arrange(rig);
         rig.loader.answerBoot = false;
         rig.platform->waitScript = {FailWait()};
     },
     IDS_UNEXPECTED_FAILURE, kWaitFailedCode, 0, true},
    {"ProgramFileMissing",
     [](DownloadRig& rig) {
         Arrange(rig);
         rig.platform->files.erase("prog1.b86");
     },
     IDS_FAILED_OPEN_B86, 2, 0, true},
    {"ProgramFileLastBlockShort",
     [](DownloadRig& rig) {
         std::vector<uint8_t> program = Program({9, 4, 3});
         program.pop_back();
         rig.AddStep("boot1.bin", Bytes(10, 0), "prog1.b86", program);
     },
     IDS_INVALID_B86_FORMAT, 0, 0, true},
    {"ProgramFileLengthBeyondEnd",
     [](DownloadRig& rig) {
         std::vector<uint8_t> program = Program({2});
         program.push_back(0);
         rig.AddStep("boot1.bin", Bytes(10, 0), "prog1.b86", program);
     },
     IDS_INVALID_B86_FORMAT, 0, 0, true},
    {"ProgramFileUnreadableDuringCheck",
     [](DownloadRig& rig) {
         Arrange(rig);
         rig.platform->files["prog1.b86"].readFaults[3] = {true, 23, 0};
     },
     IDS_INVALID_B86_FORMAT, 0, 0, true},
    {"ProgramFileEmpty", [](DownloadRig& rig) { rig.AddStep("boot1.bin", Bytes(10, 0), "prog1.b86", {}); },
     IDS_ERROR_READING_B86, 0, 0, true},
    {"BlockLengthReadFails",
     [](DownloadRig& rig) {
         Arrange(rig);
         rig.platform->files["prog1.b86"].readFaults[kFirstBlockLengthRead] = {true, 38, 0};
     },
     IDS_ERROR_READING_B86, 38, 0, true},
    {"BlockBodyReadFails",
     [](DownloadRig& rig) {
         Arrange(rig);
         rig.platform->files["prog1.b86"].readFaults[kFirstBlockBodyRead] = {true, 23, 0};
     },
     IDS_ERROR_READING_B86, 23, 0, true},
    {"BlockLengthReadShort",
     [](DownloadRig& rig) {
         Arrange(rig);
         rig.platform->files["prog1.b86"].readFaults[kFirstBlockLengthRead] = {false, 0, 0};
     },
     IDS_ERROR_READING_B86, 0, 0, true},
    {"BlockBodyReadShort",
     [](DownloadRig& rig) {
         Arrange(rig);
         rig.platform->files["prog1.b86"].readFaults[kFirstBlockBodyRead + 2] = {false, 0, 3};
     },
     IDS_ERROR_READING_B86, 0, 1, true},
    {"BlockWriteFails",
     [](DownloadRig& rig) {
         Arrange(rig);
         rig.platform->writeScript[kFirstBlockWrite + 1] = Failing(1117);
     },
     IDS_ERROR_TRANSMITTING_B86, 1117, 2, true},
    {"BlockWriteTimesOut",
     [](DownloadRig& rig) {
         Arrange(rig);
         rig.platform->writeScript[kFirstBlockWrite] = Pending();
         rig.platform->waitScript = {Timeout()};
     },
     IDS_ERROR_TRANSMITTING_B86, kWaitTimeout, 1, true},
    {"BlockWriteWaitFails",
     [](DownloadRig& rig) {
         Arrange(rig);
         rig.platform->writeScript[kFirstBlockWrite] = Pending();
         rig.platform->waitScript = {FailWait()};
     },
     IDS_UNEXPECTED_FAILURE, kWaitFailedCode, 1, true},
    {"NoBlockAck",
     [](DownloadRig& rig) {
         Arrange(rig);
         rig.loader.answeredBlocks = 0;
     },
     IDS_NO_ACK_2, kWaitTimeout, 1, true},
    {"NoAckForALaterBlock",
     [](DownloadRig& rig) {
         Arrange(rig);
         rig.loader.answeredBlocks = 1;
     },
     IDS_NO_ACK_2, kWaitTimeout, 2, true},
    {"BlockAckWaitFails",
     [](DownloadRig& rig) {
         Arrange(rig);
         rig.loader.answeredBlocks = 0;
         rig.platform->waitScript = {FailWait()};
     },
     IDS_UNEXPECTED_FAILURE, kWaitFailedCode, 1, true},
};

class DownloadThreadErrors : public testing::TestWithParam<ErrorCase> {};

TEST_P(DownloadThreadErrors, PostOneErrorWithItsCodeAndEndTheThread) {
    const ErrorCase& c = GetParam();
    DownloadRig rig;
    c.arrange(rig);
    rig.Run();

    std::vector<Post> posted = rig.Posted();
    ASSERT_FALSE(posted.empty());
    EXPECT_EQ(posted.back(), TransferError(c.id, c.code)) << "the error is the thread's last message";
    for (size_t i = 0; i + 1 < posted.size(); ++i) {
        EXPECT_EQ(posted[i].message, WM_TRANSFER_STATE) << "one error only";
    }
    EXPECT_EQ(rig.session->downloadState.load(), Failed);
    EXPECT_EQ(rig.platform->OpenHandleCount("file"), 0) << "an open file is closed on the way out";
    EXPECT_EQ(rig.session->postedMessages.load(), posted.size()) << "every post is counted";

    size_t blocks = 0;
    for (const Post& post : posted) {
        blocks += post == State(IDS_BLOCK_OF, static_cast<uint32_t>(blocks + 1)) ? 1 : 0;
    }
    EXPECT_EQ(blocks, c.blocksAnnounced) << "announced blocks";
    size_t images = 0;
    for (const WriteRecord& write : rig.platform->writes) {
        images += write.bytes.size() == 960 && write.start != IoStart::Failed ? 1 : 0;
    }
    EXPECT_EQ(images, c.bootSent ? 1u : 0u) << "boot images sent";
}

INSTANTIATE_TEST_SUITE_P(EveryRow, DownloadThreadErrors, testing::ValuesIn(kErrorCases),
                         [](const testing::TestParamInfo<ErrorCase>& info) { return info.param.name; });

TEST(DownloadThread, KeepsTheSystemErrorOfAFailedCall) {
    DownloadRig rig;
    rig.AddStep();
    rig.platform->files["boot1.bin"].openError = 32;
    rig.Run();
    EXPECT_EQ(rig.session->downloadError.load(), 32u);
}

// --- Connect phase ---

TEST(DownloadThread, SendsAtMostMaxConnectRetriesZeroBytesToASilentDevice) {
    DownloadRig rig;
    rig.AddStep();
    rig.session->maxConnectRetries = 30;
    rig.loader.answerZeroByte = 0;
    rig.Run();

    EXPECT_EQ(rig.platform->Wire(), std::vector<uint8_t>(30, 0x00));
    std::vector<Post> expected{State(IDS_CONNECTING)};
    for (uint32_t attempt = 1; attempt <= 31; ++attempt) {
        expected.push_back(State(IDS_TRANSMITTING_ZERO_BYTE, attempt));
    }
    expected.push_back(TransferError(IDS_NO_ACK_TIMEOUT, 30));
    EXPECT_EQ(rig.Posted(), expected);
    EXPECT_EQ(rig.platform->nowMs, 30u * 2000u) << "each attempt waits the step's connect time limit";
}

TEST(DownloadThread, ConnectsOnTheAttemptTheDeviceAnswers) {
    DownloadRig rig;
    rig.AddStep();
    rig.loader.answerZeroByte = 4;
    rig.Run();
    EXPECT_EQ(rig.session->connectAttempts.load(), 4u);
    std::vector<uint8_t> wire = rig.platform->Wire();
    EXPECT_EQ(std::vector<uint8_t>(wire.begin(), wire.begin() + 5), (std::vector<uint8_t>{0, 0, 0, 0, 0x80}))
        << "four wake-up bytes, then the boot image";
    EXPECT_EQ(rig.Posted().back(), State(IDS_DOWNLOAD_FINALLY_COMPLETED));
}

// An answer to one wake-up byte that comes after its wait gave up still counts in the next
// attempt: the acknowledge event is not reset between attempts.
TEST(DownloadThread, AcceptsALateConnectAcknowledge) {
    struct Case {
        const char* when;
        bool duringNextWrite;
    };
    for (const Case& c : {Case{"as the wait gives up", false}, Case{"while the next byte is sent", true}}) {
        SCOPED_TRACE(c.when);
        DownloadRig rig;
        rig.AddStep();
        rig.loader.answerZeroByte = 0;
        auto lateAnswer = [&rig]() { rig.loader.Answer(kConnectAck); };
        if (c.duringNextWrite) {
            rig.platform->writeScript[1] = Pending();
            rig.platform->waitScript = {Timeout(), {During::Complete, 0, lateAnswer}};
        } else {
            rig.platform->waitScript = {{During::Timeout, 0, lateAnswer}};
        }
        rig.Run();

        std::vector<Post> posted = rig.Posted();
        ASSERT_GE(posted.size(), 4u);
        EXPECT_EQ(std::vector<Post>(posted.begin(), posted.begin() + 4),
                  (std::vector<Post>{State(IDS_CONNECTING), State(IDS_TRANSMITTING_ZERO_BYTE, 1),
                                     State(IDS_TRANSMITTING_ZERO_BYTE, 2), State(IDS_CONNECTED)}));
        EXPECT_EQ(posted.back(), State(IDS_DOWNLOAD_FINALLY_COMPLETED));
    }
}

TEST(DownloadThread, IgnoresAnAcknowledgeOfThePreviousStep) {
    // The first step's last block acknowledge is still signalled when the second step begins.
    DownloadRig rig;
    rig.AddStep();
    rig.AddStep();
    rig.loader.answerZeroByte = 2;
    rig.Run();
    size_t secondStep = 0;
    std::vector<Post> posted = rig.Posted();
    for (size_t i = 0; i < posted.size(); ++i) {
        if (posted[i] == State(IDS_CONNECTING)) {
            secondStep = i;
        }
    }
    ASSERT_GT(secondStep, 0u);
    EXPECT_EQ(posted[secondStep + 1], State(IDS_TRANSMITTING_ZERO_BYTE, 1));
    EXPECT_EQ(posted[secondStep + 2], State(IDS_TRANSMITTING_ZERO_BYTE, 2));
    EXPECT_EQ(posted[secondStep + 3], State(IDS_CONNECTED));
}

// A duplicate of the last block acknowledge comes in just as the second step begins: it is
// no answer to the wake-up byte that has not even been sent.
TEST(DownloadThread, DoesNotTakeALateAnswerOfThePreviousPhaseForTheConnectAcknowledge) {
    DownloadRig rig;
    rig.AddStep();
    rig.AddStep();
    rig.loader.answerZeroByte = 2;
    bool duplicated = false;
    rig.platform->onReset = [&](OsHandle event) {
        bool secondStepBegins = rig.session->downloadState.load() == Connecting &&
                                rig.session->CurrentStep() == rig.session->StepAt(1);
        if (event == rig.session->ackEvent.Get() && secondStepBegins && !duplicated) {
            duplicated = true;
            rig.loader.Answer(kBlockAck);
        }
    };
    rig.Run();
    ASSERT_TRUE(duplicated);
    std::vector<Post> posted = rig.Posted();
    std::vector<Post> expected = DownloadRig::StepMessages();
    expected.insert(expected.begin() + 2, State(IDS_TRANSMITTING_ZERO_BYTE, 2));
    ASSERT_EQ(posted.size(), 2 * (expected.size() + 1) + 1);
    EXPECT_EQ(
        std::vector<Post>(posted.begin() + expected.size() + 1, posted.begin() + 2 * expected.size() + 1),
        expected);
}

// --- Acknowledge bytes ---

TEST(DownloadThread, AwaitsTheStepsOwnByteInEachPhase) {
    struct Case {
        const char* name;
        uint8_t connect, boot, block;
        Post last;
    };
    const Case cases[] = {
        {"own bytes", kConnectAck, kBootAck, kBlockAck, State(IDS_DOWNLOAD_FINALLY_COMPLETED)},
        {"0xD5 everywhere", 0xD5, 0xD5, 0xD5, State(IDS_DOWNLOAD_FINALLY_COMPLETED)},
        {"boot byte to the wake-up", kBootAck, kBootAck, kBlockAck, TransferError(IDS_NO_ACK_TIMEOUT, 2)},
        {"wake-up byte to the image", kConnectAck, kConnectAck, kBlockAck,
         TransferError(IDS_NO_ACK_1, kWaitTimeout)},
        {"boot byte to a block", kConnectAck, kBootAck, kBootAck, TransferError(IDS_NO_ACK_2, kWaitTimeout)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DownloadRig rig;
        rig.AddStep();
        rig.session->maxConnectRetries = 2;
        rig.loader.connectAnswer = c.connect;
        rig.loader.bootAnswer = c.boot;
        rig.loader.blockAnswer = c.block;
        rig.Run();
        EXPECT_EQ(rig.Posted().back(), c.last);
    }
}

// --- Boot image ---

TEST(DownloadThread, SendsTheBootImageAs960Bytes) {
    struct Case {
        const char* name;
        std::vector<uint8_t> file;
        std::vector<uint8_t> image;
    };
    std::vector<uint8_t> partial = Bytes(100, 0x80);
    partial.resize(960, 0xFF);
    const Case cases[] = {
        {"exactly 960 bytes, no fill", Bytes(960, 1), Bytes(960, 1)},
        {"empty: all fill", {}, std::vector<uint8_t>(960, 0xFF)},
        {"100 bytes and fill", Bytes(100, 0x80), partial},
        {"fill bytes in the file stay", std::vector<uint8_t>(7, 0xFF), std::vector<uint8_t>(960, 0xFF)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DownloadRig rig;
        rig.AddStep("boot1.bin", c.file, "prog1.b86", Program({0}));
        rig.Run();
        ASSERT_GE(rig.platform->writes.size(), 2u);
        EXPECT_EQ(rig.platform->writes[1].bytes, c.image);
        EXPECT_EQ(rig.Posted().back(), State(IDS_DOWNLOAD_FINALLY_COMPLETED));
    }
}

TEST(DownloadThread, RefusesA961ByteBootFileWithoutSendingIt) {
    DownloadRig rig;
    rig.AddStep("boot1.bin", Bytes(961, 0), "prog1.b86", Program({0}));
    rig.Run();
    EXPECT_EQ(rig.Posted().back(), TransferError(IDS_BIN_TOO_LARGE, 961));
    EXPECT_EQ(rig.platform->Wire(), std::vector<uint8_t>{0x00});
}

TEST(DownloadThread, RefusesABootFileThatReadsShortInsteadOfSendingACorruptImage) {
    DownloadRig rig;
    rig.AddStep();
    rig.platform->files["boot1.bin"].readFaults[0] = {false, 0, 99};
    rig.Run();
    EXPECT_EQ(rig.Posted().back(), TransferError(IDS_ERROR_READING_BIN, 0));
    EXPECT_EQ(rig.platform->Wire(), std::vector<uint8_t>{0x00});
}

// --- Program file ---

TEST(DownloadThread, ChecksTheWholeProgramFileBeforeTheFirstBlock) {
    DownloadRig rig;
    std::vector<uint8_t> program = Program({9, 4, 3});
    program.pop_back();
    rig.AddStep("boot1.bin", Bytes(10, 0), "prog1.b86", program);
    rig.Run();

    std::vector<Post> expected{State(IDS_CONNECTING),
                               State(IDS_TRANSMITTING_ZERO_BYTE, 1),
                               State(IDS_CONNECTED),
                               State(IDS_BIN_TRANSMITTED),
                               State(IDS_TRANSMITTING_PROGRAM),
                               TransferError(IDS_INVALID_B86_FORMAT, 0)};
    EXPECT_EQ(rig.Posted(), expected);
    EXPECT_EQ(rig.platform->writes.size(), 2u) << "the wake-up byte and the boot image only";
}

TEST(DownloadThread, SendsAnEmptyBlockAsFiveBytesAndCompletesAfterOneAcknowledge) {
    DownloadRig rig;
    rig.AddStep("boot1.bin", Bytes(10, 0), "prog1.b86", Block(0, 0xA0));
    rig.Run();
    ASSERT_EQ(rig.platform->writes.size(), 3u);
    EXPECT_EQ(rig.platform->writes[2].bytes, (std::vector<uint8_t>{0x00, 0xA0, 0xA1, 0xA2, 0xA3}));
    EXPECT_EQ(rig.loader.answers.size(), 3u) << "wake-up, boot image and one block answered";
    std::vector<Post> posted = rig.Posted();
    ASSERT_GE(posted.size(), 3u);
    EXPECT_EQ(std::vector<Post>(posted.end() - 3, posted.end()),
              (std::vector<Post>{State(IDS_BLOCK_OF, 1), State(IDS_DOWNLOAD_COMPLETED),
                                 State(IDS_DOWNLOAD_FINALLY_COMPLETED)}));
    EXPECT_EQ(rig.session->StepAt(0)->blockCount, 1u);
}

TEST(DownloadThread, SendsEachBlockUnchangedInOneWrite) {
    DownloadRig rig;
    std::vector<uint8_t> program = Program({255, 0, 17});
    rig.AddStep("boot1.bin", Bytes(10, 0), "prog1.b86", program);
    rig.Run();
    ASSERT_EQ(rig.platform->writes.size(), 5u);
    EXPECT_EQ(rig.platform->writes[2].bytes, Block(255, 0x40));
    EXPECT_EQ(rig.platform->writes[3].bytes, Block(0, 0x50));
    EXPECT_EQ(rig.platform->writes[4].bytes, Block(17, 0x60));
    EXPECT_EQ(rig.session->StepAt(0)->blockCount, 3u);
}

// --- Steps ---

TEST(DownloadThread, RunsTwoStepsAndAnnouncesTheEndOnce) {
    DownloadRig rig;
    rig.AddStep();
    rig.AddStep("boot2.bin", Bytes(960, 7), "prog2.b86", Program({1, 2, 3}));
    rig.Run();

    std::vector<Post> expected = DownloadRig::StepMessages();
    expected.push_back(State(IDS_DOWNLOAD_COMPLETED));
    for (const Post& post : DownloadRig::StepMessages()) {
        expected.push_back(post);
    }
    expected.push_back(State(IDS_DOWNLOAD_COMPLETED));
    expected.push_back(State(IDS_DOWNLOAD_FINALLY_COMPLETED));
    EXPECT_EQ(rig.Posted(), expected);

    std::vector<uint8_t> wire = rig.StepWire(0);
    std::vector<uint8_t> second = rig.StepWire(1);
    wire.insert(wire.end(), second.begin(), second.end());
    EXPECT_EQ(rig.platform->Wire(), wire);
}

TEST(DownloadThread, DoesNotRunTheStepsAfterAFailedOne) {
    DownloadRig rig;
    rig.AddStep();
    rig.AddStep();
    rig.loader.answeredBlocks = 1;
    rig.Run();
    EXPECT_EQ(rig.Posted().back(), TransferError(IDS_NO_ACK_2, kWaitTimeout));
    for (const Post& post : rig.Posted()) {
        EXPECT_NE(post, State(IDS_DOWNLOAD_COMPLETED));
    }
    EXPECT_EQ(rig.session->CurrentStep(), rig.session->StepAt(1))
        << "the cursor moved on after the failed step";
}

TEST(DownloadThread, DoesNothingInADryRunButAnnounceTheEnd) {
    auto platform = std::make_shared<FakeEnginePlatform>();
    auto session = std::make_shared<TransferSession>(platform, platform->window, true);
    std::vector<std::unique_ptr<LoadingStep>> steps;
    steps.push_back(std::make_unique<LoadingStep>());
    steps.push_back(std::make_unique<LoadingStep>());
    session->SetSteps(steps);
    DownloadThreadProc(*session, platform->NewPort());
    EXPECT_EQ(Posts(platform->posted), std::vector<Post>{State(IDS_DOWNLOAD_FINALLY_COMPLETED)});
    EXPECT_TRUE(platform->writes.empty());
    EXPECT_EQ(session->downloadState.load(), Ended);
}

TEST(DownloadThread, EndsAtOnceWithoutSteps) {
    auto platform = std::make_shared<FakeEnginePlatform>();
    auto session = std::make_shared<TransferSession>(platform, platform->window, false);
    DownloadThreadProc(*session, platform->NewPort());
    EXPECT_TRUE(platform->posted.empty());
    EXPECT_TRUE(platform->writes.empty());
}

// --- A stop during any wait ends the thread without a further message ---

struct StopCase {
    const char* name;
    std::function<void(DownloadRig&)> arrange;
    size_t messages; // what the thread posted before the wait
};

const StopCase kStopCases[] = {
    {"ZeroByteWrite",
     [](DownloadRig& rig) {
         rig.platform->writeScript[0] = Pending();
         rig.platform->waitScript = {Stop()};
     },
     2},
    {"ConnectAck",
     [](DownloadRig& rig) {
         rig.loader.answerZeroByte = 0;
         rig.platform->waitScript = {Stop()};
     },
     2},
    {"BootWrite",
     [](DownloadRig& rig) {
         rig.platform->writeScript[kBootWrite] = Pending();
         rig.platform->waitScript = {Stop()};
     },
     3},
    {"BootAck",
     [](DownloadRig& rig) {
         rig.loader.answerBoot = false;
         rig.platform->waitScript = {Stop()};
     },
     3},
    {"BlockWrite",
     [](DownloadRig& rig) {
         rig.platform->writeScript[kFirstBlockWrite + 1] = Pending();
         rig.platform->waitScript = {Stop()};
     },
     7},
    {"BlockAck",
     [](DownloadRig& rig) {
         rig.loader.answeredBlocks = 2;
         rig.platform->waitScript = {Stop()};
     },
     8},
};

class DownloadThreadStops : public testing::TestWithParam<StopCase> {};

TEST_P(DownloadThreadStops, EndTheThreadSilently) {
    const StopCase& c = GetParam();
    DownloadRig rig;
    rig.AddStep();
    rig.AddStep();
    c.arrange(rig);
    rig.Run();

    std::vector<Post> posted = rig.Posted();
    std::vector<Post> expected = DownloadRig::StepMessages();
    expected.resize(c.messages);
    EXPECT_EQ(posted, expected);
    EXPECT_EQ(rig.session->downloadState.load(), Ended);
    EXPECT_TRUE(rig.platform->waitScript.empty());
    EXPECT_EQ(rig.platform->OpenHandleCount("file"), 0);
    ASSERT_FALSE(rig.platform->waits.empty());
    EXPECT_EQ(rig.platform->waits.back().result, kWaitObject0) << "the last wait was the one stopped";
}

INSTANTIATE_TEST_SUITE_P(EveryWait, DownloadThreadStops, testing::ValuesIn(kStopCases),
                         [](const testing::TestParamInfo<StopCase>& info) { return info.param.name; });

TEST(DownloadThread, StopWinsOverAnAcknowledgeSignalledWithIt) {
    DownloadRig rig;
    rig.AddStep();
    rig.loader.answerZeroByte = 0;
    rig.platform->waitScript = {{During::Nothing, 0, [&rig]() {
                                     rig.loader.Answer(kConnectAck);
                                     rig.platform->SetEvent(rig.session->stopEvent.Get());
                                 }}};
    rig.Run();
    EXPECT_EQ(rig.Posted(), (std::vector<Post>{State(IDS_CONNECTING), State(IDS_TRANSMITTING_ZERO_BYTE, 1)}));
    EXPECT_EQ(rig.session->downloadState.load(), Ended);
}

} // namespace
