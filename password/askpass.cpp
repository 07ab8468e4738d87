#include "password/askpass.h"

#include "password/scrambler.h"
#include "platform/codepage/codepage.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <termios.h>
#include <unistd.h>

namespace vx::password {
namespace {

std::string WithoutLineEnd(std::string line)
{
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

// One line from the terminal on standard input, without echo.
std::string TerminalLine()
{
    std::string line;
    termios saved{};
    const bool quietable = ::tcgetattr(STDIN_FILENO, &saved) == 0;
    // Echo goes off before the prompt shows, so nothing typed after it is shown.
    if (quietable) {
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::cerr << "Vellamorix password: " << std::flush;
    std::getline(std::cin, line);
    if (quietable)
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::cerr << "\n";
    return line;
}

// The password as the source gives it; false with `why` when it cannot be had.
bool ReadPassword(const PasswordSource &source, std::string &password, std::string &why)
{
    const bool terminal = ::isatty(STDIN_FILENO);
    switch (source.from) {
    case PasswordFrom::TerminalElseStdin:
        if (terminal) {
            password = TerminalLine();
        } else {
            std::getline(std::cin, password);
        }
        break;
    case PasswordFrom::Terminal:
        if (!terminal) {
            why = "no terminal to ask on (use --password-file FILE or --password-stdin)";
            return false;
        }
        password = TerminalLine();
        break;
    case PasswordFrom::File: {
        std::ifstream in(source.file, std::ios::binary);
        if (!in) {
            why = "cannot read the password file " + source.file + ": " + std::strerror(errno);
            return false;
        }
        std::getline(in, password);
        break;
    }
    case PasswordFrom::Stdin:
        std::getline(std::cin, password);
        break;
    }
    password = WithoutLineEnd(std::move(password));
    return true;
}

} // namespace

std::string RequireConsolePassword(const PasswordSource &source, const std::string &what)
{
    AnsiString stored;
    try {
        stored = ReadStoredPassword();
    } catch (const EPasswordReadError &) {
        return "the console password cannot be read from the registry store; " + what + " needs it";
    }
    if (stored.empty())
        return {};
    std::string given, why;
    if (!ReadPassword(source, given, why))
        return "a console password is set and " + what + " needs it: " + why;
    bool right = false;
    try {
        right = CheckPassword(vx::codepage::Utf8ToAnsi(given));
    } catch (const EConvertError &) {
        right = false;
    }
    return right ? std::string() : "wrong password; " + what + " needs the console password";
}

} // namespace vx::password
