// vxreg: read, back up and move the registry store's keys (REGEDIT4 text files).
#include "password/askpass.h"
#include "password/scrambler.h"
#include "platform/codepage/codepage.h"
#include "platform/process/harden.h"
#include "platform/registry/registry.h"
#include "tools/vxreg/regfile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <sstream>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kUsage[] =
    "usage: vxreg query KEY\n"
    "       vxreg export KEY FILE\n"
    "       vxreg import FILE\n"
    "KEY is HKEY_LOCAL_MACHINE\\SOFTWARE\\... (HKLM\\... accepted). Files are REGEDIT4 text,\n"
    "strings in code page 949, CRLF line ends. The store is $VELLAMORIX_REGISTRY when set.\n"
    "When the console has a password, import, and query or export of the key that holds it,\n"
    "ask for it (on the terminal, or as the first line of standard input).\n";

std::string Utf8(const AnsiString &ansi)
{
    return vx::codepage::AnsiToUtf8(ansi);
}

int Fail(const std::string &message)
{
    std::cerr << "vxreg: " << message << "\n";
    return 1;
}

// A key that could not be opened for reading: missing, or a store this user may not read.
int KeyFailure(const char *key)
{
    if (GetLastError() == ERROR_ACCESS_DENIED)
        return Fail("cannot read the registry store " + vx::registry::StorePath() + ": permission denied");
    return Fail(std::string("key not found: ") + key);
}

bool KeyArgument(const char *arg, AnsiString &path)
{
    return vx::regfile::SplitRootPath(vx::codepage::Utf8ToAnsi(arg), path);
}

std::string TypeName(DWORD type)
{
    switch (type) {
    case REG_NONE: return "REG_NONE";
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case REG_DWORD_BIG_ENDIAN: return "REG_DWORD_BIG_ENDIAN";
    case REG_LINK: return "REG_LINK";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    case REG_QWORD: return "REG_QWORD";
    default: return "REG_" + std::to_string(type);
    }
}

std::string ShowData(const TRegValue &v)
{
    char buf[32];
    if ((v.Type == REG_SZ || v.Type == REG_EXPAND_SZ) ) {
        const size_t zero = v.Data.find('\0');
        return Utf8(zero == std::string::npos ? v.Data : v.Data.substr(0, zero));
    }
    if (v.Type == REG_DWORD && v.Data.size() == 4) {
        uint32_t x = 0;
        for (int i = 3; i >= 0; --i)
            x = (x << 8) | static_cast<unsigned char>(v.Data[static_cast<size_t>(i)]);
        std::snprintf(buf, sizeof buf, "0x%x", x);
        return buf;
    }
    if (v.Type == REG_MULTI_SZ) {
        std::string out;
        size_t pos = 0;
        while (pos < v.Data.size()) {
            const size_t zero = v.Data.find('\0', pos);
            const std::string part = v.Data.substr(pos, zero == std::string::npos ? std::string::npos : zero - pos);
            if (part.empty())
                break;
            if (!out.empty())
                out += "\\0";
            out += Utf8(part);
            if (zero == std::string::npos)
                break;
            pos = zero + 1;
        }
        return out;
    }
    std::string out;
    for (unsigned char c : v.Data) {
        std::snprintf(buf, sizeof buf, "%02X", c);
        out += buf;
    }
    return out;
}

// Writes a backup readable by its owner only (it may hold the scrambled password): a new file is
// made 0600, and a regular file that was open to others is closed to them before anything of it
// changes.
int WritePrivateFile(const char *file, const std::string &text)
{
    const int fd = ::open(file, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return Fail(std::string("cannot write ") + file + ": " + std::strerror(errno));
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        if (((st.st_mode & 077) != 0 && ::fchmod(fd, st.st_mode & 0700) != 0) || ::ftruncate(fd, 0) != 0) {
            const int err = errno;
            ::close(fd);
            return Fail(std::string("cannot write ") + file + " for its owner only: " + std::strerror(err));
        }
    }
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int err = errno;
            ::close(fd);
            return Fail(std::string("cannot write ") + file + ": " + std::strerror(err));
        }
        done += static_cast<size_t>(n);
    }
    if (::close(fd) != 0)
        return Fail(std::string("cannot write ") + file + ": " + std::strerror(errno));
    return 0;
}

