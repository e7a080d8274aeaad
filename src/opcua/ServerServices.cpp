#include "opcua/Attributes.h"
#include "opcua/Browse.h"
#include "opcua/Discovery.h"
#include "opcua/HistoryRead.h"
#include "opcua/Methods.h"
#include "opcua/ServerCore.h"

// The dispatch table: each request type and the handler that serves it.

namespace tavrel::opcua {

void ServerCore::RegisterSessionServices()
{
    m_dispatcher.Add<FindServersRequest>(SessionNeed::None, [this](const FindServersRequest& request, ServiceContext&) {
        return std::optional(FindServers(request, m_config));
    });
    m_dispatcher.Add<GetEndpointsRequest>(SessionNeed::None,
                                          [this](const GetEndpointsRequest& request, ServiceContext&) {
                                              return std::optional(GetEndpoints(request, m_config));
                                          });
    m_dispatcher.Add<CreateSessionRequest>(
        SessionNeed::None, [this](const CreateSessionRequest& request, ServiceContext& context) {
            std::optional<Session> dropped;
            const auto connection = m_connections.find(context.connection);
            auto created
                = m_sessions.Create(request, context.connection, SecurityOf(connection->second),
                                    connection->second.Peer(), ServerEndpoints(m_config), context.nowMs, dropped);
            if (dropped) {
                EndSession(*dropped, context.nowMs);
            }
            CreateSessionResponse response;
            if (created) {
                response = std::move(*created);
            } else {
                response.responseHeader.serviceResult = StatusCode { created.error() };
            }
            return std::optional(std::move(response));
        });
    m_dispatcher.Add<ActivateSessionRequest>(
        SessionNeed::None, [this](const ActivateSessionRequest& request, ServiceContext& context) {
            const auto connection = m_connections.find(context.connection);
            auto activated = m_sessions.Activate(request, context.connection, SecurityOf(connection->second), m_backend,
                                                 context.nowMs);
            ActivateSessionResponse response;
            if (activated) {
                response = std::move(*activated);
            } else {
                response.responseHeader.serviceResult = StatusCode { activated.error() };
            }
            return std::optional(std::move(response));
        });
    m_dispatcher.Add<CloseSessionRequest>(
        SessionNeed::Created, [this](const CloseSessionRequest& request, ServiceContext& context) {
            if (auto closed = m_sessions.Remove(request.requestHeader.authenticationToken)) {
                EndSession(*closed, context.nowMs); // subscriptions are not transferred: they end with the session
            }
            context.session = nullptr;
            return std::optional(CloseSessionResponse {});
        });
}

void ServerCore::RegisterSpaceServices()
{
    m_dispatcher.Add<BrowseRequest>(
        SessionNeed::Activated, [this](const BrowseRequest& request, ServiceContext& context) {
            return std::optional(Browse(request, m_space, context.session->browseContinuations));
        });
    m_dispatcher.Add<BrowseNextRequest>(
        SessionNeed::Activated, [](const BrowseNextRequest& request, ServiceContext& context) {
            return std::optional(BrowseNext(request, context.session->browseContinuations));
        });
    m_dispatcher.Add<TranslateBrowsePathsToNodeIdsRequest>(
        SessionNeed::Activated, [this](const TranslateBrowsePathsToNodeIdsRequest& request, ServiceContext&) {
            return std::optional(TranslateBrowsePaths(request, m_space));
        });
    m_dispatcher.Add<RegisterNodesRequest>(SessionNeed::Activated,
                                           [this](const RegisterNodesRequest& request, ServiceContext&) {
                                               return std::optional(RegisterNodes(request, m_space));
                                           });
    m_dispatcher.Add<UnregisterNodesRequest>(SessionNeed::Activated,
                                             [this](const UnregisterNodesRequest& request, ServiceContext&) {
                                                 return std::optional(UnregisterNodes(request, m_space));
                                             });
    m_dispatcher.Add<ReadRequest>(SessionNeed::Activated, [this](const ReadRequest& request, ServiceContext& context) {
        return std::optional(Read(request, m_space, context.session->client.role, context.nowMs));
    });
    m_dispatcher.Add<WriteRequest>(
        SessionNeed::Activated, [this](const WriteRequest& request, ServiceContext& context) {
            return std::optional(Write(request, m_space, m_backend, context.session->client));
        });
    m_dispatcher.Add<CallRequest>(SessionNeed::Activated, [this](const CallRequest& request, ServiceContext& context) {
        return std::optional(Call(request, m_space, m_backend, context.session->client));
    });
    m_dispatcher.Add<HistoryReadRequest>(
        SessionNeed::Activated, [this](const HistoryReadRequest& request, ServiceContext& context) {
            return std::optional(HistoryRead(request, m_space, m_backend, context.nowMs));
        });
}

void ServerCore::RegisterSubscriptionServices()
{
    // Each call goes to the session's SubscriptionSet; Receive then delivers the Publish answers it made due.
    m_dispatcher.Add<CreateSubscriptionRequest>(
        SessionNeed::Activated, [](const CreateSubscriptionRequest& request, ServiceContext& context) {
            return std::optional(context.session->subscriptions->CreateSubscription(request, context.nowMs));
        });
    m_dispatcher.Add<ModifySubscriptionRequest>(
        SessionNeed::Activated, [](const ModifySubscriptionRequest& request, ServiceContext& context) {
            return std::optional(context.session->subscriptions->ModifySubscription(request, context.nowMs));
        });
    m_dispatcher.Add<SetPublishingModeRequest>(
        SessionNeed::Activated, [](const SetPublishingModeRequest& request, ServiceContext& context) {
            return std::optional(context.session->subscriptions->SetPublishingMode(request));
        });
    m_dispatcher.Add<DeleteSubscriptionsRequest>(
        SessionNeed::Activated, [](const DeleteSubscriptionsRequest& request, ServiceContext& context) {
            return std::optional(context.session->subscriptions->DeleteSubscriptions(request));
        });
    m_dispatcher.Add<CreateMonitoredItemsRequest>(
        SessionNeed::Activated, [this](const CreateMonitoredItemsRequest& request, ServiceContext& context) {
            return std::optional(context.session->subscriptions->CreateMonitoredItems(request, m_space, context.nowMs));
        });
    m_dispatcher.Add<ModifyMonitoredItemsRequest>(
        SessionNeed::Activated, [this](const ModifyMonitoredItemsRequest& request, ServiceContext& context) {
            return std::optional(context.session->subscriptions->ModifyMonitoredItems(request, m_space, context.nowMs));
        });
    m_dispatcher.Add<SetMonitoringModeRequest>(
        SessionNeed::Activated, [](const SetMonitoringModeRequest& request, ServiceContext& context) {
            return std::optional(context.session->subscriptions->SetMonitoringMode(request));
        });
    m_dispatcher.Add<DeleteMonitoredItemsRequest>(
        SessionNeed::Activated, [](const DeleteMonitoredItemsRequest& request, ServiceContext& context) {
            return std::optional(context.session->subscriptions->DeleteMonitoredItems(request));
        });
    m_dispatcher.Add<PublishRequest>(
        SessionNeed::Activated, [](const PublishRequest& request, ServiceContext& context) {
            context.session->subscriptions->Publish(Ticket(context.connection, context.requestId), request,
                                                    context.nowMs);
            return std::optional<PublishResponse>(); // answered when there is something to send
        });
    m_dispatcher.Add<RepublishRequest>(SessionNeed::Activated,
                                       [](const RepublishRequest& request, ServiceContext& context) {
                                           return std::optional(context.session->subscriptions->Republish(request));
                                       });
}

} // namespace tavrel::opcua
