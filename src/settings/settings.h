// The settings record: every key of PLX.INI held in memory, read once at start-up and
// written back whole whenever a setting changes.
//
// Field names are the key names, prefixed with the section where two sections share a key
// name (User/Name is `Name`, Default Font/Name is `FontName`; Resetting/String and
// Resetting/AfterString are `ResetString` and `ResetAfterString`; Hints/On is `HintsOn`).
#pragma once

#include <array>
#include <filesystem>
#include <string>

#include "settings/ini_file.h"

namespace pellora::settings {

inline constexpr const char* kSettingsFileName = "PLX.INI";
inline constexpr const char* kVersion = "2.8i";
inline constexpr int kPortCount = 6;  // COM1 .. COM6
inline constexpr const char* kDefaultPrinterName = "Default Windows Printer";

// The settings file in the program folder.
std::filesystem::path settingsFilePath(const std::filesystem::path& programFolder);

struct Settings {
    // Receive
    std::string Wav;
    bool AtStartup = false;
    int AnswerOnRing = 1;
    bool ECMReceive = false;
    bool PrintOnReceipt = false;
    std::string PrintOnReceiptPrinter = kDefaultPrinterName;
    // User
    std::string Fax;
    std::string Name;
    bool PrefixDisable = false;
    bool SuffixDisable = false;
    // Dialing
    std::string DialPrefix;
    std::string DialSuffix;
    int DialAttempts = 3;
    int RetryWait = 60;
    int Timeout = 60;
    bool BlindDial = false;
    bool IgnoreBusy = false;
    int ToneOrPulse = 0;
    bool ECM = false;
    // Modem
    int ComPort = 0;  // 0 for COM1 .. 5 for COM6
    int FaxClass = 1;
    int MaximumBPS = 9600;
    std::string InitString;
    int FaxClassReceive = 1;
    int MaximumBPSReceive = 9600;
    std::string InitStringReceive;
    // Resetting
    std::string ResetString;
    std::string ResetAfterString;
    // Default Font
    std::string FontName = "Arial";
    int FontSize = 10;
    bool FontBold = false;
    bool FontItalic = false;
    bool FontUnderline = false;
    // Hints
    bool HintsOn = true;
    // Ports: the device behind COM1 .. COM6.
    std::array<std::string, kPortCount> Ports{"/dev/ttyS0", "/dev/ttyS1", "/dev/ttyS2",
                                              "/dev/ttyS3", "/dev/ttyS4", "/dev/ttyS5"};

    // Set by read when the file names no usable port: the program has not been set up yet
    // and the Preferences dialog should run. ComPort then holds 0, which the next write
    // stores.
    bool FirstRun = false;

    // The device of port index 0..5 (COM1..COM6); empty for any other index.
    std::string deviceForPort(int index) const;

    // Fills every field from the file; a missing or unreadable file gives every default and
    // a first run.
    void read(const std::filesystem::path& file);
    void read(const IniFile& ini);

    // Writes every key into the file, changing nothing else in it. Throws WriteError
    // ("Unable to write to <path>") and leaves the file untouched when it cannot be written;
    // an existing file that cannot be read is not overwritten either, since that would lose
    // the sections this record does not hold.
    void write(const std::filesystem::path& file) const;
    void write(IniFile& ini) const;

    bool operator==(const Settings&) const = default;
};

// The print options of the fax viewer window, kept in section Printing apart from the
// settings record.
struct PrintingOptions {
    bool MultiPage = false;
    bool Header = true;
    bool Footer = true;

    bool operator==(const PrintingOptions&) const = default;
};

PrintingOptions readPrintingOptions(const IniFile& ini);
PrintingOptions readPrintingOptions(const std::filesystem::path& file);
void writePrintingOptions(IniFile& ini, const PrintingOptions& options);
// Changes the three keys in the file and nothing else; throws WriteError like Settings::write.
void writePrintingOptions(const std::filesystem::path& file, const PrintingOptions& options);

// Loads `file` for a change that is then saved: a missing file starts empty, a file that
// exists but cannot be read raises WriteError. Shared by every writer of PLX.INI sections.
IniFile loadForUpdate(const std::filesystem::path& file);

}  // namespace pellora::settings
