#include "link/WebPage.h"

#include <QFile>
#include <QRegularExpression>

#include <array>

namespace tavrel::link {

namespace {

struct Route
{
    const char* path;
    const char* resource;
    const char* mimeType;
};

constexpr std::array kRoutes {
    Route { "/", ":/web/index.html", "text/html; charset=utf-8" },
    Route { "/web/page.js", ":/web/page.js", "text/javascript; charset=utf-8" },
    Route { "/web/page.css", ":/web/page.css", "text/css; charset=utf-8" },
    Route { "/web/trend.js", ":/web/trend.js", "text/javascript; charset=utf-8" },
    Route { "/web/trend.css", ":/web/trend.css", "text/css; charset=utf-8" },
    Route { "/web/chart.min.js", ":/web/chart.min.js", "text/javascript; charset=utf-8" },
    // Browsers ask for /favicon.ico whether the page names an icon or not.
    Route { "/web/icon.svg", ":/web/icon.svg", "image/svg+xml" },
    Route { "/favicon.ico", ":/web/icon.svg", "image/svg+xml" },
};

} // namespace

std::optional<PageFile> FindPageFile(const QString& path)
{
    for (const Route& route : kRoutes) {
        if (path != QLatin1String(route.path)) {
            continue;
        }
        QFile file(QString::fromLatin1(route.resource));
        if (!file.open(QIODevice::ReadOnly)) {
            return std::nullopt; // built without its resources: the path is not served
        }
        return PageFile { file.readAll(), route.mimeType };
    }
    return std::nullopt;
}

std::vector<std::pair<QByteArray, QByteArray>> PageHeaders(const QByteArray& host)
{
    // A WebSocket to its own server is "ws://" (over TLS "wss://") plus the host the page was loaded from; older
    // browsers do not count it as 'self'. A Host header of any other shape is left out rather than written into the
    // policy.
    static const QRegularExpression plainHost(
        QStringLiteral("^[A-Za-z0-9.\\-]+(:\\d{1,5})?$|^\\[[0-9A-Fa-f:.]+\\](:\\d{1,5})?$"));
    QByteArray connect = "'self'";
    if (plainHost.match(QString::fromLatin1(host)).hasMatch()) {
        connect += " ws://" + host + " wss://" + host;
    }
    return {
        { "Cache-Control", "no-cache" },
        { "Content-Security-Policy",
          "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src " + connect
              + "; base-uri 'none'; form-action 'self'; frame-ancestors 'none'" },
        { "X-Content-Type-Options", "nosniff" },
        { "Referrer-Policy", "no-referrer" },
    };
}

} // namespace tavrel::link
