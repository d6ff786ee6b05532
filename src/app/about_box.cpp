#include "app/about_box.h"

#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "settings/settings.h"
#include "ui/windows.h"

namespace pellora::app {

QString TSplashform::versionLine() {
    return QStringLiteral("Version ") + QString::fromLatin1(settings::kVersion);
}

QString TSplashform::bitsLine() {
    // The line names the build the user is running; a 64-bit program calling itself 32-bit
    // would mislead whoever reads it out to a support desk.
    return QStringLiteral("%1-bit version").arg(QT_POINTER_SIZE * 8);
}

TSplashform::TSplashform(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("Splashform"));
    setWindowTitle(QStringLiteral("About Pellora"));
    setWindowFlags((windowFlags() | Qt::WindowStaysOnTopHint) & ~Qt::WindowContextHelpButtonHint);

    auto* logo = new QLabel;
    logo->setObjectName(QStringLiteral("Logo"));
    logo->setPixmap(QIcon(QStringLiteral(":/pellora/pellora-128.png")).pixmap(96, 96));
    logo->setAlignment(Qt::AlignCenter);

    auto* name = new QLabel(QStringLiteral("Pellora"));
    QFont big = name->font();
    big.setPointSizeF(big.pointSizeF() * 2);
    big.setBold(true);
    name->setFont(big);
    name->setAlignment(Qt::AlignCenter);

    auto* version = new QLabel(versionLine());
    version->setObjectName(QStringLiteral("VersionLabel"));
    version->setAlignment(Qt::AlignCenter);
    auto* bits = new QLabel(bitsLine());
    bits->setObjectName(QStringLiteral("BitsLabel"));
    bits->setAlignment(Qt::AlignCenter);

    auto* ok = new QPushButton(QStringLiteral("Ok"));
    ok->setObjectName(QStringLiteral("OkButton"));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 18, 24, 14);
    layout->setSpacing(6);
    layout->addWidget(logo);
    layout->addWidget(name);
    layout->addWidget(version);
    layout->addWidget(bits);
    layout->addSpacing(8);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(ok);
    buttons->addStretch(1);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    ui::centreOnShow(this);
}

}  // namespace pellora::app
