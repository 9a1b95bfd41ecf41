#include "keyd/key_keeper.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <utility>

#include "base/platform_error.h"
#include "crypto/p256.h"
#include "crypto/random.h"
#include "crypto/sha256.h"
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

// A TPM key's file: its auth value, then the key item as the helper's own store keeps it, then
// (in files written since) the name of the storage root key it was made under, as a TPM2B_NAME.
struct TpmKeyFile {
    std::span<const std::uint8_t> auth;
    platform::tpm::KeyItem key;
    std::optional<std::span<const std::uint8_t>> rootName;
};

std::optional<TpmKeyFile> readTpmFile(std::span<const std::uint8_t> file) {
    const platform::tpm::TssLibrary* tss = platform::tpm::tssLibrary();
    if (tss == nullptr || file.size() <= platform::tpm::kAuthSize) return std::nullopt;
    const std::span<const std::uint8_t> rest = file.subspan(platform::tpm::kAuthSize);
    const std::optional<std::size_t> itemSize = platform::tpm::keyItemSize(*tss, rest);
    if (!itemSize) return std::nullopt;
    std::optional<platform::tpm::KeyItem> key =
        platform::tpm::decodeKeyItem(*tss, rest.first(*itemSize));
    if (!key) return std::nullopt;
    TpmKeyFile parsed{file.first(platform::tpm::kAuthSize), *key, std::nullopt};
    const std::span<const std::uint8_t> trailer = rest.subspan(*itemSize);
    if (trailer.empty()) return parsed;
    // A name is an algorithm (2 bytes) and a digest; anything else after the item is damage.
    if (trailer.size() < 2) return std::nullopt;
    const std::size_t size = (std::size_t{trailer[0]} << 8) | trailer[1];
    if (size < 3 || size > sizeof(TPMU_NAME) || trailer.size() != 2 + size) return std::nullopt;
    parsed.rootName = trailer.subspan(2);
    return parsed;
}

void appendName(SecretBytes& file, const Bytes& name) {
    const std::uint8_t size[2] = {static_cast<std::uint8_t>(name.size() >> 8),
                                  static_cast<std::uint8_t>(name.size() & 0xff)};
    file.append(size);
    file.append(name);
}

constexpr const char* kOtherRoot =
    "the TPM cannot use the presence key: its storage root key is not the one the key was made "
    "under (the key was made by another TPM or before this TPM was cleared, or something between "
    "the service and the TPM answers in its place)";

bool sameBytes(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
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

}  // namespace

const char* kindName(KeyKind kind) {
    return kind == KeyKind::tpm ? platform::key_service::kTpmKind.data()
                                : platform::key_service::kSoftwareKind.data();
}

// The TPM as this run knows it: the storage root key once made, and what the TPM said about the
// key files that record no root name, by the digest of their contents.
struct KeyKeeper::Tpm {
    std::optional<platform::tpm::StorageRoot> root;
    struct Checked {
        SecretBytes digest;
        std::optional<std::string> reason;
    };
    std::map<std::pair<uid_t, KeyKind>, Checked> checked;

    // rootFor returns the storage root key, making it when this run has none yet. Raises
    // TpmFailure.
    const platform::tpm::StorageRoot& rootFor(const std::string& tcti) {
        if (!root) {
            root = platform::tpm::StorageRoot::make(tcti);
            checked.clear();
        }
        return *root;
    }

    // withRoot runs `operation` under the kept root; when the TPM no longer takes it (reset or
    // cleared since), the root is made again and `operation` runs once more under the new one,
    // which checks anew whatever it checks of the root.
    template <class Operation>
    auto withRoot(const std::string& tcti, Operation operation) {
        try {
            return operation(rootFor(tcti));
        } catch (const platform::tpm::StaleStorageRoot&) {
            root.reset();
            checked.clear();
            return operation(rootFor(tcti));
        }
    }
};

KeyKeeper::KeyKeeper(KeyFiles& files, std::string tcti)
    : files_(files), tcti_(std::move(tcti)), tpm_(std::make_unique<Tpm>()) {}

KeyKeeper::~KeyKeeper() = default;

