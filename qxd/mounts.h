// The mount table as this process sees it (/proc/self/mountinfo).
#pragma once

#include <string>
#include <vector>

namespace vx::qxd {

struct MountRecord {
    int id = 0;
    int parent = 0;
    unsigned major = 0, minor = 0;
    std::string root;  // the folder of its file system that is mounted
    std::string point; // where it is mounted
    std::string options; // the mount's own flags ("rw,nosuid,...")
    std::string fstype;
    std::string source;
};

// In the table's order: a mount comes after the mounts it sits on. `file` names another
// process's table (/proc/PID/mountinfo, paths as that process sees them).
std::vector<MountRecord> ReadMountTable(const std::string &file = "/proc/self/mountinfo");

// Texts in the table escape blanks, tabs, newlines and backslashes as octal.
std::string UnescapeMountField(const std::string &field);

} // namespace vx::qxd
