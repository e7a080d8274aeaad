#include "DdeServer.h"

#include "Excerpt.h"
#include "Text.h"

#include "common/LinkProtocol.h"

#include <chrono>
#include <cstring>

namespace tavrel::dde {

namespace {

constexpr UINT kLinkMessage = WM_APP + 1;
constexpr UINT kAdviseMessage = WM_APP + 2;
constexpr UINT kMoreAdvisesMessage = WM_APP + 3;
/// Hot text links that ask for no acknowledgements, the links spreadsheets make, get their changes as WM_DDE_DATA
/// posted by the gateway itself (AdviseLinks). Only the other links go through DdePostAdvise, which under Wine costs
/// in proportion to the server's links (about 4 ms with 1,000 links); so a pass that changed many of them is posted
/// in slices of at most this long before clients' transactions are let in. One post for all items (a null item)
/// would do, but Wine's DDEML refuses it: it returns FALSE and asks for no data.
constexpr auto kAdviseSlice = std::chrono::milliseconds(20);
/// A client whose queue was full, or that was busy, is given the newest values of what it missed this long later.
constexpr UINT kOwedAdvisesMs = 100;
constexpr UINT_PTR kOwedAdvisesTimer = 1;
constexpr const wchar_t* kWindowClass = L"TavrelDdeGateway";
/// What a link shows while its value is not current: a spreadsheet formula using it fails instead of
/// calculating with an old number.
constexpr const char* kNotCurrent = "#N/A";
/// Pokes and executes larger than this are refused before they are copied.
constexpr DWORD kMaxIncomingData = 1024 * 1024;
constexpr const char* kStandardSystemItems = "Topics\tSysItems\tFormats\tStatus";

std::string FormatName(UINT format)
{
    wchar_t name[128];
    const int length = GetClipboardFormatNameW(format, name, 128);
    return std::to_string(format)
        + (length > 0 ? " (" + Narrow(std::wstring_view(name, static_cast<std::size_t>(length))) + ")" : "");
}

bool IsStandardSystemItem(const std::wstring& name)
{
    for (const wchar_t* standard :
         { SZDDESYS_ITEM_TOPICS, SZDDESYS_ITEM_SYSITEMS, SZDDESYS_ITEM_FORMATS, SZDDESYS_ITEM_STATUS }) {
        if (CompareStringOrdinal(name.c_str(), -1, standard, -1, TRUE) == CSTR_EQUAL) {
            return true;
        }
    }
    return false;
}

} // namespace

DdeServer* DdeServer::s_server = nullptr;

DdeServer::DdeServer(LinkClient& link, Log& log)
    : m_link(link)
    , m_log(log)
    , m_adviseLinks([this](std::int32_t index) { return CurrentValue(index); })
{
    s_server = this;
}

DdeServer::~DdeServer()
{
    s_server = nullptr; // DdeUninitialize ends conversations, and their callbacks find no server
    m_itemHandles.clear();
    if (m_instance && m_service) {
        DdeNameService(m_instance.Id(), m_service.Get(), nullptr, DNS_UNREGISTER);
    }
    m_status.Reset();
    m_system.Reset();
    m_items.Reset();
    m_service.Reset();
    m_instance.Reset();
    if (m_window != nullptr) {
        DestroyWindow(m_window);
    }
}

std::string DdeServer::Start()
{
    WNDCLASSW windowClass {};
    windowClass.lpfnWndProc = WindowProcedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kWindowClass;
    RegisterClassW(&windowClass);
    m_window = CreateWindowW(kWindowClass, L"tavrel-dde", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, windowClass.hInstance,
                             nullptr);
    if (m_window == nullptr) {
        return "cannot create the message window (error " + std::to_string(GetLastError()) + ")";
    }
    UINT error = DMLERR_NO_ERROR;
    m_instance = DdeInstance(Callback, APPCLASS_STANDARD | CBF_SKIP_REGISTRATIONS | CBF_SKIP_UNREGISTRATIONS, error);
    if (!m_instance) {
        return "DdeInitialize failed (DDEML error " + std::to_string(error) + ")";
    }
    const DWORD id = m_instance.Id();
    m_service = StringHandle(id, Widen(protocol::kService));
    m_items = StringHandle(id, Widen(protocol::kItemsTopic));
    m_system = StringHandle(id, SZDDESYS_TOPIC);
    m_status = StringHandle(id, SZDDESYS_ITEM_STATUS);
    if (!m_service || !m_items || !m_system || !m_status) {
        return "cannot make DDE string handles (DDEML error " + std::to_string(DdeGetLastError(id)) + ")";
    }
    if (DdeNameService(id, m_service.Get(), nullptr, DNS_REGISTER) == nullptr) {
        return "cannot register the DDE service Tavrel (DDEML error " + std::to_string(DdeGetLastError(id)) + ")";
    }
    return {};
}

int DdeServer::Run()
{
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        // The acknowledgements of the gateway's own advise posts are not DDEML's to see.
        if (!m_adviseLinks.Inspect(message)) {
            DispatchMessageW(&message);
        }
        m_adviseLinks.Dispatched();
        WatchOwedAdvises();
    }
    return static_cast<int>(message.wParam);
}

