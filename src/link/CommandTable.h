#pragma once

#include "app/ItemService.h"
#include "link/LinkSettings.h"

#include <QJsonObject>
#include <QString>

#include <cstdint>
#include <string_view>
#include <utility>

namespace tavrel::link {

class LinkSession;

/// The commands of a WebSocket conversation. Each message is one JSON object whose "op" names a row of the table:
/// advise, unadvise, request, poke (each of an item of the Items topic, or with "topic":"System" of a System item)
/// and execute. Every message is answered: with what it asked for, or {"ok":false,"error":…,"status":…} with the
/// HTTP status the same refusal gets over HTTP.
class CommandTable
{
public:
    CommandTable(app::ItemService& items, const LinkLimits& limits);

    /// Carries out one message of `session`'s client and answers it.
    void Handle(LinkSession& session, const QString& text) const;

private:
    /// A message, decoded as far as its command needs.
    struct Message
    {
        QString op;
        QJsonObject object;
        QString item; ///< "item" as sent
        std::int32_t index = 0; ///< the label index of an item of the Items topic
        std::pair<QString, QString> systemItem; ///< the name and value of a System item that exists
    };
    using Handler = void (CommandTable::*)(LinkSession&, const Message&) const;
    /// What a command's message must name before its handler runs.
    enum class Names { Nothing, Item, ExistingItem };
    /// A row of the table.
    struct Command
    {
        std::string_view op;
        Names names;
        Handler onItem; ///< for the Items topic, or for a command that names no item
        Handler onSystemItem; ///< for the System topic
    };
    static const Command kCommands[];

    void HandleSystem(const Command& command, LinkSession& session, Message& message) const;

    void Advise(LinkSession& session, const Message& message) const;
    void Unadvise(LinkSession& session, const Message& message) const;
    void Request(LinkSession& session, const Message& message) const;
    void Poke(LinkSession& session, const Message& message) const;
    void Execute(LinkSession& session, const Message& message) const;
    void AdviseSystem(LinkSession& session, const Message& message) const;
    void UnadviseSystem(LinkSession& session, const Message& message) const;
    void RequestSystem(LinkSession& session, const Message& message) const;
    void PokeSystem(LinkSession& session, const Message& message) const;

    app::ItemService& m_items;
    const LinkLimits& m_limits;
};

} // namespace tavrel::link
