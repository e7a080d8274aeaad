#include "AdviseLinks.h"

#include "Text.h"

#include "common/LinkProtocol.h"

#include <dde.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <utility>

namespace tavrel::dde {

namespace {

/// The most posts a client has not acknowledged yet. The links beyond wait their turn, and then get the value of
/// that moment: a client slower than the changes gets fresh values a few posts deep in its queue rather than a
/// queue of old ones as long as the links.
constexpr int kMaxUnacknowledged = 64;

bool SameName(const std::wstring& a, const std::wstring& b)
{
    // DDE names, like atoms, match without regard to case.
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE)
        == CSTR_EQUAL;
}

} // namespace

AdviseLinks::AdviseLinks(ValueOf valueOf)
    : m_valueOf(std::move(valueOf))
    , m_postCopiesData(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr)
{
}

bool AdviseLinks::Inspect(const MSG& message)
{
    m_advise.reset();
    if (message.message == WM_DDE_ACK) {
        return Acknowledged(message);
    }
    if (message.message != WM_DDE_ADVISE) {
        return false;
    }
    // Read only: DDEML unpacks, acknowledges and frees the message when it is dispatched.
    UINT_PTR options = 0;
    UINT_PTR item = 0;
    if (!UnpackDDElParam(WM_DDE_ADVISE, message.lParam, &options, &item) || options == 0) {
        return false;
    }
    const HGLOBAL memory = reinterpret_cast<HGLOBAL>(options);
    const auto* advise = static_cast<const DDEADVISE*>(GlobalLock(memory));
    if (advise == nullptr) {
        return false;
    }
    m_advise = AdviseOptions { message.hwnd,
                               reinterpret_cast<HWND>(message.wParam),
                               static_cast<unsigned short>(advise->cfFormat),
                               static_cast<ATOM>(item),
                               advise->fDeferUpd != 0,
                               advise->fAckReq != 0 };
    GlobalUnlock(memory);
    return false;
}

void AdviseLinks::Dispatched()
{
    m_advise.reset();
}

bool AdviseLinks::Start(DWORD instance, HCONV conversation, HSZ item, UINT format, std::int32_t index)
{
    Link link { conversation, format, StringOf(instance, item), nullptr, nullptr, false };
    CONVINFO info {};
    info.cb = sizeof info;
    if (m_advise && DdeQueryConvInfo(conversation, QID_SYNC, &info) != 0) {
        link.server = info.hwnd;
        link.client = info.hwndPartner;
        wchar_t name[256];
        const UINT length = GlobalGetAtomNameW(m_advise->item, name, 256);
        // Only the WM_DDE_ADVISE that this callback answers tells how the client wants the link served; and an
        // acknowledgement finds its link by the item's name, so only items named lblDDE(n) are posted here.
        link.direct = m_advise->server == link.server && m_advise->client == link.client && m_advise->format == format
            && SameName(std::wstring(name, length), link.item) && !m_advise->deferUpdate && !m_advise->ackRequested
            && protocol::ParseLabelName(link.item) == index;
    }
    auto& links = m_links[index];
    // An acknowledgement names the item but not the format: in one conversation, the links of an item are either
    // all posted here or all left to DDEML, so that each acknowledgement is taken by the one who asked for it.
    for (Link& other : links) {
        if (other.conversation == conversation && other.format != format) {
            link.direct = link.direct && other.direct;
            if (!link.direct && other.direct) {
                Retire(other, index);
                other.direct = false;
            }
        }
    }
    const auto same = std::find_if(links.begin(), links.end(), [&](const Link& other) {
        return other.conversation == conversation && other.format == format;
    });
    const bool direct = link.direct;
    if (same != links.end()) {
        Retire(*same, index);
        *same = std::move(link);
    } else {
        links.push_back(std::move(link));
    }
    return direct;
}

void AdviseLinks::Stop(HCONV conversation, UINT format, std::int32_t index)
{
    const auto links = m_links.find(index);
    if (links == m_links.end()) {
        return;
    }
    for (Link& link : links->second) {
        if (link.conversation == conversation && link.format == format) {
            Retire(link, index);
        }
    }
    std::erase_if(links->second,
                  [&](const Link& link) { return link.conversation == conversation && link.format == format; });
    if (links->second.empty()) {
        m_links.erase(links);
    }
}

