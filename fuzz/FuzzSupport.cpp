#include "FuzzSupport.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <system_error>

#include <signal.h>
#include <unistd.h>

namespace tavrel::fuzz {

namespace {

class Scratch
{
public:
    Scratch()
    {
        std::error_code error;
        const std::filesystem::path memory = "/dev/shm";
        const std::filesystem::path base = std::filesystem::is_directory(memory, error) && ::access("/dev/shm", W_OK) == 0
            ? memory
            : std::filesystem::temp_directory_path();
        RemoveAbandoned(base);
        std::string pattern = (base / ("tavrel-fuzz-" + std::to_string(::getpid()) + "-XXXXXX")).string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::fprintf(stderr, "fuzz: cannot make a scratch folder under %s\n", base.c_str());
            std::abort();
        }
        m_path = pattern;
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }

    const std::filesystem::path& Path() const { return m_path; }

private:
    // The folders of targets that ended without cleaning up, as a finding ends them.
    static void RemoveAbandoned(const std::filesystem::path& base)
    {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(base, error)) {
            const std::string name = entry.path().filename().string();
            if (!name.starts_with("tavrel-fuzz-")) {
                continue;
            }
            const long pid = std::strtol(name.c_str() + 12, nullptr, 10);
            if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
                std::filesystem::remove_all(entry.path(), error);
            }
        }
    }

    std::filesystem::path m_path;
};

} // namespace

void Require(bool condition, std::string_view promise, std::string_view detail)
{
    if (condition) {
        return;
    }
    std::fprintf(stderr, "\nfuzz: broken promise: %.*s\n", static_cast<int>(promise.size()), promise.data());
    if (!detail.empty()) {
        std::fprintf(stderr, "fuzz: %.*s\n", static_cast<int>(detail.size()), detail.data());
    }
    std::fflush(stderr);
    std::abort();
}

const std::filesystem::path& ScratchFolder()
{
    static const Scratch scratch;
    return scratch.Path();
}

void WriteFile(const std::filesystem::path& path, std::string_view bytes)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    Require(static_cast<bool>(file), "the scratch file can be written", path.string());
}

} // namespace tavrel::fuzz
