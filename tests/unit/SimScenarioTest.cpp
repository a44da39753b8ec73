#include "tools/sim/Scenario.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

namespace {

using namespace std::chrono_literals;
using sim::Phase;
using sim::Site;

TEST(SimCommandLine, ReadsSites) {
    const std::vector<std::pair<std::string, Site>> valid = {
        {"1.connect", {1, Phase::Connect, 0}},
        {"2.boot", {2, Phase::Boot, 0}},
        {"3.block.17", {3, Phase::Block, 17}},
    };
    for (const auto& [text, site] : valid) {
        const auto parsed = sim::ParseSite(text);
        ASSERT_TRUE(parsed) << text;
        EXPECT_EQ(*parsed, site) << text;
    }
    for (const char* text : {"", "1", "0.connect", "1.block", "1.block.0", "1.blocks.2", "x.boot", "1.boot.1",
                             "1.connect.", "-1.boot", "1.block.2x"}) {
        EXPECT_FALSE(sim::ParseSite(text)) << text;
    }
}

TEST(SimCommandLine, ReadsBytes) {
    EXPECT_EQ(sim::ParseByte("197"), 197);
    EXPECT_EQ(sim::ParseByte("0xC5"), 0xC5);
    EXPECT_EQ(sim::ParseByte("0XfF"), 0xFF);
    EXPECT_EQ(sim::ParseByte("0"), 0);
    for (const char* text : {"256", "-1", "0x", "", "12a", " 1", "0x100"}) {
        EXPECT_FALSE(sim::ParseByte(text)) << text;
    }
}

TEST(SimCommandLine, ReadsEscapedText) {
    EXPECT_EQ(sim::ParseEscapedText("OK\\r\\nREADY"), "OK\r\nREADY");
    EXPECT_EQ(sim::ParseEscapedText("\\x07\\x00\\tz"), std::string("\x07\0\tz", 4));
    EXPECT_EQ(sim::ParseEscapedText("a\\\\b"), "a\\b");
    EXPECT_EQ(sim::ParseEscapedText("\\xd5"), "\xD5");
    for (const char* text : {"\\", "\\q", "\\x4", "\\xZZ", "ab\\"}) {
        EXPECT_FALSE(sim::ParseEscapedText(text)) << text;
    }
}

TEST(SimCommandLine, ReadsSteps) {
    std::string error;
    auto step = sim::ParseStep("ack=0xC5,zeros=3,size=1234", error);
    ASSERT_TRUE(step) << error;
    EXPECT_EQ(step->connectAck, 0xC5);
    EXPECT_EQ(step->wakeZeros, 3u);
    EXPECT_EQ(step->programSize, 1234u);

    step = sim::ParseStep("size=0,zeros=never,ack=7", error);
    ASSERT_TRUE(step) << error;
    EXPECT_EQ(step->wakeZeros, 0u);
    EXPECT_EQ(step->programSize, 0u);
    EXPECT_EQ(sim::ParseStep("ack=1,size=5", error)->wakeZeros, 1u);

    for (const char* text :
         {"size=5", "ack=1", "ack=1,size=5,zeros=0", "ack=300,size=5", "ack=1,size=-5",
          "ack=1,size=5,colour=red", "ack=1,size=5,", "ack=1,program=/nonexistent/x.b86"}) {
        error.clear();
        EXPECT_FALSE(sim::ParseStep(text, error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}

TEST(SimCommandLine, TakesTheProgramSizeFromTheFile) {
    const std::string path = testing::TempDir() + "sim-program.b86";
    std::ofstream(path, std::ios::binary) << std::string(777, '\x01');
    std::string error;
    const auto step = sim::ParseStep("ack=0xC5,program=" + path, error);
    std::remove(path.c_str());
    ASSERT_TRUE(step) << error;
    EXPECT_EQ(step->programSize, 777u);
}

TEST(SimCommandLine, ReadsAckFaults) {
    sim::AckFault fault;
    ASSERT_TRUE(sim::ParseAckFault("late:1500,byte:0x12", fault));
    EXPECT_FALSE(fault.missing);
    EXPECT_EQ(fault.byte, 0x12);
    EXPECT_EQ(fault.delay, 1500ms);
    ASSERT_TRUE(sim::ParseAckFault("alt", fault));
    EXPECT_EQ(fault.byte, 0xD5);
    EXPECT_EQ(fault.delay, 0ms);
    ASSERT_TRUE(sim::ParseAckFault("none", fault));
    EXPECT_TRUE(fault.missing);
    for (const char* text : {"", "late", "late:x", "byte:256", "sometimes", "none,"}) {
        EXPECT_FALSE(sim::ParseAckFault(text, fault)) << text;
    }
}

TEST(SimCommandLine, BuildsTheWholeScenario) {
    const sim::ParseResult result = sim::ParseCommandLine({
        "--step",
        "ack=0xC5,size=100",
        "--step",
        "ack=0xA3,zeros=2,size=200",
        "--ack",
        "2.block.3=late:250",
        "--output",
        "before:1.connect=HELLO\\r\\n",
        "--flood",
        "after:2.boot=1000",
        "--output",
        "after:1.connect=\\x07",
        "--disconnect",
        "2.block.4",
        "--baud",
        "115200",
        "--alt-ack",
        "--link",
        "/tmp/com12",
        "--record",
        "rec",
        "--summary",
        "sum",
        "--idle-timeout",
        "5",
        "--linger",
        "0",
        "--restart-on-reopen",
    });
    ASSERT_EQ(result.error, "");
    const sim::Options& options = result.options;
    const sim::Scenario& scenario = options.scenario;
    ASSERT_EQ(scenario.steps.size(), 2u);
    EXPECT_EQ(scenario.steps[1].connectAck, 0xA3);
    EXPECT_EQ(scenario.steps[1].wakeZeros, 2u);
    EXPECT_EQ(scenario.faults.at(Site{2, Phase::Block, 3}).delay, 250ms);
    ASSERT_EQ(scenario.outputs.size(), 3u);
    EXPECT_EQ(scenario.outputs[0].bytes, "HELLO\r\n");
    EXPECT_FALSE(scenario.outputs[0].afterAck);
    EXPECT_EQ(scenario.outputs[1].site, (Site{2, Phase::Boot, 0}));
    EXPECT_EQ(scenario.outputs[1].bytes.size(), 1000u);
    EXPECT_TRUE(scenario.outputs[2].afterAck);
    EXPECT_EQ(scenario.disconnectAt, (Site{2, Phase::Block, 4}));
    EXPECT_EQ(scenario.baud, 115200u);
    EXPECT_TRUE(scenario.alternateAck);
    EXPECT_EQ(options.linkPath, "/tmp/com12");
    EXPECT_EQ(options.recordPath, "rec");
    EXPECT_EQ(options.summaryPath, "sum");
    EXPECT_EQ(options.idleTimeout, 5000ms);
    EXPECT_EQ(options.linger, 0ms);
    EXPECT_TRUE(options.restartOnReopen);
}

TEST(SimCommandLine, RefusesWhatItCannotPlay) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"--baud", "9600"},
        {"--step", "ack=1,size=5", "--ack", "2.boot=none"},
        {"--step", "ack=1,size=5", "--output", "after:3.connect=x"},
        {"--step", "ack=1,size=5", "--disconnect", "2.block.1"},
        {"--step", "ack=1,size=5", "--output", "during:1.connect=x"},
        {"--step", "ack=1,size=5", "--output", "1.connect=x"},
        {"--step", "ack=1,size=5", "--flood", "after:1.boot=many"},
        {"--step", "ack=1,size=5", "--ack", "1.boot"},
        {"--step", "ack=1,size=5", "--idle-timeout"},
        {"--step", "ack=1,size=5", "--linger", "-1"},
        {"--step", "ack=1,size=5", "--verbose"},
    };
    for (const auto& args : bad) {
        const sim::ParseResult result = sim::ParseCommandLine(args);
        EXPECT_FALSE(result.error.empty()) << testing::PrintToString(args);
    }
    EXPECT_TRUE(sim::ParseCommandLine({"--help"}).help);
}

TEST(SimCommandLine, FloodsWithPrintableLinesOfTheExactSize) {
    for (uint64_t count : {0u, 1u, 63u, 64u, 65u, 10000u}) {
        const std::string text = sim::FloodText(count);
        EXPECT_EQ(text.size(), count);
        for (char c : text) {
            ASSERT_TRUE((c >= 0x20 && c <= 0x7E) || c == '\r' || c == '\n') << int(c);
        }
    }
    EXPECT_EQ(sim::FloodText(64).substr(62), "\r\n");
}

} // namespace
