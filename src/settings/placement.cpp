#include "settings/placement.h"

#include <algorithm>

#include "settings/settings.h"

namespace pellora::settings {

namespace {

constexpr int kStandardDpi = 96;

// One axis of fitToScreen: [low, high) inside [screenLow, screenHigh). Computed wide so that
// any stored numbers, however wild, cannot overflow.
void fitSpan(int& low, int& high, int screenLow, int screenHigh) {
    long long lo = low;
    long long hi = high;
    if (hi - lo >= static_cast<long long>(screenHigh) - screenLow) {
        lo = screenLow;
        hi = screenHigh;
    } else if (hi > screenHigh) {
        lo -= hi - screenHigh;
        hi = screenHigh;
    } else if (lo < screenLow) {
        hi += screenLow - lo;
        lo = screenLow;
    }
    low = static_cast<int>(lo);
    high = static_cast<int>(hi);
}

// One axis of centredPosition, kept on the screen where the window fits.
int centreOn(int areaLow, int areaHigh, int extent, int screenLow, int screenHigh) {
    const long long areaExtent = static_cast<long long>(areaHigh) - areaLow;
    const long long wanted = areaLow + (areaExtent - extent) / 2;
    const long long highest = static_cast<long long>(screenHigh) - extent;
    const long long placed = std::max<long long>(std::min(wanted, highest), screenLow);
    return static_cast<int>(placed);
}

}  // namespace

std::string placementSectionName(std::string_view className, int dpi) {
    std::string name(className);
    name += "_Placement";
    if (dpi > kStandardDpi) name += std::to_string(dpi);
    return name;
}

Placement readPlacement(const IniFile& ini, std::string_view section, bool designedMaximized) {
    Placement placement;
    placement.rect.left = ini.readInteger(section, "Left", 0);
    placement.rect.top = ini.readInteger(section, "Top", 0);
    placement.rect.right = ini.readInteger(section, "Right", 0);
    placement.rect.bottom = ini.readInteger(section, "Bottom", 0);
    placement.maximized = ini.readBool(section, "Maximized", designedMaximized);
    return placement;
}

void writePlacement(IniFile& ini, std::string_view section, const Placement& placement) {
    ini.writeInteger(section, "Left", placement.rect.left);
    ini.writeInteger(section, "Top", placement.rect.top);
    ini.writeInteger(section, "Right", placement.rect.right);
    ini.writeInteger(section, "Bottom", placement.rect.bottom);
    ini.writeBool(section, "Maximized", placement.maximized);
}

void writePlacement(const std::filesystem::path& file, std::string_view section,
                    const Placement& placement) {
    IniFile ini = loadForUpdate(file);
    writePlacement(ini, section, placement);
    ini.saveAs(file);
}

Rect fitToScreen(const Rect& rect, const Rect& screen) {
    Rect fitted = rect;
    fitSpan(fitted.left, fitted.right, screen.left, screen.right);
    fitSpan(fitted.top, fitted.bottom, screen.top, screen.bottom);
    return fitted;
}

RestoredPlacement restorePlacement(const IniFile& ini, std::string_view section,
                                   const Rect& screen, bool designedMaximized) {
    const Placement stored = readPlacement(ini, section, designedMaximized);
    RestoredPlacement restored;
    restored.maximized = stored.maximized;
    const Rect& r = stored.rect;
    // A hand-edited or damaged section can hold right <= left; such a window could not be
    // seen or grabbed, so it is centred instead.
    if (r.bottom != 0 && r.right > r.left && r.bottom > r.top) {
        restored.rect = fitToScreen(r, screen);
    }
    return restored;
}

Point centredPosition(Size size, const Rect& mainWindow, bool mainMaximized, bool isMainWindow,
                      const Rect& screen) {
    const Rect& area = isMainWindow || mainMaximized ? screen : mainWindow;
    return Point{centreOn(area.left, area.right, size.width, screen.left, screen.right),
                 centreOn(area.top, area.bottom, size.height, screen.top, screen.bottom)};
}

}  // namespace pellora::settings
