#include "tests/support/ProfileConformance.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

using namespace std::string_literals;

namespace {

using Name = std::optional<std::string>;
const Name kNull;

constexpr unsigned char kGuard = 0xCC;
constexpr unsigned kGuardLength = 16;

ProfileCase Text(std::string name, std::string bytes, Name section, Name key, Name defaultText, unsigned size,
                 unsigned expected, std::string written) {
    ProfileCase c;
    c.name = std::move(name);
    c.content = [bytes = std::move(bytes)] { return bytes; };
    c.section = std::move(section);
    c.key = std::move(key);
    c.defaultText = std::move(defaultText);
    c.size = size;
    c.expected = expected;
    c.written = std::move(written);
    return c;
}

ProfileCase Integer(std::string name, std::string bytes, Name section, Name key, int defaultValue,
                    unsigned expected) {
    ProfileCase c;
    c.name = std::move(name);
    c.content = [bytes = std::move(bytes)] { return bytes; };
    c.call = ProfileCase::Call::Int;
    c.section = std::move(section);
    c.key = std::move(key);
    c.defaultValue = defaultValue;
    c.expected = expected;
    return c;
}

// A case whose file is too large to hold while the case waits to run.
ProfileCase MadeLater(ProfileCase c, std::function<std::string()> make) {
    c.content = std::move(make);
    return c;
}

ProfileCase OnFile(ProfileCase c, ProfileCase::File file) {
    c.file = file;
    return c;
}

std::string Utf16(const std::u16string& text, bool bigEndian) {
    std::string bytes;
    for (char16_t unit : text) {
        const char high = static_cast<char>(unit >> 8);
        const char low = static_cast<char>(unit & 0xFF);
        bytes += bigEndian ? high : low;
        bytes += bigEndian ? low : high;
    }
    return bytes;
}

void AddTruncation(std::vector<ProfileCase>& cases) {
    const std::string file = "[S]\r\nabc=1234567890\r\nk2=v\r\n";
    cases.push_back(Text("ValueWithRoomToSpare", file, "S", "abc", "d", 12, 10, "1234567890\0"s));
    cases.push_back(Text("ValueFillsBuffer", file, "S", "abc", "d", 11, 10, "1234567890\0"s));
    cases.push_back(Text("ValueCutToSizeMinusOne", file, "S", "abc", "d", 10, 9, "123456789\0"s));
    cases.push_back(Text("ValueInTwoBytes", file, "S", "abc", "d", 2, 1, "1\0"s));
    cases.push_back(Text("ValueInOneByte", file, "S", "abc", "d", 1, 0, "\0"s));
    cases.push_back(Text("ValueInNoBuffer", file, "S", "abc", "d", 0, 0, ""));
    cases.push_back(
        Text("MissingKeyGivesDefault", file, "S", "nokey", "defaultval", 40, 10, "defaultval\0"s));
    cases.push_back(Text("DefaultIsCutLikeValue", file, "S", "nokey", "defaultval", 4, 3, "def\0"s));
    cases.push_back(Text("MissingSectionGivesDefault", file, "T", "abc", "dflt", 40, 4, "dflt\0"s));
    cases.push_back(Text("NullDefaultGivesEmpty", file, "S", "nokey", kNull, 40, 0, "\0"s));
    cases.push_back(Text("KeyListFits", file, "S", kNull, "d", 9, 7, "abc\0k2\0\0"s));
    cases.push_back(Text("KeyListExactFitCountsAsCut", file, "S", kNull, "d", 8, 6, "abc\0k2\0"s));
    cases.push_back(Text("KeyListCutInSecondName", file, "S", kNull, "d", 7, 5, "abc\0k\0"s));
    cases.push_back(Text("KeyListCutAfterFirstName", file, "S", kNull, "d", 6, 4, "abc\0\0"s));
    cases.push_back(Text("KeyListFirstNameOnly", file, "S", kNull, "d", 5, 3, "abc\0"s));
    cases.push_back(Text("KeyListCutInFirstName", file, "S", kNull, "d", 3, 1, "a\0"s));
    cases.push_back(Text("KeyListInTwoBytesGivesDefault", file, "S", kNull, "d", 2, 1, "d\0"s));
    cases.push_back(Text("KeyListInOneByte", file, "S", kNull, "d", 1, 0, "\0"s));
    cases.push_back(
        Text("KeyListOfMissingSectionGivesRawDefault", file, "T", kNull, "'q' ", 40, 4, "'q' \0"s));
    cases.push_back(Text("SectionNames", file + "[T]\r\n", kNull, kNull, "d", 40, 4, "S\0T\0\0"s));
    cases.push_back(Text("SectionNamesCut", file, kNull, kNull, "d", 3, 1, "S\0"s));
    cases.push_back(Text("SectionNamesIgnoreKey", file + "[T]\r\n", kNull, "abc", "d", 40, 4, "S\0T\0\0"s));
}

void AddProgramLimits(std::vector<ProfileCase>& cases) {
    std::string steps = "[LoadingSteps]\r";
    std::string listed;
    for (int i = 0; i < 600; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "Step%04d", i);
        steps += name + "=t\r"s;
        if (i < 454) {
            listed += name + "\0"s;
        }
    }
    // 454 names of nine bytes, then the 455th cut to seven characters.
    cases.push_back(
        Text("KeyListOf4095Bytes", steps, "LoadingSteps", kNull, "", 4095, 4093, listed + "Step045\0"s));
    cases.push_back(Text("KeyBeyondTheListIsRead", steps, "LoadingSteps", "Step0599", "", 2047, 1, "t\0"s));
    cases.push_back(Text("LongKeyNameCutIn4095Bytes", "[S]\n" + std::string(5000, 'K') + "=v\nm=1\n", "S",
                         kNull, "", 4095, 4093, std::string(4093, 'K') + "\0"s));
    const std::string description = "[LoadingSteps]\nDescription=" + std::string(3000, 'x') + "\n";
    cases.push_back(Text("DescriptionCutTo2046", description, "LoadingSteps", "description", "", 2047, 2046,
                         std::string(2046, 'x') + "\0"s));
    cases.push_back(Text("FileNameCutTo259", "[Step1]\r\nBootFile=" + std::string(300, 'b') + ".BIN\r\n",
                         "Step1", "BootFile", "", 260, 259, std::string(259, 'b') + "\0"s));
    const auto hugeLine = [] { return "[S]\nk=" + std::string(10'000'000, 'x'); };
    const auto hugeLineAndKey = [hugeLine] { return hugeLine() + "\nm=2\n"; };
    cases.push_back(
        MadeLater(Text("TenMegabyteLineCut", "", "S", "k", "", 2047, 2046, std::string(2046, 'x') + "\0"s),
                  hugeLineAndKey));
    cases.push_back(
        MadeLater(Text("KeyAfterTenMegabyteLine", "", "S", "m", "", 260, 1, "2\0"s), hugeLineAndKey));
    cases.push_back(MadeLater(
        Text("TenMegabytesWithoutLineEnd", "", "S", "k", "", 260, 259, std::string(259, 'x') + "\0"s),
        hugeLine));
}

