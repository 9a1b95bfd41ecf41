// The key keeper against a software TPM, with every command it sends counted on the way: the
// storage root key is made once per run, a question asked again about an unchanged key file
// sends the TPM nothing, a key file records the root it was made under and no other root is
// given the key, and files written before roots were recorded keep working as they are.
#include <gtest/gtest.h>

#include <iostream>

#include "crypto/p256.h"
#include "keyd/key_keeper.h"
#include "support/helper_process.h"
#include "support/swtpm.h"
#include "support/tpm_command_counter.h"

namespace quorvane::keyd {
namespace {

using testing::Swtpm;
using testing::TempDir;
using testing::TpmCommandCounter;
using Counts = std::map<std::string, unsigned>;

constexpr uid_t kUser = 1000;
// A recorded SHA-256 name: its size (34), the algorithm (0x000b) and 32 bytes of digest.
constexpr std::size_t kNameTrailer = 2 + 2 + 32;
constexpr const char* kOtherRoot =
    "the TPM cannot use the presence key: its storage root key is "
    "not the one the key was made under";

unsigned total(const Counts& counts) {
    unsigned sum = 0;
    for (const auto& [name, count] : counts) sum += count;
    return sum;
}

unsigned count(const Counts& counts, const std::string& name) {
    auto found = counts.find(name);
    return found == counts.end() ? 0 : found->second;
}

Bytes toBytes(const SecretBytes& bytes) { return Bytes(bytes.span().begin(), bytes.span().end()); }

class KeyKeeperOnTpm : public ::testing::Test {
  protected:
    void SetUp() override {
        SKIP_WITHOUT_SWTPM();
        tpm_ = std::make_unique<Swtpm>();
        counter_ = std::make_unique<TpmCommandCounter>(tpm_->tcti());
        files_ = std::make_unique<KeyFiles>(state_.path() + "/state");
        startRun();
    }

    // startRun stands for a new run of the service: a keeper that knows nothing yet.
    void startRun() {
        keeper_.reset();
        keeper_ = std::make_unique<KeyKeeper>(*files_, counter_->tcti());
    }

    Bytes keyFile() const { return toBytes(files_->read(kUser, KeyKind::tpm).value()); }
    void setKeyFile(const Bytes& bytes) const { files_->write(kUser, KeyKind::tpm, bytes); }

    // decrypt does what the service does for Decrypt: the check before the prompt, then, once
    // the person confirmed, the keys read again and the Diffie-Hellman step. Returns the first
    // shared secret, after checking it against the one computed in software from the other side.
    void decrypt(const Bytes& publicKey) const {
        const SecretBytes ephemeral = p256::generateScalar();
        const Bytes point = p256::publicPoint(ephemeral.span());
        keeper_->usableKeys(kUser);
        std::vector<HeldKey> keys = keeper_->usableKeys(kUser);
        std::vector<SecretBytes> secrets = keeper_->sharedSecrets(keys, point);
        ASSERT_EQ(secrets.size(), 1u);
        EXPECT_EQ(toBytes(secrets[0]), toBytes(p256::sharedSecret(ephemeral.span(), publicKey)));
    }

