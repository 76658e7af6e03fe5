// Child processes for the `call` native and the desktop opener.
//
// call_process runs a command with posix_spawnp: split into arguments by split_command_line, or
// through `/bin/sh -c` with the command as one argument (the shell form, also taken once when the
// program is not found). The child gets default signal actions and an empty signal mask. Its
// standard input is the parent's, bytes fed through a pipe, or a file; its standard output and
// error are /dev/null, a pipe whose bytes are captured, or a file appended to. One poll loop feeds
// the input and drains both outputs together, so a child that fills one pipe while the parent
// writes another never stalls. Any redirection makes the call wait.
//
// A call that waits looks at the core's halt request (Ctrl-C) while it feeds, drains and waits:
// on a halt the child is asked to end (SIGTERM), killed if it has not ended within a second, and
// reaped; the result says it was halted, and the caller raises the halt. Unless it reads the
// parent's terminal, such a child leads a process group of its own, and the halt ends the group:
// what it started in the background ends with it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kel {

struct CallStream {
    enum class Kind : uint8_t {
        Default,   // input: the parent's; output and error: discarded (/dev/null)
        Bytes,     // input only: the bytes below are fed to the child
        File,      // input: read from path; output and error: appended to path
        Capture,   // output and error: collected into bytes
    };
    Kind kind = Kind::Default;
    std::string path;
    std::string bytes;
};

struct CallResult {
    int64_t value = -1;   // the exit status (128 + signal when killed), the pid, or -1 on failure
    bool shell = false;   // the command ran through the shell
    bool halted = false;  // a halt was requested while waiting: the child was ended and reaped
};

CallResult call_process(const std::string& command, bool wait, bool shell, CallStream& in, CallStream& out,
                        CallStream& err);

// Splits a command line into arguments: blanks and tabs separate them; double quotes group; inside
// quotes a run of backslashes before a double quote is halved, an odd one escaping that quote.
// Undoes exactly the quoting with which the console rebuilds the script's arguments.
std::vector<std::string> split_command_line(const std::string& line);

// Waits for a child in a detached thread, so that it leaves no zombie.
void reap_child_later(pid_t pid);

} // namespace kel
