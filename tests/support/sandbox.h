// SPDX-License-Identifier: GPL-3.0-or-later
// A private temporary folder for a test: the home folder with its desktop, the XDG places, the
// runtime folder, the registry store and the device folder all lie in it, so a test reads and
// changes nothing of the machine's. The variables it sets are put back and the folder is removed
// when it ends.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

namespace vxtest {

class Sandbox {
public:
    Sandbox()
        : dir(MakeRoot()), home(dir + "/home"), desktop(home + "/Desktop"), data(dir + "/data"), config(dir + "/config"),
          cache(dir + "/cache"), runtime(dir + "/run"), deviceDir(dir + "/dev"), registry(dir + "/registry.db")
    {
        for (const std::string *folder : {&desktop, &data, &config, &cache, &runtime})
            std::filesystem::create_directories(*folder);
        ::chmod(runtime.c_str(), 0700);
        Set("HOME", home);
        Set("XDG_DATA_HOME", data);
        Set("XDG_CONFIG_HOME", config);
        Set("XDG_CACHE_HOME", cache);
        Set("XDG_RUNTIME_DIR", runtime);
        Set("XDG_DESKTOP_DIR", desktop);
        Set("VELLAMORIX_REGISTRY", registry);
        Set("VELLAMORIX_DEVICE_DIR", deviceDir);
        // The default drive map (C: is /) and the system's own version, unless a test sets them.
        Set("VELLAMORIX_DRIVES", std::nullopt);
        Set("VELLAMORIX_WINVER", std::nullopt);
    }
    ~Sandbox()
    {
        for (const auto &[name, value] : saved_) {
            if (value)
                ::setenv(name.c_str(), value->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
        std::error_code ignored;
        std::filesystem::permissions(dir, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(dir, ignored);
    }
    Sandbox(const Sandbox &) = delete;
    Sandbox &operator=(const Sandbox &) = delete;

    // Sets (or with nullopt removes) a variable until the sandbox ends.
    void Set(const std::string &name, const std::optional<std::string> &value)
    {
        if (!saved_.count(name)) {
            const char *old = std::getenv(name.c_str());
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        if (value)
            ::setenv(name.c_str(), value->c_str(), 1);
        else
            ::unsetenv(name.c_str());
    }

    // A fresh registry store for the next test.
    void ResetRegistry() const
    {
        std::error_code ignored;
        for (const char *suffix : {"", "-journal", "-wal", "-shm"})
            std::filesystem::remove(registry + suffix, ignored);
    }

    // Short paths under /tmp: the engine's sockets lie in the device folder, and socket paths
    // are limited in length.
    const std::string dir;
    const std::string home, desktop, data, config, cache, runtime;
    const std::string deviceDir; // made by the engine
    const std::string registry;

private:
    static std::string MakeRoot()
    {
        char pattern[] = "/tmp/vx-XXXXXX";
        if (!::mkdtemp(pattern))
            throw std::runtime_error("no temporary folder for the sandbox");
        return pattern;
    }

    std::map<std::string, std::optional<std::string>> saved_;
};

} // namespace vxtest
