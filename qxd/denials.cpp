// SPDX-License-Identifier: GPL-3.0-or-later
#include "qxd/denials.h"
#include "qxd/paths.h"

#include "platform/codepage/codepage.h"
#include "platform/common/uniquefd.h"
#include "platform/device/device.h"
#include "platform/drives/drives.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <sys/uio.h>
#include <systemd/sd-journal.h>

namespace vx::qxd {

namespace {

double Now()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// The process a thread belongs to.
int ProcessOf(int tid)
{
    std::ifstream status("/proc/" + std::to_string(tid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, 5, "Tgid:") == 0)
            return std::atoi(line.c_str() + 5);
    return tid;
}

// UTC now, to the microsecond ("2026-12-08T19:20:01.123456Z"), or to the millisecond.
std::string Stamp(bool micro)
{
    char stamp[40];
    timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    std::tm tm{};
    ::gmtime_r(&ts.tv_sec, &tm);
    const size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &tm);
    if (micro)
        std::snprintf(stamp + n, sizeof stamp - n, ".%06ldZ", ts.tv_nsec / 1000);
    else
        std::snprintf(stamp + n, sizeof stamp - n, ".%03ldZ", ts.tv_nsec / 1000000);
    return stamp;
}

// A JSON string. Bytes that are no UTF-8 (paths are raw bytes) are written as the escapes
// \udc80..\udcff, which the record's reader turns back into the same bytes.
std::string Json(std::string_view s)
{
    std::string out = "\"";
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const size_t n = vx::codepage::Utf8Length(s, i);
        char esc[8];
        if (n == 0) {
            std::snprintf(esc, sizeof esc, "\\udc%02x", c);
            out += esc;
            ++i;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out.append(s.substr(i, n));
        }
        i += n;
    }
    return out + '"';
}

// A path or program for a log line: control characters as \xNN, so that a name cannot start a
// line of its own.
std::string Printable(std::string_view s)
{
    std::string out;
    for (const char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || c == '\\') {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02x", u);
            out += esc;
        } else {
            out += c;
        }
    }
    return out;
}

gid_t EngineGroup()
{
    std::vector<char> buffer(16384);
    struct group entry{}, *found = nullptr;
    if (::getgrnam_r(vx::device::kEngineGroup, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return gid_t(-1);
    return found->gr_gid;
}

// Standard error is the journal's stream (the service's): JOURNAL_STREAM names its device and inode.
bool ErrIsJournal()
{
    const char *stream = std::getenv("JOURNAL_STREAM");
    struct stat st{};
    if (!stream || ::fstat(2, &st) != 0)
        return false;
    unsigned long long dev = 0, ino = 0;
    return std::sscanf(stream, "%llu:%llu", &dev, &ino) == 2 && dev == st.st_dev && ino == st.st_ino;
}

// Sends one entry; false when no journal took it.
bool Journal(const std::vector<std::string> &fields)
{
    std::vector<iovec> iov;
    iov.reserve(fields.size());
    for (const std::string &f : fields)
        iov.push_back({const_cast<char *>(f.data()), f.size()});
    return ::sd_journal_sendv(iov.data(), int(iov.size())) == 0;
}

} // namespace

std::string EntryName(int index)
{
    return index == Policy::kStoreRule ? "the registry store's guard" : "entry " + std::to_string(index);
}

std::string DenialRecordPath(const std::string &deviceDir)
{
    return deviceDir + "/" + vx::device::kDenialRecordName;
}

RotatingFile::RotatingFile(std::string path, mode_t mode, gid_t gid) : path_(std::move(path)), mode_(mode), gid_(gid)
{
    if (!path_.empty())
        Open(false);
}

RotatingFile::~RotatingFile()
{
    if (file_)
        std::fclose(file_);
}

void RotatingFile::Open(bool truncate)
{
    UniqueFd fd(::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC | (truncate ? O_TRUNC : 0),
                       mode_ & 0600));
    if (!fd)
        return;
    // A file from before (or one somebody opened up) gets the owner, group and mode it should
    // have; the group may read it only where it is the engine's group.
    const bool group = gid_ != gid_t(-1) && ::geteuid() == 0 && ::fchown(fd.get(), 0, gid_) == 0;
    (void)::fchmod(fd.get(), group ? mode_ : (mode_ & 0600));
    file_ = ::fdopen(fd.get(), "a");
    if (file_) {
        (void)fd.release(); // the stream closes it
        std::fseek(file_, 0, SEEK_END); // so that the size is known before the first line
    }

}

void RotatingFile::Append(const std::string &text, long maxBytes)
{
    if (!file_)
        return;
    if (std::ftell(file_) > maxBytes) {
        // Start again, keeping the previous file as ".1".
        std::fclose(file_);
        file_ = nullptr;
        ::rename(path_.c_str(), (path_ + ".1").c_str());
        Open(true);
        if (!file_)
            return;
    }
    std::fputs(text.c_str(), file_);
    std::fflush(file_);
}

