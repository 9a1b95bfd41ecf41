// The base64 members of replies are written with every '/' escaped: what that costs against
// writing the same text as it is, for a piece of a bulk reply (256 KiB of base64).
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "crypto/base64.h"
#include "json/string_writer.h"
#include "reference_points.h"

namespace {

constexpr std::size_t kPieceBytes = 192 * 1024;  // 256 KiB of base64

const std::vector<std::uint8_t>& piece() {
    static const std::vector<std::uint8_t> bytes = [] {
        std::vector<std::uint8_t> random(kPieceBytes);
        std::mt19937 generator(5);
        for (auto& byte : random) byte = static_cast<std::uint8_t>(generator());
        return random;
    }();
    return bytes;
}

// The reference: the text made, then copied out as it is.
void BM_ReplyBase64_Plain(benchmark::State& state) {
    std::vector<char> text(quorvane::base64EncodedLength(kPieceBytes)), out(2 * text.size());
    for (auto _ : state) {
        quorvane::base64Encode(piece(), text.data());
        std::memcpy(out.data(), text.data(), text.size());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

// What a reply does: the text made, then copied out with its '/' escaped.
void BM_ReplyBase64_Escaped(benchmark::State& state) {
    std::vector<char> text(quorvane::base64EncodedLength(kPieceBytes)), out(2 * text.size());
    for (auto _ : state) {
        quorvane::base64Encode(piece(), text.data());
        benchmark::DoNotOptimize(quorvane::json::writeSolidusEscaped({text.data(), text.size()},
                                                                     out.data(), out.size()));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

BENCHMARK(BM_ReplyBase64_Plain)->Repetitions(5);
BENCHMARK(BM_ReplyBase64_Escaped)->Repetitions(5);

const bool kRatiosRegistered =
    quorvane::bench::registerRatio({"reply base64: '/' escaped / copied as it is",
                                    "BM_ReplyBase64_Escaped", "BM_ReplyBase64_Plain", 1.1, true});

}  // namespace
