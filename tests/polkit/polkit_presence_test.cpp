// The polkit presence prompt against a private system bus with a scriptable polkit.
#include "polkit/polkit_presence.h"

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include "polkit/polkit_client.h"
#include "support/private_system_bus.h"

namespace quorvane::platform {
namespace {

using testing::PrivateSystemBus;

// The bus the tests point the prompt at; the prompt never looks at DBUS_SYSTEM_BUS_ADDRESS.
std::string busAddress = "unix:path=/nonexistent/quorvane/system_bus_socket";

void useBus(const std::string& address) {
    busAddress = address;
    // A bus named through the environment must change nothing.
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/quorvane/elsewhere", 1);
}

PresenceAnswer evaluate() {
    PolkitPresence presence(busAddress, nullptr);
    try {
        return presence.confirm({"Unlock Quorvane vault", -1});
    } catch (const PresenceUnavailable& unavailable) {
        return {false, "unavailable: " + unavailable.reason()};
    }
}

// mockClient connects to `address` for calls to the polkit mock's own interface; the caller
// closes it with sd_bus_flush_close_unref.
sd_bus* mockClient(const std::string& address) {
    sd_bus* client = nullptr;
    if (sd_bus_new(&client) < 0) return nullptr;
    sd_bus_set_address(client, address.c_str());
    sd_bus_set_bus_client(client, 1);
    if (sd_bus_start(client) < 0) {
        sd_bus_flush_close_unref(client);
        return nullptr;
    }
    return client;
}

std::string unavailability() {
    PolkitPresence presence(busAddress, nullptr);
    return presence.unavailableReason().value_or("(can evaluate)");
}

// Availability needs each of bus, polkit and the registered action; the reason names the first
// that is missing.
TEST(PolkitAvailability, NamesTheFirstMissingPiece) {
    useBus("unix:path=/nonexistent/quorvane/system_bus_socket");
    EXPECT_EQ(unavailability().rfind("the system bus cannot be reached (", 0), 0u)
        << unavailability();

    PrivateSystemBus bus;
    useBus(bus.address());
    EXPECT_EQ(unavailability(), "polkit is not running on the system bus");

    bus.startPolkit(/*registerUnlockAction=*/false);
    // The template knows no EnumerateActions at all: polkit cannot say what it has installed.
    EXPECT_EQ(unavailability().rfind("polkit cannot list its actions (", 0), 0u)
        << unavailability();

    bus.startScriptedPolkit("ret = (True, False, {})");
    EXPECT_EQ(unavailability(), "(can evaluate)");
}

TEST(PolkitAvailability, AnActionListWithoutOursIsNotEnough) {
    PrivateSystemBus bus;
    useBus(bus.address());
    bus.startPolkit(false);
    sd_bus* client = mockClient(bus.address());
    ASSERT_NE(client, nullptr);
    ASSERT_GE(sd_bus_call_method(client, "org.freedesktop.PolicyKit1",
                                 "/org/freedesktop/PolicyKit1/Authority",
                                 "org.freedesktop.DBus.Mock", "AddMethod", nullptr, nullptr,
                                 "sssss", "org.freedesktop.PolicyKit1.Authority",
                                 "EnumerateActions", "s", "a(ssssssuuua{ss})",
                                 "ret = [('org.example.other', '', '', '', '', '', 0, 0, 0, {})]"),
              0);
    sd_bus_flush_close_unref(client);
    EXPECT_EQ(unavailability(), "the polkit action com.quorvane.helper.unlock is not installed");
}

TEST(PolkitAnswer, MapsTheThreeResultCases) {
    struct Case {
        bool authorized, challenge, passed;
        const char* failure;
    };
    const Case cases[] = {
        {true, false, true, ""},
        {true, true, true, ""},
        {false, true, false, "no polkit authentication agent is available"},
        {false, false, false, "user presence was not confirmed"},
    };
    for (const Case& c : cases) {
        polkit::Answer answer = polkit::answerFromResult(c.authorized, c.challenge);
        EXPECT_EQ(answer.passed, c.passed);
        EXPECT_EQ(answer.failure, c.failure);
    }
}

// One polkit template for the prompt tests; each test sets the answer it needs.
class PolkitPrompt : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        bus_ = new PrivateSystemBus;
        bus_->startPolkit();
    }
    static void TearDownTestSuite() {
        delete bus_;
        bus_ = nullptr;
    }
    void SetUp() override {
        useBus(bus_->address());
        bus_->clearCalls();
    }
    static PrivateSystemBus* bus_;
};
PrivateSystemBus* PolkitPrompt::bus_ = nullptr;

TEST_F(PolkitPrompt, AllowedAnswersYes) {
    bus_->setAllowed(true);
    EXPECT_EQ(unavailability(), "(can evaluate)");

    bus_->clearCalls();
    PresenceAnswer reply = evaluate();
    EXPECT_TRUE(reply.passed);
    EXPECT_EQ(reply.failure, "");
    EXPECT_EQ(bus_->promptCalls(), 1u);
    EXPECT_EQ(bus_->lastCheckFlags(), 1u) << "AllowUserInteraction";
    EXPECT_EQ(bus_->lastCheckSubjectKind(), "system-bus-name");
}

TEST_F(PolkitPrompt, RefusedAnswersNoWithTheReason) {
    bus_->startRefusingPolkit();
    EXPECT_EQ(unavailability(), "(can evaluate)");
    PresenceAnswer reply = evaluate();
    bus_->startPolkit();
    EXPECT_FALSE(reply.passed);
    EXPECT_EQ(reply.failure, "user presence was not confirmed");
}

