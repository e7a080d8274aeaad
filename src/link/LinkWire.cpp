#include "link/LinkWire.h"

#include "common/TimeText.h"
#include "link/LinkNames.h"
#include "model/LabelArray.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

namespace tavrel::link {

void WriteContent(QHttpServerResponder& responder, QHttpServerRequest::Method method, const QByteArray& body,
                  const QByteArray& mimeType, Status status, const Headers& headers)
{
    responder.writeStatusLine(status);
    for (const auto& [name, value] : headers) {
        responder.writeHeader(name, value);
    }
    if (!mimeType.isEmpty()) {
        responder.writeHeader("Content-Type", mimeType);
    }
    responder.writeHeader("Content-Length", QByteArray::number(body.size()));
    // A client reads the bytes after a HEAD answer as the next answer.
    responder.writeBody(method == QHttpServerRequest::Method::Head ? QByteArray() : body);
}

void Reply(QHttpServerResponder& responder, QHttpServerRequest::Method method, Status status, const QString& text,
           const Headers& headers)
{
    WriteContent(responder, method, text.toUtf8() + (text.isEmpty() || status == Status::Ok ? "" : "\n"), kTextPlain,
                 status, headers);
}

Status RefusalStatus(common::Refusal::Kind kind)
{
    using Kind = common::Refusal::Kind;
    switch (kind) {
    case Kind::UnknownItem:
        return Status::NotFound;
    case Kind::NotWritable:
        return Status::Conflict;
    case Kind::BadValue:
    case Kind::OutOfRange:
        return Status::UnprocessableEntity;
    case Kind::NotAllowed:
        return Status::Forbidden;
    case Kind::UnknownCommand:
        return Status::BadRequest;
    }
    return Status::BadRequest;
}

bool IsWebSocketUpgrade(const QHttpServerRequest& request)
{
    return request.value("upgrade").compare("websocket", Qt::CaseInsensitive) == 0;
}

QByteArray JsonText(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

namespace {

void AppendJsonString(QByteArray& text, std::string_view value)
{
    text += '"';
    for (const char c : value) {
        switch (c) {
        case '"':
            text += "\\\"";
            break;
        case '\\':
            text += "\\\\";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
                text += escaped;
            } else {
                text += c;
            }
        }
    }
    text += '"';
}

} // namespace

QByteArray ItemChangeJson(const app::ItemChange& change)
{
    QByteArray text;
    text.reserve(static_cast<qsizetype>(change.value.size()) + 100);
    text += "{\"item\":\"";
    text.append(kItemNameStart.data(), static_cast<qsizetype>(kItemNameStart.size()));
    text += QByteArray::number(change.index);
    text.append(kItemNameEnd.data(), static_cast<qsizetype>(kItemNameEnd.size()));
    text += "\",\"value\":";
    AppendJsonString(text, change.value);
    if (change.readAt.time_since_epoch().count() != 0) {
        text += ",\"ts\":\"";
        text += common::UtcTimeText(change.readAt);
        text += '"';
    }
    text += ",\"quality\":\"";
    const std::string_view quality = app::QualityName(change.quality);
    text.append(quality.data(), static_cast<qsizetype>(quality.size()));
    text += '"';
    if (change.quality != app::Quality::Good) {
        text += ",\"reason\":";
        AppendJsonString(text, change.reason);
    }
    text += '}';
    return text;
}

void AddStateMembers(QJsonObject& object, const app::ItemChange& state)
{
    if (state.readAt.time_since_epoch().count() != 0) {
        object.insert("ts", QString::fromStdString(common::UtcTimeText(state.readAt)));
    }
    object.insert("quality", QString::fromLatin1(app::QualityName(state.quality)));
    if (state.quality != app::Quality::Good) {
        object.insert("reason", QString::fromStdString(state.reason));
    }
}

QByteArray ItemStateJson(const app::ItemChange& state)
{
    QJsonObject object { { "item", ItemName(state.index) }, { "value", QString::fromStdString(state.value) } };
    AddStateMembers(object, state);
    return JsonText(object);
}

bool SameIgnoringCase(const QString& text, std::string_view name)
{
    return text.compare(Latin1(name), Qt::CaseInsensitive) == 0;
}

std::optional<std::int32_t> ParseItemName(const QString& name)
{
    return model::ParseLabelName(name.toStdString());
}

ItemLookup LookUpItem(const app::ItemService& items, const QString& name)
{
    if (const auto index = ParseItemName(name)) {
        return { index, Status::Ok, {} };
    }
    const std::string text = name.toStdString();
    if (const auto index = items.Find(text)) {
        return { index, Status::Ok, {} };
    }
    if (!text.empty() && !common::TagNameProblem(text)) {
        return { std::nullopt, Status::NotFound, QStringLiteral("no item is named '%1'").arg(name) };
    }
    return { std::nullopt, Status::BadRequest,
             QStringLiteral("'%1' is no item name; item names have the form %2, n from 0 to %3, or are an item's "
                            "tag name")
                 .arg(name, ItemNameForm(), QString::number(model::LabelArray::kMaxIndex)) };
}

QString ItemName(std::int32_t index)
{
    return Latin1(kItemNameStart) + QString::number(index) + Latin1(kItemNameEnd);
}

QString ItemNameForm()
{
    return Latin1(kItemNameStart) + QLatin1Char('n') + Latin1(kItemNameEnd);
}

QString ItemsPath()
{
    return QStringLiteral("/%1/%2/%3").arg(Latin1(kPathRoot), Latin1(kService), Latin1(kTopic));
}

QString UnknownTopicReason(const QString& topic)
{
    return QStringLiteral("unknown topic '%1'; the topics are %2 and %3")
        .arg(topic, Latin1(kTopic), Latin1(kSystemTopic));
}

QString NoItemReason(std::int32_t index)
{
    return QStringLiteral("no item %1").arg(ItemName(index));
}

QString NoSystemItemReason(const QString& name)
{
    return QStringLiteral("no %1 item '%2'").arg(Latin1(kSystemTopic), name);
}

QString PeerText(const QHostAddress& address, quint16 port)
{
    return QStringLiteral("%1:%2").arg(address.toString()).arg(port);
}

app::Caller LinkCaller(const QString& peer, app::Role role, const QString& user)
{
    return app::Caller {
        .surface = app::Surface::Link, .user = user.toStdString(), .peer = peer.toStdString(), .role = role
    };
}

} // namespace tavrel::link
