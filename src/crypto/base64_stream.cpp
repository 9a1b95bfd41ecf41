#include "crypto/base64_stream.h"

#include <algorithm>

#include "crypto/base64.h"
#include "os/memory.h"

namespace quorvane {
namespace {

// Text waits in the staging buffer until this much has come (or the text ends).
constexpr std::size_t kStage = 64 * 1024;

std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

void Base64Stream::begin(SecretBytes& out) {
    wipe();
    out_ = &out;
    start_ = out.size();
    valid_ = true;
}

void Base64Stream::append(std::string_view piece) {
    if (!valid_ || piece.empty()) return;
    if (staged_.size() + piece.size() <= kStage) {
        staged_.append(bytesOf(piece));
        return;
    }
    // Whatever arrives next, the last group seen so far may be the padded final one: it is held
    // back, and every group before it decoded as a group without padding.
    std::size_t complete = std::min(piece.size(), (4 - staged_.size() % 4) % 4);
    staged_.append(bytesOf(piece.substr(0, complete)));
    piece.remove_prefix(complete);
    if (piece.empty()) return;
    // A text this long is a bulk payload: its bytes start in huge pages rather than fault in
    // 4 KiB at a time until the buffer outgrows them and is copied.
    out_->reserve(std::max(out_->capacity(), os::hugePageSize()));
    decodeGroups(staged_.view());
    staged_.resize(0);
    std::size_t held = (piece.size() - 1) % 4 + 1;
    decodeGroups(piece.substr(0, piece.size() - held));
    if (valid_) staged_.append(bytesOf(piece.substr(piece.size() - held)));
}

void Base64Stream::decodeGroups(std::string_view text) {
    // Padding belongs to the final group only, which these never are.
    if (!valid_ || text.empty()) return;
    if (text.back() == '=') return refuse();
    std::size_t at = out_->size();
    auto length = base64Decode(text, out_->extend(base64DecodedMaxLength(text.size())));
    if (!length) return refuse();
    out_->resize(at + *length);
}

bool Base64Stream::finish() {
    if (valid_) {
        std::size_t at = out_->size();
        auto length =
            base64Decode(staged_.view(), out_->extend(base64DecodedMaxLength(staged_.size())));
        if (length) {
            out_->resize(at + *length);
        } else {
            refuse();
        }
    }
    bool valid = valid_;
    wipe();
    return valid;
}

void Base64Stream::refuse() noexcept {
    valid_ = false;
    if (out_ != nullptr) out_->resize(start_);
    staged_.resize(0);
}

void Base64Stream::wipe() noexcept {
    staged_.resize(0);
    out_ = nullptr;
    start_ = 0;
    valid_ = true;
}

}  // namespace quorvane
