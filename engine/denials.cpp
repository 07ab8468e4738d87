// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/denials.h"

#include "platform/common/json.h"
#include "platform/device/device.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vx::denials {

namespace {

std::string ErrorText(int err)
{
    char buffer[256];
    return strerror_r(err, buffer, sizeof buffer);
}

} // namespace

std::string RecordPath(const std::string &deviceDir)
{
    return deviceDir + "/" + vx::device::kDenialRecordName;
}

std::string RecordPath()
{
    return RecordPath(vx::device::DeviceDirectory());
}

bool ParseTime(std::string_view text, int64_t &us)
{
    std::tm tm{};
    int consumed = 0;
    const std::string s(text);
    if (std::sscanf(s.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min,
                    &tm.tm_sec, &consumed) != 6 ||
        consumed != 19)
        return false;
    if (tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 ||
        tm.tm_sec > 60)
        return false;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    int64_t fraction = 0;
    size_t i = 19;
    if (i < s.size() && s[i] == '.') {
        int digits = 0;
        for (++i; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i, ++digits)
            if (digits < 6)
                fraction = fraction * 10 + (s[i] - '0');
        if (digits == 0)
            return false;
        for (; digits < 6; ++digits)
            fraction *= 10;
    }
    if (i < s.size() && s[i] == 'Z')
        ++i;
    if (i != s.size())
        return false;
    us = int64_t(::timegm(&tm)) * 1000000 + fraction;
    return true;
}

bool ParseRecord(std::string_view line, Denial &out, std::string &error)
{
    // A record is one line: an object whose members may be of kinds this reader does not know.
    vx::json::Options options;
    options.utf8 = false; // paths are raw bytes
    options.uniqueNames = false;
    options.maxDepth = 17;
    vx::json::Value record;
    vx::json::Error failure;
    if (!vx::json::Parse(line, record, failure, options)) {
        error = failure.Describe();
        return false;
    }
    if (record.kind != vx::json::Value::Object) {
        error = "not an object";
        return false;
    }
    Denial d;
    d.raw = std::string(line);
    bool hasTime = false, hasPid = false, hasMask = false, hasPosix = false, hasEntry = false, hasDropped = false;
    const auto text = [&](const std::string &key, const vx::json::Value &v, std::string &to) {
        if (v.kind != vx::json::Value::String) {
            error = key + ": a text was expected";
            return false;
        }
        to = v.text.Bytes();
        return true;
    };
    const auto field = [&](const std::string &key, const vx::json::Value &v) {
        if (key == "time") {
            hasTime = true;
            if (!text(key, v, d.time))
                return false;
            if (!ParseTime(d.time, d.timeUs)) {
                error = "malformed time";
                return false;
            }
            return true;
        }
        if (key == "exe")
            return text(key, v, d.exe);
        if (key == "operation")
            return text(key, v, d.operation);
        if (key == "path")
            return text(key, v, d.path);
        if (key == "posixPath") {
            hasPosix = true;
            return text(key, v, d.posixPath);
        }
        if (key == "entryFileFolder" || key == "entryProcess") {
            d.hasEntry = true;
            return text(key, v, key == "entryProcess" ? d.entryProcess : d.entryFileFolder);
        }
        if (key == "permissive") {
            if (v.kind != vx::json::Value::Bool) {
                error = key + ": true or false was expected";
                return false;
            }
            d.permissive = v.boolean;
            return true;
        }
        if (key == "pid" || key == "tid" || key == "mask" || key == "entry" || key == "dropped") {
            const std::optional<int64_t> whole = vx::json::WholeNumber(v);
            if (!whole) {
                error = key + ": a whole number was expected";
                return false;
            }
            const int64_t n = *whole;
            const bool fits = key == "entry" ? n >= -1 && n <= INT32_MAX
                              : key == "mask" ? n >= 0 && n <= UINT32_MAX
                              : key == "dropped" ? n > 0
                                                 : n > 0 && n <= INT32_MAX;
            if (!fits) {
                error = key + " out of range";
                return false;
            }
            if (key == "pid") {
                hasPid = true;
                d.pid = int(n);
            } else if (key == "tid") {
                d.tid = int(n);
            } else if (key == "mask") {
                hasMask = true;
                d.mask = uint32_t(n);
            } else if (key == "entry") {
                hasEntry = true;
                d.entry = int(n);
            } else {
                hasDropped = true;
                d.dropped = uint64_t(n);
            }
            return true;
        }
        return true; // a member of a later version
    };
    for (const auto &[key, value] : record.members)
        if (!field(key, value))
            return false;
    if (!hasTime) {
        error = "no time";
        return false;
    }
    if (!hasDropped && !(hasPid && hasMask && hasPosix && hasEntry)) {
        error = "a denial without pid, mask, posixPath or entry";
        return false;
    }
    if (d.tid == 0)
        d.tid = d.pid;
    out = std::move(d);
    return true;
}

