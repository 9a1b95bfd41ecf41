#pragma once

// Reading another process's memory through /proc/<pid>/maps and /proc/<pid>/mem, for the tests
// that look for secrets left behind. Reading the helper this way needs root (CAP_SYS_PTRACE):
// the helper makes itself non-dumpable.

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <unordered_map>
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

// Where a piece of a secret was found.
struct Occurrence {
    unsigned long address;
    std::string mapping;
    std::size_t offset;  // where the piece starts inside the secret
};

// Mappings larger than this are address-space reservations (sanitizer shadow memory, allocator
// arenas) rather than data; reading them would walk terabytes.
constexpr unsigned long kLargestScannedMapping = 1ul << 30;

// findPieces returns, for each secret, every address in the readable mappings of `pid` where any
// `window`-byte piece of it occurs (every secret must be at least that long), so a secret that
// was overwritten only in part is still seen. Mappings the kernel refuses to read (such as
// [vvar]) are skipped.
inline std::vector<std::vector<Occurrence>> findPieces(pid_t pid,
                                                       const std::vector<std::string>& secrets,
                                                       std::size_t window) {
    // Every piece, keyed by its first eight bytes.
    struct Piece {
        std::size_t secret, offset;
    };
    std::unordered_multimap<std::uint64_t, Piece> pieces;
    for (std::size_t i = 0; i < secrets.size(); ++i) {
        if (secrets[i].size() < window || window < sizeof(std::uint64_t)) {
            throw std::invalid_argument("secret shorter than the window");
        }
        for (std::size_t offset = 0; offset + window <= secrets[i].size(); ++offset) {
            std::uint64_t head;
            std::memcpy(&head, secrets[i].data() + offset, sizeof head);
            pieces.emplace(head, Piece{i, offset});
        }
    }

    std::vector<std::vector<Occurrence>> found(secrets.size());
    int mem = open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY);
    if (mem < 0)
        throw std::runtime_error("cannot open the helper's memory: " +
                                 std::string(std::strerror(errno)));
    constexpr std::size_t kChunk = 1 << 20;
    std::vector<char> buffer(kChunk + window);
    for (const Mapping& m : readMappings(pid)) {
        if (m.perms.empty() || m.perms[0] != 'r' || m.end - m.start > kLargestScannedMapping)
            continue;
        // Each chunk also holds the first bytes of the next, so a piece across a boundary is
        // seen once, in the chunk where it starts.
        for (unsigned long at = m.start; at < m.end; at += kChunk) {
            std::size_t want =
                static_cast<std::size_t>(std::min<unsigned long>(m.end - at, kChunk + window));
            ssize_t n = pread(mem, buffer.data(), want, static_cast<off_t>(at));
            if (n < static_cast<ssize_t>(window)) break;
            std::size_t starts =
                std::min<std::size_t>(static_cast<std::size_t>(n) - window + 1, kChunk);
            for (std::size_t position = 0; position < starts; ++position) {
                std::uint64_t head;
                std::memcpy(&head, buffer.data() + position, sizeof head);
                auto [first, last] = pieces.equal_range(head);
                for (auto it = first; it != last; ++it) {
                    const Piece& piece = it->second;
                    if (std::memcmp(buffer.data() + position,
                                    secrets[piece.secret].data() + piece.offset, window) == 0) {
                        found[piece.secret].push_back({at + position, m.name, piece.offset});
                    }
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
