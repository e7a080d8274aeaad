#include "opcua/Discovery.h"

#include "opcua/Identity.h"
#include "opcua/SecureChannel.h"
#include "opcua/crypto/Policy.h"

#include <algorithm>
#include <utility>

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
    using crypto::PolicyId;
    const crypto::Certificate* certificate = config.security ? config.security->certificate.get() : nullptr;
    const bool takesUserNames = certificate != nullptr && config.security->key != nullptr;
    std::vector<EndpointDescription> endpoints;
    const auto add = [&](PolicyId policy, MessageSecurityMode mode, std::uint8_t level) {
        EndpointDescription& endpoint = endpoints.emplace_back();
        endpoint.endpointUrl = config.endpointUrl;
        endpoint.server = DescribeServer(config);
        if (certificate != nullptr) {
            const auto& der = certificate->Der();
            endpoint.serverCertificate.bytes.assign(der.begin(), der.end());
        }
        endpoint.securityMode = mode;
        endpoint.securityPolicyUri = std::string(crypto::PolicyUri(policy));
        if (config.access.anonymous.allowed) {
            UserTokenPolicy& anonymous = endpoint.userIdentityTokens.emplace_back();
            anonymous.policyId = std::string(kAnonymousPolicyId);
            anonymous.tokenType = UserTokenType::Anonymous;
        }
        if (takesUserNames) {
            // The password travels encrypted on every endpoint: on None with Basic256Sha256, for the client to
            // encrypt it to our certificate.
            UserTokenPolicy& userName = endpoint.userIdentityTokens.emplace_back();
            userName.policyId = std::string(kUserNamePolicyId);
            userName.tokenType = UserTokenType::UserName;
            userName.securityPolicyUri = std::string(crypto::PolicyUri(PasswordPolicy(policy)));
        }
        endpoint.transportProfileUri = std::string(kTransportProfileUri);
        endpoint.securityLevel = level;
    };
    if (takesUserNames) {
        // Clients pick the highest level: encrypted before signed only, then the stronger policy.
        constexpr std::pair<PolicyId, std::uint8_t> kPolicies[] = {
            { PolicyId::Aes256Sha256RsaPss, 3 },
            { PolicyId::Basic256Sha256, 2 },
            { PolicyId::Aes128Sha256RsaOaep, 1 },
        };
        for (const MessageSecurityMode mode : { MessageSecurityMode::SignAndEncrypt, MessageSecurityMode::Sign }) {
            for (const auto& [policy, rank] : kPolicies) {
                add(policy, mode,
                    static_cast<std::uint8_t>(rank + (mode == MessageSecurityMode::SignAndEncrypt ? 10 : 0)));
            }
        }
    }
    if (config.access.offerNone) {
        add(PolicyId::None, MessageSecurityMode::None, 0); // no security: the least preferred of any endpoint
    }
    return endpoints;
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