RecordReader::RecordReader(std::string path) : path_(std::move(path)) {}

void RecordReader::Reset()
{
    started_ = false;
    inOlder_ = false;
    dev_ = 0;
    ino_ = 0;
    offset_ = 0;
    line_ = 0;
    partial_.clear();
    head_.clear();
    trouble_.clear();
}

void RecordReader::SkipToEnd()
{
    Reset();
    started_ = true;
    const int fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    struct stat st{};
    if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        dev_ = st.st_dev;
        ino_ = st.st_ino;
        // After the last whole line: a line being written is read once it is whole.
        offset_ = st.st_size;
        char tail[4096];
        const off_t from = std::max<off_t>(0, st.st_size - off_t(sizeof tail));
        const ssize_t n = ::pread(fd, tail, size_t(st.st_size - from), from);
        if (n > 0 && tail[n - 1] != '\n') {
            ssize_t k = n;
            while (k > 0 && tail[k - 1] != '\n')
                --k;
            offset_ = from + k;
        }
        head_.assign(size_t(std::min<off_t>(st.st_size, off_t(kHead))), '\0');
        if (::pread(fd, head_.data(), head_.size(), 0) != ssize_t(head_.size()))
            head_.clear();
    }
    if (fd >= 0)
        ::close(fd);
}

void RecordReader::Note(Batch &batch, const std::string &text)
{
    if (text == trouble_)
        return;
    trouble_ = text;
    batch.notes.push_back(text);
}

void RecordReader::Lines(Batch &batch, bool final)
{
    size_t start = 0, bad = 0;
    for (;;) {
        const size_t nl = partial_.find('\n', start);
        if (nl == std::string::npos && !(final && start < partial_.size()))
            break;
        const size_t end = nl == std::string::npos ? partial_.size() : nl;
        std::string_view line(partial_.data() + start, end - start);
        start = end + (nl == std::string::npos ? 0 : 1);
        ++line_;
        if (line.empty() || line.find_first_not_of(" \t\r") == std::string_view::npos)
            continue;
        Denial d;
        std::string why;
        if (ParseRecord(line, d, why)) {
            batch.records.push_back(std::move(d));
        } else if (++bad <= 3) {
            batch.notes.push_back("차단 기록 " + path_ + "의 " + std::to_string(line_) + "번째 줄을 읽을 수 없습니다 (" + why +
                                  ")");
        }
    }
    if (bad > 3)
        batch.notes.push_back("차단 기록에서 읽을 수 없는 줄이 " + std::to_string(bad - 3) + "개 더 있습니다");
    partial_.erase(0, start);
}

// An inode number can come back for the next file: the first bytes (a time stamp to the
// microsecond) tell the files apart.
bool RecordReader::SameHead(int fd) const
{
    if (head_.empty())
        return true;
    std::string now(head_.size(), '\0');
    return ::pread(fd, now.data(), now.size(), 0) == ssize_t(now.size()) && now == head_;
}

