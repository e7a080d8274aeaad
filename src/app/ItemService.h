#pragma once

#include "app/AuditTrail.h"
#include "app/EventLog.h"
#include "app/SystemItems.h"
#include "common/DeviceItems.h"
#include "common/Refusal.h"
#include "common/Role.h"
#include "model/ChangedLabels.h"
#include "model/LabelArray.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tavrel::model {
class clsPlc;
class Clsitem;
} // namespace tavrel::model

namespace tavrel::app {

class Program;
class HistoryReader;

/// The name before "_RUN" and "_STOP" in the commands that start and stop the run.
inline constexpr std::string_view kProgramCommandName = "Tavrel";
/// The item of a command's audit line.
inline constexpr std::string_view kAuditCommandItem = "execute";

/// The way a client reached Tavrel.
enum class Surface { Window, Headless, Link, Mqtt, OpcUa };

/// What a caller may do: a reader reads, browses and subscribes; an operator also pokes and executes.
using Role = common::Role;

/// Who asks for a poke or a command: the surface, the user or token name, the peer address and the role.
struct Caller
{
    Surface surface = Surface::Window;
    std::string user;
    std::string peer;
    Role role = Role::Operator;
};

/// How far a value can be trusted.
enum class Quality {
    Good, ///< read from its PLC in this run, and the PLC still answers
    Waiting, ///< its PLC has not answered yet in this run
    Stale, ///< read, then its PLC stopped answering: the last value
    Bad ///< its device will not give it (a register it has not): no value, and the reason
};

/// "good", "waiting", "stale" or "bad", as clients read a quality.
std::string_view QualityName(Quality quality);

/// The kind of value an item holds, as clients type it.
using ValueKind = common::ValueKind;

/// What a client needs to know of one published item.
struct ItemInfo
{
    std::int32_t index = 0; ///< the label index; the item's name is protocol::LabelName(index)
    std::string plc; ///< the PLC's name
    std::int32_t operandType = 0;
    std::int32_t address = 0;
    std::int32_t direction = 0;
    bool enabled = false;
    bool plcConnected = false;
    bool plcAnswered = false;
    std::string plcError;
    std::string name; ///< the tag name (a vector's element: NAME[k]); empty for none
    std::string units;
    std::string description;
    ValueKind kind = ValueKind::Text;
    bool record = false; ///< its history is kept (while a project file is open: see History())
};

/// A PLC as clients see it.
struct PlcInfo
{
    std::int32_t key = 0;
    std::string name;
    bool connected = false;
    bool answered = false;
    std::string lastError;
};

/// One item's change, as given to every surface at the end of a pass.
struct ItemChange
{
    std::int32_t index = 0;
    std::string value;
    std::chrono::system_clock::time_point readAt; ///< when the value changed (wall clock); zero: never in this session
    Quality quality = Quality::Good;
    std::string reason; ///< why the quality is not good
};

/// The one way in for every client surface (the link server, the MQTT bridge, and the surfaces to come): the
/// published items and what a client needs to know of each, one batch of changes per pass, the System items, and
/// the commands of clients — Poke and Execute — with one refusal type. Surfaces never reach the model or each
/// other. Lives on the main thread, owned by the program.
class ItemService : public QObject, private model::LabelObserver
{
    Q_OBJECT

public:
    explicit ItemService(Program& program, QObject* parent = nullptr);
    ~ItemService() override;

    /// Every published item in project order (a vector's elements one by one).
    std::vector<ItemInfo> Items() const;
    /// Every PLC in project order.
    std::vector<PlcInfo> Plcs() const;
    /// The label index of an item name that names a published item: its label name ("lblDDE(7)") or its tag name
    /// ("Boiler1.Temp", a vector's element "Volts[2]"), in any letter case.
    std::optional<std::int32_t> Find(std::string_view name) const;
    /// The tag name of a published item; empty for one without a name, or no item.
    std::string TagName(std::int32_t index) const;
    /// The engineering units of a published item; empty for none, or no item.
    std::string Units(std::int32_t index) const;
    /// The history of the recorded items; none while no project file is open.
    const HistoryReader* History() const;
    /// Whether label `index` is published (loaded).
    bool Exists(std::int32_t index) const;
    /// The text of a published item; empty for one that is not.
    const std::string& Value(std::int32_t index) const;
    /// An item's present value, when it last changed and how far it can be trusted, as a change would tell it;
    /// an empty value of quality Waiting for one that is not published. The live value: a deadband holds back only
    /// what `changed` tells.
    ItemChange State(std::int32_t index) const;
    /// The highest label index in use; items lie from 1 to it.
    std::int32_t HighestIndex() const;

    /// What happened lately: PLCs lost and back, refused pokes, commands, broker and client events. Surfaces add
    /// their own (a broker lost, a client closed).
    EventLog& Events() { return m_events; }
    const EventLog& Events() const { return m_events; }
    /// The run's and the PLCs' health as named texts.
    const SystemItems& System() const { return m_system; }
    /// Sets a System item that a client surface keeps ("OpcUaSessions").
    void SetSystemItem(const QString& name, const QString& value) { m_system.SetSurfaceItem(name, value); }
    bool IsRunning() const;
    /// The decimal separator of the texts clients poke.
    char DecimalSeparator() const;

