#include "apps/tavrel/Headless.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <sys/socket.h>
#include <unistd.h>

namespace tavrel {

namespace {

int g_signalPipe[2] = { -1, -1 };

void OnSignal(int)
{
    const char byte = 1;
    // Only async-signal-safe work here: the event loop picks the byte up.
    (void)!::write(g_signalPipe[0], &byte, 1);
}

/// One event, one line on standard error: the journal keeps it under a service, a terminal shows it.
void PrintLine(const std::string& line)
{
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

} // namespace

Headless::Headless(app::Program& program, QObject* parent)
    : QObject(parent)
    , m_program(program)
{
    connect(&program, &app::Program::passFinished, this, &Headless::ReportStates);
    connect(&program, &app::Program::pokeRefused, this, [](const QString& plc, int label, const QString& reason) {
        PrintLine("poke refused: PLC '" + plc.toStdString() + "' lblDDE(" + std::to_string(label)
                  + "): " + reason.toStdString());
    });
    connect(&program, &app::Program::projectChanged, this, [this] {
        m_reported.clear();
        m_reportedRunning.clear();
    });
    // Whoever starts or stops the run (a client's execute included) leaves a line.
    connect(&program, &app::Program::runningChanged, this,
            [](bool running) { PrintLine(running ? "running" : "run stopped"); });
    connect(&program, &app::Program::notice, this, [](const QString& text) { PrintLine(text.toStdString()); });
}

void Headless::ShowError(const std::string& message)
{
    std::fprintf(stderr, "tavrel: %s\n", message.c_str());
    std::fflush(stderr);
}

bool Headless::LoadProject(const std::string& commandLineFile)
{
    if (commandLineFile.empty()) {
        m_program.StartUp(commandLineFile);
    } else {
        // A service started with a project it cannot open would look healthy while serving nothing.
        std::error_code error;
        const std::filesystem::path file(commandLineFile);
        if (!std::filesystem::exists(file, error)
            && std::filesystem::is_directory(std::filesystem::absolute(file, error).parent_path(), error)) {
            if (!MakeEmptyProject(commandLineFile)) {
                return false;
            }
        } else if (!std::filesystem::is_regular_file(file, error)) {
            ShowError("cannot open the project " + commandLineFile + ": no such file");
            return false;
        } else if (!m_program.OpenProject(commandLineFile)) {
            return false; // the reason is shown already
        }
    }
    std::size_t items = 0;
    for (const auto& plc : m_program.Project().colPlcs()) {
        items += plc->colItems().size();
    }
    const std::string& path = m_program.CurrentFilePath();
    PrintLine("project " + (path.empty() ? std::string("(new, empty)") : path) + ": "
              + std::to_string(m_program.Project().colPlcs().size()) + " PLC(s), " + std::to_string(items)
              + " item(s)");
    return true;
}

bool Headless::MakeEmptyProject(const std::string& file)
{
    m_saveTarget = file;
    const bool saved = m_program.NewProject() && m_program.SaveProject(true);
    m_saveTarget.reset();
    if (!saved) {
        ShowError("the project " + file + " does not exist, and no new project could be saved there");
        return false;
    }
    PrintLine("project " + m_program.CurrentFilePath()
              + " did not exist: a new, empty project was saved there (replace it with a project made in the window)");
    return true;
}

void Headless::Run()
{
    m_program.ToggleRun();
}

void Headless::ReportStates()
{
    for (const auto& plc : m_program.Project().colPlcs()) {
        // A PLC whose channel would not open again is marked connected until its next read fails; it has not
        // come back, and saying so would report a failure as a success.
        const bool connected = plc->Connected && plc->LastError.empty();
        const auto reported = m_reported.find(plc->Key);
        if (reported != m_reported.end() && reported->second == connected) {
            continue;
        }
        m_reported[plc->Key] = connected;
        if (connected) {
            PrintLine("PLC '" + plc->Name + "' connected (" + plc->GetCommParamsAsString() + ")");
        } else {
            PrintLine("PLC '" + plc->Name + "' not connected (" + plc->GetCommParamsAsString()
                      + "): " + (plc->LastError.empty() ? std::string("no answer") : plc->LastError)
                      + "; next attempt in " + std::to_string(m_program.Environment().ReconnectDelaySeconds) + " s");
        }
    }
    for (const auto& plc : m_program.Project().colPlcs()) {
        if (!plc->PlcRunning) {
            continue;
        }
        const auto [reported, added] = m_reportedRunning.try_emplace(plc->Key, *plc->PlcRunning);
        if (added || reported->second != *plc->PlcRunning) {
            reported->second = *plc->PlcRunning;
            PrintLine("PLC '" + plc->Name + (*plc->PlcRunning ? "' running" : "' in STOP"));
        }
    }
}

void StopOnSignals(app::Program& program, std::function<void()> beforeStop)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalPipe) != 0) {
        return;
    }
    auto* notifier = new QSocketNotifier(g_signalPipe[1], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [&program, notifier, beforeStop] {
        char byte = 0;
        (void)!::read(g_signalPipe[1], &byte, 1);
        notifier->setEnabled(false);
        if (beforeStop) {
            beforeStop();
        }
        program.Stop();
        PrintLine("stopped");
        QCoreApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

} // namespace tavrel
