#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>

#include <filesystem>

namespace tavrel::app {

/// Gives the program a private runtime folder (XDG_RUNTIME_DIR) where the session has none, before any Qt object
/// looks for one.
void PrepareRuntimeFolder();

/// One running program per user and settings file. The lock lives in the user's runtime folder, so other
/// users are never stopped by it, and a lock left by a crash is taken over (its process is gone). The first
/// instance listens there too, so that a second start can ask it to come to the front.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    /// For the settings file at `settingsPath`, with lock and socket in `folder` (empty: the user's runtime
    /// folder).
    explicit SingleInstance(const std::filesystem::path& settingsPath, const QString& folder = {},
                            QObject* parent = nullptr);
    ~SingleInstance() override;

    /// True when this is the only instance: the lock is held from now on and later starts are listened for.
    /// False when another instance holds it; that one has been asked to come to the front.
    bool Claim();

signals:
    /// A later start with the same settings was refused; the window comes to the front.
    void anotherStartRefused();

private:
    QString m_socketPath;
    QLockFile m_lock;
    QLocalServer m_server;
};

} // namespace tavrel::app