void AddBlanksAndNames(std::vector<ProfileCase>& cases) {
    const std::string blanks = "[ S ]\r\n a = 1 \r\n[T]\r\n  b  =  x y  \r\n\tc\t=\t2\t\r\n";
    cases.push_back(Text("BlanksAroundNameAndValue", blanks, "S", "a", "d", 40, 1, "1\0"s));
    cases.push_back(Text("BlanksAroundRequestedSection", blanks, " \tS\t ", "a", "d", 40, 1, "1\0"s));
    cases.push_back(Text("BlanksAroundRequestedKey", blanks, "T", " b ", "d", 40, 3, "x y\0"s));
    cases.push_back(Text("BlanksInsideValueKept", blanks, "T", "b", "d", 40, 3, "x y\0"s));
    cases.push_back(Text("TabsAroundNameAndValue", blanks, "T", "c", "d", 40, 1, "2\0"s));
    cases.push_back(Text("KeyListOfSectionWithBlanks", blanks, "S", kNull, "d", 40, 2, "a\0\0"s));
    cases.push_back(Text("KeyListRequestNotTrimmed", blanks, " S ", kNull, "d", 40, 1, "d\0"s));
    cases.push_back(Text("SectionNamesTrimmed", blanks, kNull, kNull, "d", 40, 4, "S\0T\0\0"s));
    cases.push_back(Text("CaseIgnored", blanks, "t", "B", "d", 40, 3, "x y\0"s));
    cases.push_back(
        Text("ControlBlanks", "[S]\n\x1a\x0bk\x0c\x1a=\x1a\x0b\x31\x0c\x1a\n", "S", "k", "d", 40, 1, "1\0"s));
    cases.push_back(Text("NoBreakSpaceIsNoBlank", "[S]\nk\xa0=1\n", "S", "k", "d", 40, 1, "d\0"s));
    cases.push_back(Text("NoBreakSpaceInName", "[S]\nk\xa0=1\n", "S", "k\xa0", "d", 40, 1, "1\0"s));
    cases.push_back(Text("CaseOfLettersBeyondAsciiCounts", "[\xc4]\nk=1\n", "\xe4", "k", "d", 40, 1, "d\0"s));
    cases.push_back(Text("LettersBeyondAsciiMatch", "[\xc4]\nk=\xe9\n", "\xc4", "K", "d", 40, 1, "\xe9\0"s));
    cases.push_back(Text("EqualsInValue", "[S]\na=b=c\n", "S", "a", "d", 40, 3, "b=c\0"s));
    cases.push_back(Text("BlankInsideName", "[S]\n a b = 2 \n", "S", "a b", "d", 40, 1, "2\0"s));
    cases.push_back(Text("EmptyValue", "[S]\nk=\n", "S", "k", "d", 40, 0, "\0"s));
    cases.push_back(Text("BlankValue", "[S]\nk=   \n", "S", "k", "d", 40, 0, "\0"s));
}

