#pragma once

#include "link/LinkSettings.h"
#include "link/LinkWire.h"

#include <QHostAddress>
#include <QString>

#include <optional>

namespace tavrel::link {

/// Who may talk to the link server: the Host, the Origin and the access token of every request, checked before
/// anything else, and the headers that let an allowed web page read the answer.
class AccessRules
{
public:
    /// Why a request may not be served: the status and the reason that the answer carries.
    struct Refusal
    {
        Status status;
        QString reason;
    };

    /// Sets who may talk to the server, for requests from now on.
    void Set(LinkAccess access);

    /// Whether requests must carry the access token.
    bool TokenInForce() const { return !m_access.token.isEmpty(); }

    /// Why a request to a server listening on `address` and `port` may not be served (Host, Origin, token, in this
    /// order), or nothing when it may. A null address is a server that listens nowhere.
    std::optional<Refusal> Check(const QHttpServerRequest& request, const QHostAddress& address, quint16 port) const;

    /// Answers a refused request with its status and reason; 401 names the scheme that would do.
    static void Refuse(QHttpServerResponder& responder, QHttpServerRequest::Method method, const Refusal& refusal);

    /// The headers that let a web page read the answer, for a request whose origin has passed `Check`; none for a
    /// request without an origin.
    static Headers CorsHeaders(const QHttpServerRequest& request);

private:
    bool OriginAllowed(const QString& origin, const QHostAddress& address, quint16 port) const;

    LinkAccess m_access;
};

} // namespace tavrel::link
