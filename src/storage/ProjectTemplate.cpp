#include "storage/ProjectTemplate.h"

#include "common/Files.h"

#include <cerrno>
#include <cstring>

namespace tavrel::storage {

namespace fs = std::filesystem;

fs::path TemplatePathIn(const fs::path& programFolder)
{
    return programFolder / "Templates" / "DDETemplate.tvb";
}

fs::path SharedFilesFolder(const fs::path& programFolder)
{
    std::error_code error;
    if (fs::is_directory(programFolder / "Templates", error)) {
        return programFolder;
    }
    const fs::path installed = (programFolder / TAVREL_SHARED_FROM_PROGRAM).lexically_normal();
    if (fs::is_directory(installed / "Templates", error)) {
        return installed;
    }
    return programFolder;
}

tl::expected<fs::path, std::string> DefaultTemplatePath()
{
    std::error_code error;
    const fs::path executable = fs::read_symlink("/proc/self/exe", error);
    if (error) {
        return tl::make_unexpected("cannot find the program's folder: " + error.message());
    }
    return TemplatePathIn(SharedFilesFolder(executable.parent_path()));
}

tl::expected<std::string, std::string> ReadTemplate(const fs::path& templatePath)
{
    auto bytes = common::ReadWholeFile(templatePath);
    if (!bytes) {
        if (bytes.error() == ENOENT || bytes.error() == ENOTDIR) {
            return tl::make_unexpected("Unable to find template file " + common::QuotedPath(templatePath));
        }
        return tl::make_unexpected("Cannot read template file " + common::QuotedPath(templatePath) + ": "
                                   + std::strerror(bytes.error()));
    }
    return std::move(*bytes);
}

} // namespace tavrel::storage
