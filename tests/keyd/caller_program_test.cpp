#include "keyd/caller_program.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace quorvane::keyd {
namespace {

TEST(CallerProgram, NamesAreShownOnlyAsPrintableAscii) {
    struct Case {
        std::string raw;
        std::string shown;
    };
    const Case cases[] = {
        {"quorvane-app", "quorvane-app"},
        {"a) 1 (b", "a) 1 (b"},
        // A name that would move a terminal's cursor or start a new line of the dialog.
        {"app\n\x1b[1A", "app??[1A"},
        {"\x7f\t", "??"},
        // Bytes of another script are not shown as they are: the bus carries only valid UTF-8.
        {"caf\xc3\xa9", "caf??"},
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(printableName(c.raw), c.shown) << c.raw;
}

// A process named `name` that runs a child, as an application runs the helper; the child's pid
// comes back through a pipe. Both end when the test's descriptor closes.
struct NamedParent {
    pid_t parent = -1;
    pid_t child = -1;

    explicit NamedParent(const char* name) {
        int pids[2];
        EXPECT_EQ(::pipe(pids), 0);
        parent = ::fork();
        if (parent == 0) {
            ::prctl(PR_SET_NAME, name);
            const pid_t helper = ::fork();
            if (helper == 0) {
                ::pause();
                ::_exit(0);
            }
            (void)!::write(pids[1], &helper, sizeof helper);
            ::waitpid(helper, nullptr, 0);
            ::_exit(0);
        }
        ::close(pids[1]);
        EXPECT_EQ(::read(pids[0], &child, sizeof child), static_cast<ssize_t>(sizeof child));
        ::close(pids[0]);
    }
    ~NamedParent() {
        ::kill(child, SIGKILL);
        ::waitpid(parent, nullptr, 0);
    }
};

TEST(CallerProgram, TheProgramIsTheCallersParentByTheKernelsName) {
    // The child inherits the name, parentheses and spaces included; they must not shift the
    // fields of its stat line.
    NamedParent application("a) 1 (vault\x1b");
    EXPECT_EQ(parentOf(application.child), application.parent);
    EXPECT_EQ(programOfCaller(application.child), "a) 1 (vault?");
    EXPECT_EQ(parentOf(::getpid()), ::getppid());
}

TEST(CallerProgram, ACallerThatCannotBeFoundIsAnUnknownProgram) {
    const pid_t gone = ::fork();
    if (gone == 0) ::_exit(0);
    ::waitpid(gone, nullptr, 0);
    EXPECT_EQ(parentOf(gone), -1);
    EXPECT_EQ(programOfCaller(gone), "an unknown program");
    EXPECT_EQ(programOfCaller(0), "an unknown program");
}

}  // namespace
}  // namespace quorvane::keyd
