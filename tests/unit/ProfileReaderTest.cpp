#include "config/CodePage1252.h"
#include "config/IniProfileReader.h"
#include "tests/support/ProfileConformance.h"
#include "tests/unit/support/ScratchFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

void Write(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

std::string Read(IProfileReader& reader, const char* section, const char* key, const std::string& path,
                 const char* defaultText = "default") {
    return reader.ReadString(section, key, defaultText, 2047, path);
}

class ProfileConformance : public testing::TestWithParam<ProfileCase> {};

TEST_P(ProfileConformance, NativeReaderAnswersAsWine) {
    const ProfileCase& c = GetParam();
    ScratchFolder folder;
    ASSERT_FALSE(folder.Path().empty());
    IniProfileReader reader;
    const ProfileOutcome outcome = RunProfileCase(reader, c, folder.Path(), "case.cfg");
    EXPECT_EQ(outcome.result, c.expected);
    EXPECT_EQ(testing::PrintToString(outcome.written), testing::PrintToString(c.written));
    EXPECT_TRUE(outcome.restUntouched) << "bytes written after the final zero";
}

INSTANTIATE_TEST_SUITE_P(Wine8, ProfileConformance, testing::ValuesIn(ProfileCases()),
                         [](const testing::TestParamInfo<ProfileCase>& info) { return info.param.name; });

class NativeProfileReader : public testing::Test {
protected:
    ScratchFolder folder;
    IniProfileReader reader;
    std::string File(const std::string& name) const { return folder.Path() + name; }
};

// The reader keeps the last file parsed; an edited file must be read anew.
TEST_F(NativeProfileReader, SeesEditsOfTheFile) {
    const std::string path = File("edit.cfg");
    Write(path, "[S]\nk=1\n");
    EXPECT_EQ(Read(reader, "S", "k", path), "1");
    Write(path, "[S]\nk=22\n");
    EXPECT_EQ(Read(reader, "S", "k", path), "22");
    // Same size: an editor's later save changes the time.
    const fs::file_time_type before = fs::last_write_time(path);
    Write(path, "[S]\nk=33\n");
    fs::last_write_time(path, before + std::chrono::seconds(2));
    EXPECT_EQ(Read(reader, "S", "k", path), "33");
}

TEST_F(NativeProfileReader, KeepsFilesApart) {
    Write(File("a.cfg"), "[S]\nk=a\n");
    Write(File("b.cfg"), "[S]\nk=b\n");
    EXPECT_EQ(Read(reader, "S", "k", File("a.cfg")), "a");
    EXPECT_EQ(Read(reader, "S", "k", File("b.cfg")), "b");
    EXPECT_EQ(Read(reader, "S", "k", File("a.cfg")), "a");
}

TEST_F(NativeProfileReader, FileThatTurnsUnreadableIsNotServedFromMemory) {
    const std::string path = File("gone.cfg");
    Write(path, "[S]\nk=1\n");
    EXPECT_EQ(Read(reader, "S", "k", path), "1");
    fs::remove(path);
    fs::create_directory(path);
    EXPECT_EQ(Read(reader, "S", "k", path, "'q'"), "'q'");
}

TEST_F(NativeProfileReader, FifoReadsAsUnreadableWithoutWaiting) {
    const std::string path = File("fifo.cfg");
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    EXPECT_EQ(Read(reader, "S", "k", path, "'q'"), "'q'");
    EXPECT_EQ(reader.GetInt("S", "k", 4, path), 4u);
}

TEST_F(NativeProfileReader, FileAbove64MebibytesReadsAsUnreadable) {
    const std::string path = File("huge.cfg");
    Write(path, "[S]\nk=1\n");
    EXPECT_EQ(Read(reader, "S", "k", path), "1");
    fs::resize_file(path, (uintmax_t{64} << 20) + 1);
    EXPECT_EQ(Read(reader, "S", "k", path, "'q'"), "'q'");
}

TEST_F(NativeProfileReader, TakesBackslashesAsSeparators) {
    fs::create_directory(File("sub"));
    Write(File("sub/x.cfg"), "[S]\nk=1\n");
    EXPECT_EQ(Read(reader, "S", "k", folder.Path() + "sub\\x.cfg"), "1");
}

TEST(CodePage1252, EveryByteComesBack) {
    for (unsigned byte = 0; byte < 256; ++byte) {
        EXPECT_EQ(WideToAnsi(AnsiToWide(static_cast<unsigned char>(byte))), byte) << byte;
    }
}

} // namespace
