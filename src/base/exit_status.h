#pragma once

// Every exit status the helper ends with, in one place. The parent application reads them.
namespace quorvane::exit_status {

inline constexpr int kSuccess = 0;
inline constexpr int kPromptFailed = 1;             // bare prompt: no context, or prompt not passed
inline constexpr int kNoPresenceKey = 2;            // --check: no presence key can be made
inline constexpr int kCannotEvaluate = 3;           // --check: presence cannot be evaluated
inline constexpr int kDeleteKeyFailed = 4;          // --delete-key failed
inline constexpr int kMissingServiceOrAccount = 5;  // secret commands: bad arguments
inline constexpr int kSecretCommandFailed = 6;      // secret commands: the operation failed

}  // namespace quorvane::exit_status