void AddCommentsAndOddLines(std::vector<ProfileCase>& cases) {
    const std::string odd = "[S]\r\n;c=1\r\n;plain\r\nnoeq\r\nk=1\r\n#h=2\r\n";
    cases.push_back(
        Text("KeyListSkipsCommentsAndLinesWithoutEquals", odd, "S", kNull, "d", 40, 5, "k\0#h\0\0"s));
    cases.push_back(Text("CommentKeyCanBeRead", odd, "S", ";c", "d", 40, 1, "1\0"s));
    cases.push_back(Text("CommentWithoutEqualsHasNoValue", odd, "S", ";plain", "d", 40, 1, "d\0"s));
    cases.push_back(Text("LineWithoutEqualsHasNoValue", odd, "S", "noeq", "d", 40, 1, "d\0"s));
    cases.push_back(Text("HashIsNoComment", odd, "S", "#h", "d", 40, 1, "2\0"s));
    const std::string unnamed = "[S]\r\n=v1\r\n=v2\r\nk=1\r\n";
    cases.push_back(Text("EmptyKeyNameIsRead", unnamed, "S", "", "d", 40, 2, "v1\0"s));
    cases.push_back(
        Text("KeyListStartingWithEmptyNameGivesDefault", unnamed, "S", kNull, "d", 40, 1, "d\0"s));
    cases.push_back(
        Text("EmptyNameInsideKeyList", "[S]\nk=1\n=v\nm=2\n", "S", kNull, "d", 40, 5, "k\0\0m\0\0"s));
    // A second key without a name directly after the first is dropped.
    cases.push_back(Text("SecondEmptyNameDropped", "[S]\nk=1\n=\n=v2\n", "S", kNull, "d", 40, 3, "k\0\0\0"s));
    cases.push_back(Text("FirstEmptyNameWins", "[S]\nk=1\n=\n=v2\n", "S", "", "d", 40, 0, "\0"s));
    cases.push_back(
        Text("EmptyNameAfterLineWithoutEquals", "[S]\nk=1\nnoeq\n=v2\n", "S", "", "d", 40, 2, "v2\0"s));
    cases.push_back(Text("EmptyNamePerSection", "[S]\n=a\n[T]\n=b\n", "T", "", "d", 40, 1, "b\0"s));
    const std::string duplicates = "[S]\r\nk=1\r\nk=2\r\nK=3\r\n[T]\r\nx=1\r\n[s]\r\nk=9\r\nm=8\r\n";
    cases.push_back(Text("DuplicateKeysAllListed", duplicates, "S", kNull, "d", 40, 6, "k\0k\0K\0\0"s));
    cases.push_back(Text("FirstDuplicateKeyWins", duplicates, "S", "k", "d", 40, 1, "1\0"s));
    cases.push_back(Text("SecondSectionOfSameNameUnseen", duplicates, "S", "m", "d", 40, 1, "d\0"s));
    cases.push_back(Text("DuplicateSectionsAllNamed", duplicates, kNull, kNull, "d", 40, 6, "S\0T\0s\0\0"s));
    cases.push_back(Text("FirstKeyWithoutValueHidesLaterOne", "[S]\nk\nk=1\n", "S", "k", "d", 40, 1, "d\0"s));
}

