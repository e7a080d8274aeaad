#include "link/CommandTable.h"

#include "link/LinkNames.h"
#include "link/LinkSession.h"
#include "link/LinkWire.h"

#include <QJsonDocument>
#include <QStringList>

#include <algorithm>
#include <charconv>

namespace tavrel::link {

namespace {

void SendJson(LinkSession& session, const QJsonObject& object)
{
    session.Send(QString::fromUtf8(JsonText(object)));
}

// A refusal of a message; it names the item the message named, so that a client with several messages on their way
// knows which was refused.
void Refuse(LinkSession& session, const QString& op, const QJsonObject& message, const QString& error, int status)
{
    QJsonObject reply { { "op", op.isEmpty() ? QString(Latin1(kOpError)) : op },
                        { "ok", false },
                        { "error", error },
                        { "status", status } };
    if (const QJsonValue item = message.value("item"); item.isString()) {
        reply.insert("item", item);
    }
    SendJson(session, reply);
}

// A refusal of a message about a System item, which names no item.
void RefuseSystem(LinkSession& session, const QString& op, const QString& error, int status)
{
    SendJson(
        session,
        { { "op", op }, { "topic", Latin1(kSystemTopic) }, { "ok", false }, { "error", error }, { "status", status } });
}

int StatusCode(Status status)
{
    return static_cast<int>(status);
}

// A JSON number as the text a client would have poked: the shortest form that reads back as the same number,
// with the decimal separator the poke's number parser expects.
std::string NumberPokeText(double value, char decimalSeparator)
{
    char buffer[32];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, value);
    std::string text(buffer, written.ptr);
    std::replace(text.begin(), text.end(), '.', decimalSeparator);
    return text;
}

} // namespace

// In the order the answer to an unknown op lists them.
const CommandTable::Command CommandTable::kCommands[] = {
    { kOpAdvise, Names::ExistingItem, &CommandTable::Advise, &CommandTable::AdviseSystem },
    { kOpUnadvise, Names::Item, &CommandTable::Unadvise, &CommandTable::UnadviseSystem },
    { kOpRequest, Names::ExistingItem, &CommandTable::Request, &CommandTable::RequestSystem },
    { kOpPoke, Names::ExistingItem, &CommandTable::Poke, &CommandTable::PokeSystem },
    { kOpExecute, Names::Nothing, &CommandTable::Execute, nullptr },
};

CommandTable::CommandTable(app::ItemService& items, const LinkLimits& limits)
    : m_items(items)
    , m_limits(limits)
{
}

void CommandTable::Handle(LinkSession& session, const QString& text) const
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        Refuse(session, {}, {},
               QStringLiteral("a message is one JSON object, like {\"op\":\"%1\",\"item\":\"%2\"}")
                   .arg(Latin1(kOpAdvise), ItemName(7)),
               StatusCode(Status::BadRequest));
        return;
    }
    Message message { document.object().value("op").toString(), document.object(), {}, 0, {} };
    const auto command = std::find_if(std::begin(kCommands), std::end(kCommands),
                                      [&](const Command& row) { return message.op == Latin1(row.op); });
    if (command == std::end(kCommands)) {
        static const QString known = [] {
            QStringList ops;
            for (const Command& row : kCommands) {
                ops.append(Latin1(row.op));
            }
            const QString last = ops.takeLast();
            return ops.join(QStringLiteral(", ")) + QStringLiteral(" or ") + last;
        }();
        Refuse(session, message.op, message.object, QStringLiteral("unknown op '%1'; use %2").arg(message.op, known),
               StatusCode(Status::BadRequest));
        return;
    }
    if (command->names == Names::Nothing) {
        (this->*command->onItem)(session, message);
        return;
    }
    if (message.object.contains("topic")) {
        const QString topic = message.object.value("topic").toString();
        if (SameIgnoringCase(topic, kSystemTopic)) {
            HandleSystem(*command, session, message);
            return;
        }
        if (!SameIgnoringCase(topic, kTopic)) {
            Refuse(session, message.op, message.object, UnknownTopicReason(topic), StatusCode(Status::NotFound));
            return;
        }
    }
    message.item = message.object.value("item").toString();
    const ItemLookup lookup = LookUpItem(m_items, message.item);
    if (!lookup.index) {
        Refuse(session, message.op, message.object, lookup.reason, StatusCode(lookup.status));
        return;
    }
    message.index = *lookup.index;
    if (command->names == Names::ExistingItem && !m_items.Exists(message.index)) {
        Refuse(session, message.op, message.object, NoItemReason(message.index), StatusCode(Status::NotFound));
        return;
    }
    (this->*command->onItem)(session, message);
}

