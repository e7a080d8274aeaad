#include "mqtt/MqttBridge.h"

#include "mqtt/MqttConnection.h"

#include <algorithm>
#include <utility>

// The bridge's payloads, the heartbeat of unchanged values, and the queue kept while the broker is away: what goes
// in, how it comes out after a connection, and what the System items say of it.
namespace tavrel::mqtt {

namespace {

const QString kBufferedItem = QStringLiteral("MqttBuffered");
const QString kDroppedItem = QStringLiteral("MqttDropped");
const QString kReplayItem = QStringLiteral("MqttReplay");
const QString kQueueErrorItem = QStringLiteral("MqttQueueError");
constexpr auto kDroppedLogPeriod = std::chrono::minutes(1);

} // namespace

std::string MqttBridge::Payload(const app::ItemChange& state)
{
    const auto position = static_cast<std::size_t>(state.index);
    if (m_publishedAt.size() <= position) {
        m_publishedAt.resize(position + 1);
    }
    m_publishedAt[position] = std::chrono::steady_clock::now();
    if (!m_connection || m_connection->Config().payload == PayloadFormat::Plain) {
        return state.value;
    }
    if (m_payloadItemsStale) {
        m_payloadItems.assign(static_cast<std::size_t>(std::max(m_items.HighestIndex(), 0)) + 1, PayloadItem {});
        for (app::ItemInfo& info : m_items.Items()) {
            const auto at = static_cast<std::size_t>(info.index);
            if (at < m_payloadItems.size()) {
                m_payloadItems[at] = PayloadItem { .plc = std::move(info.plc),
                                                   .units = std::move(info.units),
                                                   .name = std::move(info.name),
                                                   .numeric = info.kind != app::ValueKind::Text
                                                       && info.kind != app::ValueKind::Timer };
            }
        }
        m_payloadItemsStale = false;
    }
    static const PayloadItem kUnknown;
    return JsonPayload(state, position < m_payloadItems.size() ? m_payloadItems[position] : kUnknown,
                       m_items.DecimalSeparator());
}

void MqttBridge::StartReplay()
{
    if (!Connected() || m_replaying) {
        return;
    }
    if (!m_queue) {
        PublishAll();
        return;
    }
    // The status and diagnostics at once; the values once what was kept is out.
    Publish(kStatusTopic, kOnline, true);
    QueueDiagnostics(true);
    HandOver();
    m_replaying = true;
    ++m_replayNumber;
    m_replayAfter = 0;
    m_replayHanded = 0;
    m_replayed = 0;
    m_replayTotal = m_queue->Count();
    m_replayPlcs.clear();
    for (const auto& [plc, figures] : m_queue->Plcs()) {
        m_replayPlcs[plc] = { 0, figures.buffered };
    }
    m_replayStarted = std::chrono::steady_clock::now();
    ReplayNext();
}

void MqttBridge::ReplayNext()
{
    if (!m_queue || !Connected()) {
        m_replaying = false;
        RenewQueueItems();
        return;
    }
    if (m_connection->Congested()) {
        m_replayTimer.start(100); // the broker is behind: the replay waits rather than pile up more
        return;
    }
    // The slice handed over last is removed once the connection outlived it: one lost meanwhile sends it again
    // on the next connection (a duplicate rather than a hole).
    if (m_replayHanded > 0) {
        m_queue->Remove(std::exchange(m_replayHanded, 0));
    }
    // As many as the rate allows since the replay began: a pass holds up the event loop, so a slice is read per
    // turn of it, as large as the time since the last one allows, within kMaxReplaySlice.
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_replayStarted).count();
    const auto due = static_cast<std::int64_t>(elapsed * kReplayPerSecond) + static_cast<std::int64_t>(kReplaySlice)
        - static_cast<std::int64_t>(m_replayed);
    if (due <= 0) {
        m_replayTimer.start(static_cast<int>(1 - due * 1000 / kReplayPerSecond)); // ahead of the rate: wait
        return;
    }
    // A slice read for a replay that has ended since (the connection lost and made again meanwhile) is dropped.
    m_queue->Read(m_replayAfter, static_cast<std::size_t>(std::min<std::int64_t>(due, kMaxReplaySlice)),
                  [this, replay = m_replayNumber](std::vector<MqttQueue::Entry> entries) {
                      if (replay == m_replayNumber) {
                          ReplaySlice(std::move(entries));
                      }
                  });
}

