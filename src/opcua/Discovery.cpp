#include "opcua/Discovery.h"

#include "opcua/SecureChannel.h"
#include "opcua/Session.h"

#include <algorithm>

namespace tavrel::opcua {

ApplicationDescription DescribeServer(const ServerConfig& config)
{
    ApplicationDescription description;
    description.applicationUri = config.applicationUri;
    description.productUri = config.productUri;
    description.applicationName = LocalizedText { "en", config.applicationName };
    description.applicationType = ApplicationType::Server;
    description.discoveryUrls = { config.endpointUrl };
    return description;
}

std::vector<EndpointDescription> ServerEndpoints(const ServerConfig& config)
{
    EndpointDescription endpoint;
    endpoint.endpointUrl = config.endpointUrl;
    endpoint.server = DescribeServer(config);
    endpoint.securityMode = MessageSecurityMode::None;
    endpoint.securityPolicyUri = std::string(kSecurityPolicyNoneUri);
    UserTokenPolicy anonymous;
    anonymous.policyId = std::string(kAnonymousPolicyId);
    anonymous.tokenType = UserTokenType::Anonymous;
    endpoint.userIdentityTokens = { anonymous };
    endpoint.transportProfileUri = std::string(kTransportProfileUri);
    endpoint.securityLevel = 0; // no security: the least preferred of any endpoint
    return { endpoint };
}

FindServersResponse FindServers(const FindServersRequest& request, const ServerConfig& config)
{
    FindServersResponse response;
    const bool wanted = request.serverUris.empty()
        || std::find(request.serverUris.begin(), request.serverUris.end(), config.applicationUri)
            != request.serverUris.end();
    if (wanted) {
        response.servers.push_back(DescribeServer(config));
    }
    return response;
}

GetEndpointsResponse GetEndpoints(const GetEndpointsRequest& request, const ServerConfig& config)
{
    GetEndpointsResponse response;
    const bool wanted = request.profileUris.empty()
        || std::find(request.profileUris.begin(), request.profileUris.end(), kTransportProfileUri)
            != request.profileUris.end();
    if (wanted) {
        response.endpoints = ServerEndpoints(config);
    }
    return response;
}

} // namespace tavrel::opcua
