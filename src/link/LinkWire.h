#pragma once

#include "app/ItemService.h"
#include "common/Refusal.h"

#include <QByteArray>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QLatin1StringView>
#include <QString>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class QHostAddress;
class QJsonObject;

// The small pieces every part of the link server writes or reads: HTTP answers, JSON texts, the protocol's names
// as Qt strings.
namespace tavrel::link {

using Status = QHttpServerResponder::StatusCode;
using Headers = std::vector<std::pair<QByteArray, QByteArray>>;

/// The content type of every text answer.
inline constexpr char kTextPlain[] = "text/plain; charset=utf-8";

/// An answer with a body; to a HEAD request the same headers without the body. An empty `mimeType` sends none.
void WriteContent(QHttpServerResponder& responder, QHttpServerRequest::Method method, const QByteArray& body,
                  const QByteArray& mimeType, Status status = Status::Ok, const Headers& headers = {});

/// A text answer; the text of a refusal (any status but 200) is a line, with its line break.
void Reply(QHttpServerResponder& responder, QHttpServerRequest::Method method, Status status, const QString& text,
           const Headers& headers = {});

/// The one translation of a refusal into this server's codes: the HTTP status, which a WebSocket error carries too.
Status RefusalStatus(common::Refusal::Kind kind);

/// Whether the request asks to become a WebSocket conversation.
bool IsWebSocketUpgrade(const QHttpServerRequest& request);

/// An object as compact JSON text.
QByteArray JsonText(const QJsonObject& object);

/// {"item":"lblDDE(7)","value":"...","ts":"2026-12-07T13:45:01.123Z","quality":"good"} and "reason" when not good
/// ("ts" left out for a value never read), without a JSON document: this runs for every change of every pass. A
/// text that is not valid UTF-8 stays so here: it becomes valid with its replacement characters when the message
/// is made a QString (QString::fromUtf8), as every WebSocket text message is.
QByteArray ItemChangeJson(const app::ItemChange& change);

/// Adds "ts" (left out for a value never read), "quality" and, when not good, "reason" of `state` to `object`.
void AddStateMembers(QJsonObject& object, const app::ItemChange& state);

/// {"item","value","ts","quality"} (and "reason" when not good) as a JSON document: one item's state asked for.
QByteArray ItemStateJson(const app::ItemChange& state);

/// A name of the protocol (LinkNames.h) as a Qt string.
inline QLatin1StringView Latin1(std::string_view name)
{
    return QLatin1StringView(name.data(), static_cast<qsizetype>(name.size()));
}

/// Whether a text a client sent is that name of the protocol, in any letter case.
bool SameIgnoringCase(const QString& text, std::string_view name);

/// An item name "lblDDE(7)", matched without regard to case, as its label index; nothing for a name of
/// another form (leading zeros, blanks, an index beyond 32767 included).
std::optional<std::int32_t> ParseItemName(const QString& name);

/// What a name a client gave for an item names: a label index (a label name "lblDDE(7)", or the tag name of a
/// published item, any case), or why not and how: BadRequest for a text that is neither form, NotFound for a tag
/// name no item has.
struct ItemLookup
{
    std::optional<std::int32_t> index;
    Status status = Status::Ok;
    QString reason;
};
ItemLookup LookUpItem(const app::ItemService& items, const QString& name);

/// "lblDDE(7)": the item name of a label index.
QString ItemName(std::int32_t index);

/// "lblDDE(n)": the form of item names, for reasons that tell it.
QString ItemNameForm();

/// "/dde/Tavrel/Items": the path of the item list and of WebSocket conversations.
QString ItemsPath();

/// The reasons HTTP answers and WebSocket errors share: a topic that is not, an item that is not.
QString UnknownTopicReason(const QString& topic);
QString NoItemReason(std::int32_t index);
QString NoSystemItemReason(const QString& name);

/// "address:port" of a client, as notices and callers name it.
QString PeerText(const QHostAddress& address, quint16 port);

/// A client of this server as the item service knows callers: its address, its role and the name of its token.
app::Caller LinkCaller(const QString& peer, app::Role role, const QString& user);

} // namespace tavrel::link
