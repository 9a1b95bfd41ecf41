// The item store contract, run against every item store this build has.
#include "platform/contract/item_store_contract.h"

#include <fstream>
#include <mutex>

#include "file_store/file_store.h"
#include "support/fake_services.h"
#include "support/helper_process.h"

namespace quorvane::testing {
namespace {

// The in-memory fake, shared by every object open() hands out, each call under one lock.
class FakeItemStoreFixture {
  public:
    std::unique_ptr<platform::ItemStore> open() { return std::make_unique<View>(*this); }
    bool damage() {
        shared_.failWith = "-40007";
        return true;
    }

  private:
    class View final : public platform::ItemStore {
      public:
        explicit View(FakeItemStoreFixture& owner) : owner_(owner) {}
        void storeSecret(const platform::SecretName& n, std::span<const std::uint8_t> v) override {
            std::lock_guard lock(owner_.mutex_);
            owner_.shared_.storeSecret(n, v);
        }
        std::optional<SecretBytes> loadSecret(const platform::SecretName& n) override {
            std::lock_guard lock(owner_.mutex_);
            return owner_.shared_.loadSecret(n);
        }
        void deleteSecret(const platform::SecretName& n) override {
            std::lock_guard lock(owner_.mutex_);
            owner_.shared_.deleteSecret(n);
        }
        bool addKeyItem(std::string_view t, std::span<const std::uint8_t> b) override {
            std::lock_guard lock(owner_.mutex_);
            return owner_.shared_.addKeyItem(t, b);
        }
        std::optional<SecretBytes> findKeyItem(std::string_view t) override {
            std::lock_guard lock(owner_.mutex_);
            return owner_.shared_.findKeyItem(t);
        }
        void deleteKeyItem(std::string_view t) override {
            std::lock_guard lock(owner_.mutex_);
            owner_.shared_.deleteKeyItem(t);
        }

      private:
        FakeItemStoreFixture& owner_;
    };

    std::mutex mutex_;
    FakeItemStore shared_;
};

// The file store in a scratch directory; each object is its own database connection, as each
// helper process has.
class FileStoreFixture {
  public:
    std::unique_ptr<platform::ItemStore> open() {
        return std::make_unique<platform::FileStore>(path());
    }
    bool damage() {
        std::ofstream(path(), std::ios::binary | std::ios::trunc) << std::string(8192, 'x');
        return true;
    }

  private:
    std::filesystem::path path() const {
        return std::filesystem::path(dir_.path()) / "quorvane" / "keychain.sqlite3";
    }
    TempDir dir_;
};

INSTANTIATE_TYPED_TEST_SUITE_P(Fake, ItemStoreContract, FakeItemStoreFixture);
INSTANTIATE_TYPED_TEST_SUITE_P(File, ItemStoreContract, FileStoreFixture);

}  // namespace
}  // namespace quorvane::testing
