#include "apps/tavrel/ServiceNotifier.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <systemd/sd-daemon.h>

namespace tavrel {

namespace {

// How many PLCs a status line names as not connected before it only counts the rest.
constexpr std::size_t kNamedInStatus = 5;

std::int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::chrono::microseconds WatchdogInterval()
{
    std::uint64_t usec = 0;
    // Also checks WATCHDOG_PID, so that a child started with our environment does not feed our watchdog.
    if (sd_watchdog_enabled(0, &usec) <= 0) {
        return std::chrono::microseconds(0);
    }
    return std::chrono::microseconds(static_cast<std::int64_t>(usec));
}

} // namespace

ServiceNotifier::ServiceNotifier(app::Program& program, QObject* parent)
    : QObject(parent)
    , m_program(program)
    , m_active(std::getenv("NOTIFY_SOCKET") != nullptr)
{
    if (!m_active) {
        return;
    }
    connect(&program, &app::Program::passFinished, this, [this] {
        Heartbeat();
        UpdateStatus();
    });
    connect(&program, &app::Program::runningChanged, this, &ServiceNotifier::UpdateStatus);
    connect(&program, &app::Program::projectChanged, this,
            [this] { m_allowanceMs = PassAllowance(m_program.Project(), m_watchdog).count(); });

    m_watchdog = WatchdogInterval();
    if (m_watchdog.count() == 0) {
        return;
    }
    m_allowanceMs = PassAllowance(m_program.Project(), m_watchdog).count();
    Heartbeat();
    // A beat four times per interval: a turn of the loop that is only a little late costs no keep-alive.
    m_heartbeatTimer.setInterval(static_cast<int>(std::max<std::int64_t>(1, m_watchdog.count() / 4000)));
    connect(&m_heartbeatTimer, &QTimer::timeout, this, &ServiceNotifier::Heartbeat);
    m_heartbeatTimer.start();
    m_watchdogThread = std::thread([this] { KeepWatchdogAlive(); });
}

ServiceNotifier::~ServiceNotifier()
{
    if (m_watchdogThread.joinable()) {
        {
            const std::lock_guard lock(m_stopMutex);
            m_stop = true;
        }
        m_stopSignal.notify_all();
        m_watchdogThread.join();
    }
}

void ServiceNotifier::Ready()
{
    m_status = StatusText(m_program);
    Send("READY=1\nSTATUS=" + m_status);
}

void ServiceNotifier::Stopping()
{
    {
        // The keep-alive thread sends under this lock: once it is set, none comes after STOPPING=1.
        const std::lock_guard lock(m_stopMutex);
        m_stopping = true;
    }
    Send("STOPPING=1\nSTATUS=stopping");
}

std::string ServiceNotifier::StatusText(app::Program& program)
{
    const auto& plcs = program.Project().colPlcs();
    std::string text = program.IsRunning() ? "running" : "not running";
    if (!program.IsRunning() || program.PassCount() == 0) {
        return text + "; " + std::to_string(plcs.size()) + " PLC(s)";
    }
    std::size_t connected = 0;
    std::string missing;
    std::size_t named = 0;
    std::size_t unnamed = 0;
    for (const auto& plc : plcs) {
        // As headless mode reports it: a PLC whose channel would not open again is not back until it answers.
        if (plc->Connected && plc->LastError.empty()) {
            ++connected;
        } else if (named < kNamedInStatus) {
            missing += (named++ == 0 ? "" : ", ") + plc->Name;
        } else {
            ++unnamed;
        }
    }
    text += "; " + std::to_string(connected) + " of " + std::to_string(plcs.size()) + " PLC(s) connected";
    if (!missing.empty()) {
        text += "; not connected: " + missing + (unnamed > 0 ? " and " + std::to_string(unnamed) + " more" : "");
    }
    return text;
}

std::chrono::milliseconds ServiceNotifier::PassAllowance(const model::clsConfig& project,
                                                         std::chrono::microseconds watchdog)
{
    // Opening the channel, writing the pokes and reading: each may wait its whole time-out on every try. Channels
    // exchange side by side, so the sum over every PLC is more than a pass can legitimately take.
    constexpr std::int64_t kExchangesPerPass = 3;
    std::int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(watchdog).count() / 2;
    for (const auto& plc : project.colPlcs()) {
        const std::int64_t tries = std::max<std::int64_t>(1, std::int64_t { plc->Params().NumRetries } + 1);
        ms += kExchangesPerPass * tries * std::max<std::int64_t>(0, plc->Params().TimeOut);
    }
    return std::chrono::milliseconds(ms);
}

void ServiceNotifier::Send(const std::string& message)
{
    if (m_active) {
        (void)sd_notify(0, message.c_str());
    }
}

void ServiceNotifier::UpdateStatus()
{
    if (m_stopping) {
        return; // "stopping" holds until the end
    }
    std::string status = StatusText(m_program);
    if (status != m_status) {
        m_status = std::move(status);
        Send("STATUS=" + m_status);
    }
}

void ServiceNotifier::Heartbeat()
{
    m_lastBeatMs = NowMs();
}

void ServiceNotifier::KeepWatchdogAlive()
{
    // Twice per interval, as systemd advises, so that one late keep-alive is no restart.
    const auto period = m_watchdog / 2;
    bool stuck = false;
    std::unique_lock lock(m_stopMutex);
    while (!m_stopSignal.wait_for(lock, period, [this] { return m_stop; })) {
        const std::int64_t away = NowMs() - m_lastBeatMs;
        const std::int64_t allowance = m_allowanceMs;
        if (m_stopping) {
            continue; // systemd stops watching once told the service stops
        }
        if (away <= allowance) {
            (void)sd_notify(0, "WATCHDOG=1");
            if (stuck) {
                std::fprintf(stderr, "tavrel: the pass loop turns again\n");
                stuck = false;
            }
        } else if (!stuck) {
            std::fprintf(stderr,
                         "tavrel: the pass loop has not turned for %lld ms, longer than its PLCs' time-outs allow "
                         "(%lld ms): no more watchdog keep-alives, systemd restarts the service\n",
                         static_cast<long long>(away), static_cast<long long>(allowance));
            stuck = true;
        }
    }
}

} // namespace tavrel
