// The console password on the command line: read from the terminal without echo, from a file or
// from standard input, and checked against the stored one.
#pragma once

#include <string>

namespace vx::password {

enum class PasswordFrom {
    TerminalElseStdin, // the terminal when standard input is one, else its first line
    Terminal,          // the terminal only
    File,              // the first line of a file
    Stdin,             // the first line of standard input
};

struct PasswordSource {
    PasswordFrom from = PasswordFrom::TerminalElseStdin;
    std::string file; // for File
};

// Empty when the program may go on: no password is stored, or the right one was given. Else the
// one-line reason (the stored password cannot be read, nowhere to ask, a wrong password); `what`
// names what needs the password.
std::string RequireConsolePassword(const PasswordSource &source, const std::string &what);

} // namespace vx::password