void AddSectionLines(std::vector<ProfileCase>& cases) {
    const std::string headers = "[S\nk=1\n[S]junk\nm=2\n[a]b]\nn=3\n  [T]  \nt=1\n[U]x=1\n";
    cases.push_back(Text("SectionHeaders", headers, kNull, kNull, "d", 80, 10, "S\0a]b\0T\0U\0\0"s));
    cases.push_back(Text("TextAfterHeaderIgnored", headers, "S", kNull, "d", 40, 2, "m\0\0"s));
    cases.push_back(Text("NameRunsToLastBracket", headers, "a]b", "n", "d", 40, 1, "3\0"s));
    cases.push_back(Text("KeyOnHeaderLineIgnored", headers, "U", "x", "d", 40, 1, "d\0"s));
    cases.push_back(Text("UnclosedHeaderIsKey", headers, "", "k", "d", 40, 1, "1\0"s));
    const std::string unnamed = "a=1\r\nb=2\r\n[]\r\nc=3\r\n[S]\r\nd=4\r\n";
    cases.push_back(Text("KeysBeforeFirstSection", unnamed, "", kNull, "d", 40, 4, "a\0b\0\0"s));
    cases.push_back(Text("KeyBeforeFirstSectionRead", unnamed, "", "a", "d", 40, 1, "1\0"s));
    cases.push_back(Text("EmptySectionNameAfterFirstUnseen", unnamed, "", "c", "d", 40, 1, "d\0"s));
    cases.push_back(Text("SectionNamesSkipEmptyName", unnamed, kNull, kNull, "d", 40, 2, "S\0\0"s));
}

