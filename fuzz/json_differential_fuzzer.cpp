// The streaming JSON parser of the request reader against two independent readers of the same
// input: a plain recursive reference written here straight from RFC 8259, and simdjson. The input
// is fed to the streaming parser in pieces of sizes drawn from the input itself. All three must
// agree on accepting or refusing it and, when they accept, on every decoded key and string and on
// the document's shape; the reference also on every number's characters and on the integer value
// the request reader reads from them. simdjson refuses some valid numbers (beyond a double's
// range, or integers of more than 64 bits) and counts nesting its own way, so it is left out of
// the comparison for documents holding such numbers or nested deeper than the limit.
#include <simdjson.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json/exact_integer.h"
#include "json/stream_parser.h"

namespace {

using namespace quorvane;

constexpr std::size_t kDepth = 64;  // small, so the limit is reached often

[[noreturn]] void disagree(const char* what, std::string_view input, const std::string& a,
                           const std::string& b) {
    std::fprintf(stderr, "%s\ninput: %.*s\nfirst:  %s\nsecond: %s\n", what,
                 static_cast<int>(input.size()), input.data(), a.c_str(), b.c_str());
    std::abort();
}

std::string hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
    }
    return out;
}

// The canonical form all three readers write: strings and keys as hex, numbers as '#' and their
// characters, every literal as 'L'. `withNumbers` false writes numbers as '#' alone.
struct Canonical {
    std::string text;
    bool withNumbers = true;
    std::vector<bool> first{true};  // per open container: nothing written in it yet
    void separate() {
        if (!first.back()) text += ',';
        first.back() = false;
    }
};

// What the streaming parser reports, in the canonical form.
class Recorder final : public json::Handler {
  public:
    Canonical out;
    std::vector<bool> isObject;
    bool afterKey = false;
    std::string pending;
    enum class Text { none, key, string, number } current = Text::none;
    std::string integers;  // the integer read from each number, in order

    bool beginValue(Value type) override {
        if (!afterKey) out.separate();
        afterKey = false;
        switch (type) {
            case Value::object:
            case Value::array:
                out.text += type == Value::object ? '{' : '[';
                out.first.push_back(true);
                isObject.push_back(type == Value::object);
                break;
            case Value::string:
                current = Text::string;
                break;
            case Value::number:
                current = Text::number;
                break;
            case Value::literal:
                out.text += 'L';
        }
        return true;
    }
    void endContainer() override {
        out.text += isObject.back() ? '}' : ']';
        isObject.pop_back();
        out.first.pop_back();
    }
    void beginKey() override {
        out.separate();
        current = Text::key;
    }
    void part(std::string_view bytes) override { pending.append(bytes); }
    void end() override {
        if (current == Text::number) {
            out.text += "#" + pending;
            json::ExactInteger integer;
            for (char c : pending) integer.take({&c, 1});  // one character at a time
            auto value = integer.value();
            integers += (value ? std::to_string(*value) : "-") + " ";
        } else {
            out.text += "\"" + hex(pending) + "\"";
            if (current == Text::key) {
                out.text += ':';
                afterKey = true;
            }
        }
        pending.clear();
        current = Text::none;
    }
};

// --- The reference: recursive descent over the whole input, straight from RFC 8259. ---

struct Reference {
    explicit Reference(std::string_view input) : in(input) {}

    std::string_view in;
    std::size_t at = 0;
    std::size_t depth = 0;
    bool tooDeep = false;
    Canonical out;
    std::string integers;

