#include "LinkClient.h"

#include "Text.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <limits>

namespace tavrel::dde {

namespace {

using json = nlohmann::json;

constexpr auto kFirstRetry = std::chrono::milliseconds(250);
constexpr auto kLastRetry = std::chrono::milliseconds(5000);
constexpr int kConnectTimeoutMs = 5000;
constexpr int kUpgradeAnswerTimeoutMs = 10000;
/// The largest message taken from the link server: a whole pass of changes for every link fits many times.
constexpr std::size_t kMaxIncomingBytes = 16 * 1024 * 1024;
constexpr std::size_t kReceiveChunk = 64 * 1024;

std::string ErrorText(DWORD error)
{
    // The common ones by name: not every system has WinHTTP's message texts.
    switch (error) {
    case ERROR_WINHTTP_CANNOT_CONNECT:
        return "cannot connect (error 12029)";
    case ERROR_WINHTTP_TIMEOUT:
        return "timed out (error 12002)";
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
        return "host name not found (error 12007)";
    case ERROR_WINHTTP_CONNECTION_ERROR:
        return "connection reset or closed (error 12030)";
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
        return "invalid answer from the server (error 12152)";
    default:
        break;
    }
    wchar_t* text = nullptr;
    const HMODULE winhttp = GetModuleHandleW(L"winhttp.dll");
    const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS
        | (winhttp != nullptr && error >= WINHTTP_ERROR_BASE && error <= WINHTTP_ERROR_LAST
               ? FORMAT_MESSAGE_FROM_HMODULE
               : FORMAT_MESSAGE_FROM_SYSTEM);
    const DWORD length = FormatMessageW(flags, winhttp, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message;
    if (length > 0 && text != nullptr) {
        message = Narrow(WithoutLineEnd(std::wstring(text, length)));
        LocalFree(text);
    }
    return message.empty() ? "error " + std::to_string(error) : message + " (error " + std::to_string(error) + ")";
}

std::string Dump(const json& message)
{
    return message.dump(-1, ' ', false, json::error_handler_t::replace);
}

/// A name as it is compared: the link server matches System item names without regard to case.
std::wstring Upper(std::string_view utf8)
{
    std::wstring wide = Widen(utf8);
    if (!wide.empty()) {
        CharUpperBuffW(wide.data(), static_cast<DWORD>(wide.size()));
    }
    return wide;
}

const char* OpName(int op)
{
    static const char* const names[] = { "request", "poke", "execute", "advise", "unadvise" };
    return names[op];
}

} // namespace

LinkClient::LinkClient(const Options& options, std::string token, Log& log, std::function<void()> notify)
    : m_options(options)
    , m_token(std::move(token))
    , m_log(log)
    , m_notify(std::move(notify))
    , m_stop(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    , m_finished(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
}

LinkClient::~LinkClient()
{
    if (!m_thread.joinable()) {
        return;
    }
    SetEvent(m_stop.Get());
    {
        // A close frame ends the link thread's receive once the server answers it.
        std::lock_guard send(m_sendMutex);
        if (m_socket != nullptr) {
            WinHttpWebSocketShutdown(m_socket, WINHTTP_WEB_SOCKET_SUCCESS_CLOSE_STATUS, nullptr, 0);
        }
    }
    if (WaitForSingleObject(m_finished.Get(), 2000) == WAIT_OBJECT_0) {
        m_thread.join();
    } else {
        // A server that does not answer holds the thread in its receive; the process ends around it.
        m_thread.detach();
    }
}

void LinkClient::Start()
{
    m_thread = std::thread([this] { Run(); });
}

std::string LinkClient::Url() const
{
    const std::string host = Narrow(m_options.host);
    const bool v6 = host.find(':') != std::string::npos;
    return "ws://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(m_options.port) + "/dde/Tavrel/Items";
}

void LinkClient::Run()
{
    auto retry = kFirstRetry;
    std::string lastFailure;
    while (WaitForSingleObject(m_stop.Get(), 0) != WAIT_OBJECT_0) {
        std::string error;
        auto socket = Connect(error);
        if (!socket) {
            if (error != lastFailure) {
                m_log.Line("link server " + Url() + " not reached: " + error + "; trying again, every "
                           + std::to_string(kLastRetry.count() / 1000) + " s at most");
                lastFailure = error;
            }
            WaitForSingleObject(m_stop.Get(), static_cast<DWORD>(retry.count()));
            retry = std::min(retry * 2, kLastRetry);
            continue;
        }
        lastFailure.clear();
        retry = kFirstRetry;
        m_log.Line("connected to the link server " + Url());
        Converse(socket->socket.Get());
        Disconnected();
    }
    SetEvent(m_finished.Get());
}

std::optional<LinkClient::Exchange> LinkClient::Get(const wchar_t* path, bool upgrade, DWORD expected,
                                                    int answerTimeoutMs, std::string& error)
{
    Exchange exchange;
    exchange.session.Reset(WinHttpOpen(L"tavrel-dde/1.0", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                       WINHTTP_NO_PROXY_BYPASS, 0));
    if (!exchange.session) {
        error = ErrorText(GetLastError());
        return std::nullopt;
    }
    WinHttpSetTimeouts(exchange.session.Get(), kConnectTimeoutMs, kConnectTimeoutMs, kConnectTimeoutMs,
                       answerTimeoutMs);
    exchange.connection.Reset(WinHttpConnect(exchange.session.Get(), m_options.host.c_str(), m_options.port, 0));
    if (!exchange.connection) {
        error = ErrorText(GetLastError());
        return std::nullopt;
    }
    exchange.request.Reset(WinHttpOpenRequest(exchange.connection.Get(), L"GET", path, nullptr, WINHTTP_NO_REFERER,
                                              WINHTTP_DEFAULT_ACCEPT_TYPES, 0));
    if (!exchange.request
        || (upgrade && !WinHttpSetOption(exchange.request.Get(), WINHTTP_OPTION_UPGRADE_TO_WEB_SOCKET, nullptr, 0))) {
        error = ErrorText(GetLastError());
        return std::nullopt;
    }
    std::wstring headers = upgrade ? std::wstring() : L"Accept: application/json";
    if (!m_token.empty()) {
        headers += (headers.empty() ? L"" : L"\r\n") + (L"Authorization: Bearer " + Widen(m_token));
    }
    if (!WinHttpSendRequest(exchange.request.Get(), headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                            headers.empty() ? 0 : static_cast<DWORD>(-1), WINHTTP_NO_REQUEST_DATA, 0, 0, 0)
        || !WinHttpReceiveResponse(exchange.request.Get(), nullptr)) {
        error = ErrorText(GetLastError());
        return std::nullopt;
    }
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!WinHttpQueryHeaders(exchange.request.Get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
        error = "no HTTP status in the answer: " + ErrorText(GetLastError());
        return std::nullopt;
    }
    if (status != expected) {
        char body[512];
        DWORD read = 0;
        std::string reason;
        if (WinHttpReadData(exchange.request.Get(), body, sizeof body, &read)) {
            reason = Excerpt(std::string_view(body, read), 200);
        }
        error = "the server answered " + std::to_string(status) + (reason.empty() ? "" : ": " + reason)
            + (status == 401 || status == 403
                   ? (m_token.empty() ? " (it wants a token: --token-file)" : " (the token was refused)")
                   : "");
        return std::nullopt;
    }
    return exchange;
}

std::optional<LinkClient::Socket> LinkClient::Connect(std::string& error)
{
    auto exchange = Get(L"/dde/Tavrel/Items", true, 101, kUpgradeAnswerTimeoutMs, error);
    if (!exchange) {
        return std::nullopt;
    }
    Socket result;
    result.socket.Reset(WinHttpWebSocketCompleteUpgrade(exchange->request.Get(), 0));
    if (!result.socket) {
        error = "WebSocket upgrade failed: " + ErrorText(GetLastError());
        return std::nullopt;
    }
    result.connection = std::move(exchange->connection);
    return result;
}

void LinkClient::Converse(HINTERNET socket)
{
    {
        std::lock_guard send(m_sendMutex);
        m_socket = socket;
    }
    {
        std::lock_guard lock(m_mutex);
        m_connected = true;
        m_connectionChanged = true;
    }
    Notify();
    // Every link made before, or while the server was away, is advised again; the answers bring the values.
    std::vector<std::pair<std::int32_t, std::string>> renewals;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& [key, link] : m_links) {
            renewals.emplace_back(key, MessageLocked("advise", key));
        }
    }
    for (const auto& [key, renewal] : renewals) {
        Send(Op::Advise, key, renewal, true);
    }

