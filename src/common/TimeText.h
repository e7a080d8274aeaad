#pragma once

#include <chrono>
#include <string>

namespace tavrel::common {

/// A wall-clock time as ISO 8601 in UTC with milliseconds: "2026-12-07T13:45:01.123Z".
std::string UtcTimeText(std::chrono::system_clock::time_point time);

} // namespace tavrel::common