KeyKind KeyKeeper::bestKind(std::optional<std::string>* fault) const {
    // A root made in this run answers for the TPM without asking it again.
    if (tpm_->root) return KeyKind::tpm;
    std::optional<std::string> reason;
    try {
        tpm_->rootFor(tcti_);
        return KeyKind::tpm;
    } catch (const TpmFailure& failure) {
        reason = failure.text();
    } catch (const std::exception&) {
        reason = "the TPM cannot be used (out of memory)";
    }
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

// unusableReason: why the TPM cannot use the key now, or nothing when it can. A file that records
// its root is judged by the name alone; one that does not is loaded once per contents and root.
std::optional<std::string> KeyKeeper::unusableReason(uid_t user, const HeldKey& held) const {
    if (held.kind == KeyKind::software) return std::nullopt;
    std::optional<TpmKeyFile> file = readTpmFile(held.file.span());
    if (!file) return "the stored tpm key is damaged";
    try {
        if (file->rootName) {
            if (!sameBytes(*file->rootName, tpm_->rootFor(tcti_).name())) return kOtherRoot;
            return std::nullopt;
        }
        SecretBytes digest = sha256(held.file.span());
        const auto at = tpm_->checked.find({user, held.kind});
        if (at != tpm_->checked.end() && sameBytes(at->second.digest.span(), digest.span())) {
            return at->second.reason;
        }
        std::optional<std::string> reason;
        try {
            tpm_->withRoot(tcti_, [&](const platform::tpm::StorageRoot& root) {
                platform::tpm::checkLoads(tcti_, root, file->key);
            });
        } catch (const platform::tpm::KeyRefused& refused) {
            reason = refused.text();
        }
        // Kept only once the TPM answered about the key itself: a TPM that could not be reached
        // raised above, and is asked again next time.
        tpm_->checked[{user, held.kind}] = Tpm::Checked{std::move(digest), reason};
        return reason;
    } catch (const TpmFailure& failure) {
        return failure.text();
    }
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
            status.problem = unusableReason(user, *held);
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
        if (std::optional<std::string> reason = unusableReason(user, *held)) {
            throw KeeperError(Kind::unusable, *reason);
        }
        return PublicKey{pointOf(*held), kind};
    }
    if (fault) throw KeeperError(Kind::failed, *fault);
    try {
        HeldKey made{kind, {}};
        if (kind == KeyKind::software) {
            made.file = p256::generateScalar();
        } else {
            SecretBytes auth(platform::tpm::kAuthSize);
            randomBytes(auth.span());
            tpm_->withRoot(tcti_, [&](const platform::tpm::StorageRoot& root) {
                const platform::tpm::KeyItem key = platform::tpm::makeKey(tcti_, root, auth.span());
                made.file = SecretBytes();
                made.file.append(auth.span());
                made.file.append(encodeKeyItem(*platform::tpm::tssLibrary(), key));
                appendName(made.file, root.name());
            });
        }
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
        tpm_->checked.erase({user, KeyKind::tpm});
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
        if (std::optional<std::string> reason = unusableReason(user, *held)) {
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
    // Checked in software, so that the TPM never sees a point off the curve.
    if (!p256::isValidPoint(point)) throw KeeperError(Kind::failed, "invalid P-256 public key");
    std::vector<SecretBytes> secrets;
    try {
        for (const HeldKey& held : keys) {
            if (held.kind == KeyKind::software) {
                secrets.push_back(p256::sharedSecret(held.file.span(), point));
                continue;
            }
            std::optional<TpmKeyFile> file = readTpmFile(held.file.span());
            if (!file) throw damaged(held.kind);
            // The auth value's HMAC and Z travel in a session salted with the root: never with a
            // root other than the one the key was made under.
            secrets.push_back(tpm_->withRoot(tcti_, [&](const platform::tpm::StorageRoot& root) {
                if (file->rootName && !sameBytes(*file->rootName, root.name())) {
                    throw KeeperError(Kind::unusable, kOtherRoot);
                }
                return platform::tpm::sharedSecret(tcti_, root, file->key, file->auth, point);
            }));
        }
    } catch (const TpmFailure& failure) {
        throw KeeperError(Kind::failed, failure.text());
    } catch (const PlatformError& failure) {
        throw KeeperError(Kind::failed, failure.description());
    }
    return secrets;
}

}  // namespace quorvane::keyd
