// Any bytes as PLX.INI: reading must not crash or hang, and whatever was read must survive
// being written back and read again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "settings/ini_file.h"
#include "settings/placement.h"
#include "settings/settings.h"

using namespace pellora::settings;

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    IniFile ini = IniFile::fromText(bytes);

    // An unchanged document is reproduced byte for byte.
    check(ini.text() == bytes);

    Settings settings;
    settings.read(ini);
    check(settings.ComPort >= 0 && settings.ComPort < kPortCount);
    check(settings.Wav.size() <= IniFile::kMaxValueLength);

    const PrintingOptions printing = readPrintingOptions(ini);
    const Rect screen{0, 0, 1024, 768};
    const RestoredPlacement restored = restorePlacement(ini, "TMainScreen_Placement", screen, false);
    if (restored.rect) {
        check(restored.rect->left >= screen.left && restored.rect->right <= screen.right);
        check(restored.rect->top >= screen.top && restored.rect->bottom <= screen.bottom);
        check(restored.rect->left < restored.rect->right);
    }
    const Placement placement = readPlacement(ini, "TMainScreen_Placement", false);

    // Write everything back into the same document and read it again: the same values.
    settings.write(ini);
    writePrintingOptions(ini, printing);
    writePlacement(ini, "TMainScreen_Placement", placement);
    const IniFile reread = IniFile::fromText(ini.text());
    Settings again;
    again.read(reread);
    check(again.FirstRun == false);
    again.FirstRun = settings.FirstRun;
    check(again == settings);
    check(readPrintingOptions(reread) == printing);
    check(readPlacement(reread, "TMainScreen_Placement", false) == placement);
    check(reread.readString("Version", "Version", "") == kVersion);
    return 0;
}
