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

} // namespace tavrel::link
