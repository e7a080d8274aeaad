#include "LinkClient.h"

#include "Excerpt.h"
#include "Text.h"

#include <algorithm>

namespace tavrel::dde {

namespace {

constexpr auto kFirstRetry = std::chrono::milliseconds(250);
constexpr auto kLastRetry = std::chrono::milliseconds(5000);

} // namespace

LinkClient::LinkClient(const Options& options, std::string token, Log& log, std::function<void()> notify)
    : m_transport(options, std::move(token))
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
            LinkTransport::Close(m_socket);
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
    return m_transport.Url();
}

void LinkClient::Run()
{
    auto retry = kFirstRetry;
    std::string lastFailure;
    while (WaitForSingleObject(m_stop.Get(), 0) != WAIT_OBJECT_0) {
        std::string error;
        auto socket = m_transport.Connect(error);
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
        for (const auto& [key, item] : m_links.Linked()) {
            renewals.emplace_back(key, ItemMessage(Op::Advise, item));
        }
    }
    for (const auto& [key, renewal] : renewals) {
        Send(Op::Advise, key, renewal, true);
    }

    std::string message;
    for (;;) {
        std::string why;
        switch (m_transport.Receive(socket, message, why)) {
        case LinkTransport::Receipt::Message:
            if (!Handle(message)) {
                return;
            }
            break;
        case LinkTransport::Receipt::Lost:
            if (WaitForSingleObject(m_stop.Get(), 0) != WAIT_OBJECT_0) {
                m_log.Line("link server connection lost: " + why);
            }
            return;
        case LinkTransport::Receipt::Over:
            m_log.Line(why);
            return;
        }
    }
}

