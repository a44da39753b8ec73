#pragma once

#include "tools/sim/Scenario.h"

#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct StepCounters {
    uint64_t zeros = 0;      // wake-up zeros received
    uint64_t strayBytes = 0; // other bytes while waiting for wake-up
    uint64_t bootImages = 0;
    uint64_t blocks = 0;
    uint64_t programBytes = 0;
    uint64_t completed = 0; // times the step ran to its end
};

struct Counters {
    std::vector<StepCounters> steps;
    uint64_t received = 0;
    uint64_t sent = 0;
    uint64_t extra = 0; // bytes after the last step
    std::optional<Time> firstReceived;
    std::optional<Time> lastByte; // received or sent
    // From each output of the device to the host's next bytes: the host's reply time.
    uint64_t replies = 0;
    Time replyTime{0};
};

// The controller's bootstrap loader as a state machine, without I/O and without a clock of
// its own: the caller feeds received bytes with the time they arrived and asks which bytes
// have crossed the line by a given time. With a baud rate both directions of the line take
// 10 bits per byte; without one, bytes cross at once.
class DeviceModel {
public:
    explicit DeviceModel(Scenario scenario);

    void Receive(const uint8_t* data, std::size_t size, Time now);
    // The bytes that reach the host by now, in order.
    std::string Transmit(Time now);
    // When Transmit has something new to hand out; nothing when all output is sent.
    std::optional<Time> NextDeadline() const;

    bool Finished() const;      // every step done and all output sent
    bool DisconnectDue() const; // the configured disconnect has been reached
    // The host reopened the port of a power-cycled device: back to the first step, pending
    // output dropped, counters kept.
    void Restart();

    const Counters& GetCounters() const { return counters_; }

private:
    enum class State { WakeUp, WakeAckPending, BootImage, BlockLength, BlockBody, Done };
    enum class Marker { None, EnterBootImage, Disconnect };

    // Output waiting for the line; released no earlier than releaseAt, in queue order.
    struct Segment {
        Time releaseAt;
        std::string bytes;
        Marker marker = Marker::None; // applied once the bytes are on the line
        std::size_t sent = 0;
    };

    void Consume(uint8_t byte, Time at);
    void Answer(const Site& site, uint8_t ack, Time at, Marker marker);
    void QueueOutputs(const Site& site, bool afterAck, Time at);
    void Queue(Time releaseAt, std::string bytes, Marker marker = Marker::None);
    void StartProgram();
    void CompleteStep();
    void Apply(Marker marker);
    Time ByteTime(uint64_t count) const;
    uint64_t BytesIn(Time elapsed) const;
    Time TxLineEnd() const;

    const Scenario scenario_;
    State state_ = State::WakeUp;
    std::size_t step_ = 0;
    uint64_t stepZeros_ = 0; // wake-up zeros of the step in this session
    std::size_t bootBytes_ = 0;
    unsigned blockNeeded_ = 0; // body bytes still missing
    uint64_t blockBytes_ = 0;
    uint64_t programBytes_ = 0;
    int block_ = 0;
    bool disconnect_ = false;
    std::deque<Segment> queue_;
    // Each direction of a paced line: busy from base for count byte times.
    Time rxBase_{};
    uint64_t rxCount_ = 0;
    Time txBase_{};
    uint64_t txCount_ = 0;
    Counters counters_;
    std::optional<Time> lastOutput_; // the device's last output that the host has not answered yet
};

} // namespace sim
