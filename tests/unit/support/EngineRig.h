#pragma once

#include "engine/TransferSession.h"
#include "tests/unit/support/FakeEnginePlatform.h"

#include <cstdint>
#include <functional>
#include <limits>
#include <ostream>
#include <vector>

namespace enginefake {

// A posted message reduced to what the owner reads: the message, its id and its argument.
struct Post {
    uint32_t message;
    unsigned id;
    uint32_t code;
    bool operator==(const Post& other) const {
        return message == other.message && id == other.id && code == other.code;
    }
    bool operator!=(const Post& other) const { return !(*this == other); }
};

inline std::ostream& operator<<(std::ostream& out, const Post& post) {
    const char* name = post.message == WM_TRANSFER_STATE   ? "State"
                       : post.message == WM_TRANSFER_ERROR ? "TransferError"
                       : post.message == WM_RECEIVE_ERROR  ? "ReceiveError"
                       : post.message == kWmCommNotify     ? "CommNotify"
                                                           : "Message";
    return out << name << "(" << post.id << ", " << post.code << ")";
}

inline Post State(unsigned id, uint32_t argument = 0) {
    return {WM_TRANSFER_STATE, id, argument};
}
inline Post TransferError(unsigned id, uint32_t code) {
    return {WM_TRANSFER_ERROR, id, code};
}
inline Post ReceiveError(unsigned id, uint32_t code) {
    return {WM_RECEIVE_ERROR, id, code};
}
inline Post CommNotify() {
    return {kWmCommNotify, kEvRxChar, 0};
}

inline std::vector<Post> Posts(const std::vector<PostedMessage>& posted) {
    std::vector<Post> posts;
    for (const PostedMessage& message : posted) {
        posts.push_back(
            {message.message, static_cast<unsigned>(message.wParam), static_cast<uint32_t>(message.lParam)});
    }
    return posts;
}

// A program-file block: the length byte L, then L + 4 body bytes.
inline std::vector<uint8_t> Block(uint8_t length, uint8_t seed) {
    std::vector<uint8_t> block{length};
    for (unsigned i = 0; i < length + 4u; ++i) {
        block.push_back(static_cast<uint8_t>(seed + i));
    }
    return block;
}

// A program file of blocks with the given lengths.
inline std::vector<uint8_t> Program(const std::vector<uint8_t>& lengths) {
    std::vector<uint8_t> file;
    uint8_t seed = 0x40;
    for (uint8_t length : lengths) {
        std::vector<uint8_t> block = Block(length, seed);
        file.insert(file.end(), block.begin(), block.end());
        seed = static_cast<uint8_t>(seed + 0x10);
    }
    return file;
}

inline std::vector<uint8_t> Bytes(size_t count, uint8_t first) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>(first + i);
    }
    return bytes;
}

// The acknowledge bytes of the test steps: each phase has its own, so a phase that waits for
// the wrong one is seen.
constexpr uint8_t kConnectAck = 0x5A;
constexpr uint8_t kBootAck = 0x22;
constexpr uint8_t kBlockAck = 0x33;

// The controller's bootstrap loader at the other end of the fake line. It sees every write as
// it goes out and answers the wake-up byte, the boot image and the blocks as told. Its answers
// reach the download thread the way the receive thread passes them on: a byte equal to the
// awaited acknowledge, or the alternate acknowledge 0xD5, sets the acknowledge event.
class ScriptedLoader {
public:
    static constexpr uint32_t kAll = std::numeric_limits<uint32_t>::max();

    ScriptedLoader(FakeEnginePlatform& platform, std::function<TransferSession&()> session)
        : platform(platform), session(std::move(session)) {
        platform.onWire = [this](const std::vector<uint8_t>& bytes) { OnWire(bytes); };
    }
    ~ScriptedLoader() { platform.onWire = nullptr; }
    ScriptedLoader(const ScriptedLoader&) = delete;
    ScriptedLoader& operator=(const ScriptedLoader&) = delete;

    uint32_t answerZeroByte = 1;    // answers this wake-up byte of each step (0: none)
    bool answerBoot = true;         // answers the boot image
    uint32_t answeredBlocks = kAll; // answers this many blocks of each step
    int answerWith = -1;            // the byte of every answer; -1: the loader's own bytes below
    uint8_t connectAnswer = kConnectAck;
    uint8_t bootAnswer = kBootAck;
    uint8_t blockAnswer = kBlockAck;
    std::vector<uint8_t> answers;
    // Runs whenever a write reaches the loader, before it answers (the owner keeping pace).
    std::function<void()> beforeAnswering;

    // Forgets the wake-up bytes and blocks seen so far.
    void Restart() {
        zeroBytes = 0;
        blocks = 0;
    }

    // One byte sent by the loader, as the receive thread treats it.
    void Answer(uint8_t byte) {
        answers.push_back(byte);
        TransferSession& receiving = session();
        if (byte == receiving.expectedAck.load() || byte == TransferSession::kAlternateAck) {
            platform.SetEvent(receiving.ackEvent.Get());
        }
    }

private:
    uint8_t Byte(uint8_t own) const { return answerWith < 0 ? own : static_cast<uint8_t>(answerWith); }

    void OnWire(const std::vector<uint8_t>& bytes) {
        if (beforeAnswering) {
            beforeAnswering();
        }
        if (bytes.size() == 1 && bytes[0] == 0x00) {
            if (++zeroBytes == answerZeroByte) {
                Answer(Byte(connectAnswer));
            }
        } else if (bytes.size() == 960) {
            zeroBytes = 0;
            blocks = 0;
            if (answerBoot) {
                Answer(Byte(bootAnswer));
            }
        } else {
            zeroBytes = 0;
            if (++blocks <= answeredBlocks) {
                Answer(Byte(blockAnswer));
            }
        }
    }

    FakeEnginePlatform& platform;
    std::function<TransferSession&()> session;
    uint32_t zeroBytes = 0;
    uint32_t blocks = 0;
};

} // namespace enginefake
