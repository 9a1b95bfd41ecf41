#pragma once

#include <sys/types.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "keyd/key_keeper.h"
#include "polkit/caller_checks.h"
#include "system_bus/sd_bus_objects.h"

// The key service on the system bus: the object key_service/key_service_interface.h names,
// answering for the keys of whoever calls it (docs/key-service.md). Every caller is known by the
// uid the bus daemon reports for its connection, never by anything it sends.
//
// Every user of the machine shares the service, so no handler waits: the caller's uid, the
// watch on its departure and every question to polkit are asynchronous, and a user holds at
// most one open prompt (kMaxOpenPrompts for the whole machine).
namespace quorvane::keyd {

class KeyService {
  public:
    // Open prompts the whole machine may hold at once: well under the bus's limit of pending
    // replies per connection (128 on the system bus), which every check to polkit counts against.
    static constexpr std::size_t kMaxOpenPrompts = 32;

    // `bus` is connected to the system bus and attached to `event`; `keeper` must outlive the
    // service. Registers the object and takes the well-known name. Raises std::runtime_error when
    // the object cannot be registered or the name not taken (another instance owns it, or the
    // bus policy refuses).
    KeyService(sd_bus* bus, sd_event* event, KeyKeeper& keeper,
               std::chrono::milliseconds idleLimit);
    ~KeyService();
    KeyService(const KeyService&) = delete;
    KeyService& operator=(const KeyService&) = delete;

    // idle: no call came and no prompt was open for the idle limit. The caller then gives up the
    // name, answers what was queued for it meanwhile, and ends once busy() is false.
    bool idle() const { return idle_; }
    // busy: a call is still being answered (a prompt is open, or a lookup is on its way).
    bool busy() const { return !calls_.empty(); }
    // releaseName gives up the well-known name, so that the next call starts a new instance.
    void releaseName();
    // stop ends the service's work: the name goes, every open prompt is withdrawn and its caller
    // answered with an error, and calls that still arrive are refused. busy() is false after it.
    void stop();

    struct Call;
    struct Method;
    // Who a unique name is, as the bus daemon reports it.
    struct Caller {
        uid_t user = 0;
        pid_t process = 0;  // 0 when the bus daemon does not know it
    };

  private:
    static std::span<const Method> methods();
    static const Method* methodNamed(const char* name);
    static int onCall(sd_bus_message* message, void* userdata, sd_bus_error* error);
    static int onCallerCredentials(sd_bus_message* reply, void* userdata, sd_bus_error* error);
    static int onNameOwnerChanged(sd_bus_message* signal, void* userdata, sd_bus_error* error);
    static int onWatchInstalled(sd_bus_message* reply, void* userdata, sd_bus_error* error);
    static int onCallerOwner(sd_bus_message* reply, void* userdata, sd_bus_error* error);
    static int onIdle(sd_event_source* source, std::uint64_t usec, void* userdata);

    void touch();
    void run(Call& call);
    void decrypt(Call& call);
    void afterPrecheck(std::uint64_t id, const std::optional<std::string>& reason);
    void afterPrompt(std::uint64_t id, const platform::polkit::Answer& answer);
    // finish answers the call `id` with an error (when it has not been answered) and forgets it.
    void finish(std::uint64_t id, const char* errorName = nullptr, const std::string& text = {});
    Call* find(std::uint64_t id);

    sd_bus* bus_;
    sd_event* event_;
    KeyKeeper& keeper_;
    platform::polkit::CallerChecks callerChecks_;
    std::chrono::milliseconds idleLimit_;
    std::vector<sd_bus_vtable> vtable_;  // registered with the object: lives as long as it
    platform::sd_bus_objects::Slot object_;
    sd_event_source* timer_ = nullptr;
    bool idle_ = false;
    bool stopping_ = false;
    std::uint64_t nextId_ = 0;
    // Calls not yet answered: waiting for the caller's uid, or Decrypt calls on their way to and
    // through the prompt.
    std::map<std::uint64_t, std::unique_ptr<Call>> calls_;
    // The users with a Decrypt under way.
    std::set<uid_t> prompting_;
    // The uid and process of each unique name asked about: a unique name is never given to
    // another connection while the bus runs, so the answer holds.
    std::unordered_map<std::string, Caller> callers_;
};

}  // namespace quorvane::keyd
