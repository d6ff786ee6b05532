// TGraphicPanel: its defaults and how it paints frame, bevels, border, fill and caption.
#include "app/graphic_panel.h"

#include <QImage>

#include <gtest/gtest.h>

using pellora::app::TGraphicPanel;

namespace {

QImage render(TGraphicPanel& panel) {
    QImage image(panel.size(), QImage::Format_RGB32);
    image.fill(Qt::magenta);
    panel.render(&image);
    return image;
}

TEST(TGraphicPanel, Defaults) {
    TGraphicPanel panel;
    EXPECT_EQ(panel.size(), QSize(185, 41));
    EXPECT_EQ(panel.Alignment(), Qt::AlignHCenter);
    EXPECT_EQ(panel.BevelInner(), TGraphicPanel::bvNone);
    EXPECT_EQ(panel.BevelOuter(), TGraphicPanel::bvRaised);
    EXPECT_EQ(panel.BevelWidth(), 1);
    EXPECT_EQ(panel.BorderWidth(), 0);
    EXPECT_EQ(panel.BorderStyle(), TGraphicPanel::bsNone);
    EXPECT_EQ(panel.Color(), panel.palette().color(QPalette::Button));
    EXPECT_EQ(panel.focusPolicy(), Qt::NoFocus);
    // The properties are published for forms and tools.
    EXPECT_TRUE(panel.setProperty("Caption", "Outgoing Faxes"));
    EXPECT_EQ(panel.Caption(), "Outgoing Faxes");
    EXPECT_TRUE(panel.setProperty("BevelWidth", 3));
    EXPECT_EQ(panel.BevelWidth(), 3);
}

TEST(TGraphicPanel, PaintsFromTheOutsideIn) {
    const QColor fill(10, 120, 200);
    struct Case {
        const char* what;
        TGraphicPanel::BorderKind border;
        TGraphicPanel::BevelCut outer, inner;
        int bevelWidth, borderWidth;
        // Expected colour at x = y = i for i = 0.., from the outside in ('k' black,
        // 'l' light, 'd' dark is not seen on the top-left, 'f' fill).
        const char* diagonal;
    } cases[] = {
        {"raised outer bevel", TGraphicPanel::bsNone, TGraphicPanel::bvRaised, TGraphicPanel::bvNone, 1, 0, "lff"},
        {"single border, raised", TGraphicPanel::bsSingle, TGraphicPanel::bvRaised, TGraphicPanel::bvNone, 1, 0, "klf"},
        {"lowered outer bevel", TGraphicPanel::bsNone, TGraphicPanel::bvLowered, TGraphicPanel::bvNone, 1, 0, "sff"},
        {"wide bevel, border, inner lowered", TGraphicPanel::bsNone, TGraphicPanel::bvRaised, TGraphicPanel::bvLowered, 2, 2, "llffssff"},
        {"no bevels", TGraphicPanel::bsNone, TGraphicPanel::bvNone, TGraphicPanel::bvNone, 1, 0, "fff"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TGraphicPanel panel;
        panel.setColor(fill);
        panel.setBorderStyle(c.border);
        panel.setBevelOuter(c.outer);
        panel.setBevelInner(c.inner);
        panel.setBevelWidth(c.bevelWidth);
        panel.setBorderWidth(c.borderWidth);
        const QImage image = render(panel);
        const QColor light = panel.palette().color(QPalette::Light);
        const QColor shadow = panel.palette().color(QPalette::Dark);
        for (int i = 0; c.diagonal[i]; ++i) {
            QColor expected;
            switch (c.diagonal[i]) {
                case 'k': expected = Qt::black; break;
                case 'l': expected = light; break;
                case 's': expected = shadow; break;
                default: expected = fill; break;
            }
            EXPECT_EQ(image.pixelColor(i, i).rgb(), expected.rgb()) << "pixel " << i;
        }
        // The bottom-right corner takes the other colour of a bevel.
        if (c.border == TGraphicPanel::bsNone && c.outer != TGraphicPanel::bvNone) {
            const QColor corner = image.pixelColor(panel.width() - 1, panel.height() - 1);
            EXPECT_EQ(corner.rgb(), (c.outer == TGraphicPanel::bvRaised ? shadow : light).rgb());
        }
    }
}

TEST(TGraphicPanel, CaptionIsOneLineCentredVerticallyAndAlignedAsAsked) {
    const QColor fill(0, 0, 255);
    struct Case {
        Qt::Alignment alignment;
        const char* what;
    } cases[] = {{Qt::AlignLeft, "left"}, {Qt::AlignHCenter, "centre"}, {Qt::AlignRight, "right"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TGraphicPanel panel;
        panel.resize(300, 40);
        panel.setColor(fill);
        panel.setBevelOuter(TGraphicPanel::bvNone);
        QPalette pal = panel.palette();
        pal.setColor(QPalette::WindowText, Qt::white);
        panel.setPalette(pal);
        panel.setCaption("Outgoing Faxes");
        panel.setAlignment(c.alignment);
        const QImage image = render(panel);
        int minX = image.width(), maxX = -1, minY = image.height(), maxY = -1;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (image.pixelColor(x, y) != fill) {
                    minX = std::min(minX, x);
                    maxX = std::max(maxX, x);
                    minY = std::min(minY, y);
                    maxY = std::max(maxY, y);
                }
        ASSERT_GE(maxX, 0) << "the caption was drawn";
        const QRect band = panel.captionRect();
        EXPECT_GE(minY, band.top());
        EXPECT_LE(maxY, band.bottom());
        EXPECT_NEAR(band.center().y(), 20, 1);
        const int textWidth = maxX - minX;
        if (c.alignment == Qt::AlignLeft) {
            EXPECT_LT(minX, 5);
        } else if (c.alignment == Qt::AlignRight) {
            EXPECT_GT(maxX, 294);
        } else {
            EXPECT_NEAR(minX + textWidth / 2, 150, 3);
        }
    }
}

}  // namespace
