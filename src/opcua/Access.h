#pragma once

#include "common/Settings.h"
#include "opcua/Identity.h"

#include <string>

#include <tl/expected.hpp>

namespace tavrel::opcua {

/// What the server offers where it listens, as the settings and the users file decide it.
struct AccessChoice
{
    bool offerNone = false; ///< SecurityPolicy None: on loopback, or off it when OpcUaAllowNone says so
    AnonymousAccess anonymous;
    std::string warning; ///< for the administrator, at start; empty when nothing needs saying
};

/// The access of a server listening on loopback (`loopback`) or off it, with or without a certificate of its own and
/// users in the users file. On loopback: None offered, anonymous allowed as operator unless the settings say
/// otherwise. Off loopback: secure policies only (None with OpcUaAllowNone, and a warning), anonymous only when
/// OpcUaAllowAnonymous says so (as a reader unless OpcUaAnonymousRole says operator); no certificate, or nobody who
/// could log in, is a reason not to start.
tl::expected<AccessChoice, std::string> ChooseAccess(const common::OpcUaAccessSettings& settings, bool loopback,
                                                     bool hasCertificate, bool hasUsers);

} // namespace tavrel::opcua
