// TSplashform: the About box. The logo, the version and an "Ok" button; it stays on top.
#pragma once

#include <QDialog>

namespace pellora::app {

class TSplashform : public QDialog {
    Q_OBJECT
public:
    explicit TSplashform(QWidget* parent = nullptr);

    // "Version " and the version string.
    static QString versionLine();
    // The build's word size: "32-bit version" or "64-bit version".
    static QString bitsLine();
};

}  // namespace pellora::app
