#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Deterministic boot images, program files and the shipped example configuration.
namespace examples {

using Bytes = std::vector<uint8_t>;

inline constexpr std::size_t kMaxBootImage = 960;

// size pseudo-random bytes; the same seed gives the same image.
Bytes MakeBootImage(std::size_t size, uint32_t seed);

// A program file of exactly size bytes: blocks of a length byte L and L + 4 body bytes (a
// load address, then L data bytes). The first blocks have L = 0 and L = 255 when the size
// allows, the others vary. Nothing for sizes 1 to 4, which no block structure fills.
std::optional<Bytes> MakeProgram(uint64_t size, uint32_t seed);

struct ExampleFile {
    std::string name;
    Bytes bytes;
};

// The example shipped in examples/: one .cfg with two steps and their four files.
std::vector<ExampleFile> MakeExample();

bool WriteFile(const std::string& path, const Bytes& bytes, std::string& error);

} // namespace examples
