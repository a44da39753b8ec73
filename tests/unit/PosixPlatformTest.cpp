// The engine platform over POSIX, on real pseudo-terminals, eventfds and threads.
#include "engine/posix/PosixEnginePlatform.h"
#include "engine/posix/PosixErrors.h"
#include "engine/posix/UniqueFd.h"

#include <gtest/gtest.h>

#include <chrono>

#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

struct PtyPair {
    PtyPair() {
        char name[128] = "";
        int m = -1;
        int s = -1;
        EXPECT_EQ(openpty(&m, &s, name, nullptr, nullptr), 0);
        master.Reset(m);
        slave.Reset(s); // held open so that the line does not hang up before the port opens
        path = name;
    }
    std::vector<uint8_t> Read(size_t count) {
        std::vector<uint8_t> bytes;
        uint8_t buffer[4096];
        while (bytes.size() < count) {
            ssize_t n = read(master.Get(), buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            bytes.insert(bytes.end(), buffer, buffer + n);
        }
        return bytes;
    }
    UniqueFd master;
    UniqueFd slave;
    std::string path;
};

TEST(PosixPlatform, WaitsForTwoEventsTheFirstWinning) {
    struct Row {
        bool first, second;
        uint32_t expected;
    } rows[] = {{false, false, kWaitTimeout},
                {false, true, kWaitObject1},
                {true, false, kWaitObject0},
                {true, true, kWaitObject0}};
    PosixEnginePlatform platform;
    for (const Row& row : rows) {
        ScopedHandle first(platform, platform.CreateManualEvent(row.first));
        ScopedHandle second(platform, platform.CreateManualEvent(false));
        if (row.second) {
            platform.SetEvent(second.Get());
        }
        EXPECT_EQ(platform.WaitForTwo(first.Get(), second.Get(), 20), row.expected)
            << row.first << row.second;
        // Manual reset: a wait does not consume the signal; a reset does.
        EXPECT_EQ(platform.WaitForTwo(first.Get(), second.Get(), 0), row.expected);
        platform.ResetEvent(first.Get());
        platform.ResetEvent(second.Get());
        EXPECT_EQ(platform.WaitForTwo(first.Get(), second.Get(), 0), kWaitTimeout);
    }
    EXPECT_EQ(platform.WaitForTwo(nullptr, nullptr, 0), kWaitFailed);
    EXPECT_EQ(platform.LastError(), kErrorInvalidHandle);
}

TEST(PosixPlatform, CarriesBytesBothWaysOverATerminal) {
    PtyPair line;
    PosixEnginePlatform platform;
    uint32_t error = 0;
    ScopedHandle port(platform, platform.OpenPort(line.path, error));
    ASSERT_TRUE(port) << error;
    ASSERT_EQ(platform.ConfigurePort(port.Get(), PortSettings{115200, 8, 0, 0}, error), PortSetupCall::None)
        << error;
    ScopedHandle stop(platform, platform.CreateManualEvent(false));
    ScopedHandle own(platform, platform.DuplicatePortHandle(port.Get()));
    std::unique_ptr<IIoSlot> slot = platform.CreateIoSlot();

    for (uint32_t i = 0; i < 960; ++i) {
        slot->Buffer()[i] = static_cast<uint8_t>(i);
    }
    ASSERT_EQ(platform.WriteFile(own.Get(), *slot, 960, error), IoStart::Done);
    EXPECT_EQ(line.Read(960).size(), 960u);
    EXPECT_EQ(platform.BytesWritten(), 960u);

    // Nothing has arrived: the event wait is pending until the device answers.
    ASSERT_EQ(platform.WaitCommEvent(own.Get(), *slot, error), IoStart::Pending);
    EXPECT_EQ(platform.WaitForTwo(stop.Get(), slot->CompletionEvent(), 10), kWaitTimeout);
    const uint8_t answer[] = {0x11, 'O', 'K'};
    ASSERT_EQ(write(line.master.Get(), answer, sizeof answer), 3);
    EXPECT_EQ(platform.WaitForTwo(stop.Get(), slot->CompletionEvent(), 2000), kWaitObject1);
    uint32_t bytes = 0;
    EXPECT_TRUE(platform.GetOverlappedResult(own.Get(), *slot, bytes, error));
    EXPECT_EQ(slot->EventMask(), kEvRxChar);
    uint32_t read = 0;
    ASSERT_EQ(platform.ReadFile(own.Get(), *slot, 1024, read, error), IoStart::Done);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(slot->Buffer()), read), "\x11OK");

    // A stop wins over a pending event wait; the slot can go at once.
    ASSERT_EQ(platform.WaitCommEvent(own.Get(), *slot, error), IoStart::Pending);
    platform.SetEvent(stop.Get());
    EXPECT_EQ(platform.WaitForTwo(stop.Get(), slot->CompletionEvent(), kInfinite), kWaitObject0);
    EXPECT_TRUE(platform.ReleaseIo(own.Get(), *slot));

    // The device goes while the receive side waits: the wait completes with the device gone,
    // and every later one pends and completes so too, so the report does not depend on when the
    // wait began. A write to the line that hung up never completes (only a stop ends its wait).
    platform.ResetEvent(stop.Get());
    ASSERT_EQ(platform.WaitCommEvent(own.Get(), *slot, error), IoStart::Pending);
    line.slave.Reset();
    line.master.Reset();
    for (int wait = 0; wait < 2; ++wait) {
        EXPECT_EQ(platform.WaitForTwo(stop.Get(), slot->CompletionEvent(), 2000), kWaitObject1);
        EXPECT_FALSE(platform.GetOverlappedResult(own.Get(), *slot, bytes, error));
        EXPECT_EQ(error, kErrorDeviceNotConnected);
        ASSERT_EQ(platform.WaitCommEvent(own.Get(), *slot, error), IoStart::Pending);
    }
    auto writer = platform.CreateIoSlot();
    ASSERT_EQ(platform.WriteFile(own.Get(), *writer, 4, error), IoStart::Pending);
    EXPECT_EQ(platform.WaitForTwo(stop.Get(), writer->CompletionEvent(), 30), kWaitTimeout);
    const SystemCause cause = platform.Cause();
    EXPECT_EQ(cause.kind, SystemCause::Kind::Disconnected);
    EXPECT_EQ(DescribeCause(cause), line.path + ": the device was disconnected");
}

