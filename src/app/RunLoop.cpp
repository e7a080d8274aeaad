#include "app/Program.h"

#include "comm/ProjectComm.h"

#include <QCoreApplication>

#include <algorithm>

// The run: passes one after another in the event loop, spaced by MinPassMs, the PLCs' scan intervals and the
// reconnect delay; one-shot refreshes; starting and stopping.
namespace tavrel::app {

namespace {

// The longest the loop waits between passes, in milliseconds: a reconnect or a scan interval is never further off.
constexpr std::int64_t kLongestWaitMs = 3600 * 1000;

} // namespace

void Program::RefreshOnce()
{
    if (m_running) {
        return;
    }
    SetRunning(true);
    if (m_host) {
        m_host->SetBusy(true);
    }
    emit projectChanged();
    comm::BuildBinaryMix(*m_project);
    comm::ResetConnctedState(*m_project);
    if (m_options.ConnectOnce) {
        comm::OpenPlcsComm(*m_project, m_env, m_workers);
    }
    comm::RefreshSideBySide(*m_project, m_env, m_workers);
    if (m_options.ConnectOnce) {
        comm::ClosePlcsComm(*m_project, m_env, m_workers);
    }
    if (m_host) {
        m_host->SetBusy(false);
    }
    SetRunning(false);
}

void Program::SetRunning(bool running)
{
    if (m_running != running) {
        m_running = running;
        emit runningChanged(running);
    }
}

void Program::ToggleRun()
{
    if (m_running) {
        // Between passes already: the event loop only gets here once a pass is over.
        StopRun();
    } else if (m_projectDialogs > 0) {
        emit notice(QStringLiteral("Run/stop not acted on: a dialog that changes the project is open."));
    } else {
        StartRun();
    }
}

void Program::ClickRun()
{
    if (m_running && !m_runToolEnabled) {
        return;
    }
    ToggleRun();
}

void Program::Stop()
{
    if (m_running) {
        StopRun();
    }
}

void Program::StartRun()
{
    if (m_host) {
        m_host->SetBusy(true);
    }
    ++m_runNumber;
    m_passCount = 0;
    m_lastPassMilliseconds = 0;
    m_runToolEnabled = false;
    emit runToolEnabledChanged(false);
    SetRunning(true);
    emit projectChanged();
    comm::BuildBinaryMix(*m_project);
    comm::ResetConnctedState(*m_project);
    if (m_host) {
        m_host->SetBusy(false);
        if (m_options.MinimizedAfterRun) {
            m_host->MinimizeForRun();
        }
    }
    if (m_options.ConnectOnce) {
        comm::OpenPlcsComm(*m_project, m_env, m_workers);
    }
    m_firstPass = true;
    m_passTimer.start(0);
}

void Program::StopRun()
{
    m_passTimer.stop();
    m_firstPass = false;
    if (m_options.ConnectOnce) {
        comm::ClosePlcsComm(*m_project, m_env, m_workers);
    }
    SetRunning(false);
    if (!m_runToolEnabled) {
        m_runToolEnabled = true;
        emit runToolEnabledChanged(true);
    }
}

void Program::RunPass()
{
    if (!m_running) {
        return;
    }
    m_passStart.start();
    comm::RefreshSideBySide(*m_project, m_env, m_workers);
    m_lastPassMilliseconds = static_cast<double>(m_passStart.nsecsElapsed()) / 1e6;
    ++m_passCount;
    emit passFinished();
    if (m_firstPass) {
        m_firstPass = false;
        // The clicks that arrived during the first pass are handled while the Run tool is still disabled, so
        // they are not acted on; an execute among them still is.
        const std::uint64_t run = m_runNumber;
        QCoreApplication::processEvents();
        if (!m_running || run != m_runNumber) {
            return; // stopped, or stopped and started again, meanwhile
        }
        m_runToolEnabled = true;
        emit runToolEnabledChanged(true);
    }
    if (m_running) {
        ScheduleNextPass();
    }
}

void Program::ScheduleNextPass()
{
    // The next pass comes when the first PLC with something to exchange is due (at once for one without a scan
    // interval, after the pending events), or when the first reconnect is due, and never before MinPassMs has gone
    // by since this pass started; with nothing to wait for, the loop waits for events alone instead of spinning.
    const std::int64_t sinceStart = m_passStart.isValid() ? m_passStart.elapsed() : 0;
    const std::int64_t spacing = std::max<std::int64_t>(0, m_options.MinPassMs - sinceStart);
    std::optional<std::int64_t> wait;
    const auto waitFor = [&wait](std::int64_t milliseconds) {
        wait = std::min(wait.value_or(kLongestWaitMs), std::clamp<std::int64_t>(milliseconds, 0, kLongestWaitMs));
    };
    for (const auto& plc : m_project->colPlcs()) {
        const bool hasWork = std::any_of(plc->colItems().begin(), plc->colItems().end(),
                                         [](const auto& item) { return item->IsEnable; });
        if (plc->Connected) {
            if (hasWork) {
                waitFor(comm::MillisecondsUntilDue(*plc, m_env));
            }
            continue;
        }
        const std::int64_t due = plc->ConnectedTimeOutTimer + m_env.ReconnectDelaySeconds;
        const std::int64_t waitSeconds = std::min<std::int64_t>(due - m_env.MonotonicSeconds(), 3600);
        waitFor(waitSeconds * 1000);
    }
    if (wait) {
        m_passTimer.start(static_cast<int>(std::max(spacing, *wait)));
    }
}

void Program::FirstActivation()
{
    if (m_activatedOnce) {
        return;
    }
    m_activatedOnce = true;
    if (!m_project->colPlcs().empty() && m_options.AutoRun) {
        ToggleRun();
    }
}

} // namespace tavrel::app
