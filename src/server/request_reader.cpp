#include "server/request_reader.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace quorvane {

using Kind = Request::Kind;

void RequestReader::feed(std::string_view bytes) noexcept {
    if (failed_) return;
    try {
        if (!parser_.feed(bytes)) fail();
    } catch (const std::bad_alloc&) {
        // The request cannot be held: the line fails as a whole, and what it held so far goes
        // back to the system so the helper can go on serving.
        fail();
        request_.release();
    }
}

bool RequestReader::finish() noexcept {
    if (!failed_ && parser_.finish()) return true;
    fail();
    return false;
}

void RequestReader::reset() noexcept {
    parser_.reset();
    request_.clear();
    base64_.wipe();
    wipeMemory(key_, sizeof key_);
    keyLength_ = 0;
    failed_ = false;
    sink_ = Sink::none;
    depth_ = 0;
    member_ = nullptr;
}

void RequestReader::fail() noexcept {
    failed_ = true;
    request_.clear();
    base64_.wipe();
}

void RequestReader::beginKey() {
    keyLength_ = 0;
    sink_ = depth_ == 1 ? Sink::key : Sink::none;
}

bool RequestReader::beginValue(Value type) {
    std::size_t level = depth_;  // 0 for the request itself, 1 for its members' values
    if (type == Value::object || type == Value::array) ++depth_;
    sink_ = Sink::none;
    if (level == 0) return type == Value::object;  // a request is an object
    if (member_ == nullptr) return true;
    if (level == 1) {
        // A kept member's value: it replaces any earlier occurrence of the name.
        Request::reset(*member_);
        switch (type) {
            case Value::string:
                member_->kind = Kind::string;
                if (member_->base64) base64_.begin(member_->bytes);
                sink_ = member_->base64 ? Sink::base64 : Sink::text;
                break;
            case Value::number:
                member_->kind = Kind::number;
                number_ = {};
                sink_ = Sink::number;
                break;
            case Value::array:
                member_->kind = member_->base64 ? Kind::other : Kind::stringArray;
                break;
            default:
                member_->kind = Kind::other;
        }
    } else if (level == 2 && member_->kind == Kind::stringArray) {
        // An element of a kept array: a string is kept, anything else makes it no array of
        // strings.
        if (type == Value::string) {
            sink_ = Sink::text;
        } else {
            Request::reset(*member_);
            member_->kind = Kind::other;
        }
    }
    return true;
}

void RequestReader::part(std::string_view bytes) {
    switch (sink_) {
        case Sink::text:
            member_->bytes.append(
                {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
            break;
        case Sink::base64:
            base64_.append(bytes);
            break;
        case Sink::number:
            number_.take(bytes);
            break;
        case Sink::key:
            if (keyLength_ < kKeyRoom)
                std::memcpy(key_ + keyLength_, bytes.data(),
                            std::min(bytes.size(), kKeyRoom - keyLength_));
            keyLength_ += bytes.size();
            break;
        case Sink::none:
            break;
    }
}

void RequestReader::end() {
    switch (sink_) {
        case Sink::key:
            member_ = keyLength_ <= kKeyRoom ? request_.value({key_, keyLength_}) : nullptr;
            break;
        case Sink::base64:
            member_->valid = base64_.finish();
            break;
        case Sink::number:
            member_->integer = number_.value();
            break;
        case Sink::text:
            if (member_->kind == Kind::stringArray) member_->ends.push_back(member_->bytes.size());
            break;
        case Sink::none:
            break;
    }
    sink_ = Sink::none;
}

}  // namespace quorvane
