#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

// The program a caller of the key service runs for: what the person is told asks for their
// vault. The caller is the helper, so the program is the helper's parent, the application that
// started it. Found by the service from the kernel's process table, never from anything the
// caller sends.
//
// What the kernel gives every user is the process's short name (its executable's file name,
// cut to 15 bytes), which that process may also set itself: it names the honest application,
// and shows a program of the user that runs the helper under its own name, but it is not proof
// against a program that names itself after the application. The executable's path would be,
// and is readable only with the right to trace the process, which the service does not have.
namespace quorvane::keyd {

// parentOf returns the parent process of `pid` from /proc/<pid>/stat, or -1 when it cannot be
// read (the process is gone, or /proc hides it).
pid_t parentOf(pid_t pid);

// programName returns the short name of process `pid` from /proc/<pid>/comm, made safe to show:
// printable ASCII only, anything else (a control character that would move a terminal's
// cursor, a byte of another script) as '?'. Empty when it cannot be read.
std::string programName(pid_t pid);

// printableName is programName's cleaning of `raw` (without its final newline).
std::string printableName(std::string_view raw);

// programOfCaller returns the name of the program that runs the caller `pid` (its parent), or
// "an unknown program" when it cannot be found.
std::string programOfCaller(pid_t pid);

}  // namespace quorvane::keyd
