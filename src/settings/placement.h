// Remembered window positions and the centring rule for windows and dialogs, as pure
// functions over rectangles so that the window layer only applies the results.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "settings/ini_file.h"

namespace pellora::settings {

// Screen pixels; right and bottom are exclusive edges, so width = right - left.
struct Rect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;

    int width() const { return right - left; }
    int height() const { return bottom - top; }
    bool operator==(const Rect&) const = default;
};

struct Size {
    int width = 0;
    int height = 0;
};

struct Point {
    int x = 0;
    int y = 0;
    bool operator==(const Point&) const = default;
};

// The window's normal (not maximised) rectangle and whether it was maximised.
struct Placement {
    Rect rect;
    bool maximized = false;
    bool operator==(const Placement&) const = default;
};

// What restoring a window comes to: the rectangle to apply, or none when the window is to
// be centred; and whether to maximise it.
struct RestoredPlacement {
    std::optional<Rect> rect;
    bool maximized = false;
};

// "<class name>_Placement", followed by the pixels per inch when above 96, so that a
// position remembered at one screen scale is not applied at another.
std::string placementSectionName(std::string_view className, int dpi);

// Reads Left, Top, Right, Bottom (0 when missing) and Maximized (default: designedMaximized).
Placement readPlacement(const IniFile& ini, std::string_view section, bool designedMaximized);
void writePlacement(IniFile& ini, std::string_view section, const Placement& placement);
// Changes the placement section in the file and nothing else; throws WriteError when the
// file cannot be written.
void writePlacement(const std::filesystem::path& file, std::string_view section,
                    const Placement& placement);

// Moves a rectangle back onto the screen: past the right (bottom) edge it is shifted left
// (up) until its right (bottom) edge is the screen's. It is also kept from lying off the left
// or top edge, and one larger than the screen is cut to the screen.
Rect fitToScreen(const Rect& rect, const Rect& screen);

// The restore rule: a remembered rectangle (Bottom present and not 0) is fitted to the
// screen; otherwise the window is to be centred. A remembered rectangle with no area is
// treated as none.
RestoredPlacement restorePlacement(const IniFile& ini, std::string_view section,
                                   const Rect& screen, bool designedMaximized);

// Top-left corner for a window of `size`: the main window itself, and any window while the
// main window is maximised, is centred on the screen; other windows are centred over the
// main window. The result is kept on the screen as far as the window fits.
Point centredPosition(Size size, const Rect& mainWindow, bool mainMaximized, bool isMainWindow,
                      const Rect& screen);

}  // namespace pellora::settings
