#pragma once

#include "common/Settings.h"
#include "link/LinkSettings.h"

#include <QSslConfiguration>

#include <optional>
#include <string>

namespace tavrel {

/// Who may talk to the link server and how, as the settings say: origins, hosts, tokens, the users file, TLS.
struct LinkSetup
{
    link::LinkAccess access;
    std::optional<QSslConfiguration> tls;
    /// Why the link server may not start at all (a token file or users file that cannot be used); empty when it may.
    std::string error;
    /// Why TLS cannot be had (a certificate or key that cannot serve); empty when it can, or is not asked for. Headless
    /// Tavrel does not start then; the window serves without TLS, on loopback only.
    std::string tlsError;
};

/// Reads the link server's access and TLS settings, and checks the files they name.
LinkSetup ReadLinkSetup(const common::Settings& settings);

/// The warning to give at start for a server on `address` that serves other computers without TLS; empty for none.
std::string PlainHttpWarning(const QHostAddress& address, const LinkSetup& setup);

} // namespace tavrel
