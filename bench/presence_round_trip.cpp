// An unwrap_touchid round trip with the person's answer taken out (a polkit double that says yes
// at once): through the key service (helper -> service -> TPM -> reply) against the helper's own
// TPM rung, both on swtpm, measured in the same run and interleaved, so that both see the same
// machine. Prints the median of each and the difference.
//
// Usage: quorvane_presence_bench [round trips per path]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "support/key_service_process.h"
#include "support/private_system_bus.h"
#include "support/serve_session.h"
#include "support/swtpm.h"

namespace {

using namespace quorvane::testing;
using Clock = std::chrono::steady_clock;

// A serving helper with a vault key wrapped on the path its environment gives.
struct Path {
    const char* name;
    std::unique_ptr<ServeSession> session;
    std::string blob;
    std::vector<double> milliseconds;

    Path(const char* pathName, EnvironmentOverrides environment) : name(pathName) {
        session = std::make_unique<ServeSession>(std::move(environment));
        const std::string id = session->createSession();
        Json reply = session->call(R"({"cmd":"wrap_touchid","sessionId":")" + id + "\"}");
        if (!reply["ok"].boolean()) {
            std::fprintf(stderr, "%s: wrap failed: %s\n", name, reply["error"].str().c_str());
            std::exit(1);
        }
        blob = reply["blob"].str();
    }

    void roundTrip() {
        const auto start = Clock::now();
        Json reply = session->call(R"({"cmd":"unwrap_touchid","blob":)" +
                                   quorvane::testing::quoted(blob) + "}");
        const auto end = Clock::now();
        if (!reply["ok"].boolean()) {
            std::fprintf(stderr, "%s: unwrap failed: %s\n", name, reply["error"].str().c_str());
            std::exit(1);
        }
        session->call(R"({"cmd":"lock_session","sessionId":")" + reply["sessionId"].str() + "\"}");
        milliseconds.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    }

    double median() {
        std::sort(milliseconds.begin(), milliseconds.end());
        return milliseconds[milliseconds.size() / 2];
    }
};

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 21;
    TempDir directTpmHome, serviceHome;
    PrivateSystemBus bus;
    bus.startPolkit();
    bus.setAllowed(true);
    Swtpm userTpm, serviceTpm;
    KeyServiceProcess service(bus.address(), serviceTpm.tcti());

    EnvironmentOverrides direct = bus.environment();
    direct["QUORVANE_TEST_TPM_TCTI"] = userTpm.tcti();
    direct["XDG_DATA_HOME"] = directTpmHome.path();
    // The helper's own TPM rung answers only where the service does not: point it at a bus
    // without the service.
    PrivateSystemBus busWithoutService;
    busWithoutService.startPolkit();
    busWithoutService.setAllowed(true);
    direct["QUORVANE_TEST_SYSTEM_BUS"] = busWithoutService.address();
    EnvironmentOverrides viaService = bus.environment();
    viaService["QUORVANE_TEST_TPM_TCTI"] = "device:/nonexistent/quorvane/tpmrm0";
    viaService["XDG_DATA_HOME"] = serviceHome.path();

    Path tpm("direct TPM rung", direct);
    Path keyService("key service", viaService);
    tpm.roundTrip();  // warm-up: libraries loaded, the TPM's primary key made once
    keyService.roundTrip();
    tpm.milliseconds.clear();
    keyService.milliseconds.clear();
    for (int i = 0; i < rounds; ++i) {
        tpm.roundTrip();
        keyService.roundTrip();
    }
    const double direct_ms = tpm.median(), service_ms = keyService.median();
    std::printf("unwrap_touchid round trip, median of %d, the prompt answered at once:\n", rounds);
    std::printf("  %-16s %7.1f ms\n", tpm.name, direct_ms);
    std::printf("  %-16s %7.1f ms  (+%.1f ms, %.2fx)\n", keyService.name, service_ms,
                service_ms - direct_ms, service_ms / direct_ms);
    return 0;
}
