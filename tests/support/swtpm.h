#pragma once

#include <sys/types.h>

#include <string>

#include "support/helper_process.h"
#include "support/requirements.h"

namespace quorvane::testing {

// Swtpm runs a software TPM 2.0 (swtpm) on a unix socket in a state directory of its own, for
// the TPM key store's tests. The TCTI string for it is tcti(); the helper takes it through
// QUORVANE_TEST_TPM_TCTI. Stopping and starting again on the same state directory keeps every
// key the TPM made usable (a reboot); a new object has a new TPM with new seeds.
class Swtpm {
  public:
    // available: swtpm is installed. Tests skip without it, but fail under CI (CI=true), where
    // it must be present.
    static bool available();

    // Starts swtpm and waits until its socket accepts. Throws std::runtime_error on failure.
    Swtpm();
    // Stops swtpm (by the process id it wrote) and removes the state.
    ~Swtpm();
    Swtpm(const Swtpm&) = delete;
    Swtpm& operator=(const Swtpm&) = delete;

    std::string tcti() const { return "swtpm:path=" + socket(); }
    EnvironmentOverrides environment() const { return {{"QUORVANE_TEST_TPM_TCTI", tcti()}}; }

    // restart stops swtpm and starts it again on the same state.
    void restart();
    // stop ends swtpm; with `keepState` it is asked to shut down cleanly (which takes swtpm a
    // second or two), otherwise it is killed.
    void stop(bool keepState = true);
    void start();

  private:
    std::string socket() const { return directory_.path() + "/sock"; }
    TempDir directory_;
    pid_t pid_ = -1;
};

// SKIP_WITHOUT_SWTPM skips the current test when swtpm is missing, except under CI.
#define SKIP_WITHOUT_SWTPM()                                                        \
    do {                                                                            \
        if (!::quorvane::testing::Swtpm::available()) {                             \
            if (::quorvane::testing::underCi()) FAIL() << "swtpm is not installed"; \
            GTEST_SKIP() << "swtpm is not installed";                               \
        }                                                                           \
    } while (false)

}  // namespace quorvane::testing
