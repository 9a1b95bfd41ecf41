#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/helper_process.h"

namespace quorvane::testing {

// TpmCommandCounter stands between a TPM client and swtpm's command socket and counts the
// commands that pass, by name. A client given tcti() reaches swtpm through it; swtpm's control
// socket is reached through a link beside the counter's socket, uncounted (it carries no TPM
// commands). retarget sends later connections to another swtpm, as if the TPM under the client
// had been cleared or swapped.
class TpmCommandCounter {
  public:
    // `swtpmTcti`: the "swtpm:path=..." TCTI of the swtpm to stand before.
    explicit TpmCommandCounter(const std::string& swtpmTcti);
    ~TpmCommandCounter();
    TpmCommandCounter(const TpmCommandCounter&) = delete;
    TpmCommandCounter& operator=(const TpmCommandCounter&) = delete;

    std::string tcti() const { return "swtpm:path=" + socket(); }
    void retarget(const std::string& swtpmTcti);

    // take returns the commands counted since the last take, by name ("CreatePrimary", or the
    // command code in hex for one not named here), and starts counting afresh.
    std::map<std::string, unsigned> take();

  private:
    std::string socket() const { return directory_.path() + "/sock"; }
    void serve();
    void relay(int client);
    std::string upstream();
    TempDir directory_;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    std::mutex mutex_;
    std::string upstream_;
    std::map<std::string, unsigned> counts_;
    std::vector<int> clients_;
    std::vector<std::thread> relays_;
    std::thread server_;
};

// describe writes counts as "CreatePrimary 1, Load 2", in the order of the names.
std::string describe(const std::map<std::string, unsigned>& counts);

}  // namespace quorvane::testing