// A rule that says no for this user, whatever the person would type, makes presence unavailable
// instead of offering a dialog that can never pass.
TEST_F(PolkitPrompt, ARuleThatRefusesTheUserMakesPresenceUnavailable) {
    bus_->startScriptedPolkit("ret = (False, False, {})");
    const std::string reason = unavailability();
    PresenceAnswer reply = evaluate();
    const std::size_t prompts = bus_->promptCalls();
    bus_->startPolkit();
    EXPECT_EQ(reason, "polkit refuses com.quorvane.helper.unlock to this user");
    EXPECT_EQ(reply.failure, "unavailable: " + reason);
    EXPECT_EQ(prompts, 0u) << "no dialog is shown";
}

// When the descriptor the caller watches hangs up while polkit is still asking, the check is
// cancelled (polkit then closes the dialog) and the answer comes back at once.
TEST_F(PolkitPrompt, HangUpWithdrawsAPendingCheck) {
    sd_bus* client = mockClient(bus_->address());
    ASSERT_NE(client, nullptr);
    auto mock = [client](const char* method, const char* types, auto... arguments) {
        return sd_bus_call_method(
            client, "org.freedesktop.PolicyKit1", "/org/freedesktop/PolicyKit1/Authority",
            "org.freedesktop.DBus.Mock", method, nullptr, nullptr, types, arguments...);
    };
    ASSERT_GE(mock("AddMethod", "sssss", "org.freedesktop.PolicyKit1.Authority",
                   "CancelCheckAuthorization", "s", "", ""),
              0);
    ASSERT_GE(mock("SimulateHang", "b", 1), 0);

    int application[2];
    ASSERT_EQ(pipe(application), 0);
    std::thread goingAway([&application] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        close(application[1]);
    });
    // A limit far beyond the test's own, so only the hang-up can end the wait.
    polkit::Answer answer = polkit::ask(busAddress, true, std::chrono::hours(1), application[0]);
    goingAway.join();
    close(application[0]);

    sd_bus_message* calls = nullptr;
    int cancelled =
        sd_bus_call_method(client, "org.freedesktop.PolicyKit1",
                           "/org/freedesktop/PolicyKit1/Authority", "org.freedesktop.DBus.Mock",
                           "GetMethodCalls", nullptr, &calls, "s", "CancelCheckAuthorization");
    std::size_t cancellations = 0;
    if (cancelled >= 0 && sd_bus_message_enter_container(calls, 'a', "(tav)") >= 0) {
        while (sd_bus_message_skip(calls, "(tav)") > 0) ++cancellations;
    }
    sd_bus_message_unref(calls);
    mock("SimulateHang", "b", 0);
    mock("ReleaseHangingCalls", "");
    sd_bus_flush_close_unref(client);

    EXPECT_FALSE(answer.passed);
    EXPECT_EQ(answer.failure, "the application went away; the presence prompt was withdrawn");
    EXPECT_EQ(cancellations, 1u);
}

TEST_F(PolkitPrompt, ForbiddenInteractionAsksWithoutAllowingADialog) {
    bus_->setAllowed(true);
    EXPECT_TRUE(polkit::ask(busAddress, false).passed);
    EXPECT_EQ(bus_->lastCheckFlags(), 0u);
}

TEST_F(PolkitPrompt, UnansweredCheckTimesOut) {
    sd_bus* client = mockClient(bus_->address());
    ASSERT_NE(client, nullptr);
    ASSERT_GE(sd_bus_call_method(
                  client, "org.freedesktop.PolicyKit1", "/org/freedesktop/PolicyKit1/Authority",
                  "org.freedesktop.DBus.Mock", "SimulateHang", nullptr, nullptr, "b", 1),
              0);
    polkit::Answer answer = polkit::ask(busAddress, true, std::chrono::milliseconds(300));
    sd_bus_call_method(client, "org.freedesktop.PolicyKit1",
                       "/org/freedesktop/PolicyKit1/Authority", "org.freedesktop.DBus.Mock",
                       "SimulateHang", nullptr, nullptr, "b", 0);
    sd_bus_flush_close_unref(client);
    EXPECT_FALSE(answer.passed);
    EXPECT_EQ(answer.failure, "the presence prompt timed out");
}

TEST(PolkitPromptScripted, NoAgentAndBusErrorsAreFailures) {
    PrivateSystemBus bus;
    useBus(bus.address());
    bus.startScriptedPolkit("ret = (False, True, {})");
    PresenceAnswer reply = evaluate();
    EXPECT_FALSE(reply.passed);
    EXPECT_EQ(reply.failure, "no polkit authentication agent is available");

    bus.startScriptedPolkit(
        "raise dbus.exceptions.DBusException('not today', "
        "name='org.freedesktop.PolicyKit1.Error.Failed')");
    reply = evaluate();
    EXPECT_FALSE(reply.passed);
    EXPECT_EQ(reply.failure, "polkit check failed (not today)");

    bus.stopPolkit();
    // With polkit gone, presence can no longer be offered at all.
    reply = evaluate();
    EXPECT_FALSE(reply.passed);
    EXPECT_EQ(reply.failure, "unavailable: polkit is not running on the system bus");
}

}  // namespace
}  // namespace quorvane::platform
