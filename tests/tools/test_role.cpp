// The Ansible role run locally (ansible-playbook -c local) against an engine the test starts, with
// the package and service tasks switched off (the machine running the tests has neither).
#include "console/enginesave.h"
#include "engine/protector.h"
#include "password/scrambler.h"
#include "support/cp949.h"
#include "tools/vxctl_run.h"

#include <gtest/gtest.h>


using vxctltest::Result;

namespace {

std::string Which(const std::string &program)
{
    const char *path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t pos = 0;
    while (pos <= dirs.size()) {
        size_t end = dirs.find(':', pos);
        if (end == std::string::npos)
            end = dirs.size();
        const std::string candidate = dirs.substr(pos, end - pos) + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        pos = end + 1;
    }
    return {};
}

// "changed=N" of the play recap when nothing failed; -1 when there is no such recap.
int Changed(const std::string &out)
{
    const size_t recap = out.find("PLAY RECAP");
    if (recap == std::string::npos)
        return -1;
    const size_t line = out.find("localhost", recap);
    const size_t changed = out.find("changed=", line);
    const size_t failed = out.find("failed=0", line);
    const size_t unreachable = out.find("unreachable=0", line);
    const size_t end = out.find('\n', line);
    if (line == std::string::npos || changed > end || failed > end || unreachable > end)
        return -1;
    return std::atoi(out.c_str() + changed + 8);
}

class Role : public ::testing::Test {
protected:
    void SetUp() override
    {
        playbook_ = Which("ansible-playbook");
        if (playbook_.empty())
            GTEST_SKIP() << "ansible-playbook is not installed (Debian package ansible-core)";
        ASSERT_TRUE(daemon_.WaitReady()) << daemon_.Log();
        std::filesystem::create_directories(home_.dir + "/state");
    }

    std::string Playbook(const std::string &entries, bool protection)
    {
        std::string text = "- name: Vellamorix\n  hosts: all\n  gather_facts: false\n  roles:\n"
                           "    - role: vellamorix\n      vars:\n"
                           "        vellamorix_manage_package: false\n"
                           "        vellamorix_manage_service: false\n"
                           "        vellamorix_vxctl: " + vxctltest::VxctlPath() + "\n"
                           "        vellamorix_state_dir: " + home_.dir + "/state\n"
                           "        vellamorix_password: \"" + kPassword + "\"\n"
                           "        vellamorix_protection: " + (protection ? "true" : "false") + "\n"
                           "        vellamorix_environment:\n"
                           "          VELLAMORIX_DEVICE_DIR: " + home_.deviceDir + "\n"
                           "          VELLAMORIX_REGISTRY: " + home_.registry + "\n"
                           "        vellamorix_entries:\n" + entries;
        const std::string path = home_.dir + "/play.yml";
        vxctltest::WriteFile(path, text);
        return path;
    }

    Result Play(const std::string &playbook, std::vector<std::string> extra = {})
    {
        std::vector<std::string> args = {"-c", "local", "-i", "localhost,", playbook};
        args.insert(args.end(), extra.begin(), extra.end());
        const char *source = std::getenv("VX_SOURCE_DIR");
        return vxctltest::RunProgram(home_.dir, playbook_, args, "",
                                     {"ANSIBLE_ROLES_PATH=" + std::string(source ? source : ".") + "/packaging/ansible/roles",
                                      "ANSIBLE_LOCAL_TEMP=" + home_.dir + "/ansible-local",
                                      "ANSIBLE_REMOTE_TEMP=" + home_.dir + "/ansible-remote",
                                      "ANSIBLE_NOCOLOR=1", "ANSIBLE_RETRY_FILES_ENABLED=0",
                                      "ANSIBLE_PYTHON_INTERPRETER=auto_silent"},
                                     300);
    }

    std::vector<TFPRec> Engine()
    {
        TVeskFileProtector p;
        std::vector<TFPRec> entries;
        EXPECT_TRUE(ReadEngineEntries(p, entries));
        return entries;
    }

    static constexpr const char *kPassword = "Role-Pw-7319";
    std::string playbook_;
    vxtest::Sandbox home_;
    qxdtest::Daemon daemon_{home_, {"--no-load", "--verbose"}};
};

TEST_F(Role, FirstRunChangesSecondRunDoesNotCheckModeChangesNothing)
{
    ASSERT_TRUE(StorePassword(kPassword));
    const std::string entries = "          - folder: 'C:\\srv\\인사'\n"
                                "            preset: no-access\n"
                                "            exclude_process: 'hr*'\n"
                                "          - path: ['C:\\etc-local\\a.conf', 'C:\\opt\\b']\n"
                                "            deny: [read, write]\n";
    const std::string play = Playbook(entries, false);
    Result r = Play(play, {"-vvv"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_GT(Changed(r.out), 0) << r.out;
    EXPECT_EQ(r.out.find(kPassword), std::string::npos) << "the password was logged";
    const std::vector<TFPRec> want = {
        {Cp949("C:\\srv\\인사;C:\\srv\\인사\\*;"), "", "*", "hr*", FP_PRESET_NOACCESS},
        {"C:\\etc-local\\a.conf;C:\\opt\\b;", "", "*", "", FP_READ | FP_WRITE}};
    EXPECT_EQ(Engine(), want);
    // The protection switch reached the engine.
    EXPECT_NE(daemon_.Log().find("0xA024300B done"), std::string::npos) << daemon_.Log();

    r = Play(play);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(Changed(r.out), 0) << r.out;
    EXPECT_EQ(Engine(), want);

    // Another list, in check mode: reported, not made.
    const std::string changed = Playbook(entries + "          - path: 'C:\\new'\n            preset: invisible\n", true);
    r = Play(changed, {"--check"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_GT(Changed(r.out), 0) << r.out;
    EXPECT_EQ(Engine(), want);

    // A wrong password fails the run and changes nothing.
    ASSERT_TRUE(StorePassword("another one"));
    r = Play(changed);
    EXPECT_NE(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("wrong password; apply needs the console password"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find(kPassword), std::string::npos) << "the password was logged";
    EXPECT_EQ(Engine(), want);
}

TEST_F(Role, PassesAnsibleLint)
{
    const std::string lint = Which("ansible-lint");
    if (lint.empty())
        GTEST_SKIP() << "ansible-lint is not installed (Debian package ansible-lint)";
    const char *source = std::getenv("VX_SOURCE_DIR");
    const std::string dir = std::string(source ? source : ".") + "/packaging/ansible";
    // ansible-lint reads the project from the working folder; run it there through a shell-free chdir.
    const pid_t pid = fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        const std::string out = home_.dir + "/lint.out";
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 1);
        dup2(fd, 2);
        setenv("HOME", home_.dir.c_str(), 1);
        setenv("NO_COLOR", "1", 1);
        if (::chdir(dir.c_str()) != 0)
            _exit(126);
        qxdtest::Exec({lint, "--offline", "--nocolor", "roles/vellamorix", "playbook.yml"});
    }
    int status = 0;
    if (!qxdtest::WaitChild(pid, status, 240)) {
        ADD_FAILURE() << "ansible-lint did not end";
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    const std::string out = vxtest::Slurp(home_.dir + "/lint.out");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
    EXPECT_NE(out.find("0 failure(s), 0 warning(s)"), std::string::npos) << out;
}

} // namespace
