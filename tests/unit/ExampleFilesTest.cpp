#include "tools/mkexample/ExampleFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace {

using examples::Bytes;

// The lengths L of a program file's blocks, or nothing when a block runs past the end.
std::optional<std::vector<unsigned>> BlockLengths(const Bytes& program) {
    std::vector<unsigned> lengths;
    for (std::size_t at = 0; at < program.size(); at += program[at] + 5u) {
        if (at + program[at] + 5u > program.size()) {
            return std::nullopt;
        }
        lengths.push_back(program[at]);
    }
    return lengths;
}

bool Has(const std::vector<unsigned>& lengths, unsigned length) {
    return std::find(lengths.begin(), lengths.end(), length) != lengths.end();
}

class ProgramSizes : public testing::TestWithParam<uint64_t> {};

TEST_P(ProgramSizes, FillTheSizeExactlyWithWholeBlocks) {
    const uint64_t size = GetParam();
    const auto program = examples::MakeProgram(size, 42);
    ASSERT_TRUE(program);
    EXPECT_EQ(program->size(), size);
    const auto lengths = BlockLengths(*program);
    ASSERT_TRUE(lengths);
    if (size == 265 || size >= 270) { // room for blocks of L=0 and L=255 and whole blocks after
        EXPECT_TRUE(Has(*lengths, 0));
        EXPECT_TRUE(Has(*lengths, 255));
    }
    if (size > 100'000) {
        EXPECT_GT(std::set<unsigned>(lengths->begin(), lengths->end()).size(), 100u);
    }
    // One byte short: the last block runs past the end.
    if (size > 0) {
        Bytes cut(program->begin(), program->end() - 1);
        EXPECT_FALSE(BlockLengths(cut));
    }
}

INSTANTIATE_TEST_SUITE_P(ExampleFiles, ProgramSizes,
                         testing::Values(0u, 5u, 6u, 9u, 10u, 260u, 261u, 262u, 264u, 265u, 266u, 269u, 270u,
                                         1800u, 262144u, 1048576u));

TEST(ExampleFiles, NoProgramHasOneToFourBytes) {
    for (uint64_t size : {1u, 2u, 3u, 4u}) {
        EXPECT_FALSE(examples::MakeProgram(size, 1)) << size;
    }
}

TEST(ExampleFiles, TheSameSeedGivesTheSameBytes) {
    EXPECT_EQ(examples::MakeProgram(5000, 9), examples::MakeProgram(5000, 9));
    EXPECT_NE(examples::MakeProgram(5000, 9), examples::MakeProgram(5000, 10));
    EXPECT_EQ(examples::MakeBootImage(960, 9), examples::MakeBootImage(960, 9));
    EXPECT_NE(examples::MakeBootImage(960, 9), examples::MakeBootImage(960, 10));
    EXPECT_EQ(examples::MakeBootImage(17, 9).size(), 17u);
}

TEST(ExampleFiles, TheExampleNamesFilesThatItShips) {
    const std::vector<examples::ExampleFile> files = examples::MakeExample();
    ASSERT_FALSE(files.empty());
    const std::string cfg(files[0].bytes.begin(), files[0].bytes.end());
    EXPECT_EQ(files[0].name, "Example.cfg");
    uint64_t programBytes = 0;
    std::set<unsigned> lengths;
    for (std::size_t i = 1; i < files.size(); ++i) {
        const examples::ExampleFile& file = files[i];
        EXPECT_NE(cfg.find("=" + file.name + "\r\n"), std::string::npos) << file.name;
        const std::string extension = file.name.substr(file.name.size() - 4);
        if (extension == ".BIN") {
            EXPECT_LT(file.bytes.size(), examples::kMaxBootImage) << file.name;
        } else {
            ASSERT_EQ(extension, ".B86");
            const auto blocks = BlockLengths(file.bytes);
            ASSERT_TRUE(blocks) << file.name;
            lengths.insert(blocks->begin(), blocks->end());
            programBytes += file.bytes.size();
        }
    }
    EXPECT_EQ(files.size(), 5u);
    EXPECT_TRUE(lengths.count(0) && lengths.count(255));
    EXPECT_GE(programBytes, 2048u);
    EXPECT_LE(programBytes, 16384u);
    for (const char* line :
         {"[LoadingSteps]\r\n", "Step1=", "Step2=", "[Step1]\r\nAckByte=", "[Step2]\r\nAckByte="}) {
        EXPECT_NE(cfg.find(line), std::string::npos) << line;
    }
}

} // namespace
