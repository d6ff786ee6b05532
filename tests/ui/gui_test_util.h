// Helpers of the GUI tests: answering modal boxes, waiting on the event loop.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QPushButton>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace pellora::test {

// What a modal box showed before it was answered.
struct SeenBox {
    QString title;
    QString text;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QRect geometry;
    QWidget* parent = nullptr;
};

// Answers every modal message box that appears while it lives, recording each one. `answer`
// is the button pressed (a box without it is closed with its escape button).
class BoxAnswerer {
public:
    explicit BoxAnswerer(QMessageBox::StandardButton answer = QMessageBox::Ok) : answer_(answer) {
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout, [this] { poll(); });
        timer_.start();
    }

    const std::vector<SeenBox>& seen() const { return seen_; }
    void setAnswer(QMessageBox::StandardButton answer) { answer_ = answer; }

private:
    void poll() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible()) return;
        SeenBox s;
        s.title = box->windowTitle();
        s.text = box->text();
        s.icon = box->icon();
        s.geometry = box->frameGeometry();
        s.parent = box->parentWidget();
        if (QAbstractButton* d = box->defaultButton()) s.defaultButton = box->standardButton(d);
        seen_.push_back(s);
        if (QAbstractButton* b = box->button(answer_))
            b->click();
        else
            box->reject();
    }

    QMessageBox::StandardButton answer_;
    QTimer timer_;
    std::vector<SeenBox> seen_;
};

// Runs the event loop until `done` holds or `ms` pass; returns whether it holds.
inline bool waitFor(const std::function<bool()>& done, int ms = 5000) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

}  // namespace pellora::test
