#include "app/Program.h"

#include "comm/ProjectComm.h"

#include <QCoreApplication>

#include <algorithm>

// The run: passes one after another in the event loop, spaced by MinPassMs and the reconnect delay; one-shot
// refreshes; starting and stopping.
namespace tavrel::app {

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
    // A pass with something to exchange follows once MinPassMs has gone by since this one started (at once, after
    // the pending events, when it is 0); otherwise the loop waits for the next reconnect, or for events alone,
    // instead of spinning.
    const std::int64_t sinceStart = m_passStart.isValid() ? m_passStart.elapsed() : 0;
    const int spacing = static_cast<int>(std::max<std::int64_t>(0, m_options.MinPassMs - sinceStart));
    std::optional<std::int64_t> nextRetry;
    for (const auto& plc : m_project->colPlcs()) {
        const bool hasWork = std::any_of(plc->colItems().begin(), plc->colItems().end(),
                                         [](const auto& item) { return item->IsEnable; });
        if (!hasWork && plc->Connected) {
            continue;
        }
        if (plc->Connected) {
            m_passTimer.start(spacing);
            return;
        }
        const std::int64_t due = plc->ConnectedTimeOutTimer + m_env.ReconnectDelaySeconds;
        nextRetry = nextRetry ? std::min(*nextRetry, due) : due;
    }
    if (nextRetry) {
        const std::int64_t waitSeconds = std::max<std::int64_t>(0, *nextRetry - m_env.MonotonicSeconds());
        m_passTimer.start(std::max(spacing, static_cast<int>(std::min<std::int64_t>(waitSeconds, 3600) * 1000)));
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
