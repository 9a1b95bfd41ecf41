// The base64 members of replies are written with every '/' escaped: what that costs against
// writing the same text plain, for a piece of a bulk reply (256 KiB of base64).
#include <benchmark/benchmark.h>

#include <random>
#include <span>
#include <vector>

#include "crypto/base64.h"
#include "reference_points.h"

namespace {

constexpr std::size_t kPieceBytes = 192 * 1024;  // 256 KiB of base64
// Each run encodes the next piece of a long random payload: the same piece again and again would
// let the branch predictor learn where its '/' are, which no real payload allows.
constexpr std::size_t kPayloadBytes = 256 * kPieceBytes;

std::span<const std::uint8_t> nextPiece() {
    static const std::vector<std::uint8_t> payload = [] {
        std::vector<std::uint8_t> random(kPayloadBytes);
        std::mt19937 generator(5);
        for (auto& byte : random) byte = static_cast<std::uint8_t>(generator());
        return random;
    }();
    static std::size_t next = 0;
    next = (next + kPieceBytes) % kPayloadBytes;
    return std::span(payload).subspan(next, kPieceBytes);
}

// The reference: the text as it is.
void BM_ReplyBase64_Plain(benchmark::State& state) {
    std::vector<char> out(2 * quorvane::base64EncodedLength(kPieceBytes));
    for (auto _ : state) {
        quorvane::base64Encode(nextPiece(), out.data());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kPieceBytes));
}

// What a reply writes: the same text with its '/' escaped.
void BM_ReplyBase64_Escaped(benchmark::State& state) {
    std::vector<char> out(2 * quorvane::base64EncodedLength(kPieceBytes));
    for (auto _ : state) {
        benchmark::DoNotOptimize(quorvane::base64EncodeEscaped(nextPiece(), out.data()));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kPieceBytes));
}

BENCHMARK(BM_ReplyBase64_Plain)->Repetitions(5);
BENCHMARK(BM_ReplyBase64_Escaped)->Repetitions(5);

const bool kRatiosRegistered =
    quorvane::bench::registerRatio({"reply base64: '/' escaped / plain", "BM_ReplyBase64_Escaped",
                                    "BM_ReplyBase64_Plain", 1.1, true});

}  // namespace
