#pragma once

#include <windows.h>

#include <ddeml.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace tavrel::dde {

/// The advise links of the topic Items, and the gateway's own delivery of their changes. A hot link in a text format
/// whose client asked for no acknowledgements gets each change as a WM_DDE_DATA posted straight to the client's
/// conversation window, as the DDE message protocol defines, at a cost that does not grow with the number of links.
/// Every other link (warm, acknowledged, or one whose options were not seen) stays with DDEML's DdePostAdvise.
/// Lives on the DDE thread.
class AdviseLinks
{
public:
    /// The current text (UTF-8) of an item, as its links show it.
    using ValueOf = std::function<std::string(std::int32_t index)>;

    explicit AdviseLinks(ValueOf valueOf);

    /// Notes the options of a WM_DDE_ADVISE that the message loop is about to hand to DDEML, which does not tell its
    /// callback whether a link is warm or asks for acknowledgements; ignores every other message.
    void Inspect(const MSG& message);
    /// Forgets what Inspect noted, once the message is dispatched.
    void Dispatched();

    /// Records a link that XTYP_ADVSTART accepted, or the new options of a link started again; true when its
    /// changes are posted here.
    bool Start(DWORD instance, HCONV conversation, HSZ item, UINT format, std::int32_t index);
    /// Forgets a link at XTYP_ADVSTOP.
    void Stop(HCONV conversation, UINT format, std::int32_t index);
    /// Forgets every link of a conversation at XTYP_DISCONNECT.
    void Disconnect(HCONV conversation);

    /// True when the changes of this link are posted here: DDEML's XTYP_ADVREQ for it must give nothing.
    bool Direct(HCONV conversation, UINT format, std::int32_t index) const;
    /// Posts the item's current value to its direct links; true when it also has links that DDEML serves, which
    /// need DdePostAdvise.
    bool Post(std::int32_t index);
    /// True while posts that the system refused (a client's full message queue) wait to be tried again.
    bool Owed() const { return !m_owed.empty(); }
    /// Tries the refused posts again, with the items' current values.
    void PostOwed();

private:
    struct Link
    {
        HCONV conversation;
        UINT format;
        /// The item's name as the client spelled it.
        std::wstring item;
        HWND server;
        HWND client;
        bool direct;
    };
    struct AdviseOptions
    {
        HWND server;
        HWND client;
        UINT format;
        ATOM item;
        bool deferUpdate;
        bool ackRequested;
    };

    /// False when the system refused the message; nothing is left allocated then.
    static bool PostData(const Link& link, const std::string& utf8);

    ValueOf m_valueOf;
    std::optional<AdviseOptions> m_advise;
    std::unordered_map<std::int32_t, std::vector<Link>> m_links;
    std::set<std::int32_t> m_owed;
};

} // namespace tavrel::dde