    bool more() const { return at < in.size(); }
    char peek() const { return more() ? in[at] : '\0'; }
    void space() {
        while (more() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r'))
            ++at;
    }
    bool literal(std::string_view word) {
        if (in.substr(at, word.size()) != word) return false;
        at += word.size();
        out.text += 'L';
        return true;
    }
    static void appendUtf8(std::string& s, std::uint32_t cp) {
        if (cp < 0x80) {
            s += static_cast<char>(cp);
        } else if (cp < 0x800) {
            s += static_cast<char>(0xc0 | (cp >> 6));
            s += static_cast<char>(0x80 | (cp & 0x3f));
        } else if (cp < 0x10000) {
            s += static_cast<char>(0xe0 | (cp >> 12));
            s += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
            s += static_cast<char>(0x80 | (cp & 0x3f));
        } else {
            s += static_cast<char>(0xf0 | (cp >> 18));
            s += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
            s += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
            s += static_cast<char>(0x80 | (cp & 0x3f));
        }
    }
    std::optional<std::uint32_t> hex4() {
        if (at + 4 > in.size()) return std::nullopt;
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            char c = in[at++];
            int d = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
            if (d < 0) return std::nullopt;
            v = v * 16 + static_cast<std::uint32_t>(d);
        }
        return v;
    }
    // One UTF-8 character from the input, decoded and checked by its code point.
    bool utf8Character(std::string& s) {
        auto lead = static_cast<unsigned char>(in[at]);
        std::size_t n = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 0;
        if (n == 0 || lead > 0xf7 || at + n > in.size()) return false;
        std::uint32_t cp = lead & (0x7f >> n);
        for (std::size_t i = 1; i < n; ++i) {
            auto c = static_cast<unsigned char>(in[at + i]);
            if ((c & 0xc0) != 0x80) return false;
            cp = cp << 6 | (c & 0x3f);
        }
        static constexpr std::uint32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kMinimum[n] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
        s.append(in.substr(at, n));
        at += n;
        return true;
    }
    std::optional<std::string> string() {
        ++at;  // the quote
        std::string s;
        while (more()) {
            auto c = static_cast<unsigned char>(in[at]);
            if (c == '"') {
                ++at;
                return s;
            }
            if (c < 0x20) return std::nullopt;
            if (c >= 0x80) {
                if (!utf8Character(s)) return std::nullopt;
                continue;
            }
            ++at;
            if (c != '\\') {
                s += static_cast<char>(c);
                continue;
            }
            if (!more()) return std::nullopt;
            char e = in[at++];
            switch (e) {
                case '"':
                case '\\':
                case '/':
                    s += e;
                    break;
                case 'b':
                    s += '\b';
                    break;
                case 'f':
                    s += '\f';
                    break;
                case 'n':
                    s += '\n';
                    break;
                case 'r':
                    s += '\r';
                    break;
                case 't':
                    s += '\t';
                    break;
                case 'u': {
                    auto unit = hex4();
                    if (!unit || (*unit >= 0xdc00 && *unit <= 0xdfff)) return std::nullopt;
                    std::uint32_t cp = *unit;
                    if (cp >= 0xd800 && cp <= 0xdbff) {
                        if (in.substr(at, 2) != "\\u") return std::nullopt;
                        at += 2;
                        auto low = hex4();
                        if (!low || *low < 0xdc00 || *low > 0xdfff) return std::nullopt;
                        cp = 0x10000 + ((cp - 0xd800) << 10) + (*low - 0xdc00);
                    }
                    appendUtf8(s, cp);
                    break;
                }
                default:
                    return std::nullopt;
            }
        }
        return std::nullopt;
    }
    // The integer a number's text stands for, worked out on the text: significant digits
    // stripped of zeros at both ends, the exponent adjusted, then compared with 2^63.
    static std::string integerOf(std::string_view text) {
        bool negative = text[0] == '-';
        std::string digits;
        long long fraction = 0;
        std::size_t i = negative ? 1 : 0;
        for (; i < text.size() && text[i] != 'e' && text[i] != 'E'; ++i) {
            if (text[i] == '.') {
                fraction = -1;
                continue;
            }
            if (fraction < 0 || fraction > 0) --fraction;
            digits += text[i];
        }
        long long scale = fraction < 0 ? fraction + 1 : 0;
        if (i < text.size()) {
            std::string_view e = text.substr(i + 1);
            bool minus = e[0] == '-';
            if (e[0] == '-' || e[0] == '+') e.remove_prefix(1);
            while (e.size() > 1 && e[0] == '0') e.remove_prefix(1);
            long long exponent = e.size() > 15 ? 1000000000000000LL : std::stoll(std::string(e));
            scale += minus ? -exponent : exponent;
        }
        std::size_t firstNonZero = digits.find_first_not_of('0');
        if (firstNonZero == std::string::npos) return "0";
        digits = digits.substr(firstNonZero);
        while (digits.back() == '0') {
            digits.pop_back();
            ++scale;
        }
        if (scale < 0 || static_cast<long long>(digits.size()) + scale > 19) return "-";
        digits.append(static_cast<std::size_t>(scale), '0');
        const std::string limit = "9223372036854775808";
        if (digits.size() == 19 && digits > limit) return "-";
        if (digits == limit) return negative ? "-" + limit : "-";
        return negative && digits != "0" ? "-" + digits : digits;
    }
    bool number() {
        std::size_t start = at;
        if (peek() == '-') ++at;
        if (peek() == '0') {
            ++at;
        } else if (peek() >= '1' && peek() <= '9') {
            while (peek() >= '0' && peek() <= '9') ++at;
        } else {
            return false;
        }
        if (peek() == '.') {
            ++at;
            if (!(peek() >= '0' && peek() <= '9')) return false;
            while (peek() >= '0' && peek() <= '9') ++at;
        }
        if (peek() == 'e' || peek() == 'E') {
            ++at;
            if (peek() == '+' || peek() == '-') ++at;
            if (!(peek() >= '0' && peek() <= '9')) return false;
            while (peek() >= '0' && peek() <= '9') ++at;
        }
        std::string_view text = in.substr(start, at - start);
        out.text += "#" + std::string(text);
        integers += integerOf(text) + " ";
        return true;
    }
    bool value() {
        space();
        out.separate();
        char c = peek();
        if (c == '{' || c == '[') {
            if (++depth > kDepth) {
                tooDeep = true;
                return false;
            }
            bool object = c == '{';
            out.text += c;
            out.first.push_back(true);
            ++at;
            space();
            if (peek() != (object ? '}' : ']')) {
                for (;;) {
                    if (object) {
                        space();
                        if (peek() != '"') return false;
                        out.separate();
                        auto key = string();
                        if (!key) return false;
                        out.text += "\"" + hex(*key) + "\":";
                        out.first.back() = true;  // the value follows the colon unseparated
                        space();
                        if (peek() != ':') return false;
                        ++at;
                    }
                    if (!value()) return false;
                    space();
                    if (peek() != ',') break;
                    ++at;
                }
            }
            if (peek() != (object ? '}' : ']')) return false;
            ++at;
            out.text += object ? '}' : ']';
            out.first.pop_back();
            --depth;
            return true;
        }
        if (c == '"') {
            auto s = string();
            if (!s) return false;
            out.text += "\"" + hex(*s) + "\"";
            return true;
        }
        if (c == 't') return literal("true");
        if (c == 'f') return literal("false");
        if (c == 'n') return literal("null");
        return number();
    }
    bool document() {
        if (!value()) return false;
        space();
        return !more();
    }
};

