#include "server/reply_writer.h"

#include <charconv>
#include <cstring>

namespace quorvane {
namespace {

std::size_t escapedSize(unsigned char byte) {
    switch (byte) {
        case '"': case '\\': case '/': case '\n': case '\r': case '\t': case '\b': case '\f':
            return 2;
        default:
            return byte < 0x20 ? 6 : 1;
    }
}

}  // namespace

char* ReplyWriter::grow(std::size_t length) {
    return reinterpret_cast<char*>(buffer_.extend(length));
}

void ReplyWriter::appendText(std::string_view text) {
    std::memcpy(grow(text.size()), text.data(), text.size());
}

void ReplyWriter::appendEscaped(std::string_view text) {
    std::size_t escapedLength = 2;
    for (char c : text) escapedLength += escapedSize(static_cast<unsigned char>(c));
    char* p = grow(escapedLength);
    *p++ = '"';
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        switch (byte) {
            case '"': *p++ = '\\'; *p++ = '"'; break;
            case '\\': *p++ = '\\'; *p++ = '\\'; break;
            case '/': *p++ = '\\'; *p++ = '/'; break;
            case '\n': *p++ = '\\'; *p++ = 'n'; break;
            case '\r': *p++ = '\\'; *p++ = 'r'; break;
            case '\t': *p++ = '\\'; *p++ = 't'; break;
            case '\b': *p++ = '\\'; *p++ = 'b'; break;
            case '\f': *p++ = '\\'; *p++ = 'f'; break;
            default:
                if (byte < 0x20) {
                    static constexpr char kHex[] = "0123456789abcdef";
                    std::memcpy(p, "\\u00", 4);
                    p[4] = kHex[byte >> 4];
                    p[5] = kHex[byte & 15];
                    p += 6;
                } else {
                    *p++ = c;
                }
        }
    }
    *p++ = '"';
}

void ReplyWriter::appendName(std::string_view name) {
    appendText(",\"");
    appendText(name);
    appendText("\":");
}

void ReplyWriter::begin(std::int64_t id) {
    buffer_.resize(0);
    appendText("{\"id\":");
    char digits[24];
    auto result = std::to_chars(digits, digits + sizeof digits, id);
    appendText({digits, static_cast<std::size_t>(result.ptr - digits)});
    appendText(",\"ok\":true");
}

void ReplyWriter::fail(std::int64_t id, std::string_view error) {
    begin(id);
    buffer_.resize(buffer_.size() - 4);  // drop "true"
    appendText("false,\"error\":");
    appendEscaped(error);
}

void ReplyWriter::ready() {
    buffer_.resize(0);
    appendText("{\"ready\":true");
}

void ReplyWriter::addString(std::string_view name, std::string_view value) {
    appendName(name);
    appendEscaped(value);
}

void ReplyWriter::addInteger(std::string_view name, std::int64_t value) {
    appendName(name);
    char digits[24];
    auto result = std::to_chars(digits, digits + sizeof digits, value);
    appendText({digits, static_cast<std::size_t>(result.ptr - digits)});
}

char* ReplyWriter::addRawString(std::string_view name, std::size_t length) {
    appendName(name);
    char* out = grow(length + 2);
    out[0] = '"';
    out[length + 1] = '"';
    return out + 1;
}

void ReplyWriter::beginArray(std::string_view name) {
    appendName(name);
    appendText("[");
    firstInArray_ = true;
}

void ReplyWriter::arrayString(std::string_view value) {
    if (!firstInArray_) appendText(",");
    firstInArray_ = false;
    appendEscaped(value);
}

char* ReplyWriter::arrayRawString(std::size_t length) {
    std::size_t comma = firstInArray_ ? 0 : 1;
    firstInArray_ = false;
    char* out = grow(length + 2 + comma);
    out[0] = ',';
    out[comma] = '"';
    out[comma + length + 1] = '"';
    return out + comma + 1;
}

void ReplyWriter::endArray() {
    appendText("]");
}

void ReplyWriter::finish() {
    appendText("}\n");
}

}  // namespace quorvane
