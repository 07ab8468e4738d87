// The engine's record of denials.
#pragma once

#include "qxd/policy.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <sys/types.h>

namespace vx::qxd {

// How a log line names the entry at `index`.
std::string EntryName(int index);

// The machine-readable record beside the log in `deviceDir`.
std::string DenialRecordPath(const std::string &deviceDir);

// A file that is appended to and started again past a size, keeping one older file as ".1".
class RotatingFile {
public:
    // `gid` -1: the file is the owner's alone.
    RotatingFile(std::string path, mode_t mode, gid_t gid);
    ~RotatingFile();
    RotatingFile(const RotatingFile &) = delete;
    RotatingFile &operator=(const RotatingFile &) = delete;
    void Append(const std::string &text, long maxBytes);
    const std::string &path() const { return path_; }

private:
    void Open(bool truncate);
    std::string path_;
    mode_t mode_;
    gid_t gid_;
    std::FILE *file_ = nullptr;
};

// Denials, one line each, on standard error and in a log file, each also as a JSON line in the
// record file and, where a journal runs, as a journal entry with QXD_* fields; at most kBurst
// denials at once and kPerSecond after that, the rest counted (the count is recorded too). The
// files are started again past kMaxBytes, keeping one older file each. The record is readable by
// root and the group `vellamorix` (by root alone where no such group exists).
class DenialLog {
public:
    DenialLog(std::ostream &err, std::string path);
    ~DenialLog();
    // `entryAt` gives the entry at an index as it is now; it is asked only for denials that
    // are recorded.
    using EntryAt = std::function<std::optional<Entry>(int index)>;
    void Record(const Subject &subject, const std::string &path, const Decision &decision, bool permissive,
                const EntryAt &entryAt = nullptr);
    void Note(const std::string &line); // a plain line on both, not rate limited
    void FlushDropped();                // reports denials the rate limit left out, if any
    const std::string &path() const { return log_.path(); }
    const std::string &recordPath() const { return record_.path(); }

    static constexpr double kPerSecond = 20;
    static constexpr double kBurst = 100;
    static constexpr long kMaxBytes = 8l << 20;

private:
    void WriteLocked(const std::string &line, bool toErr = true);
    std::ostream &err_;
    RotatingFile log_;
    RotatingFile record_;
    bool errIsJournal_ = false; // standard error already goes to the journal
    std::mutex mutex_;
    double tokens_ = kBurst;
    double last_ = 0;
    uint64_t dropped_ = 0;
};

} // namespace vx::qxd