void AdviseLinks::Disconnect(HCONV conversation)
{
    // Its windows are gone, and with them any acknowledgement still on its way.
    for (const auto& [index, links] : m_links) {
        for (const Link& link : links) {
            if (link.conversation == conversation) {
                m_clients.erase(link.client);
            }
        }
    }
    for (auto* table : { &m_links, &m_retired }) {
        for (auto links = table->begin(); links != table->end();) {
            std::erase_if(links->second, [&](const Link& link) { return link.conversation == conversation; });
            links = links->second.empty() ? table->erase(links) : std::next(links);
        }
    }
}

bool AdviseLinks::Direct(HCONV conversation, UINT format, std::int32_t index) const
{
    const auto links = m_links.find(index);
    return links != m_links.end() && std::any_of(links->second.begin(), links->second.end(), [&](const Link& link) {
               return link.direct && link.conversation == conversation && link.format == format;
           });
}

bool AdviseLinks::Post(std::int32_t index)
{
    const auto links = m_links.find(index);
    if (links == m_links.end()) {
        return true; // links this does not know are DDEML's
    }
    bool ddemlLinks = false;
    for (Link& link : links->second) {
        if (!link.direct) {
            ddemlLinks = true;
        } else if (link.unacknowledged) {
            link.changed = true; // one post at a time: the newest value follows the acknowledgement
        } else if (!link.waiting) {
            Queue(index, link);
        }
    }
    return ddemlLinks;
}

void AdviseLinks::PostOwed()
{
    for (const std::int32_t index : std::exchange(m_owed, {})) {
        Post(index);
    }
}

bool AdviseLinks::Acknowledged(const MSG& message)
{
    UINT_PTR status = 0;
    UINT_PTR atom = 0;
    if (!UnpackDDElParam(WM_DDE_ACK, message.lParam, &status, &atom)) {
        return false;
    }
    wchar_t name[256];
    const UINT length = GlobalGetAtomNameW(static_cast<ATOM>(atom), name, 256);
    const auto index = protocol::ParseLabelName(std::wstring_view(name, length));
    if (!index) {
        return false;
    }
    // The earliest unacknowledged post of this item to this client, of a link that still runs or has ended.
    Link* acknowledged = nullptr;
    std::vector<Link>* retired = nullptr;
    const auto earliest = [&](std::vector<Link>& links, bool linksEnded) {
        for (Link& link : links) {
            if (link.unacknowledged && link.server == message.hwnd
                && link.client == reinterpret_cast<HWND>(message.wParam)
                && (acknowledged == nullptr || link.sequence < acknowledged->sequence)) {
                acknowledged = &link;
                retired = linksEnded ? &links : nullptr;
            }
        }
    };
    if (const auto links = m_links.find(*index); links != m_links.end()) {
        earliest(links->second, false);
    }
    const auto ended = m_retired.find(*index);
    if (ended != m_retired.end()) {
        earliest(ended->second, true);
    }
    if (acknowledged == nullptr) {
        return false; // DDEML's
    }
    const HWND client = acknowledged->client;
    if (const auto room = m_clients.find(client); room != m_clients.end() && room->second.unacknowledged > 0) {
        --room->second.unacknowledged;
    }
    FreeDDElParam(WM_DDE_ACK, message.lParam);
    GlobalDeleteAtom(static_cast<ATOM>(atom));
    DDEACK ack {};
    const auto word = static_cast<WORD>(status);
    std::memcpy(&ack, &word, sizeof ack);
    if (!ack.fAck) {
        GlobalFree(acknowledged->data); // refused data are the poster's to free
    }
    acknowledged->unacknowledged = false;
    acknowledged->data = nullptr;
    if (retired != nullptr) {
        retired->erase(retired->begin() + (acknowledged - retired->data()));
        if (retired->empty()) {
            m_retired.erase(ended);
        }
    } else if (!ack.fAck) {
        m_owed.insert(*index); // a busy client is given the value again a little later
    } else if (acknowledged->changed) {
        acknowledged->changed = false;
        Queue(*index, *acknowledged);
    }
    Drain(client);
    return true;
}

