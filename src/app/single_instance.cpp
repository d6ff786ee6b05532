#include "app/single_instance.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace pellora::app {

namespace {

constexpr char kActivate[] = "activate\n";

QString userId() {
#ifdef Q_OS_UNIX
    return QString::number(::getuid());
#else
    QString name = qEnvironmentVariable("USERNAME");
    return name.isEmpty() ? QDir::home().dirName() : name;
#endif
}

QString lockFolder() {
    QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return runtime.isEmpty() ? QDir::tempPath() : runtime;
}

}  // namespace

QString SingleInstance::keyFor(const QString& executableName) {
    QString safe = executableName;
    for (QChar& c : safe)
        if (!c.isLetterOrNumber() && c != QLatin1Char('-') && c != QLatin1Char('_') &&
            c != QLatin1Char('.'))
            c = QLatin1Char('_');
    return safe + QStringLiteral("-") + userId();
}

QString SingleInstance::applicationKey() {
    return keyFor(QFileInfo(QCoreApplication::applicationFilePath()).fileName());
}

SingleInstance::SingleInstance(const QString& key, QObject* parent)
    : QObject(parent), key_(key) {
    lock_ = std::make_unique<QLockFile>(QDir(lockFolder()).filePath(key_ + QStringLiteral(".lock")));
    // The lock lives as long as the program: it must never be taken for stale by its age,
    // only when its owner is gone.
    lock_->setStaleLockTime(0);
    primary_ = lock_->tryLock(0);
    if (!primary_) return;
    // A socket left behind by a copy that crashed would make listen() fail.
    QLocalServer::removeServer(key_);
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    server_.listen(key_);
    connect(&server_, &QLocalServer::newConnection, this, &SingleInstance::acceptConnection);
}

SingleInstance::~SingleInstance() {
    server_.close();
    if (primary_) lock_->unlock();
}

void SingleInstance::acceptConnection() {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            while (socket->canReadLine()) {
                if (socket->readLine().trimmed() == QByteArrayLiteral("activate"))
                    emit activationRequested();
            }
        });
    }
}

bool SingleInstance::forwardToPrimary(int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (true) {
        QLocalSocket socket;
        socket.connectToServer(key_);
        if (socket.waitForConnected(250)) {
            socket.write(kActivate);
            const bool sent = socket.waitForBytesWritten(1000);
            socket.disconnectFromServer();
            if (socket.state() != QLocalSocket::UnconnectedState) socket.waitForDisconnected(500);
            return sent;
        }
        if (timer.elapsed() >= timeoutMs) return false;
        QThread::msleep(50);
    }
}

}  // namespace pellora::app
