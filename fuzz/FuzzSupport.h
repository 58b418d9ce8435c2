// What several fuzz harnesses share: the input as a file, and a scratch
// folder of their own in the temporary directory.
#pragma once

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace fuzz {

// The input as a file: an anonymous memory file reached through /proc.
class MemoryFile {
public:
    MemoryFile(const uint8_t* data, size_t size)
    {
        m_fd = memfd_create("fuzz_input", MFD_CLOEXEC);
        if (m_fd < 0)
            return;
        size_t written = 0;
        while (written < size) {
            ssize_t n = write(m_fd, data + written, size - written);
            if (n <= 0)
                return;
            written += size_t(n);
        }
        m_path = "/proc/self/fd/" + std::to_string(m_fd);
    }
    ~MemoryFile()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;
    const std::string& path() const { return m_path; }

private:
    int m_fd = -1;
    std::string m_path;
};

inline std::string& ScratchFolderName()
{
    static std::string folder;
    return folder;
}

inline void RemoveScratchFolder()
{
    std::error_code ignored;
    std::filesystem::remove_all(ScratchFolderName(), ignored);
}

// A new folder "<prefix>-<pid>-XXXXXX" in $TMPDIR (else /tmp), removed at exit
// with whatever is in it. One process makes one. A run that ended without
// exit handlers (a crash, a timeout) left its folder: the folders of this
// prefix whose process no longer runs are removed first.
inline std::string MakeScratchFolder(std::string const& prefix)
{
    const char* tmp = std::getenv("TMPDIR");
    const std::string temporary = tmp && *tmp ? tmp : "/tmp";
    std::error_code error;
    for (auto const& entry : std::filesystem::directory_iterator(temporary, error)) {
        const std::string name = entry.path().filename().string();
        long pid = 0;
        if (std::sscanf(name.c_str(), (prefix + "-%ld-").c_str(), &pid) == 1 && pid > 0 && ::kill(pid, 0) != 0 &&
            errno == ESRCH)
            std::filesystem::remove_all(entry.path(), error);
    }
    std::string folder = temporary + "/" + prefix + "-" + std::to_string(::getpid()) + "-XXXXXX";
    if (!mkdtemp(&folder[0]))
        std::abort();
    ScratchFolderName() = folder;
    std::atexit(RemoveScratchFolder);
    return folder;
}

}  // namespace fuzz
