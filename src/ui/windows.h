// Rules every window of the program shares: which window is the main one, centring dialogs
// over it, and the question, information and error boxes.
#pragma once

#include <QString>

class QWidget;

namespace pellora::ui {

// The program's title, the caption of its error boxes ("Pellora").
void setApplicationTitle(const QString& title);
QString applicationTitle();

// The main window owns the message boxes and is what dialogs are centred over. Cleared
// automatically when that window is destroyed.
void setMainWindow(QWidget* window);
QWidget* mainWindow();

// Moves a window to its centred place now: the main window itself, and any window while the
// main window is maximised or not shown, is centred on the screen; every other window over
// the main window. The result stays on the screen as far as the window fits.
void centreWindow(QWidget* window);
// Centres the window each time it is shown, once its final size is known.
void centreOnShow(QWidget* window);

// Question boxes (question icon, Yes and No buttons; true for Yes) with Yes, or with No,
// preselected; information box (caption "Information"); error box (caption the application
// title). All are modal, owned by the main window and centred over it.
inline constexpr const char* kQuestionCaption = "Confirm";
bool questionYes(const QString& text, const QString& caption = QString::fromLatin1(kQuestionCaption));
bool questionNo(const QString& text, const QString& caption = QString::fromLatin1(kQuestionCaption));
void informationBox(const QString& text);
void errorBox(const QString& text);

}  // namespace pellora::ui
