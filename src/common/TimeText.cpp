#include "common/TimeText.h"

#include <cstdio>
#include <ctime>

namespace tavrel::common {

std::string UtcTimeText(std::chrono::system_clock::time_point time)
{
    using namespace std::chrono;
    const auto milliseconds = floor<std::chrono::milliseconds>(time).time_since_epoch().count();
    // Floor division, so that a time before 1970 still has its milliseconds from 0 to 999.
    const auto seconds = static_cast<std::time_t>(milliseconds / 1000 - (milliseconds % 1000 < 0 ? 1 : 0));
    const auto fraction = static_cast<int>(milliseconds - static_cast<long long>(seconds) * 1000);
    std::tm parts {};
    gmtime_r(&seconds, &parts);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, fraction);
    return text;
}

} // namespace tavrel::common
