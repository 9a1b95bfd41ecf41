#pragma once

#include <sys/types.h>

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "crypto/secret_bytes.h"
#include "keyd/key_files.h"

// The presence keys the key service keeps: per user (the uid the bus reported for the caller) at
// most one key of each kind, a TPM key and a software key, in the state directory (KeyFiles).
//
// - A TPM key is made by the TPM with a random auth value of 32 bytes. Its file holds the auth
//   value and the key as the TPM wrapped it for itself: the TPM alone cannot use the key item,
//   and the key item alone opens nothing without this TPM. It also records the name of the
//   storage root key the key was made under; a TPM that offers another one (cleared, or something
//   answering in its place on the way to it) is never given the key. Files written before names
//   were recorded have none and are checked by loading the key, as then.
//
// The storage root key is made once per run and kept (tpm/tpm_key_operations.h). What the TPM
// said about a key file is kept with a digest of the file's contents, so that a question asked
// again about an unchanged file (Status, most often) sends the TPM nothing. A TPM cleared while
// the service runs is noticed at the next command sent to it, which finds the kept root stale.
// - A software key (only where there is no TPM) is a P-256 scalar in its file: it stops every
//   process that cannot read the state directory, not someone who copies the disk.
//
// New keys are of the best kind this machine offers now: TPM when the TPM answers, software
// otherwise. A user's key of the other kind is kept, to open the blobs made for it, and is never
// handed out for new wraps while it is not the best kind.
//
// One object is used by one thread at a time.
namespace quorvane::keyd {

// KeeperError is a failed request, of one of three kinds, in plain words; never key material.
class KeeperError : public std::exception {
  public:
    enum class Kind {
        noKey,     // the user has no key (of the kind asked for)
        unusable,  // the user's key exists and can no longer be used (the TPM no longer loads it)
        failed,    // no key can be made now, a file or the TPM failed, an argument was wrong
    };
    KeeperError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
    Kind kind() const noexcept { return kind_; }
    const char* what() const noexcept override { return text_.c_str(); }
    const std::string& text() const noexcept { return text_; }

  private:
    Kind kind_;
    std::string text_;
};

// A public key and the kind of the key it belongs to.
struct PublicKey {
    Bytes point;  // uncompressed P-256 point, 65 bytes
    KeyKind kind = KeyKind::software;
};

// What the keeper can do for a user now, for the kind new wraps go to.
struct KeyStatus {
    KeyKind kind = KeyKind::software;
    bool exists = false;                 // the user holds a key of that kind
    std::optional<std::string> problem;  // why that key cannot be used, or no key can be made
    unsigned held = 0;                   // how many keys of any kind the user holds
};

// One of a user's keys, read from its file, for one request.
struct HeldKey {
    KeyKind kind = KeyKind::software;
    SecretBytes file;
};

class KeyKeeper {
  public:
    // `files` must outlive the keeper. `tcti` names the TPM (tpm/tcti.h).
    KeyKeeper(KeyFiles& files, std::string tcti);
    ~KeyKeeper();
    KeyKeeper(const KeyKeeper&) = delete;
    KeyKeeper& operator=(const KeyKeeper&) = delete;

    // bestKind: tpm when the TPM answers now, or when the machine has a TPM device that does
    // not answer the service (then `fault`, when given, receives why); software when there is
    // no TPM.
    KeyKind bestKind(std::optional<std::string>* fault = nullptr) const;

    // status: what the keeper can do for `user` with the best kind now. Never raises.
    KeyStatus status(uid_t user) const;

    // createOrGet returns the user's key of the best kind, making it when there is none. Raises
    // KeeperError: unusable when the key exists and the TPM no longer loads it (a blob for it
    // could never be opened); failed when no key can be made or stored.
    PublicKey createOrGet(uid_t user) const;

    // publicKey returns the user's key of the best kind, or nothing when there is none. Raises
    // KeeperError(failed) when its file cannot be read.
    std::optional<PublicKey> publicKey(uid_t user) const;

    // remove deletes every key of `user`; no key is success. Raises KeeperError(failed).
    void remove(uid_t user) const;

    // usableKeys returns the user's keys that can be used now, best kind first, asking nobody.
    // Raises KeeperError: noKey when there is none; unusable (with the reason) when none can be
    // used; failed when a file cannot be read.
    std::vector<HeldKey> usableKeys(uid_t user) const;

    // sharedSecrets returns, for each key in `keys`, x(d·P) for its private scalar d and the
    // uncompressed P-256 point `point`, 32 bytes each, in the same order. Raises
    // KeeperError: failed when the point is not on the curve or the TPM fails; unusable when the
    // TPM's storage root key is not the one a key was made under.
    std::vector<SecretBytes> sharedSecrets(const std::vector<HeldKey>& keys,
                                           std::span<const std::uint8_t> point) const;

  private:
    struct Tpm;
    std::optional<HeldKey> read(uid_t user, KeyKind kind) const;
    std::optional<std::string> unusableReason(uid_t user, const HeldKey& held) const;
    KeyFiles& files_;
    std::string tcti_;
    mutable bool faultLogged_ = false;
    std::unique_ptr<Tpm> tpm_;
};

// kindName: "tpm" or "software", as the bus interface names the kinds.
const char* kindName(KeyKind kind);

}  // namespace quorvane::keyd