void DdeServer::Stop()
{
    PostMessageW(m_window, WM_CLOSE, 0, 0);
}

void DdeServer::LinkChanged()
{
    PostMessageW(m_window, kLinkMessage, 0, 0);
}

LRESULT CALLBACK DdeServer::WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (s_server != nullptr) {
        if (message == kLinkMessage) {
            s_server->PostAdvises();
            return 0;
        }
        if (message == kAdviseMessage) {
            const auto key = static_cast<std::int32_t>(wParam);
            if (s_server->m_adviseLinks.Post(key)) {
                s_server->PostAdvise(key);
            }
            return 0;
        }
        if (message == kMoreAdvisesMessage) {
            s_server->m_morePosted = false;
            s_server->PostQueuedAdvises();
            return 0;
        }
        if (message == WM_TIMER && wParam == kOwedAdvisesTimer) {
            s_server->m_adviseLinks.PostOwed();
            return 0;
        }
    }
    if (message == WM_CLOSE) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

HDDEDATA CALLBACK DdeServer::Callback(UINT type, UINT format, HCONV conversation, HSZ topic, HSZ item, HDDEDATA data,
                                      ULONG_PTR, ULONG_PTR)
{
    if (s_server == nullptr) {
        return nullptr;
    }
    return s_server->Transaction(type, format, conversation, topic, item, data);
}

HDDEDATA DdeServer::Transaction(UINT type, UINT format, HCONV conversation, HSZ topic, HSZ item, HDDEDATA data)
{
    switch (type) {
    case XTYP_CONNECT:
        // Here `item` is the service name.
        if (!m_items.Is(topic) && !m_system.Is(topic)) {
            m_log.Line("conversation on unknown topic '" + Name(topic) + "' refused; the topics are Items and System");
            return nullptr;
        }
        return reinterpret_cast<HDDEDATA>(static_cast<ULONG_PTR>(m_service.Is(item)));
    case XTYP_WILDCONNECT:
        return WildConnect(topic, item);
    case XTYP_REQUEST:
        return Request(format, conversation, topic, item, false);
    case XTYP_ADVREQ:
        return Request(format, conversation, topic, item, true);
    case XTYP_ADVSTART:
        return reinterpret_cast<HDDEDATA>(static_cast<ULONG_PTR>(AdviseStart(format, conversation, topic, item)));
    case XTYP_ADVSTOP:
        AdviseStop(format, conversation, topic, item);
        return nullptr;
    case XTYP_POKE:
        return Poke(format, topic, item, data);
    case XTYP_EXECUTE:
        return Execute(data);
    case XTYP_DISCONNECT:
        if (const auto links = m_links.find(conversation); links != m_links.end()) {
            for (const std::int32_t index : links->second) {
                m_link.RemoveLink(index);
            }
            m_links.erase(links);
        }
        m_adviseLinks.Disconnect(conversation);
        return nullptr;
    default:
        return nullptr;
    }
}

HDDEDATA DdeServer::WildConnect(HSZ topic, HSZ service)
{
    if (service != nullptr && !m_service.Is(service)) {
        return nullptr;
    }
    std::vector<HSZPAIR> pairs;
    for (const StringHandle* candidate : { &m_items, &m_system }) {
        if (topic == nullptr || candidate->Is(topic)) {
            pairs.push_back({ m_service.Get(), candidate->Get() });
        }
    }
    if (pairs.empty()) {
        return nullptr;
    }
    pairs.push_back({ nullptr, nullptr });
    return DdeCreateDataHandle(m_instance.Id(), reinterpret_cast<BYTE*>(pairs.data()),
                               static_cast<DWORD>(pairs.size() * sizeof(HSZPAIR)), 0, nullptr, CF_TEXT, 0);
}