    TempDir state_;
    std::unique_ptr<Swtpm> tpm_;
    std::unique_ptr<TpmCommandCounter> counter_;
    std::unique_ptr<KeyFiles> files_;
    std::unique_ptr<KeyKeeper> keeper_;
};

// The figures of docs/key-service.md come from this test's output.
TEST_F(KeyKeeperOnTpm, CommandsPerOperation) {
    const Bytes publicKey = keeper_->createOrGet(kUser).point;
    const Counts create = counter_->take();
    ASSERT_TRUE(keeper_->status(kUser).exists);
    const Counts firstStatus = counter_->take();
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(keeper_->status(kUser).problem);
    const Counts laterStatus = counter_->take();
    decrypt(publicKey);
    const Counts firstDecrypt = counter_->take();
    decrypt(publicKey);
    const Counts laterDecrypt = counter_->take();

    startRun();
    keeper_->status(kUser);
    const Counts newRunStatus = counter_->take();
    decrypt(publicKey);
    const Counts newRunDecrypt = counter_->take();

    // A key file written before names were recorded is loaded once per run to be judged.
    Bytes old = keyFile();
    old.resize(old.size() - kNameTrailer);
    setKeyFile(old);
    startRun();
    EXPECT_FALSE(keeper_->status(kUser).problem);
    const Counts oldFileFirstStatus = counter_->take();
    EXPECT_FALSE(keeper_->status(kUser).problem);
    const Counts oldFileLaterStatus = counter_->take();
    decrypt(publicKey);
    const Counts oldFileDecrypt = counter_->take();

    const std::pair<const char*, const Counts*> rows[] = {
        {"CreateKey (first call of a run)", &create},
        {"Status (first after CreateKey)", &firstStatus},
        {"Status x3 (nothing changed)", &laterStatus},
        {"Decrypt", &firstDecrypt},
        {"Decrypt (again)", &laterDecrypt},
        {"Status (first call of a new run)", &newRunStatus},
        {"Decrypt (second call of that run)", &newRunDecrypt},
        {"Status (old file, first of a run)", &oldFileFirstStatus},
        {"Status (old file, again)", &oldFileLaterStatus},
        {"Decrypt (old file)", &oldFileDecrypt},
    };
    for (const auto& [what, counts] : rows) {
        std::cout << "TPM commands: " << what << ": " << total(*counts) << " ("
                  << testing::describe(*counts) << ")\n";
    }

    // One root per run, in the first call that needs the TPM.
    EXPECT_EQ(count(create, "CreatePrimary"), 1u);
    EXPECT_EQ(count(newRunStatus, "CreatePrimary"), 1u);
    for (const Counts* counts : {&firstStatus, &laterStatus, &firstDecrypt, &laterDecrypt,
                                 &newRunDecrypt, &oldFileLaterStatus, &oldFileDecrypt}) {
        EXPECT_EQ(count(*counts, "CreatePrimary"), 0u) << testing::describe(*counts);
    }
    // Status about unchanged files asks the TPM nothing.
    EXPECT_EQ(total(firstStatus), 0u) << testing::describe(firstStatus);
    EXPECT_EQ(total(laterStatus), 0u) << testing::describe(laterStatus);
    EXPECT_EQ(total(oldFileLaterStatus), 0u) << testing::describe(oldFileLaterStatus);
    // Decrypt loads the key once, for the Diffie-Hellman step itself, and leaves nothing loaded.
    for (const Counts* counts : {&firstDecrypt, &laterDecrypt, &oldFileDecrypt}) {
        EXPECT_EQ(count(*counts, "Load"), 1u) << testing::describe(*counts);
        EXPECT_EQ(count(*counts, "ECDH_ZGen"), 1u) << testing::describe(*counts);
        EXPECT_EQ(count(*counts, "FlushContext"), count(*counts, "Load") +
                                                      count(*counts, "ContextLoad") +
                                                      count(*counts, "StartAuthSession"))
            << testing::describe(*counts);
    }
}

// An interposer on the TPM's bus answers with a storage root key of its own, to read the session
// salted with it. Here the recorded name is changed instead, which the keeper cannot tell apart.
TEST_F(KeyKeeperOnTpm, AKeyIsNeverUsedUnderARootOtherThanTheOneItRecorded) {
    keeper_->createOrGet(kUser);
    Bytes file = keyFile();
    ASSERT_GT(file.size(), kNameTrailer);
    const Bytes trailer(file.end() - kNameTrailer, file.end());
    EXPECT_EQ(Bytes(trailer.begin(), trailer.begin() + 4), (Bytes{0x00, 0x22, 0x00, 0x0b}))
        << "the file records a SHA-256 name";
    file.back() ^= 0x01;
    setKeyFile(file);
    counter_->take();

    const KeyStatus status = keeper_->status(kUser);
    EXPECT_TRUE(status.exists);
    EXPECT_EQ(status.problem.value_or("").rfind(kOtherRoot, 0), 0u) << status.problem.value_or("");
    try {
        keeper_->usableKeys(kUser);
        ADD_FAILURE() << "usableKeys took the key";
    } catch (const KeeperError& failure) {
        EXPECT_EQ(failure.kind(), KeeperError::Kind::unusable);
    }
    try {
        std::vector<HeldKey> keys;
        keys.push_back(HeldKey{KeyKind::tpm, *files_->read(kUser, KeyKind::tpm)});
        keeper_->sharedSecrets(keys, p256::publicPoint(p256::generateScalar().span()));
        ADD_FAILURE() << "sharedSecrets used the key";
    } catch (const KeeperError& failure) {
        EXPECT_EQ(failure.kind(), KeeperError::Kind::unusable);
        EXPECT_EQ(failure.text().rfind(kOtherRoot, 0), 0u) << failure.text();
    }
    const Counts sent = counter_->take();
    EXPECT_EQ(count(sent, "Load") + count(sent, "StartAuthSession") + count(sent, "ECDH_ZGen"), 0u)
        << testing::describe(sent);
}

TEST_F(KeyKeeperOnTpm, AFileWithoutARecordedRootStillWorksAndIsLeftAsItIs) {
    const Bytes publicKey = keeper_->createOrGet(kUser).point;
    Bytes old = keyFile();
    old.resize(old.size() - kNameTrailer);
    setKeyFile(old);
    startRun();

    EXPECT_FALSE(keeper_->status(kUser).problem);
    EXPECT_EQ(keeper_->createOrGet(kUser).point, publicKey);
    decrypt(publicKey);
    EXPECT_EQ(keyFile(), old);

    // Such a file made by another TPM is refused by the TPM itself, as before.
    Swtpm other;
    counter_->retarget(other.tcti());
    startRun();
    const KeyStatus status = keeper_->status(kUser);
    EXPECT_EQ(status.problem.value_or("").rfind("the TPM cannot load the presence key", 0), 0u)
        << status.problem.value_or("");
}

TEST_F(KeyKeeperOnTpm, AnythingButANameAfterTheKeyIsDamage) {
    keeper_->createOrGet(kUser);
    const Bytes file = keyFile();
    const Bytes item(file.begin(), file.end() - kNameTrailer);
    const Bytes name(file.end() - (kNameTrailer - 2), file.end());
    auto with = [&](Bytes trailer) {
        Bytes damaged = item;
        damaged.insert(damaged.end(), trailer.begin(), trailer.end());
        return damaged;
    };
    Bytes shortName = {0x00, 0x22};
    shortName.insert(shortName.end(), name.begin(), name.end() - 1);
    Bytes longName = {0x00, 0x22};
    longName.insert(longName.end(), name.begin(), name.end());
    longName.push_back(0);
    const struct {
        const char* what;
        Bytes file;
    } cases[] = {
        {"one stray byte", with({0x00})},
        {"a name shorter than its size", with(shortName)},
        {"a name longer than its size", with(longName)},
        {"an empty name", with({0x00, 0x00})},
        {"a size beyond any name", with(Bytes(2 + 0x100, 0x01))},
    };
    for (const auto& c : cases) {
        setKeyFile(c.file);
        EXPECT_EQ(keeper_->status(kUser).problem.value_or(""), "the stored tpm key is damaged")
            << c.what;
    }
}

// A TPM cleared while the service runs: Status, which asks the TPM nothing, does not see it; the
// first call that sends the TPM a command finds the kept root stale, makes it again, and from
// then on the key is refused, by Status too. A TPM that was only reset takes the new root as
// the old one, and the key keeps working.
TEST_F(KeyKeeperOnTpm, ATpmResetOrClearedWhileRunningIsFoundAtTheNextCommand) {
    const Bytes publicKey = keeper_->createOrGet(kUser).point;

    tpm_->restart();
    decrypt(publicKey);
    EXPECT_FALSE(keeper_->status(kUser).problem);

    Swtpm cleared;
    counter_->retarget(cleared.tcti());
    counter_->take();
    EXPECT_FALSE(keeper_->status(kUser).problem) << "Status asks the TPM nothing";
    EXPECT_EQ(total(counter_->take()), 0u);
    try {
        decrypt(publicKey);
        ADD_FAILURE() << "the key was used on a cleared TPM";
    } catch (const KeeperError& failure) {
        EXPECT_EQ(failure.kind(), KeeperError::Kind::unusable);
        EXPECT_EQ(failure.text().rfind(kOtherRoot, 0), 0u) << failure.text();
    }
    EXPECT_EQ(keeper_->status(kUser).problem.value_or("").rfind(kOtherRoot, 0), 0u);
}

}  // namespace
}  // namespace quorvane::keyd