void AddLineEndsAndNul(std::vector<ProfileCase>& cases) {
    cases.push_back(Text("CarriageReturnOnly", "[S]\rk=1\rm=2\r", "S", kNull, "d", 40, 4, "k\0m\0\0"s));
    cases.push_back(Text("CarriageReturnOnlyValue", "[S]\rk=1\rm=2\r", "S", "m", "d", 40, 1, "2\0"s));
    cases.push_back(Text("MixedLineEnds", "[S]\rk=1\rm=2\nn=3\r\n", "S", kNull, "d", 40, 6, "k\0m\0n\0\0"s));
    cases.push_back(Text("LineFeedWithoutFinalEnd", "[S]\nk=1\nm=2", "S", "m", "d", 40, 1, "2\0"s));
    cases.push_back(Text("LineFeedCarriageReturn", "[S]\n\rk=1\n\r\n", "S", kNull, "d", 40, 2, "k\0\0"s));
    const std::string nul = "[S]\r\nab\0c=5\r\nx=1\0"
                            "2\r\n\0y=3\r\n[T\0U]\r\nq=1\r\n"s;
    cases.push_back(Text("NulEndsKeyNames", nul, "S", kNull, "d", 40, 6, "ab\0x\0\0\0"s));
    cases.push_back(Text("NulInsideName", nul, "S", "ab", "d", 40, 1, "5\0"s));
    cases.push_back(Text("NulInsideValue", nul, "S", "x", "d", 40, 1, "1\0"s));
    cases.push_back(Text("NulStartsName", nul, "S", "", "d", 40, 1, "3\0"s));
    cases.push_back(Text("NulInsideSectionName", nul, "T", "q", "d", 40, 1, "1\0"s));
    cases.push_back(Text("NulStartsValue", "[S]\nm=\0x\n"s, "S", "m", "d", 40, 0, "\0"s));
    cases.push_back(Text("NulInsideQuotes", "[S]\nq=\"\0\"\n"s, "S", "q", "d", 40, 1, "\"\0"s));
}

void AddQuotesAndDefaults(std::vector<ProfileCase>& cases) {
    const std::string quotes =
        "[S]\r\na=\"q\"\r\nb='q'\r\nc=\"q'\r\nd=\"\r\ne=\"\"\r\nf=\"a\"b\"\r\ng= \"x\" \r\n";
    cases.push_back(Text("DoubleQuotesRemoved", quotes, "S", "a", "d", 40, 1, "q\0"s));
    cases.push_back(Text("SingleQuotesRemoved", quotes, "S", "b", "d", 40, 1, "q\0"s));
    cases.push_back(Text("UnmatchedQuotesKept", quotes, "S", "c", "d", 40, 3, "\"q'\0"s));
    cases.push_back(Text("LoneQuoteKept", quotes, "S", "d", "d", 40, 1, "\"\0"s));
    cases.push_back(Text("EmptyQuotes", quotes, "S", "e", "d", 40, 0, "\0"s));
    cases.push_back(Text("InnerQuoteKept", quotes, "S", "f", "d", 40, 3, "a\"b\0"s));
    cases.push_back(Text("QuotesInsideBlanks", quotes, "S", "g", "d", 40, 1, "x\0"s));
    cases.push_back(Text("QuotedValueInTwoBytes", quotes, "S", "a", "d", 2, 0, "\0"s));
    cases.push_back(Text("QuotedValueInThreeBytes", quotes, "S", "a", "d", 3, 1, "q\0"s));
    cases.push_back(Text("CutQuotedValueKeepsInnerQuote", quotes, "S", "f", "d", 3, 2, "a\"\0"s));
    cases.push_back(
        Text("QuotedValueWithTrailingBlanks", "[S]\nk=\"abc\"   \n", "S", "k", "d", 4, 2, "ab\0"s));
    cases.push_back(Text("QuotedDefaultStripped", quotes, "S", "nokey", "\"dq\"", 40, 2, "dq\0"s));
    cases.push_back(Text("QuotedDefaultCut", quotes, "S", "nokey", "'dq'", 3, 1, "d\0"s));
    cases.push_back(Text("DefaultLosesTrailingSpaces", quotes, "S", "nokey", "d  ", 40, 1, "d\0"s));
    cases.push_back(Text("BlankDefaultKeepsOneSpace", quotes, "S", "nokey", "   ", 40, 1, " \0"s));
    cases.push_back(Text("DefaultKeepsLeadingSpace", quotes, "S", "nokey", " a ", 40, 2, " a\0"s));
    cases.push_back(Text("DefaultOfMissingSection", "[S]\nk=1\n[E]\n", "E", "k", "'q' ", 40, 1, "q\0"s));
}

