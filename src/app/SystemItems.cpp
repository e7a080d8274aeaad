#include "app/SystemItems.h"

#include "app/Program.h"
#include "model/clsConfig.h"

#include <algorithm>
#include <set>

namespace tavrel::app {

namespace {

QString Milliseconds(double milliseconds)
{
    return QString::number(milliseconds, 'f', 1);
}

} // namespace

SystemItems::SystemItems(Program& program, QObject* parent)
    : QObject(parent)
    , m_program(program)
{
    connect(&m_program, &Program::passFinished, this, &SystemItems::Renew);
    connect(&m_program, &Program::projectChanged, this, &SystemItems::Renew);
    connect(&m_program, &Program::runningChanged, this, [this](bool running) {
        if (running) {
            m_errors.clear();
        }
        Renew();
    });
    connect(&m_program, &Program::plcConnected, this, &SystemItems::Renew);
    connect(&m_program, &Program::plcNotConnected, this, [this](int plcKey) {
        ++m_errors[plcKey];
        Renew();
    });
    Renew();
}

std::vector<std::pair<QString, QString>> SystemItems::Items() const
{
    std::vector<std::pair<QString, QString>> items {
        { QStringLiteral("Running"), m_program.IsRunning() ? QStringLiteral("1") : QStringLiteral("0") },
        { QStringLiteral("PassCount"), QString::number(m_program.PassCount()) },
        { QStringLiteral("PassMs"), Milliseconds(m_program.LastPassMilliseconds()) },
    };
    items.insert(items.end(), m_surfaceItems.begin(), m_surfaceItems.end());
    for (const auto& plc : m_program.Project().colPlcs()) {
        const QString name = QString::fromStdString(plc->Name);
        const auto errors = m_errors.find(plc->Key);
        items.emplace_back(name + QStringLiteral(".Connected"),
                           plc->Connected ? QStringLiteral("1") : QStringLiteral("0"));
        items.emplace_back(name + QStringLiteral(".Answered"),
                           plc->Answered ? QStringLiteral("1") : QStringLiteral("0"));
        items.emplace_back(name + QStringLiteral(".PlcRunning"),
                           !plc->PlcRunning       ? QString()
                               : *plc->PlcRunning ? QStringLiteral("1")
                                                  : QStringLiteral("0"));
        items.emplace_back(name + QStringLiteral(".LastError"), QString::fromStdString(plc->LastError));
        items.emplace_back(name + QStringLiteral(".Errors"),
                           QString::number(errors == m_errors.end() ? 0 : errors->second));
        items.emplace_back(name + QStringLiteral(".PassMs"), Milliseconds(plc->ExchangeMilliseconds));
    }
    return items;
}

std::optional<std::pair<QString, QString>> SystemItems::Find(const QString& name) const
{
    for (auto& item : Items()) {
        if (item.first.compare(name, Qt::CaseInsensitive) == 0) {
            return std::move(item);
        }
    }
    return std::nullopt;
}

void SystemItems::SetSurfaceItem(const QString& name, const QString& value)
{
    const auto item = std::find_if(m_surfaceItems.begin(), m_surfaceItems.end(),
                                   [&name](const auto& surfaceItem) { return surfaceItem.first == name; });
    if (item == m_surfaceItems.end()) {
        m_surfaceItems.emplace_back(name, value);
    } else {
        item->second = value;
    }
    Renew();
}

void SystemItems::Renew()
{
    std::set<QString> current;
    for (const auto& [name, value] : Items()) {
        current.insert(name.toUpper());
        auto [told, added] = m_told.try_emplace(name.toUpper(), name, value);
        if (added || told->second.second != value) {
            told->second = { name, value };
            emit changed(name, value);
        }
    }
    std::vector<QString> gone;
    for (auto told = m_told.begin(); told != m_told.end();) {
        if (current.count(told->first) == 0) {
            gone.push_back(told->second.first);
            told = m_told.erase(told);
        } else {
            ++told;
        }
    }
    for (const QString& name : gone) {
        emit removed(name);
    }
}

} // namespace tavrel::app