void MqttBridge::ReplaySlice(std::vector<MqttQueue::Entry> entries)
{
    if (!m_replaying || !Connected()) {
        // Lost again: what was not removed is published on the next connection.
        m_replaying = false;
        RenewQueueItems();
        return;
    }
    if (entries.empty()) {
        m_replaying = false;
        RenewQueueItems();
        PublishAll();
        return;
    }
    // Not retained: the broker's retained value of an item stays its newest, which follows the replay.
    for (MqttQueue::Entry& entry : entries) {
        entry.message.retained = false;
        if (!entry.message.plc.empty()) {
            auto& [replayed, total] = m_replayPlcs[entry.message.plc];
            total = std::max(total, ++replayed);
        }
        m_batch.push_back(std::move(entry.message));
    }
    HandOver();
    m_replayAfter = entries.back().sequence;
    m_replayHanded = m_replayAfter;
    m_replayed += entries.size();
    m_replayTotal = std::max(m_replayTotal, m_replayed);
    RenewQueueItems();
    ReplayNext();
}

void MqttBridge::Republish()
{
    if (!Connected() || m_connection->Congested()) {
        return; // everything goes out once connected, or once the broker caught up
    }
    const auto period = std::chrono::seconds(m_connection->Config().republishSeconds);
    const auto now = std::chrono::steady_clock::now();
    for (std::int32_t index = 1; index <= m_items.HighestIndex(); ++index) {
        const auto position = static_cast<std::size_t>(index);
        if (m_items.Exists(index) && (position >= m_publishedAt.size() || now - m_publishedAt[position] >= period)) {
            Publish(ItemTopic(index), Payload(m_items.State(index)), true);
        }
    }
    HandOver();
}

void MqttBridge::RenewQueueItems()
{
    if (!m_queue && m_queueItems.empty()) {
        return; // plain payloads: no queue, no items
    }
    const std::string problem = m_queue ? m_queue->Problem() : std::string();
    const auto progress = [this](std::uint64_t replayed, std::uint64_t total) {
        return m_replaying ? QStringLiteral("%1/%2").arg(replayed).arg(total) : QString();
    };
    std::map<QString, QString> current {
        { kBufferedItem, QString::number(m_queue ? m_queue->Count() : 0) },
        { kDroppedItem, QString::number(m_queue ? m_queue->Dropped() : 0) },
        { kReplayItem, progress(m_replayed, m_replayTotal) },
        { kQueueErrorItem, QString::fromStdString(problem) },
    };
    // Each PLC's share, as "NAME.MqttBuffered" … (published under plcs/NAME/).
    for (const auto& [plc, figures] : m_queue ? m_queue->Plcs() : std::map<std::string, MqttQueue::PlcFigures> {}) {
        const QString head = QString::fromStdString(plc) + QLatin1Char('.');
        const auto replay = m_replayPlcs.find(plc);
        current[head + kBufferedItem] = QString::number(figures.buffered);
        current[head + kDroppedItem] = QString::number(figures.dropped);
        current[head + kReplayItem]
            = replay == m_replayPlcs.end() ? QString() : progress(replay->second.first, replay->second.second);
    }
    for (const auto& [name, value] : current) {
        const auto told = m_queueItems.find(name);
        if (told != m_queueItems.end() && told->second == value) {
            continue;
        }
        if (name == kQueueErrorItem && !value.isEmpty()) {
            m_items.Events().Add(app::EventKind::Broker, value + QStringLiteral("; changes are dropped meanwhile"));
        } else if (name == kDroppedItem && told != m_queueItems.end()
                   && std::chrono::steady_clock::now() - m_droppedToldAt >= kDroppedLogPeriod) {
            // Once a minute at most: a full queue drops at every pass.
            m_droppedToldAt = std::chrono::steady_clock::now();
            m_items.Events().Add(
                app::EventKind::Broker,
                QStringLiteral("%1 changes dropped from the MQTT queue so far (full, or not written)").arg(value));
        }
        m_queueItems[name] = value;
        m_items.SetSystemItem(name, value);
    }
}

} // namespace tavrel::mqtt
