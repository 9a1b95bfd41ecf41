#pragma once

// Reading another process's memory through /proc/<pid>/maps and /proc/<pid>/mem, for the tests
// that look for secrets left behind. Reading the helper this way needs root (CAP_SYS_PTRACE):
// the helper makes itself non-dumpable.

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace quorvane::testing {

struct Mapping {
    unsigned long start = 0, end = 0;
    std::string perms;
    std::string name;  // path or [heap], [stack], ...; empty for anonymous memory
};

inline std::vector<Mapping> readMappings(pid_t pid) {
    std::vector<Mapping> mappings;
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    std::string line;
    while (std::getline(maps, line)) {
        Mapping m;
        std::istringstream fields(line);
        std::string range, offset, device, inode;
        fields >> range >> m.perms >> offset >> device >> inode;
        std::getline(fields >> std::ws, m.name);
        if (std::sscanf(range.c_str(), "%lx-%lx", &m.start, &m.end) == 2) mappings.push_back(m);
    }
    return mappings;
}

// Where a needle was found.
struct Occurrence {
    unsigned long address;
    std::string mapping;
};

// Mappings larger than this are address-space reservations (sanitizer shadow memory, allocator
// arenas) rather than data; reading them would walk terabytes.
constexpr unsigned long kLargestScannedMapping = 1ul << 30;

// findInMemory returns, for each needle, every address in the readable mappings of `pid` where
// it occurs. Mappings the kernel refuses to read (such as [vvar]) are skipped.
inline std::vector<std::vector<Occurrence>> findInMemory(pid_t pid,
                                                         const std::vector<std::string>& needles) {
    std::vector<std::vector<Occurrence>> found(needles.size());
    std::size_t longest = 0;
    for (const std::string& needle : needles) longest = std::max(longest, needle.size());
    int mem = open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY);
    if (mem < 0) throw std::runtime_error("cannot open the helper's memory: " + std::string(std::strerror(errno)));
    constexpr std::size_t kChunk = 1 << 20;
    std::vector<char> buffer(kChunk + longest);
    for (const Mapping& m : readMappings(pid)) {
        if (m.perms.empty() || m.perms[0] != 'r' || m.end - m.start > kLargestScannedMapping) continue;
        // Each chunk also holds the first bytes of the next, so a needle across a boundary is
        // seen once, in the chunk where it starts.
        for (unsigned long at = m.start; at < m.end; at += kChunk) {
            std::size_t want = static_cast<std::size_t>(std::min<unsigned long>(m.end - at, kChunk + longest));
            ssize_t n = pread(mem, buffer.data(), want, static_cast<off_t>(at));
            if (n <= 0) break;
            std::size_t starts = std::min<std::size_t>(static_cast<std::size_t>(n), kChunk);
            for (std::size_t i = 0; i < needles.size(); ++i) {
                const std::string& needle = needles[i];
                const char* cursor = buffer.data();
                const char* end = buffer.data() + n;
                while (const void* hit = memmem(cursor, static_cast<std::size_t>(end - cursor), needle.data(), needle.size())) {
                    const char* position = static_cast<const char*>(hit);
                    if (static_cast<std::size_t>(position - buffer.data()) >= starts) break;
                    found[i].push_back({at + static_cast<unsigned long>(position - buffer.data()), m.name});
                    cursor = position + 1;
                }
            }
        }
    }
    close(mem);
    return found;
}

// vmFlags returns the VmFlags of the smaps entry that holds `address` ("rd wr mr mw me lo dd"),
// or empty text.
inline std::string vmFlags(pid_t pid, unsigned long address) {
    std::ifstream smaps("/proc/" + std::to_string(pid) + "/smaps");
    std::string line;
    bool inside = false;
    while (std::getline(smaps, line)) {
        unsigned long start = 0, end = 0;
        if (std::sscanf(line.c_str(), "%lx-%lx ", &start, &end) == 2) {  // a mapping's first line
            inside = start <= address && address < end;
        } else if (inside && line.rfind("VmFlags:", 0) == 0) {
            return line.substr(std::strlen("VmFlags:")) + " ";
        }
    }
    return {};
}

}  // namespace quorvane::testing
