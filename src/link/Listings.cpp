#include "link/Listings.h"

#include "common/OperandCatalogue.h"
#include "link/LinkNames.h"
#include "link/LinkWire.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>

#include <QJsonObject>
#include <algorithm>
#include <chrono>

namespace tavrel::link {

namespace {

QString HtmlEscaped(const std::string& text)
{
    return QString::fromStdString(text).toHtmlEscaped();
}

QString Utf8(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

QByteArray ItemListJson(const app::ItemService& items)
{
    QJsonArray list;
    for (const app::ItemInfo& one : items.Items()) {
        const app::ItemChange state = items.State(one.index);
        QJsonObject item {
            { "item", ItemName(one.index) },
            { "plc", QString::fromStdString(one.plc) },
            { "operand", Utf8(common::OperandTypeName(one.operandType)) },
            { "address", one.address },
            { "direction", Utf8(common::IoDirectionName(one.direction)) },
            { "enabled", one.enabled },
            { "plcConnected", one.plcConnected },
            { "plcAnswered", one.plcAnswered },
            { "plcError", QString::fromStdString(one.plcError) },
            { "value", QString::fromStdString(items.Value(one.index)) },
            { "name", QString::fromStdString(one.name) },
            { "units", QString::fromStdString(one.units) },
            { "description", QString::fromStdString(one.description) },
        };
        AddStateMembers(item, state);
        list.append(item);
    }
    return JsonText(QJsonObject { { "service", Latin1(kService) },
                                  { "topic", Latin1(kTopic) },
                                  { "running", items.IsRunning() },
                                  { "items", list } });
}

QByteArray ItemListHtml(const app::ItemService& items)
{
    QString html
        = QStringLiteral("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Tavrel items</title></head>"
                         "<body>\n<table border=\"1\">\n<tr><th>Item</th><th>PLC</th><th>Operand</th>"
                         "<th>Address</th><th>Direction</th><th>Value</th><th>Units</th><th>Name</th></tr>\n");
    for (const app::ItemInfo& one : items.Items()) {
        html += QStringLiteral("<tr><td>%1</td><td>%2</td><td>%3</td><td>%4</td><td>%5</td><td>%6</td><td>%7</td>"
                               "<td>%8</td></tr>\n")
                    .arg(ItemName(one.index), HtmlEscaped(one.plc),
                         Utf8(common::OperandTypeName(one.operandType)).toHtmlEscaped())
                    .arg(one.address)
                    .arg(Utf8(common::IoDirectionName(one.direction)), HtmlEscaped(items.Value(one.index)),
                         HtmlEscaped(one.units), HtmlEscaped(one.name));
    }
    html += QStringLiteral("</table>\n</body></html>\n");
    return html.toUtf8();
}

QByteArray SystemListJson(const app::SystemItems& system)
{
    QJsonArray list;
    for (const auto& [name, value] : system.Items()) {
        list.append(QJsonObject { { "item", name }, { "value", value } });
    }
    return JsonText(
        QJsonObject { { "service", Latin1(kService) }, { "topic", Latin1(kSystemTopic) }, { "items", list } });
}

QByteArray SystemListHtml(const app::SystemItems& system)
{
    QString html = QStringLiteral("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Tavrel system</title>"
                                  "</head><body>\n<table border=\"1\">\n<tr><th>Item</th><th>Value</th></tr>\n");
    for (const auto& [name, value] : system.Items()) {
        html += QStringLiteral("<tr><td>%1</td><td>%2</td></tr>\n").arg(name.toHtmlEscaped(), value.toHtmlEscaped());
    }
    html += QStringLiteral("</table>\n</body></html>\n");
    return html.toUtf8();
}

QByteArray EventListJson(const app::EventLog& log, std::uint64_t after)
{
    const auto& events = log.Events();
    auto first = std::find_if(events.begin(), events.end(),
                              [after](const app::Event& event) { return event.sequence > after; });
    if (events.end() - first > static_cast<std::ptrdiff_t>(kMaxEventsAnswered)) {
        first = events.end() - static_cast<std::ptrdiff_t>(kMaxEventsAnswered);
    }
    QJsonArray list;
    for (auto event = first; event != events.end(); ++event) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(event->at.time_since_epoch()).count();
        list.append(QJsonObject {
            { "seq", static_cast<qint64>(event->sequence) },
            { "ts", QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs) },
            { "kind", app::EventKindName(event->kind) },
            { "text", event->text },
        });
    }
    return QJsonDocument(QJsonObject { { "events", list } }).toJson(QJsonDocument::Compact);
}

} // namespace tavrel::link
