#pragma once

#include "link/LinkNames.h"
#include "model/Clsitem.h"

#include <string>
#include <string_view>

namespace tavrel::link {

/// "=Tavrel|Items!'lblDDE(7)'": a spreadsheet formula that links a cell to one label.
std::string ReadFormula(std::string_view topic, std::int32_t labelIndex);

/// The read formula of an item: for a vector, one line per element, each ending with a line break.
std::string ReadCommandText(const model::Clsitem& item, std::string_view topic = kTopic);

/// The spreadsheet macro that pokes a cell into the item: for a vector, one block per element.
std::string WriteMacroText(const model::Clsitem& item, std::string_view topic = kTopic);

/// The macro that stops the PLC of that name, with the closing line break; empty for an empty name.
std::string StopPlcMacroText(std::string_view plcName, std::string_view topic = kTopic);

/// The macro that runs the PLC of that name, with the closing line break; empty for an empty name.
std::string RunPlcMacroText(std::string_view plcName, std::string_view topic = kTopic);

/// The macro that toggles the program's run state, with the closing line break.
std::string RunStopMacroText(std::string_view topic = kTopic);

} // namespace tavrel::link
