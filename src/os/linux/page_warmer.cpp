#include "os/page_warmer.h"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <system_error>

namespace quorvane::os {
namespace {

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14; older kernels answer EINVAL
#endif

// One huge page per step: stop() never waits longer than one step takes.
constexpr std::size_t kStep = std::size_t{2} << 20;

}  // namespace

PageWarmer::~PageWarmer() {
    {
        std::lock_guard state(stateMutex_);
        quit_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
}

void PageWarmer::warm(void* begin, void* end) noexcept {
    auto* first = static_cast<char*>(begin);
    auto* last = static_cast<char*>(end);
    {
        std::lock_guard state(stateMutex_);
        if (disabled_ || first >= last) return;
        if (next_ < first || next_ > last) next_ = first;
        end_ = last;
        if (!thread_.joinable()) {
            try {
                thread_ = std::thread([this] { run(); });
            } catch (const std::system_error&) {
                disabled_ = true;  // no thread to be had: the reader faults its pages itself
                return;
            }
        }
    }
    wake_.notify_one();
}

void PageWarmer::stop() noexcept {
    // Every request line passes here; a warmer never started has nothing to stop. thread_ only
    // changes in warm(), on this same thread.
    if (!thread_.joinable()) return;
    {
        std::lock_guard state(stateMutex_);
        next_ = end_ = nullptr;
    }
    // The thread takes stepMutex_ before it lets go of stateMutex_, so a step begun before the
    // request was cleared holds it now, and this waits for that step to end.
    std::lock_guard step(stepMutex_);
}

void PageWarmer::run() noexcept {
    for (;;) {
        std::unique_lock state(stateMutex_);
        wake_.wait(state, [this] { return quit_ || next_ < end_; });
        if (quit_) return;
        // Steps end on huge-page boundaries so each populates whole huge pages.
        auto address = reinterpret_cast<std::uintptr_t>(next_);
        std::uintptr_t boundary = (address + kStep) & ~(std::uintptr_t{kStep} - 1);
        char* step = next_;
        std::size_t length = std::min<std::size_t>(boundary - address, end_ - next_);
        next_ += length;
        std::lock_guard populating(stepMutex_);
        state.unlock();
        int error = ::madvise(step, length, MADV_POPULATE_WRITE) == 0 ? 0 : errno;
        if (error != 0 && error != EINTR) {
            std::lock_guard again(stateMutex_);
            // EINVAL: a kernel without populate-on-request. Anything else (no memory, a range
            // that is not what the caller said) ends this request; the reader faults the rest.
            if (error == EINVAL) disabled_ = true;
            next_ = end_ = nullptr;
        }
    }
}

}  // namespace quorvane::os
