#include "support/fake_key_service.h"

#include <cstring>
#include <stdexcept>

#include "key_service/key_service_interface.h"

namespace quorvane::testing {

namespace interface = platform::key_service;

sd_bus* FakeKeyService::join(bool queued) {
    sd_bus* bus = nullptr;
    int r = sd_bus_new(&bus);
    if (r >= 0) r = sd_bus_set_address(bus, address_.c_str());
    if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
    if (r >= 0) r = sd_bus_start(bus);
    if (r >= 0) r = sd_bus_add_object(bus, nullptr, interface::kObjectPath, &onCall, this);
    if (r >= 0) r = sd_bus_request_name(bus, interface::kBusName, queued ? SD_BUS_NAME_QUEUE : 0);
    if (r < 0) {
        sd_bus_flush_close_unref(bus);
        throw std::runtime_error(std::string("the fake key service cannot join the bus: ") +
                                 std::strerror(-r));
    }
    return bus;
}

FakeKeyService::FakeKeyService(const std::string& busAddress, Failure failure,
                               std::string errorName, std::string errorText)
    : address_(busAddress),
      failure_(failure),
      errorName_(std::move(errorName)),
      errorText_(std::move(errorText)) {
    bus_ = join(false);
    if (failure_ == Failure::leave) standby_ = join(true);
    thread_ = std::thread([this] { serve(); });
}

FakeKeyService::~FakeKeyService() {
    stop_ = true;
    thread_.join();
    sd_bus_flush_close_unref(bus_);
    if (standby_ != nullptr) sd_bus_flush_close_unref(standby_);
}

int FakeKeyService::onCall(sd_bus_message* call, void* userdata, sd_bus_error*) {
    auto* self = static_cast<FakeKeyService*>(userdata);
    const char* called = sd_bus_message_get_interface(call);
    if (called == nullptr || std::strcmp(called, interface::kInterface) != 0) return 0;
    ++self->calls_;
    if (self->failure_ == Failure::leave) {
        self->left_ = true;
        return 1;
    }
    return sd_bus_reply_method_errorf(call, self->errorName_.c_str(), "%s",
                                      self->errorText_.c_str());
}

void FakeKeyService::serve() {
    while (!stop_) {
        int r = sd_bus_process(bus_, nullptr);
        if (r < 0) return;
        if (left_) {
            // The bus tells the caller that the recipient went away without replying, and hands
            // the name to the standby in the same step, as activation would start the service
            // again: the next call finds a service that is there, and fails the same way.
            sd_bus_close_unref(bus_);
            bus_ = standby_;
            standby_ = join(true);
            left_ = false;
            continue;
        }
        if (r == 0) sd_bus_wait(bus_, 50000);
    }
}

}  // namespace quorvane::testing
