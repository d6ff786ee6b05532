#include "settings/placement.h"

#include <gtest/gtest.h>

#include "settings/temp_folder.h"

namespace pellora::settings {
namespace {

const Rect kScreen{0, 0, 1024, 768};

TEST(Placement, SectionNameCarriesTheDpiAbove96) {
    EXPECT_EQ(placementSectionName("TMainScreen", 96), "TMainScreen_Placement");
    EXPECT_EQ(placementSectionName("TMainScreen", 72), "TMainScreen_Placement");
    EXPECT_EQ(placementSectionName("TMainScreen", 120), "TMainScreen_Placement120");
    EXPECT_EQ(placementSectionName("TViewFax", 144), "TViewFax_Placement144");
}

TEST(Placement, WrittenAndReadBackThroughTheFile) {
    testing::TempFolder folder;
    const auto path = folder / "PLX.INI";
    testing::writeFile(path, "[Modem]\nComPort=2\n");
    const Placement placement{{-5, 10, 900, 700}, true};
    writePlacement(path, "TFaxEdit_Placement", placement);
    EXPECT_EQ(testing::readFile(path),
              "[Modem]\nComPort=2\n\n[TFaxEdit_Placement]\n"
              "Left=-5\nTop=10\nRight=900\nBottom=700\nMaximized=1\n");

    IniFile ini;
    ini.load(path);
    EXPECT_EQ(readPlacement(ini, "tfaxedit_placement", false), placement);
    // Missing keys read 0, and Maximized takes the designed state.
    EXPECT_EQ(readPlacement(ini, "Other_Placement", true), (Placement{{0, 0, 0, 0}, true}));
}

TEST(Placement, RestoreFitsTheRememberedRectangleOrCentres) {
    struct Case {
        const char* name;
        const char* section;          // keys of the placement section
        std::optional<Rect> expected;  // nullopt: centre the window
    };
    const Case cases[] = {
        {"inside the screen", "Left=10\nTop=20\nRight=410\nBottom=320\n",
         Rect{10, 20, 410, 320}},
        {"past the right edge of a smaller screen", "Left=600\nTop=100\nRight=1200\nBottom=500\n",
         Rect{424, 100, 1024, 500}},
        {"past the bottom edge", "Left=0\nTop=600\nRight=300\nBottom=900\n",
         Rect{0, 468, 300, 768}},
        {"past both edges", "Left=1000\nTop=700\nRight=1400\nBottom=1000\n",
         Rect{624, 468, 1024, 768}},
        {"left of the screen", "Left=-300\nTop=-50\nRight=100\nBottom=250\n",
         Rect{0, 0, 400, 300}},
        {"wider and taller than the screen", "Left=-10\nTop=0\nRight=1600\nBottom=1200\n",
         Rect{0, 0, 1024, 768}},
        {"no Bottom", "Left=10\nTop=20\nRight=410\n", std::nullopt},
        {"Bottom zero", "Left=10\nTop=20\nRight=410\nBottom=0\n", std::nullopt},
        {"Bottom unreadable", "Left=10\nTop=20\nRight=410\nBottom=abc\n", std::nullopt},
        {"no area", "Left=500\nTop=20\nRight=100\nBottom=300\n", std::nullopt},
        {"extreme numbers", "Left=-2147483648\nTop=0\nRight=2147483647\nBottom=100\n",
         Rect{0, 0, 1024, 100}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const IniFile ini = IniFile::fromText(std::string("[W_Placement]\n") + c.section);
        const RestoredPlacement restored = restorePlacement(ini, "W_Placement", kScreen, false);
        EXPECT_EQ(restored.rect, c.expected);
        EXPECT_FALSE(restored.maximized);
    }
}

TEST(Placement, MaximisedFlagDefaultsToTheDesignedState) {
    const IniFile none = IniFile::fromText("");
    EXPECT_TRUE(restorePlacement(none, "W_Placement", kScreen, true).maximized);
    EXPECT_FALSE(restorePlacement(none, "W_Placement", kScreen, false).maximized);
    const IniFile stored = IniFile::fromText("[W_Placement]\nMaximized=0\n");
    EXPECT_FALSE(restorePlacement(stored, "W_Placement", kScreen, true).maximized);
}

TEST(Placement, CentringOnTheScreenOrOverTheMainWindow) {
    const Rect main{100, 50, 700, 550};  // 600 x 500
    struct Case {
        const char* name;
        Size size;
        bool mainMaximized;
        bool isMain;
        Point expected;
    };
    const Case cases[] = {
        {"the main window itself", {400, 300}, false, true, {312, 234}},
        {"main window maximised", {400, 300}, true, false, {312, 234}},
        {"a dialog over the main window", {400, 300}, false, false, {200, 150}},
        {"a dialog larger than the main window", {800, 600}, false, false, {0, 0}},
        {"larger than the screen", {1200, 900}, false, true, {0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(centredPosition(c.size, main, c.mainMaximized, c.isMain, kScreen), c.expected);
    }
    // A main window near the right edge: the dialog stays on the screen.
    EXPECT_EQ(centredPosition({400, 300}, Rect{800, 600, 1000, 700}, false, false, kScreen),
              (Point{624, 468}));
}

}  // namespace
}  // namespace pellora::settings
