#pragma once

#include <simdjson.h>

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "crypto/secret_bytes.h"

namespace quorvane {

// LiftedMembers keeps the long "data" strings of a bulk request (tens of MiB of base64) where the
// request line holds them, so the JSON parser never copies them: the parser gets a skeleton of
// the line in which each such string is empty, and the commands find the text in the line
// through liftedText(). That saves a copy as large as the line in time and in peak memory.
//
// Only strings whose raw text is their value are lifted: no backslash, no control character and
// nothing beyond ASCII (base64 always qualifies). Replacing such a string by an empty one changes
// neither whether the line is valid JSON nor any other member, so the parser's verdict and
// every reply stay what they would be on the whole line. Other lines are parsed whole.
//
// Not thread-safe; one per request loop.
class LiftedMembers {
  public:
    // Lines shorter than this are parsed whole; lifted strings are at least kMinString long.
    static constexpr std::size_t kMinLine = 256 * 1024;
    static constexpr std::size_t kMinString = 64 * 1024;

    // lift looks for liftable "data" members of the top-level object in `line` (writable: the
    // commands decode the lifted text in place). When it finds some it returns the skeleton to
    // parse instead, followed by `padding` readable bytes; otherwise nothing, and the line is to
    // be parsed as it is. Raises std::bad_alloc when the skeleton's memory cannot be had.
    std::optional<std::string_view> lift(std::span<char> line, std::size_t padding);

    // bind ties the empty strings of the parsed skeleton to the texts they stand for. `root` is
    // the document parsed from the skeleton lift() returned. False when the document does not have
    // the expected empty strings where the lifted ones were (then parse the whole line instead).
    bool bind(simdjson::dom::element root);

    // resolve returns the lifted text `member` stands for when it is one of the bound empty
    // strings, else `member` itself.
    std::span<char> resolve(std::span<char> member) const;

    // empty is true when nothing is lifted.
    bool empty() const { return members_.empty(); }

    // clear forgets the lifted members and wipes the skeleton (it holds the other members'
    // text: identifiers, passwords). The lifted text itself belongs to the line's owner.
    void clear();

  private:
    struct Member {
        std::size_t index;        // position among the top-level object's members
        std::span<char> text;     // the string's text in the line
        const char* placeholder;  // the parsed empty string standing for it, once bound
    };
    std::vector<Member> members_;
    SecretBytes skeleton_;
};

// liftedText returns the text of a string member a command got from its Request: the lifted text
// in the request line when `member` stands for one, else `member` itself. Valid while the server
// handles the line (CurrentLiftedMembers below).
std::span<char> liftedText(std::span<char> member);

// CurrentLiftedMembers makes `members` what liftedText() consults on this thread for its lifetime.
class CurrentLiftedMembers {
  public:
    explicit CurrentLiftedMembers(const LiftedMembers& members);
    ~CurrentLiftedMembers();
    CurrentLiftedMembers(const CurrentLiftedMembers&) = delete;
    CurrentLiftedMembers& operator=(const CurrentLiftedMembers&) = delete;

  private:
    const LiftedMembers* previous_;
};

// firstStringSpecial returns the index of the first byte of `text` that ends a plain JSON string
// run: '"' or '\\', and with `strict` also a control character or a byte beyond ASCII; `size` when
// there is none. firstStringSpecialPortable is the same without vector instructions (tests hold
// the two to the same answers).
std::size_t firstStringSpecial(const char* text, std::size_t size, bool strict) noexcept;
std::size_t firstStringSpecialPortable(const char* text, std::size_t size, bool strict) noexcept;

}  // namespace quorvane
