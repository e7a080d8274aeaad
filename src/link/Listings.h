#pragma once

#include "app/ItemService.h"

#include <QByteArray>

// The lists of items that GET /dde/Tavrel/Items and /dde/Tavrel/System answer with: JSON for programs, an HTML
// table for spreadsheets that link one (a timed refresh of external data).
namespace tavrel::link {

/// {"service":"Tavrel","topic":"Items","running":…,"items":[…]}: every item, its PLC's state and its value.
QByteArray ItemListJson(const app::ItemService& items);

/// An HTML page of one table: every item, its PLC, operand, address, direction and value.
QByteArray ItemListHtml(const app::ItemService& items);

/// {"service":"Tavrel","topic":"System","items":[…]}: every System item and its value.
QByteArray SystemListJson(const app::SystemItems& system);

/// An HTML page of one table: every System item and its value.
QByteArray SystemListHtml(const app::SystemItems& system);

/// The most events an answer holds: the newest ones.
inline constexpr std::size_t kMaxEventsAnswered = 200;

/// {"events":[{"seq":N,"ts":"2026-12-07T13:45:01.123Z","kind":"PLC","text":"…"},…]}: the events after number
/// `after`, oldest first, at most kMaxEventsAnswered (the newest).
QByteArray EventListJson(const app::EventLog& log, std::uint64_t after);

} // namespace tavrel::link
