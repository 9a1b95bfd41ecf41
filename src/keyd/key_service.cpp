#include "keyd/key_service.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "platform/key_service/key_service_interface.h"

namespace quorvane::keyd {
namespace {

namespace errors = platform::key_service::errors;
using platform::key_service::kBusName;
using platform::key_service::kInterface;
using platform::key_service::kObjectPath;

constexpr const char* kBusDaemon = "org.freedesktop.DBus";
constexpr const char* kBusDaemonPath = "/org/freedesktop/DBus";

// callerUser asks the bus daemon which user the connection `sender` belongs to: the kernel told
// it when the connection was made, so no caller can claim another user.
bool callerUser(sd_bus* bus, const char* sender, uid_t* user) {
    if (sender == nullptr) return false;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    std::uint32_t uid = 0;
    int result = sd_bus_call_method(bus, kBusDaemon, kBusDaemonPath, kBusDaemon,
                                    "GetConnectionUnixUser", &error, &reply, "s", sender);
    if (result >= 0) result = sd_bus_message_read(reply, "u", &uid);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    if (result < 0) return false;
    *user = static_cast<uid_t>(uid);
    return true;
}

bool stillOnTheBus(sd_bus* bus, const std::string& name) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int owned = 0;
    int result = sd_bus_call_method(bus, kBusDaemon, kBusDaemonPath, kBusDaemon, "NameHasOwner",
                                    &error, &reply, "s", name.c_str());
    if (result >= 0) result = sd_bus_message_read(reply, "b", &owned);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    // When the bus cannot say, the caller is taken to be there: its leaving is still noticed.
    return result < 0 || owned != 0;
}

int fail(sd_bus_error* error, const char* name, const std::string& text) {
    return sd_bus_error_set(error, name, text.c_str());
}

int failFromKeeper(sd_bus_error* error, const KeeperError& failure) {
    switch (failure.kind()) {
        case KeeperError::Kind::noKey:
            return fail(error, errors::kNoKey, failure.text());
        case KeeperError::Kind::unusable:
            return fail(error, errors::kUnusable, failure.text());
        case KeeperError::Kind::failed:
            break;
    }
    return fail(error, errors::kFailed, failure.text());
}

int unknownCaller(sd_bus_error* error) {
    return fail(error, errors::kFailed, "the bus cannot tell which user is calling");
}

int replyWithKey(sd_bus_message* call, const PublicKey& key) {
    sd_bus_message* reply = nullptr;
    int result = sd_bus_message_new_method_return(call, &reply);
    if (result >= 0)
        result = sd_bus_message_append_array(reply, 'y', key.point.data(), key.point.size());
    if (result >= 0) result = sd_bus_message_append(reply, "s", kindName(key.kind));
    if (result >= 0) result = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return result;
}

// replyWithSecrets answers `call` with the shared secrets, one after the other in one byte
// array. They are written straight into the reply's body, which is allocated once at its final
// size; once the reply has left, the body is wiped in place before the message is released, so
// no copy outlives the answer in this process.
int replyWithSecrets(sd_bus* bus, sd_bus_message* call, const std::vector<SecretBytes>& secrets) {
    std::size_t total = 0;
    for (const SecretBytes& secret : secrets) total += secret.size();
    sd_bus_message* reply = nullptr;
    void* space = nullptr;
    int result = sd_bus_message_new_method_return(call, &reply);
    if (result >= 0) result = sd_bus_message_append_array_space(reply, 'y', total, &space);
    if (result >= 0) {
        auto* out = static_cast<std::uint8_t*>(space);
        for (const SecretBytes& secret : secrets) {
            std::memcpy(out, secret.data(), secret.size());
            out += secret.size();
        }
        result = sd_bus_send(bus, reply, nullptr);
        // Written out before the body is wiped (sd-bus queues what the socket does not take).
        if (result >= 0) result = sd_bus_flush(bus);
    }
    if (space != nullptr) wipeMemory(space, total);
    sd_bus_message_unref(reply);
    return result;
}

}  // namespace

// One Decrypt call whose prompt is open: the call, answered when polkit has, and the match that
// tells when its caller leaves the bus.
struct KeyService::Decryption {
    KeyService* service = nullptr;
    std::uint64_t id = 0;
    sd_bus_message* call = nullptr;
    std::string caller;
    uid_t user = 0;
    Bytes point;
    std::uint64_t check = 0;
    sd_bus_slot* leaving = nullptr;

    ~Decryption() {
        sd_bus_slot_unref(leaving);
        sd_bus_message_unref(call);
    }
};

