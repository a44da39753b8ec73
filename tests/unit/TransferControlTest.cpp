#include "engine/TransferControl.h"
#include "app/MessageIds.h"
#include "tests/unit/support/EngineRig.h"
#include "tests/unit/support/FakeEnginePlatform.h"
#include "tests/unit/support/FakeSessionOwner.h"
#include "tests/unit/support/MemoryConfiguration.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace enginefake;

namespace {

constexpr uint32_t kWaitFailedCode = 0xFFFFFFFF;
const std::string kStartDownload = "*** Start Download";
const std::string kStartButton = "Start &Transfer";
constexpr uint32_t kWmClose = 0x0010;

// A transfer run by TransferControl on the fake platform: the owner records what the user
// sees; the worker threads run when the test says so, or when a stop waits for them.
class ControlRig {
public:
    explicit ControlRig(TransferOptions options = {}, size_t stepCount = 1)
        : platform(std::make_shared<FakeEnginePlatform>()), catalogue(CatalogueLanguage::English),
          control(owner, catalogue, platform, platform->window, options),
          loader(*platform, [this]() -> TransferSession& { return control.Session(); }) {
        std::vector<StepEntry> steps;
        for (size_t i = 1; i <= stepCount; ++i) {
            const std::string n = std::to_string(i);
            steps.push_back({"boot" + n + ".bin", "prog" + n + ".b86", kConnectAck});
            platform->files["boot" + n + ".bin"].content = Bytes(100, 0x80);
            platform->files["prog" + n + ".b86"].content = Program({9, 4, 0});
        }
        configuration = configurations.Make("C:\\cfg\\drive.cfg", steps);
        // The configuration fixes the boot and block acknowledges at 0x11.
        loader.bootAnswer = 0x11;
        loader.blockAnswer = 0x11;
        owner.selected = configuration.get();
        // The dialog's WM_CLOSE queues behind what the threads have posted.
        owner.onPostClose = [this]() { platform->posted.push_back({platform->window, kWmClose, 0, 0}); };
    }
    // Threads that never ran see the stop and end; none outlives the test.
    ~ControlRig() {
        control.StopSession();
        platform->RunPendingThreads();
    }
    ControlRig(const ControlRig&) = delete;
    ControlRig& operator=(const ControlRig&) = delete;

    void Start() { control.StartOrCancel(); }
    // The threads of the latest start: the receive thread is started first.
    OsHandle ReceiveThread() const {
        return platform->startedThreads.at(platform->startedThreads.size() - 2);
    }
    OsHandle DownloadThread() const { return platform->startedThreads.back(); }
    void RunReceive() { platform->RunThread(ReceiveThread()); }
    void RunDownload() { platform->RunThread(DownloadThread()); }
    // The receive thread runs and fails at once: WaitCommEvent fails with the error (site 122).
    void RunReceiveFailingWith(uint32_t error) {
        IoScript failing;
        failing.start = IoStart::Failed;
        failing.error = error;
        platform->commEventScript.push_back(failing);
        RunReceive();
    }
    // The receive thread runs while the download thread waits for its first acknowledge, and
    // the owner handles what they post until the transfer ends.
    void RunReceiveWhileDownloadWaits() {
        loader.answerZeroByte = 0;
        platform->waitScript.push_front({During::Nothing, 0, [this]() {
                                             RunReceive();
                                             DispatchWhileRunning();
                                         }});
        RunDownload();
        Dispatch();
    }

    // The owner handles the posted messages in order, and those they cause.
    void Dispatch() {
        while (!platform->posted.empty()) {
            DispatchNext();
        }
    }
    // The owner handles messages until the transfer ends: ending it blocks the owner until the
    // threads are gone, so what is left waits until then.
    void DispatchWhileRunning() {
        while (control.IsRunning() && !platform->posted.empty()) {
            DispatchNext();
        }
    }
    void DispatchNext() {
        PostedMessage message = platform->posted.front();
        platform->posted.erase(platform->posted.begin());
        if (message.message == kWmClose) {
            closedWith.push_back(owner.lines); // the log is written from the list as it is now
            return;
        }
        EXPECT_TRUE(control.Dispatch(message.message, message.wParam, message.lParam));
    }

    // Bytes arrive at the receive thread.
    void Receive(const std::vector<uint8_t>& bytes) {
        IoScript event;
        event.mask = kEvRxChar;
        platform->commEventScript.push_back(event);
        IoScript read;
        read.data = bytes;
        platform->readScript.push_back(read);
    }

    bool Idle() const {
        return !control.IsRunning() && owner.startButton == kStartButton && owner.configurationEnabled &&
               owner.summary == FakeSessionOwner::kPortSummary;
    }

