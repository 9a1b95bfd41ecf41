#include "keyd/key_keeper.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

#include "base/platform_error.h"
#include "crypto/p256.h"
#include "crypto/random.h"
#include "key_service/key_service_interface.h"
#include "tpm/tcti.h"
#include "tpm/tpm_context.h"
#include "tpm/tpm_key_item.h"
#include "tpm/tpm_key_operations.h"
#include "tpm/tpm_key_store.h"

namespace quorvane::keyd {
namespace {

using Kind = KeeperError::Kind;
using platform::tpm::TpmFailure;

// A TPM key's file: its auth value, then the key item as the helper's own store keeps it.
struct TpmKeyFile {
    std::span<const std::uint8_t> auth;
    platform::tpm::KeyItem key;
};

std::optional<TpmKeyFile> readTpmFile(std::span<const std::uint8_t> file) {
    const platform::tpm::TssLibrary* tss = platform::tpm::tssLibrary();
    if (tss == nullptr || file.size() <= platform::tpm::kAuthSize) return std::nullopt;
    std::optional<platform::tpm::KeyItem> key =
        platform::tpm::decodeKeyItem(*tss, file.subspan(platform::tpm::kAuthSize));
    if (!key) return std::nullopt;
    return TpmKeyFile{file.first(platform::tpm::kAuthSize), *key};
}

// hasTpmDevice: whether the TPM device `tcti` names exists, whether or not it can be opened.
bool hasTpmDevice(const std::string& tcti) {
    std::optional<platform::tpm::Tcti> parsed = platform::tpm::parseTcti(tcti);
    if (!parsed || parsed->kind != platform::tpm::TctiKind::device) return false;
    struct stat node {};
    return stat(parsed->configuration.c_str(), &node) == 0;
}

KeeperError damaged(KeyKind kind) {
    return KeeperError(Kind::failed,
                       std::string("the stored ") + kindName(kind) + " key is damaged");
}

Bytes pointOf(const HeldKey& held) {
    if (held.kind == KeyKind::software) return p256::publicPoint(held.file.span());
    std::optional<TpmKeyFile> file = readTpmFile(held.file.span());
    if (!file) throw damaged(held.kind);
    return platform::tpm::publicPoint(file->key);
}

// unusableReason: why the TPM cannot use the key now, or nothing when it can.
std::optional<std::string> unusableReason(const std::string& tcti, const HeldKey& held) {
    if (held.kind == KeyKind::software) return std::nullopt;
    std::optional<TpmKeyFile> file = readTpmFile(held.file.span());
    if (!file) return "the stored tpm key is damaged";
    try {
        platform::tpm::checkLoads(tcti, file->key);
        return std::nullopt;
    } catch (const TpmFailure& failure) {
        return failure.text();
    }
}

SecretBytes makeFile(const std::string& tcti, KeyKind kind) {
    if (kind == KeyKind::software) return p256::generateScalar();
    SecretBytes auth(platform::tpm::kAuthSize);
    randomBytes(auth.span());
    platform::tpm::KeyItem key = platform::tpm::makeKey(tcti, auth.span());
    const Bytes item = platform::tpm::encodeKeyItem(*platform::tpm::tssLibrary(), key);
    SecretBytes file = std::move(auth);
    file.append(item);
    return file;
}

}  // namespace

const char* kindName(KeyKind kind) {
    return kind == KeyKind::tpm ? platform::key_service::kTpmKind.data()
                                : platform::key_service::kSoftwareKind.data();
}

KeyKeeper::KeyKeeper(KeyFiles& files, std::string tcti) : files_(files), tcti_(std::move(tcti)) {}

KeyKind KeyKeeper::bestKind(std::optional<std::string>* fault) const {
    std::optional<std::string> reason = platform::TpmKeyStore::unavailableReason(tcti_);
    if (!reason) return KeyKind::tpm;
    if (!hasTpmDevice(tcti_)) return KeyKind::software;
    // A TPM the service cannot open is most often a user left out of the device's group. Keys
    // made in software meanwhile would stay in software for good (nothing moves between kinds),
    // so none is made, and the journal says why once per run rather than at every call.
    const std::string text = "this machine has a TPM that the key service cannot use: " + *reason;
    if (!faultLogged_) {
        std::fprintf(stderr, "quorvane-keyd: %s; no key is made until it can\n", text.c_str());
        faultLogged_ = true;
    }
    if (fault != nullptr) *fault = text;
    return KeyKind::tpm;
}

std::optional<HeldKey> KeyKeeper::read(uid_t user, KeyKind kind) const {
    std::optional<SecretBytes> file;
    try {
        file = files_.read(user, kind);
    } catch (const KeyFileError& failure) {
        throw KeeperError(Kind::failed, failure.what());
    }
    if (!file) return std::nullopt;
    if (kind == KeyKind::software && !p256::isValidScalar(file->span())) {
        throw damaged(kind);
    }
    return HeldKey{kind, std::move(*file)};
}

KeyStatus KeyKeeper::status(uid_t user) const {
    KeyStatus status;
    std::optional<std::string> fault;
    status.kind = bestKind(&fault);
    try {
        for (KeyKind kind : {KeyKind::tpm, KeyKind::software})
            status.held += read(user, kind) ? 1 : 0;
        std::optional<HeldKey> held = read(user, status.kind);
        status.exists = held.has_value();
        if (fault) {
            status.problem = fault;
        } else if (held) {
            status.problem = unusableReason(tcti_, *held);
        } else if (status.kind == KeyKind::software) {
            // A software key can be made whenever the state directory can be written, which
            // only trying tells; generating one checks that the provider works.
            p256::generateScalar();
        }
    } catch (const std::exception& failure) {
        status.problem = failure.what();
    }
    return status;
}

PublicKey KeyKeeper::createOrGet(uid_t user) const {
    std::optional<std::string> fault;
    const KeyKind kind = bestKind(&fault);
    if (std::optional<HeldKey> held = read(user, kind)) {
        if (std::optional<std::string> reason = unusableReason(tcti_, *held)) {
            throw KeeperError(Kind::unusable, *reason);
        }
        return PublicKey{pointOf(*held), kind};
    }
    if (fault) throw KeeperError(Kind::failed, *fault);
    try {
        HeldKey made{kind, makeFile(tcti_, kind)};
        Bytes point = pointOf(made);
        files_.write(user, kind, made.file.span());
        return PublicKey{std::move(point), kind};
    } catch (const TpmFailure& failure) {
        throw KeeperError(Kind::failed, failure.text());
    } catch (const KeyFileError& failure) {
        throw KeeperError(Kind::failed, failure.what());
    } catch (const PlatformError& failure) {
        throw KeeperError(Kind::failed, failure.description());
    }
}

std::optional<PublicKey> KeyKeeper::publicKey(uid_t user) const {
    const KeyKind kind = bestKind();
    std::optional<HeldKey> held = read(user, kind);
    if (!held) return std::nullopt;
    return PublicKey{pointOf(*held), kind};
}

void KeyKeeper::remove(uid_t user) const {
    try {
        files_.remove(user, KeyKind::tpm);
        files_.remove(user, KeyKind::software);
    } catch (const KeyFileError& failure) {
        throw KeeperError(Kind::failed, failure.what());
    }
}

std::vector<HeldKey> KeyKeeper::usableKeys(uid_t user) const {
    std::vector<HeldKey> usable;
    std::optional<std::string> firstReason;
    bool any = false;
    for (KeyKind kind : {KeyKind::tpm, KeyKind::software}) {
        std::optional<HeldKey> held = read(user, kind);
        if (!held) continue;
        any = true;
        if (std::optional<std::string> reason = unusableReason(tcti_, *held)) {
            if (!firstReason) firstReason = reason;
            continue;
        }
        usable.push_back(std::move(*held));
    }
    if (!any) throw KeeperError(Kind::noKey, "there is no presence key for this user");
    if (usable.empty()) throw KeeperError(Kind::unusable, *firstReason);
    return usable;
}

std::vector<SecretBytes> KeyKeeper::sharedSecrets(const std::vector<HeldKey>& keys,
                                                  std::span<const std::uint8_t> point) const {
    if (point.size() != p256::kPointSize) {
        throw KeeperError(Kind::failed, "invalid P-256 public key");
    }
    std::vector<SecretBytes> secrets;
    try {
        // Checked once in software, so that the TPM never sees a point off the curve.
        p256::sharedSecret(p256::generateScalar().span(), point);
        for (const HeldKey& held : keys) {
            if (held.kind == KeyKind::software) {
                secrets.push_back(p256::sharedSecret(held.file.span(), point));
                continue;
            }
            std::optional<TpmKeyFile> file = readTpmFile(held.file.span());
            if (!file) throw damaged(held.kind);
            secrets.push_back(platform::tpm::sharedSecret(tcti_, file->key, file->auth, point));
        }
    } catch (const TpmFailure& failure) {
        throw KeeperError(Kind::failed, failure.text());
    } catch (const PlatformError& failure) {
        throw KeeperError(Kind::failed, failure.description());
    }
    return secrets;
}

}  // namespace quorvane::keyd
