#include "app/graphic_panel.h"

#include <QEvent>
#include <QPainter>
#include <algorithm>

namespace pellora::app {

TGraphicPanel::TGraphicPanel(QWidget* parent) : QWidget(parent) {
    color_ = palette().color(QPalette::Button);
    setFocusPolicy(Qt::NoFocus);
    resize(kDefaultWidth, kDefaultHeight);
}

void TGraphicPanel::setAlignment(Qt::Alignment a) {
    alignment_ = a;
    update();
}
void TGraphicPanel::setBevelInner(BevelCut b) {
    bevelInner_ = b;
    update();
}
void TGraphicPanel::setBevelOuter(BevelCut b) {
    bevelOuter_ = b;
    update();
}
void TGraphicPanel::setBevelWidth(int w) {
    bevelWidth_ = std::max(1, w);
    update();
}
void TGraphicPanel::setBorderWidth(int w) {
    borderWidth_ = std::max(0, w);
    update();
}
void TGraphicPanel::setBorderStyle(BorderKind b) {
    borderStyle_ = b;
    update();
}
void TGraphicPanel::setColor(const QColor& c) {
    color_ = c;
    update();
}
void TGraphicPanel::setCaption(const QString& caption) {
    if (caption_ == caption) return;
    caption_ = caption;
    updateGeometry();
    update();
}

int TGraphicPanel::frameInset() const {
    int inset = borderStyle_ == bsSingle ? 1 : 0;
    if (bevelOuter_ != bvNone) inset += bevelWidth_;
    inset += borderWidth_;
    if (bevelInner_ != bvNone) inset += bevelWidth_;
    return inset;
}

QSize TGraphicPanel::sizeHint() const {
    const QFontMetrics fm(font());
    const int inset = frameInset();
    return {std::max(fm.horizontalAdvance(caption_) + 2 * inset + 8, 20),
            fm.height() + 2 * inset + 6};
}

QRect TGraphicPanel::captionRect() const {
    const int inset = frameInset();
    const QRect inside = rect().adjusted(inset, inset, -inset, -inset);
    // One text line high (the height of "W"), centred vertically in the panel.
    const int lineHeight = QFontMetrics(font()).height();
    const int top = inside.top() + (inside.height() - lineHeight) / 2;
    return {inside.left(), top, inside.width(), lineHeight};
}

void TGraphicPanel::paintEvent(QPaintEvent*) {
    QPainter p(this);
    QRect r = rect();
    const QPalette& pal = palette();

    auto frame = [&p](QRect& area, const QColor& topLeft, const QColor& bottomRight, int width) {
        for (int i = 0; i < width && area.width() > 1 && area.height() > 1; ++i) {
            p.setPen(topLeft);
            p.drawLine(area.topLeft(), area.topRight());
            p.drawLine(area.topLeft(), area.bottomLeft());
            p.setPen(bottomRight);
            p.drawLine(area.bottomLeft(), area.bottomRight());
            p.drawLine(area.topRight(), area.bottomRight());
            area.adjust(1, 1, -1, -1);
        }
    };
    auto bevel = [&](QRect& area, BevelCut cut) {
        if (cut == bvNone) return;
        const QColor light = pal.color(QPalette::Light);
        const QColor shadow = pal.color(QPalette::Dark);
        if (cut == bvRaised)
            frame(area, light, shadow, bevelWidth_);
        else
            frame(area, shadow, light, bevelWidth_);
    };

    if (borderStyle_ == bsSingle) frame(r, Qt::black, Qt::black, 1);
    bevel(r, bevelOuter_);
    if (borderWidth_ > 0) {
        p.fillRect(r, color_);
        r.adjust(borderWidth_, borderWidth_, -borderWidth_, -borderWidth_);
    }
    bevel(r, bevelInner_);
    p.fillRect(r, color_);

    if (caption_.isEmpty()) return;
    p.setFont(font());
    p.setPen(pal.color(QPalette::WindowText));
    const Qt::Alignment horizontal = alignment_ & Qt::AlignHorizontal_Mask;
    p.drawText(captionRect(), static_cast<int>((horizontal ? horizontal : Qt::AlignHCenter) |
                                               Qt::AlignVCenter | Qt::TextExpandTabs |
                                               Qt::TextSingleLine),
               caption_);
}

void TGraphicPanel::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange || event->type() == QEvent::PaletteChange) {
        updateGeometry();
        update();
    }
    QWidget::changeEvent(event);
}

}  // namespace pellora::app