void AddFiles(std::vector<ProfileCase>& cases) {
    using File = ProfileCase::File;
    const auto on = [&cases](File file, const std::string& prefix, const std::string& quoted,
                             unsigned length) {
        cases.push_back(
            OnFile(Text(prefix + "Value", "", "S", "k", "'q' ", 40, length, quoted + "\0"s), file));
        cases.push_back(OnFile(Text(prefix + "KeyList", "", "S", kNull, "'q' ", 40, 4, "'q' \0"s), file));
        cases.push_back(OnFile(Text(prefix + "SectionNames", "", kNull, kNull, "'q' ", 40, 0, "\0"s), file));
        cases.push_back(OnFile(Integer(prefix + "Integer", "", "S", "k", 5, 5), file));
    };
    // A missing file reads as an empty one; a file that cannot be opened keeps the default's quotes.
    on(File::Missing, "MissingFile", "q", 1);
    on(File::Written, "EmptyFile", "q", 1);
    on(File::MissingFolder, "MissingFolder", "'q'", 3);
    on(File::Folder, "FolderAsFile", "'q'", 3);
}

void AddEncodings(std::vector<ProfileCase>& cases) {
    const std::string utf8 =
        "\xef\xbb\xbf[S]\nk=\xc3\xa9\xc4\x80\xe2\x82\xac\xf0\x9f\x98\x80z\nm=\xff\xfe\xc3\n";
    cases.push_back(Text("Utf8MarkKeyList", utf8, "S", kNull, "d", 40, 4, "k\0m\0\0"s));
    // e-acute, A-macron by best fit, the euro sign, and a character beyond 16 bits as two '?'.
    cases.push_back(Text("Utf8MarkValue", utf8, "S", "k", "d", 40, 6,
                         "\xe9"
                         "A\x80??z\0"s));
    cases.push_back(Text("Utf8MarkInvalidBytes", utf8, "S", "m", "d", 40, 3, "???\0"s));
    const struct {
        const char* name;
        std::string sequence;
        std::string read;
    } sequences[] = {
        {"Utf8BrokenThreeBytes", "\xe2\x82z", "?z"},
        {"Utf8OverlongTwoBytes", "\xc0\x80z", "??z"},
        {"Utf8Surrogate", "\xed\xa0\x80z", "??z"},
        {"Utf8BeyondUnicode", "\xf4\x90\x80\x80z", "???z"},
        {"Utf8FiveBytes", "\xf8\x88\x80\x80\x80z", "?????z"},
        {"Utf8LoneContinuations", "\x80\x80z", "??z"},
        {"Utf8OverlongThreeBytes", "\xe0\x80\x80z", "??z"},
        {"Utf8OverlongFourBytes", "\xf0\x80\x80\x80z", "???z"},
        {"Utf8Noncharacter", "\xef\xbf\xbfz", "?z"},
        {"Utf8C1Control", "\xc2\x80z", "?z"},
        {"Utf8UnassignedBytesRoundTrip", "\xc2\x81\xc2\x8d\xc2\x90\xc2\x9d\xc2\x8fz",
         "\x81\x8d\x90\x9d\x8fz"},
        {"Utf8LigatureOE", "\xc5\x92z", "\x8cz"},
        {"Utf8EmDash", "\xe2\x80\x94z", "\x97z"},
        {"Utf8BrokenFourBytes", "\xf0\x9fz", "?z"},
        {"Utf8NoBreakSpace", "\xc2\xa0z", "\xa0z"},
    };
    for (const auto& s : sequences) {
        cases.push_back(Text(s.name, "\xef\xbb\xbf[S]\nk=" + s.sequence + "\n", "S", "k", "d", 40,
                             static_cast<unsigned>(s.read.size()), s.read + "\0"s));
    }
    cases.push_back(Text("Utf8CutByEndOfFile", "\xef\xbb\xbf[S]\nk=ab\xe2z", "S", "k", "d", 40, 3, "ab?\0"s));
    cases.push_back(Text("Utf8PartialMark", "\xef\xbb[S]\nk=1\n", "S", "k", "d", 40, 1, "d\0"s));
    cases.push_back(
        Text("Utf8MarkTwice", "\xef\xbb\xbf\xef\xbb\xbf[S]\nk=1\n", "S", "k", "d", 40, 1, "d\0"s));
    const std::u16string wide = u"\ufeff[S]\nk=\u00e9\u0100\u20ac\u0141z\nw=\u3000x\u3000\nn\u00a0=1\n";
    cases.push_back(Text("Utf16LittleEndian", Utf16(wide, false), "S", "k", "d", 40, 5,
                         "\xe9"
                         "A\x80Lz\0"s));
    cases.push_back(Text("Utf16BigEndian", Utf16(wide, true), "S", "k", "d", 40, 5,
                         "\xe9"
                         "A\x80Lz\0"s));
    cases.push_back(
        Text("Utf16IdeographicSpaceIsNoBlank", Utf16(wide, false), "S", "w", "d", 40, 3, " x \0"s));
    cases.push_back(Text("Utf16KeyList", Utf16(wide, false), "S", kNull, "d", 40, 7, "k\0w\0n\xa0\0\0"s));
    cases.push_back(
        Text("Utf16OddLength", Utf16(u"\ufeff[S]\nk=1\n", false) + "x", "S", "k", "d", 40, 1, "1\0"s));
    cases.push_back(Text("Utf16WithoutMark", Utf16(u"[S]\nk=1\n", false), "S", "k", "d", 40, 1, "d\0"s));
    const std::u16string breaks = u"\ufeff[S]\nk=1\u2028m=2\u0085n=3\u000bo=4\n";
    cases.push_back(Text("Utf16OnlyCarriageReturnAndLineFeedEndLines", Utf16(breaks, false), "S", "k", "d",
                         40, 13, "1?m=2?n=3\x0bo=4\0"s));
    cases.push_back(
        Text("Utf16LoneSurrogate", Utf16(u"\ufeff[S]\nk=\xd800z\n", false), "S", "k", "d", 40, 2, "?z\0"s));
    cases.push_back(Text("MarkOnly", "\xff\xfe", "S", kNull, "d", 40, 1, "d\0"s));
}

