#include "AdviseLinks.h"

#include "Text.h"

#include <dde.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <utility>

namespace tavrel::dde {

namespace {

bool SameName(const std::wstring& a, const std::wstring& b)
{
    // DDE names, like atoms, match without regard to case.
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE)
        == CSTR_EQUAL;
}

} // namespace

AdviseLinks::AdviseLinks(ValueOf valueOf)
    : m_valueOf(std::move(valueOf))
{
}

void AdviseLinks::Inspect(const MSG& message)
{
    m_advise.reset();
    if (message.message != WM_DDE_ADVISE) {
        return;
    }
    // Read only: DDEML unpacks, acknowledges and frees the message when it is dispatched.
    UINT_PTR options = 0;
    UINT_PTR item = 0;
    if (!UnpackDDElParam(WM_DDE_ADVISE, message.lParam, &options, &item) || options == 0) {
        return;
    }
    const HGLOBAL memory = reinterpret_cast<HGLOBAL>(options);
    const auto* advise = static_cast<const DDEADVISE*>(GlobalLock(memory));
    if (advise == nullptr) {
        return;
    }
    m_advise = AdviseOptions { message.hwnd,
                               reinterpret_cast<HWND>(message.wParam),
                               static_cast<unsigned short>(advise->cfFormat),
                               static_cast<ATOM>(item),
                               advise->fDeferUpd != 0,
                               advise->fAckReq != 0 };
    GlobalUnlock(memory);
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
        // Only the WM_DDE_ADVISE that this callback answers tells how the client wants the link served.
        link.direct = m_advise->server == link.server && m_advise->client == link.client && m_advise->format == format
            && SameName(std::wstring(name, length), link.item) && !m_advise->deferUpdate && !m_advise->ackRequested;
    }
    auto& links = m_links[index];
    const auto same = std::find_if(links.begin(), links.end(), [&](const Link& other) {
        return other.conversation == conversation && other.format == format;
    });
    const bool direct = link.direct;
    if (same != links.end()) {
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
    std::erase_if(links->second,
                  [&](const Link& link) { return link.conversation == conversation && link.format == format; });
    if (links->second.empty()) {
        m_links.erase(links);
    }
}

void AdviseLinks::Disconnect(HCONV conversation)
{
    for (auto links = m_links.begin(); links != m_links.end();) {
        std::erase_if(links->second, [&](const Link& link) { return link.conversation == conversation; });
        links = links->second.empty() ? m_links.erase(links) : std::next(links);
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
        return false;
    }
    bool ddemlLinks = false;
    std::optional<std::string> value;
    for (const Link& link : links->second) {
        if (!link.direct) {
            ddemlLinks = true;
            continue;
        }
        if (!value) {
            value = m_valueOf(index);
        }
        // A client that has gone takes nothing more; DDEML tells of its end (XTYP_DISCONNECT).
        if (!PostData(link, *value) && IsWindow(link.client)) {
            m_owed.insert(index);
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

bool AdviseLinks::PostData(const Link& link, const std::string& utf8)
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
    // An advise (fResponse 0) that the client frees (fRelease 1) and does not acknowledge (fAckReq 0).
    DDEDATA header {};
    header.fRelease = 1;
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
        return true; // the client owns the memory and the atom now
    }
    FreeDDElParam(WM_DDE_DATA, lParam);
    GlobalDeleteAtom(item);
    GlobalFree(memory);
    return false;
}

} // namespace tavrel::dde
