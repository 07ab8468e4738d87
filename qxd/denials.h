// The engine's record of denials.
#pragma once

#include "qxd/policy.h"

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <ostream>
#include <string>

namespace vx::qxd {

// How a log line names the entry at `index`.
std::string EntryName(int index);

// Denials, one line each, on standard error and in a log file; at most kBurst lines at once and
// kPerSecond after that, the rest counted. The file is started again past kMaxBytes, keeping
// one older file.
class DenialLog {
public:
    DenialLog(std::ostream &err, std::string path);
    ~DenialLog();
    void Record(const Subject &subject, const std::string &path, const Decision &decision, bool permissive);
    void Note(const std::string &line); // a plain line on both, not rate limited
    void FlushDropped();                // reports denials the rate limit left out, if any
    const std::string &path() const { return path_; }

    static constexpr double kPerSecond = 20;
    static constexpr double kBurst = 100;
    static constexpr long kMaxBytes = 8l << 20;

private:
    void WriteLocked(const std::string &line);
    std::ostream &err_;
    std::string path_;
    std::FILE *file_ = nullptr;
    std::mutex mutex_;
    double tokens_ = kBurst;
    double last_ = 0;
    uint64_t dropped_ = 0;
};

} // namespace vx::qxd
