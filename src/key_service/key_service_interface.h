#pragma once

#include <chrono>
#include <string_view>

// The D-Bus interface of the key service, quorvane-keyd (docs/key-service.md), as both of its
// ends name it: the service, and the helper that calls it.
namespace quorvane::platform::key_service {

// The service's well-known name on the system bus, its one object and its interface.
inline constexpr const char* kBusName = "com.quorvane.KeyService1";
inline constexpr const char* kObjectPath = "/com/quorvane/KeyService1";
inline constexpr const char* kInterface = "com.quorvane.KeyService1";

// Errors the methods answer with, besides the bus's own (org.freedesktop.DBus.Error.*). Each
// carries a message in plain words.
namespace errors {
// The caller has no presence key.
inline constexpr const char* kNoKey = "com.quorvane.KeyService1.Error.NoKey";
// The caller's key exists and can no longer be used (its TPM was cleared or is gone); nobody
// was asked.
inline constexpr const char* kUnusable = "com.quorvane.KeyService1.Error.Unusable";
// No presence prompt can be offered for the caller (polkit is missing, the action is not
// installed, or a rule refuses the caller outright); nobody was asked.
inline constexpr const char* kUnavailable = "com.quorvane.KeyService1.Error.Unavailable";
// The prompt did not pass: refused, cancelled, timed out.
inline constexpr const char* kNotConfirmed = "com.quorvane.KeyService1.Error.NotConfirmed";
// Nobody was asked: no polkit authentication agent serves the caller. A caller run from a
// terminal can start one there and call again.
inline constexpr const char* kNoAgent = "com.quorvane.KeyService1.Error.NoAgent";
// No key can be made for the caller now, or another step failed.
inline constexpr const char* kFailed = "com.quorvane.KeyService1.Error.Failed";
}  // namespace errors

// The kinds of key the service keeps, as Status, CreateKey and GetPublicKey name them.
inline constexpr std::string_view kTpmKind = "tpm";
inline constexpr std::string_view kSoftwareKind = "software";

// How long a caller of Decrypt waits: a minute longer than the service waits for the person at
// a prompt (polkit/authority_check.h), so that the service's own answer arrives first.
inline constexpr std::chrono::minutes kDecryptCallTimeout{6};

}  // namespace quorvane::platform::key_service
