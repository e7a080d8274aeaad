#pragma once

#include <windows.h>

#include <ddeml.h>

#include <cstdint>
#include <deque>
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
/// The gateway asks for an acknowledgement of each post and takes it itself: a link has one post on its way at a
/// time and a client a few, so that a client slower than the changes gets the newest values instead of a growing
/// backlog. Every other link (warm, acknowledged, beside such a link of the same item in its conversation, or one
/// whose options were not seen) stays with DDEML's DdePostAdvise. Lives on the DDE thread.
class AdviseLinks
{
public:
    /// The current text (UTF-8) of an item, as its links show it.
    using ValueOf = std::function<std::string(std::int32_t index)>;

    explicit AdviseLinks(ValueOf valueOf);

    /// Sees each message before the message loop dispatches it: notes the options of a WM_DDE_ADVISE (DDEML does
    /// not tell its callback whether a link is warm or asks for acknowledgements), and takes the acknowledgements
    /// of its own posts. True when it took the message: it must not be dispatched then.
    bool Inspect(const MSG& message);
    /// Forgets the options that Inspect noted, once the message is dispatched.
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
    /// Posts the item's current value to its direct links (to a link whose last post is not acknowledged yet, once
    /// it is); true unless all of the item's links are direct: the others need DdePostAdvise.
    bool Post(std::int32_t index);
    /// True while posts that the system or the client refused wait to be tried again.
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
        /// A post is on its way: the client has not acknowledged it yet.
        bool unacknowledged = false;
        /// Its data, which the client frees when it takes them, the gateway when it refuses them; null where the
        /// system copied them for the client and they are freed already.
        HGLOBAL data = nullptr;
        /// The order of that post among all posts: acknowledgements come in the order of the posts.
        std::uint64_t sequence = 0;
        /// The item changed while a post was unacknowledged.
        bool changed = false;
        /// In its client's queue of links that wait for a post.
        bool waiting = false;
    };
    struct Waiting
    {
        std::int32_t index;
        HCONV conversation;
        UINT format;
    };
    /// A client's conversation window: its unacknowledged posts, and the links waiting for one to be acknowledged.
    struct Client
    {
        int unacknowledged = 0;
        std::deque<Waiting> waiting;
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

    bool Acknowledged(const MSG& message);
    /// Posts the current value to one link now, or when fewer of its client's posts are unacknowledged.
    void Queue(std::int32_t index, Link& link);
    /// Posts to the links waiting for this client while it has room.
    void Drain(HWND client);
    /// Posts the current value to one link; a refused post is owed.
    void Send(std::int32_t index, Link& link);
    Link* Find(std::int32_t index, HCONV conversation, UINT format);
    /// Keeps the unacknowledged post of a link that ends, so that its acknowledgement is still taken here.
    void Retire(Link& link, std::int32_t index);
    /// Posts a value to a link's client; false when the system refused the message, and nothing is left allocated
    /// then. Sets the link's data.
    bool PostData(Link& link, const std::string& utf8) const;

    ValueOf m_valueOf;
    std::optional<AdviseOptions> m_advise;
    std::unordered_map<std::int32_t, std::vector<Link>> m_links;
    /// Ended links whose last post waits for its acknowledgement, by item.
    std::unordered_map<std::int32_t, std::vector<Link>> m_retired;
    std::set<std::int32_t> m_owed;
    std::unordered_map<HWND, Client> m_clients;
    std::uint64_t m_sequence = 0;
    /// Wine copies the data of a DDE message posted to another process into the message and never frees the
    /// poster's memory (its own DDEML leaks it with each advise, until the process runs out of handles after some
    /// 65,000); Windows passes the memory on to the client.
    bool m_postCopiesData;
};

} // namespace tavrel::dde
