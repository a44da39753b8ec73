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

IoScript Event(uint32_t mask, IoStart start = IoStart::Done) {
    IoScript script;
    script.start = start;
    script.mask = mask;
    return script;
}

IoScript Data(const std::vector<uint8_t>& bytes, IoStart start = IoStart::Done) {
    IoScript script;
    script.start = start;
    script.data = bytes;
    return script;
}

IoScript Failing(uint32_t error) {
    IoScript script;
    script.start = IoStart::Failed;
    script.error = error;
    return script;
}

std::vector<uint8_t> Text(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

// One receive thread on the fake platform. When its script runs out the device is quiet and
// the thread's infinite wait is ended by a stop.
class ReceiveRig {
public:
    ReceiveRig()
        : platform(std::make_shared<FakeEnginePlatform>()),
          session(std::make_shared<TransferSession>(platform, platform->window, false)) {
        session->portHandle = platform->NewPort();
        port = platform->DuplicatePortHandle(session->portHandle.load());
    }

    // Bytes arrive: the event, then the read that takes them.
    void Receive(const std::vector<uint8_t>& bytes) {
        platform->commEventScript.push_back(Event(kEvRxChar));
        platform->readScript.push_back(Data(bytes));
    }
    void Run() { ReceiveThreadProc(*session, port); }

    std::vector<Post> Posted() const { return Posts(platform->posted); }
    std::string Ring() const {
        std::string ring;
        for (uint32_t i = session->rxRead; i != session->rxWrite; i = (i + 1) % TransferSession::kRingSize) {
            ring += static_cast<char>(session->rxRing[i]);
        }
        return ring;
    }
    bool Acknowledged() const { return platform->IsSignalled(session->ackEvent.Get()); }

    std::shared_ptr<FakeEnginePlatform> platform;
    std::shared_ptr<TransferSession> session;
    OsHandle port;
};

TEST(ReceiveThread, QueuesDeviceOutputAndNotifiesTheOwner) {
    ReceiveRig rig;
    rig.Receive(Text("OK"));
    rig.Run();
    EXPECT_EQ(rig.Ring(), "OK");
    EXPECT_EQ(rig.Posted(), std::vector<Post>{CommNotify()});
    EXPECT_FALSE(rig.platform->IsSignalled(rig.session->notifyEvent.Get())) << "one notification outstanding";
    EXPECT_FALSE(rig.Acknowledged());
    EXPECT_EQ(rig.session->receiveState.load(), RxStopped);
    EXPECT_EQ(rig.platform->readRequests, std::vector<uint32_t>{1024});
    EXPECT_EQ(rig.platform->OpenHandleCount("event"), 3) << "the thread's own event is closed";
    EXPECT_EQ(rig.platform->releasedSlots, 1);
}

TEST(ReceiveThread, TakesTheAwaitedByteAndTheAlternateAsAcknowledge) {
    for (uint8_t expected : {uint8_t{0x11}, uint8_t{0x5A}, uint8_t{0x00}}) {
        for (uint8_t received : {expected, uint8_t{0xD5}}) {
            SCOPED_TRACE(testing::Message() << "awaited " << int(expected) << ", received " << int(received));
            ReceiveRig rig;
            rig.session->expectedAck = expected;
            rig.Receive({received});
            rig.Run();
            EXPECT_TRUE(rig.Acknowledged());
            EXPECT_EQ(rig.Ring(), "");
            EXPECT_TRUE(rig.Posted().empty());
        }
    }
}

TEST(ReceiveThread, SortsAcknowledgesOutOfDeviceOutput) {
    ReceiveRig rig;
    rig.session->expectedAck = 0x11;
    rig.Receive({'O', 0x11, 'K', 0xD5, 0x12});
    rig.Run();
    EXPECT_TRUE(rig.Acknowledged());
    EXPECT_EQ(rig.Ring(), "OK\x12");
    EXPECT_EQ(rig.Posted(), std::vector<Post>{CommNotify()});
}

TEST(ReceiveThread, ComparesEachByteWithTheAcknowledgeAwaitedWhenItArrives) {
    ReceiveRig rig;
    rig.session->expectedAck = 0x11;
    rig.Receive({0x22});
    // Between the two reads the download thread moves to a phase that awaits 0x22.
    rig.platform->commEventScript.push_back(Event(kEvRxChar, IoStart::Pending));
    rig.platform->readScript.push_back(Data({0x22}));
    rig.platform->waitScript.push_back({During::Complete, 0, [&rig]() { rig.session->expectedAck = 0x22; }});
    rig.Run();
    EXPECT_EQ(rig.Ring(), "\x22");
    EXPECT_TRUE(rig.Acknowledged());
}

TEST(ReceiveThread, ReadsWhatArrivedAfterAPendingEventAndAPendingRead) {
    ReceiveRig rig;
    rig.platform->commEventScript.push_back(Event(kEvRxChar, IoStart::Pending));
    rig.platform->readScript.push_back(Data(Text("abc"), IoStart::Pending));
    rig.Run();
    EXPECT_EQ(rig.Ring(), "abc");
    EXPECT_EQ(rig.Posted(), std::vector<Post>{CommNotify()});
    EXPECT_EQ(rig.session->receiveState.load(), RxStopped);
}

TEST(ReceiveThread, KeepsOneNotificationOutstanding) {
    ReceiveRig rig;
    rig.Receive(Text("a"));
    rig.Receive(Text("b"));
    // The owner drains the ring (and so signals the notify event) before the third byte.
    rig.platform->commEventScript.push_back(Event(kEvRxChar, IoStart::Pending));
    rig.platform->readScript.push_back(Data(Text("c")));
    rig.platform->waitScript.push_back(
        {During::Complete, 0, [&rig]() { rig.platform->SetEvent(rig.session->notifyEvent.Get()); }});
    rig.Run();
    EXPECT_EQ(rig.Ring(), "abc");
    EXPECT_EQ(rig.Posted(), (std::vector<Post>{CommNotify(), CommNotify()}));
}

TEST(ReceiveThread, ReadsDataThatComesWithALineErrorAndReportsALineErrorAlone) {
    struct Case {
        uint32_t mask;
        std::vector<Post> posted;
        const char* ring;
    };
    const Case cases[] = {
        {kEvRxChar | kEvErr, {CommNotify()}, "x"},
        {kEvRxChar | kEvBreak | kEvErr, {CommNotify()}, "x"},
        {kEvErr, {ReceiveError(IDS_TRANSMISSION_ERROR, kEvErr)}, ""},
        {kEvBreak, {ReceiveError(IDS_TRANSMISSION_ERROR, kEvBreak)}, ""},
        {kEvBreak | kEvErr, {ReceiveError(IDS_TRANSMISSION_ERROR, kEvBreak | kEvErr)}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mask " << c.mask);
        ReceiveRig rig;
        rig.platform->commEventScript.push_back(Event(c.mask));
        rig.platform->readScript.push_back(Data(Text("x")));
        rig.Run();
        EXPECT_EQ(rig.Posted(), c.posted);
        EXPECT_EQ(rig.Ring(), c.ring);
        EXPECT_EQ(rig.session->rxErrorSite.load(), kSiteNone) << "a line error has no site";
    }
}

TEST(ReceiveThread, EndsAfterALineError) {
    ReceiveRig rig;
    rig.platform->commEventScript.push_back(Event(kEvErr));
    rig.Receive(Text("never read"));
    rig.Run();
    EXPECT_EQ(rig.session->receiveState.load(), RxFailed);
    EXPECT_EQ(rig.platform->commEventScript.size(), 1u);
    EXPECT_TRUE(rig.platform->readRequests.empty());
}

TEST(ReceiveThread, WaitsAgainAfterAnEmptyEventMask) {
    ReceiveRig rig;
    rig.platform->commEventScript.push_back(Event(0));
    rig.Receive(Text("z"));
    rig.Run();
    EXPECT_EQ(rig.platform->readRequests.size(), 1u) << "no read for the empty mask";
    EXPECT_EQ(rig.Ring(), "z");
}

// --- Every failure site of the thread ---

struct SiteCase {
    const char* name;
    std::function<void(ReceiveRig&)> arrange;
    uint32_t code;
    int32_t site;
    uint32_t receiveError;
};

const SiteCase kSiteCases[] = {
    {"WaitCommEventFails", [](ReceiveRig& rig) { rig.platform->commEventScript.push_back(Failing(5)); }, 5,
     kSiteWaitCommEvent, 5},
    {"EventResultFails",
     [](ReceiveRig& rig) {
         IoScript event = Event(kEvRxChar, IoStart::Pending);
         event.resultError = 995;
         rig.platform->commEventScript.push_back(event);
     },
     995, kSiteWaitEventResult, 995},
    {"EventWaitFails",
     [](ReceiveRig& rig) {
         rig.platform->commEventScript.push_back(Event(kEvRxChar, IoStart::Pending));
         rig.platform->waitScript.push_back({During::Fail, 6, nullptr});
     },
     kWaitFailedCode, kSiteWaitEventWait, kErrorIoPending},
    {"ReadFails",
     [](ReceiveRig& rig) {
         rig.platform->commEventScript.push_back(Event(kEvRxChar));
         rig.platform->readScript.push_back(Failing(31));
     },
     31, kSiteReadFile, 31},
    {"ReadResultFails",
     [](ReceiveRig& rig) {
         rig.platform->commEventScript.push_back(Event(kEvRxChar));
         IoScript read = Data(Text("lost"), IoStart::Pending);
         read.resultError = 995;
         rig.platform->readScript.push_back(read);
     },
     995, kSiteReadResult, 995},
    {"ReadWaitFails",
     [](ReceiveRig& rig) {
         rig.platform->commEventScript.push_back(Event(kEvRxChar));
         rig.platform->readScript.push_back(Data(Text("lost"), IoStart::Pending));
         rig.platform->waitScript.push_back({During::Fail, 6, nullptr});
     },
     kWaitFailedCode, kSiteReadWait, kErrorIoPending},
    {"NotifyPollFails",
     [](ReceiveRig& rig) {
         rig.platform->ResetEvent(rig.session->notifyEvent.Get());
         rig.Receive(Text("x"));
         rig.platform->pollScript.push_back(kWaitFailed);
         rig.platform->pollError = 6;
     },
     6, kSiteNotifyPoll, 6},
};

class ReceiveThreadSites : public testing::TestWithParam<SiteCase> {};

TEST_P(ReceiveThreadSites, ReportTheCodeAndTheSiteAndEndTheThread) {
    const SiteCase& c = GetParam();
    ReceiveRig rig;
    c.arrange(rig);
    rig.Receive(Text("after the error")); // must never be read
    rig.Run();
    EXPECT_EQ(rig.Posted(), std::vector<Post>{ReceiveError(IDS_RECEIVE_THREAD_ERROR, c.code)});
    EXPECT_EQ(rig.session->rxErrorSite.load(), c.site);
    EXPECT_EQ(rig.session->receiveError.load(), c.receiveError);
    EXPECT_EQ(rig.session->receiveState.load(), RxFailed);
    EXPECT_EQ(rig.platform->readScript.size(), 1u) << "the thread ended at the error";
    EXPECT_EQ(rig.session->postedMessages.load(), 1u) << "the owner can tell the report is queued";
}

INSTANTIATE_TEST_SUITE_P(EverySite, ReceiveThreadSites, testing::ValuesIn(kSiteCases),
                         [](const testing::TestParamInfo<SiteCase>& info) { return info.param.name; });

// --- The ring ---

TEST(ReceiveThread, ReportsAFullRingInsteadOfOverwritingIt) {
    ReceiveRig rig;
    rig.session->expectedAck = 0x11;
    for (int chunk = 0; chunk < 3; ++chunk) {
        rig.Receive(std::vector<uint8_t>(1024, static_cast<uint8_t>('a' + chunk)));
    }
    rig.Receive(std::vector<uint8_t>(1000, 'd'));
    std::vector<uint8_t> last(23, 'e');
    last.push_back('f');  // the byte that finds the ring full
    last.push_back(0x11); // dropped with the rest of the read, acknowledge or not
    rig.Receive(last);
    rig.Run();

    EXPECT_EQ(rig.Posted(), (std::vector<Post>{CommNotify(), ReceiveError(IDS_RECEIVE_OVERFLOW, 0)}));
    EXPECT_EQ(rig.session->postedMessages.load(), 2u);
    std::string ring = rig.Ring();
    ASSERT_EQ(ring.size(), 4095u) << "one slot stays free";
    EXPECT_EQ(ring, std::string(1024, 'a') + std::string(1024, 'b') + std::string(1024, 'c') +
                        std::string(1000, 'd') + std::string(23, 'e'));
    EXPECT_FALSE(rig.Acknowledged());
    EXPECT_EQ(rig.session->rxErrorSite.load(), kSiteNone);
    EXPECT_EQ(rig.session->receiveState.load(), RxStopped) << "bytes of that read were stored: it goes on";
}

TEST(ReceiveThread, EndsWhenAReadStoresNothingIntoAFullRing) {
    ReceiveRig rig;
    for (int chunk = 0; chunk < 5; ++chunk) {
        rig.Receive(std::vector<uint8_t>(1024, 'x'));
    }
    rig.Receive(Text("never read"));
    rig.Run();
    EXPECT_EQ(rig.Posted(), (std::vector<Post>{CommNotify(), ReceiveError(IDS_RECEIVE_OVERFLOW, 0),
                                               ReceiveError(IDS_RECEIVE_OVERFLOW, 0)}));
    EXPECT_EQ(rig.session->receiveState.load(), RxFailed);
    EXPECT_EQ(rig.platform->readScript.size(), 1u);
}

TEST(ReceiveThread, WrapsAroundTheEndOfTheRing) {
    ReceiveRig rig;
    rig.session->rxRead = 4094;
    rig.session->rxWrite = 4094;
    rig.Receive(Text("wrap"));
    rig.Run();
    EXPECT_EQ(rig.session->rxWrite.load(), 2u);
    EXPECT_EQ(rig.Ring(), "wrap");
}

// --- Stops ---

TEST(ReceiveThread, EndsSilentlyWhenStoppedInAnyWait) {
    struct Case {
        const char* name;
        std::function<void(ReceiveRig&)> arrange;
        const char* ring;
    };
    const Case cases[] = {
        {"waiting for an event", [](ReceiveRig&) {}, ""},
        {"waiting for a read",
         [](ReceiveRig& rig) {
             rig.platform->commEventScript.push_back(Event(kEvRxChar));
             rig.platform->readScript.push_back(Data(Text("late"), IoStart::Pending));
             rig.platform->waitScript.push_back({During::Stop, 0, nullptr});
         },
         ""},
        {"polling the notify event",
         [](ReceiveRig& rig) {
             rig.platform->ResetEvent(rig.session->notifyEvent.Get());
             rig.Receive(Text("kept"));
             rig.platform->pollScript.push_back(kWaitObject0);
         },
         "kept"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ReceiveRig rig;
        c.arrange(rig);
        rig.Run();
        EXPECT_TRUE(rig.Posted().empty());
        EXPECT_EQ(rig.session->receiveState.load(), RxStopped);
        EXPECT_EQ(rig.Ring(), c.ring);
        ASSERT_FALSE(rig.platform->waits.empty());
        EXPECT_EQ(rig.platform->waits.back().first, rig.session->stopEvent.Get());
        EXPECT_EQ(rig.platform->waits.back().result, kWaitObject0);
    }
}

TEST(ReceiveThread, EndsWhenThePortHandleIsGone) {
    ReceiveRig rig;
    rig.session->portHandle = nullptr;
    rig.Receive(Text("never read"));
    rig.Run();
    EXPECT_EQ(rig.session->receiveState.load(), RxStopped);
    EXPECT_EQ(rig.platform->commEventScript.size(), 1u);
    EXPECT_TRUE(rig.Posted().empty());
}

} // namespace