void AddIntegers(std::vector<ProfileCase>& cases) {
    const struct {
        const char* name;
        std::string value;
        unsigned read;
    } values[] = {
        {"Decimal", "197", 197},
        {"AboveByte", "300", 300},
        {"NegativeGivesZero", "-5", 0},
        {"MinusZero", "-0", 0},
        {"Plus", "+7", 7},
        {"Hex", "0x1F", 31},
        {"HexNeedsSmallX", "0X1F", 0},
        {"HexWithoutDigits", "0x", 0},
        {"HexWithBadDigit", "0xg", 0},
        {"Binary", "0b101", 5},
        {"Octal", "0o17", 15},
        {"LeadingZeroIsDecimal", "017", 17},
        {"LeadingZeroEight", "08", 8},
        {"StopsAtLetter", "1e3", 1},
        {"TrailingText", "12abc", 12},
        {"TextGivesZero", "abc", 0},
        {"StopsAtBlank", "1 2", 1},
        {"BlanksAround", " 42 ", 42},
        {"Quoted", "\"12\"", 12},
        {"SingleQuoted", "'13'", 13},
        {"UnmatchedQuote", "\"14", 0},
        {"AllBitsGivesZero", "4294967295", 0},
        {"WrapsAt32Bits", "4294967297", 1},
        {"LargestPositive", "2147483647", 2147483647},
        {"SignBitGivesZero", "2147483648", 0},
        {"Overflow", "99999999999", 1215752191},
        {"MostNegativeGivesZero", "-2147483648", 0},
        {"TwoSigns", "--5", 0},
        {"SignThenBlank", "- 5", 0},
        {"HexAllBitsGivesZero", "0xFFFFFFFF", 0},
        {"HexLargestPositive", "0x7fffffff", 2147483647},
        {"HexOverflowNegative", "0xffffffff1", 0},
        {"NegativeHexGivesZero", "-0x10", 0},
        {"PlusHex", "+0x10", 16},
        {"ControlCharacterSkipped",
         "\x01"
         "5",
         5},
        {"TwentyNineCharactersRead", std::string(28, '0') + "9", 9},
        {"ThirtiethCharacterCut", std::string(29, '0') + "9", 0},
        {"CutBeforeDigits", std::string(35, '0') + "197", 0},
        {"NulEndsNumber",
         "1\0"
         "2"s,
         1},
        {"NoBreakSpaceStops",
         "\xa0"
         "5",
         0},
        {"SuperscriptIsNoDigit", "\xb2", 0},
        {"BinaryBadDigit", "0b2", 0},
        {"EmptyQuotesGiveDefault", "\"\"", 99},
        {"EmptyGivesDefault", "", 99},
    };
    for (const auto& v : values) {
        cases.push_back(
            Integer(std::string("Integer") + v.name, "[S]\nk=" + v.value + "\n", "S", "k", 99, v.read));
    }
    const std::string file = "[S]\n12abc=1\nk=3\n";
    cases.push_back(Integer("IntegerMissingKey", file, "S", "nokey", 7, 7));
    cases.push_back(Integer("IntegerMissingSection", file, "T", "k", 7, 7));
    cases.push_back(Integer("IntegerNegativeDefaultGivesZero", file, "S", "nokey", -3, 0));
    cases.push_back(Integer("IntegerCaseIgnored", file, "s", "K", 7, 3));
    cases.push_back(Integer("IntegerOfKeyList", file, "S", kNull, 7, 12));
    cases.push_back(Integer("IntegerOfSectionNames", file, kNull, "k", 7, 0));
}