    /// Replaces the text of an item as `caller`'s poke, or says why not; nothing changes then. A poke that is taken
    /// is one the write pass can write.
    [[nodiscard]] std::optional<common::Refusal> Poke(const Caller& caller, std::int32_t index,
                                                      const std::string& text);
    /// Carries out an execute command, or says why not (a caller who may not; an unknown command, with the list of
    /// those there are): "<PLC>_STOP" and "<PLC>_RUN" stop and run a PLC's program, "<anything>_RUN/STOP" toggles
    /// the run, "Tavrel_RUN" and "Tavrel_STOP" start and stop it (nothing when it already is so); the PLC name and
    /// the verb in any letter case. `accepted`, when given, is called once the command is known to be carried out and
    /// before it is, so that a surface acknowledges it before what it starts can hold up the event loop.
    [[nodiscard]] std::optional<common::Refusal> Execute(const Caller& caller, const std::string& command,
                                                         const std::function<void()>& accepted = {});

    /// Records every poke and command from now on, carried out or refused, in `audit` (none: no audit trail).
    void SetAuditTrail(std::unique_ptr<AuditTrail> audit) { m_audit = std::move(audit); }
    /// The audit trail; none when there is no audit trail.
    const AuditTrail* Audit() const { return m_audit.get(); }

    /// Hands the changes noted so far to the surfaces now, rather than at the end of the pass.
    void Flush();

signals:
    /// The items that changed since the last batch, each once with its newest value, in the order of their first
    /// change: at the end of each pass, or as soon as the events are handled between passes (a poke, a run that
    /// stopped). A change is a new text, or a new quality or reason (a PLC lost or back, the run stopped or
    /// started); a numeric text that moved less than the item's deadband from the last one told is none.
    void changed(const std::vector<tavrel::app::ItemChange>& changes);
    /// An item is no more; links to it end.
    void itemRemoved(std::int32_t index);
    /// A System item's text changed, or it came to be.
    void systemChanged(const QString& name, const QString& value);
    /// A System item is no more: its PLC left the project, or was renamed.
    void systemRemoved(const QString& name);
    /// Items or PLCs were added, removed or renamed, or the project replaced.
    void projectChanged();
    /// One pass of a run is over (after its batch of changes).
    void passFinished();

private:
    void LabelTextChanged(std::int32_t index, const std::string& text) override;
    void LabelUnloaded(std::int32_t index) override;
    void LabelLoaded(std::int32_t index) override;

    /// What an execute command asks for.
    struct Command
    {
        enum class Action { StopPlc, RunPlc, ToggleRun, StartRun, StopRun };
        Action action;
        std::string plc;
    };
    std::optional<Command> ParseCommand(const std::string& command) const;
    /// The commands there are, for the reason of a refusal.
    std::string CommandList() const;

    std::optional<common::Refusal> CheckAndTakePoke(const Caller& caller, std::int32_t index, const std::string& text);
    /// Notes PLC states, write refusals and the run in the event log.
    void FollowEvents();
    /// Flushes soon: between passes, once the events are handled.
    void FlushSoon();
    /// Adds to `indexes` the items of every PLC whose quality may have changed since the last batch (a PLC lost,
    /// back or answering, the run started or stopped), each once.
    void AddQualityCandidates(std::vector<std::int32_t>& indexes);
    /// Whether `state` is a change for clients from what they were last told of its item; notes it as told if so.
    /// `textChanged`: the label's text was set (not only its PLC's state); the first state of an item that was
    /// never told is then told, else only noted.
    bool TakeIfChange(const ItemChange& state, bool textChanged);
    /// How a caller is named in the event log: "link 127.0.0.1:50000", "MQTT", "the window".
    static QString CallerText(const Caller& caller);
    /// Writes a poke's or command's line into the audit trail; a line that cannot be written goes to the event log
    /// and the System item AuditLost instead.
    void Record(const Caller& caller, std::string item, std::string oldValue, const std::string& newValue,
                const std::optional<common::Refusal>& refusal);

    /// The PLC and item of each label index, renewed when labels come and go.
    struct Owner
    {
        const model::clsPlc* plc = nullptr;
        const model::Clsitem* item = nullptr;
    };
    const Owner* FindOwner(std::int32_t index) const;

    Program& m_program;
    SystemItems m_system;
    EventLog m_events;
    model::ChangedLabels m_changed;
    /// When each label last changed, by index.
    std::vector<std::chrono::system_clock::time_point> m_changedAt;
    /// What clients were last told of an item: the reference of its deadband and of its quality changes.
    struct Told
    {
        bool any = false;
        std::string value;
        std::optional<double> number; ///< the value as a number, when it is one
        Quality quality = Quality::Waiting;
        std::string reason;
    };
    std::vector<Told> m_told;
    /// What each PLC's items' quality follows, as the last batch found it, by PLC key.
    struct PlcSeen
    {
        bool answered = false;
        bool connected = false;
        std::string lastError;
        friend bool operator==(const PlcSeen&, const PlcSeen&) = default;
    };
    std::unordered_map<std::int32_t, PlcSeen> m_plcSeen;
    bool m_runningSeen = false;
    mutable std::vector<Owner> m_owners;
    /// The label index of each tag name, in lower case; renewed with the owners.
    mutable std::unordered_map<std::string, std::int32_t> m_names;
    mutable bool m_ownersStale = true;
    QTimer m_flushTimer;
    std::unique_ptr<AuditTrail> m_audit;
    /// Audit lines lost since the program started.
    std::uint64_t m_auditLost = 0;
};

/// The execute command split as the handler reads it: the PLC name (letter case kept) and the verb in upper case;
/// nothing for a command without "_".
std::optional<std::pair<std::string, std::string>> SplitExecuteCommand(const std::string& command);

} // namespace tavrel::app
