// Test helper: a private registry store, home and data folder for the life of the object.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <unistd.h>

class TempStore {
public:
    TempStore()
    {
        char pattern[] = "/tmp/vx-store-XXXXXX";
        if (!mkdtemp(pattern))
            throw std::runtime_error("mkdtemp failed");
        dir_ = pattern;
        path_ = dir_ + "/registry.db";
        setenv("VELLAMORIX_REGISTRY", path_.c_str(), 1);
        setenv("HOME", dir_.c_str(), 1);
        setenv("XDG_DATA_HOME", (dir_ + "/data").c_str(), 1);
    }
    ~TempStore()
    {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    TempStore(const TempStore &) = delete;
    TempStore &operator=(const TempStore &) = delete;

    const std::string &dir() const { return dir_; }
    const std::string &path() const { return path_; }

private:
    std::string dir_;
    std::string path_;
};
