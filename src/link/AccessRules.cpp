#include "link/AccessRules.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QUrl>
#include <QUrlQuery>

#include <algorithm>

namespace tavrel::link {

namespace {

// The host part of a Host header, lower case, without port; an IPv6 address keeps its brackets.
QString HostName(const QByteArray& header)
{
    const QString host = QString::fromLatin1(header).trimmed().toLower();
    if (host.startsWith(QLatin1Char('['))) {
        const qsizetype end = host.indexOf(QLatin1Char(']'));
        return end < 0 ? host : host.left(end + 1);
    }
    const qsizetype colon = host.lastIndexOf(QLatin1Char(':'));
    return colon < 0 ? host : host.left(colon);
}

bool IsIpLiteral(const QString& host)
{
    QHostAddress address;
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']'))) {
        return address.setAddress(host.mid(1, host.size() - 2)) && address.protocol() == QAbstractSocket::IPv6Protocol;
    }
    // Four dotted decimal numbers only: a name that merely parses as an address in some short form is a name.
    static const QRegularExpression dotted(QStringLiteral("^\\d{1,3}(\\.\\d{1,3}){3}$"));
    return dotted.match(host).hasMatch() && address.setAddress(host);
}

// An origin as compared: lower case, without a trailing "/".
QString NormalOrigin(QString origin)
{
    origin = origin.trimmed().toLower();
    while (origin.endsWith(QLatin1Char('/'))) {
        origin.chop(1);
    }
    return origin;
}

// Equal or not, in a time that does not depend on where two tokens first differ.
bool SameToken(const QByteArray& given, const QByteArray& expected)
{
    const QByteArray a = QCryptographicHash::hash(given, QCryptographicHash::Sha256);
    const QByteArray b = QCryptographicHash::hash(expected, QCryptographicHash::Sha256);
    unsigned difference = 0;
    for (qsizetype i = 0; i < a.size(); ++i) {
        difference |= static_cast<unsigned>(static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(b[i]));
    }
    return difference == 0;
}

} // namespace

void AccessRules::Set(LinkAccess access)
{
    for (QString& origin : access.allowedOrigins) {
        origin = NormalOrigin(origin);
    }
    for (QString& host : access.allowedHosts) {
        host = host.trimmed().toLower();
    }
    m_access = std::move(access);
    m_users.reset();
    if (!m_access.usersFile.empty()) {
        m_users.emplace(m_access.usersFile);
    }
}

tl::expected<bool, std::string> AccessRules::AnyToken() const
{
    if (!m_access.token.isEmpty()) {
        return true;
    }
    if (!m_users) {
        return false;
    }
    const auto users = m_users->Current();
    if (!users) {
        return tl::make_unexpected(users.error());
    }
    const auto entries = (*users)->Entries();
    return std::any_of(entries.begin(), entries.end(),
                       [](const auto& entry) { return entry.kind == common::UsersFile::Kind::Token; });
}

bool AccessRules::OriginAllowed(const QString& origin, const QHostAddress& address, quint16 port) const
{
    QStringList own { QStringLiteral("127.0.0.1"), QStringLiteral("localhost"), QStringLiteral("[::1]") };
    if (!address.isNull()) {
        own.append(address.protocol() == QAbstractSocket::IPv6Protocol ? QStringLiteral("[%1]").arg(address.toString())
                                                                       : address.toString());
    }
    for (const QString& host : own) {
        // Served over TLS, the server's own pages come from "https://".
        if (origin == QStringLiteral("http://%1:%2").arg(host.toLower()).arg(port)
            || origin == QStringLiteral("https://%1:%2").arg(host.toLower()).arg(port)) {
            return true;
        }
    }
    return m_access.allowedOrigins.contains(origin);
}

