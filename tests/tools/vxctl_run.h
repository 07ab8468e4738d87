// Test helper: runs the built vxctl, vxreg (or another program) as a child with a given standard
// input, collects its output and exit status, and never waits longer than a bound.
#pragma once

#include "qxd/daemon_fixture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace vxctltest {

inline void WriteFile(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

inline std::string VxctlPath()
{
    return vxtest::Built("tools/vxctl/vxctl");
}

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs `program` with `args`; `input` is its standard input (a file, so no terminal). `env` entries
// "NAME=value" are set in the child, "NAME" alone is unset. A child still running after `seconds`
// is killed and the test fails.
inline Result RunProgram(const std::string &dir, const std::string &program, std::vector<std::string> args,
                         const std::string &input = "", const std::vector<std::string> &env = {}, int seconds = 60)
{
    args.insert(args.begin(), program);
    const std::string outPath = dir + "/vxctl.stdout", errPath = dir + "/vxctl.stderr", inPath = dir + "/vxctl.stdin";
    WriteFile(inPath, input);
    const pid_t pid = fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        const int i = open(inPath.c_str(), O_RDONLY);
        const int o = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int e = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(i, 0);
        dup2(o, 1);
        dup2(e, 2);
        for (const std::string &v : env) {
            const size_t eq = v.find('=');
            if (eq == std::string::npos)
                unsetenv(v.c_str());
            else
                setenv(v.substr(0, eq).c_str(), v.substr(eq + 1).c_str(), 1);
        }
        qxdtest::Exec(std::move(args));
    }
    Result r;
    int status = 0;
    if (!qxdtest::WaitChild(pid, status, seconds)) {
        ADD_FAILURE() << program << " did not end within " << seconds << " s";
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = vxtest::Slurp(outPath);
    r.err = vxtest::Slurp(errPath);
    return r;
}

} // namespace vxctltest
