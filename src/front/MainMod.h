// The console front end: the program's entry, its console output and the channel change.
#pragma once

#include <string_view>

#include "platform/APIdeclarations.h"

namespace MainMod {

// Exit statuses, the same on every platform.
inline constexpr int kExitSuccess = 0;      // the channel changed; a good --list, --help
inline constexpr int kExitNotChanged = 1;   // the channel was not changed, or not completely
inline constexpr int kExitCommandLine = 2;  // no arguments, or arguments that cannot be used

// Standard output, set once at the start of Main and never closed.
extern APIdeclarations::PlatformHandle ConsoleOut;

// Writes `text` to ConsoleOut exactly as given. True when every byte was written.
bool WriteConsoleText(std::string_view text);

// Runs the whole program on the command line after the program's name and returns the exit
// status: leading options, then the argument text of the channel change.
int Main(const APIdeclarations::ArgumentWords& arguments);

// Main on an argument text cut into words at each blank, as Linux joins its arguments. For tests.
int Main(std::string_view argumentText);

}  // namespace MainMod
