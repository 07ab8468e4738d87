// What the project's own programs do first, so that no other process can borrow them: they will
// not run with a foreign library loaded through the dynamic loader's variables, and nobody of the
// same user may trace them or write into their memory.
#pragma once

#include <string>

namespace vx::process {

// The loader variables that put foreign code into a program.
inline constexpr const char *kLoaderVariables[] = {"LD_PRELOAD", "LD_AUDIT", "LD_LIBRARY_PATH"};

// Makes this process non-dumpable and checks its environment. Empty when the program may go on,
// else why it must not (a loader variable is set).
std::string Harden();

// Harden() for a program's main: prints "PROGRAM: WHY" on standard error and returns false when
// the program must end.
bool HardenOrExplain(const char *program);

} // namespace vx::process