// --- simdjson, in the same canonical form without number values. ---

void canonical(simdjson::dom::element element, Canonical& out) {
    using Type = simdjson::dom::element_type;
    out.separate();
    switch (element.type()) {
        case Type::OBJECT:
            out.text += '{';
            out.first.push_back(true);
            for (auto field : simdjson::dom::object(element)) {
                out.separate();
                out.text += "\"" + hex(field.key) + "\":";
                out.first.back() = true;
                canonical(field.value, out);
            }
            out.text += '}';
            out.first.pop_back();
            break;
        case Type::ARRAY:
            out.text += '[';
            out.first.push_back(true);
            for (auto item : simdjson::dom::array(element)) canonical(item, out);
            out.text += ']';
            out.first.pop_back();
            break;
        case Type::STRING:
            out.text += "\"" + hex(std::string_view(element)) + "\"";
            break;
        case Type::INT64:
        case Type::UINT64:
        case Type::DOUBLE:
            out.text += '#';
            break;
        default:
            out.text += 'L';
    }
}

// Drops the characters after each '#', leaving the number marks alone.
std::string withoutNumbers(const std::string& text) {
    std::string out;
    bool inNumber = false;
    for (char c : text) {
        if (c == '#') {
            inNumber = true;
            out += c;
        } else if (inNumber && (c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E' ||
                                (c >= '0' && c <= '9'))) {
            continue;
        } else {
            inNumber = false;
            out += c;
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);

    Recorder recorder;
    json::StreamParser parser(recorder, kDepth);
    std::uint32_t state = static_cast<std::uint32_t>(size) * 2654435761u + 1;
    bool fed = true;
    for (std::string_view rest = input; !rest.empty() && fed;) {
        state = state * 1103515245u + 12345u;
        std::size_t piece = std::min<std::size_t>(rest.size(), 1 + (state >> 16) % 24);
        fed = parser.feed(rest.substr(0, piece));
        rest.remove_prefix(piece);
    }
    bool ours = fed && parser.finish();

    Reference reference(input);
    bool theirs = reference.document();
    if (ours != theirs)
        disagree("accept/refuse differs from the reference", input, ours ? "accept" : "refuse",
                 theirs ? "accept" : "refuse");
    if (ours) {
        if (recorder.out.text != reference.out.text)
            disagree("decoded document differs from the reference", input, recorder.out.text,
                     reference.out.text);
        if (recorder.integers != reference.integers)
            disagree("integers differ from the reference", input, recorder.integers,
                     reference.integers);
    }

    // simdjson may nest deeper than the limit here, which the reference refused.
    if (reference.tooDeep) return 0;
    static simdjson::dom::parser simd;
    if (simd.allocate(std::max<std::size_t>(size, 64), 4 * kDepth) != simdjson::SUCCESS)
        std::abort();
    simdjson::padded_string padded(input);
    simdjson::dom::element root;
    simdjson::error_code error = simd.parse(padded).get(root);
    // Valid numbers it does not take.
    if (error == simdjson::NUMBER_ERROR) return 0;
    bool simdAccepts = error == simdjson::SUCCESS;
    if (simdAccepts != ours) {
        disagree("accept/refuse differs from simdjson", input, ours ? "accept" : "refuse",
                 simdjson::error_message(error));
    }
    if (ours && simdAccepts) {
        Canonical simdOut;
        canonical(root, simdOut);
        if (withoutNumbers(recorder.out.text) != simdOut.text)
            disagree("decoded document differs from simdjson", input, recorder.out.text,
                     simdOut.text);
    }
    return 0;
}