const sd_bus_vtable KeyService::kVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD_WITH_NAMES("Status", "", "", "sbbsu",
                             SD_BUS_PARAM(kind) SD_BUS_PARAM(exists) SD_BUS_PARAM(usable)
                                 SD_BUS_PARAM(problem) SD_BUS_PARAM(keys),
                             KeyService::status, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_NAMES("CreateKey", "", "", "ays",
                             SD_BUS_PARAM(public_key) SD_BUS_PARAM(kind), KeyService::createKey,
                             SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_NAMES("GetPublicKey", "", "", "ays",
                             SD_BUS_PARAM(public_key) SD_BUS_PARAM(kind), KeyService::getPublicKey,
                             SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_NAMES("DeleteKey", "", "", "", "", KeyService::deleteKey,
                             SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_NAMES("Decrypt", "ay", SD_BUS_PARAM(ephemeral_point), "ay",
                             SD_BUS_PARAM(shared_secrets), KeyService::decrypt,
                             SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

KeyService::KeyService(sd_bus* bus, sd_event* event, KeyKeeper& keeper,
                       std::chrono::milliseconds idleLimit)
    : bus_(bus), event_(event), keeper_(keeper), authority_(bus), idleLimit_(idleLimit) {
    int result = sd_bus_add_object_vtable(bus_, &object_, kObjectPath, kInterface, kVtable, this);
    if (result < 0) {
        throw std::runtime_error("the service object cannot be registered (" +
                                 std::string(std::strerror(-result)) + ")");
    }
    const auto usec = std::chrono::duration_cast<std::chrono::microseconds>(idleLimit_).count();
    result = sd_event_add_time_relative(event_, &timer_, CLOCK_MONOTONIC,
                                        static_cast<std::uint64_t>(usec), 0, onIdle, this);
    if (result < 0) {
        throw std::runtime_error("the idle timer cannot be set (" +
                                 std::string(std::strerror(-result)) + ")");
    }
    // Taken last: once the name is ours, calls arrive, and everything above must be ready.
    result = sd_bus_request_name(bus_, kBusName, 0);
    if (result < 0) {
        throw std::runtime_error(std::string("the name ") + kBusName + " cannot be taken (" +
                                 std::strerror(-result) + ")");
    }
}

KeyService::~KeyService() {
    for (auto& [id, decryption] : decryptions_) {
        authority_.cancel(decryption->check);
        delete decryption;
    }
    sd_event_source_unref(timer_);
    sd_bus_slot_unref(object_);
}

void KeyService::releaseName() { sd_bus_release_name(bus_, kBusName); }

void KeyService::touch() {
    idle_ = false;
    const auto usec = std::chrono::duration_cast<std::chrono::microseconds>(idleLimit_).count();
    sd_event_source_set_time_relative(timer_, static_cast<std::uint64_t>(usec));
    sd_event_source_set_enabled(timer_, SD_EVENT_ONESHOT);
}

int KeyService::onIdle(sd_event_source*, std::uint64_t, void* userdata) {
    auto* self = static_cast<KeyService*>(userdata);
    // A prompt may stay open for minutes; the service waits for it.
    if (!self->decryptions_.empty()) {
        self->touch();
        return 0;
    }
    self->idle_ = true;
    return 0;
}

int KeyService::status(sd_bus_message* call, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<KeyService*>(userdata);
    self->touch();
    uid_t user = 0;
    if (!callerUser(self->bus_, sd_bus_message_get_sender(call), &user))
        return unknownCaller(error);
    const KeyStatus status = self->keeper_.status(user);
    return sd_bus_reply_method_return(call, "sbbsu", kindName(status.kind), status.exists,
                                      !status.problem.has_value(),
                                      status.problem.value_or("").c_str(), status.held);
}

int KeyService::createKey(sd_bus_message* call, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<KeyService*>(userdata);
    self->touch();
    uid_t user = 0;
    if (!callerUser(self->bus_, sd_bus_message_get_sender(call), &user))
        return unknownCaller(error);
    try {
        return replyWithKey(call, self->keeper_.createOrGet(user));
    } catch (const KeeperError& failure) {
        return failFromKeeper(error, failure);
    }
}

int KeyService::getPublicKey(sd_bus_message* call, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<KeyService*>(userdata);
    self->touch();
    uid_t user = 0;
    if (!callerUser(self->bus_, sd_bus_message_get_sender(call), &user))
        return unknownCaller(error);
    try {
        std::optional<PublicKey> key = self->keeper_.publicKey(user);
        if (!key) return fail(error, errors::kNoKey, "there is no presence key for this user");
        return replyWithKey(call, *key);
    } catch (const KeeperError& failure) {
        return failFromKeeper(error, failure);
    }
}

int KeyService::deleteKey(sd_bus_message* call, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<KeyService*>(userdata);
    self->touch();
    uid_t user = 0;
    if (!callerUser(self->bus_, sd_bus_message_get_sender(call), &user))
        return unknownCaller(error);
    try {
        self->keeper_.remove(user);
    } catch (const KeeperError& failure) {
        return failFromKeeper(error, failure);
    }
    return sd_bus_reply_method_return(call, "");
}

int KeyService::decrypt(sd_bus_message* call, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<KeyService*>(userdata);
    self->touch();
    const char* sender = sd_bus_message_get_sender(call);
    uid_t user = 0;
    if (!callerUser(self->bus_, sender, &user)) return unknownCaller(error);
    const void* point = nullptr;
    std::size_t size = 0;
    int result = sd_bus_message_read_array(call, 'y', &point, &size);
    if (result < 0) return result;
    // Checked before anybody is asked: a key the TPM no longer loads fails at once, and so does
    // a caller for whom polkit can show no prompt that could pass.
    try {
        self->keeper_.usableKeys(user);
    } catch (const KeeperError& failure) {
        return failFromKeeper(error, failure);
    }
    if (std::optional<std::string> reason = self->authority_.unavailableReason(sender)) {
        return fail(error, errors::kUnavailable, *reason);
    }

    static std::uint64_t nextId = 0;
    auto* decryption = new Decryption;
    decryption->service = self;
    decryption->id = ++nextId;
    decryption->call = sd_bus_message_ref(call);
    decryption->caller = sender;
    decryption->user = user;
    const auto* bytes = static_cast<const std::uint8_t*>(point);
    decryption->point.assign(bytes, bytes + size);
    self->decryptions_[decryption->id] = decryption;

    // A caller that leaves the bus while its prompt is open has its prompt withdrawn: the person
    // is not left with a password dialog nobody waits for.
    const std::string rule = std::string("type='signal',sender='") + kBusDaemon + "',path='" +
                             kBusDaemonPath + "',interface='" + kBusDaemon +
                             "',member='NameOwnerChanged',arg0='" + decryption->caller + "'";
    sd_bus_add_match(self->bus_, &decryption->leaving, rule.c_str(), onNameOwnerChanged,
                     decryption);
    const std::uint64_t id = decryption->id;
    decryption->check = self->authority_.ask(
        decryption->caller,
        [self, id](const Authority::Answer& answer) { self->answer(id, answer); });
    // It may have left before the match was in place.
    auto still = self->decryptions_.find(id);
    if (still != self->decryptions_.end() && !stillOnTheBus(self->bus_, still->second->caller)) {
        self->authority_.cancel(still->second->check);
        self->abandon(id);
    }
    return 1;
}

int KeyService::onNameOwnerChanged(sd_bus_message* signal, void* userdata, sd_bus_error*) {
    auto* decryption = static_cast<Decryption*>(userdata);
    const char* name = nullptr;
    const char* oldOwner = nullptr;
    const char* newOwner = nullptr;
    if (sd_bus_message_read(signal, "sss", &name, &oldOwner, &newOwner) < 0) return 0;
    if (newOwner != nullptr && *newOwner != '\0') return 0;
    KeyService* self = decryption->service;
    self->authority_.cancel(decryption->check);
    self->abandon(decryption->id);
    return 0;
}

void KeyService::abandon(std::uint64_t id) {
    auto found = decryptions_.find(id);
    if (found == decryptions_.end()) return;
    delete found->second;
    decryptions_.erase(found);
    touch();
}

void KeyService::answer(std::uint64_t id, const Authority::Answer& answer) {
    auto found = decryptions_.find(id);
    if (found == decryptions_.end()) return;
    Decryption* decryption = found->second;
    decryptions_.erase(found);
    sd_bus_message* call = decryption->call;
    if (!answer.passed) {
        sd_bus_reply_method_errorf(call, errors::kNotConfirmed, "%s", answer.failure.c_str());
    } else {
        try {
            // Read again: the key may have been deleted while the person was asked.
            std::vector<HeldKey> keys = keeper_.usableKeys(decryption->user);
            std::vector<SecretBytes> secrets = keeper_.sharedSecrets(keys, decryption->point);
            replyWithSecrets(bus_, call, secrets);
        } catch (const KeeperError& failure) {
            sd_bus_error error = SD_BUS_ERROR_NULL;
            failFromKeeper(&error, failure);
            sd_bus_reply_method_error(call, &error);
            sd_bus_error_free(&error);
        }
    }
    delete decryption;
    touch();
}

}  // namespace quorvane::keyd