    std::string message;
    std::vector<char> chunk(kReceiveChunk);
    for (;;) {
        DWORD read = 0;
        WINHTTP_WEB_SOCKET_BUFFER_TYPE type {};
        const DWORD error
            = WinHttpWebSocketReceive(socket, chunk.data(), static_cast<DWORD>(chunk.size()), &read, &type);
        if (error != NO_ERROR) {
            if (WaitForSingleObject(m_stop.Get(), 0) != WAIT_OBJECT_0) {
                m_log.Line("link server connection lost: " + ErrorText(error));
            }
            return;
        }
        if (type == WINHTTP_WEB_SOCKET_CLOSE_BUFFER_TYPE) {
            USHORT code = 0;
            char reason[WINHTTP_WEB_SOCKET_MAX_CLOSE_REASON_LENGTH];
            DWORD reasonLength = 0;
            WinHttpWebSocketQueryCloseStatus(socket, &code, reason, sizeof reason, &reasonLength);
            m_log.Line("the link server closed the connection (code " + std::to_string(code)
                       + (reasonLength ? ": " + Excerpt(std::string_view(reason, reasonLength)) : std::string()) + ")");
            return;
        }
        if (type == WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE
            || type == WINHTTP_WEB_SOCKET_BINARY_FRAGMENT_BUFFER_TYPE) {
            m_log.Line("the link server sent binary data, which it never does; connecting again");
            return;
        }
        message.append(chunk.data(), read);
        if (message.size() > kMaxIncomingBytes) {
            m_log.Line("the link server sent a message of more than " + std::to_string(kMaxIncomingBytes)
                       + " bytes; connecting again");
            return;
        }
        if (type == WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE) {
            if (!Handle(message)) {
                return;
            }
            message.clear();
        }
    }
}

bool LinkClient::Handle(const std::string& message)
{
    const json document = json::parse(message, nullptr, false);
    const auto garbage = [&](const std::string& what) {
        m_log.Line("the link server sent " + what + ": " + Excerpt(message) + "; connecting again");
        return false;
    };
    if (document.is_discarded()) {
        return garbage("something that is not JSON");
    }

    std::vector<std::int32_t> changed;
    bool answered = false;
    std::string ended;
    std::string refusedRenewal;
    {
        std::lock_guard lock(m_mutex);
        // The link of an object's item: false when it names no item; `key` stays empty for one not linked.
        const auto linkOf = [&](const json& object, std::optional<std::int32_t>& key) {
            const auto item = object.find("item");
            if (item == object.end() || !item->is_string()) {
                return false;
            }
            if (const auto topic = object.find("topic");
                topic != object.end() && topic->is_string() && Upper(topic->get<std::string>()) == L"SYSTEM") {
                const auto known = m_systemKeys.find(Upper(item->get<std::string>()));
                key = known == m_systemKeys.end() ? std::nullopt : std::optional(known->second);
                return true;
            }
            key = ParseItemName(Widen(item->get<std::string>()));
            return key.has_value();
        };
        // A value of an item: false for a message of another form.
        const auto change = [&](const json& update, std::optional<std::int32_t>& key) {
            if (!update.is_object() || !linkOf(update, key) || !update.contains("value")
                || !update["value"].is_string()) {
                return false;
            }
            if (key) {
                SetValueLocked(*key, update["value"].get<std::string>());
            }
            return true;
        };
        std::optional<std::int32_t> key;
        if (document.is_array()) {
            for (const json& update : document) {
                if (!change(update, key)) {
                    return garbage("a change that is no item and value");
                }
            }
        } else if (!document.is_object()) {
            return garbage("a message that is no JSON object");
        } else if (!document.contains("op")) {
            // A value: the answer to the advise at the head of the queue, or a change of a linked item.
            if (!change(document, key)) {
                return garbage("a message that is no item and value");
            }
            if (key && !m_pending.empty() && m_pending.front()->op == Op::Advise && m_pending.front()->index == *key) {
                auto pending = m_pending.front();
                m_pending.pop_front();
                if (!pending->done) {
                    pending->done = true;
                    pending->answer.ok = true;
                }
                answered = true;
            }
        } else {
            const std::string op = document["op"].is_string() ? document["op"].get<std::string>() : std::string();
            if (op == "ended") {
                if (linkOf(document, key) && key) {
                    SetValueLocked(*key, std::nullopt);
                    ended = KeyNameLocked(*key);
                }
            } else {
                // The answer to the transaction at the head of the queue: the server answers in order.
                if (m_pending.empty()) {
                    return garbage("an answer to nothing that was asked");
                }
                auto pending = m_pending.front();
                if (op != "error" && op != OpName(static_cast<int>(pending->op))) {
                    return garbage("an answer to '" + op + "' where one to '" + OpName(static_cast<int>(pending->op))
                                   + "' was due");
                }
                m_pending.pop_front();
                Answer answer;
                // Members of another type count as missing: a hostile server's message must not throw.
                const auto ok = document.find("ok");
                answer.ok = (ok != document.end() && ok->is_boolean() ? ok->get<bool>() : pending->op == Op::Request)
                    && op != "error";
                answer.refused = !answer.ok;
                if (const auto error = document.find("error"); error != document.end() && error->is_string()) {
                    answer.error = error->get<std::string>();
                } else if (!answer.ok) {
                    answer.error = "refused by the link server";
                }
                if (pending->op == Op::Request && answer.ok) {
                    const auto value = document.find("value");
                    if (value == document.end() || !value->is_string()) {
                        return garbage("a request's answer without a value");
                    }
                    answer.value = value->get<std::string>();
                }
                if (pending->renewal && !answer.ok) {
                    // The item went while the server was away: the link stays, showing #N/A.
                    refusedRenewal = KeyNameLocked(pending->index) + ": " + answer.error;
                }
                if (!pending->done) {
                    pending->done = true;
                    pending->answer = std::move(answer);
                }
                answered = true;
            }
        }
    }
    if (answered) {
        m_answered.notify_all();
    }
    if (!refusedRenewal.empty()) {
        m_log.Line("the link server no longer serves " + refusedRenewal + "; its links show #N/A");
    }
    if (!ended.empty()) {
        m_log.Line(ended + " was removed from the project; its links show #N/A");
    }
    Notify();
    return true;
}

void LinkClient::Disconnected()
{
    {
        std::lock_guard send(m_sendMutex);
        m_socket = nullptr;
    }
    {
        std::lock_guard lock(m_mutex);
        for (const auto& pending : m_pending) {
            if (!pending->done) {
                pending->done = true;
                pending->answer = { false, {}, "the connection to the link server was lost" };
            }
        }
        m_pending.clear();
        m_connected = false;
        m_connectionChanged = true;
        // The values of a server that is gone are not current: links show that until it is back.
        for (auto& [index, link] : m_links) {
            SetValueLocked(index, std::nullopt);
        }
    }
    m_answered.notify_all();
    Notify();
}

void LinkClient::SetValueLocked(std::int32_t key, std::optional<std::string> value)
{
    const auto link = m_links.find(key);
    if (link == m_links.end()) {
        return;
    }
    link->second.value = std::move(value);
    if (!link->second.queued) {
        link->second.queued = true;
        m_changed.push_back(key);
    }
}

std::string LinkClient::MessageLocked(const char* op, std::int32_t key) const
{
    if (key >= 0) {
        return Dump({ { "op", op }, { "item", ItemName(key) } });
    }
    const auto name = m_systemNames.find(key);
    return Dump({ { "op", op },
                  { "topic", "System" },
                  { "item", name == m_systemNames.end() ? std::string() : name->second } });
}

std::string LinkClient::KeyNameLocked(std::int32_t key) const
{
    if (key >= 0) {
        return ItemName(key);
    }
    const auto name = m_systemNames.find(key);
    return "System!" + (name == m_systemNames.end() ? std::string("?") : name->second);
}

std::string LinkClient::KeyName(std::int32_t key) const
{
    std::lock_guard lock(m_mutex);
    return KeyNameLocked(key);
}

std::optional<std::int32_t> LinkClient::SystemKey(const std::string& name, bool add)
{
    const std::wstring upper = Upper(name);
    std::lock_guard lock(m_mutex);
    if (const auto known = m_systemKeys.find(upper); known != m_systemKeys.end()) {
        return known->second;
    }
    if (!add || m_systemKeys.size() >= kMaxSystemLinks || m_nextSystemKey == std::numeric_limits<std::int32_t>::min()) {
        return std::nullopt;
    }
    const std::int32_t key = m_nextSystemKey--;
    m_systemKeys.emplace(upper, key);
    m_systemNames.emplace(key, name);
    return key;
}

void LinkClient::EraseLinkLocked(std::map<std::int32_t, Link>::iterator link)
{
    const std::int32_t key = link->first;
    std::erase(m_changed, key);
    m_links.erase(link);
    if (const auto name = m_systemNames.find(key); name != m_systemNames.end()) {
        m_systemKeys.erase(Upper(name->second));
        m_systemNames.erase(name);
    }
}

void LinkClient::Notify()
{
    {
        std::lock_guard lock(m_mutex);
        if (m_notified || (m_changed.empty() && !m_connectionChanged)) {
            return;
        }
        m_notified = true;
    }
    m_notify();
}

std::vector<std::int32_t> LinkClient::TakeChanged()
{
    std::lock_guard lock(m_mutex);
    m_notified = false;
    for (const std::int32_t index : m_changed) {
        if (const auto link = m_links.find(index); link != m_links.end()) {
            link->second.queued = false;
        }
    }
    return std::exchange(m_changed, {});
}

bool LinkClient::TakeConnectionChanged()
{
    std::lock_guard lock(m_mutex);
    return std::exchange(m_connectionChanged, false);
}

bool LinkClient::Connected() const
{
    std::lock_guard lock(m_mutex);
    return m_connected;
}

std::optional<std::string> LinkClient::LinkedValue(std::int32_t key) const
{
    std::lock_guard lock(m_mutex);
    const auto link = m_links.find(key);
    return link == m_links.end() ? std::nullopt : link->second.value;
}

std::shared_ptr<LinkClient::Pending> LinkClient::Send(Op op, std::int32_t index, const std::string& message,
                                                      bool renewal)
{
    std::lock_guard send(m_sendMutex);
    if (m_socket == nullptr) {
        return nullptr;
    }
    auto pending = std::make_shared<Pending>();
    pending->op = op;
    pending->index = index;
    pending->renewal = renewal;
    {
        // Queued before it leaves, so that its answer always finds it.
        std::lock_guard lock(m_mutex);
        m_pending.push_back(pending);
    }
    const DWORD error = WinHttpWebSocketSend(m_socket, WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE,
                                             const_cast<char*>(message.data()), static_cast<DWORD>(message.size()));
    if (error != NO_ERROR) {
        std::lock_guard lock(m_mutex);
        std::erase(m_pending, pending);
        pending->done = true;
        pending->answer = { false, {}, "cannot send to the link server: " + ErrorText(error) };
    }
    return pending;
}

Answer LinkClient::Wait(const std::shared_ptr<Pending>& pending)
{
    std::unique_lock lock(m_mutex);
    if (!m_answered.wait_for(lock, kAnswerTimeout, [&] { return pending->done; })) {
        // Left in the queue: its answer may still come, and must not be taken for the next one's.
        pending->done = true;
        pending->answer
            = { false, {}, "no answer from the link server within " + std::to_string(kAnswerTimeout.count()) + " ms" };
    }
    return pending->answer;
}

Answer LinkClient::Transact(Op op, std::int32_t index, const std::string& message)
{
    if (message.size() > kMaxMessageBytes) {
        return { false,
                 {},
                 "the text is too long: the link server takes messages of " + std::to_string(kMaxMessageBytes)
                     + " bytes at most, this one has " + std::to_string(message.size()) };
    }
    const auto pending = Send(op, index, message);
    if (!pending) {
        return { false, {}, "the link server " + Url() + " is not connected" };
    }
    return Wait(pending);
}

Answer LinkClient::Request(std::int32_t index)
{
    return Transact(Op::Request, index, Dump({ { "op", "request" }, { "item", ItemName(index) } }));
}

Answer LinkClient::Poke(std::int32_t index, const std::string& text)
{
    return Transact(Op::Poke, index, Dump({ { "op", "poke" }, { "item", ItemName(index) }, { "value", text } }));
}

Answer LinkClient::Execute(const std::string& command)
{
    return Transact(Op::Execute, -1, Dump({ { "op", "execute" }, { "command", command } }));
}

Answer LinkClient::RequestSystem(const std::string& name)
{
    return Transact(Op::Request, -1, Dump({ { "op", "request" }, { "topic", "System" }, { "item", name } }));
}

Answer LinkClient::SystemItemNames()
{
    if (!Connected()) {
        return { false, {}, "the link server " + Url() + " is not connected" };
    }
    std::string error;
    const auto exchange = Get(L"/dde/Tavrel/System", false, 200, static_cast<int>(kAnswerTimeout.count()), error);
    if (!exchange) {
        return { false, {}, error };
    }
    std::string body;
    std::vector<char> chunk(kReceiveChunk);
    DWORD read = 0;
    do {
        if (!WinHttpReadData(exchange->request.Get(), chunk.data(), static_cast<DWORD>(chunk.size()), &read)) {
            return { false, {}, "the list of System items was cut off: " + ErrorText(GetLastError()) };
        }
        body.append(chunk.data(), read);
        if (body.size() > kMaxIncomingBytes) {
            return { false,
                     {},
                     "the list of System items is larger than " + std::to_string(kMaxIncomingBytes) + " bytes" };
        }
    } while (read > 0);
    const json document = json::parse(body, nullptr, false);
    const auto items = document.is_object() ? document.find("items") : document.end();
    if (document.is_discarded() || !document.is_object() || items == document.end() || !items->is_array()) {
        return { false, {}, "the link server's list of System items is no JSON list: " + Excerpt(body) };
    }
    std::string names;
    for (const json& item : *items) {
        if (!item.is_object() || !item.contains("item") || !item["item"].is_string()) {
            return { false, {}, "the link server's list of System items holds " + Excerpt(Dump(item)) };
        }
        names += (names.empty() ? "" : "\t") + item["item"].get<std::string>();
    }
    return { true, names, {} };
}

Answer LinkClient::AddLink(std::int32_t key)
{
    std::string message;
    {
        std::lock_guard lock(m_mutex);
        if (++m_links[key].refs > 1) {
            return { true, {}, {} };
        }
        message = MessageLocked("advise", key);
    }
    const auto pending = Send(Op::Advise, key, message);
    if (!pending) {
        return { true, {}, {} }; // advised when the server is back
    }
    Answer answer = Wait(pending);
    std::lock_guard lock(m_mutex);
    if (answer.refused) {
        // The server refused the item: no link.
        if (auto link = m_links.find(key); link != m_links.end() && --link->second.refs == 0) {
            EraseLinkLocked(link);
        }
        return answer;
    }
    return { true, {}, {} };
}

void LinkClient::RemoveLink(std::int32_t key)
{
    std::string message;
    {
        std::lock_guard lock(m_mutex);
        const auto link = m_links.find(key);
        if (link == m_links.end() || --link->second.refs > 0) {
            return;
        }
        message = MessageLocked("unadvise", key);
        EraseLinkLocked(link);
    }
    // Its answer needs no one to wait for it: the queue takes it in turn.
    Send(Op::Unadvise, key, message);
}

} // namespace tavrel::dde
