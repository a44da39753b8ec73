#include "tools/mkexample/ExampleFiles.h"
#include "tools/sim/DeviceModel.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using sim::AckFault;
using sim::DeviceModel;
using sim::Phase;
using sim::Scenario;
using sim::Site;
using sim::Time;

const std::string kNext = "\x11";

Scenario Steps(std::vector<sim::StepPlan> steps) {
    Scenario scenario;
    scenario.steps = std::move(steps);
    return scenario;
}

Scenario OneStep(uint64_t programSize, unsigned zeros = 1) {
    return Steps({{0xC5, zeros, programSize}});
}

// Feeds bytes at a time and hands back what the device sends by then.
std::string Feed(DeviceModel& model, const std::string& bytes, Time at = Time(0)) {
    model.Receive(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), at);
    return model.Transmit(at);
}

std::string Zero() {
    return std::string(1, '\0');
}

std::string BootImage() {
    return std::string(sim::kBootImageSize, '\x5A');
}

std::vector<std::string> Blocks(const examples::Bytes& program) {
    std::vector<std::string> blocks;
    for (std::size_t at = 0; at < program.size(); at += program[at] + 5u) {
        blocks.emplace_back(program.begin() + at, program.begin() + at + program[at] + 5);
    }
    return blocks;
}

// Connects and sends the boot image, expecting the normal answers.
void Boot(DeviceModel& model, char connectAck = '\xC5') {
    ASSERT_EQ(Feed(model, Zero()), std::string(1, connectAck));
    ASSERT_EQ(Feed(model, BootImage()), kNext);
}

class WakeUpZeros : public testing::TestWithParam<unsigned> {};

TEST_P(WakeUpZeros, AnswersOnlyTheNthZero) {
    const unsigned n = GetParam();
    DeviceModel model(OneStep(10, n));
    for (unsigned i = 1; i < n; ++i) {
        EXPECT_EQ(Feed(model, Zero()), "") << "zero " << i;
    }
    EXPECT_EQ(Feed(model, Zero()), "\xC5");
    EXPECT_EQ(model.GetCounters().steps[0].zeros, n);
}

INSTANTIATE_TEST_SUITE_P(DeviceModel, WakeUpZeros, testing::Values(1u, 2u, 5u));

TEST(DeviceModel, NeverAnswersWhenTheStepSaysNeverOrTheDeviceIsSilent) {
    Scenario silent = OneStep(10);
    silent.silent = true;
    for (Scenario scenario : {OneStep(10, 0), silent}) {
        DeviceModel model(scenario);
        for (int i = 0; i < 50; ++i) {
            EXPECT_EQ(Feed(model, Zero()), "");
        }
        EXPECT_FALSE(model.NextDeadline());
        EXPECT_EQ(model.GetCounters().steps[0].zeros, 50u);
    }
}

TEST(DeviceModel, OtherBytesDoNotWakeTheLoader) {
    DeviceModel model(OneStep(10, 2));
    EXPECT_EQ(Feed(model, "\x55\xC5"), "");
    EXPECT_EQ(Feed(model, Zero()), "");
    EXPECT_EQ(Feed(model, "\x01"), "");
    EXPECT_EQ(Feed(model, Zero()), "\xC5");
    EXPECT_EQ(model.GetCounters().steps[0].strayBytes, 3u);
}

