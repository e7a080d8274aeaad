#include "app/Program.h"

#include "app/HistoryRecorder.h"

#include "comm/ProjectComm.h"

#include <QLocale>

namespace tavrel::app {

namespace {

char LocaleDecimalSeparator()
{
    const QString point = QLocale::system().decimalPoint();
    return point.size() == 1 && point.at(0).unicode() < 128 ? static_cast<char>(point.at(0).unicode()) : '.';
}

} // namespace

Program::Program(common::Settings settings, DriverFactory factory, std::filesystem::path templatePath, QObject* parent)
    : QObject(parent)
    , m_settings(std::move(settings))
    , m_templatePath(std::move(templatePath))
    , m_project(std::make_unique<model::clsConfig>(m_labels))
{
    m_options = common::GetOptions(m_settings);
    m_env.CreateDriver = std::move(factory);
    m_env.Options = &m_options;
    m_env.Observer = this;
    m_env.DecimalSeparator = LocaleDecimalSeparator();
    m_passTimer.setSingleShot(true);
    m_passTimer.setTimerType(Qt::PreciseTimer); // MinPassMs spaces passes to the millisecond
    connect(&m_passTimer, &QTimer::timeout, this, &Program::RunPass);
    m_service = std::make_unique<ItemService>(*this);
}

Program::~Program()
{
    m_passTimer.stop();
    m_history.reset();
    if (m_running && m_options.ConnectOnce) {
        comm::ClosePlcsComm(*m_project, m_env, m_workers);
    }
}

const HistoryReader* Program::History() const
{
    return m_history.get();
}

void Program::FollowHistory()
{
    if (m_currentPath.empty()) {
        if (m_history) {
            m_history.reset();
            emit projectChanged();
        }
        return;
    }
    const std::filesystem::path folder = HistoryFolder(m_currentPath);
    if (m_history && m_history->Store().Folder() == folder) {
        return;
    }
    m_history.reset(); // the old folder's writer ends before the new one starts
    m_history = std::make_unique<HistoryRecorder>(*this, folder, common::ReadHistorySettings(m_settings));
    emit projectChanged(); // the surfaces tell which items have a history now
}

void Program::ReloadOptions()
{
    m_options = common::GetOptions(m_settings);
    if (m_minPassOverride) {
        m_options.MinPassMs = *m_minPassOverride;
    }
}

void Program::OverrideMinPassMs(std::int32_t milliseconds)
{
    m_minPassOverride = milliseconds;
    m_options.MinPassMs = milliseconds;
}

std::shared_ptr<const comm::CommDriver> Program::CheckingDriver(const model::clsPlc& plc) const
{
    // A fresh instance: it knows the PLC's operands as the channel's does, and the channel's own instance is
    // left to the exchange that owns it.
    try {
        return m_env.CreateDriver ? m_env.CreateDriver(plc) : nullptr;
    } catch (...) {
        return nullptr; // the write pass asks the driver again
    }
}

void Program::ShowError(const std::string& message)
{
    if (m_host) {
        m_host->ShowError(message);
    }
}

void Program::HighlightConnectedPlc(std::int32_t pPlcKey)
{
    emit plcConnected(pPlcKey);
}

void Program::HighlightNotConnectedPlc(std::int32_t pPlcKey, const std::string& reason)
{
    emit plcNotConnected(pPlcKey, QString::fromStdString(reason));
}

void Program::PokeRefused(const model::clsPlc& plc, const model::Clsitem& item, const std::string& reason)
{
    emit pokeRefused(QString::fromStdString(plc.Name), item.Label.Index(), QString::fromStdString(reason));
}

} // namespace tavrel::app
