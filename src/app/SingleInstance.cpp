#include "app/SingleInstance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QStandardPaths>

#include <unistd.h>

namespace tavrel::app {

namespace {

constexpr int kAskMilliseconds = 1000;

QString InstanceFolder(const QString& folder)
{
    return folder.isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) : folder;
}

QString InstanceName(const std::filesystem::path& settingsPath)
{
    const QByteArray key
        = QCryptographicHash::hash(QByteArray::fromStdString(settingsPath.string()), QCryptographicHash::Sha1)
              .toHex()
              .left(16);
    return QStringLiteral("tavrel-%1").arg(QString::fromLatin1(key));
}

} // namespace

void PrepareRuntimeFolder()
{
    if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
        return;
    }
    // Where no session manager made a runtime folder (a service, a shell over ssh, a container): a private one in the
    // temporary folder, as Qt would choose, but said once here rather than warned about by Qt at every start.
    const QString own = QDir::tempPath() + QStringLiteral("/runtime-tavrel-%1").arg(::getuid());
    QDir().mkpath(own);
    const QFileInfo info(own);
    if (!info.isDir() || info.isSymLink() || info.ownerId() != ::getuid()) {
        return; // someone else's: Qt's own choice and checks apply
    }
    QFile::setPermissions(own, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", own.toLocal8Bit());
}

SingleInstance::SingleInstance(const std::filesystem::path& settingsPath, const QString& folder, QObject* parent)
    : QObject(parent)
    , m_socketPath(QDir(InstanceFolder(folder)).filePath(InstanceName(settingsPath) + QStringLiteral(".socket")))
    , m_lock(QDir(InstanceFolder(folder)).filePath(InstanceName(settingsPath) + QStringLiteral(".lock")))
{
    // A lock is never stale by its age, which would let a second instance in beside a long-running first
    // one; it is stale only when the process that took it is gone.
    m_lock.setStaleLockTime(0);
    connect(&m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = m_server.nextPendingConnection()) {
            socket->disconnectFromServer();
            socket->deleteLater();
            emit anotherStartRefused();
        }
    });
}

SingleInstance::~SingleInstance()
{
    m_server.close();
}

bool SingleInstance::Claim()
{
    QDir().mkpath(QFileInfo(m_socketPath).absolutePath());
    if (!m_lock.tryLock(0)) {
        QLocalSocket socket;
        socket.connectToServer(m_socketPath);
        if (socket.waitForConnected(kAskMilliseconds)) {
            socket.write("front\n");
            socket.waitForBytesWritten(kAskMilliseconds);
            socket.disconnectFromServer();
        }
        return false;
    }
    // The lock is ours, so a socket file left there belongs to an instance that is gone.
    QLocalServer::removeServer(m_socketPath);
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    // Without the socket the program still runs alone; only the bringing to the front is lost.
    (void)m_server.listen(m_socketPath);
    return true;
}

} // namespace tavrel::app