TEST(PosixPlatform, RefusesPortsItCannotUseWithTheReason) {
    PtyPair line;
    UniqueFd holder(open(line.path.c_str(), O_RDWR | O_NOCTTY));
    ASSERT_EQ(flock(holder.Get(), LOCK_EX | LOCK_NB), 0);
    struct Row {
        std::string path;
        PortSettings settings;
        uint32_t openError;       // 0: opens
        PortSetupCall failedCall; // when it opens
        uint32_t setupError;
        std::string words; // the line for the user
    } rows[] = {
        {"/nonexistent/ttyUSB9",
         {},
         kErrorFileNotFound,
         PortSetupCall::None,
         0,
         "/nonexistent/ttyUSB9: No such file or directory"},
        {line.path,
         {},
         kErrorSharingViolation,
         PortSetupCall::None,
         0,
         line.path + ": in use by process " + std::to_string(getpid())},
        {"/dev/null",
         {},
         0,
         PortSetupCall::SetCommMask,
         kErrorInvalidFunction,
         "/dev/null: not a serial port (Inappropriate ioctl for device)"},
    };
    for (const Row& row : rows) {
        PosixEnginePlatform platform;
        uint32_t error = 0;
        ScopedHandle port(platform, platform.OpenPort(row.path, error));
        if (row.openError != 0) {
            EXPECT_FALSE(port) << row.path;
            EXPECT_EQ(error, row.openError) << row.path;
        } else {
            ASSERT_TRUE(port) << row.path;
            EXPECT_EQ(platform.ConfigurePort(port.Get(), row.settings, error), row.failedCall) << row.path;
            EXPECT_EQ(error, row.setupError) << row.path;
        }
        EXPECT_EQ(DescribeCause(platform.Cause()).rfind(row.words, 0), 0u) << DescribeCause(platform.Cause());
    }
    // A framing the line cannot have is refused by the state call.
    holder.Reset();
    PosixEnginePlatform platform;
    uint32_t error = 0;
    ScopedHandle port(platform, platform.OpenPort(line.path, error));
    ASSERT_TRUE(port);
    EXPECT_EQ(platform.ConfigurePort(port.Get(), PortSettings{115200, 9, 0, 0}, error),
              PortSetupCall::SetCommState);
    EXPECT_EQ(error, kErrorInvalidParameter);
}

