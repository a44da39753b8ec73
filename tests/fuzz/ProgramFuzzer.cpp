// libFuzzer target: arbitrary bytes as the program file (.B86) of a step, and as its boot file
// (.BIN), carried through the download thread — the structure check and the block walk — over
// the scripted fake platform with a device that acknowledges everything. Rules: no crash or
// sanitizer report; what goes out lies within the file, in its order; the blocks sent are
// exactly those the check counted, each as its length byte says; a file that fails the check
// sends no block. Any broken rule aborts, so that libFuzzer keeps the input.
#include "app/MessageIds.h"
#include "engine/TransferSession.h"
#include "tests/unit/support/EngineRig.h"
#include "tests/unit/support/FakeEnginePlatform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

using namespace enginefake;

namespace {

void Require(bool rule) {
    if (!rule) {
        std::abort();
    }
}

constexpr uint32_t kImageSize = 960;
const std::vector<uint8_t> kBootFile(100, 0x5A);
const std::vector<uint8_t> kProgramFile{0, 1, 2, 3, 4}; // one block of L = 0

struct Outcome {
    std::vector<WriteRecord> writes;
    std::vector<Post> posted;
    uint32_t blockCount = 0;
    uint64_t programAsked = 0; // the end of the furthest range read from the program file
};

// One step with the given files, to its end.
Outcome Transfer(const std::vector<uint8_t>& boot, const std::vector<uint8_t>& program) {
    auto platform = std::make_shared<FakeEnginePlatform>();
    auto session = std::make_shared<TransferSession>(platform, platform->window, false);
    ScriptedLoader loader(*platform, [&session]() -> TransferSession& { return *session; });
    platform->files["boot.bin"].content = boot;
    platform->files["prog.b86"].content = program;
    std::vector<std::unique_ptr<LoadingStep>> steps;
    steps.push_back(std::make_unique<LoadingStep>());
    steps.back()->bootFile = "boot.bin";
    steps.back()->firmwareFile = "prog.b86";
    steps.back()->connectAck = kConnectAck;
    steps.back()->bootAck = kBootAck;
    steps.back()->blockAck = kBlockAck;
    session->SetSteps(steps);
    DownloadThreadProc(*session, platform->NewPort());
    Require(platform->OpenHandleCount("file") == 0);
    Require(!testing::UnitTest::GetInstance()->ad_hoc_test_result().Failed()); // the fake saw no misuse
    return {platform->writes, Posts(platform->posted), session->StepAt(0)->blockCount,
            platform->files["prog.b86"].furthestAsked};
}

// The structure as the file format defines it: blocks of L + 5 bytes that fill the file exactly.
bool Blocks(const std::vector<uint8_t>& file, uint32_t& count) {
    size_t position = 0;
    count = 0;
    while (position < file.size()) {
        size_t length = file[position] + 5u;
        if (length > file.size() - position) {
            return false;
        }
        position += length;
        ++count;
    }
    return true;
}

void CheckProgram(const std::vector<uint8_t>& program) {
    const Outcome outcome = Transfer(kBootFile, program);
    uint32_t count = 0;
    const bool valid = Blocks(program, count);
    // The wake-up byte and the boot image go first; then only blocks.
    Require(outcome.writes.size() >= 2 && outcome.writes[1].bytes.size() == kImageSize);
    std::vector<uint8_t> sent;
    for (size_t i = 2; i < outcome.writes.size(); ++i) {
        const std::vector<uint8_t>& block = outcome.writes[i].bytes;
        Require(!block.empty() && block.size() == block[0] + 5u);
        sent.insert(sent.end(), block.begin(), block.end());
    }
    Require(sent.size() <= program.size() && std::equal(sent.begin(), sent.end(), program.begin()));
    Require(outcome.programAsked <= std::max<size_t>(program.size(), 1)); // nothing read past the file
    const size_t blocksSent = outcome.writes.size() - 2;
    if (!valid) {
        Require(blocksSent == 0);
        Require(outcome.posted.back() == TransferError(IDS_INVALID_B86_FORMAT, 0));
        return;
    }
    Require(outcome.blockCount == count && blocksSent == count && sent == program);
    Require(outcome.posted.back() ==
            (count == 0 ? TransferError(IDS_ERROR_READING_B86, 0) : State(IDS_DOWNLOAD_FINALLY_COMPLETED)));
}

void CheckBoot(const std::vector<uint8_t>& boot) {
    const Outcome outcome = Transfer(boot, kProgramFile);
    if (boot.size() > kImageSize) {
        Require(outcome.writes.size() == 1);
        Require(outcome.posted.back() ==
                TransferError(IDS_BIN_TOO_LARGE, static_cast<uint32_t>(boot.size())));
        return;
    }
    std::vector<uint8_t> image = boot;
    image.resize(kImageSize, 0xFF);
    Require(outcome.writes.size() == 3 && outcome.writes[1].bytes == image);
    Require(outcome.writes[2].bytes == kProgramFile);
    Require(outcome.posted.back() == State(IDS_DOWNLOAD_FINALLY_COMPLETED));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> bytes(data, data + size);
    CheckProgram(bytes);
    CheckBoot(bytes);
    return 0;
}
