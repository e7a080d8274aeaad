#pragma once

#include <string>

namespace tavrel::ui {

/// The version of libmodbus the program runs on, such as "3.1.9".
std::string LibmodbusVersion();

/// The version of SQLite the program runs on, such as "3.40.1".
std::string SqliteVersion();

} // namespace tavrel::ui
