#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

/// The entry point every fuzz target defines: libFuzzer calls it, and so does the corpus replay driver.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace tavrel::fuzz {

/// The input as text, bytes unchanged.
inline std::string_view AsText(const std::uint8_t* data, std::size_t size)
{
    return {reinterpret_cast<const char*>(data), size};
}

/// Ends the process with a report when `condition` is false: a broken promise of the program is a finding,
/// as a crash is.
void Require(bool condition, std::string_view promise, std::string_view detail = {});

/// A folder of this process for the files a target writes, on a memory file system when there is one so
/// that flushes cost nothing; removed at exit.
const std::filesystem::path& ScratchFolder();

/// Replaces the whole content of a file.
void WriteFile(const std::filesystem::path& path, std::string_view bytes);

} // namespace tavrel::fuzz
