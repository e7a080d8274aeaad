#pragma once

#include "app/Program.h"

#include <QObject>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace tavrel {

/// Tells systemd how the service does, over the notify socket it names in NOTIFY_SOCKET: READY=1 once serving,
/// a STATUS= line whenever the run state or the PLCs connected change, WATCHDOG=1 for as long as the pass loop
/// turns, STOPPING=1 when asked to stop. Started by anything else (no NOTIFY_SOCKET), it sends nothing.
class ServiceNotifier : public QObject
{
    Q_OBJECT

public:
    /// Follows `program`; keeps the watchdog alive when systemd asks for it (WATCHDOG_USEC for this process).
    explicit ServiceNotifier(app::Program& program, QObject* parent = nullptr);
    /// Ends the watchdog thread.
    ~ServiceNotifier() override;
    ServiceNotifier(const ServiceNotifier&) = delete;
    ServiceNotifier& operator=(const ServiceNotifier&) = delete;

    /// Whether systemd listens (NOTIFY_SOCKET was set at start).
    bool Active() const { return m_active; }
    /// The project is open and the servers listen.
    void Ready();
    /// The service stops of its own accord or on a signal.
    void Stopping();

    /// What STATUS= says of the program now: its run state and which PLCs are connected.
    static std::string StatusText(app::Program& program);
    /// The longest the pass loop may stay away before it counts as stuck: half the watchdog interval for the work
    /// of a pass, and for every PLC what its time-out and retries allow for opening, writing and reading.
    static std::chrono::milliseconds PassAllowance(const model::clsConfig& project, std::chrono::microseconds watchdog);

private:
    void Send(const std::string& message);
    void UpdateStatus();
    void Heartbeat();
    void KeepWatchdogAlive();

    app::Program& m_program;
    const bool m_active;
    std::string m_status;
    std::atomic<bool> m_stopping { false }; ///< set under m_stopMutex: no keep-alive follows STOPPING=1
    /// Set when systemd watches the pass loop (WatchdogSec=): how often it must hear from us at the latest.
    std::chrono::microseconds m_watchdog { 0 };
    /// Beats on the main thread between passes; a pass in progress holds it back.
    QTimer m_heartbeatTimer;
    std::atomic<std::int64_t> m_lastBeatMs { 0 };
    std::atomic<std::int64_t> m_allowanceMs { 0 };
    std::mutex m_stopMutex;
    std::condition_variable m_stopSignal;
    bool m_stop = false;
    std::thread m_watchdogThread;
};

} // namespace tavrel
