#pragma once

#include <cstdint>
#include <string>

namespace tavrel::common {

/// The program-wide settings, filled from the settings file at start-up and after the Options dialog.
struct AppOptions
{
    std::int32_t StartUpOperation = 0; ///< 0 new project, 1 the project at ProjectFilePath, 2 the last project
    std::string ProjectFilePath;
    bool AutoRun = false;
    bool MinimizedAfterRun = false;
    bool ConnectOnce = true; ///< open each PLC's channel once per run instead of around every exchange
    /// Milliseconds from the start of one refresh pass to the start of the next; 0 lets passes follow at once.
    std::int32_t MinPassMs = 0;

    friend bool operator==(const AppOptions&, const AppOptions&) = default;
};

} // namespace tavrel::common
