// The top level: the environment start-up, the text-mode console and the script runner.
//
// environment_init evaluates the environment sources embedded in the executable (they make the
// natives, actions, operators, constants and the system object) and loads the error catalogue.
// console_main then runs a script named on the command line, or the read-eval-print cycle on
// standard input and output.
#pragma once

#include "core/cell.h"

#include <string>
#include <vector>

namespace kel {

// Evaluates the embedded environment sources; a start-up error ends the process with its report
// on stderr and a non-zero status.
void environment_init();

// The command line as the console reads it: `--cli` and other switches before the script are
// skipped, the first other argument names the script, the rest are its arguments.
struct CommandLine {
    std::string script;                 // empty: no script
    std::vector<std::string> args;      // the script's own arguments
};
CommandLine parse_command_line(int argc, char** argv);

// The arguments rebuilt as one command-line text: an argument that is empty or holds a blank, a
// tab or a double quote is written in double quotes, a `"` as `\"`, and the backslashes before a
// `"` or before the closing quote doubled.
std::string join_command_line(const std::vector<std::string>& args);

// Where a script's header starts: the first "Kel" (optionally followed by "/System"), then blanks,
// tabs or line ends, then "["; npos when there is none.
size_t find_script_header(const std::string& text);

// Runs the console or the script and ends the process.
[[noreturn]] void console_main(int argc, char** argv);

} // namespace kel
