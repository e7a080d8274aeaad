#pragma once

#include "opcua/Messages.h"
#include "opcua/Server.h"

#include <string_view>
#include <vector>

namespace tavrel::opcua {

/// The one transport the server speaks: UA-TCP with UA Secure Conversation and UA Binary.
inline constexpr std::string_view kTransportProfileUri
    = "http://opcfoundation.org/UA-Profile/Transport/uatcp-uasc-uabinary";

/// The server as FindServers and GetEndpoints describe it.
ApplicationDescription DescribeServer(const ServerConfig& config);
/// The server's endpoints: with a certificate, the three secure policies, each signed and encrypted or signed
/// only; SecurityPolicy None when the security settings offer it. Each takes anonymous users when they are allowed,
/// and user names (encrypted to our certificate) when the server has one.
std::vector<EndpointDescription> ServerEndpoints(const ServerConfig& config);

/// FindServers: this server, unless the client asks only for others.
FindServersResponse FindServers(const FindServersRequest& request, const ServerConfig& config);
/// GetEndpoints: the endpoints, unless the client asks only for transports we do not speak.
GetEndpointsResponse GetEndpoints(const GetEndpointsRequest& request, const ServerConfig& config);

} // namespace tavrel::opcua
