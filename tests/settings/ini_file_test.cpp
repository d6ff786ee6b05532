#include "settings/ini_file.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "settings/temp_folder.h"

namespace pellora::settings {
namespace {

using testing::TempFolder;

TEST(IniFileRead, FindsKeysWhateverTheCaseAndTrimsBlanks) {
    const IniFile ini = IniFile::fromText(
        "; a comment line\n"
        "  [ Modem ]  trailing text after the bracket\n"
        "  ComPort  =   2   \n"
        "InitString=\tAT&F = 1 ; not a comment\t\n"
        "no equals sign here\n"
        "=value without a key\n"
        "[Receive]\n"
        "Wav=c:\\sounds\\fax.wav\n");
    EXPECT_EQ(ini.readString("modem", "COMPORT", "x"), "2");
    EXPECT_EQ(ini.readString("MODEM", "initstring", "x"), "AT&F = 1 ; not a comment");
    EXPECT_EQ(ini.readString("Receive", "Wav", ""), "c:\\sounds\\fax.wav");
    EXPECT_TRUE(ini.hasSection("modem"));
    EXPECT_FALSE(ini.hasKey("Modem", "no equals sign here"));
    EXPECT_FALSE(ini.hasKey("Receive", "ComPort"));  // keys belong to their own section
    EXPECT_EQ(ini.readString("Missing", "Key", "the default"), "the default");
    EXPECT_EQ(ini.readString("Modem", "Missing", "the default"), "the default");
}

TEST(IniFileRead, EmptyValueIsPresentAndNotTheDefault) {
    const IniFile ini = IniFile::fromText("[User]\nName=\nFax=   \n");
    EXPECT_EQ(ini.readString("User", "Name", "default"), "");
    EXPECT_EQ(ini.readString("User", "Fax", "default"), "");
}

TEST(IniFileRead, FirstOccurrenceWinsAcrossRepeatedSections) {
    const IniFile ini = IniFile::fromText(
        "[A]\nKey=first\nkey=second\n[B]\nOther=1\n[a]\nKey=third\nLate=yes\n");
    EXPECT_EQ(ini.readString("A", "Key", ""), "first");
    EXPECT_EQ(ini.readString("A", "Late", ""), "yes");
}

TEST(IniFileRead, OnePairOfEnclosingQuotesIsRemoved) {
    const IniFile ini = IniFile::fromText(
        "[S]\nA=\"  spaced  \"\nB='single'\nC=\"unbalanced\nD=\"\nE=\"\"\"\"\nF=\"mixed'\n");
    EXPECT_EQ(ini.readString("S", "A", ""), "  spaced  ");
    EXPECT_EQ(ini.readString("S", "B", ""), "single");
    EXPECT_EQ(ini.readString("S", "C", ""), "\"unbalanced");
    EXPECT_EQ(ini.readString("S", "D", ""), "\"");
    EXPECT_EQ(ini.readString("S", "E", ""), "\"\"");
    EXPECT_EQ(ini.readString("S", "F", ""), "\"mixed'");
}

TEST(IniFileRead, StringsAreCutAt1023Characters) {
    const std::string exact(1023, 'a');
    const std::string longer = std::string(1023, 'b') + "cdef";
    // A two-byte UTF-8 character straddling the limit is dropped whole, not split.
    const std::string utf8 = std::string(1022, 'c') + "\xC3\xA9" + "tail";
    const IniFile ini = IniFile::fromText("[S]\nExact=" + exact + "\nLonger=" + longer +
                                          "\nUtf8=" + utf8 + "\n");
    EXPECT_EQ(ini.readString("S", "Exact", ""), exact);
    EXPECT_EQ(ini.readString("S", "Longer", ""), std::string(1023, 'b'));
    EXPECT_EQ(ini.readString("S", "Utf8", ""), std::string(1022, 'c'));
}

TEST(IniFileRead, LineEndsByteOrderMarkAndMissingFinalNewline) {
    struct Case {
        const char* name;
        std::string text;
    };
    const Case cases[] = {
        {"LF", "[Modem]\nComPort=3\nInitString=ATZ\n"},
        {"CRLF", "[Modem]\r\nComPort=3\r\nInitString=ATZ\r\n"},
        {"CR", "[Modem]\rComPort=3\rInitString=ATZ\r"},
        {"no final newline", "[Modem]\r\nComPort=3\r\nInitString=ATZ"},
        {"BOM", "\xEF\xBB\xBF[Modem]\r\nComPort=3\r\nInitString=ATZ\r\n"},
        {"blank lines", "\n\n[Modem]\n\n\nComPort=3\n\nInitString=ATZ\n\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const IniFile ini = IniFile::fromText(c.text);
        EXPECT_EQ(ini.readInteger("Modem", "ComPort", -1), 3);
        EXPECT_EQ(ini.readString("Modem", "InitString", ""), "ATZ");
        EXPECT_EQ(ini.text(), c.text);  // an unchanged document is reproduced byte for byte
    }
}

TEST(IniFileRead, IntegersDecimalAndHexadecimal) {
    struct Case {
        const char* value;
        int expected;  // with default -7
    };
    const Case cases[] = {
        {"0", 0},
        {"42", 42},
        {"+42", 42},
        {"-42", -42},
        {"007", 7},
        {"2147483647", 2147483647},
        {"-2147483648", -2147483647 - 1},
        {"0x1F", 31},
        {"0X1f", 31},
        {"0x7FFFFFFF", 2147483647},
        {"0x00000010", 16},
        {"\"12\"", 12},
        // Unreadable: the default.
        {"", -7},
        {"0x", -7},   // only two characters: not hexadecimal, and not a decimal number
        {"0X", -7},
        {"0xG1", -7},
        {"0x80000000", -7},
        {"-0x10", -7},
        {"12abc", -7},
        {"1 2", -7},
        {"1e3", -7},
        {"+", -7},
        {"-", -7},
        {"2147483648", -7},
        {"-2147483649", -7},
        {"99999999999999999999999", -7},
        {"$1F", -7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        const IniFile ini = IniFile::fromText(std::string("[S]\nN=") + c.value + "\n");
        EXPECT_EQ(ini.readInteger("S", "N", -7), c.expected);
    }
    EXPECT_EQ(IniFile::fromText("").readInteger("S", "N", 5), 5);
}

TEST(IniFileRead, BooleansAreIntegersAndAnyNonZeroIsTrue) {
    const IniFile ini =
        IniFile::fromText("[S]\nZero=0\nOne=1\nFive=5\nMinus=-1\nHex=0x10\nJunk=yes\n");
    EXPECT_FALSE(ini.readBool("S", "Zero", true));
    EXPECT_TRUE(ini.readBool("S", "One", false));
    EXPECT_TRUE(ini.readBool("S", "Five", false));
    EXPECT_TRUE(ini.readBool("S", "Minus", false));
    EXPECT_TRUE(ini.readBool("S", "Hex", false));
    EXPECT_TRUE(ini.readBool("S", "Junk", true));  // unreadable: the default
    EXPECT_FALSE(ini.readBool("S", "Junk", false));
    EXPECT_TRUE(ini.readBool("S", "Missing", true));
}

TEST(IniFileWrite, UpdatesInPlaceAndKeepsEverythingElse) {
    IniFile ini = IniFile::fromText(
        "; PLX settings, edited by hand\r\n"
        "[Modem]\r\n"
        "  comport = 1\r\n"
        "; keep this note\r\n"
        "FaxClass=2\r\n"
        "\r\n"
        "[TMainScreen_Placement]\r\n"
        "Left=10\r\n"
        "\r\n"
        "[Printing]\r\n"
        "Header=0");
    ini.writeInteger("MODEM", "ComPort", 4);                // existing key, other case
    ini.writeString("Modem", "InitString", "AT&F");         // new key in an existing section
    ini.writeBool("Printing", "Footer", false);             // section without a final newline
    ini.writeString("Hints", "On", "1");                    // new section
    EXPECT_EQ(ini.text(),
              "; PLX settings, edited by hand\r\n"
              "[Modem]\r\n"
              "comport=4\r\n"
              "; keep this note\r\n"
              "FaxClass=2\r\n"
              "InitString=AT&F\r\n"
              "\r\n"
              "[TMainScreen_Placement]\r\n"
              "Left=10\r\n"
              "\r\n"
              "[Printing]\r\n"
              "Header=0\r\n"
              "Footer=0\r\n"
              "\r\n"
              "[Hints]\r\n"
              "On=1\r\n");
}

TEST(IniFileWrite, NewDocumentUsesLineFeeds) {
    IniFile ini;
    ini.writeString("A", "One", "1");
    ini.writeString("B", "Two", "2");
    ini.writeString("A", "Three", "3");
    EXPECT_EQ(ini.text(), "[A]\nOne=1\nThree=3\n\n[B]\nTwo=2\n");
}

TEST(IniFileWrite, ValuesReadBackExactly) {
    const std::string values[] = {
        "",          "plain",         "  leading",    "trailing  ", "\tboth\t",
        "\"quoted\"", "'single'",      "\"",           "a=b=c",       "; not a comment",
        "[not a section]", "caf\xC3\xA9", std::string("nul\0inside", 10),
    };
    IniFile ini;
    for (const std::string& value : values) {
        SCOPED_TRACE(value);
        ini.writeString("S", "Key", value);
        EXPECT_EQ(ini.readString("S", "Key", "default"), value);
        EXPECT_EQ(IniFile::fromText(ini.text()).readString("S", "Key", "default"), value);
    }
}

TEST(IniFileWrite, LineBreaksInAValueCannotInjectKeysOrSections) {
    IniFile ini = IniFile::fromText("[Modem]\nComPort=1\n");
    ini.writeString("User", "Name", "Jo\r\n[Modem]\nComPort=5");
    const IniFile reread = IniFile::fromText(ini.text());
    EXPECT_EQ(reread.readInteger("Modem", "ComPort", -1), 1);
    EXPECT_EQ(reread.readString("User", "Name", ""), "Jo  [Modem] ComPort=5");
}

TEST(IniFileWrite, RejectsNamesThatCannotBeWritten) {
    IniFile ini;
    const std::pair<std::string, std::string> bad[] = {
        {"Sec]tion", "Key"}, {"Sec\ntion", "Key"}, {" Section", "Key"}, {"Section", ""},
        {"Section", "K=ey"}, {"Section", "K\rey"}, {"Section", "[Key"},  {"Section", ";Key"},
        {"Section", "Key "},
    };
    for (const auto& [section, key] : bad) {
        SCOPED_TRACE(section + "/" + key);
        EXPECT_THROW(ini.writeString(section, key, "v"), std::invalid_argument);
    }
    EXPECT_EQ(ini.text(), "");
}

TEST(IniFileSave, WritesAtomicallyAndLoadsBack) {
    TempFolder folder;
    const auto path = folder / "PLX.INI";
    IniFile ini;
    EXPECT_EQ(ini.load(path), IniFile::LoadResult::Missing);
    ini.writeString("Modem", "ComPort", "2");
    ini.save();
    EXPECT_EQ(testing::readFile(path), "[Modem]\nComPort=2\n");
    EXPECT_EQ(testing::entryCount(folder.path()), 1U);  // no temporary file left behind

    IniFile again;
    EXPECT_EQ(again.load(path), IniFile::LoadResult::Loaded);
    EXPECT_EQ(again.readInteger("Modem", "ComPort", -1), 2);
}

TEST(IniFileSave, FailureRaisesUnableToWriteAndLeavesTheFileAlone) {
    TempFolder folder;
    testing::writeFile(folder / "plain-file", "not a folder");
    // A name so long that no temporary name can be formed beside it: the file itself exists
    // and reads fine, but it cannot be replaced.
    const auto longName = folder / std::string(250, 'n');
    testing::writeFile(longName, "[A]\nKey=old\n");

    const std::filesystem::path targets[] = {
        folder / "plain-file" / "PLX.INI",  // the parent is a regular file
        folder / "missing-folder" / "PLX.INI",
        folder.path(),                      // a folder
        longName,
    };
    for (const auto& target : targets) {
        SCOPED_TRACE(target.string());
        IniFile ini = IniFile::fromText("[A]\nKey=new\n");
        try {
            ini.saveAs(target);
            ADD_FAILURE() << "no error raised";
        } catch (const WriteError& error) {
            EXPECT_EQ(std::string(error.what()), "Unable to write to " + target.string());
            EXPECT_EQ(error.path(), target);
        }
    }
    EXPECT_EQ(testing::readFile(longName), "[A]\nKey=old\n");
    EXPECT_EQ(testing::readFile(folder / "plain-file"), "not a folder");
    EXPECT_EQ(testing::entryCount(folder.path()), 2U);
}

TEST(IniFileLoad, UnreadableFilesGiveAnEmptyDocument) {
    TempFolder folder;
    std::filesystem::create_directory(folder / "PLX.INI");
    IniFile ini;
    EXPECT_EQ(ini.load(folder / "PLX.INI"), IniFile::LoadResult::Unreadable);
    EXPECT_EQ(ini.text(), "");

    const auto huge = folder / "HUGE.INI";
    testing::writeFile(huge, "[A]\nKey=1\n" + std::string(IniFile::kMaxFileSize, ';'));
    EXPECT_EQ(ini.load(huge), IniFile::LoadResult::Unreadable);
    EXPECT_FALSE(ini.hasKey("A", "Key"));
}

}  // namespace
}  // namespace pellora::settings
