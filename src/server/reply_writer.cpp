#include "server/reply_writer.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "crypto/base64.h"
#include "json/string_writer.h"

namespace quorvane {

char* ReplyWriter::grow(std::size_t length) {
    return reinterpret_cast<char*>(buffer_.extend(length));
}

void ReplyWriter::appendText(std::string_view text) {
    if (text.empty()) return;  // an empty text may have no storage behind it
    std::memcpy(grow(text.size()), text.data(), text.size());
}

void ReplyWriter::appendEscaped(std::string_view text) {
    std::size_t length = json::escapedLength(text);
    char* out = grow(length + 2);
    out[0] = '"';
    json::writeEscaped(text, out + 1);
    out[length + 1] = '"';
}

void ReplyWriter::appendName(std::string_view name) {
    appendText(",\"");
    appendText(name);
    appendText("\":");
}

void ReplyWriter::discardProduced() {
    produce_ = nullptr;
    producedAt_ = 0;
    producedLength_ = 0;
}

void ReplyWriter::begin(std::int64_t id) {
    buffer_.resize(0);
    discardProduced();
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
    discardProduced();
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

char* ReplyWriter::scratch(std::size_t length) {
    if (piece_.size() < length) piece_.resize(length);
    pieceUsed_ = std::max(pieceUsed_, length);
    return reinterpret_cast<char*>(piece_.data());
}

void ReplyWriter::appendBase64(std::span<const std::uint8_t> first,
                               std::span<const std::uint8_t> second) {
    char* text = scratch(2 * base64EncodedLength(first.size() + second.size()));
    std::size_t length = base64EncodeEscaped(first, second, text);
    appendText("\"");
    appendText({text, length});
    appendText("\"");
}

void ReplyWriter::addBase64(std::string_view name, std::span<const std::uint8_t> first,
                            std::span<const std::uint8_t> second) {
    appendName(name);
    appendBase64(first, second);
}

void ReplyWriter::addProducedString(std::string_view name, std::size_t length,
                                    TextProducer produce) {
    if (produce_) throw std::logic_error("a reply holds one produced member at most");
    appendName(name);
    if (length <= kPiece) {
        char* text = scratch(2 * length);
        std::size_t written = produce(0, length, text);
        appendText("\"");
        appendText({text, written});
        appendText("\"");
        return;
    }
    // Room for a piece escaped: at most twice as long.
    scratch(2 * kPiece);
    appendText("\"");
    producedAt_ = buffer_.size();
    appendText("\"");
    producedLength_ = length;
    produce_ = std::move(produce);
}

void ReplyWriter::send(const Output& output) {
    std::string_view text = buffer_.view();
    if (!produce_) {
        output(text);
        return;
    }
    if (!output(text.substr(0, producedAt_))) return;
    char* piece = reinterpret_cast<char*>(piece_.data());
    for (std::size_t offset = 0; offset < producedLength_; offset += kPiece) {
        std::size_t count = std::min(kPiece, producedLength_ - offset);
        std::size_t written = produce_(offset, count, piece);
        if (!output({piece, written})) return;
    }
    output(text.substr(producedAt_));
}

std::string_view ReplyWriter::line() {
    if (produce_) {
        // The text goes where it belongs, piece by piece, and what followed it after it.
        SecretBytes tail = SecretBytes::copyOf(buffer_.view().substr(producedAt_));
        buffer_.resize(producedAt_);
        char* text = reinterpret_cast<char*>(piece_.data());
        for (std::size_t offset = 0; offset < producedLength_; offset += kPiece) {
            std::size_t count = std::min(kPiece, producedLength_ - offset);
            std::size_t written = produce_(offset, count, text);
            appendText({text, written});
        }
        appendText(tail.view());
        discardProduced();
    }
    return buffer_.view();
}

void ReplyWriter::wipe() {
    buffer_.resize(0);
    discardProduced();
    wipeMemory(piece_.data(), pieceUsed_);
    pieceUsed_ = 0;
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

void ReplyWriter::arrayBase64(std::span<const std::uint8_t> first,
                              std::span<const std::uint8_t> second) {
    if (!firstInArray_) appendText(",");
    firstInArray_ = false;
    appendBase64(first, second);
}

void ReplyWriter::endArray() { appendText("]"); }

void ReplyWriter::finish() { appendText("}\n"); }

}  // namespace quorvane
