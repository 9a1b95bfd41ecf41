// The key service's store as the top rung of the protection ladder, against what a system bus can
// answer: only "there is no such service" lets a new key go to the rung below. A service that is
// there and fails (an error reply, a service that left without replying, a bus that refuses this
// user another connection) stops the ladder with a reason, so that nobody who can make the
// service fail can move a person's key to a weaker place.
#include "key_service/service_key_store.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "key_service/key_service_interface.h"
#include "platform/key_ladder.h"
#include "support/fake_key_service.h"
#include "support/fake_services.h"
#include "support/helper_process.h"
#include "support/private_system_bus.h"
#include "support/test_bus.h"

namespace quorvane::testing {
namespace {

using platform::KeyStoreError;
using Step = KeyStoreError::Step;
namespace errors = platform::key_service::errors;

// The limit of connections per uid on the bus of the "bus refuses" case: small, so filling it
// is quick.
constexpr unsigned kConnectionLimit = 8;

// A machine: a bus (or none), what answers for the key service there, and a weaker rung below it
// that always answers.
struct Machine {
    std::unique_ptr<PrivateSystemBus> bus;
    std::string address;
    std::unique_ptr<FakeKeyService> service;
    std::vector<std::unique_ptr<BusConnection>> hog;  // connections of another program of the user
    TempDir directory;
    ScriptedPresence presence;
    ScriptedKeyStore weaker{presence};

    platform::KeyLadder ladder() {
        std::vector<platform::KeyRung> rungs;
        const std::string at = address;
        rungs.push_back(platform::KeyRung{
            "key service", [at] { return std::make_unique<platform::ServiceKeyStore>(at); },
            [at] { return platform::ServiceKeyStore(at).unavailableReason(); }});
        rungs.push_back(
            platform::KeyRung{"TPM",
                              [this] {
                                  // The ladder owns its stores; this one forwards to the scripted
                                  // store kept here.
                                  struct Forward final : platform::KeyStore {
                                      explicit Forward(ScriptedKeyStore& keys) : keys(keys) {}
                                      std::unique_ptr<platform::PresenceKey> find() override {
                                          return keys.find();
                                      }
                                      std::unique_ptr<platform::PresenceKey> findForUse(
                                          const platform::PromptRequest& request) override {
                                          return keys.findForUse(request);
                                      }
                                      std::unique_ptr<platform::PresenceKey> create() override {
                                          return keys.create();
                                      }
                                      void remove() override { keys.remove(); }
                                      bool canCreate() override { return keys.canCreate(); }
                                      ScriptedKeyStore& keys;
                                  };
                                  return std::make_unique<Forward>(weaker);
                              },
                              [] { return std::optional<std::string>(); }});
        return platform::KeyLadder(std::move(rungs));
    }
};

void noBus(Machine& machine) {
    machine.address = "unix:path=" + machine.directory.path() + "/none";
}

void busWithoutService(Machine& machine) {
    machine.bus = std::make_unique<PrivateSystemBus>();
    machine.address = machine.bus->address();
}

void serviceFails(Machine& machine) {
    busWithoutService(machine);
    machine.service =
        std::make_unique<FakeKeyService>(machine.address, FakeKeyService::Failure::error,
                                         errors::kFailed, "the state directory cannot be read");
}

void serviceLeaves(Machine& machine) {
    busWithoutService(machine);
    machine.service =
        std::make_unique<FakeKeyService>(machine.address, FakeKeyService::Failure::leave);
}

// Another program of the user holds every connection the bus allows this uid.
void busRefusesTheUser(Machine& machine) {
    machine.bus = std::make_unique<PrivateSystemBus>(kConnectionLimit);
    machine.address = machine.bus->address();
    machine.service = std::make_unique<FakeKeyService>(
        machine.address, FakeKeyService::Failure::error, errors::kFailed, "not reached");
    for (;;) {
        auto connection = std::make_unique<BusConnection>(machine.address);
        const char* name = nullptr;
        // The bus answers Hello with LimitsExceeded once the uid's connections are all taken.
        if (sd_bus_get_unique_name(connection->get(), &name) < 0) break;
        machine.hog.push_back(std::move(connection));
        ASSERT_LE(machine.hog.size(), kConnectionLimit) << "the bus's limit does not hold";
    }
}

TEST(ServiceKeyStoreRung, OnlyNoSuchServiceLetsANewKeyGoToTheRungBelow) {
    const std::string prefix = "the key service (com.quorvane.KeyService1) cannot be asked now (";
    struct Case {
        const char* name;
        std::function<void(Machine&)> make;
        std::string reason;  // empty: the service is absent, and the rung below is used
    };
    const Case cases[] = {
        {"no bus at all", noBus, ""},
        {"a bus where nothing owns or can start the name", busWithoutService, ""},
        {"the service answers Failed", serviceFails,
         prefix + "the state directory cannot be read)"},
        {"the service leaves without replying", serviceLeaves,
         prefix + "Message recipient disconnected from message bus without replying)"},
        {"the bus refuses the user another connection", busRefusesTheUser,
         prefix + "the system bus refused the call: a limit of the bus was reached (too many "
                  "connections or calls of this user))"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Machine machine;
        c.make(machine);
        if (::testing::Test::HasFatalFailure()) return;
        platform::KeyLadder ladder = machine.ladder();

        if (c.reason.empty()) {
            EXPECT_TRUE(ladder.canCreate());
            EXPECT_NE(ladder.create(), nullptr);
            EXPECT_EQ(machine.weaker.creates, 1);
            EXPECT_NO_THROW(ladder.remove());
            continue;
        }
        EXPECT_EQ(ladder.find(), nullptr);
        try {
            ladder.create();
            ADD_FAILURE() << "a key was made";
        } catch (const KeyStoreError& error) {
            EXPECT_EQ(error.step(), Step::create);
            EXPECT_EQ(error.detail(), c.reason);
        }
        try {
            ladder.canCreate();
            ADD_FAILURE() << "--check would offer the rung below";
        } catch (const platform::PresenceUnavailable& unavailable) {
            EXPECT_EQ(unavailable.reason(), c.reason);
        }
        try {
            ladder.findForUse(platform::PromptRequest{"Unlock", -1});
            ADD_FAILURE() << "an unwrap went past the service";
        } catch (const KeyStoreError& error) {
            EXPECT_EQ(error.step(), Step::load);
            EXPECT_EQ(error.detail(), c.reason);
        }
        // A key the service may still hold is not reported deleted.
        EXPECT_THROW(ladder.remove(), KeyStoreError);
        EXPECT_EQ(machine.weaker.creates, 0) << "a key went to the rung below";
        EXPECT_EQ(machine.presence.prompts, 0);
    }
}

}  // namespace
}  // namespace quorvane::testing
