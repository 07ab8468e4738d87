// One file operation per call, for the enforcement tests: "fsop OP PATH [PATH2]" exits 0 when
// the operation succeeded and with the errno it failed with otherwise. "hold PATH" keeps a
// descriptor of a folder open (in "serve"), "readat NAME" reads a name relative to it and
// "linkat NAME PATH" links a name in it to PATH. "fsop serve" reads such
// lines ("OP PATH [PATH2]") from standard input and answers each with one line: the errno,
// 0 for success, and for "list" the names after it. The tests copy this program under several
// names, so the engine sees different executables. "fsop become EXE PATH" reads PATH, then
// runs EXE in the same process to read it again. "unshare root" moves the process into a mount
// namespace of its own that no mount propagates into; "unshare user" does so as the user nobody,
// in a user namespace of its own. "unmount PATH" and "bind FROM TO" try those in it.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <iostream>
#include <sstream>
#include <string>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <grp.h>
#include <unistd.h>
#include <vector>

namespace {

int held = -1; // the folder "hold" keeps open

int Fail()
{
    return errno ? errno : EIO;
}

int ReadAll(const char *path)
{
    const int fd = ::open(path, O_RDONLY);
    if (fd < 0)
        return Fail();
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) {
    }
    const int err = n < 0 ? Fail() : 0;
    ::close(fd);
    return err;
}

int MapRead(const char *path)
{
    const int fd = ::open(path, O_RDONLY);
    if (fd < 0)
        return Fail();
    struct stat s;
    if (::fstat(fd, &s) != 0 || s.st_size == 0) {
        const int err = s.st_size == 0 ? EINVAL : Fail();
        ::close(fd);
        return err;
    }
    void *p = ::mmap(nullptr, size_t(s.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    const int err = p == MAP_FAILED ? Fail() : 0;
    if (p != MAP_FAILED) {
        volatile char c = static_cast<const char *>(p)[0];
        (void)c;
        ::munmap(p, size_t(s.st_size));
    }
    ::close(fd);
    return err;
}

int WriteTo(const char *path, int flags)
{
    const int fd = ::open(path, flags, 0644);
    if (fd < 0)
        return Fail();
    const int err = ::write(fd, "x\n", 2) == 2 ? 0 : Fail();
    ::close(fd);
    return err;
}

int Run(const char *path)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        char *const argv[] = {const_cast<char *>(path), const_cast<char *>("stat"), const_cast<char *>("/"), nullptr};
        ::execv(path, argv);
        _exit(200 + (errno & 0x3f));
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) >= 200)
        return WEXITSTATUS(status) - 200;
    return 0;
}

// Runs PATH through the dynamic loader, as "ld.so PATH stat /".
int RunLoaded(const char *path)
{
    const char *loader = "/lib64/ld-linux-x86-64.so.2";
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 2);
        char *const argv[] = {const_cast<char *>(loader), const_cast<char *>(path), const_cast<char *>("stat"),
                              const_cast<char *>("/"), nullptr};
        ::execv(loader, argv);
        _exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : EACCES;
}

// Reads PATH over and over for `ms` milliseconds; counts how each read ended.
std::string ReadLoop(const char *path, long ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    long ok = 0, denied = 0, notconn = 0, other = 0;
    while (std::chrono::steady_clock::now() < end) {
        const int err = ReadAll(path);
        if (err == 0)
            ++ok;
        else if (err == EACCES || err == EPERM)
            ++denied;
        else if (err == ENOTCONN)
            ++notconn;
        else
            ++other;
    }
    return " ok=" + std::to_string(ok) + " denied=" + std::to_string(denied) + " notconn=" + std::to_string(notconn) +
           " other=" + std::to_string(other);
}

// Goes down `levels` folders named "d" from `dir` and reads `name` there.
int ReadDeep(const char *dir, const char *levels, const char *name)
{
    if (::chdir(dir) != 0)
        return Fail();
    for (long i = std::atol(levels); i > 0; --i)
        if (::chdir("d") != 0)
            return Fail();
    return ReadAll(name);
}

int List(const char *path, std::string &names)
{
    DIR *d = ::opendir(path);
    if (!d)
        return Fail();
    errno = 0;
    while (dirent *e = ::readdir(d))
        if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, ".."))
            names += std::string(" ") + e->d_name;
    const int err = errno;
    ::closedir(d);
    return err;
}

