// End-to-end figures: drives the built helper through its pipes exactly as the application does,
// and measures, in the same run, the floor of the same work done in one process with no JSON and
// no pipe (OpenSSL AES-256-GCM with a reused context plus OpenSSL's base64 of the same bytes).
//
// Usage: quorvane_pipe_bench <path to quorvane-helper> [repetitions] [lines|bytes]
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string_view>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// --- The helper behind its pipes. ---

class Helper {
public:
    Helper(const std::string& path, std::vector<std::string> arguments) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        std::vector<char*> argv{const_cast<char*>(path.c_str())};
        for (auto& a : arguments) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
            throw std::runtime_error("spawn failed");
        }
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        in_ = in[1];
        out_ = out[0];
    }
    ~Helper() {
        close(in_);
        close(out_);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    void write(const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(in_, bytes.data() + done, bytes.size() - done);
            if (n <= 0) throw std::runtime_error("write failed");
            done += static_cast<std::size_t>(n);
        }
    }
    // readLine reads one reply into a buffer allocated once (its pages are touched only as
    // bytes arrive), so the harness adds no copying of its own to what is measured.
    std::string_view readLine() {
        std::size_t start = consumed_;
        std::size_t scanned = start;
        for (;;) {
            if (const void* newline = std::memchr(buffer_.get() + scanned, '\n', filled_ - scanned)) {
                std::size_t end = static_cast<std::size_t>(static_cast<const char*>(newline) - buffer_.get());
                consumed_ = end + 1;
                return {buffer_.get() + start, end - start};
            }
            scanned = filled_;
            if (filled_ == kBufferSize) throw std::runtime_error("reply too large");
            ssize_t n = ::read(out_, buffer_.get() + filled_, kBufferSize - filled_);
            if (n <= 0) throw std::runtime_error("helper output ended");
            filled_ += static_cast<std::size_t>(n);
        }
    }
    // reset forgets replies already read (call between measurements).
    void reset() {
        std::memmove(buffer_.get(), buffer_.get() + consumed_, filled_ - consumed_);
        filled_ -= consumed_;
        consumed_ = 0;
    }
    std::string_view call(const std::string& line) {
        reset();
        write(line);
        write("\n");
        return readLine();
    }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1;
    static constexpr std::size_t kBufferSize = std::size_t(512) << 20;
    std::unique_ptr<char[]> buffer_{new char[kBufferSize]};
    std::size_t filled_ = 0, consumed_ = 0;
};

std::string member(std::string_view reply, const std::string& name) {
    auto key = "\"" + name + "\":\"";
    auto start = reply.find(key);
    if (start == std::string::npos) throw std::runtime_error("no " + name + " in " + std::string(reply.substr(0, 200)));
    start += key.size();
    return std::string(reply.substr(start, reply.find('"', start) - start));
}

std::vector<std::string> stringArray(std::string_view reply, const std::string& name) {
    auto start = reply.find("\"" + name + "\":[");
    if (start == std::string::npos) throw std::runtime_error("no array in " + std::string(reply.substr(0, 200)));
    start += name.size() + 4;
    std::vector<std::string> items;
    while (reply[start] == '"') {
        auto end = reply.find('"', start + 1);
        items.emplace_back(reply.substr(start + 1, end - start - 1));
        start = end + 1;
        if (reply[start] == ',') ++start;
    }
    return items;
}

// cpuSeconds is the user + system time the process has used so far.
double cpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::size_t pos = text.rfind(')');
    std::vector<std::string> fields;
    std::string field;
    for (std::size_t i = pos + 2; i < text.size(); ++i) {
        if (text[i] == ' ') {
            fields.push_back(field);
            field.clear();
        } else {
            field.push_back(text[i]);
        }
    }
    // Fields after the command: state is index 0, utime 11, stime 12.
    return (std::stod(fields[11]) + std::stod(fields[12])) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long peakResidentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

// --- The floor: the same cryptography and base64 in this process. ---