tl::expected<AccessRules::Grant, AccessRules::Refusal> AccessRules::Check(const QHttpServerRequest& request,
                                                                          const QHostAddress& address, quint16 port,
                                                                          const QHostAddress& peer) const
{
    // A browser always names the host it asked for; a page of a rebound name does so under that name.
    const QByteArray hostHeader = request.value("host");
    if (!hostHeader.isEmpty()) {
        const QString host = HostName(hostHeader);
        if (!IsIpLiteral(host) && host != QStringLiteral("localhost") && !m_access.allowedHosts.contains(host)) {
            return tl::make_unexpected(
                Refusal { Status::MisdirectedRequest,
                          QStringLiteral("this server is not '%1'; reach it by IP address or localhost, or add the "
                                         "name to LinkAllowedHosts")
                              .arg(host) });
        }
    }
    // Requests from web pages carry the page's origin; a page may command the server only when trusted.
    if (!request.value("origin").isEmpty()) {
        const QString origin = NormalOrigin(QString::fromLatin1(request.value("origin")));
        if (!OriginAllowed(origin, address, port)) {
            return tl::make_unexpected(Refusal { Status::Forbidden,
                                                 QStringLiteral("requests from web pages of origin '%1' are refused; "
                                                                "add the origin to LinkAllowedOrigins to allow them")
                                                     .arg(origin) });
        }
    }
    // The preflight of a browser carries no credentials.
    if (request.method() == QHttpServerRequest::Method::Options) {
        return Grant { common::Role::Reader, {} };
    }
    return CheckToken(request.value("authorization"), IsWebSocketUpgrade(request) ? request.url() : QUrl(), peer);
}

tl::expected<AccessRules::Grant, AccessRules::Refusal>
AccessRules::CheckToken(const QByteArray& authorization, const QUrl& url, const QHostAddress& peer) const
{
    QByteArray given;
    const QByteArray trimmed = authorization.trimmed();
    if (trimmed.size() > 7 && trimmed.left(7).compare("Bearer ", Qt::CaseInsensitive) == 0) {
        given = trimmed.mid(7).trimmed();
    } else if (!url.isEmpty()) {
        given = QUrlQuery(url).queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded).toUtf8();
    }
    return GrantOf(given, peer);
}

tl::expected<AccessRules::Grant, AccessRules::Refusal> AccessRules::GrantOf(const QByteArray& given,
                                                                            const QHostAddress& peer) const
{
    if (given.isEmpty()) {
        // A spreadsheet on this computer cannot send headers: it keeps an operator's access unless told otherwise.
        if (!TokenInForce() && peer.isLoopback()) {
            return Grant { common::Role::Operator, {} };
        }
        return tl::make_unexpected(
            Refusal { Status::Unauthorized,
                      QStringLiteral("this server needs %1: send the header 'Authorization: Bearer TOKEN' (on a "
                                     "WebSocket upgrade, ?token=TOKEN will do too)")
                          .arg(TokenInForce() ? QStringLiteral("its access token")
                                              : QStringLiteral("an access token from clients on other computers")) });
    }
    if (!m_access.token.isEmpty() && SameToken(given, m_access.token)) {
        return Grant { common::Role::Operator, QString::fromLatin1(kTokenFileUser) };
    }
    if (m_users) {
        const auto users = m_users->Current();
        if (!users) {
            return tl::make_unexpected(
                Refusal { Status::Unauthorized,
                          QStringLiteral("no token is taken while %1").arg(QString::fromStdString(users.error())) });
        }
        if (const auto owner = (*users)->VerifyToken(given.toStdString())) {
            return Grant { owner->role, QString::fromStdString(owner->name) };
        }
    }
    return tl::make_unexpected(Refusal { Status::Unauthorized, QStringLiteral("the access token is wrong") });
}

void AccessRules::Refuse(QHttpServerResponder& responder, QHttpServerRequest::Method method, const Refusal& refusal)
{
    Reply(responder, method, refusal.status, refusal.reason,
          refusal.status == Status::Unauthorized ? Headers { { "WWW-Authenticate", "Bearer realm=\"Tavrel\"" } }
                                                 : Headers {});
}

Headers AccessRules::CorsHeaders(const QHttpServerRequest& request)
{
    if (const QByteArray origin = request.value("origin"); !origin.isEmpty()) {
        return { { "Access-Control-Allow-Origin", origin },
                 { "Access-Control-Expose-Headers", "X-Tavrel-Role" },
                 { "Vary", "Origin" } };
    }
    return {};
}

} // namespace tavrel::link
