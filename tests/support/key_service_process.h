#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "crypto/secret_bytes.h"
#include "support/helper_process.h"

namespace quorvane::testing {

// KeyServiceProcess runs the built key service, quorvane-keyd, on a private system bus
// (PrivateSystemBus), with a state directory of its own and the TPM given as a TCTI (a swtpm, or
// a device that does not exist for a machine without a TPM). It runs as the test's user and
// stays until the object goes (its idle limit is long), stopped by its process id.
class KeyServiceProcess {
  public:
    // Starts the service and waits until it owns its name. Throws std::runtime_error on failure.
    KeyServiceProcess(const std::string& busAddress, const std::string& tpm);
    ~KeyServiceProcess();
    KeyServiceProcess(const KeyServiceProcess&) = delete;
    KeyServiceProcess& operator=(const KeyServiceProcess&) = delete;

    pid_t pid() const { return pid_; }
    const std::string& stateDirectory() const { return state_; }
    // log returns what the service wrote to standard error.
    std::string log() const;

    // publicKey asks the service, as this process's user, for the public key new wraps go to;
    // nothing when there is none.
    std::optional<Bytes> publicKey() const;

  private:
    std::string busAddress_;
    TempDir directory_;
    std::string state_;
    pid_t pid_ = -1;
};

}  // namespace quorvane::testing