int Do(const std::string &op, const char *a, const char *b, std::string &out)
{
    errno = 0;
    if (op == "open") {
        const int fd = ::open(a, O_RDONLY);
        return fd >= 0 && ::close(fd) == 0 ? 0 : Fail();
    }
    if (op == "read")
        return ReadAll(a);
    if (op == "mapread")
        return MapRead(a);
    if (op == "write")
        return WriteTo(a, O_WRONLY | O_APPEND);
    if (op == "overwrite") {
        const int fd = ::open(a, O_WRONLY);
        if (fd < 0)
            return Fail();
        const int err = ::pwrite(fd, "X", 1, 0) == 1 ? 0 : Fail();
        ::close(fd);
        return err;
    }
    if (op == "unappend") {
        // Opened to append, then the flag dropped and the start written.
        const int fd = ::open(a, O_WRONLY | O_APPEND);
        if (fd < 0)
            return Fail();
        int err = ::fcntl(fd, F_SETFL, 0) == 0 ? 0 : Fail();
        if (!err)
            err = ::pwrite(fd, "X", 1, 0) == 1 ? 0 : Fail();
        ::close(fd);
        return err;
    }
    if (op == "root")
        return ::geteuid() == 0 ? 0 : EPERM;
    if (op == "ldso")
        return RunLoaded(a);
    if (op == "readloop") {
        out = ReadLoop(a, b ? std::atol(b) : 1000);
        return 0;
    }
    if (op == "deep")
        return b ? ReadDeep(a, b, "f") : EINVAL;
    if (op == "hold") {
        if (held >= 0)
            ::close(held);
        held = ::open(a, O_RDONLY | O_DIRECTORY);
        return held >= 0 ? 0 : Fail();
    }
    if (op == "unshare") {
        const bool user = std::string(a) == "user";
        if (user && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
            return Fail();
        if (::unshare(CLONE_NEWNS | (user ? CLONE_NEWUSER : 0)) != 0)
            return Fail();
        return ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 ? 0 : Fail();
    }
    if (op == "unmount")
        return ::umount2(a, MNT_DETACH) == 0 ? 0 : Fail();
    if (op == "bind")
        return b && ::mount(a, b, nullptr, MS_BIND, nullptr) == 0 ? 0 : Fail();
    if (op == "linkat")
        return b && ::linkat(held, a, AT_FDCWD, b, 0) == 0 ? 0 : Fail();
    if (op == "readat") {
        const int fd = ::openat(held, a, O_RDONLY);
        if (fd < 0)
            return Fail();
        char buf[256];
        const int err = ::read(fd, buf, sizeof buf) >= 0 ? 0 : Fail();
        ::close(fd);
        return err;
    }
    if (op == "truncate")
        return ::truncate(a, 0) == 0 ? 0 : Fail();
    if (op == "create")
        return WriteTo(a, O_WRONLY | O_CREAT | O_EXCL);
    if (op == "mkdir")
        return ::mkdir(a, 0755) == 0 ? 0 : Fail();
    if (op == "unlink")
        return ::unlink(a) == 0 ? 0 : Fail();
    if (op == "rmdir")
        return ::rmdir(a) == 0 ? 0 : Fail();
    if (op == "rename")
        return b && ::rename(a, b) == 0 ? 0 : Fail();
    if (op == "link")
        return b && ::link(a, b) == 0 ? 0 : Fail();
    if (op == "chmod")
        return ::chmod(a, 0600) == 0 ? 0 : Fail();
    if (op == "chown")
        return ::chown(a, 0, 0) == 0 ? 0 : Fail();
    if (op == "setxattr")
        return ::setxattr(a, "user.vx", "1", 1, 0) == 0 ? 0 : Fail();
    if (op == "mtime" || op == "atime") {
        timespec ts[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};
        ts[op == "mtime" ? 1 : 0] = {1000000000, 0};
        return ::utimensat(AT_FDCWD, a, ts, 0) == 0 ? 0 : Fail();
    }
    if (op == "stat") {
        struct stat s;
        return ::stat(a, &s) == 0 ? 0 : Fail();
    }
    if (op == "exec")
        return Run(a);
    if (op == "list")
        return List(a, out);
    if (op == "cd")
        return ::chdir(a) == 0 ? 0 : Fail();
    if (op == "connect") {
        const int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", a);
        const int err = ::connect(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 ? 0 : Fail();
        ::close(s);
        return err;
    }
    if (op == "become" && b) {
        // Read as this program, then become program `a` in the same process and read again.
        ReadAll(b);
        ::execl(a, a, "read", b, nullptr);
        return Fail();
    }
    return EINVAL;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc >= 2 && std::string(argv[1]) == "serve") {
        std::string line;
        while (std::getline(std::cin, line)) {
            std::istringstream in(line);
            std::string op, a, b;
            in >> op >> a >> b;
            std::string out;
            const int err = Do(op, a.c_str(), b.empty() ? nullptr : b.c_str(), out);
            std::cout << err << out << std::endl;
        }
        return 0;
    }
    if (argc < 3) {
        std::fprintf(stderr, "usage: fsop OP PATH [PATH2] | fsop serve\n");
        return 2;
    }
    std::string out;
    const int err = Do(argv[1], argv[2], argc > 3 ? argv[3] : nullptr, out);
    if (!out.empty())
        std::printf("%s\n", out.c_str() + 1);
    return err > 255 ? 255 : err;
}
