#include "keyd/key_service.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "crypto/p256.h"
#include "key_service/key_service_interface.h"
#include "keyd/caller_program.h"

namespace quorvane::keyd {
namespace {

namespace errors = platform::key_service::errors;
using platform::key_service::kBusName;
using platform::key_service::kInterface;
using platform::key_service::kObjectPath;

constexpr const char* kBusDaemon = "org.freedesktop.DBus";
constexpr const char* kBusDaemonPath = "/org/freedesktop/DBus";
// Unique names remembered with their uid; past this many the memory starts afresh.
constexpr std::size_t kRememberedUsers = 4096;

// What a method may do, in one column of the table below: a method that asks the person holds
// a prompt open for minutes, so it is the one that a user's share of the service limits.
enum class Reach { answersAtOnce, asksThePerson };

}  // namespace

// One call being answered.
struct KeyService::Call {
    std::uint64_t id = 0;
    KeyService* service = nullptr;
    const Method* method = nullptr;
    platform::sd_bus_objects::Message message;
    std::string sender;
    uid_t user = 0;
    pid_t process = 0;                        // the caller's, when the bus daemon knows it
    Bytes point;                              // Decrypt's argument, checked
    platform::sd_bus_objects::Slot lookup;    // the bus daemon's answer: the caller's uid
    platform::sd_bus_objects::Slot watch;     // the caller leaving the bus
    platform::sd_bus_objects::Slot presence;  // whether the caller is still on the bus
    std::uint64_t check = 0;                  // the open question to polkit
    bool prompting = false;                   // counted in prompting_
};

// One method of the interface: its entry on the bus (name, signatures, argument names), what it
// may do, the argument it reads (checked before anybody is asked or anything is looked up), and
// how it is answered when it answers at once.
struct KeyService::Method {
    sd_bus_vtable entry;
    Reach reach;
    // Reads and checks the argument into the call; the problem in plain words, or empty.
    std::string (*readArgument)(sd_bus_message* message, Call& call);
    // Answers the call (a reply, or an error set in `error` and a negative result).
    int (*answer)(KeyKeeper& keeper, Call& call, sd_bus_error* error);
};

namespace {

int fail(sd_bus_error* error, const char* name, const std::string& text) {
    return sd_bus_error_set(error, name, text.c_str());
}

const char* errorNameOf(const KeeperError& failure) {
    switch (failure.kind()) {
        case KeeperError::Kind::noKey:
            return errors::kNoKey;
        case KeeperError::Kind::unusable:
            return errors::kUnusable;
        case KeeperError::Kind::failed:
            break;
    }
    return errors::kFailed;
}

int failFromKeeper(sd_bus_error* error, const KeeperError& failure) {
    return fail(error, errorNameOf(failure), failure.text());
}

int replyWithKey(sd_bus_message* call, const PublicKey& key) {
    sd_bus_message* reply = nullptr;
    int result = sd_bus_message_new_method_return(call, &reply);
    if (result >= 0) {
        result = sd_bus_message_append_array(reply, 'y', key.point.data(), key.point.size());
    }
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

std::string noArgument(sd_bus_message*, KeyService::Call&) { return {}; }

// readCredentials reads the bus daemon's GetConnectionCredentials reply: the uid, which every
// bus daemon gives, and the process id where it knows it (0 otherwise). Nothing when the reply
// is unreadable or carries no uid.
std::optional<KeyService::Caller> readCredentials(sd_bus_message* reply) {
    std::optional<std::uint32_t> uid;
    std::uint32_t pid = 0;
    if (sd_bus_message_enter_container(reply, 'a', "{sv}") < 0) return std::nullopt;
    for (;;) {
        const int entered = sd_bus_message_enter_container(reply, 'e', "sv");
        if (entered < 0) return std::nullopt;
        if (entered == 0) break;
        const char* key = nullptr;
        if (sd_bus_message_read(reply, "s", &key) < 0) return std::nullopt;
        const std::string_view name(key);
        if (name == "UnixUserID" || name == "ProcessID") {
            std::uint32_t value = 0;
            if (sd_bus_message_read(reply, "v", "u", &value) < 0) return std::nullopt;
            if (name == "UnixUserID") {
                uid = value;
            } else {
                pid = value;
            }
        } else if (sd_bus_message_skip(reply, "v") < 0) {
            return std::nullopt;
        }
        if (sd_bus_message_exit_container(reply) < 0) return std::nullopt;
    }
    if (!uid) return std::nullopt;
    return KeyService::Caller{static_cast<uid_t>(*uid), static_cast<pid_t>(pid)};
}

// The ephemeral point of a blob: 65 bytes on the curve. Anything else is refused before anybody
// is asked and before it is kept, so a caller cannot hold the service's memory with it.
std::string readPoint(sd_bus_message* message, KeyService::Call& call) {
    const void* data = nullptr;
    std::size_t size = 0;
    if (sd_bus_message_read_array(message, 'y', &data, &size) < 0) {
        return "the argument is not a byte array";
    }
    std::span<const std::uint8_t> point(static_cast<const std::uint8_t*>(data), size);
    if (!p256::isValidPoint(point)) return "the ephemeral point is not a P-256 point";
    call.point.assign(point.begin(), point.end());
    return {};
}

int answerStatus(KeyKeeper& keeper, KeyService::Call& call, sd_bus_error*) {
    const KeyStatus status = keeper.status(call.user);
    return sd_bus_reply_method_return(call.message.get(), "sbbsu", kindName(status.kind),
                                      status.exists, !status.problem.has_value(),
                                      status.problem.value_or("").c_str(), status.held);
}

int answerCreateKey(KeyKeeper& keeper, KeyService::Call& call, sd_bus_error* error) {
    try {
        return replyWithKey(call.message.get(), keeper.createOrGet(call.user));
    } catch (const KeeperError& failure) {
        return failFromKeeper(error, failure);
    }
}

int answerGetPublicKey(KeyKeeper& keeper, KeyService::Call& call, sd_bus_error* error) {
    try {
        std::optional<PublicKey> key = keeper.publicKey(call.user);
        if (!key) return fail(error, errors::kNoKey, "there is no presence key for this user");
        return replyWithKey(call.message.get(), *key);
    } catch (const KeeperError& failure) {
        return failFromKeeper(error, failure);
    }
}

int answerDeleteKey(KeyKeeper& keeper, KeyService::Call& call, sd_bus_error* error) {
    try {
        keeper.remove(call.user);
    } catch (const KeeperError& failure) {
        return failFromKeeper(error, failure);
    }
    return sd_bus_reply_method_return(call.message.get(), "");
}

// note writes one decision to the journal (standard error, with a syslog priority prefix, which
// journald reads): who, what, and the outcome; never key material.
void note(int priority, const KeyService::Call& call, const char* outcome,
          const std::string& detail = {}) {
    std::fprintf(stderr, "<%d>uid %u %s: %s%s%s\n", priority, static_cast<unsigned>(call.user),
                 call.method->entry.x.method.member, outcome, detail.empty() ? "" : ": ",
                 detail.c_str());
}

constexpr int kInfo = 6;
constexpr int kNotice = 5;

}  // namespace

// Which methods may hold a prompt open is a property of the service's fairness: it stands here,
// in one column, and KeyService::run is the only place that acts on it.
std::span<const KeyService::Method> KeyService::methods() {
    static const Method kMethods[] = {
        {SD_BUS_METHOD_WITH_NAMES("Status", "", "", "sbbsu",
                                  SD_BUS_PARAM(kind) SD_BUS_PARAM(exists) SD_BUS_PARAM(usable)
                                      SD_BUS_PARAM(problem) SD_BUS_PARAM(keys),
                                  onCall, SD_BUS_VTABLE_UNPRIVILEGED),
         Reach::answersAtOnce, noArgument, answerStatus},
        {SD_BUS_METHOD_WITH_NAMES("CreateKey", "", "", "ays",
                                  SD_BUS_PARAM(public_key) SD_BUS_PARAM(kind), onCall,
                                  SD_BUS_VTABLE_UNPRIVILEGED),
         Reach::answersAtOnce, noArgument, answerCreateKey},
        {SD_BUS_METHOD_WITH_NAMES("GetPublicKey", "", "", "ays",
                                  SD_BUS_PARAM(public_key) SD_BUS_PARAM(kind), onCall,
                                  SD_BUS_VTABLE_UNPRIVILEGED),
         Reach::answersAtOnce, noArgument, answerGetPublicKey},
        {SD_BUS_METHOD_WITH_NAMES("DeleteKey", "", "", "", "", onCall, SD_BUS_VTABLE_UNPRIVILEGED),
         Reach::answersAtOnce, noArgument, answerDeleteKey},
        {SD_BUS_METHOD_WITH_NAMES("Decrypt", "ay", SD_BUS_PARAM(ephemeral_point), "ay",
                                  SD_BUS_PARAM(shared_secrets), onCall, SD_BUS_VTABLE_UNPRIVILEGED),
         Reach::asksThePerson, readPoint, nullptr},
    };
    return kMethods;
}

const KeyService::Method* KeyService::methodNamed(const char* name) {
    if (name == nullptr) return nullptr;
    for (const Method& method : methods()) {
        if (std::strcmp(method.entry.x.method.member, name) == 0) return &method;
    }
    return nullptr;
}

KeyService::KeyService(sd_bus* bus, sd_event* event, KeyKeeper& keeper,
                       std::chrono::milliseconds idleLimit)
    : bus_(bus), event_(event), keeper_(keeper), callerChecks_(bus), idleLimit_(idleLimit) {
    // The object's table on the bus is the method table's entries, framed.
    vtable_.push_back(SD_BUS_VTABLE_START(0));
    for (const Method& method : methods()) vtable_.push_back(method.entry);
    vtable_.push_back(SD_BUS_VTABLE_END);
    int result = sd_bus_add_object_vtable(bus_, object_.out(), kObjectPath, kInterface,
                                          vtable_.data(), this);
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
    // Open checks are withdrawn by callerChecks_; the calls' slots end their callbacks.
    calls_.clear();
    sd_event_source_unref(timer_);
}

void KeyService::releaseName() { sd_bus_release_name(bus_, kBusName); }

void KeyService::stop() {
    if (stopping_) return;
    stopping_ = true;
    releaseName();
    std::vector<std::uint64_t> prompts;
    for (const auto& [id, call] : calls_) {
        if (call->method->reach == Reach::asksThePerson) prompts.push_back(id);
    }
    for (std::uint64_t id : prompts) finish(id, errors::kFailed, "the key service is stopping");
}

void KeyService::touch() {
    idle_ = false;
    const auto usec = std::chrono::duration_cast<std::chrono::microseconds>(idleLimit_).count();
    sd_event_source_set_time_relative(timer_, static_cast<std::uint64_t>(usec));
    sd_event_source_set_enabled(timer_, SD_EVENT_ONESHOT);
}

int KeyService::onIdle(sd_event_source*, std::uint64_t, void* userdata) {
    auto* self = static_cast<KeyService*>(userdata);
    // A prompt may stay open for minutes; the service waits for it.
    if (!self->calls_.empty()) {
        self->touch();
        return 0;
    }
    self->idle_ = true;
    return 0;
}

KeyService::Call* KeyService::find(std::uint64_t id) {
    auto found = calls_.find(id);
    return found == calls_.end() ? nullptr : found->second.get();
}

int KeyService::onCall(sd_bus_message* message, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<KeyService*>(userdata);
    const Method* method = methodNamed(sd_bus_message_get_member(message));
    if (method == nullptr) return fail(error, SD_BUS_ERROR_UNKNOWN_METHOD, "no such method");
    self->touch();
    const char* sender = sd_bus_message_get_sender(message);
    if (sender == nullptr) {
        return fail(error, errors::kFailed, "the bus cannot tell which user is calling");
    }
    if (self->stopping_ && method->reach == Reach::asksThePerson) {
        return fail(error, errors::kFailed, "the key service is stopping");
    }
    auto call = std::make_unique<Call>();
    call->id = ++self->nextId_;
    call->service = self;
    call->method = method;
    call->sender = sender;
    const std::string problem = method->readArgument(message, *call);
    if (!problem.empty()) return fail(error, SD_BUS_ERROR_INVALID_ARGS, problem);
    call->message.hold(message);

    Call& held = *call;
    self->calls_.emplace(held.id, std::move(call));
    auto known = self->callers_.find(held.sender);
    if (known != self->callers_.end()) {
        held.user = known->second.user;
        held.process = known->second.process;
        self->run(held);
        return 1;
    }
    // The bus daemon knows the connection's uid and process from the kernel; no caller can
    // claim others. Asked without waiting: a daemon slow to answer one caller holds up nobody
    // else.
    int result = sd_bus_call_method_async(self->bus_, held.lookup.out(), kBusDaemon, kBusDaemonPath,
                                          kBusDaemon, "GetConnectionCredentials",
                                          onCallerCredentials, &held, "s", sender);
    if (result < 0) {
        self->finish(held.id, errors::kFailed, "the bus cannot tell which user is calling");
    }
    return 1;
}

int KeyService::onCallerCredentials(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto* call = static_cast<Call*>(userdata);
    KeyService* self = call->service;
    const std::optional<Caller> caller =
        sd_bus_message_is_method_error(reply, nullptr) ? std::nullopt : readCredentials(reply);
    if (!caller) {
        self->finish(call->id, errors::kFailed, "the bus cannot tell which user is calling");
        return 0;
    }
    if (self->callers_.size() >= kRememberedUsers) self->callers_.clear();
    self->callers_.emplace(call->sender, *caller);
    call->user = caller->user;
    call->process = caller->process;
    self->run(*call);
    return 0;
}

void KeyService::run(Call& call) {
    if (call.method->reach == Reach::asksThePerson) {
        decrypt(call);
        return;
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    const int result = call.method->answer(keeper_, call, &error);
    if (result < 0) {
        if (!sd_bus_error_is_set(&error)) {
            sd_bus_error_set_errno(&error, result);
        }
        note(kNotice, call, "refused", error.message != nullptr ? error.message : "");
        sd_bus_reply_method_error(call.message.get(), &error);
    } else {
        note(kInfo, call, "answered");
    }
    sd_bus_error_free(&error);
    finish(call.id);
}

void KeyService::decrypt(Call& call) {
    const std::uint64_t id = call.id;
    // A user's share: one prompt at a time, so a flood of calls reaches nobody's agent and
    // spends none of the service's pending replies.
    if (prompting_.count(call.user) != 0) {
        finish(id, errors::kUnavailable, "another presence prompt of this user is open");
        return;
    }
    if (prompting_.size() >= kMaxOpenPrompts) {
        finish(id, errors::kUnavailable, "too many presence prompts are open on this machine");
        return;
    }
    // Checked before anybody is asked: a key the TPM no longer loads fails at once.
    try {
        keeper_.usableKeys(call.user);
    } catch (const KeeperError& failure) {
        finish(id, errorNameOf(failure), failure.text());
        return;
    }
    call.prompting = true;
    prompting_.insert(call.user);

    // A caller that leaves the bus while its prompt is open has its prompt withdrawn: the person
    // is not left with a password dialog nobody waits for. Only the bus daemon's word counts
    // (onNameOwnerChanged checks the sender), and a watch that cannot be set fails the call,
    // since a departure would then go unseen.
    const std::string rule = std::string("type='signal',sender='") + kBusDaemon + "',path='" +
                             kBusDaemonPath + "',interface='" + kBusDaemon +
                             "',member='NameOwnerChanged',arg0='" + call.sender + "'";
    const int result = sd_bus_add_match_async(bus_, call.watch.out(), rule.c_str(),
                                              onNameOwnerChanged, onWatchInstalled, &call);
    if (result < 0) {
        finish(id, errors::kFailed,
               "the caller's connection cannot be watched (" + std::string(std::strerror(-result)) +
                   ")");
    }
}

int KeyService::onWatchInstalled(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto* call = static_cast<Call*>(userdata);
    KeyService* self = call->service;
    if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
        self->finish(call->id, errors::kFailed,
                     std::string("the caller's connection cannot be watched (") +
                         (error->message != nullptr ? error->message : error->name) + ")");
        return 0;
    }
    // It may have left before the watch was in place.
    const int result = sd_bus_call_method_async(self->bus_, call->presence.out(), kBusDaemon,
                                                kBusDaemonPath, kBusDaemon, "GetNameOwner",
                                                onCallerOwner, call, "s", call->sender.c_str());
    if (result < 0)
        self->finish(call->id, errors::kFailed, "the caller cannot be found on the bus");
    return 0;
}

int KeyService::onCallerOwner(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto* call = static_cast<Call*>(userdata);
    KeyService* self = call->service;
    const std::uint64_t id = call->id;
    if (sd_bus_message_is_method_error(reply, nullptr)) {
        self->finish(id, errors::kFailed, "the caller left the bus");
        return 0;
    }
    std::string failure;
    const std::uint64_t check = self->callerChecks_.precheck(
        call->sender,
        [self, id](const std::optional<std::string>& reason) { self->afterPrecheck(id, reason); },
        &failure);
    if (check == 0) {
        self->finish(id, errors::kNotConfirmed, failure);
        return 0;
    }
    call->check = check;
    return 0;
}

void KeyService::afterPrecheck(std::uint64_t id, const std::optional<std::string>& reason) {
    Call* call = find(id);
    if (call == nullptr) return;
    call->check = 0;
    // No prompt is offered that can never pass.
    if (reason) {
        finish(id, errors::kUnavailable, *reason);
        return;
    }
    // The dialog names the program the caller runs for, so that the person can tell their vault
    // application from any other program of theirs that runs the helper.
    std::string failure;
    const std::uint64_t check = callerChecks_.ask(
        call->sender, programOfCaller(call->process),
        [this, id](const platform::polkit::Answer& answer) { afterPrompt(id, answer); }, &failure);
    if (check == 0) {
        finish(id, errors::kNotConfirmed, failure);
        return;
    }
    call->check = check;
}

void KeyService::afterPrompt(std::uint64_t id, const platform::polkit::Answer& answer) {
    Call* call = find(id);
    if (call == nullptr) return;
    call->check = 0;
    if (!answer.passed) {
        const bool nobodyAsked = answer.failure == platform::polkit::kNoAgent;
        finish(id, nobodyAsked ? errors::kNoAgent : errors::kNotConfirmed, answer.failure);
        return;
    }
    try {
        // Read again: the key may have been deleted while the person was asked.
        std::vector<HeldKey> keys = keeper_.usableKeys(call->user);
        std::vector<SecretBytes> secrets = keeper_.sharedSecrets(keys, call->point);
        const int result = replyWithSecrets(bus_, call->message.get(), secrets);
        if (result < 0) {
            finish(id, errors::kFailed, "the answer cannot be sent");
            return;
        }
    } catch (const KeeperError& failure) {
        finish(id, errorNameOf(failure), failure.text());
        return;
    }
    note(kInfo, *call, "confirmed, answered");
    finish(id);
}

int KeyService::onNameOwnerChanged(sd_bus_message* signal, void* userdata, sd_bus_error*) {
    auto* call = static_cast<Call*>(userdata);
    // Anybody can send this signal to the service's unique name; only the bus daemon's own
    // (whose sender the daemon itself sets) says that a connection went.
    const char* sender = sd_bus_message_get_sender(signal);
    if (sender == nullptr || std::strcmp(sender, kBusDaemon) != 0) return 0;
    const char* name = nullptr;
    const char* oldOwner = nullptr;
    const char* newOwner = nullptr;
    if (sd_bus_message_read(signal, "sss", &name, &oldOwner, &newOwner) < 0) return 0;
    if (name == nullptr || call->sender != name) return 0;
    if (newOwner != nullptr && *newOwner != '\0') return 0;
    call->service->finish(call->id, errors::kFailed, "the caller left the bus");
    return 0;
}

void KeyService::finish(std::uint64_t id, const char* errorName, const std::string& text) {
    auto found = calls_.find(id);
    if (found == calls_.end()) return;
    std::unique_ptr<Call> call = std::move(found->second);
    calls_.erase(found);
    if (call->check != 0) callerChecks_.cancel(call->check);
    if (call->prompting) prompting_.erase(call->user);
    if (errorName != nullptr) {
        // Every call gets an answer, even one whose caller has gone: nothing is left to silence.
        sd_bus_reply_method_errorf(call->message.get(), errorName, "%s", text.c_str());
        note(kNotice, *call, "refused", text);
    }
    touch();
}

}  // namespace quorvane::keyd