void CommandTable::HandleSystem(const Command& command, LinkSession& session, Message& message) const
{
    message.item = message.object.value("item").toString();
    if (command.names == Names::ExistingItem) {
        const auto item = m_items.System().Find(message.item);
        if (!item) {
            RefuseSystem(session, message.op, NoSystemItemReason(message.item), StatusCode(Status::NotFound));
            return;
        }
        message.systemItem = *item;
    }
    (this->*command.onSystemItem)(session, message);
}

void CommandTable::Advise(LinkSession& session, const Message& message) const
{
    if (session.LinkCount() >= m_limits.maxLinksPerConnection && !session.Advises(message.index)) {
        Refuse(session, message.op, message.object,
               QStringLiteral("at most %1 links per connection").arg(m_limits.maxLinksPerConnection),
               StatusCode(Status::TooManyRequests));
        return;
    }
    session.Advise(message.index);
    const app::ItemChange state = m_items.State(message.index);
    QJsonObject answer { { "item", ItemName(message.index) }, { "value", QString::fromStdString(state.value) } };
    AddStateMembers(answer, state);
    // A client that named the item by its tag name learns the label name its changes come with.
    if (const std::string name = m_items.TagName(message.index); !name.empty()) {
        answer.insert("name", QString::fromStdString(name));
    }
    SendJson(session, answer);
}

void CommandTable::Unadvise(LinkSession& session, const Message& message) const
{
    session.Unadvise(message.index);
    SendJson(session, { { "op", message.op }, { "item", message.item }, { "ok", true } });
}

void CommandTable::Request(LinkSession& session, const Message& message) const
{
    const app::ItemChange state = m_items.State(message.index);
    QJsonObject answer { { "op", message.op },
                         { "item", ItemName(message.index) },
                         { "value", QString::fromStdString(state.value) } };
    AddStateMembers(answer, state);
    SendJson(session, answer);
}

void CommandTable::Poke(LinkSession& session, const Message& message) const
{
    const QJsonValue value = message.object.value("value");
    if (!value.isString() && !value.isDouble()) {
        Refuse(session, message.op, message.object, QStringLiteral("poke needs a \"value\" text"),
               StatusCode(Status::BadRequest));
        return;
    }
    const std::string text = value.isString() ? value.toString().toStdString()
                                              : NumberPokeText(value.toDouble(), m_items.DecimalSeparator());
    if (static_cast<qint64>(text.size()) > m_limits.maxBodyBytes) {
        Refuse(session, message.op, message.object,
               QStringLiteral("the value is longer than %1 bytes").arg(m_limits.maxBodyBytes),
               StatusCode(Status::PayloadTooLarge));
        return;
    }
    if (const auto refusal = m_items.Poke(session.Caller(), message.index, text)) {
        Refuse(session, message.op, message.object,
               QStringLiteral("%1: %2").arg(ItemName(message.index), QString::fromStdString(refusal->reason)),
               StatusCode(RefusalStatus(refusal->kind)));
        return;
    }
    SendJson(session, { { "op", message.op }, { "item", ItemName(message.index) }, { "ok", true } });
}

void CommandTable::Execute(LinkSession& session, const Message& message) const
{
    const QJsonValue command = message.object.value("command");
    if (!command.isString()) {
        Refuse(session, message.op, message.object, QStringLiteral("execute needs a \"command\" text"),
               StatusCode(Status::BadRequest));
        return;
    }
    // A command that names something is acknowledged before what it starts can send anything.
    const std::string text = command.toString().toStdString();
    const auto refusal = m_items.Execute(session.Caller(), text, [&] {
        SendJson(session, { { "op", message.op }, { "ok", true } });
    });
    if (refusal) {
        Refuse(session, message.op, message.object, QString::fromStdString(refusal->reason),
               StatusCode(RefusalStatus(refusal->kind)));
    }
}

void CommandTable::AdviseSystem(LinkSession& session, const Message& message) const
{
    const auto& [name, value] = message.systemItem;
    // Only names that exist are kept, so a client cannot grow this set beyond the System items.
    session.AdviseSystem(name.toUpper());
    SendJson(session, { { "topic", Latin1(kSystemTopic) }, { "item", name }, { "value", value } });
}

void CommandTable::UnadviseSystem(LinkSession& session, const Message& message) const
{
    session.UnadviseSystem(message.item.toUpper());
    SendJson(session,
             { { "op", message.op }, { "topic", Latin1(kSystemTopic) }, { "item", message.item }, { "ok", true } });
}

void CommandTable::RequestSystem(LinkSession& session, const Message& message) const
{
    const auto& [name, value] = message.systemItem;
    SendJson(session,
             { { "op", message.op }, { "topic", Latin1(kSystemTopic) }, { "item", name }, { "value", value } });
}

void CommandTable::PokeSystem(LinkSession& session, const Message& message) const
{
    RefuseSystem(session, message.op, QStringLiteral("%1 items are read-only").arg(Latin1(kSystemTopic)),
                 StatusCode(Status::Conflict));
}

} // namespace tavrel::link
