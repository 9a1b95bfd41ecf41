// SHA256_Transform is deprecated in OpenSSL 3 but is the only public door to its raw compression
// kernel, which is exactly the reference point wanted here.
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <array>
#include <cstdint>
#include <string_view>

#include "crypto/pbkdf2.h"
#include "crypto/sha256_kernel.h"
#include "reference_points.h"

namespace {

// The count every new password wrap uses; each iteration is two compressions.
constexpr std::uint32_t kIterations = 1200000;
constexpr std::uint32_t kCompressions = 2 * kIterations;
constexpr int kRepetitions = 5;

constexpr std::string_view kPassword = "correct horse battery staple";
constexpr std::array<std::uint8_t, 16> kSalt = {0x5f, 0x1c, 0x90, 0x0b, 0x2e, 0x71, 0xa8, 0x33,
                                                0xd4, 0x4a, 0x86, 0xee, 0x07, 0x19, 0xc2, 0x60};

std::span<const std::uint8_t> passwordBytes() {
    return {reinterpret_cast<const std::uint8_t*>(kPassword.data()), kPassword.size()};
}

// The floor: OpenSSL's fastest compression kernel for this CPU, called back to back on one
// chaining state, so every call waits on the previous one exactly as PBKDF2's iterations do.
void BM_Pbkdf2Floor_Sha256Transform(benchmark::State& state) {
    std::uint8_t block[64];
    for (std::size_t i = 0; i < sizeof block; ++i) block[i] = static_cast<std::uint8_t>(i * 37);
    SHA256_CTX context;
    SHA256_Init(&context);
    for (auto _ : state) {
        for (std::uint32_t n = 0; n < kCompressions; ++n) SHA256_Transform(&context, block);
        benchmark::DoNotOptimize(context);
    }
    state.counters["compressions/s"] =
        benchmark::Counter(kCompressions, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_Pbkdf2_OpenSsl(benchmark::State& state) {
    std::uint8_t out[32];
    for (auto _ : state) {
        PKCS5_PBKDF2_HMAC(kPassword.data(), static_cast<int>(kPassword.size()), kSalt.data(),
                          static_cast<int>(kSalt.size()), static_cast<int>(kIterations),
                          EVP_sha256(), sizeof out, out);
        benchmark::DoNotOptimize(out);
    }
    state.counters["iterations/s"] =
        benchmark::Counter(kIterations, benchmark::Counter::kIsIterationInvariantRate);
}

void runOurs(benchmark::State& state, const quorvane::Sha256Kernel& kernel) {
    std::uint8_t out[32];
    for (auto _ : state) {
        quorvane::pbkdf2HmacSha256(kernel, passwordBytes(), kSalt, kIterations, out);
        benchmark::DoNotOptimize(out);
    }
    state.SetLabel(kernel.name);
    state.counters["iterations/s"] =
        benchmark::Counter(kIterations, benchmark::Counter::kIsIterationInvariantRate);
}

// What unlocking runs: the default entry point, on the kernel it picks for this CPU.
void BM_Pbkdf2_Ours(benchmark::State& state) {
    std::uint8_t out[32];
    for (auto _ : state) {
        quorvane::pbkdf2HmacSha256(passwordBytes(), kSalt, kIterations, out);
        benchmark::DoNotOptimize(out);
    }
    state.SetLabel(quorvane::sha256FastestKernel().name);
    state.counters["iterations/s"] =
        benchmark::Counter(kIterations, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_Pbkdf2_OursPortable(benchmark::State& state) {
    runOurs(state, quorvane::sha256PortableKernel());
}

BENCHMARK(BM_Pbkdf2Floor_Sha256Transform)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(kRepetitions);
BENCHMARK(BM_Pbkdf2_OpenSsl)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(kRepetitions);
BENCHMARK(BM_Pbkdf2_Ours)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(kRepetitions);
BENCHMARK(BM_Pbkdf2_OursPortable)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);

const bool kRatiosRegistered =
    quorvane::bench::registerRatio({"PBKDF2 1.2M: ours / compression floor", "BM_Pbkdf2_Ours",
                                    "BM_Pbkdf2Floor_Sha256Transform", 1.15, true}) &&
    quorvane::bench::registerRatio(
        {"PBKDF2 1.2M: OpenSSL / ours", "BM_Pbkdf2_OpenSsl", "BM_Pbkdf2_Ours", 2.2, false}) &&
    quorvane::bench::registerRatio({"PBKDF2 1.2M: OpenSSL / compression floor", "BM_Pbkdf2_OpenSsl",
                                    "BM_Pbkdf2Floor_Sha256Transform", 0, false}) &&
    quorvane::bench::registerRatio({"PBKDF2 1.2M: ours portable / compression floor",
                                    "BM_Pbkdf2_OursPortable", "BM_Pbkdf2Floor_Sha256Transform", 0,
                                    false});

}  // namespace