bool DdeServer::TextFormat(UINT format, const char* transaction, HSZ item)
{
    if (format == CF_TEXT || format == CF_UNICODETEXT) {
        return true;
    }
    const std::string what = std::string(transaction) + " of " + Name(item);
    // Clients try their richer formats first and fall back to text; one line per format says so.
    if (m_refusedFormats.insert(format).second) {
        m_log.Line(what + " in clipboard format " + FormatName(format)
                   + " refused: only text (CF_TEXT, CF_UNICODETEXT) is served");
    }
    return false;
}

std::optional<std::int32_t> DdeServer::Item(HSZ item, const char* transaction)
{
    const std::wstring name = StringOf(m_instance.Id(), item);
    const auto index = protocol::ParseLabelName(name);
    if (!index) {
        m_log.Line(std::string(transaction) + " of '" + Narrow(name)
                   + "' refused: items have the form lblDDE(n), n from 0 to 32767");
    }
    return index;
}

std::string DdeServer::Name(HSZ handle) const
{
    return Excerpt(Narrow(StringOf(m_instance.Id(), handle)));
}

HDDEDATA DdeServer::Text(HSZ item, UINT format, const std::string& utf8) const
{
    const std::wstring wide = Widen(utf8);
    if (format == CF_UNICODETEXT) {
        return DdeCreateDataHandle(m_instance.Id(), reinterpret_cast<BYTE*>(const_cast<wchar_t*>(wide.c_str())),
                                   static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)), 0, item, format, 0);
    }
    const std::string ansi = ToAnsi(wide);
    return DdeCreateDataHandle(m_instance.Id(), reinterpret_cast<BYTE*>(const_cast<char*>(ansi.c_str())),
                               static_cast<DWORD>(ansi.size() + 1), 0, item, format, 0);
}

std::string DdeServer::LinkName(std::int32_t key) const
{
    return key >= 0 ? protocol::LabelName(key) : m_link.KeyName(key);
}

std::optional<std::int32_t> DdeServer::SystemKey(const std::wstring& name, const char* transaction, bool add)
{
    const auto key = m_link.SystemKey(Narrow(name), add);
    if (!key && add) {
        m_log.Line(std::string(transaction) + " of System!" + Excerpt(Narrow(name))
                   + " refused: " + std::to_string(LinkTable::kMaxSystemLinks) + " System items are linked already");
    }
    return key;
}

std::string DdeServer::SystemItem(const std::wstring& name)
{
    const auto is = [&](const wchar_t* standard) {
        return CompareStringOrdinal(name.c_str(), -1, standard, -1, TRUE) == CSTR_EQUAL;
    };
    if (is(SZDDESYS_ITEM_TOPICS)) {
        return std::string(protocol::kItemsTopic) + "\t" + std::string(protocol::kSystemTopic);
    }
    if (is(SZDDESYS_ITEM_SYSITEMS)) {
        // The link server's diagnostics items after the standard ones, while it can tell them.
        const Answer names = m_link.SystemItemNames();
        if (!names.ok) {
            m_log.Line("SysItems lists only the standard items: " + names.error);
        }
        return std::string(kStandardSystemItems) + (names.ok && !names.value.empty() ? "\t" + names.value : "");
    }
    if (is(SZDDESYS_ITEM_FORMATS)) {
        return "TEXT\tUNICODETEXT";
    }
    if (is(SZDDESYS_ITEM_STATUS)) {
        // Busy while the link server is away: requests fail, links wait.
        return m_link.Connected() ? "Ready" : "Busy";
    }
    return {};
}

std::string DdeServer::CurrentValue(std::int32_t key) const
{
    return m_link.LinkedValue(key).value_or(kNotCurrent);
}

HDDEDATA DdeServer::Request(UINT format, HCONV conversation, HSZ topic, HSZ item, bool advise)
{
    const char* const transaction = advise ? "advise" : "request";
    if (!TextFormat(format, transaction, item)) {
        return nullptr;
    }
    if (advise && m_posting) {
        // Our own post of an Items link: no names to look up. A link the gateway posts to itself gets nothing here.
        return m_adviseLinks.Direct(conversation, format, *m_posting) ? nullptr
                                                                      : Text(item, format, CurrentValue(*m_posting));
    }
    if (m_system.Is(topic)) {
        const std::wstring name = StringOf(m_instance.Id(), item);
        if (const std::string value = SystemItem(name); !value.empty()) {
            return Text(item, format, value);
        }
        if (advise) {
            const auto key = SystemKey(name, transaction, false);
            return Text(item, format, key ? CurrentValue(*key) : kNotCurrent);
        }
        // A diagnostics item of the link server.
        const Answer answer = m_link.RequestSystem(Narrow(name));
        if (!answer.ok) {
            m_log.Line("request of System!" + Name(item) + " refused: " + answer.error
                       + "; SysItems lists the System items");
            return nullptr;
        }
        return Text(item, format, answer.value);
    }
    const auto index = Item(item, transaction);
    if (!index) {
        return nullptr;
    }
    if (advise) {
        return m_adviseLinks.Direct(conversation, format, *index) ? nullptr : Text(item, format, CurrentValue(*index));
    }
    const Answer answer = m_link.Request(*index);
    if (!answer.ok) {
        m_log.Line("request of " + protocol::LabelName(*index) + " refused: " + answer.error);
        return nullptr;
    }
    return Text(item, format, answer.value);
}

