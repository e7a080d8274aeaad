#include "ui/LibraryVersions.h"

#include <modbus.h>
#include <sqlite3.h>

namespace tavrel::ui {

std::string LibmodbusVersion()
{
    return std::to_string(libmodbus_version_major) + "." + std::to_string(libmodbus_version_minor) + "."
        + std::to_string(libmodbus_version_micro);
}

std::string SqliteVersion()
{
    return sqlite3_libversion();
}

} // namespace tavrel::ui
