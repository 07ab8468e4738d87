// The engine's record of denials as its clients read it (the console's history, vxctl): one
// JSON object a line in the device folder, started again past a size with one older file kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace vx::denials {

struct Denial {
    std::string raw;      // the line as recorded
    std::string time;     // UTC, "2026-12-08T19:20:01.123456Z"
    int64_t timeUs = 0;   // microseconds since the epoch
    int pid = 0;
    int tid = 0;          // the thread that asked
    std::string exe;      // raw bytes
    std::string operation; // the engine's names of the denied bits ("read", "open, read")
    uint32_t mask = 0;     // the denied bits
    std::string path;      // as the console writes it (drive map), UTF-8; empty where no drive holds it
    std::string posixPath; // raw bytes
    int entry = -1;        // the entry's index; -1 for the registry store's guard
    bool hasEntry = false; // entryFileFolder/entryProcess were recorded
    std::string entryFileFolder, entryProcess; // UTF-8, as the entry was when it denied
    bool permissive = false;                   // recorded only, not denied
    uint64_t dropped = 0; // nonzero: not a denial but how many the rate limit left out
};

// The record file of the engine serving `deviceDir`; with no folder, of the one this process
// reaches (the device folder the console uses).
std::string RecordPath(const std::string &deviceDir);
std::string RecordPath();

// One line of the record; false with the reason for a line that is none.
bool ParseRecord(std::string_view line, Denial &out, std::string &error);
// "2026-12-08T19:20:01.123456Z" (fraction and "Z" optional, UTC) -> microseconds; false if malformed.
bool ParseTime(std::string_view text, int64_t &us);

// Reads the record as it grows, from where the last read ended. Never blocks on the file, never
// throws: what cannot be read is said in notes (once per new trouble) and the rest still comes.
class RecordReader {
public:
    explicit RecordReader(std::string path);
    RecordReader(const RecordReader &) = delete;
    RecordReader &operator=(const RecordReader &) = delete;

    struct Batch {
        std::vector<Denial> records; // in the order written (oldest first)
        std::vector<std::string> notes;
        bool more = false; // stopped at maxBytes: call again for the rest
    };
    // What was written since the last call. The first call begins with the older file. A file
    // started again since the last call is read from its start, after what the older file got
    // before it moved.
    Batch Poll(size_t maxBytes = size_t(1) << 20);
    // Forgets the position: the next Poll reads everything again.
    void Reset();
    // Goes past what is written now: the next Poll reads only what comes after.
    void SkipToEnd();
    const std::string &path() const { return path_; }

private:
    // Reads the file at `path` from offset_ on, when it is the file dev/ino name (any file
    // when *ino is 0, which then names it).
    enum class Read { kDone, kFailed, kOther };
    Read ReadFrom(const std::string &path, Batch &batch, size_t &budget, dev_t *dev, ino_t *ino);
    bool SameHead(int fd) const;
    void Lines(Batch &batch, bool final);
    void Note(Batch &batch, const std::string &text);

    std::string path_;
    bool started_ = false;
    bool inOlder_ = false; // reading the rest of the file that was moved to ".1"
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    off_t offset_ = 0;
    uint64_t line_ = 0; // lines read of the current file
    std::string partial_;
    static constexpr size_t kHead = 64;
    std::string head_; // the first bytes of the file being read
    std::string trouble_; // the last note about the file itself, not repeated
};

} // namespace vx::denials
