#pragma once

#include <filesystem>
#include <string>
#include <utility>

#include <tl/expected.hpp>

namespace tavrel::common {

/// The path in double quotes, as messages show a file: "/home/ann/plant.tve".
std::string QuotedPath(const std::filesystem::path& path);

/// The whole content of a file, or the errno of what failed (ENOENT for a missing file).
[[nodiscard]] tl::expected<std::string, int> ReadWholeFile(const std::filesystem::path& path);

/// A new file made beside a target file that takes the target's place in one rename once it is
/// complete, so a failed or interrupted write never costs the target. Until Commit the target is
/// untouched; a replacement that is not committed is removed when destroyed. Move-only.
class ReplacementFile
{
public:
    /// Whether the new file takes the permissions of the target it replaces, or those of any new file.
    enum class Permissions { New, KeepTarget };

    /// Creates an empty file in the target's folder.
    [[nodiscard]] static tl::expected<ReplacementFile, std::string> Create(const std::filesystem::path& target,
                                                                          Permissions permissions = Permissions::New);

    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;
    ReplacementFile(ReplacementFile&& other) noexcept;
    ReplacementFile& operator=(ReplacementFile&& other) = delete;
    ~ReplacementFile();

    /// The path of the new file, for writers that open it by name.
    const std::filesystem::path& Path() const { return m_path; }

    /// Appends `size` bytes to the new file.
    [[nodiscard]] tl::expected<void, std::string> Write(const char* data, std::size_t size);

    /// Flushes the new file to the disk and renames it over the target, then flushes the folder.
    [[nodiscard]] tl::expected<void, std::string> Commit();

private:
    ReplacementFile(std::filesystem::path path, std::filesystem::path target, int descriptor)
        : m_path(std::move(path))
        , m_target(std::move(target))
        , m_descriptor(descriptor)
    {
    }

    std::filesystem::path m_path;
    std::filesystem::path m_target;
    int m_descriptor = -1;
};

} // namespace tavrel::common