bool LinkClient::Handle(const std::string& text)
{
    const ServerMessage message = ReadServerMessage(text);
    std::optional<std::string> garbage;
    bool answered = false;
    std::string ended;
    std::string refusedRenewal;
    {
        std::lock_guard lock(m_mutex);
        switch (message.kind) {
        case ServerMessage::Kind::Invalid:
            garbage = message.invalid;
            break;
        case ServerMessage::Kind::Value:
        case ServerMessage::Kind::Changes:
            for (const LinkValue& change : message.values) {
                if (const auto key = m_links.KeyOf(change.item)) {
                    m_links.SetValue(*key, change.value);
                }
            }
            if (message.kind == ServerMessage::Kind::Value) {
                // A value alone may be the answer to the advise at the head of the queue.
                const auto key = m_links.KeyOf(message.values.front().item);
                if (key && !m_pending.empty() && m_pending.front()->op == Op::Advise
                    && m_pending.front()->index == *key) {
                    auto pending = m_pending.front();
                    m_pending.pop_front();
                    if (!pending->done) {
                        pending->done = true;
                        pending->answer.ok = true;
                    }
                    answered = true;
                }
            }
            break;
        case ServerMessage::Kind::Ended:
            if (const auto key = message.ended ? m_links.KeyOf(*message.ended) : std::nullopt) {
                m_links.SetValue(*key, std::nullopt);
                ended = m_links.KeyName(*key);
            }
            break;
        case ServerMessage::Kind::Answer:
            garbage = TakeAnswerLocked(message, refusedRenewal);
            answered = !garbage;
            break;
        }
    }
    if (garbage) {
        m_log.Line("the link server sent " + *garbage + ": " + Excerpt(text) + "; connecting again");
        return false;
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

std::optional<std::string> LinkClient::TakeAnswerLocked(const ServerMessage& message, std::string& refusedRenewal)
{
    // The server answers in order: this is the answer to the transaction at the head of the queue.
    if (m_pending.empty()) {
        return "an answer to nothing that was asked";
    }
    auto pending = m_pending.front();
    const std::string due(protocol::OperationName(pending->op));
    if (message.op != protocol::kError && message.op != due) {
        return "an answer to '" + message.op + "' where one to '" + due + "' was due";
    }
    m_pending.pop_front();
    Answer answer;
    answer.ok = message.ok.value_or(pending->op == Op::Request) && message.op != protocol::kError;
    answer.refused = !answer.ok;
    if (message.error) {
        answer.error = *message.error;
    } else if (!answer.ok) {
        answer.error = "refused by the link server";
    }
    if (pending->op == Op::Request && answer.ok) {
        if (!message.value) {
            return "a request's answer without a value";
        }
        answer.value = *message.value;
    }
    if (pending->renewal && !answer.ok) {
        // The item went while the server was away: the link stays, showing #N/A.
        refusedRenewal = m_links.KeyName(pending->index) + ": " + answer.error;
    }
    if (!pending->done) {
        pending->done = true;
        pending->answer = std::move(answer);
    }
    return std::nullopt;
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
        m_links.ForgetValues();
    }
    m_answered.notify_all();
    Notify();
}

std::string LinkClient::KeyName(std::int32_t key) const
{
    std::lock_guard lock(m_mutex);
    return m_links.KeyName(key);
}

std::optional<std::int32_t> LinkClient::SystemKey(const std::string& name, bool add)
{
    std::lock_guard lock(m_mutex);
    return m_links.SystemKey(name, add);
}

void LinkClient::Notify()
{
    {
        std::lock_guard lock(m_mutex);
        if (m_notified || (!m_links.HasChanged() && !m_connectionChanged)) {
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
    return m_links.TakeChanged();
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
    return m_links.Value(key);
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
    if (const auto error = LinkTransport::Send(m_socket, message)) {
        std::lock_guard lock(m_mutex);
        std::erase(m_pending, pending);
        pending->done = true;
        pending->answer = { false, {}, "cannot send to the link server: " + *error };
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
    return Transact(Op::Request, index, ItemMessage(Op::Request, { index, {} }));
}

Answer LinkClient::Poke(std::int32_t index, const std::string& text)
{
    return Transact(Op::Poke, index, PokeMessage(index, text));
}

Answer LinkClient::Execute(const std::string& command)
{
    return Transact(Op::Execute, -1, ExecuteMessage(command));
}

Answer LinkClient::RequestSystem(const std::string& name)
{
    return Transact(Op::Request, -1, ItemMessage(Op::Request, { -1, name }));
}

Answer LinkClient::SystemItemNames()
{
    if (!Connected()) {
        return { false, {}, "the link server " + Url() + " is not connected" };
    }
    std::string error;
    const auto body = m_transport.GetJson(Widen(protocol::kSystemPath), "the list of System items",
                                          static_cast<int>(kAnswerTimeout.count()), error);
    if (!body) {
        return { false, {}, error };
    }
    auto names = ReadSystemItemNames(*body, error);
    if (!names) {
        return { false, {}, error };
    }
    return { true, std::move(*names), {} };
}

Answer LinkClient::AddLink(std::int32_t key)
{
    std::string message;
    {
        std::lock_guard lock(m_mutex);
        if (!m_links.Add(key)) {
            return { true, {}, {} };
        }
        message = ItemMessage(Op::Advise, m_links.Item(key));
    }
    const auto pending = Send(Op::Advise, key, message);
    if (!pending) {
        return { true, {}, {} }; // advised when the server is back
    }
    Answer answer = Wait(pending);
    std::lock_guard lock(m_mutex);
    if (answer.refused) {
        // The server refused the item: no link.
        m_links.Release(key);
        return answer;
    }
    return { true, {}, {} };
}

void LinkClient::RemoveLink(std::int32_t key)
{
    std::string message;
    {
        std::lock_guard lock(m_mutex);
        const auto item = m_links.Release(key);
        if (!item) {
            return;
        }
        message = ItemMessage(Op::Unadvise, *item);
    }
    // Its answer needs no one to wait for it: the queue takes it in turn.
    Send(Op::Unadvise, key, message);
}

} // namespace tavrel::dde