// Progress messages do not wake their owner: it takes them all together, the limit after the
// first of them came, or at once with a message that does wake it; with nothing to take it sleeps.
TEST(PosixPlatform, TakesDeferredMessagesTogetherAndNothingWakesAnIdleOwner) {
    MessageQueue queue;
    queue.DeferWakeFor([](const PostedMessage& message) { return message.message == 1; }, 30);
    PostedMessage message;
    EXPECT_FALSE(queue.Next(message, 0)) << "nothing queued";
    for (uintptr_t block = 1; block <= 4; ++block) {
        queue.Post({1, block, 0});
    }
    EXPECT_FALSE(queue.Next(message, 0)) << "progress alone is not due yet";
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(queue.Next(message, kInfinite));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
    for (uintptr_t block = 2; block <= 4; ++block) {
        ASSERT_TRUE(queue.Next(message, 0)) << "the rest came with the first: due with it";
        EXPECT_EQ(message.wParam, block);
    }
    queue.Post({1, 5, 0});
    queue.Post({2, 0, 0});
    ASSERT_TRUE(queue.Next(message, 0)) << "a message that wakes takes the progress before it along";
    EXPECT_EQ(message.wParam, 5u);
    ASSERT_TRUE(queue.Next(message, 0));
    EXPECT_EQ(message.message, 2u);
}

// A station destroys sessions and goes on: a late post must not reach an owner that has gone,
// and a handle closed long ago must not reach an object opened since.
TEST(PosixPlatform, RefusesPostsToAnOwnerThatHasGoneAndNeverReusesAHandle) {
    PosixEnginePlatform platform;
    auto queue = std::make_shared<MessageQueue>();
    ScopedHandle window(platform, platform.AddWindow(queue));
    EXPECT_TRUE(platform.PostToWindow(window.Get(), 0x407, 131, 0));
    PostedMessage message;
    ASSERT_TRUE(queue->Next(message, 0));
    EXPECT_EQ(message.wParam, 131u);
    queue.reset();
    EXPECT_FALSE(platform.PostToWindow(window.Get(), 0x407, 131, 0));
    EXPECT_FALSE(platform.PostToWindow(nullptr, 0x407, 131, 0));

    OsHandle closed = platform.CreateManualEvent(false);
    platform.CloseHandle(closed);
    std::vector<OsHandle> opened;
    for (int i = 0; i < 100; ++i) {
        opened.push_back(platform.CreateManualEvent(false));
        EXPECT_NE(opened.back(), closed);
    }
    platform.SetEvent(closed);
    ScopedHandle stop(platform, platform.CreateManualEvent(false));
    EXPECT_EQ(platform.WaitForTwo(stop.Get(), opened.back(), 0), kWaitTimeout)
        << "the stale set reached nothing";
    for (OsHandle handle : opened) {
        platform.CloseHandle(handle);
    }
}

TEST(PosixPlatform, WaitsForThreadsWithinItsLimit) {
    PosixEnginePlatform platform;
    std::atomic<bool> release{false};
    uint32_t id = 0;
    ScopedHandle quick(platform, platform.StartThread([] {}, id));
    ScopedHandle slow(platform, platform.StartThread(
                                    [&release] {
                                        while (!release) {
                                            std::this_thread::yield();
                                        }
                                    },
                                    id));
    ASSERT_TRUE(quick && slow);
    OsHandle both[] = {quick.Get(), slow.Get()};
    EXPECT_EQ(platform.WaitForThreads(both, 1, 2000), kWaitObject0);
    EXPECT_EQ(platform.WaitForThreads(both, 2, 20), kWaitTimeout);
    release = true;
    EXPECT_EQ(platform.WaitForThreads(both, 2, 2000), kWaitObject0);
}

} // namespace
