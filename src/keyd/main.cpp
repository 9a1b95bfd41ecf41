// quorvane-keyd, the key service: holds the presence keys of every user of this machine and
// uses one only for its user, after polkit confirmed the person's presence (docs/key-service.md).
// The system bus starts it on the first call; it runs as its own system user and ends when idle.
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string_view>
#include <vector>

#include "keyd/key_files.h"
#include "keyd/key_keeper.h"
#include "keyd/key_service.h"
#include "keyd/options.h"
#include "os/process.h"

namespace {

int failed(const std::string& text) {
    std::fprintf(stderr, "quorvane-keyd: %s\n", text.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace quorvane;
    // Keys, auth values and shared secrets pass through this process: nobody may dump or trace it.
    os::protectProcess();
    os::quietLibraryLogs();
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    std::string problem;
    std::optional<keyd::Options> options = keyd::parseOptions(arguments, &problem);
    if (!options) return failed(problem);

    sd_event* event = nullptr;
    sd_bus* bus = nullptr;
    int result = sd_event_default(&event);
    if (result >= 0) result = sd_bus_open_system(&bus);
    if (result >= 0) result = sd_bus_attach_event(bus, event, SD_EVENT_PRIORITY_NORMAL);
    if (result < 0)
        return failed(std::string("the system bus cannot be reached (") + std::strerror(-result) +
                      ")");
    int status = 0;
    try {
        keyd::KeyFiles files(options->stateDirectory);
        keyd::KeyKeeper keeper(files, options->tpm);
        keyd::KeyService service(bus, event, keeper, options->idleLimit);
        while (!service.idle()) {
            if (sd_event_run(event, UINT64_MAX) < 0) break;
        }
        // Calls sent before the name went to the next instance are still answered here. Under
        // systemd the name going away stops the unit at once, with SIGTERM: held back until the
        // process ends, it cannot cut those answers off.
        sigset_t terminate;
        sigemptyset(&terminate);
        sigaddset(&terminate, SIGTERM);
        sigprocmask(SIG_BLOCK, &terminate, nullptr);
        service.releaseName();
        while (sd_bus_process(bus, nullptr) > 0) {
        }
        while (service.busy()) {
            if (sd_event_run(event, UINT64_MAX) < 0) break;
        }
    } catch (const std::exception& failure) {
        status = failed(failure.what());
    }
    sd_bus_flush_close_unref(bus);
    sd_event_unref(event);
    return status;
}
