#include "ui/default_font.h"

#include <QFontDialog>
#include <QTextCharFormat>
#include <QTextEdit>
#include <cmath>

#include "ui/windows.h"

namespace pellora::ui {

QFont defaultFont(const settings::Settings& s) {
    QFont font(QString::fromStdString(s.FontName));
    font.setPointSize(s.FontSize > 0 ? s.FontSize : 10);
    font.setBold(s.FontBold);
    font.setItalic(s.FontItalic);
    font.setUnderline(s.FontUnderline);
    return font;
}

void applyDefaultFont(QTextEdit* editor, const settings::Settings& s) {
    if (!editor) return;
    const QFont font = defaultFont(s);
    QTextCharFormat format;
    format.setFont(font);
    editor->document()->setDefaultFont(font);
    editor->setCurrentCharFormat(format);
}

bool chooseDefaultFont(QWidget* parent, const std::filesystem::path& settingsFile,
                       settings::Settings& s) {
    s.read(settingsFile);
    QFontDialog dialog(defaultFont(s), parent);
    dialog.setWindowTitle(QStringLiteral("Default Font"));
    centreOnShow(&dialog);
    if (dialog.exec() != QDialog::Accepted) return false;
    const QFont chosen = dialog.selectedFont();
    s.FontName = chosen.family().toStdString();
    s.FontSize = chosen.pointSize() > 0 ? chosen.pointSize()
                                        : static_cast<int>(std::lround(chosen.pointSizeF()));
    s.FontBold = chosen.bold();
    s.FontItalic = chosen.italic();
    s.FontUnderline = chosen.underline();
    s.write(settingsFile);
    return true;
}

}  // namespace pellora::ui
