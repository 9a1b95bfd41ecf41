#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>

namespace quorvane::os {

// PageWarmer makes the pages of a buffer resident ahead of the code that fills it, on a thread of
// its own. Where fresh memory is expensive (a virtual machine whose host hands guest memory out
// lazily can charge over 1 ms per MiB on first touch), a long request line read into new pages
// pays that cost page by page while the writer waits; faulting the pages in on another core
// while the line is still arriving overlaps the two.
//
// It only asks the kernel to populate pages and never reads or writes their contents, so the
// code filling the buffer needs no coordination with it; only moving or unmapping the buffer
// does (stop() first). Best effort: where the system cannot populate on request, it does nothing.
// Calls come from one thread, the buffer's owner.
class PageWarmer {
  public:
    PageWarmer() = default;
    // Stops the thread and waits for it.
    ~PageWarmer();
    PageWarmer(const PageWarmer&) = delete;
    PageWarmer& operator=(const PageWarmer&) = delete;

    // warm asks for the pages of [begin, end) to be made resident, in place of any earlier
    // request; pages the current request already covered are not asked for again. The range must
    // lie in one private anonymous mapping that stays where it is until stop(). Returns at once;
    // the first call starts the thread.
    void warm(void* begin, void* end) noexcept;

    // stop forgets the request and returns only when no page of it is being populated any more,
    // so the mapping may then be moved or unmapped.
    void stop() noexcept;

  private:
    void run() noexcept;

    std::mutex stateMutex_;  // guards next_, end_, quit_, disabled_
    std::mutex stepMutex_;   // held by the thread while it populates one step
    std::condition_variable wake_;
    char* next_ = nullptr;  // first page not yet asked for
    char* end_ = nullptr;
    bool quit_ = false;
    bool disabled_ = false;  // the system cannot populate on request, or refused the thread
    std::thread thread_;
};

}  // namespace quorvane::os
