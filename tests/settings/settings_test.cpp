#include "settings/settings.h"

#include <gtest/gtest.h>

#include <string>

#include "settings/temp_folder.h"

namespace pellora::settings {
namespace {

using testing::TempFolder;

Settings readText(const std::string& text) {
    Settings settings;
    settings.read(IniFile::fromText(text));
    return settings;
}

// Every field away from its default, strings chosen to need the careful parts of writing.
Settings unusualSettings() {
    Settings s;
    s.Wav = "/home/jo/sounds/fax received.wav";
    s.AtStartup = true;
    s.AnswerOnRing = 4;
    s.ECMReceive = true;
    s.PrintOnReceipt = true;
    s.PrintOnReceiptPrinter = "HP LaserJet 4";
    s.Fax = "+44 20 7946 0000";
    s.Name = "  Jo's \"Fax\" Shop  ";
    s.PrefixDisable = true;
    s.SuffixDisable = true;
    s.DialPrefix = "9,";
    s.DialSuffix = "#";
    s.DialAttempts = 7;
    s.RetryWait = 120;
    s.Timeout = 90;
    s.BlindDial = true;
    s.IgnoreBusy = true;
    s.ToneOrPulse = 1;
    s.ECM = false;  // ECMReceive set apart from it
    s.ComPort = 5;
    s.FaxClass = 3;
    s.MaximumBPS = 14400;
    s.InitString = "AT&F=1;S0=0";
    s.FaxClassReceive = 0;
    s.MaximumBPSReceive = 4800;
    s.InitStringReceive = "ATX3";
    s.ResetString = "ATZ";
    s.ResetAfterString = "AT&F";
    s.FontName = "Times New Roman";
    s.FontSize = 14;
    s.FontBold = true;
    s.FontItalic = true;
    s.FontUnderline = true;
    s.HintsOn = false;
    s.Ports = {"/dev/ttyUSB0", "/dev/ttyACM0", "/dev/ttyS2",
               "/dev/serial/by-id/usb-Modem_1234-if00", "/dev/ttyS4", "/dev/ttyS5"};
    return s;
}

TEST(SettingsRead, DefaultsFromAnEmptyOrMissingFile) {
    TempFolder folder;
    std::filesystem::create_directory(folder / "folder.ini");
    const std::filesystem::path files[] = {folder / "missing.ini", folder / "folder.ini"};
    for (const auto& file : files) {
        SCOPED_TRACE(file.string());
        Settings settings = unusualSettings();
        settings.read(file);
        Settings expected;
        expected.FirstRun = true;
        EXPECT_EQ(settings, expected);
    }

    const Settings s = readText("");
    EXPECT_TRUE(s.FirstRun);
    EXPECT_EQ(s.ComPort, 0);
    EXPECT_EQ(s.Wav, "");
    EXPECT_FALSE(s.AtStartup);
    EXPECT_EQ(s.AnswerOnRing, 1);
    EXPECT_FALSE(s.ECMReceive);
    EXPECT_FALSE(s.PrintOnReceipt);
    EXPECT_EQ(s.PrintOnReceiptPrinter, "Default Windows Printer");
    EXPECT_EQ(s.DialAttempts, 3);
    EXPECT_EQ(s.RetryWait, 60);
    EXPECT_EQ(s.Timeout, 60);
    EXPECT_EQ(s.ToneOrPulse, 0);
    EXPECT_EQ(s.FaxClass, 1);
    EXPECT_EQ(s.FaxClassReceive, 1);
    EXPECT_EQ(s.MaximumBPS, 9600);
    EXPECT_EQ(s.MaximumBPSReceive, 9600);
    EXPECT_EQ(s.FontName, "Arial");
    EXPECT_EQ(s.FontSize, 10);
    EXPECT_FALSE(s.FontBold || s.FontItalic || s.FontUnderline);
    EXPECT_TRUE(s.HintsOn);
    EXPECT_EQ(s.deviceForPort(0), "/dev/ttyS0");
    EXPECT_EQ(s.deviceForPort(5), "/dev/ttyS5");
}

TEST(SettingsRead, ReceiveKeysDefaultToTheirSendingCounterparts) {
    {
        const Settings s = readText("[Modem]\nFaxClass=2\n");
        EXPECT_EQ(s.FaxClass, 2);
        EXPECT_EQ(s.FaxClassReceive, 2);
    }
    {
        const Settings s =
            readText("[Dialing]\nECM=1\n[Modem]\nMaximumBPS=14400\nInitString=AT&K3\n");
        EXPECT_TRUE(s.ECMReceive);
        EXPECT_EQ(s.MaximumBPSReceive, 14400);
        EXPECT_EQ(s.InitStringReceive, "AT&K3");
    }
    {
        // Once set apart, the receiving keys keep their own values.
        const Settings s = readText(
            "[Dialing]\nECM=1\n[Receive]\nECMReceive=0\n"
            "[Modem]\nFaxClass=2\nFaxClassReceive=3\nMaximumBPS=14400\nMaximumBPSReceive=2400\n"
            "InitString=A\nInitStringReceive=\n");
        EXPECT_FALSE(s.ECMReceive);
        EXPECT_EQ(s.FaxClassReceive, 3);
        EXPECT_EQ(s.MaximumBPSReceive, 2400);
        EXPECT_EQ(s.InitStringReceive, "");
    }
}

TEST(SettingsRead, BooleanWrittenAsFiveReadsTrueAndIsWrittenBackAsOne) {
    IniFile ini = IniFile::fromText("[Hints]\nOn=0\n[Receive]\nAtStartup=5\n[Modem]\nComPort=1\n");
    Settings s;
    s.read(ini);
    EXPECT_TRUE(s.AtStartup);
    s.write(ini);
    EXPECT_EQ(ini.readString("Receive", "AtStartup", ""), "1");
    EXPECT_EQ(ini.readString("Hints", "On", ""), "0");
}

TEST(SettingsRead, MissingComPortIsTheFirstRunAndStoresPortZero) {
    TempFolder folder;
    const auto path = settingsFilePath(folder.path());
    EXPECT_EQ(path, folder.path() / "PLX.INI");
    testing::writeFile(path, "[Dialing]\nDialPrefix=9\n");

    Settings s;
    s.read(path);
    EXPECT_TRUE(s.FirstRun);
    EXPECT_EQ(s.ComPort, 0);
    s.write(path);

    Settings again;
    again.read(path);
    EXPECT_FALSE(again.FirstRun);
    EXPECT_EQ(again.ComPort, 0);
    EXPECT_EQ(again.DialPrefix, "9");
}

TEST(SettingsRead, ValuesOutsideTheirListsFallBack) {
    struct Case {
        const char* text;
        int comPort;
        bool firstRun;
        int faxClass;
        int faxClassReceive;
        int answerOnRing;
        int toneOrPulse;
    };
    const Case cases[] = {
        {"[Modem]\nComPort=5\nFaxClass=0\n[Receive]\nAnswerOnRing=8\n[Dialing]\nToneOrPulse=1\n",
         5, false, 0, 0, 8, 1},
        {"[Modem]\nComPort=6\nFaxClass=4\n[Receive]\nAnswerOnRing=9\n[Dialing]\nToneOrPulse=2\n",
         0, true, 1, 1, 1, 0},
        {"[Modem]\nComPort=-1\nFaxClass=-1\nFaxClassReceive=7\n[Receive]\nAnswerOnRing=0\n", 0,
         true, 1, 1, 1, 0},
        {"[Modem]\nComPort=COM2\nFaxClass=3\nFaxClassReceive=9\n", 0, true, 3, 3, 1, 0},
        {"[Modem]\nComPort=0x2\n", 2, false, 1, 1, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const Settings s = readText(c.text);
        EXPECT_EQ(s.ComPort, c.comPort);
        EXPECT_EQ(s.FirstRun, c.firstRun);
        EXPECT_EQ(s.FaxClass, c.faxClass);
        EXPECT_EQ(s.FaxClassReceive, c.faxClassReceive);
        EXPECT_EQ(s.AnswerOnRing, c.answerOnRing);
        EXPECT_EQ(s.ToneOrPulse, c.toneOrPulse);
    }
}

TEST(SettingsRoundTrip, EveryKeySurvivesWriteAndRead) {
    TempFolder folder;
    const auto path = settingsFilePath(folder.path());
    const Settings original = unusualSettings();
    original.write(path);

    Settings reread;
    reread.read(path);
    EXPECT_EQ(reread, original);

    // Writing the same record again changes nothing.
    const std::string first = testing::readFile(path);
    reread.write(path);
    EXPECT_EQ(testing::readFile(path), first);
}

TEST(SettingsWrite, NewFileHasEveryKeyInOrder) {
    TempFolder folder;
    const auto path = settingsFilePath(folder.path());
    Settings s;
    s.ComPort = 1;
    s.Name = "Jo";
    s.ECM = true;
    s.ECMReceive = true;
    s.write(path);
    EXPECT_EQ(testing::readFile(path),
              "[Receive]\n"
              "Wav=\n"
              "AtStartup=0\n"
              "AnswerOnRing=1\n"
              "ECMReceive=1\n"
              "PrintOnReceipt=0\n"
              "PrintOnReceiptPrinter=Default Windows Printer\n"
              "\n"
              "[User]\n"
              "Fax=\n"
              "Name=Jo\n"
              "PrefixDisable=0\n"
              "SuffixDisable=0\n"
              "\n"
              "[Dialing]\n"
              "DialPrefix=\n"
              "DialSuffix=\n"
              "DialAttempts=3\n"
              "RetryWait=60\n"
              "BlindDial=0\n"
              "IgnoreBusy=0\n"
              "ToneOrPulse=0\n"
              "Timeout=60\n"
              "ECM=1\n"
              "\n"
              "[Modem]\n"
              "InitString=\n"
              "ComPort=1\n"
              "FaxClass=1\n"
              "InitStringReceive=\n"
              "FaxClassReceive=1\n"
              "MaximumBPSReceive=9600\n"
              "MaximumBPS=9600\n"
              "\n"
              "[Default Font]\n"
              "Name=Arial\n"
              "Size=10\n"
              "Bold=0\n"
              "Italic=0\n"
              "Underline=0\n"
              "\n"
              "[Resetting]\n"
              "String=\n"
              "AfterString=\n"
              "\n"
              "[Hints]\n"
              "On=1\n"
              "\n"
              "[Ports]\n"
              "Com1=/dev/ttyS0\n"
              "Com2=/dev/ttyS1\n"
              "Com3=/dev/ttyS2\n"
              "Com4=/dev/ttyS3\n"
              "Com5=/dev/ttyS4\n"
              "Com6=/dev/ttyS5\n"
              "\n"
              "[Version]\n"
              "Version=2.8i\n");
}

TEST(SettingsWrite, ExistingFileKeepsForeignSectionsCommentsAndOrder) {
    TempFolder folder;
    const auto path = settingsFilePath(folder.path());
    const std::string before =
        "; written by hand\r\n"
        "[TMainScreen_Placement120]\r\n"
        "Left=10\r\nTop=20\r\nRight=810\r\nBottom=620\r\nMaximized=0\r\n"
        "\r\n"
        "[Modem]\r\n"
        "ComPort=2\r\n"
        "; my modem needs this\r\n"
        "Extra=keep me\r\n"
        "\r\n"
        "[Printing]\r\n"
        "MultiPage=1\r\nHeader=0\r\nFooter=1\r\n";
    testing::writeFile(path, before);

    Settings s;
    s.read(path);
    EXPECT_EQ(s.ComPort, 2);
    s.FaxClass = 3;
    s.write(path);

    const std::string after = testing::readFile(path);
    // The foreign part is still there, unchanged and in its place.
    EXPECT_EQ(after.rfind("; written by hand\r\n[TMainScreen_Placement120]\r\n"
                          "Left=10\r\nTop=20\r\nRight=810\r\nBottom=620\r\nMaximized=0\r\n"
                          "\r\n[Modem]\r\nComPort=2\r\n; my modem needs this\r\nExtra=keep me\r\n",
                          0),
              0U);
    EXPECT_NE(after.find("\r\n[Printing]\r\nMultiPage=1\r\nHeader=0\r\nFooter=1\r\n"),
              std::string::npos);
    EXPECT_EQ(after.find("\n\n"), std::string::npos) << "line ends stay CR LF";

    const IniFile ini = IniFile::fromText(after);
    EXPECT_EQ(ini.readInteger("Modem", "FaxClass", -1), 3);
    EXPECT_EQ(ini.readString("Modem", "Extra", ""), "keep me");
    EXPECT_EQ(ini.readString("Version", "Version", ""), "2.8i");
    EXPECT_EQ(readPrintingOptions(ini), (PrintingOptions{true, false, true}));
}

TEST(SettingsWrite, FailureRaisesUnableToWriteAndChangesNothing) {
    TempFolder folder;
    testing::writeFile(folder / "plain-file", "data");
    std::filesystem::create_directory(folder / "PLX.INI");  // a folder where the file should be
    // A file this program would refuse to read must not be replaced by a partial copy.
    const auto huge = folder / "HUGE.INI";
    const std::string hugeText = "[Mine]\nKey=1\n" + std::string(IniFile::kMaxFileSize, ';');
    testing::writeFile(huge, hugeText);

    const std::filesystem::path targets[] = {
        folder / "plain-file" / "PLX.INI",
        folder / "PLX.INI",
        huge,
    };
    const Settings original = unusualSettings();
    for (const auto& target : targets) {
        SCOPED_TRACE(target.string());
        Settings s = original;
        try {
            s.write(target);
            ADD_FAILURE() << "no error raised";
        } catch (const WriteError& error) {
            EXPECT_EQ(std::string(error.what()), "Unable to write to " + target.string());
        }
        EXPECT_EQ(s, original);
        EXPECT_THROW(writePrintingOptions(target, PrintingOptions{}), WriteError);
    }
    EXPECT_TRUE(std::filesystem::is_directory(folder / "PLX.INI"));
    EXPECT_EQ(testing::readFile(folder / "plain-file"), "data");
    EXPECT_EQ(testing::readFile(huge), hugeText);
    EXPECT_EQ(testing::entryCount(folder.path()), 3U);
}

#ifndef _WIN32
TEST(SettingsWrite, KeepsALinkAndTheFilePermissions) {
    TempFolder folder;
    const auto real = folder / "real.ini";
    const auto link = settingsFilePath(folder.path());
    testing::writeFile(real, "[Other]\nKey=1\n");
    std::filesystem::permissions(real, std::filesystem::perms::owner_read |
                                           std::filesystem::perms::owner_write);
    std::filesystem::create_symlink("real.ini", link);

    unusualSettings().write(link);
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(std::filesystem::status(real).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    Settings reread;
    reread.read(link);
    EXPECT_EQ(reread, unusualSettings());
    EXPECT_EQ(IniFile::fromText(testing::readFile(real)).readString("Other", "Key", ""), "1");
}
#endif

TEST(SettingsRead, HandEditedFileWithCrLfCaseAndLongStrings) {
    const std::string longName(1500, 'x');
    const Settings s = readText(
        "\xEF\xBB\xBF[modem]\r\ncomport = 3 \r\nFAXCLASS=0x2\r\n"
        "[USER]\r\nname=" + longName + "\r\n"
        "[Ports]\r\nCom4 = /dev/ttyUSB0\r\nCom5=\r\n");
    EXPECT_EQ(s.ComPort, 3);
    EXPECT_FALSE(s.FirstRun);
    EXPECT_EQ(s.FaxClass, 2);
    EXPECT_EQ(s.Name, std::string(1023, 'x'));
    EXPECT_EQ(s.deviceForPort(3), "/dev/ttyUSB0");
    EXPECT_EQ(s.deviceForPort(4), "/dev/ttyS4");  // an empty entry names no device
    EXPECT_EQ(s.deviceForPort(-1), "");
    EXPECT_EQ(s.deviceForPort(6), "");
}

TEST(PrintingOptions, ReadAndWriteTouchOnlyTheirSection) {
    TempFolder folder;
    const auto path = settingsFilePath(folder.path());
    EXPECT_EQ(readPrintingOptions(path), (PrintingOptions{false, true, true}));

    const std::string before = "[Modem]\nComPort=2\n[Printing]\nHeader=5\n";
    testing::writeFile(path, before);
    EXPECT_EQ(readPrintingOptions(path), (PrintingOptions{false, true, true}));

    writePrintingOptions(path, PrintingOptions{true, false, false});
    EXPECT_EQ(testing::readFile(path),
              "[Modem]\nComPort=2\n[Printing]\nHeader=0\nMultiPage=1\nFooter=0\n");
    EXPECT_EQ(readPrintingOptions(path), (PrintingOptions{true, false, false}));

    // The settings record neither reads nor writes them.
    Settings s;
    s.read(path);
    s.write(path);
    EXPECT_EQ(readPrintingOptions(path), (PrintingOptions{true, false, false}));
}

}  // namespace
}  // namespace pellora::settings
