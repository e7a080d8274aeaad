#include "app/ItemService.h"

#include "app/Program.h"
#include "comm/ItemExchange.h"
#include "comm/ProjectComm.h"
#include "common/TextCase.h"
#include "model/clsConfig.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include <pwd.h>
#include <unistd.h>

namespace tavrel::app {

namespace {

std::string SurfaceName(Surface surface)
{
    switch (surface) {
    case Surface::Window:
        return "window";
    case Surface::Headless:
        return "headless";
    case Surface::Link:
        return "link";
    case Surface::Mqtt:
        return "mqtt";
    case Surface::OpcUa:
        return "opcua";
    }
    return {};
}

// The account Tavrel runs under: the user of the window.
std::string AccountName()
{
    passwd entry {};
    passwd* found = nullptr;
    char buffer[1024];
    if (::getpwuid_r(::geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
        return found->pw_name;
    }
    return std::to_string(::geteuid());
}

} // namespace

std::optional<std::pair<std::string, std::string>> SplitExecuteCommand(const std::string& command)
{
    const std::size_t lastUnderscore = command.rfind('_');
    if (lastUnderscore == std::string::npos) {
        return std::nullopt;
    }
    std::string verb = command.substr(lastUnderscore + 1);
    std::transform(verb.begin(), verb.end(), verb.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return std::make_pair(command.substr(0, lastUnderscore), verb);
}

ItemService::ItemService(Program& program, QObject* parent)
    : QObject(parent)
    , m_program(program)
    , m_system(program)
{
    connect(&m_system, &SystemItems::changed, this, &ItemService::systemChanged);
    connect(&m_system, &SystemItems::removed, this, &ItemService::systemRemoved);
    m_program.Labels().AddObserver(this);
    m_flushTimer.setSingleShot(true);
    connect(&m_flushTimer, &QTimer::timeout, this, &ItemService::Flush);
    // The System items renew themselves first (they follow the same signals), so that a pass's diagnostics are told
    // before its values.
    connect(&m_program, &Program::passFinished, this, [this] {
        Flush();
        emit passFinished();
    });
    connect(&m_program, &Program::projectChanged, this, [this] {
        m_ownersStale = true;
        emit projectChanged();
    });
    // A run that stops or starts changes the quality of every item: told as soon as the events are handled.
    connect(&m_program, &Program::runningChanged, this, &ItemService::FlushSoon);
    FollowEvents();
}

void ItemService::FollowEvents()
{
    connect(&m_program, &Program::runningChanged, this, [this](bool running) {
        m_events.Add(EventKind::Run, running ? QStringLiteral("run started") : QStringLiteral("run stopped"));
    });
    const auto plcName = [this](int key) {
        const model::clsPlc* plc = m_program.Project().FindPlc(key);
        return plc != nullptr ? QString::fromStdString(plc->Name) : QString::number(key);
    };
    connect(&m_program, &Program::plcConnected, this, [this, plcName](int key) {
        m_events.Add(EventKind::Plc, QStringLiteral("PLC '%1' connected").arg(plcName(key)));
    });
    connect(&m_program, &Program::plcNotConnected, this, [this, plcName](int key, const QString& reason) {
        m_events.Add(EventKind::Plc,
                     QStringLiteral("PLC '%1' not connected: %2; next try in %3 s")
                         .arg(plcName(key), reason.isEmpty() ? QStringLiteral("no answer") : reason)
                         .arg(m_program.Environment().ReconnectDelaySeconds));
    });
    connect(&m_program, &Program::pokeRefused, this, [this](const QString& plc, int label, const QString& reason) {
        m_events.Add(EventKind::Poke,
                     QStringLiteral("%1 of PLC '%2' not written: %3")
                         .arg(QString::fromStdString(model::LabelName(label)), plc, reason));
    });
}

QString ItemService::CallerText(const Caller& caller)
{
    QString text;
    switch (caller.surface) {
    case Surface::Window:
        return QStringLiteral("the window");
    case Surface::Headless:
        return QStringLiteral("the command line");
    case Surface::Link:
        text = QStringLiteral("link");
        break;
    case Surface::Mqtt:
        text = QStringLiteral("MQTT");
        break;
    case Surface::OpcUa:
        text = QStringLiteral("OPC UA");
        break;
    }
    if (!caller.user.empty()) {
        text += QStringLiteral(" user ") + QString::fromStdString(caller.user);
    }
    if (!caller.peer.empty()) {
        text += QStringLiteral(" ") + QString::fromStdString(caller.peer);
    }
    return text;
}

ItemService::~ItemService()
{
    m_program.Labels().RemoveObserver(this);
}

std::vector<ItemInfo> ItemService::Items() const
{
    std::vector<ItemInfo> items;
    for (const auto& plc : m_program.Project().colPlcs()) {
        for (const auto& item : plc->colItems()) {
            for (const model::Clsitem& one : std::as_const(*item).Operands()) {
                items.push_back(
                    ItemInfo { .index = one.Label.Index(),
                               .plc = plc->Name,
                               .operandType = one.OperandType,
                               .address = one.OperandAddress,
                               .direction = one.IoDirection,
                               .enabled = one.IsEnable,
                               .plcConnected = plc->Connected,
                               .plcAnswered = plc->Answered,
                               .plcError = plc->LastError,
                               .name = one.Details.name,
                               .units = one.Details.units,
                               .description = one.Details.description,
                               .kind = common::ItemValueKind(plc->Params().PlcType, one.OperandType, one.Details),
                               .record = one.Details.record });
            }
        }
    }
    return items;
}

std::vector<PlcInfo> ItemService::Plcs() const
{
    std::vector<PlcInfo> plcs;
    for (const auto& plc : m_program.Project().colPlcs()) {
        plcs.push_back(PlcInfo { .key = plc->Key,
                                 .name = plc->Name,
                                 .connected = plc->Connected,
                                 .answered = plc->Answered,
                                 .lastError = plc->LastError });
    }
    return plcs;
}

std::optional<std::int32_t> ItemService::Find(std::string_view name) const
{
    if (const auto index = model::ParseLabelName(name)) {
        return Exists(*index) ? index : std::nullopt;
    }
    (void)FindOwner(0); // renews the names when labels came or went
    const auto found = m_names.find(common::FoldedTagName(name));
    if (found == m_names.end() || !Exists(found->second)) {
        return std::nullopt;
    }
    return found->second;
}

std::string ItemService::TagName(std::int32_t index) const
{
    const Owner* owner = Exists(index) ? FindOwner(index) : nullptr;
    return owner != nullptr ? owner->item->Details.name : std::string();
}

std::string ItemService::Units(std::int32_t index) const
{
    const Owner* owner = Exists(index) ? FindOwner(index) : nullptr;
    return owner != nullptr ? owner->item->Details.units : std::string();
}

const HistoryReader* ItemService::History() const
{
    return m_program.History();
}

bool ItemService::Exists(std::int32_t index) const
{
    return m_program.Labels().IsLoaded(index);
}

const std::string& ItemService::Value(std::int32_t index) const
{
    return m_program.Labels().Text(index);
}

std::int32_t ItemService::HighestIndex() const
{
    return m_program.Labels().HighestIndex();
}

bool ItemService::IsRunning() const
{
    return m_program.IsRunning();
}

char ItemService::DecimalSeparator() const
{
    return m_program.Environment().DecimalSeparator;
}

const ItemService::Owner* ItemService::FindOwner(std::int32_t index) const
{
    if (m_ownersStale) {
        m_owners.assign(static_cast<std::size_t>(m_program.Labels().HighestIndex()) + 1, Owner {});
        m_names.clear();
        for (const auto& plc : m_program.Project().colPlcs()) {
            for (const auto& item : plc->colItems()) {
                for (const model::Clsitem& one : std::as_const(*item).Operands()) {
                    const auto position = static_cast<std::size_t>(one.Label.Index());
                    if (one.Label.IsSet() && position < m_owners.size()) {
                        m_owners[position] = Owner { plc.get(), &one };
                        if (!one.Details.name.empty()) {
                            m_names.emplace(common::FoldedTagName(one.Details.name), one.Label.Index());
                        }
                    }
                }
            }
        }
        m_ownersStale = false;
    }
    const auto position = static_cast<std::size_t>(index);
    if (index <= 0 || position >= m_owners.size() || m_owners[position].item == nullptr) {
        return nullptr;
    }
    return &m_owners[position];
}

void ItemService::Record(const Caller& caller, std::string item, std::string oldValue, const std::string& newValue,
                         const std::optional<common::Refusal>& refusal)
{
    if (!m_audit) {
        return;
    }
    const bool local = caller.surface == Surface::Window || caller.surface == Surface::Headless;
    const AuditRecord record { .time = std::chrono::system_clock::now(),
                               .surface = SurfaceName(caller.surface),
                               .user = caller.user.empty() && local ? AccountName() : caller.user,
                               .peer = caller.peer,
                               .item = std::move(item),
                               .oldValue = std::move(oldValue),
                               .newValue = newValue,
                               .accepted = !refusal,
                               .reason = refusal ? refusal->reason : std::string() };
    const std::uint64_t lostBefore = m_audit->Lost();
    if (const auto written = m_audit->Write(record); !written) {
        // The write itself is carried out all the same: a full disk must not stop a plant.
        ++m_auditLost;
        if (lostBefore == 0) {
            m_events.Add(EventKind::Audit,
                         QStringLiteral("%1; writes and commands go on unrecorded")
                             .arg(QString::fromStdString(written.error())));
        }
        m_system.SetSurfaceItem(QStringLiteral("AuditLost"), QString::number(m_auditLost));
    } else if (lostBefore != 0) {
        m_events.Add(EventKind::Audit,
                     QStringLiteral("the audit file is written again; %1 lines were lost before").arg(lostBefore));
    }
}

std::optional<common::Refusal> ItemService::Poke(const Caller& caller, std::int32_t index, const std::string& text)
{
    std::string oldValue = Exists(index) ? Value(index) : std::string();
    auto refusal = CheckAndTakePoke(caller, index, text);
    Record(caller, model::LabelName(index), std::move(oldValue), text, refusal);
    if (refusal) {
        m_events.Add(EventKind::Poke,
                     QStringLiteral("poke of %1 from %2 refused: %3")
                         .arg(QString::fromStdString(model::LabelName(index)), CallerText(caller),
                              QString::fromStdString(refusal->reason)));
    }
    return refusal;
}

std::optional<common::Refusal> ItemService::CheckAndTakePoke(const Caller& caller, std::int32_t index,
                                                             const std::string& text)
{
    using Kind = common::Refusal::Kind;
    if (caller.role != Role::Operator) {
        return common::Refusal { Kind::NotAllowed, "a reader may not poke" };
    }
    const Owner* owner = Exists(index) ? FindOwner(index) : nullptr;
    if (owner == nullptr) {
        return common::Refusal { Kind::UnknownItem,
                                 index == 0 ? "lblDDE(0) is no item of any PLC"
                                            : model::LabelName(index) + " is no item" };
    }
    if (auto refusal
        = comm::CheckPoke(*owner->item, text, m_program.CheckingDriver(*owner->plc).get(), DecimalSeparator())) {
        return refusal;
    }
    m_program.Labels().SetText(index, text);
    return std::nullopt;
}

std::optional<ItemService::Command> ItemService::ParseCommand(const std::string& command) const
{
    const auto parts = SplitExecuteCommand(command);
    if (!parts) {
        return std::nullopt;
    }
    const auto& [name, verb] = *parts;
    // A PLC of that name comes first: a PLC named "Tavrel" is still reached by its commands.
    if ((verb == "STOP" || verb == "RUN") && comm::FindPlcByName(m_program.Project(), name) != nullptr) {
        return Command { verb == "STOP" ? Command::Action::StopPlc : Command::Action::RunPlc, name };
    }
    if (verb == "RUN/STOP") {
        return Command { Command::Action::ToggleRun, {} };
    }
    if (common::SameTextIgnoringCase(name, kProgramCommandName) && (verb == "STOP" || verb == "RUN")) {
        return Command { verb == "STOP" ? Command::Action::StopRun : Command::Action::StartRun, {} };
    }
    return std::nullopt;
}

std::string ItemService::CommandList() const
{
    std::string list = "the commands are Tavrel_RUN, Tavrel_STOP, Tavrel_RUN/STOP";
    const auto& plcs = m_program.Project().colPlcs();
    if (plcs.empty()) {
        return list + ", and NAME_RUN and NAME_STOP for a PLC of the project (it has none)";
    }
    list += ", and NAME_RUN and NAME_STOP for the PLCs ";
    for (std::size_t i = 0; i < plcs.size(); ++i) {
        list += (i == 0 ? "" : ", ") + plcs[i]->Name;
    }
    return list;
}

std::optional<common::Refusal> ItemService::Execute(const Caller& caller, const std::string& command,
                                                    const std::function<void()>& accepted)
{
    const QString quoted = QStringLiteral("'%1'").arg(QString::fromStdString(command).left(200));
    const auto refused = [&](common::Refusal refusal, const QString& why) {
        m_events.Add(EventKind::Command,
                     QStringLiteral("command %1 from %2 refused: %3").arg(quoted, CallerText(caller), why));
        auto answer = std::optional(std::move(refusal));
        Record(caller, std::string(kAuditCommandItem), {}, command, answer);
        return answer;
    };
    if (caller.role != Role::Operator) {
        return refused({ common::Refusal::Kind::NotAllowed, "a reader may not execute commands" },
                       QStringLiteral("a reader may not execute commands"));
    }
    const auto parsed = ParseCommand(command);
    if (!parsed) {
        // The reason's list of commands is the caller's business, not the log's.
        return refused({ common::Refusal::Kind::UnknownCommand, "'" + command + "' is no command; " + CommandList() },
                       QStringLiteral("no such command"));
    }
    if (accepted) {
        accepted();
    }
    m_events.Add(EventKind::Command, QStringLiteral("command %1 from %2").arg(quoted, CallerText(caller)));
    Record(caller, std::string(kAuditCommandItem), {}, command, std::nullopt);
    switch (parsed->action) {
    case Command::Action::StopPlc:
        comm::StopPlc(m_program.Project(), parsed->plc, m_program.Environment());
        break;
    case Command::Action::RunPlc:
        comm::RunPlc(m_program.Project(), parsed->plc, m_program.Environment());
        break;
    case Command::Action::ToggleRun:
        m_program.ToggleRun();
        break;
    case Command::Action::StartRun:
        if (!m_program.IsRunning()) {
            m_program.ToggleRun();
        }
        break;
    case Command::Action::StopRun:
        m_program.Stop();
        break;
    }
    return std::nullopt;
}

} // namespace tavrel::app