// A buffer of `size` bytes with guard bytes after it.
std::string GuardedBuffer(unsigned size) {
    return std::string(size + kGuardLength, static_cast<char>(kGuard));
}

const char* Pointer(const std::optional<std::string>& text) {
    return text ? text->c_str() : nullptr;
}

std::string PrepareFile(const ProfileCase& c, const std::string& folder, const std::string& fileName) {
    namespace fs = std::filesystem;
    std::error_code ignored;
    const std::string path = folder + fileName;
    fs::remove_all(fs::u8path(path), ignored);
    switch (c.file) {
    case ProfileCase::File::Written: {
        const std::string bytes = c.content();
        std::ofstream out(fs::u8path(path), std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        break;
    }
    case ProfileCase::File::Missing:
        break;
    case ProfileCase::File::MissingFolder:
        return folder + "no-such-folder" + folder.back() + fileName;
    case ProfileCase::File::Folder:
        fs::create_directory(fs::u8path(path), ignored);
        break;
    }
    return path;
}

} // namespace

void PrintTo(const ProfileCase& c, std::ostream* out) {
    *out << c.name;
}

std::vector<ProfileCase> ProfileCases() {
    std::vector<ProfileCase> cases;
    AddTruncation(cases);
    AddProgramLimits(cases);
    AddBlanksAndNames(cases);
    AddCommentsAndOddLines(cases);
    AddSectionLines(cases);
    AddLineEndsAndNul(cases);
    AddQuotesAndDefaults(cases);
    AddFiles(cases);
    AddEncodings(cases);
    AddIntegers(cases);
    return cases;
}

ProfileOutcome RunProfileCase(IProfileReader& reader, const ProfileCase& c, const std::string& folder,
                              const std::string& fileName) {
    const std::string path = PrepareFile(c, folder, fileName);
    ProfileOutcome outcome;
    if (c.call == ProfileCase::Call::Int) {
        outcome.result = reader.GetInt(Pointer(c.section), Pointer(c.key), c.defaultValue, path);
    } else {
        std::string buffer = GuardedBuffer(c.size);
        outcome.result = reader.GetString(Pointer(c.section), Pointer(c.key), Pointer(c.defaultText),
                                          buffer.data(), c.size, path);
        outcome.written = buffer.substr(0, c.written.size());
        outcome.restUntouched =
            buffer.find_first_not_of(static_cast<char>(kGuard), c.written.size()) == std::string::npos;
    }
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::u8path(path), ignored);
    return outcome;
}
