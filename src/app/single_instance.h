// One running copy per user and executable. The first copy holds a lock file and listens on a
// local socket; a later copy finds the lock taken, asks the first one through the socket to
// come forward and ends without showing a window.
//
// The lock decides who is first: "connect, else listen" on the socket alone lets two copies
// started together both become first. The lock file is released by the system when its owner
// dies, so a crashed copy does not keep the program from starting again.
#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>
#include <memory>

namespace pellora::app {

class SingleInstance : public QObject {
    Q_OBJECT
public:
    // The name of the lock and the socket for an executable (file name without folder) and
    // the current user.
    static QString keyFor(const QString& executableName);
    // The key of this process's executable.
    static QString applicationKey();

    explicit SingleInstance(const QString& key, QObject* parent = nullptr);
    ~SingleInstance() override;

    // True when this process is the running copy (the one that shows the window).
    bool isPrimary() const { return primary_; }

    // From a later copy: ask the running copy to come forward. Waits up to `timeoutMs` for
    // the running copy to listen (it may be starting too). True when the request was sent.
    bool forwardToPrimary(int timeoutMs = 3000);

    const QString& key() const { return key_; }

signals:
    // In the running copy: another copy was started.
    void activationRequested();

private:
    void acceptConnection();

    QString key_;
    std::unique_ptr<QLockFile> lock_;
    QLocalServer server_;
    bool primary_ = false;
};

}  // namespace pellora::app
