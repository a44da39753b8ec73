#include "config/CodePage1252.h"
#include "config/IniProfileReader.h"
#include "config/win32/Win32ProfileReader.h"
#include "tests/support/ProfileConformance.h"
#include "tests/win32/Win32TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

namespace {

std::string CurrentFolder() {
    char path[MAX_PATH] = {};
    ::GetCurrentDirectoryA(MAX_PATH, path);
    return std::string(path) + "\\";
}

class ProfileConformance : public testing::TestWithParam<ProfileCase> {};

TEST_P(ProfileConformance, Win32ReaderAnswersAsTable) {
    const ProfileCase& c = GetParam();
    Win32ProfileReader reader;
    // A file of its own per case: Wine keeps profiles it has read.
    const ProfileOutcome outcome = RunProfileCase(reader, c, CurrentFolder(), c.name + ".cfg");
    EXPECT_EQ(outcome.result, c.expected);
    EXPECT_EQ(testing::PrintToString(outcome.written), testing::PrintToString(c.written));
    EXPECT_TRUE(outcome.restUntouched) << "bytes written after the final zero";
}

INSTANTIATE_TEST_SUITE_P(Wine8, ProfileConformance, testing::ValuesIn(ProfileCases()),
                         [](const testing::TestParamInfo<ProfileCase>& info) { return info.param.name; });

// The native reader's code page against the platform's, for every byte and every unit.
TEST(CodePage1252, AgreesWithThePlatform) {
    ASSERT_EQ(::GetACP(), 1252u);
    for (unsigned byte = 0; byte < 256; ++byte) {
        const char in = static_cast<char>(byte);
        wchar_t wide = 0;
        ASSERT_EQ(::MultiByteToWideChar(CP_ACP, 0, &in, 1, &wide, 1), 1);
        EXPECT_EQ(AnsiToWide(static_cast<unsigned char>(byte)), static_cast<char16_t>(wide)) << byte;
    }
    for (unsigned unit = 0; unit < 0x10000; ++unit) {
        const wchar_t in = static_cast<wchar_t>(unit);
        char out = 0;
        ASSERT_EQ(::WideCharToMultiByte(CP_ACP, 0, &in, 1, &out, 1, nullptr, nullptr), 1);
        ASSERT_EQ(WideToAnsi(static_cast<char16_t>(unit)), static_cast<unsigned char>(out))
            << std::hex << unit;
    }
}

// Random INI-like files read through both readers: every call must give the same answer.
class ProfileAgreement : public testing::Test {
protected:
    std::string RandomLine() {
        static const char* const pieces[] = {
            "[S]", "[ s ]", "[S",    "[]",  "[a]b]", "[T]x=1", "k",     "K",       " k ",  "",     "=",
            ";c",  "#h",    "\"q\"", "'q'", "\"",    " ",      "\t",    "\x1a",    "\xa0", "\xe9", "\xc4",
            "=v",  "==",    "0x1F",  "-5",  "197",   "12abc",  "Step1", "AckByte", "x y"};
        std::string line;
        const int count = Pick(6);
        for (int i = 0; i < count; ++i) {
            line += pieces[Pick(static_cast<int>(std::size(pieces)))];
        }
        if (Pick(8) == 0) {
            line += '\0';
        }
        static const char* const ends[] = {"\r\n", "\n", "\r", "\n\r", ""};
        return line + ends[Pick(5)];
    }
    std::string RandomFile() {
        std::string bytes;
        static const char* const starts[] = {"", "", "", "\xef\xbb\xbf", "\xff\xfe"};
        bytes = starts[Pick(5)];
        const int lines = Pick(20);
        for (int i = 0; i < lines; ++i) {
            bytes += RandomLine();
        }
        return bytes;
    }
    int Pick(int below) { return static_cast<int>(random() % static_cast<unsigned>(below)); }

    std::mt19937 random{20250607};
};

TEST_F(ProfileAgreement, NativeReaderAnswersAsWin32Reader) {
    const char* const names[] = {nullptr, "S",   "s", " S ", "",   "T", "a]b",
                                 "k",     " k ", "K", ";c",  "#h", "=", "[S"};
    const unsigned sizes[] = {1, 2, 3, 4, 5, 8, 30, 260};
    IniProfileReader native;
    Win32ProfileReader platform;
    for (int file = 0; file < 100; ++file) {
        const std::string path = CurrentFolder() + "agree" + std::to_string(file) + ".cfg";
        const std::string bytes = RandomFile();
        {
            std::ofstream out(path, std::ios::binary);
            out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        }
        for (const char* section : names) {
            for (const char* key : names) {
                if (section == nullptr && key != nullptr && *key != 'k') {
                    continue;
                }
                const unsigned size = sizes[Pick(static_cast<int>(std::size(sizes)))];
                std::string a(size + 8, '\xCC');
                std::string b(size + 8, '\xCC');
                const unsigned lengthA = native.GetString(section, key, "'d' ", a.data(), size, path);
                const unsigned lengthB = platform.GetString(section, key, "'d' ", b.data(), size, path);
                const std::string where = testing::PrintToString(bytes) + " [" +
                                          (section ? section : "(null)") + "] " + (key ? key : "(null)") +
                                          " size " + std::to_string(size);
                ASSERT_EQ(lengthA, lengthB) << where;
                ASSERT_EQ(testing::PrintToString(a), testing::PrintToString(b)) << where;
                ASSERT_EQ(native.GetInt(section, key, 7, path), platform.GetInt(section, key, 7, path))
                    << where;
            }
        }
        std::remove(path.c_str());
    }
}

} // namespace
