#pragma once

#include "common/Role.h"
#include "common/UsersFile.h"
#include "link/LinkSettings.h"
#include "link/LinkWire.h"

#include <QHostAddress>
#include <QString>

#include <optional>

#include <tl/expected.hpp>

namespace tavrel::link {

/// Who may talk to the link server: the Host, the Origin and the access token of every request, checked before
/// anything else, and the headers that let an allowed web page read the answer. A request that presents a token gets
/// that token's role: LinkTokenFile's is an operator's, the users file's named ones have their own. One without a
/// token is an operator's from this computer, unless tokens are required (LinkRequireToken, or a LinkTokenFile);
/// from elsewhere it is refused.
class AccessRules
{
public:
    /// Why a request may not be served: the status and the reason that the answer carries.
    struct Refusal
    {
        Status status;
        QString reason;
    };

    /// What a request that may be served may do, and whose token it presented (empty for none).
    struct Grant
    {
        common::Role role = common::Role::Reader;
        QString user;
    };

    /// The user name of LinkTokenFile's token.
    static constexpr const char* kTokenFileUser = "LinkTokenFile";

    /// Sets who may talk to the server, for requests from now on.
    void Set(LinkAccess access);
    const LinkAccess& Access() const { return m_access; }

    /// Whether every request must carry a token.
    bool TokenInForce() const { return !m_access.token.isEmpty() || m_access.requireToken; }
    /// Whether any token can be presented at all (LinkTokenFile's, or one in the users file); or why the users file
    /// cannot be read.
    tl::expected<bool, std::string> AnyToken() const;

    /// What a request from `peer` to a server listening on `address` and `port` may do, or why it may not be served
    /// (Host, Origin, token, in this order). A null address is a server that listens nowhere.
    tl::expected<Grant, Refusal> Check(const QHttpServerRequest& request, const QHostAddress& address, quint16 port,
                                       const QHostAddress& peer) const;

    /// What a WebSocket conversation from `peer` may do, by the token of its upgrade request (its Authorization
    /// header or ?token=), whose Host and Origin `Check` has passed already.
    tl::expected<Grant, Refusal> CheckToken(const QByteArray& authorization, const QUrl& url,
                                            const QHostAddress& peer) const;

    /// Answers a refused request with its status and reason; 401 names the scheme that would do.
    static void Refuse(QHttpServerResponder& responder, QHttpServerRequest::Method method, const Refusal& refusal);

    /// The headers that let a web page read the answer, for a request whose origin has passed `Check`; none for a
    /// request without an origin.
    static Headers CorsHeaders(const QHttpServerRequest& request);

private:
    bool OriginAllowed(const QString& origin, const QHostAddress& address, quint16 port) const;
    /// The grant of a token given (empty for none).
    tl::expected<Grant, Refusal> GrantOf(const QByteArray& given, const QHostAddress& peer) const;

    LinkAccess m_access;
    /// The users file, read again whenever it changes; none without one.
    mutable std::optional<common::UsersFileCache> m_users;
};

} // namespace tavrel::link