bool DdeServer::AdviseStart(UINT format, HCONV conversation, HSZ topic, HSZ item)
{
    if (!TextFormat(format, "link", item)) {
        return false;
    }
    std::optional<std::int32_t> key;
    if (m_system.Is(topic)) {
        if (m_status.Is(item)) {
            return true;
        }
        const std::wstring name = StringOf(m_instance.Id(), item);
        if (IsStandardSystemItem(name)) {
            m_log.Line("link to System!" + Name(item) + " refused: of the standard System items only Status links");
            return false;
        }
        key = SystemKey(name, "link", true);
    } else {
        key = Item(item, "link");
    }
    if (!key) {
        return false;
    }
    const std::string name = LinkName(*key);
    const Answer answer = m_link.AddLink(*key);
    if (!answer.ok) {
        m_log.Line("link to " + name + " refused: " + answer.error);
        return false;
    }
    m_links[conversation].insert(*key);
    const bool direct = m_adviseLinks.Start(m_instance.Id(), conversation, item, format, *key);
    m_log.Line("link to " + name + " started" + (direct ? "" : " (through DDEML)"));
    // The new link gets the current value as soon as DDEML has made it, after this callback.
    PostMessageW(m_window, kAdviseMessage, static_cast<WPARAM>(*key), 0);
    return true;
}

void DdeServer::AdviseStop(UINT format, HCONV conversation, HSZ topic, HSZ item)
{
    const std::wstring name = StringOf(m_instance.Id(), item);
    const auto key = m_system.Is(topic) ? SystemKey(name, "unlink", false) : protocol::ParseLabelName(name);
    const auto links = m_links.find(conversation);
    if (!key || links == m_links.end()) {
        return;
    }
    if (const auto link = links->second.find(*key); link != links->second.end()) {
        const std::string linkName = LinkName(*key);
        links->second.erase(link);
        m_adviseLinks.Stop(conversation, format, *key);
        m_link.RemoveLink(*key);
        m_log.Line("link to " + linkName + " ended");
    }
}

