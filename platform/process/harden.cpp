#include "platform/process/harden.h"

#include <cstdio>
#include <cstdlib>
#include <sys/prctl.h>

namespace vx::process {

std::string Harden()
{
    // Not dumpable: ptrace, /proc/PID/mem and process_vm_writev are closed to the same user.
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    for (const char *name : kLoaderVariables)
        if (const char *value = std::getenv(name); value && *value)
            return std::string(name) + " is set; the program does not run with libraries put in by the loader "
                                       "(unset " + name + " and start it again)";
    return {};
}

bool HardenOrExplain(const char *program)
{
    const std::string why = Harden();
    if (why.empty())
        return true;
    std::fprintf(stderr, "%s: %s\n", program, why.c_str());
    return false;
}

} // namespace vx::process
