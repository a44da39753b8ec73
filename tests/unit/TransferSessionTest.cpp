#include "engine/TransferSession.h"
#include "app/MessageIds.h"
#include "tests/unit/support/EngineRig.h"
#include "tests/unit/support/FakeEnginePlatform.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace enginefake;

namespace {

struct StateCase {
    int32_t state;
    unsigned id; // 0: stored without a message
    bool carriesArgument;
};

// Every download state: the announced ones with their message id, the silent ones without.
const StateCase kStates[] = {
    {Connecting, IDS_CONNECTING, false},
    {Ended, IDS_DOWNLOAD_FINALLY_COMPLETED, false},
    {SendingZeroByte, IDS_TRANSMITTING_ZERO_BYTE, true},
    {WaitingZeroByteSent, 0, false},
    {WaitingConnectAck, 0, false},
    {Connected, IDS_CONNECTED, false},
    {ReadingBootFile, 0, false},
    {SendingBootFile, 0, false},
    {WaitingBootFileSent, 0, false},
    {WaitingBootAck, 0, false},
    {BootFileDone, IDS_BIN_TRANSMITTED, false},
    {SendingProgramFile, IDS_TRANSMITTING_PROGRAM, false},
    {ReadingBlock, 0, false},
    {SendingBlock, IDS_BLOCK_OF, true},
    {WaitingBlockSent, 0, false},
    {WaitingBlockAck, 0, false},
    {StepCompleted, IDS_DOWNLOAD_COMPLETED, false},
};

class NotifyStateOf : public testing::TestWithParam<StateCase> {};

TEST_P(NotifyStateOf, StoresTheStateAndAnnouncesItWithItsIdAndArgument) {
    const StateCase& c = GetParam();
    auto platform = std::make_shared<FakeEnginePlatform>();
    TransferSession session(platform, platform->window, false);
    session.downloadState = Failed;
    session.NotifyState(c.state, 7);
    EXPECT_EQ(session.downloadState.load(), c.state);
    std::vector<Post> expected;
    if (c.id != 0) {
        expected.push_back(State(c.id, c.carriesArgument ? 7 : 0));
    }
    EXPECT_EQ(Posts(platform->posted), expected);
    for (const PostedMessage& message : platform->posted) {
        EXPECT_EQ(message.window, platform->window);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryState, NotifyStateOf, testing::ValuesIn(kStates),
                         [](const testing::TestParamInfo<StateCase>& info) {
                             return "State" + std::to_string(info.param.state);
                         });

TEST(TransferSession, TurnsConnectingIntoTheEndInADryRun) {
    auto platform = std::make_shared<FakeEnginePlatform>();
    TransferSession session(platform, platform->window, true);
    session.NotifyState(Connecting, 0);
    EXPECT_EQ(session.downloadState.load(), Ended);
    EXPECT_EQ(Posts(platform->posted), std::vector<Post>{State(IDS_DOWNLOAD_FINALLY_COMPLETED)});
    platform->posted.clear();
    session.NotifyState(Connected, 0);
    EXPECT_EQ(Posts(platform->posted), std::vector<Post>{State(IDS_CONNECTED)}) << "only Connecting changes";
}

TEST(TransferSession, ReportsErrorsWithTheirIdAndCode) {
    auto platform = std::make_shared<FakeEnginePlatform>();
    TransferSession session(platform, platform->window, false);
    session.ReportTransferError(IDS_NO_ACK_TIMEOUT, 30);
    EXPECT_EQ(session.downloadState.load(), Failed);
    session.downloadState = Connected;
    session.PostTransferError(IDS_FAILED_OPEN_BIN, 2);
    EXPECT_EQ(session.downloadState.load(), Failed);
    EXPECT_EQ(session.downloadError.load(), 2u);
    session.ReportReceiveError(IDS_RECEIVE_THREAD_ERROR, 0xFFFFFFFF);
    EXPECT_EQ(session.receiveState.load(), RxFailed);
    EXPECT_EQ(Posts(platform->posted),
              (std::vector<Post>{TransferError(IDS_NO_ACK_TIMEOUT, 30), TransferError(IDS_FAILED_OPEN_BIN, 2),
                                 ReceiveError(IDS_RECEIVE_THREAD_ERROR, 0xFFFFFFFF)}));
}

TEST(TransferSession, StartsWithItsFixedValuesAndEvents) {
    auto platform = std::make_shared<FakeEnginePlatform>();
    {
        TransferSession session(platform, platform->window, false);
        EXPECT_EQ(session.alternateAck, 0xD5);
        EXPECT_EQ(session.expectedAck.load(), 0x11);
        EXPECT_EQ(session.rxErrorSite.load(), kSiteNone);
        EXPECT_FALSE(platform->IsSignalled(session.stopEvent.Get()));
        EXPECT_FALSE(platform->IsSignalled(session.ackEvent.Get()));
        EXPECT_TRUE(platform->IsSignalled(session.notifyEvent.Get())) << "ready for the first notification";
    }
    EXPECT_EQ(platform->OpenHandleCount("event"), 0) << "the events go with the session";
}

TEST(TransferSession, WalksASnapshotOfTheSteps) {
    auto platform = std::make_shared<FakeEnginePlatform>();
    TransferSession session(platform, platform->window, false);
    std::vector<std::unique_ptr<LoadingStep>> source;
    for (const char* name : {"a.bin", "b.bin"}) {
        source.push_back(std::make_unique<LoadingStep>());
        source.back()->bootFile = name;
        source.back()->blockCount = 9;
    }
    session.SetSteps(source);
    source[0]->bootFile = "changed.bin";
    source.clear();

    ASSERT_NE(session.CurrentStep(), nullptr);
    EXPECT_EQ(session.CurrentStep()->bootFile, "a.bin");
    EXPECT_EQ(session.CurrentStep()->blockCount, 0u) << "counted anew by each transfer";
    EXPECT_EQ(session.NextStep()->bootFile, "b.bin");
    EXPECT_EQ(session.NextStep(), nullptr);
    EXPECT_EQ(session.NextStep(), nullptr);
    EXPECT_EQ(session.StepAt(0)->bootFile, "a.bin");
    EXPECT_EQ(session.StepAt(2), nullptr);
}

} // namespace
