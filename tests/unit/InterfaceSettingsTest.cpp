#include "ui/InterfaceSettings.h"
#include "app/Catalogue.h"
#include "app/VersionText.h"
#include "ui/PortSummary.h"

#include <gtest/gtest.h>

#include <map>

namespace {

using Names = std::vector<std::string>;

// A catalogue of a few texts; every other id is missing (empty), as in a library that lacks it.
class SparseCatalogue : public ITextCatalogue {
public:
    explicit SparseCatalogue(std::map<unsigned, std::string> texts) : texts(std::move(texts)) {}
    std::string LoadText(unsigned id) const override { return texts.count(id) ? texts.at(id) : ""; }

private:
    std::map<unsigned, std::string> texts;
};

TEST(BaudChoices, AreTheSixRatesAndATextCountsOnlyWhenEqual) {
    const BuiltInCatalogue german(CatalogueLanguage::German), english(CatalogueLanguage::English);
    const Names texts = {"9600", "14.400", "19.200", "38.400", "57.600", "115.200"};
    const std::vector<unsigned> ids = {120, 121, 122, 123, 125, 126};
    for (size_t i = 0; i < kBaudChoiceCount; ++i) {
        EXPECT_EQ(kBaudChoices[i].textId, ids[i]);
        EXPECT_EQ(german.LoadText(ids[i]), texts[i]);
        EXPECT_EQ(BaudChoiceIndex(kBaudChoices[i].value), static_cast<int>(i));
    }
    for (int rate : {4800, 56000, 0, -1}) {
        EXPECT_EQ(BaudChoiceIndex(rate), -1) << rate;
    }
    // The same text under two ids: the comparison from the last id finds the later one.
    const SparseCatalogue twice({{120, "fast"}, {125, "fast"}, {126, "Fast"}});
    struct Case {
        const ITextCatalogue& catalogue;
        const char* text;
        int expected;
    } cases[] = {
        {english, "9600", 9600},  {english, "57.600", 57600}, {german, "115.200", 115200},
        {english, "57600", 4800}, {english, "57.600 ", 4800}, {english, "", 4800},
        {twice, "fast", 57600},   {twice, "Fast", 115200},    {twice, "FAST", 4800},
        {twice, "", 4800}, // 121 to 123 lack their texts: nothing chosen still matches nothing
    };
    for (const Case& c : cases) {
        EXPECT_EQ(BaudRateForText(c.text, c.catalogue, 4800), c.expected) << '"' << c.text << '"';
    }
}

// A literal with its inner zeros, without the one that ends it.
template <size_t N> std::string Bytes(const char (&text)[N]) {
    return std::string(text, N - 1);
}

TEST(PortNames, AreTheDosDevicesThatBeginWithCom) {
    struct Case {
        std::string devices; // as QueryDosDeviceA fills its buffer, with the count it returns
        Names expected;
    } cases[] = {
        {Bytes("COM1\0LPT1\0COM3\0C:\0\0"), {"COM1", "COM3"}},
        {Bytes("com2\0Com4\0XCOM5\0\\\\.\\COM9\0\0"), {}},
        {Bytes("COMPORT\0COM\0CO\0\0"), {"COMPORT", "COM"}},
        {Bytes("COM1\0\0COM2\0\0"), {"COM1"}},
        {Bytes("NUL\0COM12"), {"COM12"}}, // a last name without its zero
        {std::string(), {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ComPortNames(c.devices.data(), c.devices.size()), c.expected);
    }
}

TEST(PortNames, TheCurrentPortIsOfferedUnlessListedInAnotherCase) {
    struct Case {
        Names system;
        const char* port;
        Names items;
        const char* editText; // nullptr: not set
    } cases[] = {
        {{"COM1", "COM3"}, "COM7", {"COM1", "COM3", "COM7"}, "COM7"},
        {{"COM1", "COM3"}, "COM3", {"COM1", "COM3"}, "COM3"},
        {{"COM1", "COM3"}, "com1", {"COM1", "COM3"}, nullptr},
        {{"com1", "COM1"}, "COM1", {"com1", "COM1"}, "COM1"},
        {{}, "\\\\.\\COM12", {"\\\\.\\COM12"}, "\\\\.\\COM12"},
        {{"COM1"}, "", {"COM1"}, nullptr},
    };
    for (const Case& c : cases) {
        PortListPlan plan = PlanPortList(c.system, c.port);
        EXPECT_EQ(plan.items, c.items) << c.port;
        EXPECT_EQ(plan.editText.value_or("(none)"), c.editText ? c.editText : "(none)") << c.port;
    }
}

TEST(PortSummary, ShowsCodesOutsideTheTablesAsQuestionMarks) {
    struct Case {
        int baudRate, dataSize, parity, stopBits;
        const char* expected;
    } cases[] = {
        {19200, 7, 2, 1, "COM2: 19200, 7E1,5"}, {57600, 8, 4, 2, "COM2: 57600, 8S2"},
        {4800, 8, 5, 3, "COM2: 4800, 8??"},     {4800, 8, -1, -1, "COM2: 4800, 8??"},
        {9600, 8, 258, 256, "COM2: 9600, 8??"}, // not taken modulo 256
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PortSummary("COM2", c.baudRate, c.dataSize, c.parity, c.stopBits), c.expected);
    }
}

TEST(VersionText, IsShortenedToTwoPartsUnlessFull) {
    struct Case {
        const char* text;
        const char* shortForm;
        const char* fullForm;
    } cases[] = {
        {"1, 5, 0, 1", "1.5", "1.5.0.1"},
        {"5, 3, 0, 0", "5.3", "5.3.0.0"},
        {" 1 ,  5 , 7", "1.5", "1.5.7"},
        {"12  34", "1234", "1234"},
        {"  ", "", ""},
        {",,,", ".", "..."},
        {"2, , 3", "2.", "2..3"},
        {"1.5.0.1", "1.5.0.1", "1.5.0.1"},
    };
    for (const Case& c : cases) {
        std::string shortForm = c.text, fullForm = c.text;
        ShortenVersion(shortForm, false);
        ShortenVersion(fullForm, true);
        EXPECT_EQ(shortForm, c.shortForm) << c.text;
        EXPECT_EQ(fullForm, c.fullForm) << c.text;
    }
    EXPECT_EQ(VersionLine("Tovrin", "1.5"), "Tovrin, V1.5 R");
    EXPECT_EQ(VersionLine("", "1.5.0.1"), ", V1.5.0.1 R");
}

} // namespace