std::optional<std::wstring> DdeServer::ReadText(HDDEDATA data, UINT format, const std::string& what)
{
    const DWORD size = DdeGetData(data, nullptr, 0, 0);
    if (size > kMaxIncomingData) {
        m_log.Line(what + " refused: " + std::to_string(size) + " bytes, more than any item takes");
        return std::nullopt;
    }
    std::vector<BYTE> bytes(size);
    if (size > 0) {
        DdeGetData(data, bytes.data(), size, 0);
    }
    if (format == CF_UNICODETEXT) {
        std::wstring text(bytes.size() / sizeof(wchar_t), L'\0');
        std::memcpy(text.data(), bytes.data(), text.size() * sizeof(wchar_t));
        return text.substr(0, text.find(L'\0'));
    }
    const std::string ansi(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return FromAnsi(ansi.substr(0, ansi.find('\0')));
}

HDDEDATA DdeServer::Poke(UINT format, HSZ topic, HSZ item, HDDEDATA data)
{
    if (!m_items.Is(topic)) {
        m_log.Line("poke of " + Name(topic) + "!" + Name(item) + " refused: only items of the topic Items take pokes");
        return reinterpret_cast<HDDEDATA>(DDE_FNOTPROCESSED);
    }
    const auto index = Item(item, "poke");
    if (!index || !TextFormat(format, "poke", item)) {
        return reinterpret_cast<HDDEDATA>(DDE_FNOTPROCESSED);
    }
    const auto text = ReadText(data, format, "poke of " + protocol::LabelName(*index));
    if (!text) {
        return reinterpret_cast<HDDEDATA>(DDE_FNOTPROCESSED);
    }
    const std::string value = Narrow(WithoutLineEnd(*text));
    const Answer answer = m_link.Poke(*index, value);
    if (!answer.ok) {
        m_log.Line("poke of '" + Excerpt(value) + "' into " + protocol::LabelName(*index)
                   + " refused: " + answer.error);
        return reinterpret_cast<HDDEDATA>(DDE_FNOTPROCESSED);
    }
    m_log.Line("poke of '" + Excerpt(value) + "' into " + protocol::LabelName(*index) + " taken");
    return reinterpret_cast<HDDEDATA>(DDE_FACK);
}

HDDEDATA DdeServer::Execute(HDDEDATA data)
{
    // DDEML hands a Unicode server every execute string as UTF-16, whatever the client sent.
    const auto text = ReadText(data, CF_UNICODETEXT, "execute");
    if (!text) {
        return reinterpret_cast<HDDEDATA>(DDE_FNOTPROCESSED);
    }
    const std::string command = Narrow(WithoutLineEnd(*text));
    const Answer answer = m_link.Execute(command);
    if (!answer.ok && answer.refused) {
        // A DDE execute is acknowledged whatever it asks, as spreadsheets expect; what Tavrel did not recognise is
        // logged with its reason.
        m_log.Line("execute '" + Excerpt(command) + "' not recognised by Tavrel: " + answer.error);
        return reinterpret_cast<HDDEDATA>(DDE_FACK);
    }
    if (!answer.ok) {
        m_log.Line("execute '" + Excerpt(command) + "' not delivered: " + answer.error);
        return reinterpret_cast<HDDEDATA>(DDE_FNOTPROCESSED);
    }
    m_log.Line("execute '" + Excerpt(command) + "' delivered");
    return reinterpret_cast<HDDEDATA>(DDE_FACK);
}

void DdeServer::PostAdvise(std::int32_t key)
{
    // The value is read when DDEML asks for it (XTYP_ADVREQ): always the newest one.
    if (key < 0) {
        // A System item: rare changes, and a name that goes with its last link.
        const std::string name = m_link.KeyName(key);
        const StringHandle handle(m_instance.Id(), Widen(name.substr(name.find('!') + 1)));
        m_posting = key;
        DdePostAdvise(m_instance.Id(), m_system.Get(), handle.Get());
        m_posting.reset();
        return;
    }
    auto handle = m_itemHandles.find(key);
    if (handle == m_itemHandles.end()) {
        handle = m_itemHandles.emplace(key, StringHandle(m_instance.Id(), Widen(protocol::LabelName(key)))).first;
    }
    m_posting = key;
    DdePostAdvise(m_instance.Id(), m_items.Get(), handle->second.Get());
    m_posting.reset();
}

void DdeServer::WatchOwedAdvises()
{
    if (m_adviseLinks.Owed() == m_owedTimer) {
        return;
    }
    if (m_owedTimer) {
        KillTimer(m_window, kOwedAdvisesTimer);
        m_owedTimer = false;
    } else {
        m_owedTimer = SetTimer(m_window, kOwedAdvisesTimer, kOwedAdvisesMs, nullptr) != 0;
    }
}

void DdeServer::PostQueuedAdvises()
{
    const auto until = std::chrono::steady_clock::now() + kAdviseSlice;
    while (!m_adviseQueue.empty() && std::chrono::steady_clock::now() < until) {
        const std::int32_t index = m_adviseQueue.front();
        m_adviseQueue.pop_front();
        m_queuedAdvises.erase(index);
        PostAdvise(index);
    }
    if (!m_adviseQueue.empty() && !m_morePosted) {
        // The rest after the messages waiting now: a request or poke is not held up by a flood of changes.
        m_morePosted = PostMessageW(m_window, kMoreAdvisesMessage, 0, 0) != FALSE;
    }
}

void DdeServer::PostAdvises()
{
    // Links posted directly get the change at once. For links that DDEML serves, an item changed again before its
    // advise went keeps its place in the queue: it is posted once, with its newest value.
    for (const std::int32_t index : m_link.TakeChanged()) {
        if (m_adviseLinks.Post(index) && m_queuedAdvises.insert(index).second) {
            m_adviseQueue.push_back(index);
        }
    }
    PostQueuedAdvises();
    if (m_link.TakeConnectionChanged()) {
        m_log.Line(m_link.Connected() ? "System!Status is Ready" : "System!Status is Busy: the link server is away");
        DdePostAdvise(m_instance.Id(), m_system.Get(), m_status.Get());
    }
}

} // namespace tavrel::dde
