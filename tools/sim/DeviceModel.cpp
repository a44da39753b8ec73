#include "tools/sim/DeviceModel.h"

#include <algorithm>

namespace sim {
namespace {

constexpr uint64_t kBitsPerByte = 10; // start bit, 8 data bits, stop bit
constexpr uint64_t kNanosPerSecond = 1'000'000'000;
// The bytes a UART hands over at once; paced output leaves in bursts of at most this many.
constexpr std::size_t kFifoBurst = 16;

} // namespace

DeviceModel::DeviceModel(Scenario scenario) : scenario_(std::move(scenario)) {
    counters_.steps.resize(scenario_.steps.size());
    if (scenario_.steps.empty()) {
        state_ = State::Done;
    }
}

// The time count bytes occupy the line, rounded down to the nanosecond.
Time DeviceModel::ByteTime(uint64_t count) const {
    const unsigned __int128 nanoBits = static_cast<unsigned __int128>(count) * kBitsPerByte * kNanosPerSecond;
    return Time(static_cast<int64_t>(nanoBits / scenario_.baud));
}

// The whole bytes that have crossed by elapsed: the largest n with ByteTime(n) <= elapsed.
uint64_t DeviceModel::BytesIn(Time elapsed) const {
    if (elapsed.count() < 0) {
        return 0;
    }
    const unsigned __int128 scaled = static_cast<unsigned __int128>(elapsed.count() + 1) * scenario_.baud - 1;
    return static_cast<uint64_t>(scaled / (kBitsPerByte * kNanosPerSecond));
}

void DeviceModel::Receive(const uint8_t* data, std::size_t size, Time now) {
    if (size == 0) {
        return;
    }
    if (!counters_.firstReceived) {
        counters_.firstReceived = now;
    }
    counters_.lastByte = now;
    counters_.received += size;
    if (lastOutput_) {
        ++counters_.replies;
        counters_.replyTime += now - *lastOutput_;
        lastOutput_.reset();
    }
    for (std::size_t i = 0; i < size; ++i) {
        Time at = now;
        if (scenario_.baud != 0) {
            // The host wrote the byte just now: it starts across the line once the line is
            // free and has arrived one byte time later.
            if (rxBase_ + ByteTime(rxCount_) < now) {
                rxBase_ = now;
                rxCount_ = 0;
            }
            at = rxBase_ + ByteTime(++rxCount_);
        }
        Consume(data[i], at);
    }
}

void DeviceModel::Consume(uint8_t byte, Time at) {
    if (state_ == State::Done) {
        ++counters_.extra;
        return;
    }
    const StepPlan& plan = scenario_.steps[step_];
    StepCounters& counters = counters_.steps[step_];
    const int stepNumber = static_cast<int>(step_) + 1;
    switch (state_) {
    case State::WakeUp:
    case State::WakeAckPending:
        // Zeros that arrive while the connect acknowledge is still on its way are wake-up
        // zeros too: the loader leaves the wake-up state only when it answers.
        if (byte != 0) {
            ++counters.strayBytes;
            return;
        }
        ++counters.zeros;
        ++stepZeros_;
        if (state_ == State::WakeUp && !scenario_.silent && plan.wakeZeros != 0 &&
            stepZeros_ == plan.wakeZeros) {
            state_ = State::WakeAckPending;
            Answer(Site{stepNumber, Phase::Connect, 0}, plan.connectAck, at, Marker::EnterBootImage);
        }
        return;
    case State::BootImage:
        if (++bootBytes_ < kBootImageSize) {
            return;
        }
        ++counters.bootImages;
        Answer(Site{stepNumber, Phase::Boot, 0}, kBootAck, at, Marker::None);
        StartProgram();
        return;
    case State::BlockLength:
        blockNeeded_ = byte + 4u;
        blockBytes_ = 1;
        state_ = State::BlockBody;
        return;
    case State::BlockBody:
        ++blockBytes_;
        if (--blockNeeded_ > 0) {
            return;
        }
        ++counters.blocks;
        counters.programBytes += blockBytes_;
        programBytes_ += blockBytes_;
        Answer(Site{stepNumber, Phase::Block, ++block_}, kBlockAck, at, Marker::None);
        if (programBytes_ >= plan.programSize) {
            CompleteStep();
        } else {
            state_ = State::BlockLength;
        }
        return;
    case State::Done:
        return;
    }
}

void DeviceModel::StartProgram() {
    programBytes_ = 0;
    block_ = 0;
    if (scenario_.steps[step_].programSize == 0) {
        CompleteStep();
    } else {
        state_ = State::BlockLength;
    }
}

void DeviceModel::CompleteStep() {
    ++counters_.steps[step_].completed;
    ++step_;
    stepZeros_ = 0;
    state_ = step_ < scenario_.steps.size() ? State::WakeUp : State::Done;
}

void DeviceModel::Answer(const Site& site, uint8_t ack, Time at, Marker marker) {
    const auto found = scenario_.faults.find(site);
    const AckFault fault = found == scenario_.faults.end() ? AckFault{} : found->second;
    QueueOutputs(site, false, at);
    const Time release = at + fault.delay;
    std::string bytes;
    if (!fault.missing) {
        bytes = std::string(1, static_cast<char>(fault.byte               ? *fault.byte
                                                 : scenario_.alternateAck ? kAlternateAck
                                                                          : ack));
    }
    Queue(release, std::move(bytes), marker);
    QueueOutputs(site, true, release);
    if (scenario_.disconnectAt == site) {
        Queue(release, {}, Marker::Disconnect);
    }
}

void DeviceModel::QueueOutputs(const Site& site, bool afterAck, Time at) {
    for (const Emission& emission : scenario_.outputs) {
        if (emission.site == site && emission.afterAck == afterAck) {
            Queue(at, emission.bytes);
        }
    }
}

void DeviceModel::Queue(Time releaseAt, std::string bytes, Marker marker) {
    // The line sends in queue order: nothing may overtake what was queued before.
    if (!queue_.empty()) {
        releaseAt = std::max(releaseAt, queue_.back().releaseAt);
    }
    queue_.push_back(Segment{releaseAt, std::move(bytes), marker, 0});
}

Time DeviceModel::TxLineEnd() const {
    return txBase_ + ByteTime(txCount_);
}

std::string DeviceModel::Transmit(Time now) {
    std::string out;
    while (!queue_.empty() && !disconnect_) {
        Segment& segment = queue_.front();
        if (segment.releaseAt > now) {
            break;
        }
        std::size_t count = segment.bytes.size() - segment.sent;
        if (scenario_.baud != 0) {
            if (segment.releaseAt > TxLineEnd()) {
                txBase_ = segment.releaseAt; // the line was idle
                txCount_ = 0;
            }
            const uint64_t due = BytesIn(now - txBase_);
            count = due > txCount_ ? std::min<uint64_t>(count, due - txCount_) : 0;
            txCount_ += count;
        }
        out.append(segment.bytes, segment.sent, count);
        segment.sent += count;
        if (segment.sent < segment.bytes.size()) {
            break;
        }
        const Marker marker = segment.marker;
        queue_.pop_front();
        Apply(marker);
    }
    if (!out.empty()) {
        counters_.sent += out.size();
        counters_.lastByte = now;
        lastOutput_ = now;
    }
    return out;
}

void DeviceModel::Apply(Marker marker) {
    switch (marker) {
    case Marker::EnterBootImage:
        state_ = State::BootImage;
        bootBytes_ = 0;
        break;
    case Marker::Disconnect:
        disconnect_ = true;
        break;
    case Marker::None:
        break;
    }
}

std::optional<Time> DeviceModel::NextDeadline() const {
    if (queue_.empty() || disconnect_) {
        return std::nullopt;
    }
    const Segment& segment = queue_.front();
    const std::size_t remaining = segment.bytes.size() - segment.sent;
    if (scenario_.baud == 0 || remaining == 0) {
        return segment.releaseAt;
    }
    const uint64_t burst = std::min(remaining, kFifoBurst);
    if (segment.releaseAt > TxLineEnd()) {
        return segment.releaseAt + ByteTime(burst);
    }
    return txBase_ + ByteTime(txCount_ + burst);
}

bool DeviceModel::Finished() const {
    return state_ == State::Done && queue_.empty();
}

bool DeviceModel::DisconnectDue() const {
    return disconnect_;
}

void DeviceModel::Restart() {
    queue_.clear();
    disconnect_ = false;
    step_ = 0;
    stepZeros_ = 0;
    bootBytes_ = 0;
    state_ = scenario_.steps.empty() ? State::Done : State::WakeUp;
}

} // namespace sim