    std::shared_ptr<FakeEnginePlatform> platform;
    FakeSessionOwner owner;
    BuiltInCatalogue catalogue;
    MemoryConfigurations configurations;
    std::unique_ptr<Configuration> configuration;
    TransferControl control;
    ScriptedLoader loader;
    std::vector<std::vector<std::string>> closedWith; // the list when each WM_CLOSE arrived
};

// A row of a table: what the test arranges, and the line the owner shows for it.
struct ArrangedLine {
    const char* name;
    std::function<void(ControlRig&)> arrange;
    std::string line;
};

std::vector<uint8_t> Text(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

// --- Start ---

TEST(TransferControl, StartsATransfer) {
    ControlRig rig;
    rig.owner.lines = {"line of the last run"};
    rig.owner.settings.baudRate = 115200;
    rig.owner.settings.stopBits = 2;
    rig.Start();

    EXPECT_TRUE(rig.control.IsRunning());
    EXPECT_EQ(rig.owner.lines, std::vector<std::string>{kStartDownload});
    EXPECT_EQ(rig.owner.listLabel, "Messages:");
    EXPECT_EQ(rig.owner.displayModes, std::vector<bool>{true});
    EXPECT_FALSE(rig.owner.configurationEnabled);
    EXPECT_EQ(rig.owner.startButton, "Cancel");
    EXPECT_EQ(rig.owner.summary, FakeSessionOwner::kPortSummary);
    EXPECT_EQ(rig.platform->openedPorts, std::vector<std::string>{"COM3"});
    ASSERT_EQ(rig.platform->configuredPorts.size(), 1u);
    EXPECT_EQ(rig.platform->configuredPorts[0].baudRate, 115200u);
    EXPECT_EQ(rig.platform->configuredPorts[0].stopBits, 2);
    EXPECT_TRUE(rig.owner.boxes.empty());

    TransferSession& session = rig.control.Session();
    EXPECT_FALSE(rig.platform->IsSignalled(session.stopEvent.Get()));
    EXPECT_TRUE(rig.platform->IsSignalled(session.notifyEvent.Get()));
    EXPECT_EQ(session.downloadState.load(), Connecting);
    EXPECT_EQ(session.receiveState.load(), RxIdle);
    ASSERT_EQ(rig.platform->startedThreads.size(), 2u);
    EXPECT_EQ(rig.platform->OpenHandleCount("port"), 3) << "the session's port and one for each thread";

    // The receive thread is started first, then the download thread.
    rig.RunDownload();
    EXPECT_EQ(Posts(rig.platform->posted).front(), State(IDS_CONNECTING));
    rig.Dispatch();
    EXPECT_TRUE(rig.Idle());
    EXPECT_EQ(rig.platform->OpenHandleCount("port"), 0) << "every port handle is closed at the end";
    EXPECT_TRUE(rig.control.Completed());
}

struct RefusalCase {
    const char* name;
    std::function<void(ControlRig&)> arrange;
    std::string message;
    std::vector<bool> displayModes;
};

const RefusalCase kRefusals[] = {
    {"NoConfiguration",
     [](ControlRig& rig) { rig.owner.selected = nullptr; },
     "No configuration file selected!",
     {}},
    {"NoSteps",
     [](ControlRig& rig) {
         rig.configuration = rig.configurations.Make("C:\\cfg\\empty.cfg", {});
         rig.owner.selected = rig.configuration.get();
     },
     "The current configuration does not contain any download steps.",
     {}},
    {"MissingFile",
     [](ControlRig& rig) {
         rig.configuration =
             rig.configurations.Make("C:\\cfg\\gap.cfg", {{"here.bin", "gone.b86", 1}}, "gone.b86");
         rig.owner.selected = rig.configuration.get();
     },
     "Cannot start current configuration, due to missing files.",
     {false}},
};

class StartRefused : public testing::TestWithParam<RefusalCase> {};

TEST_P(StartRefused, ReportsWhyAndOpensNoPort) {
    const RefusalCase& c = GetParam();
    for (bool batch : {false, true}) {
        SCOPED_TRACE(batch ? "batch" : "interactive");
        TransferOptions options;
        options.batchMode = batch;
        ControlRig rig(options);
        c.arrange(rig);
        rig.Start();
        EXPECT_EQ(rig.owner.logWrites, std::vector<std::string>{c.message});
        EXPECT_EQ(rig.owner.boxes, batch ? std::vector<std::string>{} : std::vector<std::string>{c.message});
        EXPECT_EQ(rig.owner.closeRequests, batch ? 1 : 0);
        EXPECT_EQ(rig.owner.displayModes, c.displayModes);
        EXPECT_TRUE(rig.platform->openedPorts.empty());
        EXPECT_TRUE(rig.platform->startedThreads.empty());
        EXPECT_FALSE(rig.control.IsRunning());
        EXPECT_EQ(rig.control.Ending().result, TransferEnding::Result::Refused);
        EXPECT_EQ(EndingText(rig.control.Ending(), rig.catalogue), c.message);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryRefusal, StartRefused, testing::ValuesIn(kRefusals),
                         [](const testing::TestParamInfo<RefusalCase>& info) { return info.param.name; });

TEST(TransferControl, ReportsAPortThatCannotBeOpened) {
    ControlRig rig;
    rig.owner.lines = {"line of the last run"};
    rig.owner.portName = "COM7";
    rig.platform->openPortError = 5;
    rig.Start();
    EXPECT_EQ(rig.owner.boxes, std::vector<std::string>{"Failed to open COM port COM7."});
    EXPECT_EQ(rig.control.Ending().code, 5u);
    EXPECT_EQ(EndingText(rig.control.Ending(), rig.catalogue), "Failed to open COM port COM7.");
    EXPECT_EQ(rig.owner.lines, std::vector<std::string>{"line of the last run"}) << "the list is kept";
    EXPECT_TRUE(rig.Idle());
    EXPECT_TRUE(rig.platform->startedThreads.empty());
}

TEST(TransferControl, ReportsEachPortSetupFailureThenTheMissingStart) {
    struct Case {
        PortSetupCall call;
        const char* text;
    };
    const Case cases[] = {
        {PortSetupCall::SetCommMask, "SetCommMask failed with error 87.\n"},
        {PortSetupCall::SetupComm, "SetupComm failed with error 87.\n"},
        {PortSetupCall::PurgeComm, "PurgeComm failed with error 87.\n"},
        {PortSetupCall::SetCommTimeouts, "SetCommTimeouts failed with error 87.\n"},
        {PortSetupCall::SetCommState, "SetCommState failed with error 87.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        ControlRig rig;
        rig.platform->failingSetupCall = c.call;
        rig.platform->setupError = 87;
        rig.Start();
        EXPECT_EQ(rig.owner.boxes, (std::vector<std::string>{
                                       c.text, "Cannot start current configuration, due to missing files."}));
        // The set-up failure is the cause; the message after it follows from it.
        EXPECT_EQ(rig.control.Ending().id, 0u);
        EXPECT_EQ(rig.control.Ending().code, 87u);
        EXPECT_EQ(EndingText(rig.control.Ending(), rig.catalogue), c.text);
        EXPECT_TRUE(rig.Idle());
        EXPECT_EQ(rig.platform->OpenHandleCount("port"), 0) << "the port is closed again";
        EXPECT_TRUE(rig.platform->startedThreads.empty());
    }
}

TEST(TransferControl, ReportsAThreadThatCannotBeCreatedAndEndsTheTransfer) {
    for (int failing : {0, 1}) {
        SCOPED_TRACE(failing == 0 ? "receive thread" : "download thread");
        ControlRig rig;
        rig.platform->failThreadStart = failing;
        rig.Start();
        EXPECT_EQ(rig.owner.boxes, std::vector<std::string>{"CreateThread failed with error 8.\n"});
        EXPECT_EQ(EndingText(rig.control.Ending(), rig.catalogue), "CreateThread failed with error 8.\n");
        EXPECT_TRUE(rig.Idle());
        EXPECT_EQ(rig.platform->startedThreads.size(), static_cast<size_t>(failing + 1));
        EXPECT_EQ(rig.platform->PendingThreadCount(), 0u) << "a started thread was stopped";
        EXPECT_EQ(rig.platform->OpenHandleCount("port"), 0);
    }
}

// --- Cancel and stop ---

TEST(TransferControl, AsksBeforeCancellingAndOnNoLeavesTheTransferRunning) {
    ControlRig rig;
    rig.Start();
    rig.owner.answers = {false};
    rig.Start();
    EXPECT_EQ(rig.owner.questions, std::vector<std::string>{"Cancel Downloading?|Cancel"});
    EXPECT_TRUE(rig.control.IsRunning());
    EXPECT_EQ(rig.owner.lines, std::vector<std::string>{kStartDownload});
    EXPECT_TRUE(rig.platform->threadWaits.empty());
    EXPECT_FALSE(rig.platform->IsSignalled(rig.control.Session().stopEvent.Get()));
}

TEST(TransferControl, CancelsOnYes) {
    for (bool batch : {false, true}) {
        SCOPED_TRACE(batch ? "batch" : "interactive");
        TransferOptions options;
        options.batchMode = batch;
        ControlRig rig(options);
        rig.Start();
        rig.owner.answers = {true};
        rig.Start();
        EXPECT_EQ(rig.owner.lines,
                  (std::vector<std::string>{kStartDownload, "*** Download has been cancelled by user.",
                                            "*** Download aborted"}));
        EXPECT_TRUE(rig.Idle());
        EXPECT_EQ(rig.owner.closeRequests, batch ? 1 : 0);
        ASSERT_EQ(rig.platform->threadWaits.size(), 1u);
        EXPECT_EQ(rig.platform->threadWaits[0].threads,
                  (std::vector<OsHandle>{rig.DownloadThread(), rig.ReceiveThread()}));
        EXPECT_EQ(rig.platform->threadWaits[0].timeoutMs, 1000u);
        EXPECT_FALSE(rig.control.Completed());
        EXPECT_EQ(rig.control.Ending().result, TransferEnding::Result::Cancelled);
        EXPECT_EQ(EndingText(rig.control.Ending(), rig.catalogue),
                  "*** Download has been cancelled by user.");
    }
}

// The question runs its own message loop: a transfer that ends while it is open is not
// cancelled afterwards, and a batch run is not closed twice.
TEST(TransferControl, AYesAfterTheEndAddsNothing) {
    for (bool batch : {false, true}) {
        SCOPED_TRACE(batch ? "batch" : "interactive");
        TransferOptions options;
        options.batchMode = batch;
        ControlRig rig(options);
        rig.Start();
        rig.owner.answers = {true};
        rig.owner.duringQuestion = [&rig]() { rig.control.OnTransferError(IDS_NO_ACK_TIMEOUT, 0); };
        rig.Start();
        EXPECT_EQ(rig.owner.lines,
                  (std::vector<std::string>{kStartDownload, "*** No Ack received (Timeout)"}));
        EXPECT_EQ(rig.control.Ending().result, TransferEnding::Result::Failed) << "the first ending stays";
        EXPECT_TRUE(rig.Idle());
        EXPECT_EQ(rig.owner.closeRequests, batch ? 1 : 0);
    }
}

TEST(TransferControl, StopsTheThreadsBeforeItClosesThePortAndWaitsOnlyOnce) {
    ControlRig rig;
    rig.Start();
    TransferSession& session = rig.control.Session();
    OsHandle port = session.portHandle.load();
    rig.control.StopSession();
    EXPECT_TRUE(rig.platform->IsSignalled(session.stopEvent.Get()));
    EXPECT_TRUE(rig.platform->IsClosed(port));
    EXPECT_EQ(session.portHandle.load(), nullptr);
    EXPECT_TRUE(rig.owner.configurationEnabled);
    rig.control.StopSession();
    EXPECT_EQ(rig.platform->threadWaits.size(), 1u);
    EXPECT_TRUE(rig.platform->posted.empty() || Posts(rig.platform->posted).front() == State(IDS_CONNECTING));
}

TEST(TransferControl, StartsAgainWithTheSameEventsAfterATransfer) {
    ControlRig rig;
    rig.Start();
    OsHandle stop = rig.control.Session().stopEvent.Get();
    rig.control.StopSession(); // the threads end, seeing the stop
    rig.platform->posted.clear();
    rig.loader.Restart();
    rig.Start();
    EXPECT_EQ(rig.control.Session().stopEvent.Get(), stop);
    EXPECT_FALSE(rig.platform->IsSignalled(stop)) << "reset before the threads start";
    rig.RunDownload();
    rig.Dispatch();
    EXPECT_TRUE(rig.control.Completed());
}

// Whatever the last run left of its notification, the first data of a new run is announced.
TEST(TransferControl, ArmsTheNotificationOfDeviceOutputAtEachStart) {
    ControlRig rig;
    rig.Start();
    rig.control.StopSession();
    rig.platform->posted.clear();
    rig.platform->ResetEvent(rig.control.Session().notifyEvent.Get());
    rig.Start();
    rig.Receive(Text("hello"));
    rig.RunReceive();
    EXPECT_EQ(Posts(rig.platform->posted), std::vector<Post>{CommNotify()});
}

// The lines of the usual two-step transfer, from its start to its end.
std::vector<std::string> TwoStepLines() {
    std::vector<std::string> lines{kStartDownload};
    for (const char* n : {"1", "2"}) {
        for (const std::string& line :
             {std::string("*** Connecting to device"), std::string("*** Transmitting 0-Byte (1)"),
              std::string("*** Connected to device"),
              "*** Binaryfile boot" + std::string(n) + ".bin transmitted.",
              "*** Transmitting programfile prog" + std::string(n) + ".b86",
              std::string("*** Download completed")}) {
            lines.push_back(line);
        }
    }
    lines.push_back("*** Download finally completed");
    return lines;
}

// A thread of a cancelled transfer that outlives the stop's wait still holds its own handle of
// the port, and what it posts late would be taken for the next transfer's progress: a late
// "Connecting" moves the owner on to the next step's files and block count. The next start
// waits for it a while longer; when it has ended, the start drops what it left in the queue;
// when it has not, the start is refused with a clear reason instead of failing to open the port.
TEST(TransferControl, StartsAfterTheThreadsOfTheLastTransferHaveEnded) {
    struct Case {
        const char* name;
        bool endsWithinTheRestartWait;
    };
    const std::string notEnded = "The threads of the previous transfer have not ended.\n";
    for (const Case& c : {Case{"it ends within the wait of the next start", true},
                          Case{"it has not ended when the next start comes", false}}) {
        SCOPED_TRACE(c.name);
        ControlRig rig({}, 2);
        rig.Start();
        OsHandle stop = rig.control.Session().stopEvent.Get();
        OsHandle oldDownload = rig.DownloadThread();
        OsHandle oldReceive = rig.ReceiveThread();
        rig.platform->threadEndsAfterMs = 2000; // longer than the stop waits
        rig.platform->threadsEndWhenWaitedFor = c.endsWithinTheRestartWait;
        rig.owner.answers = {true};
        rig.Start(); // cancelled
        ASSERT_EQ(rig.platform->PendingThreadCount(), 2u);
        rig.platform->posted.clear();
        if (!c.endsWithinTheRestartWait) {
            rig.Start();
            EXPECT_EQ(rig.owner.boxes, std::vector<std::string>{notEnded});
            EXPECT_EQ(rig.platform->openedPorts.size(), 1u) << "no port opened beside the old thread";
            EXPECT_EQ(rig.platform->startedThreads.size(), 2u);
            EXPECT_TRUE(rig.Idle());
            // Later it ends by itself.
            rig.platform->RunThread(oldDownload);
            rig.platform->RunThread(oldReceive);
            rig.platform->threadsEndWhenWaitedFor = true;
        }
        rig.loader.Restart();
        rig.Start();
        EXPECT_EQ(rig.platform->PendingThreadCount(), 2u)
            << "the old threads ended, the new ones wait to run";
        EXPECT_EQ(Posts(rig.platform->posted), std::vector<Post>{State(IDS_CONNECTING)})
            << "the old download thread's late announcement is queued";
        EXPECT_EQ(rig.control.Session().stopEvent.Get(), stop);
        EXPECT_FALSE(rig.platform->IsSignalled(stop));
        rig.RunDownload();
        rig.Dispatch();
        EXPECT_EQ(rig.owner.lines, TwoStepLines());
        EXPECT_EQ(rig.owner.summaryHistory,
                  (std::vector<std::string>{"Block 1 of 3", "Block 2 of 3", "Block 3 of 3", "Block 1 of 3",
                                            "Block 2 of 3", "Block 3 of 3"}));
        EXPECT_TRUE(rig.control.Completed());
        EXPECT_EQ(rig.platform->openedPorts.size(), 2u);
    }
}

// A report of the receive thread that was dropped because the transfer was already over leaves
// its site behind; the next transfer's line error or overflow must not carry it.
TEST(TransferControl, ShowsASiteOnlyWithTheReceiveThreadsOwnFailure) {
    using Case = ArrangedLine;
    const Case cases[] = {
        {"line error",
         [](ControlRig& rig) {
             IoScript event;
             event.mask = kEvErr;
             rig.platform->commEventScript.push_back(event);
         },
         "*** Transmissionerror (Framing/Overrun/Parity/Break)"},
        {"overflow",
         [](ControlRig& rig) {
             for (int chunk = 0; chunk < 5; ++chunk) {
                 rig.Receive(std::vector<uint8_t>(1024, 'x'));
             }
         },
         "*** Receivebuffer overflow"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ControlRig rig;
        // The first transfer fails; its receive thread's late failure (site 122) is dropped.
        rig.platform->files["boot1.bin"].content = Bytes(961, 0);
        rig.Start();
        rig.RunDownload();
        rig.RunReceiveFailingWith(5);
        rig.Dispatch();
        ASSERT_EQ(rig.owner.lines.back(), "*** Bin-File is too large!");
        ASSERT_EQ(rig.control.Session().rxErrorSite.load(), kSiteWaitCommEvent);

        rig.platform->files["boot1.bin"].content = Bytes(100, 0x80);
        rig.Start();
        EXPECT_EQ(rig.control.Session().rxErrorSite.load(), kSiteNone) << "cleared at the start";
        c.arrange(rig);
        rig.RunReceiveWhileDownloadWaits();
        EXPECT_EQ(rig.owner.lines.back(), c.line);
        EXPECT_TRUE(rig.Idle());
    }
    // A site that stands when a line error is handled is not appended to it.
    ControlRig rig;
    rig.Start();
    rig.control.Session().rxErrorSite = kSiteReadWait;
    rig.control.Dispatch(WM_RECEIVE_ERROR, IDS_TRANSMISSION_ERROR, kEvBreak);
    EXPECT_EQ(rig.owner.lines.back(), "*** Transmissionerror (Framing/Overrun/Parity/Break)");
}

// --- Progress messages ---

TEST(TransferControl, ShowsEveryAnnouncedState) {
    struct Case {
        unsigned id;
        uint32_t argument;
        const char* line; // null: no line
    };
    const Case cases[] = {
        {IDS_CONNECTING, 0, "*** Connecting to device"},
        {IDS_TRANSMITTING_ZERO_BYTE, 4, "*** Transmitting 0-Byte (4)"},
        {IDS_CONNECTED, 0, "*** Connected to device"},
        {IDS_BIN_TRANSMITTED, 0, "*** Binaryfile boot1.bin transmitted."},
        {IDS_TRANSMITTING_PROGRAM, 0, "*** Transmitting programfile prog1.b86"},
        {IDS_BLOCK_OF, 3, nullptr},
        {IDS_DOWNLOAD_COMPLETED, 0, "*** Download completed"},
        {IDS_DOWNLOAD_FINALLY_COMPLETED, 0, "*** Download finally completed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        ControlRig rig;
        rig.Start();
        rig.control.Dispatch(WM_TRANSFER_STATE, c.id, c.argument);
        std::vector<std::string> expected{kStartDownload};
        if (c.line != nullptr) {
            expected.push_back(c.line);
        }
        EXPECT_EQ(rig.owner.lines, expected);
        EXPECT_TRUE(rig.control.IsRunning()) << "the state is read from the session, not the message";
    }
}

TEST(TransferControl, EndsTheTransferAndInBatchModeClosesAfterTheFinalLine) {
    struct Case {
        const char* name;
        bool batch;
        bool keepingPace; // the owner handles each message before the thread goes on
    };
    for (const Case& c : {Case{"interactive", false, true}, Case{"batch", true, true},
                          Case{"batch, owner lagging behind", true, false}}) {
        SCOPED_TRACE(c.name);
        TransferOptions options;
        options.batchMode = c.batch;
        ControlRig rig(options);
        rig.Start();
        if (c.keepingPace) {
            rig.loader.beforeAnswering = [&rig]() { rig.Dispatch(); };
        }
        rig.RunDownload();
        rig.Dispatch();
        EXPECT_EQ(rig.owner.lines.back(), "*** Download finally completed");
        EXPECT_TRUE(rig.Idle());
        EXPECT_TRUE(rig.control.Completed());
        EXPECT_EQ(rig.control.Ending().result, TransferEnding::Result::Completed);
        if (!c.batch) {
            EXPECT_TRUE(rig.closedWith.empty());
            continue;
        }
        ASSERT_FALSE(rig.closedWith.empty());
        EXPECT_EQ(rig.closedWith.front().back(), "*** Download finally completed")
            << "the log has the final line";
    }
}

TEST(TransferControl, KeepsOnlyTheLatestWakeUpAttemptInTheList) {
    ControlRig rig;
    rig.Start();
    rig.loader.answerZeroByte = 0;
    std::vector<std::string> duringTenthAttempt;
    for (int attempt = 1; attempt < 10; ++attempt) {
        rig.platform->waitScript.push_back({During::Timeout, 0, nullptr});
    }
    rig.platform->waitScript.push_back({During::Timeout, 0, [&]() {
                                            rig.Dispatch();
                                            duringTenthAttempt = rig.owner.lines;
                                        }});
    rig.RunDownload();
    EXPECT_EQ(duringTenthAttempt, (std::vector<std::string>{kStartDownload, "*** Connecting to device",
                                                            "*** Transmitting 0-Byte (10)"}));

    rig.Dispatch();
    EXPECT_EQ(rig.owner.lines,
              (std::vector<std::string>{kStartDownload, "*** Connecting to device",
                                        "*** Transmitting 0-Byte (31)", "*** No Ack received (Timeout)"}));
    EXPECT_EQ(rig.owner.pendingLines.size(), 31u) << "every attempt may be replaced by the next";
    EXPECT_TRUE(rig.Idle());
}

TEST(TransferControl, ReplacesOnlyALineOfTheWakeUpText) {
    ControlRig rig;
    rig.Start();
    rig.owner.lines.clear();
    rig.control.Dispatch(WM_TRANSFER_STATE, IDS_TRANSMITTING_ZERO_BYTE, 1);
    rig.owner.lines.push_back("READY");
    rig.control.Dispatch(WM_TRANSFER_STATE, IDS_TRANSMITTING_ZERO_BYTE, 2);
    rig.control.Dispatch(WM_TRANSFER_STATE, IDS_TRANSMITTING_ZERO_BYTE, 3);
    EXPECT_EQ(rig.owner.lines, (std::vector<std::string>{"*** Transmitting 0-Byte (1)", "READY",
                                                         "*** Transmitting 0-Byte (3)"}));
}

TEST(TransferControl, ShowsBlockProgressInTheSummaryNotInTheList) {
    ControlRig rig;
    rig.platform->files["prog1.b86"].content = Program(std::vector<uint8_t>(120, 0));
    rig.Start();
    bool sawBlockThree = false;
    // The owner keeps pace with the thread: it handles each block's announcement while the
    // transfer runs.
    auto handle = [&rig, &sawBlockThree]() {
        while (!rig.platform->posted.empty()) {
            Post next = Posts(rig.platform->posted).front();
            size_t lines = rig.owner.lines.size();
            rig.DispatchNext();
            if (next.message == WM_TRANSFER_STATE && next.id == IDS_BLOCK_OF) {
                EXPECT_EQ(rig.owner.lines.size(), lines) << "no line for block " << next.code;
                EXPECT_EQ(rig.owner.summary, "Block " + std::to_string(next.code) + " of 120");
                sawBlockThree = sawBlockThree || rig.owner.summary == "Block 3 of 120";
            }
        }
    };
    rig.loader.beforeAnswering = handle;
    rig.RunDownload();
    handle();
    EXPECT_TRUE(sawBlockThree);
    EXPECT_EQ(rig.owner.summaryHistory.size(), 120u);
    EXPECT_EQ(rig.owner.summary, FakeSessionOwner::kPortSummary) << "the port settings again after the end";
}

// The owner names the files and counts the blocks of the step a message concerns, although the
// thread has moved on to the next step before the owner handles the message.
TEST(TransferControl, ShowsTheStepTheThreadWasWorkingOnWhenItPosted) {
    ControlRig rig({}, 2);
    rig.platform->files["prog2.b86"].content = Program({1, 2});
    rig.Start();
    rig.RunDownload();
    EXPECT_EQ(rig.control.Session().CurrentStep(), nullptr) << "the thread went past both steps";
    rig.Dispatch();

    EXPECT_EQ(rig.owner.lines, TwoStepLines());
    EXPECT_EQ(rig.owner.summaryHistory,
              (std::vector<std::string>{"Block 1 of 3", "Block 2 of 3", "Block 3 of 3", "Block 1 of 2",
                                        "Block 2 of 2"}));
}

TEST(TransferControl, NamesTheFileOfTheStepThatFailedAfterTheCursorMovedOn) {
    using Case = ArrangedLine;
    const Case cases[] = {
        {"first step",
         [](ControlRig& rig) {
             rig.platform->files["prog1.b86"].readFaults[6] = {true, 38, 0};
         },
         "*** Error while reading binary file prog1.b86 (Code = 26)"},
        {"second step", [](ControlRig& rig) { rig.platform->files["boot2.bin"].openError = 5; },
         "Failed to open bin file boot2.bin: Code = 5"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ControlRig rig({}, 2);
        c.arrange(rig);
        rig.Start();
        rig.RunDownload();
        rig.Dispatch();
        EXPECT_EQ(rig.owner.lines.back(), c.line);
        EXPECT_TRUE(rig.Idle());
    }
}

// --- Errors ---

TEST(TransferControl, ShowsEveryTransferErrorWithTheFileOfItsStep) {
    struct Case {
        unsigned id;
        uint32_t code;
        const char* line;
    };
    const Case cases[] = {
        {IDS_NO_ACK_TIMEOUT, 30, "*** No Ack received (Timeout)"},
        {IDS_FAILED_ZERO_BYTES, 22, "*** Failed to transmit 0-Bytes (Initialization failed)"},
        {IDS_ERROR_WAITING_ACK0, kWaitFailedCode, "*** Error waiting for ACK (0)"},
        {IDS_FAILED_OPEN_BIN, 2, "Failed to open bin file boot1.bin: Code = 2"},
        {IDS_BIN_TOO_LARGE, 961, "*** Bin-File is too large!"},
        {IDS_ERROR_READING_BIN, 23, "*** Error reading binary file boot1.bin"},
        {IDS_ERROR_SENDING_BIN, 1117, "*** Error sending binary file boot1.bin"},
        {IDS_FAILED_SENDING_BIN, 258, "*** Failed sending binary file boot1.bin (Code = 102)"},
        {IDS_NO_ACK_1, 258, "*** No ACK received (1)"},
        {IDS_UNEXPECTED_FAILURE, kWaitFailedCode,
         "*** Unexpected failure while transmitting data (Code = ffffffff)"},
        {IDS_FAILED_OPEN_B86, 3, "Failed to open B86 file prog1.b86: Code = 3"},
        {IDS_INVALID_B86_FORMAT, 0, "*** Invalid file format of binary file prog1.b86"},
        {IDS_ERROR_READING_B86, 38, "*** Error while reading binary file prog1.b86 (Code = 26)"},
        {IDS_ERROR_TRANSMITTING_B86, 258, "*** Error while transmitting binary file prog1.b86"},
        {IDS_NO_ACK_2, 258, "*** No ACK received(2)"},
    };
    for (const Case& c : cases) {
        for (bool batch : {false, true}) {
            SCOPED_TRACE(testing::Message() << c.id << (batch ? " batch" : ""));
            TransferOptions options;
            options.batchMode = batch;
            ControlRig rig(options);
            rig.Start();
            rig.control.Dispatch(WM_TRANSFER_ERROR, c.id, c.code);
            EXPECT_EQ(rig.owner.lines, (std::vector<std::string>{kStartDownload, c.line}));
            EXPECT_TRUE(rig.Idle());
            EXPECT_EQ(rig.owner.closeRequests, batch ? 1 : 0);
            EXPECT_FALSE(rig.control.Completed());
            const TransferEnding& ending = rig.control.Ending();
            EXPECT_EQ(ending.result, TransferEnding::Result::Failed);
            EXPECT_EQ(ending.id, c.id);
            EXPECT_EQ(ending.code, c.code);
            EXPECT_EQ(EndingText(ending, rig.catalogue), c.line);
        }
    }
}

TEST(TransferControl, ShowsEveryReceiveErrorWithItsSite) {
    struct Case {
        const char* name;
        std::function<void(ControlRig&)> arrange;
        const char* line;
    };
    auto event = [](IoStart start, uint32_t mask, uint32_t error, uint32_t resultError) {
        IoScript script;
        script.start = start;
        script.mask = mask;
        script.error = error;
        script.resultError = resultError;
        return script;
    };
    const Case cases[] = {
        {"WaitCommEvent",
         [&](ControlRig& rig) { rig.platform->commEventScript.push_back(event(IoStart::Failed, 0, 5, 0)); },
         "*** Error while executing receive thread: Code=5 Line: 122"},
        {"event result",
         [&](ControlRig& rig) {
             rig.platform->commEventScript.push_back(event(IoStart::Pending, kEvRxChar, 0, 995));
         },
         "*** Error while executing receive thread: Code=3e3 Line: 145"},
        {"event wait",
         [&](ControlRig& rig) {
             rig.platform->commEventScript.push_back(event(IoStart::Pending, kEvRxChar, 0, 0));
             rig.platform->waitScript.push_back({During::Fail, 6, nullptr});
         },
         "*** Error while executing receive thread: Code=ffffffff Line: 152"},
        {"ReadFile",
         [&](ControlRig& rig) {
             rig.platform->commEventScript.push_back(event(IoStart::Done, kEvRxChar, 0, 0));
             rig.platform->readScript.push_back(event(IoStart::Failed, 0, 31, 0));
         },
         "*** Error while executing receive thread: Code=1f Line: 181"},
        {"read result",
         [&](ControlRig& rig) {
             rig.platform->commEventScript.push_back(event(IoStart::Done, kEvRxChar, 0, 0));
             rig.platform->readScript.push_back(event(IoStart::Pending, 0, 0, 995));
         },
         "*** Error while executing receive thread: Code=3e3 Line: 207"},
        {"read wait",
         [&](ControlRig& rig) {
             rig.platform->commEventScript.push_back(event(IoStart::Done, kEvRxChar, 0, 0));
             rig.platform->readScript.push_back(event(IoStart::Pending, 0, 0, 0));
             rig.platform->waitScript.push_back({During::Fail, 6, nullptr});
         },
         "*** Error while executing receive thread: Code=ffffffff Line: 213"},
        {"notify poll",
         [&](ControlRig& rig) {
             rig.platform->ResetEvent(rig.control.Session().notifyEvent.Get());
             rig.Receive(Text("x"));
             // The download thread's poll for a stop before its wake-up byte comes first.
             rig.platform->pollScript = {kWaitTimeout, kWaitFailed};
             rig.platform->pollError = 6;
         },
         "*** Error while executing receive thread: Code=6 Line: 281"},
        {"line error",
         [&](ControlRig& rig) {
             rig.platform->commEventScript.push_back(event(IoStart::Done, kEvErr, 0, 0));
         },
         "*** Transmissionerror (Framing/Overrun/Parity/Break)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ControlRig rig;
        rig.Start();
        c.arrange(rig);
        rig.RunReceiveWhileDownloadWaits();
        EXPECT_EQ(rig.owner.lines, (std::vector<std::string>{kStartDownload, "*** Connecting to device",
                                                             "*** Transmitting 0-Byte (1)", c.line}));
        EXPECT_EQ(rig.control.Session().rxErrorSite.load(), kSiteNone) << "the site is used once";
        EXPECT_TRUE(rig.Idle());
        EXPECT_FALSE(rig.control.Completed());
        EXPECT_EQ(rig.control.Ending().result, TransferEnding::Result::Failed);
        EXPECT_EQ(rig.control.Ending().phase, TransferEnding::Phase::Connecting);
        EXPECT_EQ(EndingText(rig.control.Ending(), rig.catalogue), c.line);
    }
}

TEST(TransferControl, DropsAReceiveErrorThatArrivesAfterTheDownloadEnded) {
    struct Case {
        const char* name;
        std::function<void(ControlRig&)> arrange;
        std::string last;
    };
    const Case cases[] = {
        {"failed", [](ControlRig& rig) { rig.platform->files["boot1.bin"].content = Bytes(961, 0); },
         "*** Bin-File is too large!"},
        {"completed", [](ControlRig&) {}, "*** Download finally completed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ControlRig rig;
        c.arrange(rig);
        rig.Start();
        rig.RunDownload();
        rig.RunReceiveFailingWith(5);
        EXPECT_EQ(Posts(rig.platform->posted).back(), ReceiveError(IDS_RECEIVE_THREAD_ERROR, 5));
        rig.Dispatch();
        EXPECT_EQ(rig.owner.lines.back(), c.last);
        EXPECT_TRUE(rig.Idle());
    }
}

// --- Device output ---

TEST(TransferControl, ShowsDeviceOutputAsOneGrowingLinePerTextLine) {
    struct Case {
        std::vector<uint8_t> bytes;
        std::vector<std::string> lines;
        int ended; // lines whose line end arrived: final for an owner that records them
    };
    const Case cases[] = {
        {Text("OK\r\nREADY"), {"OK", "READY"}, 1},
        {Text("A\x07"
              "B"),
         {"A~07B"},
         0},
        {Text("\r\n\r\n"), {}, 0},
        {{'x', 0x7F, 0xFF, 0x00}, {"x~7F~FF~00"}, 0},
        {Text("AB\nCD\rEF\r\n"), {"AB", "CD", "EF"}, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.bytes.begin(), c.bytes.end()));
        ControlRig rig;
        rig.Start();
        rig.Receive(c.bytes);
        rig.RunReceive();
        rig.Dispatch();
        std::vector<std::string> expected{kStartDownload};
        expected.insert(expected.end(), c.lines.begin(), c.lines.end());
        EXPECT_EQ(rig.owner.lines, expected);
        EXPECT_EQ(rig.owner.endedLines, c.ended);
        TransferSession& session = rig.control.Session();
        EXPECT_EQ(session.rxRead.load(), session.rxWrite.load()) << "the ring is drained";
        EXPECT_TRUE(rig.platform->IsSignalled(session.notifyEvent.Get()));
    }
}

TEST(TransferControl, KeepsALineThatArrivesInTwoReadsAsOneLine) {
    ControlRig rig;
    rig.Start();
    rig.Receive(Text("REA"));
    IoScript later;
    later.start = IoStart::Pending;
    later.mask = kEvRxChar;
    rig.platform->commEventScript.push_back(later);
    IoScript read;
    read.data = Text("DY\r\n");
    rig.platform->readScript.push_back(read);
    rig.platform->waitScript.push_back({During::Complete, 0, [&rig]() { rig.Dispatch(); }});
    rig.RunReceive();
    rig.Dispatch();
    EXPECT_EQ(rig.owner.lines, (std::vector<std::string>{kStartDownload, "READY"}));
}

// A device floods output while the owner is busy: the ring fills, the receive thread reports
// the overflow (twice, as its next read finds the ring still full), and the owner shows one
// overflow line and ends the transfer.
TEST(TransferControl, EndsAFloodWithOneOverflowLine) {
    ControlRig rig;
    rig.Start();
    for (int chunk = 0; chunk < 5; ++chunk) {
        rig.Receive(std::vector<uint8_t>(1024, 'x'));
    }
    // While the download thread waits for the connect acknowledge, the flood arrives and the
    // owner gets round to its messages.
    rig.RunReceiveWhileDownloadWaits();

    EXPECT_EQ(rig.owner.lines, (std::vector<std::string>{
                                   kStartDownload, "*** Connecting to device", "*** Transmitting 0-Byte (1)",
                                   std::string(4095, 'x'), "*** Receivebuffer overflow"}));
    EXPECT_TRUE(rig.Idle());
    EXPECT_EQ(rig.control.Session().downloadState.load(), Ended);
}

// --- Dry run ---

TEST(TransferControl, ShowsOnlyTheStartAndTheEndInADryRun) {
    TransferOptions options;
    options.dryRun = true;
    ControlRig rig(options);
    rig.Start();
    EXPECT_EQ(rig.platform->configuredPorts.size(), 1u) << "the port is set up as usual";
    rig.RunReceive();
    rig.RunDownload();
    rig.Dispatch();
    EXPECT_EQ(rig.owner.lines, (std::vector<std::string>{kStartDownload, "*** Download finally completed"}));
    EXPECT_TRUE(rig.platform->writes.empty());
    EXPECT_TRUE(rig.Idle());
    EXPECT_TRUE(rig.control.Completed());
}

TEST(TransferControl, DispatchesOnlyTheSessionsMessages) {
    ControlRig rig;
    EXPECT_FALSE(rig.control.Dispatch(kWmClose, 0, 0));
    EXPECT_FALSE(rig.control.Dispatch(0x0111, 1009, 0));
}

} // namespace

namespace {

// The list as it would be if every received byte updated it: the reference for the drain.
struct ByteByByteList {
    std::vector<std::string> lines;
    std::string line;
    void Update(const std::string& text) {
        if (!lines.empty() && text.compare(0, lines.back().size(), lines.back()) == 0) {
            lines.back() = text;
        } else {
            lines.push_back(text);
        }
    }
    void Receive(uint8_t byte) {
        if (byte == '\r' || byte == '\n') {
            line.clear();
            return;
        }
        line += byte >= 0x20 && byte <= 0x7E ? std::string(1, static_cast<char>(byte))
                                             : FormatText("~%02X", {static_cast<unsigned>(byte)});
        Update(line);
    }
};

TEST(TransferControl, DrainShowsWhatAnUpdatePerByteWouldShow) {
    const uint8_t alphabet[] = {'A', 'B', 'A', 'B', '\r', '\n', 0x07};
    uint32_t seed = 12345;
    auto random = [&seed](uint32_t range) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % range;
    };
    for (int round = 0; round < 300; ++round) {
        ControlRig rig;
        rig.Start();
        ByteByByteList reference;
        reference.lines = rig.owner.lines;
        TransferSession& session = rig.control.Session();
        for (int drain = 0; drain < 6; ++drain) {
            // Sometimes a line of its own comes between two drains, sometimes one that an
            // earlier device line or the next bytes begin with.
            if (random(3) == 0) {
                const std::string between = random(2) == 0 ? "*** status" : "AB";
                rig.owner.AddTraceLine(between);
                reference.lines.push_back(between);
            }
            for (uint32_t count = random(12); count > 0; --count) {
                uint8_t byte = alphabet[random(sizeof alphabet)];
                uint32_t write = session.rxWrite.load();
                session.rxRing[write] = byte;
                session.rxWrite = (write + 1) % TransferSession::kRingSize;
                reference.Receive(byte);
            }
            rig.control.OnCommNotify(kEvRxChar);
            ASSERT_EQ(rig.owner.lines, reference.lines) << "round " << round << ", drain " << drain;
        }
    }
}

} // namespace