TEST(DeviceModel, RunsTwoStepsBlockByBlock) {
    const examples::Bytes first = *examples::MakeProgram(900, 11);
    const examples::Bytes second = *examples::MakeProgram(300, 12);
    DeviceModel model(Steps({{0xC5, 1, first.size()}, {0xA3, 1, second.size()}}));

    EXPECT_EQ(Feed(model, Zero()), "\xC5");
    const std::string image = BootImage();
    EXPECT_EQ(Feed(model, image.substr(0, 100)), "");
    EXPECT_EQ(Feed(model, image.substr(100, 859)), "");
    EXPECT_EQ(Feed(model, image.substr(959)), kNext);

    const std::vector<std::string> blocks = Blocks(first);
    for (const std::string& block : blocks) {
        // Byte by byte: the answer comes with the block's last byte and not before.
        for (std::size_t i = 0; i + 1 < block.size(); ++i) {
            ASSERT_EQ(Feed(model, block.substr(i, 1)), "") << "block of L=" << int(uint8_t(block[0]));
        }
        ASSERT_EQ(Feed(model, block.substr(block.size() - 1)), kNext);
    }
    EXPECT_EQ(model.GetCounters().steps[0].completed, 1u);
    EXPECT_FALSE(model.Finished());

    // A zero after the last block wakes the second step, answered with its own byte.
    Boot(model, '\xA3');
    for (const std::string& block : Blocks(second)) {
        EXPECT_EQ(Feed(model, block), kNext);
    }
    EXPECT_TRUE(model.Finished());

    const sim::Counters& counters = model.GetCounters();
    EXPECT_EQ(counters.steps[0].blocks, blocks.size());
    EXPECT_EQ(counters.steps[0].programBytes, first.size());
    EXPECT_EQ(counters.steps[1].programBytes, second.size());
    EXPECT_EQ(counters.steps[1].bootImages, 1u);
    EXPECT_EQ(counters.received, 2 + 2 * sim::kBootImageSize + first.size() + second.size());
    EXPECT_EQ(counters.sent, 2 + 2 + blocks.size() + Blocks(second).size());
}

TEST(DeviceModel, ABlockOfLengthZeroIsNotAWakeUpZero) {
    // A program whose first block is L=0 starts with a zero byte: the device knows it is in
    // the program phase.
    DeviceModel model(OneStep(10));
    Boot(model);
    EXPECT_EQ(Feed(model, std::string("\0abcd", 5)), kNext);
    EXPECT_EQ(model.GetCounters().steps[0].zeros, 1u);
}

TEST(DeviceModel, AnEmptyProgramEndsTheStepWithTheBootAcknowledge) {
    DeviceModel model(Steps({{0xC5, 1, 0}, {0xA3, 1, 5}}));
    Boot(model);
    EXPECT_EQ(model.GetCounters().steps[0].completed, 1u);
    EXPECT_EQ(Feed(model, Zero()), "\xA3");
}

TEST(DeviceModel, BytesAfterTheLastStepAreCountedAsExtra) {
    DeviceModel model(OneStep(5));
    Boot(model);
    EXPECT_EQ(Feed(model, std::string(5, '\0')), kNext);
    EXPECT_TRUE(model.Finished());
    EXPECT_EQ(Feed(model, std::string(3, '\0')), "");
    EXPECT_EQ(model.GetCounters().extra, 3u);
}

TEST(DeviceModel, ZerosDuringALateConnectAcknowledgeAreStillWakeUpZeros) {
    Scenario scenario = OneStep(5);
    scenario.faults[Site{1, Phase::Connect, 0}].delay = 100ms;
    DeviceModel model(scenario);
    EXPECT_EQ(Feed(model, Zero(), 0ms), "");
    EXPECT_EQ(model.NextDeadline(), Time(100ms));
    EXPECT_EQ(Feed(model, Zero(), 60ms), ""); // the host's next attempt
    EXPECT_EQ(model.Transmit(99ms), "");
    EXPECT_EQ(model.Transmit(100ms), "\xC5");
    // Were the second zero taken as the image's first byte, 959 bytes would end the image.
    EXPECT_EQ(Feed(model, BootImage().substr(1), 110ms), "");
    EXPECT_EQ(Feed(model, "x", 110ms), kNext);
    EXPECT_EQ(model.GetCounters().steps[0].zeros, 2u);
}

struct FaultCase {
    const char* name;
    Site site;
    AckFault fault;
    bool alternateAck;
    std::string expected; // what the device sends at the site
};

class AckFaults : public testing::TestWithParam<FaultCase> {};

