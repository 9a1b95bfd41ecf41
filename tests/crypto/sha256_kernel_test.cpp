#include "crypto/sha256_kernel.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <string>

#include "crypto/hex.h"
#include "crypto/sha256_constants.h"
#include "crypto/sha256_stream.h"

namespace quorvane {
namespace {

std::string streamDigest(const Sha256Kernel& kernel, const Bytes& message, std::size_t piece) {
    Sha256Stream stream(kernel, sha256InitialState, 0);
    for (std::size_t offset = 0; offset < message.size(); offset += piece) {
        stream.update(std::span(message).subspan(offset, std::min(piece, message.size() - offset)));
    }
    std::uint32_t words[8];
    std::uint8_t digest[32];
    stream.finish(words);
    storeSha256Words(words, digest);
    return dataHex(digest);
}

// Plain SHA-256 through the stream exercises each kernel's multi-block compression and the
// padding on every length around one and two blocks, fed whole and in awkward pieces.
TEST(Sha256KernelTest, StreamMatchesOpenSslForEveryKernelAndLength) {
    const Sha256Kernel* kernels[] = {&sha256PortableKernel(), sha256X86ShaKernel(),
                                     sha256Arm64Kernel()};
    Bytes message(300);
    for (std::size_t i = 0; i < message.size(); ++i) {
        message[i] = static_cast<std::uint8_t>(i * 131 + 7);
    }
    for (const Sha256Kernel* kernel : kernels) {
        if (kernel == nullptr) continue;
        for (std::size_t length = 0; length <= message.size(); ++length) {
            Bytes prefix(message.begin(), message.begin() + static_cast<std::ptrdiff_t>(length));
            std::uint8_t expected[SHA256_DIGEST_LENGTH];
            SHA256(prefix.data(), prefix.size(), expected);
            for (std::size_t piece : {std::size_t{300}, std::size_t{1}, std::size_t{63}}) {
                ASSERT_EQ(streamDigest(*kernel, prefix, piece), dataHex(expected))
                    << kernel->name << ", length " << length << ", pieces of " << piece;
            }
        }
    }
}

}  // namespace
}  // namespace quorvane