struct Floor {
    EVP_CIPHER_CTX* encrypt = EVP_CIPHER_CTX_new();
    EVP_CIPHER_CTX* decrypt = EVP_CIPHER_CTX_new();
    explicit Floor(const unsigned char* key) {
        EVP_EncryptInit_ex(encrypt, EVP_aes_256_gcm(), nullptr, key, nullptr);
        EVP_DecryptInit_ex(decrypt, EVP_aes_256_gcm(), nullptr, key, nullptr);
    }
    ~Floor() {
        EVP_CIPHER_CTX_free(encrypt);
        EVP_CIPHER_CTX_free(decrypt);
    }
    // seal: nonce || tag || ciphertext into `envelope`.
    void seal(const unsigned char* plaintext, std::size_t n, unsigned char* envelope) {
        RAND_bytes(envelope, 12);
        EVP_EncryptInit_ex(encrypt, nullptr, nullptr, nullptr, envelope);
        int len = 0;
        EVP_EncryptUpdate(encrypt, envelope + 28, &len, plaintext, static_cast<int>(n));
        EVP_EncryptFinal_ex(encrypt, envelope + 28 + n, &len);
        EVP_CIPHER_CTX_ctrl(encrypt, EVP_CTRL_GCM_GET_TAG, 16, envelope + 12);
    }
    bool open(const unsigned char* envelope, std::size_t size, unsigned char* out) {
        EVP_DecryptInit_ex(decrypt, nullptr, nullptr, nullptr, envelope);
        int len = 0;
        EVP_DecryptUpdate(decrypt, out, &len, envelope + 28, static_cast<int>(size - 28));
        EVP_CIPHER_CTX_ctrl(decrypt, EVP_CTRL_GCM_SET_TAG, 16, const_cast<unsigned char*>(envelope + 12));
        return EVP_DecryptFinal_ex(decrypt, out + len, &len) == 1;
    }
};

std::size_t encode(const unsigned char* bytes, std::size_t n, char* out) {
    return static_cast<std::size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out), bytes, static_cast<int>(n)));
}
std::size_t decode(const std::string& text, unsigned char* out) {
    int n = EVP_DecodeBlock(out, reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    std::size_t padding = (text.size() >= 1 && text.back() == '=') + (text.size() >= 2 && text[text.size() - 2] == '=');
    return static_cast<std::size_t>(n) - padding;
}

std::string randomText(std::size_t n) {
    std::string text(n, 'a');
    std::vector<unsigned char> random(n);
    RAND_bytes(random.data(), static_cast<int>(n));
    for (std::size_t i = 0; i < n; ++i) text[i] = static_cast<char>('a' + random[i] % 26);
    return text;
}

std::string base64(const std::string& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    out.resize(encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), out.data()));
    return out;
}

