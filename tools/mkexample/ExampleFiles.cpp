#include "tools/mkexample/ExampleFiles.h"

#include <cerrno>
#include <cstring>
#include <fstream>

namespace examples {
namespace {

constexpr uint64_t kMaxBlock = 260; // L = 255: length byte and 259 body bytes
constexpr uint64_t kMinBlock = 5;   // L = 0: length byte and a 4-byte load address

// xorshift32: small, and the same sequence on every platform.
class Random {
public:
    explicit Random(uint32_t seed) : state_(seed != 0 ? seed : 0x9E3779B9u) {}
    uint32_t Next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_;
    }
    uint8_t Byte() { return static_cast<uint8_t>(Next() >> 24); }

private:
    uint32_t state_;
};

// The L to use for a wish when remaining bytes are left: the last block takes the rest, and
// no block may leave 1 to 4 bytes, which no block can fill.
unsigned FitLength(unsigned wish, uint64_t remaining) {
    if (remaining <= kMaxBlock) {
        return static_cast<unsigned>(remaining - kMinBlock);
    }
    const uint64_t left = remaining - (wish + kMinBlock);
    if (left < kMinBlock) {
        // Only when the block is 256 bytes or more, so a 5 bytes shorter one leaves 6 to 9.
        return wish - static_cast<unsigned>(kMinBlock);
    }
    return wish;
}

std::string Crlf(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\r\n";
    }
    return text;
}

} // namespace

Bytes MakeBootImage(std::size_t size, uint32_t seed) {
    Random random(seed);
    Bytes image(size);
    for (uint8_t& byte : image) {
        byte = random.Byte();
    }
    return image;
}

std::optional<Bytes> MakeProgram(uint64_t size, uint32_t seed) {
    if (size > 0 && size < kMinBlock) {
        return std::nullopt;
    }
    Random random(seed);
    Bytes program;
    program.reserve(size);
    uint32_t address = 0x10000;
    for (unsigned index = 0; program.size() < size; ++index) {
        const unsigned wish = index == 0 ? 0 : index == 1 ? 255 : random.Byte();
        const unsigned length = FitLength(wish, size - program.size());
        program.push_back(static_cast<uint8_t>(length));
        // Load address as offset and segment, little-endian; the device's business, not ours.
        const uint16_t offset = static_cast<uint16_t>(address & 0xF);
        const uint16_t segment = static_cast<uint16_t>(address >> 4);
        program.insert(program.end(), {static_cast<uint8_t>(offset), static_cast<uint8_t>(offset >> 8),
                                       static_cast<uint8_t>(segment), static_cast<uint8_t>(segment >> 8)});
        for (unsigned i = 0; i < length; ++i) {
            program.push_back(random.Byte());
        }
        address += length;
    }
    return program;
}

std::vector<ExampleFile> MakeExample() {
    const std::string cfg = Crlf({
        "[LoadingSteps]",
        "Description=Example controller (two loading steps)",
        "Step1=Flash programmer",
        "Step2=Application",
        "",
        "[Step1]",
        "AckByte=197",
        "BootFile=EXAMPLE1.BIN",
        "Firmware=EXAMPLE1.B86",
        "",
        "[Step2]",
        "AckByte=163",
        "BootFile=EXAMPLE2.BIN",
        "Firmware=EXAMPLE2.B86",
    });
    return {
        {"Example.cfg", Bytes(cfg.begin(), cfg.end())}, {"EXAMPLE1.BIN", MakeBootImage(512, 1)},
        {"EXAMPLE1.B86", *MakeProgram(1800, 2)},        {"EXAMPLE2.BIN", MakeBootImage(733, 3)},
        {"EXAMPLE2.B86", *MakeProgram(2600, 4)},
    };
}

bool WriteFile(const std::string& path, const Bytes& bytes, std::string& error) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    file.close();
    if (file.fail()) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

} // namespace examples