DenialLog::DenialLog(std::ostream &err, std::string path)
    : err_(err), log_(path, 0600, gid_t(-1)),
      record_(path.empty() ? std::string() : DenialRecordPath(Parent(path)), 0640, EngineGroup()),
      errIsJournal_(ErrIsJournal())
{
}

DenialLog::~DenialLog() = default;

void DenialLog::WriteLocked(const std::string &line, bool toErr)
{
    if (toErr)
        err_ << "qxd-engine: " << line << std::endl;
    log_.Append(Stamp(false) + " " + line + "\n", kMaxBytes);
}

void DenialLog::Note(const std::string &line)
{
    std::lock_guard lock(mutex_);
    WriteLocked(line);
}

void DenialLog::FlushDropped()
{
    std::lock_guard lock(mutex_);
    if (!dropped_)
        return;
    const std::string line = std::to_string(dropped_) + " denials not recorded (rate limit)";
    record_.Append("{\"time\":\"" + Stamp(true) + "\",\"dropped\":" + std::to_string(dropped_) + "}\n", kMaxBytes);
    const bool journaled = Journal({"MESSAGE=" + line, "PRIORITY=4", "SYSLOG_IDENTIFIER=qxd-engine",
                                    "QXD_DROPPED=" + std::to_string(dropped_)});
    WriteLocked(line, !(journaled && errIsJournal_));
    dropped_ = 0;
}

void DenialLog::Record(const Subject &subject, const std::string &path, const Decision &decision, bool permissive,
                       const EntryAt &entryAt)
{
    std::lock_guard lock(mutex_);
    const double now = Now();
    tokens_ = std::min(kBurst, tokens_ + (now - last_) * kPerSecond);
    last_ = now;
    if (tokens_ < 1) {
        ++dropped_;
        return;
    }
    tokens_ -= 1;
    const std::string stamp = Stamp(true);
    std::ostringstream line;
    if (dropped_) {
        line << dropped_ << " denials not recorded (rate limit); ";
        record_.Append("{\"time\":\"" + stamp + "\",\"dropped\":" + std::to_string(dropped_) + "}\n", kMaxBytes);
        dropped_ = 0;
    }
    const int pid = ProcessOf(subject.pid);
    line << (permissive ? "would deny" : "denied") << " pid " << pid;
    if (subject.pid != pid)
        line << " (thread " << subject.pid << ")";
    line << " exe " << (subject.exe.empty() ? "?" : Printable(subject.exe)) << " op " << OpNames(decision.denied)
         << " path " << Printable(path) << " by " << EntryName(decision.entry);

    // The path as the console writes it (through the drive map) and the entry as it is now.
    const std::optional<std::string> drivePath = vx::shell::PosixToWindows(path);
    const std::string consolePath = drivePath ? vx::codepage::AnsiToUtf8(*drivePath) : std::string();
    std::optional<Entry> entry;
    if (entryAt && decision.entry >= 0)
        entry = entryAt(decision.entry);
    const std::string fileFolder = entry ? vx::codepage::AnsiToUtf8(entry->fileFolder) : std::string();
    const std::string process = entry ? vx::codepage::AnsiToUtf8(entry->process) : std::string();

    std::ostringstream json;
    json << "{\"time\":\"" << stamp << "\",\"pid\":" << pid << ",\"tid\":" << subject.pid << ",\"exe\":" << Json(subject.exe)
         << ",\"operation\":" << Json(OpNames(decision.denied)) << ",\"mask\":" << decision.denied
         << ",\"path\":" << Json(consolePath) << ",\"posixPath\":" << Json(path) << ",\"entry\":" << decision.entry;
    if (entry)
        json << ",\"entryFileFolder\":" << Json(fileFolder) << ",\"entryProcess\":" << Json(process);
    json << ",\"permissive\":" << (permissive ? "true" : "false") << "}\n";
    record_.Append(json.str(), kMaxBytes);

    std::vector<std::string> fields = {"MESSAGE=" + line.str(),
                                       permissive ? "PRIORITY=5" : "PRIORITY=4",
                                       "SYSLOG_IDENTIFIER=qxd-engine",
                                       "QXD_PID=" + std::to_string(pid),
                                       "QXD_TID=" + std::to_string(subject.pid),
                                       "QXD_EXE=" + subject.exe,
                                       "QXD_MASK=" + std::to_string(decision.denied),
                                       "QXD_PATH=" + consolePath,
                                       "QXD_POSIX_PATH=" + path,
                                       "QXD_ENTRY=" + std::to_string(decision.entry),
                                       std::string("QXD_PERMISSIVE=") + (permissive ? "1" : "0")};
    // One field per operation, so that a query for any one of them finds the entry.
    for (uint32_t bits = decision.denied; bits; bits &= bits - 1)
        fields.push_back("QXD_OPERATION=" + OpNames(bits & (~bits + 1)));
    if (entry) {
        fields.push_back("QXD_ENTRY_FILEFOLDER=" + fileFolder);
        fields.push_back("QXD_ENTRY_PROCESS=" + process);
    }
    const bool journaled = Journal(fields);
    WriteLocked(line.str(), !(journaled && errIsJournal_));
}

} // namespace vx::qxd