void report(const char* name, double helper, double floor, const char* target) {
    std::printf("%-34s helper %9.3f ms   floor %9.3f ms   ratio %5.2fx   (target %s)\n", name,
                helper * 1e3, floor * 1e3, helper / floor, target);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <quorvane-helper> [repetitions]\n", argv[0]);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    std::string path = argv[1];
    int repetitions = argc > 2 ? std::atoi(argv[2]) : 11;
    std::string only = argc > 3 ? argv[3] : "";  // "lines" or "bytes" runs just that part
    unsigned char key[32];
    for (int i = 0; i < 32; ++i) key[i] = static_cast<unsigned char>(i);
    std::string keyHex;
    for (int i = 0; i < 32; ++i) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", key[i]);
        keyHex += pair;
    }

    // ----- 10,000 lines of 256 bytes -----
    if (only.empty() || only == "lines") {
        Helper helper(path, {"--serve"});
        helper.readLine();
        std::string sid = member(helper.call(R"({"cmd":"create_session_from_secret","secret":")" + keyHex + "\"}"), "sessionId");
        std::vector<std::string> lines;
        for (int i = 0; i < 10000; ++i) lines.push_back(randomText(256));
        std::string encryptRequest = R"({"id":1,"cmd":"encrypt_lines","sessionId":")" + sid + R"(","lines":[)";
        for (std::size_t i = 0; i < lines.size(); ++i) encryptRequest += (i ? ",\"" : "\"") + lines[i] + "\"";
        encryptRequest += "]}";
        std::vector<std::string> sealed = stringArray(helper.call(encryptRequest), "lines");
        std::string decryptRequest = R"({"id":2,"cmd":"decrypt_lines","sessionId":")" + sid + R"(","lines":[)";
        for (std::size_t i = 0; i < sealed.size(); ++i) decryptRequest += (i ? ",\"" : "\"") + sealed[i] + "\"";
        decryptRequest += "]}";
        if (stringArray(helper.call(decryptRequest), "lines") != lines) throw std::runtime_error("lines differ");

        std::vector<double> encryptTimes, decryptTimes, encryptFloor, decryptFloor;
        Floor floor(key);
        std::vector<unsigned char> envelope(28 + 256), plain(256 + 28);
        std::string text(4 * ((28 + 256 + 2) / 3) + 1, '\0');
        for (int r = 0; r < repetitions; ++r) {
            auto start = Clock::now();
            helper.call(encryptRequest);
            encryptTimes.push_back(secondsSince(start));
            start = Clock::now();
            helper.call(decryptRequest);
            decryptTimes.push_back(secondsSince(start));

            start = Clock::now();
            for (const std::string& line : lines) {
                floor.seal(reinterpret_cast<const unsigned char*>(line.data()), line.size(), envelope.data());
                encode(envelope.data(), 28 + line.size(), text.data());
            }
            encryptFloor.push_back(secondsSince(start));
            start = Clock::now();
            for (const std::string& line : sealed) {
                std::size_t n = decode(line, envelope.data());
                if (!floor.open(envelope.data(), n, plain.data())) throw std::runtime_error("floor open");
            }
            decryptFloor.push_back(secondsSince(start));
        }
        report("encrypt_lines 10000 x 256 B", median(encryptTimes), median(encryptFloor), "<= 2x");
        report("decrypt_lines 10000 x 256 B", median(decryptTimes), median(decryptFloor), "<= 2x");
    }

    // ----- one 64 MiB payload -----
    if (only.empty() || only == "bytes") {
        const std::size_t size = 64u << 20;
        std::string payload(size, '\0');
        RAND_bytes(reinterpret_cast<unsigned char*>(payload.data()), static_cast<int>(size));
        std::string payloadText = base64(payload);
        std::string encryptRequest;
        std::string sealedText;
        std::vector<double> encryptTimes, decryptTimes, encryptFloor, decryptFloor;
        std::vector<double> encryptCpu, decryptCpu;
        long encryptPeak = 0, decryptPeak = 0;
        int bulkRepetitions = std::max(3, repetitions / 2);
        // Timing: repeated requests in one helper, as the application sends them.
        {
            Helper helper(path, {"--serve"});
            helper.readLine();
            std::string sid = member(helper.call(R"({"cmd":"create_session_from_secret","secret":")" + keyHex + "\"}"), "sessionId");
            encryptRequest = R"({"id":3,"cmd":"encrypt_bytes","sessionId":")" + sid + R"(","data":")" + payloadText + "\"}";
            sealedText = member(helper.call(encryptRequest), "data");
            std::string decryptRequest = R"({"id":4,"cmd":"decrypt_bytes","sessionId":")" + sid + R"(","data":")" + sealedText + "\"}";
            if (member(helper.call(decryptRequest), "data") != payloadText) throw std::runtime_error("payload differs");
            for (int r = 0; r < bulkRepetitions; ++r) {
                auto start = Clock::now();
                double cpuStart = cpuSeconds(helper.pid());
                helper.call(encryptRequest);
                encryptTimes.push_back(secondsSince(start));
                encryptCpu.push_back(cpuSeconds(helper.pid()) - cpuStart);
                start = Clock::now();
                cpuStart = cpuSeconds(helper.pid());
                helper.call(decryptRequest);
                decryptTimes.push_back(secondsSince(start));
                decryptCpu.push_back(cpuSeconds(helper.pid()) - cpuStart);
            }
        }
        // Peak memory: a fresh helper per request, so its peak is that request's alone.
        std::vector<double> firstEncrypt, firstDecrypt;
        for (int which = 0; which < 2; ++which) {
            Helper helper(path, {"--serve"});
            helper.readLine();
            std::string sid = member(helper.call(R"({"cmd":"create_session_from_secret","secret":")" + keyHex + "\"}"), "sessionId");
            std::string request = which == 0
                ? R"({"id":3,"cmd":"encrypt_bytes","sessionId":")" + sid + R"(","data":")" + payloadText + "\"}"
                : R"({"id":4,"cmd":"decrypt_bytes","sessionId":")" + sid + R"(","data":")" + sealedText + "\"}";
            auto start = Clock::now();
            helper.call(request);
            (which == 0 ? firstEncrypt : firstDecrypt).push_back(secondsSince(start));
            (which == 0 ? encryptPeak : decryptPeak) = peakResidentKiB(helper.pid());
        }
        Floor floor(key);
        std::vector<unsigned char> buffer(size + 28 + 64);
        std::vector<unsigned char> opened(size + 64);
        std::string out(4 * ((size + 28 + 2) / 3) + 1, '\0');
        for (int r = 0; r < bulkRepetitions; ++r) {
            auto start = Clock::now();
            std::size_t n = decode(payloadText, buffer.data() + 28);
            floor.seal(buffer.data() + 28, n, buffer.data());
            encode(buffer.data(), n + 28, out.data());
            encryptFloor.push_back(secondsSince(start));

            start = Clock::now();
            n = decode(sealedText, buffer.data());
            if (!floor.open(buffer.data(), n, opened.data())) throw std::runtime_error("floor open");
            encode(opened.data(), n - 28, out.data());
            decryptFloor.push_back(secondsSince(start));
        }
        report("encrypt_bytes 64 MiB", median(encryptTimes), median(encryptFloor), "<= 2x");
        report("decrypt_bytes 64 MiB", median(decryptTimes), median(decryptFloor), "<= 2x");
        std::printf("%-34s helper CPU %7.1f ms (encrypt), %7.1f ms (decrypt); first request of a fresh helper %7.1f ms / %7.1f ms\n",
                    "64 MiB payload", median(encryptCpu) * 1e3, median(decryptCpu) * 1e3,
                    firstEncrypt[0] * 1e3, firstDecrypt[0] * 1e3);
        double lineMiB = (encryptRequest.size() + 1) / 1048576.0;
        std::printf("%-34s peak RSS %7.1f MiB = %4.2fx the %.1f MiB request line   (target <= 4x)\n",
                    "encrypt_bytes 64 MiB", encryptPeak / 1024.0, encryptPeak / 1024.0 / lineMiB, lineMiB);
        std::printf("%-34s peak RSS %7.1f MiB = %4.2fx the %.1f MiB request line   (target <= 4x)\n",
                    "decrypt_bytes 64 MiB", decryptPeak / 1024.0, decryptPeak / 1024.0 / lineMiB, lineMiB);
    }
    // ----- start-up of a one-shot run that ends early -----
    if (only.empty() || only == "startup") {
        auto runOnce = [](const std::string& program, std::vector<std::string> arguments) {
            std::vector<char*> argv{const_cast<char*>(program.c_str())};
            for (auto& a : arguments) argv.push_back(a.data());
            argv.push_back(nullptr);
            posix_spawn_file_actions_t actions;
            posix_spawn_file_actions_init(&actions);
            posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
            auto start = Clock::now();
            pid_t pid = -1;
            if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
                throw std::runtime_error("spawn failed");
            }
            int status = 0;
            waitpid(pid, &status, 0);
            double elapsed = secondsSince(start);
            posix_spawn_file_actions_destroy(&actions);
            return elapsed;
        };
        std::vector<double> trueTimes, helperTimes;
        for (int r = 0; r < 50; ++r) {  // warm the page cache for both
            runOnce("/bin/true", {});
            runOnce(path, {"--secret-load"});
        }
        for (int r = 0; r < 400; ++r) {  // interleaved, so both see the same machine
            trueTimes.push_back(runOnce("/bin/true", {}));
            helperTimes.push_back(runOnce(path, {"--secret-load"}));
        }
        report("start-up: --secret-load, status 5", median(helperTimes), median(trueTimes), "<= 2.5x /bin/true");
    }
    return 0;
}