void AdviseLinks::Queue(std::int32_t index, Link& link)
{
    Client& client = m_clients[link.client];
    if (client.unacknowledged < kMaxUnacknowledged && client.waiting.empty()) {
        Send(index, link);
        return;
    }
    link.waiting = true;
    client.waiting.push_back({ index, link.conversation, link.format });
}

void AdviseLinks::Drain(HWND client)
{
    const auto room = m_clients.find(client);
    if (room == m_clients.end()) {
        return;
    }
    auto& [unacknowledged, waiting] = room->second;
    while (unacknowledged < kMaxUnacknowledged && !waiting.empty()) {
        const Waiting next = waiting.front();
        waiting.pop_front();
        // A link that ended, or went to DDEML, since it queued is passed over.
        Link* link = Find(next.index, next.conversation, next.format);
        if (link != nullptr && link->waiting) {
            link->waiting = false;
            if (link->direct && !link->unacknowledged) {
                Send(next.index, *link);
            }
        }
    }
}

AdviseLinks::Link* AdviseLinks::Find(std::int32_t index, HCONV conversation, UINT format)
{
    const auto links = m_links.find(index);
    if (links == m_links.end()) {
        return nullptr;
    }
    const auto link = std::find_if(links->second.begin(), links->second.end(), [&](const Link& candidate) {
        return candidate.conversation == conversation && candidate.format == format;
    });
    return link == links->second.end() ? nullptr : &*link;
}

void AdviseLinks::Send(std::int32_t index, Link& link)
{
    link.changed = false;
    link.unacknowledged = PostData(link, m_valueOf(index));
    if (link.unacknowledged) {
        link.sequence = ++m_sequence;
        ++m_clients[link.client].unacknowledged;
    } else if (IsWindow(link.client)) {
        // Not for a client that has gone: DDEML tells of its end (XTYP_DISCONNECT).
        m_owed.insert(index);
    }
}

void AdviseLinks::Retire(Link& link, std::int32_t index)
{
    if (!link.unacknowledged) {
        return;
    }
    auto& retired = m_retired[index];
    std::erase_if(retired, [](const Link& old) { return !IsWindow(old.server); });
    retired.push_back(link);
    link.unacknowledged = false;
    link.data = nullptr;
    link.changed = false;
}

bool AdviseLinks::PostData(Link& link, const std::string& utf8) const
{
    const std::wstring wide = Widen(utf8);
    std::string text; // with its terminating NUL, in the link's format
    if (link.format == CF_UNICODETEXT) {
        text.assign(reinterpret_cast<const char*>(wide.c_str()), (wide.size() + 1) * sizeof(wchar_t));
    } else {
        const std::string ansi = ToAnsi(wide);
        text.assign(ansi.c_str(), ansi.size() + 1);
    }
    constexpr std::size_t kHeader = offsetof(DDEDATA, Value);
    const HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_DDESHARE, kHeader + text.size());
    if (memory == nullptr) {
        return false;
    }
    auto* data = static_cast<BYTE*>(GlobalLock(memory));
    if (data == nullptr) {
        GlobalFree(memory);
        return false;
    }
    // An advise (fResponse 0) that the client frees (fRelease 1) and acknowledges (fAckReq 1).
    DDEDATA header {};
    header.fRelease = 1;
    header.fAckReq = 1;
    header.cfFormat = static_cast<short>(link.format);
    std::memcpy(data, &header, kHeader);
    std::memcpy(data + kHeader, text.data(), text.size());
    GlobalUnlock(memory);
    const ATOM item = GlobalAddAtomW(link.item.c_str());
    if (item == 0) {
        GlobalFree(memory);
        return false;
    }
    const LPARAM lParam = PackDDElParam(WM_DDE_DATA, reinterpret_cast<UINT_PTR>(memory), item);
    if (PostMessageW(link.client, WM_DDE_DATA, reinterpret_cast<WPARAM>(link.server), lParam)) {
        // The client frees the data once it takes them; the atom comes back with the acknowledgement.
        link.data = memory;
        DWORD process = 0;
        if (m_postCopiesData && GetWindowThreadProcessId(link.client, &process) != 0
            && process != GetCurrentProcessId()) {
            GlobalFree(memory);
            link.data = nullptr;
        }
        return true;
    }
    FreeDDElParam(WM_DDE_DATA, lParam);
    GlobalDeleteAtom(item);
    GlobalFree(memory);
    return false;
}

} // namespace tavrel::dde
