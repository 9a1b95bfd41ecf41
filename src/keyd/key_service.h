#pragma once

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>

#include "keyd/key_keeper.h"
#include "polkit/caller_checks.h"

// The key service on the system bus: the object key_service/key_service_interface.h
// names, answering for the keys of whoever calls it (docs/key-service.md). Every caller is known
// by the uid the bus daemon reports for its connection, never by anything it sends.
namespace quorvane::keyd {

class KeyService {
  public:
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
    // busy: a prompt is open.
    bool busy() const { return !decryptions_.empty(); }
    // releaseName gives up the well-known name, so that the next call starts a new instance.
    void releaseName();

  private:
    struct Decryption;
    static const sd_bus_vtable kVtable[];
    static int status(sd_bus_message* call, void* userdata, sd_bus_error* error);
    static int createKey(sd_bus_message* call, void* userdata, sd_bus_error* error);
    static int getPublicKey(sd_bus_message* call, void* userdata, sd_bus_error* error);
    static int deleteKey(sd_bus_message* call, void* userdata, sd_bus_error* error);
    static int decrypt(sd_bus_message* call, void* userdata, sd_bus_error* error);
    static int onNameOwnerChanged(sd_bus_message* signal, void* userdata, sd_bus_error* error);
    static int onIdle(sd_event_source* source, std::uint64_t usec, void* userdata);

    void touch();
    void answer(std::uint64_t number, const platform::polkit::CallerChecks::Answer& answer);
    void abandon(std::uint64_t number);

    sd_bus* bus_;
    sd_event* event_;
    KeyKeeper& keeper_;
    platform::polkit::CallerChecks callerChecks_;
    std::chrono::milliseconds idleLimit_;
    sd_bus_slot* object_ = nullptr;
    sd_event_source* timer_ = nullptr;
    bool idle_ = false;
    std::map<std::uint64_t, Decryption*> decryptions_;
};

}  // namespace quorvane::keyd
