#include "settings/settings.h"

#include "settings/fax_class.h"

namespace pellora::settings {
namespace fs = std::filesystem;

namespace {

constexpr const char* kReceive = "Receive";
constexpr const char* kUser = "User";
constexpr const char* kDialing = "Dialing";
constexpr const char* kModem = "Modem";
constexpr const char* kResetting = "Resetting";
constexpr const char* kDefaultFont = "Default Font";
constexpr const char* kHints = "Hints";
constexpr const char* kPorts = "Ports";
constexpr const char* kVersionSection = "Version";
constexpr const char* kPrinting = "Printing";

// Stored when the ComPort key is missing: the program has never been set up.
constexpr int kNoPort = -1;

std::string portKey(int index) { return "Com" + std::to_string(index + 1); }

bool inRange(int value, int low, int high) { return value >= low && value <= high; }

}  // namespace

fs::path settingsFilePath(const fs::path& programFolder) {
    return programFolder / kSettingsFileName;
}

std::string Settings::deviceForPort(int index) const {
    if (!inRange(index, 0, kPortCount - 1)) return {};
    return Ports[static_cast<std::size_t>(index)];
}

IniFile loadForUpdate(const fs::path& file) {
    IniFile ini;
    if (ini.load(file) == IniFile::LoadResult::Unreadable) throw WriteError(file);
    return ini;
}

void Settings::read(const fs::path& file) {
    IniFile ini;
    ini.load(file);  // missing or unreadable: empty, so every key takes its default
    read(ini);
}

void Settings::read(const IniFile& ini) {
    const Settings defaults;

    Wav = ini.readString(kReceive, "Wav", defaults.Wav);
    AtStartup = ini.readBool(kReceive, "AtStartup", defaults.AtStartup);
    AnswerOnRing = ini.readInteger(kReceive, "AnswerOnRing", defaults.AnswerOnRing);
    // The ring count picks an entry of a 1..8 list; anything else would select nothing.
    if (!inRange(AnswerOnRing, 1, 8)) AnswerOnRing = defaults.AnswerOnRing;
    PrintOnReceipt = ini.readBool(kReceive, "PrintOnReceipt", defaults.PrintOnReceipt);
    PrintOnReceiptPrinter =
        ini.readString(kReceive, "PrintOnReceiptPrinter", defaults.PrintOnReceiptPrinter);

    Fax = ini.readString(kUser, "Fax", defaults.Fax);
    Name = ini.readString(kUser, "Name", defaults.Name);
    PrefixDisable = ini.readBool(kUser, "PrefixDisable", defaults.PrefixDisable);
    SuffixDisable = ini.readBool(kUser, "SuffixDisable", defaults.SuffixDisable);

    DialPrefix = ini.readString(kDialing, "DialPrefix", defaults.DialPrefix);
    DialSuffix = ini.readString(kDialing, "DialSuffix", defaults.DialSuffix);
    DialAttempts = ini.readInteger(kDialing, "DialAttempts", defaults.DialAttempts);
    RetryWait = ini.readInteger(kDialing, "RetryWait", defaults.RetryWait);
    Timeout = ini.readInteger(kDialing, "Timeout", defaults.Timeout);
    BlindDial = ini.readBool(kDialing, "BlindDial", defaults.BlindDial);
    IgnoreBusy = ini.readBool(kDialing, "IgnoreBusy", defaults.IgnoreBusy);
    ToneOrPulse = ini.readInteger(kDialing, "ToneOrPulse", defaults.ToneOrPulse);
    if (!inRange(ToneOrPulse, 0, 1)) ToneOrPulse = defaults.ToneOrPulse;
    ECM = ini.readBool(kDialing, "ECM", defaults.ECM);
    // Receiving follows the sending setting until the user sets it apart.
    ECMReceive = ini.readBool(kReceive, "ECMReceive", ECM);

    // A port outside COM1..COM6 cannot be opened; like a missing key it means the port has
    // to be chosen first.
    ComPort = ini.readInteger(kModem, "ComPort", kNoPort);
    FirstRun = !inRange(ComPort, 0, kPortCount - 1);
    if (FirstRun) ComPort = 0;
    FaxClass = ini.readInteger(kModem, "FaxClass", defaults.FaxClass);
    if (!inRange(FaxClass, 0, kMaxFaxClassSetting)) FaxClass = defaults.FaxClass;
    MaximumBPS = ini.readInteger(kModem, "MaximumBPS", defaults.MaximumBPS);
    InitString = ini.readString(kModem, "InitString", defaults.InitString);
    FaxClassReceive = ini.readInteger(kModem, "FaxClassReceive", FaxClass);
    if (!inRange(FaxClassReceive, 0, kMaxFaxClassSetting)) FaxClassReceive = FaxClass;
    MaximumBPSReceive = ini.readInteger(kModem, "MaximumBPSReceive", MaximumBPS);
    InitStringReceive = ini.readString(kModem, "InitStringReceive", InitString);

    ResetString = ini.readString(kResetting, "String", defaults.ResetString);
    ResetAfterString = ini.readString(kResetting, "AfterString", defaults.ResetAfterString);

    FontName = ini.readString(kDefaultFont, "Name", defaults.FontName);
    FontSize = ini.readInteger(kDefaultFont, "Size", defaults.FontSize);
    FontBold = ini.readBool(kDefaultFont, "Bold", defaults.FontBold);
    FontItalic = ini.readBool(kDefaultFont, "Italic", defaults.FontItalic);
    FontUnderline = ini.readBool(kDefaultFont, "Underline", defaults.FontUnderline);

    HintsOn = ini.readBool(kHints, "On", defaults.HintsOn);

    for (int i = 0; i < kPortCount; ++i) {
        const auto slot = static_cast<std::size_t>(i);
        Ports[slot] = ini.readString(kPorts, portKey(i), defaults.Ports[slot]);
        // An empty entry names no device at all; the standard one is the useful reading.
        if (Ports[slot].empty()) Ports[slot] = defaults.Ports[slot];
    }
}

void Settings::write(const fs::path& file) const {
    IniFile ini = loadForUpdate(file);
    write(ini);
    ini.saveAs(file);
}

void Settings::write(IniFile& ini) const {
    // This order also gives the order of the sections in a new file.
    ini.writeString(kReceive, "Wav", Wav);
    ini.writeBool(kReceive, "AtStartup", AtStartup);
    ini.writeInteger(kReceive, "AnswerOnRing", AnswerOnRing);
    ini.writeString(kUser, "Fax", Fax);
    ini.writeString(kUser, "Name", Name);
    ini.writeString(kDialing, "DialPrefix", DialPrefix);
    ini.writeString(kDialing, "DialSuffix", DialSuffix);
    ini.writeString(kModem, "InitString", InitString);
    ini.writeInteger(kDialing, "DialAttempts", DialAttempts);
    ini.writeInteger(kDialing, "RetryWait", RetryWait);
    ini.writeBool(kDialing, "BlindDial", BlindDial);
    ini.writeBool(kDialing, "IgnoreBusy", IgnoreBusy);
    ini.writeInteger(kModem, "ComPort", ComPort);
    ini.writeInteger(kModem, "FaxClass", FaxClass);
    ini.writeInteger(kDialing, "ToneOrPulse", ToneOrPulse);
    ini.writeInteger(kDialing, "Timeout", Timeout);
    ini.writeBool(kDialing, "ECM", ECM);
    ini.writeBool(kReceive, "ECMReceive", ECMReceive);
    ini.writeString(kModem, "InitStringReceive", InitStringReceive);
    ini.writeInteger(kModem, "FaxClassReceive", FaxClassReceive);
    ini.writeInteger(kModem, "MaximumBPSReceive", MaximumBPSReceive);
    ini.writeBool(kReceive, "PrintOnReceipt", PrintOnReceipt);
    ini.writeString(kReceive, "PrintOnReceiptPrinter", PrintOnReceiptPrinter);
    ini.writeString(kDefaultFont, "Name", FontName);
    ini.writeInteger(kDefaultFont, "Size", FontSize);
    ini.writeBool(kDefaultFont, "Bold", FontBold);
    ini.writeBool(kDefaultFont, "Italic", FontItalic);
    ini.writeBool(kDefaultFont, "Underline", FontUnderline);
    ini.writeInteger(kModem, "MaximumBPS", MaximumBPS);
    ini.writeString(kResetting, "String", ResetString);
    ini.writeString(kResetting, "AfterString", ResetAfterString);
    ini.writeBool(kUser, "PrefixDisable", PrefixDisable);
    ini.writeBool(kUser, "SuffixDisable", SuffixDisable);
    ini.writeBool(kHints, "On", HintsOn);
    // The port devices come before the version so that Version stays the last section of a
    // new file.
    for (int i = 0; i < kPortCount; ++i) {
        ini.writeString(kPorts, portKey(i), Ports[static_cast<std::size_t>(i)]);
    }
    ini.writeString(kVersionSection, "Version", kVersion);
}

PrintingOptions readPrintingOptions(const IniFile& ini) {
    const PrintingOptions defaults;
    PrintingOptions options;
    options.MultiPage = ini.readBool(kPrinting, "MultiPage", defaults.MultiPage);
    options.Header = ini.readBool(kPrinting, "Header", defaults.Header);
    options.Footer = ini.readBool(kPrinting, "Footer", defaults.Footer);
    return options;
}

PrintingOptions readPrintingOptions(const fs::path& file) {
    IniFile ini;
    ini.load(file);
    return readPrintingOptions(ini);
}

void writePrintingOptions(IniFile& ini, const PrintingOptions& options) {
    ini.writeBool(kPrinting, "MultiPage", options.MultiPage);
    ini.writeBool(kPrinting, "Header", options.Header);
    ini.writeBool(kPrinting, "Footer", options.Footer);
}

void writePrintingOptions(const fs::path& file, const PrintingOptions& options) {
    IniFile ini = loadForUpdate(file);
    writePrintingOptions(ini, options);
    ini.saveAs(file);
}

}  // namespace pellora::settings