RecordReader::Read RecordReader::ReadFrom(const std::string &path, Batch &batch, size_t &budget, dev_t *dev, ino_t *ino)
{
    // Never waits on the file: a FIFO or a device put in its place is refused, not read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        const int err = errno;
        if (err == ENOENT)
            Note(batch, "차단 기록이 아직 없습니다 (" + path + ")");
        else if (err == EACCES || err == EPERM)
            Note(batch, "차단 기록을 읽을 권한이 없습니다: root이거나 vellamorix 그룹이어야 합니다 (" + path + ")");
        else
            Note(batch, "차단 기록을 열 수 없습니다: " + ErrorText(err) + " (" + path + ")");
        return Read::kFailed;
    }
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        Note(batch, "차단 기록이 보통 파일이 아닙니다 (" + path + ")");
        return Read::kFailed;
    }
    if (dev && ino) {
        if (*ino == 0) {
            *dev = st.st_dev;
            *ino = st.st_ino;
            offset_ = 0;
            head_.clear();
        } else if (st.st_dev != *dev || st.st_ino != *ino || !SameHead(fd)) {
            ::close(fd);
            return Read::kOther;
        }
    }
    if (st.st_size < offset_) {
        Note(batch, "차단 기록이 짧아져 처음부터 다시 읽습니다 (" + path + ")");
        offset_ = 0;
        line_ = 0;
        partial_.clear();
        head_.clear();
    }
    if (path == path_)
        trouble_.clear(); // the record reads again: a later trouble is said again
    char buffer[65536];
    while (budget > 0) {
        const ssize_t n = ::pread(fd, buffer, std::min(sizeof buffer, budget), offset_);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            Note(batch, "차단 기록을 읽다가 멈췄습니다: " + ErrorText(errno) + " (" + path + ")");
            break;
        }
        if (n == 0)
            break;
        if (offset_ < off_t(kHead) && head_.size() == size_t(offset_))
            head_.append(buffer, std::min(size_t(n), kHead - head_.size()));
        partial_.append(buffer, size_t(n));
        offset_ += n;
        budget -= size_t(n);
        Lines(batch, false);
    }
    ::close(fd);
    return Read::kDone;
}

RecordReader::Batch RecordReader::Poll(size_t maxBytes)
{
    Batch batch;
    size_t budget = maxBytes ? maxBytes : 1;
    const std::string older = path_ + ".1";
    if (!started_) {
        started_ = true;
        struct stat st{};
        // The older file first, where there is one.
        if (::stat(older.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            inOlder_ = true;
            dev_ = st.st_dev;
            ino_ = st.st_ino;
            offset_ = 0;
            head_.clear();
        }
    }
    for (int step = 0; step < 4; ++step) {
        if (inOlder_) {
            // The file this reader was in has moved to ".1": its rest, then the new file.
            struct stat st{};
            const bool same = ::stat(older.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_;
            const Read read = same ? ReadFrom(older, batch, budget, &dev_, &ino_) : Read::kOther;
            if (read == Read::kOther) {
                batch.notes.push_back("차단 기록이 읽는 사이에 여러 번 바뀌어 일부를 건너뛰었습니다");
            } else if (read == Read::kDone && offset_ < st.st_size && budget == 0) {
                batch.more = true;
                return batch;
            } else {
                Lines(batch, true);
            }
            inOlder_ = false;
            ino_ = 0;
            offset_ = 0;
            line_ = 0;
            partial_.clear();
            continue;
        }
        if (budget == 0) {
            batch.more = true;
            return batch;
        }
        const Read read = ReadFrom(path_, batch, budget, &dev_, &ino_);
        if (read == Read::kDone) {
            struct stat st{};
            batch.more = budget == 0 && ::stat(path_.c_str(), &st) == 0 && st.st_ino == ino_ && st.st_size > offset_;
            return batch;
        }
        if (read == Read::kFailed)
            return batch; // missing or unreadable: said in a note
        inOlder_ = true; // started again since the last read
    }
    return batch;
}

} // namespace vx::denials
