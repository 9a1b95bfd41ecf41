#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "crypto/secret_bytes.h"

// The helper's end of the key service's interface (key_service_interface.h, docs/key-service.md),
// on the system bus at the address given. Each call opens its own connection and closes it before
// returning: the service knows the caller by that connection, and a caller whose connection closes
// has its open prompt withdrawn.
namespace quorvane::platform::key_service {

// CallFailed is a call that got no answer from the service, or one of its errors: `name` is the
// D-Bus error's name (one of errors:: or the bus's own), empty when the bus could not be
// reached at all; `text` says what happened in plain words. `noBus` is set when there is no bus
// to ask at all: nothing listens at its address, or libsystemd cannot be loaded.
class CallFailed : public std::exception {
  public:
    CallFailed(std::string name, std::string text, bool noBus = false)
        : name_(std::move(name)), text_(std::move(text)), noBus_(noBus) {}
    const std::string& name() const noexcept { return name_; }
    const std::string& text() const noexcept { return text_; }
    bool noBus() const noexcept { return noBus_; }
    const char* what() const noexcept override { return text_.c_str(); }

  private:
    std::string name_;
    std::string text_;
    bool noBus_;
};

// What the service can do for this user now (the Status method).
struct ServiceStatus {
    std::string kind;     // the kind new keys get now: "tpm" or "software"
    bool exists = false;  // the user holds a key of that kind
    bool usable = false;  // that key can be used now, or one can be made now
    std::string problem;  // why not, when not usable
    unsigned keys = 0;    // how many keys of any kind the user holds
};

struct ServicePublicKey {
    Bytes point;  // uncompressed P-256 point
    std::string kind;
};

class Client {
  public:
    explicit Client(std::string busAddress) : busAddress_(std::move(busAddress)) {}

    // Each method raises CallFailed.
    ServiceStatus status() const;
    ServicePublicKey createKey() const;
    // publicKey: nothing when the user has no key of the kind new keys get now.
    std::optional<ServicePublicKey> publicKey() const;
    void deleteKey() const;
    // decrypt has the service ask the person and return, for each of the user's keys, the
    // shared secret with `point` (32 bytes each, concatenated). While the person is being asked,
    // `cancelOnHangUp` (-1: nothing) is watched: when it hangs up, the connection is closed (the
    // service then withdraws the prompt) and CallFailed("", "the application went away; the
    // presence prompt was withdrawn") is raised. The reply's body is wiped in place once read.
    SecretBytes decrypt(std::span<const std::uint8_t> point, int cancelOnHangUp) const;

  private:
    std::string busAddress_;
};

// serviceAbsent answers whether a failed call shows that there is no key service to ask: the bus
// said that nobody owns its name and no activation file names it, or there is no bus at all.
// Every other failure (a timeout, a limit of the bus, a connection the bus refused or closed, an
// error of the service) leaves the service possibly installed: such a failure must not be taken
// for its absence, or whoever can make a call fail could move new keys to a weaker place.
bool serviceAbsent(const CallFailed& failure);

// describe turns a failed call's error name into the reason the helper gives: the bus's own
// "no such service" becomes "the key service is not installed", and so on; a service error keeps
// its text.
std::string describe(const CallFailed& failure);

}  // namespace quorvane::platform::key_service