// Nothing more to ask when no password is stored; else the password must be given, on the
// terminal or as the first line of standard input. `what` names what it guards, for the message.
// Returns 0 or the exit status.
int RequirePassword(const std::string &what)
{
    const std::string why = vx::password::RequireConsolePassword({}, what);
    return why.empty() ? 0 : Fail(why);
}

// True when `path` (below HKEY_LOCAL_MACHINE) is the password's key or, with `below`, holds it.
bool HoldsPassword(const AnsiString &path, bool below)
{
    const std::string key = PasswordKeyPath;
    if (::strcasecmp(path.c_str(), key.c_str()) == 0)
        return true;
    return below && (path.empty() ||
                     (path.size() < key.size() && key[path.size()] == '\\' &&
                      ::strncasecmp(path.c_str(), key.c_str(), path.size()) == 0));
}

int Query(const char *key)
{
    AnsiString path;
    if (!KeyArgument(key, path))
        return Fail(std::string("only HKEY_LOCAL_MACHINE keys are kept in the store: ") + key);
    if (HoldsPassword(path, false))
        if (const int status = RequirePassword("showing its key"))
            return status;
    TRegistry reg(KEY_READ);
    if (!reg.OpenKeyReadOnly("\\" + path))
        return KeyFailure(key);
    const std::string full = "HKEY_LOCAL_MACHINE" + (reg.CurrentPath().empty() ? "" : "\\" + Utf8(reg.CurrentPath()));
    std::cout << full << "\n";
    for (const TRegValue &v : reg.ReadValues())
        std::cout << "    " << (v.Name.empty() ? std::string("(Default)") : Utf8(v.Name)) << "    " << TypeName(v.Type)
                  << "    " << ShowData(v) << "\n";
    std::cout << "\n";
    for (const AnsiString &sub : reg.GetKeyNames())
        std::cout << full << "\\" << Utf8(sub) << "\n";
    return 0;
}

int Export(const char *key, const char *file)
{
    AnsiString path;
    if (!KeyArgument(key, path))
        return Fail(std::string("only HKEY_LOCAL_MACHINE keys are kept in the store: ") + key);
    if (HoldsPassword(path, true))
        if (const int status = RequirePassword("exporting its key"))
            return status;
    TRegistry reg(KEY_READ);
    std::string text;
    if (!vx::regfile::ExportKey(reg, path, text))
        return KeyFailure(key);
    return WritePrivateFile(file, text);
}

int Import(const char *file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return Fail(std::string("cannot read ") + file + ": " + std::strerror(errno));
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad())
        return Fail(std::string("cannot read ") + file);
    std::vector<vx::regfile::Op> ops;
    vx::regfile::ParseError error;
    if (!vx::regfile::Parse(buffer.str(), ops, error))
        return Fail(std::string(file) + ":" + std::to_string(error.line) + ": " + error.message +
                    "; nothing was imported");
    if (const int status = RequirePassword("importing"))
        return status;
    std::string why;
    if (!vx::regfile::Apply(ops, why))
        return Fail(std::string(file) + ": " + Utf8(why) + "; nothing was imported");
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (!vx::process::HardenOrExplain("vxreg"))
        return 1;
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "-h" || command == "--help" || command == "help") {
        std::cout << kUsage;
        return 0;
    }
    if (command == "query" && argc == 3)
        return Query(argv[2]);
    if (command == "export" && argc == 4)
        return Export(argv[2], argv[3]);
    if (command == "import" && argc == 3)
        return Import(argv[2]);
    std::cerr << kUsage;
    return 2;
}
