#pragma once

#include "AdviseLinks.h"
#include "Handles.h"
#include "LinkClient.h"
#include "Log.h"

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace tavrel::dde {

/// The DDE server "Tavrel" with the topics Items (the link server's items lblDDE(i)) and System (Topics,
/// SysItems, Formats, Status, and the link server's diagnostics items such as Line_1.Connected). Lives on the thread
/// that made it, which must run its message loop (Run).
class DdeServer
{
public:
    DdeServer(LinkClient& link, Log& log);
    DdeServer(const DdeServer&) = delete;
    DdeServer& operator=(const DdeServer&) = delete;
    ~DdeServer();

    /// Registers the service; the reason when that fails.
    std::string Start();
    /// Runs the message loop until Stop; the process's exit code.
    int Run();
    /// Ends Run; may be called from any thread.
    void Stop();
    /// Tells the DDE thread that the link client has news; may be called from any thread.
    void LinkChanged();

private:
    static HDDEDATA CALLBACK Callback(UINT type, UINT format, HCONV conversation, HSZ topic, HSZ item, HDDEDATA data,
                                      ULONG_PTR data1, ULONG_PTR data2);
    static LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    HDDEDATA Transaction(UINT type, UINT format, HCONV conversation, HSZ topic, HSZ item, HDDEDATA data);
    HDDEDATA Request(UINT format, HCONV conversation, HSZ topic, HSZ item, bool advise);
    HDDEDATA Poke(UINT format, HSZ topic, HSZ item, HDDEDATA data);
    HDDEDATA Execute(HDDEDATA data);
    bool AdviseStart(UINT format, HCONV conversation, HSZ topic, HSZ item);
    void AdviseStop(UINT format, HCONV conversation, HSZ topic, HSZ item);
    HDDEDATA WildConnect(HSZ topic, HSZ service);
    void PostAdvises();
    void PostQueuedAdvises();
    /// Keeps a timer running while refused direct posts wait to be tried again.
    void WatchOwedAdvises();
    void PostAdvise(std::int32_t key);

    /// A linked item's value, or "#N/A" while it is not current.
    std::string CurrentValue(std::int32_t key) const;
    HDDEDATA Text(HSZ item, UINT format, const std::string& utf8) const;
    std::optional<std::wstring> ReadText(HDDEDATA data, UINT format, const std::string& what);
    /// True for the text formats; logs each other format once, as refused.
    bool TextFormat(UINT format, const char* transaction, HSZ item);
    /// The text of a standard System item; empty for any other name.
    std::string SystemItem(const std::wstring& name);
    /// The link key of a diagnostics item, made with `add` (refusal logged).
    std::optional<std::int32_t> SystemKey(const std::wstring& name, const char* transaction, bool add);
    /// "lblDDE(7)" or "System!NAME", for log lines.
    std::string LinkName(std::int32_t key) const;
    std::optional<std::int32_t> Item(HSZ item, const char* transaction);
    std::string Name(HSZ handle) const;

    static DdeServer* s_server;

    LinkClient& m_link;
    Log& m_log;
    HWND m_window = nullptr;
    DdeInstance m_instance;
    StringHandle m_service;
    StringHandle m_items;
    StringHandle m_system;
    StringHandle m_status;
    /// String handles of Items items, made once for posting advises.
    std::unordered_map<std::int32_t, StringHandle> m_itemHandles;
    /// Changed items whose advise is not posted yet, oldest change first; each is in it once.
    std::deque<std::int32_t> m_adviseQueue;
    std::set<std::int32_t> m_queuedAdvises;
    /// A continuation of PostQueuedAdvises is posted to the window and not handled yet.
    bool m_morePosted = false;
    /// The item whose advise DdePostAdvise is posting, so that its XTYP_ADVREQ needs no name lookups.
    std::optional<std::int32_t> m_posting;
    /// The links of each conversation by link key (one entry per link), released when it ends.
    std::map<HCONV, std::multiset<std::int32_t>> m_links;
    std::set<UINT> m_refusedFormats;
    /// Which links the gateway posts to itself, and which DDEML serves.
    AdviseLinks m_adviseLinks;
    bool m_owedTimer = false;
};

} // namespace tavrel::dde
