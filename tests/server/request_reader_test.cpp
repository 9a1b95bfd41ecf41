// The request reader on lines of every shape: which are strict JSON requests, which members it
// keeps and how they are decoded, and that a line cut into pieces anywhere reads the same.
#include "server/request_reader.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "crypto/base64.h"

namespace quorvane {
namespace {

constexpr std::string_view kKept[] = {"id",   "cmd",        "sessionId", "secret", "salt",
                                      "blob", "iterations", "lines",     "line",   "data"};

// shown writes bytes as text, anything outside printable ASCII as \xNN.
std::string shown(std::span<const std::uint8_t> bytes) {
    std::string out;
    for (std::uint8_t byte : bytes) {
        if (byte >= 0x20 && byte < 0x7f && byte != '\\') {
            out += static_cast<char>(byte);
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        }
    }
    return out;
}

std::string describe(Request::Value& value) {
    using Kind = Request::Kind;
    switch (value.kind) {
        case Kind::absent:
            return "absent";
        case Kind::other:
            return "other";
        case Kind::number:
            return value.integer ? "number " + std::to_string(*value.integer) : "number";
        case Kind::string:
            if (value.base64 && !value.valid) return "base64 invalid";
            return (value.base64 ? "base64 " : "string ") + shown(value.bytes.span());
        case Kind::stringArray: {
            std::string out = "strings";
            std::size_t start = 0;
            for (std::size_t end : value.ends) {
                out += " [" + shown(value.bytes.span().subspan(start, end - start)) + "]";
                start = end;
            }
            return out;
        }
    }
    return "?";
}

// readPieces feeds `line` in the pieces `cuts` marks and describes the outcome: "invalid", or
// every kept member that is present.
std::string readPieces(RequestReader& reader, std::string_view line,
                       const std::vector<std::size_t>& cuts = {}) {
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        reader.feed(line.substr(from, cut - from));
        from = cut;
    }
    reader.feed(line.substr(from));
    std::string out;
    if (!reader.finish()) {
        out = "invalid";
    } else {
        for (std::string_view name : kKept) {
            std::string value = describe(*reader.request().value(name));
            if (value != "absent") out += std::string(name) + ": " + value + "; ";
        }
    }
    reader.reset();
    return out;
}

TEST(RequestReaderTest, AcceptsExactlyOneStrictJsonObject) {
    struct Case {
        std::string line;
        bool accepted;
    };
    const Case cases[] = {
        {"{}", true},
        {" \t\r{ \"a\" : [ ] , \"b\":{ } }\r ", true},
        {R"({"a":[1,-0.5e+3,2E-2,0,-0,true,false,null,"x",{},[[]]]})", true},
        {R"({"a":"\u0000\"\\\/\b\f\n\r\t\uFFFF\u00e9"})", true},
        {R"({"\ud834\udd1e":"\uD834\uDD1E"})", true},
        {"{\"a\":\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\x7f\xef\xbf\xbf\xf4\x8f\xbf\xbf\"}", true},
        {R"({"a":1,"a":2})", true},
        // Not an object at the top, or something around it.
        {"", false},
        {"   ", false},
        {"[]", false},
        {"1", false},
        {R"("x")", false},
        {"null", false},
        {"{}{}", false},
        {"{} x", false},
        {"{}}", false},
        {"\xef\xbb\xbf{}", false},
        {"{}\f", false},
        {"{\v}", false},
        // Structure.
        {"{", false},
        {R"({"a":1,})", false},
        {"{,}", false},
        {R"({"a" 1})", false},
        {R"({"a":})", false},
        {"{a:1}", false},
        {"{'a':1}", false},
        {R"({"a":[1,]})", false},
        {R"({"a":[,1]})", false},
        {R"({"a":[1 2]})", false},
        {R"({"a":[1}})", false},
        {R"({"a":{"b"}})", false},
        {R"({"a":1 "b":2})", false},
        {R"({1:2})", false},
        // Literals.
        {R"({"a":tru})", false},
        {R"({"a":True})", false},
        {R"({"a":nul})", false},
        {R"({"a":truefalse})", false},
        {R"({"a":nulll})", false},
        // Numbers.
        {R"({"a":-})", false},
        {R"({"a":1.})", false},
        {R"({"a":.5})", false},
        {R"({"a":01})", false},
        {R"({"a":-01})", false},
        {R"({"a":+1})", false},
        {R"({"a":1e})", false},
        {R"({"a":1e+})", false},
        {R"({"a":1.0e-})", false},
        {R"({"a":0x1})", false},
        {R"({"a":1.5.3})", false},
        {R"({"a":NaN})", false},
        {R"({"a":-Infinity})", false},
        {R"({"a":1})", true},
        // Escapes.
        {R"({"a":"\x"})", false},
        {R"({"a":"\'"})", false},
        {R"({"a":"\u12"})", false},
        {R"({"a":"\u12g4"})", false},
        {R"({"a":"\U0041"})", false},
        {R"({"a":"\ud800"})", false},
        {R"({"a":"\ud800x"})", false},
        {R"({"a":"\ud800\n"})", false},
        {R"({"a":"\ud800\u0041"})", false},
        {R"({"a":"\ud800\ud800"})", false},
        {R"({"a":"\udc00"})", false},
        {R"({"a":"\udc00\ud800"})", false},
        {"{\"a\":\"\\\"}", false},
        // Raw bytes in strings: controls and malformed UTF-8.
        {"{\"a\":\"\t\"}", false},
        {std::string("{\"a\":\"\0\"}", 8), false},
        {"{\"a\":\"\x1f\"}", false},
        {R"({"a":"x)", false},
        {"{\"a\":\"\x80\"}", false},
        {"{\"a\":\"\xc0\xaf\"}", false},
        {"{\"a\":\"\xc1\xbf\"}", false},
        {"{\"a\":\"\xe0\x9f\xbf\"}", false},
        {"{\"a\":\"\xed\xa0\x80\"}", false},
        {"{\"a\":\"\xf0\x8f\xbf\xbf\"}", false},
        {"{\"a\":\"\xf4\x90\x80\x80\"}", false},
        {"{\"a\":\"\xf5\x80\x80\x80\"}", false},
        {"{\"a\":\"\xe2\x82\"}", false},
        {"{\"a\":\"\xe2\x82x\"}", false},
        {"{\"a\":\"\xff\"}", false},
        {"{\"\xc3\":1}", false},
        // Raw bytes outside strings.
        {"{\"a\":1\xc2\xa0}", false},
    };
    RequestReader reader;
    for (const Case& c : cases) {
        EXPECT_EQ(readPieces(reader, c.line) != "invalid", c.accepted)
            << shown({reinterpret_cast<const std::uint8_t*>(c.line.data()), c.line.size()});
    }
}

TEST(RequestReaderTest, KeepsTheLastOccurrenceOfEachMemberDecoded) {
    struct Case {
        std::string line;
        std::string read;
    };
    const Case cases[] = {
        {R"({"id":7.0,"cmd":"x","other":"y"})", "id: number 7; cmd: string x; "},
        {R"({"id":7.5,"iterations":-9223372036854775809})", "id: number; iterations: number; "},
        {R"({"secret":"p\u00e4ss\\\/w\u0000rd\ud83d\ude00"})",
         "secret: string p\\xc3\\xa4ss\\x5c/w\\x00rd\\xf0\\x9f\\x98\\x80; "},
        {R"({"c\u006dd":"escaped key","cmdx":1,"cm":2})", "cmd: string escaped key; "},
        {R"({"cmd":"a","cmd":"b"})", "cmd: string b; "},
        {R"({"cmd":"a","cmd":1})", "cmd: number 1; "},
        {R"({"cmd":1,"cmd":"a"})", "cmd: string a; "},
        {R"({"cmd":"a","cmd":{"cmd":"b"}})", "cmd: other; "},
        {R"({"x":{"cmd":"inner","lines":["a"]},"y":[{"cmd":"z"}]})", ""},
        {R"({"lines":[]})", "lines: strings; "},
        {R"({"lines":["a","","\n"]})", "lines: strings [a] [] [\\x0a]; "},
        {R"({"lines":["a","b"],"lines":["c"]})", "lines: strings [c]; "},
        {R"({"lines":["a",1,"b"]})", "lines: other; "},
        {R"({"lines":["a",["b"],"c"]})", "lines: other; "},
        {R"({"lines":["a",{"b":"c"}]})", "lines: other; "},
        {R"({"lines":"a"})", "lines: string a; "},
        {R"({"data":"AAEC\/w=="})", "data: base64 \\x00\\x01\\x02\\xff; "},
        {R"({"data":"AAECAw=="})", "data: base64 \\x00\\x01\\x02\\x03; "},
        {R"({"data":""})", "data: base64 ; "},
        {R"({"data":"AA=A"})", "data: base64 invalid; "},
        {R"({"data":"AA==AAAA"})", "data: base64 invalid; "},
        {R"({"data":"AAA"})", "data: base64 invalid; "},
        {R"({"data":"AA AA"})", "data: base64 invalid; "},
        {R"({"data":"\u0041AAA"})", "data: base64 \\x00\\x00\\x00; "},
        {R"({"data":"AA=A","data":"AAAA"})", "data: base64 \\x00\\x00\\x00; "},
        {R"({"data":"AAAA","data":["AAAA"]})", "data: other; "},
        {R"({"data":7})", "data: number 7; "},
        {R"({"line":null,"blob":true,"salt":false})", "salt: other; blob: other; line: other; "},
    };
    RequestReader reader;
    for (const Case& c : cases) EXPECT_EQ(readPieces(reader, c.line), c.read) << c.line;
}

TEST(RequestReaderTest, ReadsTheSameWhereverTheLineIsCut) {
    std::vector<std::string> lines = {
        R"({"id":-92233720368547758.08e2,"cmd":"x","iterations":1e99999999999999999999})",
        R"({"secret":"a\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00z","lines":["\u20ac","",")"
        "\xe2\x82\xac"
        R"("]})",
        R"({"data":"AAEC\/w==","x":[true,false,null,{"y":-0.5E+3}]})",
        R"({"data":"AA=A"})",
        R"({"a":"\ud800\u0041"})",
        "{\"a\":\"\xf0\x9f\x98\x80\xe2\x82\"}",
        R"({"a":1.5e})",
    };
    RequestReader reader;
    for (const std::string& line : lines) {
        std::string whole = readPieces(reader, line);
        for (std::size_t cut = 1; cut < line.size(); ++cut) {
            EXPECT_EQ(readPieces(reader, line, {cut}), whole) << line << " cut at " << cut;
        }
        std::vector<std::size_t> everyByte;
        for (std::size_t cut = 1; cut < line.size(); ++cut) everyByte.push_back(cut);
        EXPECT_EQ(readPieces(reader, line, everyByte), whole) << line;
    }

    // A payload longer than the stream's staging, its "/" escaped, in pieces of every size.
    std::vector<std::uint8_t> payload(300000);
    std::mt19937 random(7);
    for (auto& byte : payload) byte = static_cast<std::uint8_t>(random());
    std::string text;
    for (char c : base64Encode(payload)) text += c == '/' ? std::string("\\/") : std::string(1, c);
    std::string line = R"({"data":")" + text + R"("})";
    std::string whole = readPieces(reader, line);
    EXPECT_EQ(whole, "data: base64 " + shown(payload) + "; ");
    for (std::size_t most : {std::size_t{3}, std::size_t{100}, std::size_t{70000}}) {
        std::vector<std::size_t> cuts;
        for (std::size_t at = 1 + random() % most; at < line.size(); at += 1 + random() % most)
            cuts.push_back(at);
        EXPECT_EQ(readPieces(reader, line, cuts), whole) << "pieces of up to " << most;
    }
}

}  // namespace
}  // namespace quorvane