// A one-step transfer of three blocks, with the fault at one site; every other site
// answers normally and the transfer goes on after the fault.
TEST_P(AckFaults, ChangeOnlyTheirOwnAcknowledge) {
    const FaultCase& c = GetParam();
    const examples::Bytes program = *examples::MakeProgram(400, 5);
    const std::vector<std::string> blocks = Blocks(program);
    ASSERT_EQ(blocks.size(), 3u);
    Scenario scenario = OneStep(program.size());
    scenario.faults[c.site] = c.fault;
    scenario.alternateAck = c.alternateAck;
    DeviceModel model(scenario);

    auto expect = [&](const Site& site, const std::string& normal) {
        return site == c.site ? c.expected : c.alternateAck ? "\xD5" : normal;
    };
    EXPECT_EQ(Feed(model, Zero()), expect({1, Phase::Connect, 0}, "\xC5"));
    model.Transmit(Time(24h)); // let a late answer through
    EXPECT_EQ(Feed(model, BootImage()), expect({1, Phase::Boot, 0}, kNext));
    for (int k = 1; k <= 3; ++k) {
        EXPECT_EQ(Feed(model, blocks[k - 1]), expect({1, Phase::Block, k}, kNext)) << "block " << k;
    }
    EXPECT_EQ(model.GetCounters().steps[0].completed, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    DeviceModel, AckFaults,
    testing::Values(FaultCase{"MissingBoot", {1, Phase::Boot, 0}, {true, std::nullopt, 0ms}, false, ""},
                    FaultCase{"MissingBlock2", {1, Phase::Block, 2}, {true, std::nullopt, 0ms}, false, ""},
                    FaultCase{"WrongBlock1", {1, Phase::Block, 1}, {false, 0x12, 0ms}, false, "\x12"},
                    FaultCase{"WrongConnect", {1, Phase::Connect, 0}, {false, 0x11, 0ms}, false, "\x11"},
                    FaultCase{"AlternateBlock3", {1, Phase::Block, 3}, {false, 0xD5, 0ms}, false, "\xD5"},
                    FaultCase{"AlternateEverywhere", {9, Phase::Boot, 0}, {}, true, ""},
                    FaultCase{"WrongBeatsAlternate", {1, Phase::Boot, 0}, {false, 0x33, 0ms}, true, "\x33"},
                    FaultCase{"LateConnect", {1, Phase::Connect, 0}, {false, std::nullopt, 5ms}, false, ""}),
    [](const testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

TEST(DeviceModel, LateAcknowledgeLeavesAfterItsDelay) {
    Scenario scenario = OneStep(5);
    scenario.faults[Site{1, Phase::Boot, 0}].delay = 1500ms;
    DeviceModel model(scenario);
    EXPECT_EQ(Feed(model, Zero(), 0ms), "\xC5");
    EXPECT_EQ(Feed(model, BootImage(), 10ms), "");
    EXPECT_EQ(model.NextDeadline(), Time(1510ms));
    EXPECT_EQ(model.Transmit(1509ms), "");
    EXPECT_EQ(model.Transmit(1510ms), kNext);
}

TEST(DeviceModel, OutputSurroundsTheAcknowledgeInOrder) {
    Scenario scenario = OneStep(10);
    const Site block2{1, Phase::Block, 2};
    scenario.outputs = {{block2, true, "after"}, {block2, false, "OK\r\n"}, {block2, false, "\x07"}};
    scenario.faults[block2].delay = 50ms;
    DeviceModel model(scenario);
    Boot(model);
    EXPECT_EQ(Feed(model, std::string(5, '\0')), kNext);
    // Text before a late acknowledge leaves at once; the acknowledge and what follows it later.
    EXPECT_EQ(Feed(model, std::string(5, '\0'), 0ms), "OK\r\n\x07");
    EXPECT_EQ(model.Transmit(50ms), kNext + "after");
}

TEST(DeviceModel, OutputAtAMissingAcknowledgeStillLeaves) {
    Scenario scenario = OneStep(5);
    const Site boot{1, Phase::Boot, 0};
    scenario.faults[boot].missing = true;
    scenario.outputs = {{boot, false, "A"}, {boot, true, "B"}};
    DeviceModel model(scenario);
    EXPECT_EQ(Feed(model, Zero()), "\xC5");
    EXPECT_EQ(Feed(model, BootImage()), "AB");
}

TEST(DeviceModel, DisconnectsAfterTheChosenAcknowledgeAndItsOutput) {
    Scenario scenario = OneStep(15);
    const Site block1{1, Phase::Block, 1};
    scenario.disconnectAt = block1;
    scenario.outputs = {{block1, true, "bye"}};
    DeviceModel model(scenario);
    Boot(model);
    EXPECT_FALSE(model.DisconnectDue());
    EXPECT_EQ(Feed(model, std::string(5, '\0')), kNext + "bye");
    EXPECT_TRUE(model.DisconnectDue());
    EXPECT_FALSE(model.NextDeadline());
}

TEST(DeviceModel, RestartBeginsAgainAtTheFirstStep) {
    DeviceModel model(Steps({{0xC5, 2, 5}, {0xA3, 1, 5}}));
    EXPECT_EQ(Feed(model, Zero()), "");
    EXPECT_EQ(Feed(model, Zero()), "\xC5");
    EXPECT_EQ(Feed(model, BootImage().substr(0, 500)), "");
    model.Restart();
    // A fresh device: it wants two zeros again, then a whole image.
    EXPECT_EQ(Feed(model, Zero()), "");
    EXPECT_EQ(Feed(model, Zero()), "\xC5");
    EXPECT_EQ(Feed(model, BootImage()), kNext);
    EXPECT_EQ(model.GetCounters().steps[0].zeros, 4u);
}

class LinePacing : public testing::TestWithParam<unsigned> {
protected:
    // The time n bytes need on the line at the parameter's rate.
    Time Bytes(double n) const { return Time(static_cast<int64_t>(n * 10 * 1e9 / GetParam())); }
    Scenario Paced(uint64_t programSize) const {
        Scenario scenario = OneStep(programSize);
        scenario.baud = GetParam();
        return scenario;
    }
};

TEST_P(LinePacing, AnswersOnceTheImageHasCrossedTheLine) {
    DeviceModel model(Paced(5));
    model.Receive(reinterpret_cast<const uint8_t*>("\0"), 1, 0ms);
    model.Transmit(1s);
    const Time start = 2s; // the line has long been idle
    const std::string image = BootImage();
    // Two reads of one write: the second half continues the first on the line.
    model.Receive(reinterpret_cast<const uint8_t*>(image.data()), 480, start);
    model.Receive(reinterpret_cast<const uint8_t*>(image.data() + 480), 480, start + 1us);
    // 960 bytes in, then the acknowledge itself has to cross.
    const Time crossed = start + Bytes(961);
    EXPECT_EQ(model.Transmit(crossed - 1us), "");
    EXPECT_EQ(model.Transmit(crossed + 1us), kNext);
}

TEST_P(LinePacing, SendsOutputNoFasterThanTheLine) {
    Scenario scenario = Paced(5);
    scenario.outputs = {{{1, Phase::Connect, 0}, true, sim::FloodText(500)}};
    DeviceModel model(scenario);
    model.Receive(reinterpret_cast<const uint8_t*>("\0"), 1, 0ms);
    std::size_t delivered = 0;
    int transmits = 0;
    while (const auto next = model.NextDeadline()) {
        ASSERT_LT(++transmits, 1000);
        const std::size_t burst = model.Transmit(*next).size();
        EXPECT_LE(burst, 16u); // at most a UART's burst at a time
        delivered += burst;
        // Bytes delivered by now never exceed what the line can carry since the zero came in.
        EXPECT_LE(static_cast<double>(delivered), (*next).count() / (Bytes(1).count() + 0.0) + 1e-9);
    }
    EXPECT_EQ(delivered, 501u);
    EXPECT_GE(transmits, 501 / 16);
}

INSTANTIATE_TEST_SUITE_P(DeviceModel, LinePacing, testing::Values(9600u, 115200u, 921600u));

} // namespace
