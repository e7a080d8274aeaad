#include "common/Files.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavrel::common {

namespace {

std::string ErrnoText(int error)
{
    return std::strerror(error);
}

// The target itself when it is a plain file, the file a symbolic link names otherwise, so that a
// save through a link replaces the linked file and keeps the link.
std::filesystem::path ResolvedTarget(const std::filesystem::path& target)
{
    std::error_code error;
    if (std::filesystem::is_symlink(target, error)) {
        auto resolved = std::filesystem::canonical(target, error);
        if (!error) {
            return resolved;
        }
    }
    return target;
}

std::filesystem::path FolderOf(const std::filesystem::path& file)
{
    return file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
}

} // namespace

std::string QuotedPath(const std::filesystem::path& path)
{
    return "\"" + path.string() + "\"";
}

tl::expected<std::string, int> ReadWholeFile(const std::filesystem::path& path)
{
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        return tl::make_unexpected(errno);
    }
    std::string content;
    char buffer[65536];
    for (;;) {
        const ssize_t count = ::read(descriptor, buffer, sizeof buffer);
        if (count < 0) {
            const int error = errno;
            if (error == EINTR) {
                continue;
            }
            ::close(descriptor);
            return tl::make_unexpected(error);
        }
        if (count == 0) {
            break;
        }
        content.append(buffer, static_cast<std::size_t>(count));
    }
    ::close(descriptor);
    return content;
}

tl::expected<ReplacementFile, std::string> ReplacementFile::Create(const std::filesystem::path& target,
                                                                   Permissions permissions)
{
    const std::filesystem::path resolved = ResolvedTarget(target);
    const std::filesystem::path folder = FolderOf(resolved);
    static std::atomic<unsigned> counter { 0 };
    std::random_device entropy;
    int lastError = EEXIST;
    // A hidden name that no other writer picks: the process, a counter and some randomness.
    for (int attempt = 0; attempt < 100 && lastError == EEXIST; ++attempt) {
        const std::string name = "." + resolved.filename().string() + ".new-" + std::to_string(::getpid()) + "-"
            + std::to_string(counter++) + "-" + std::to_string(entropy() % 100000U);
        std::filesystem::path path = folder / name;
        // 0666 less the umask: the permissions of any newly created file.
        const int descriptor = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (descriptor >= 0) {
            ReplacementFile file(std::move(path), resolved, descriptor);
            struct stat existing = {};
            if (permissions == Permissions::KeepTarget && ::stat(resolved.c_str(), &existing) == 0
                && ::fchmod(descriptor, existing.st_mode & 07777) != 0) {
                const int error = errno;
                return tl::make_unexpected("cannot give the new file the permissions of " + QuotedPath(resolved) + ": "
                                           + ErrnoText(error));
            }
            return file;
        }
        lastError = errno;
    }
    return tl::make_unexpected("cannot create a new file in folder " + QuotedPath(folder) + ": "
                               + ErrnoText(lastError));
}

ReplacementFile::ReplacementFile(ReplacementFile&& other) noexcept
    : m_path(std::move(other.m_path))
    , m_target(std::move(other.m_target))
    , m_descriptor(std::exchange(other.m_descriptor, -1))
{
    other.m_path.clear();
}

ReplacementFile::~ReplacementFile()
{
    if (m_descriptor >= 0) {
        ::close(m_descriptor);
    }
    if (!m_path.empty()) {
        ::unlink(m_path.c_str());
    }
}

tl::expected<void, std::string> ReplacementFile::Write(const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(m_descriptor, data, size);
        if (written < 0) {
            const int error = errno;
            if (error == EINTR) {
                continue;
            }
            return tl::make_unexpected("cannot write " + QuotedPath(m_path) + ": " + ErrnoText(error));
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return {};
}

tl::expected<void, std::string> ReplacementFile::Commit()
{
    // Every writer of the file has finished; its data must be on the disk before the rename makes
    // it the target, or a power loss could leave a target that is renamed but empty.
    if (::fsync(m_descriptor) != 0) {
        const int error = errno;
        return tl::make_unexpected("cannot flush " + QuotedPath(m_path) + " to the disk: " + ErrnoText(error));
    }
    if (::close(std::exchange(m_descriptor, -1)) != 0) {
        const int error = errno;
        return tl::make_unexpected("cannot close " + QuotedPath(m_path) + ": " + ErrnoText(error));
    }
    if (::rename(m_path.c_str(), m_target.c_str()) != 0) {
        const int error = errno;
        return tl::make_unexpected("cannot replace " + QuotedPath(m_target) + ": " + ErrnoText(error));
    }
    m_path.clear();
    // The rename is done and visible; flushing the folder only makes it survive a power loss, and
    // some file systems refuse fsync on a folder, so a failure here is not a failed save.
    const int folder = ::open(FolderOf(m_target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        (void)::fsync(folder);
        ::close(folder);
    }
    return {};
}

} // namespace tavrel::common
