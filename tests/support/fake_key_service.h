#pragma once

#include <systemd/sd-bus.h>

#include <atomic>
#include <string>
#include <thread>

namespace quorvane::testing {

// FakeKeyService owns the key service's name on a private bus and fails every call to it, on a
// thread of its own, in one of the ways a real service can fail its callers: with an error reply,
// or by leaving the bus without replying. For the tests of the helper's client; the service
// itself is tested as the built program (KeyServiceProcess).
class FakeKeyService {
  public:
    enum class Failure {
        error,  // replies with the error `errorName` and message `errorText`
        leave,  // leaves the bus at each call, never replying; a standby takes the name at once
    };
    // Owns the name when it returns. Throws std::runtime_error on failure.
    FakeKeyService(const std::string& busAddress, Failure failure, std::string errorName = "",
                   std::string errorText = "");
    ~FakeKeyService();
    FakeKeyService(const FakeKeyService&) = delete;
    FakeKeyService& operator=(const FakeKeyService&) = delete;

    // calls counts the method calls that reached the fake.
    int calls() const { return calls_; }

  private:
    static int onCall(sd_bus_message* call, void* userdata, sd_bus_error* error);
    // join connects and asks for the name: owned at once, or `queued` behind its owner.
    sd_bus* join(bool queued);
    void serve();

    std::string address_;
    Failure failure_;
    std::string errorName_;
    std::string errorText_;
    sd_bus* bus_ = nullptr;      // owns the name; used by the serving thread once it runs
    sd_bus* standby_ = nullptr;  // queued for the name (Failure::leave)
    std::atomic<bool> stop_{false};
    std::atomic<int> calls_{0};
    bool left_ = false;  // touched by the serving thread only
    std::thread thread_;
};

}  // namespace quorvane::testing
