#include "link/HistoryRoute.h"

#include "app/ItemService.h"

#include <QDateTime>

#include <charconv>
#include <cmath>

namespace tavrel::link {

namespace {

void AppendNumber(QByteArray& out, double value)
{
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    char text[32];
    const auto [end, error] = std::to_chars(std::begin(text), std::end(text), value);
    out.append(text, error == std::errc() ? end - text : 0);
}

} // namespace

std::optional<std::int64_t> ParseHistoryTime(const QString& text)
{
    bool isNumber = false;
    const qlonglong milliseconds = text.toLongLong(&isNumber);
    if (isNumber) {
        return milliseconds;
    }
    QDateTime time = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!time.isValid()) {
        return std::nullopt;
    }
    if (time.timeSpec() == Qt::LocalTime) {
        time.setTimeSpec(Qt::UTC); // no offset written: UTC, as the answers write times
    }
    return time.toMSecsSinceEpoch();
}

tl::expected<HistoryQuery, QString> ParseHistoryQuery(const QUrlQuery& query, std::int64_t nowMs)
{
    using Limits = HistoryRouteLimits;
    HistoryQuery asked;
    const auto time = [&query](const char* key, std::int64_t fallback) -> tl::expected<std::int64_t, QString> {
        const QString text = query.queryItemValue(QLatin1String(key), QUrl::FullyDecoded);
        if (text.isEmpty()) {
            return fallback;
        }
        if (const auto parsed = ParseHistoryTime(text)) {
            return *parsed;
        }
        return tl::make_unexpected(QStringLiteral("%1= takes milliseconds since 1970 or an ISO 8601 time like "
                                                  "2026-12-07T13:45:01.123Z, not '%2'")
                                       .arg(QLatin1String(key), text));
    };
    const auto to = time("to", nowMs);
    if (!to) {
        return tl::make_unexpected(to.error());
    }
    const auto from = time("from", *to - Limits::kDefaultRangeMs);
    if (!from) {
        return tl::make_unexpected(from.error());
    }
    asked.fromMs = *from;
    asked.toMs = *to;
    if (asked.fromMs > asked.toMs) {
        return tl::make_unexpected(QStringLiteral("from= is after to="));
    }
    if (asked.toMs - asked.fromMs > Limits::kMaxRangeMs) {
        return tl::make_unexpected(QStringLiteral("the range is over 366 days; ask for a shorter one"));
    }
    const QString points = query.queryItemValue(QStringLiteral("points"));
    if (!points.isEmpty()) {
        bool ok = false;
        const qulonglong count = points.toULongLong(&ok);
        if (!ok || count == 0 || count > Limits::kMaxPoints) {
            return tl::make_unexpected(QStringLiteral("points= takes a whole number from 1 to %1, not '%2'")
                                           .arg(Limits::kMaxPoints)
                                           .arg(points));
        }
        asked.points = static_cast<std::size_t>(count);
    }
    return asked;
}

QByteArray HistoryJson(const QString& item, const QString& units, const std::vector<app::HistoryPoint>& points)
{
    const auto quoted = [](const QString& text) {
        QByteArray out = "\"";
        for (const char c : text.toUtf8()) {
            if (c == '"' || c == '\\') {
                out += '\\';
                out += c;
            } else if (static_cast<unsigned char>(c) < 0x20) {
                out += QByteArray("\\u00")
                    + QByteArray::number(static_cast<unsigned char>(c), 16).rightJustified(2, '0');
            } else {
                out += c;
            }
        }
        return out + "\"";
    };
    QByteArray out = "{\"item\":" + quoted(item) + ",\"units\":" + quoted(units) + ",\"points\":[";
    out.reserve(out.size() + static_cast<qsizetype>(points.size()) * 40);
    for (std::size_t i = 0; i < points.size(); ++i) {
        const app::HistoryPoint& point = points[i];
        out += i == 0 ? "[" : ",[";
        out += QByteArray::number(static_cast<qlonglong>(point.timeMs));
        out += ',';
        if (point.value) {
            AppendNumber(out, *point.value);
        } else {
            out += "null";
        }
        out += ",\"";
        out += QByteArray::fromStdString(std::string(app::QualityName(point.quality)));
        out += "\"]";
    }
    out += "]}\n";
    return out;
}

QByteArray HistoryCsv(const std::vector<app::HistoryPoint>& points)
{
    QByteArray out = "time,ms,value,quality\r\n";
    out.reserve(out.size() + static_cast<qsizetype>(points.size()) * 48);
    for (const app::HistoryPoint& point : points) {
        out += QDateTime::fromMSecsSinceEpoch(point.timeMs, Qt::UTC).toString(Qt::ISODateWithMs).toLatin1();
        out += ',';
        out += QByteArray::number(static_cast<qlonglong>(point.timeMs));
        out += ',';
        if (point.value) {
            AppendNumber(out, *point.value);
        }
        out += ',';
        out += QByteArray::fromStdString(std::string(app::QualityName(point.quality)));
        out += "\r\n";
    }
    return out;
}

} // namespace tavrel::link
