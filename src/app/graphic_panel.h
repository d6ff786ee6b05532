// TGraphicPanel: a caption panel that only paints (no frame of its own, no focus): bevels,
// a border, a fill colour and one line of caption text. The main window's list captions are
// two of them.
#pragma once

#include <QColor>
#include <QWidget>

namespace pellora::app {

class TGraphicPanel : public QWidget {
    Q_OBJECT
    Q_PROPERTY(Qt::Alignment Alignment READ Alignment WRITE setAlignment)
    Q_PROPERTY(BevelCut BevelInner READ BevelInner WRITE setBevelInner)
    Q_PROPERTY(BevelCut BevelOuter READ BevelOuter WRITE setBevelOuter)
    Q_PROPERTY(int BevelWidth READ BevelWidth WRITE setBevelWidth)
    Q_PROPERTY(int BorderWidth READ BorderWidth WRITE setBorderWidth)
    Q_PROPERTY(BorderKind BorderStyle READ BorderStyle WRITE setBorderStyle)
    Q_PROPERTY(QColor Color READ Color WRITE setColor)
    Q_PROPERTY(bool Locked READ Locked WRITE setLocked)
    Q_PROPERTY(QString Caption READ Caption WRITE setCaption)

public:
    enum BevelCut { bvNone, bvLowered, bvRaised };
    Q_ENUM(BevelCut)
    enum BorderKind { bsNone, bsSingle };
    Q_ENUM(BorderKind)

    static constexpr int kDefaultWidth = 185;
    static constexpr int kDefaultHeight = 41;

    explicit TGraphicPanel(QWidget* parent = nullptr);

    Qt::Alignment Alignment() const { return alignment_; }
    void setAlignment(Qt::Alignment a);
    BevelCut BevelInner() const { return bevelInner_; }
    void setBevelInner(BevelCut b);
    BevelCut BevelOuter() const { return bevelOuter_; }
    void setBevelOuter(BevelCut b);
    int BevelWidth() const { return bevelWidth_; }
    void setBevelWidth(int w);
    int BorderWidth() const { return borderWidth_; }
    void setBorderWidth(int w);
    BorderKind BorderStyle() const { return borderStyle_; }
    void setBorderStyle(BorderKind b);
    QColor Color() const { return color_; }
    void setColor(const QColor& c);
    // Kept for forms that place controls on a panel and lock them; the panel itself ignores it.
    bool Locked() const { return locked_; }
    void setLocked(bool on) { locked_ = on; }
    QString Caption() const { return caption_; }
    void setCaption(const QString& caption);

    QSize sizeHint() const override;

    // The rectangle the caption is drawn in (after frame, bevels and border), for tests.
    QRect captionRect() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    int frameInset() const;

    Qt::Alignment alignment_ = Qt::AlignHCenter;
    BevelCut bevelInner_ = bvNone;
    BevelCut bevelOuter_ = bvRaised;
    int bevelWidth_ = 1;
    int borderWidth_ = 0;
    BorderKind borderStyle_ = bsNone;
    QColor color_;
    bool locked_ = false;
    QString caption_;
};

}  // namespace pellora::app
