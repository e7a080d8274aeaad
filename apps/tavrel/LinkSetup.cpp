#include "apps/tavrel/LinkSetup.h"

#include "common/UsersFile.h"
#include "link/LinkTls.h"

#include <QHostAddress>

namespace tavrel {

LinkSetup ReadLinkSetup(const common::Settings& settings)
{
    LinkSetup setup;
    const common::LinkAccessSettings read = common::ReadLinkAccess(settings);
    for (const std::string& origin : read.allowedOrigins) {
        setup.access.allowedOrigins.append(QString::fromStdString(origin));
    }
    for (const std::string& host : read.allowedHosts) {
        setup.access.allowedHosts.append(QString::fromStdString(host));
    }
    setup.access.requireToken = read.requireToken;
    setup.access.allowPlainHttp = read.allowPlainHttp;
    // A token file or users file named but unusable is an error, never silently no token.
    if (!read.tokenFile.empty()) {
        auto token = common::ReadLinkToken(read.tokenFile);
        if (token) {
            setup.access.token = QByteArray::fromStdString(*token);
        } else {
            setup.error = "LinkTokenFile: " + token.error() + "; the link server does not start without its token";
        }
    }
    // The users file may come later ('tavrel --add-token' while Tavrel runs); one that is there must be sound.
    setup.access.usersFile = common::UsersFilePath(settings);
    if (const auto users = common::UsersFile::Load(setup.access.usersFile); !users && setup.error.empty()) {
        setup.error = users.error();
    }
    if (read.certFile.empty() != read.keyFile.empty()) {
        setup.tlsError = read.certFile.empty() ? "LinkKeyFile is set without LinkCertFile; TLS needs both"
                                               : "LinkCertFile is set without LinkKeyFile; TLS needs both";
    } else if (!read.certFile.empty()) {
        auto tls = link::LoadLinkTls(read.certFile, read.keyFile);
        if (tls) {
            setup.tls = std::move(*tls);
        } else {
            setup.tlsError = tls.error();
        }
    }
    return setup;
}

std::string PlainHttpWarning(const QHostAddress& address, const LinkSetup& setup)
{
    if (address.isLoopback() || setup.tls || !setup.access.allowPlainHttp) {
        return {};
    }
    return "warning: the link server serves " + address.toString().toStdString()
        + " over plain HTTP (LinkAllowPlainHttp=1): tokens and values travel in clear";
}

} // namespace tavrel
