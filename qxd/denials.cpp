#include "qxd/denials.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

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

} // namespace

std::string EntryName(int index)
{
    return index == Policy::kStoreRule ? "the registry store's guard" : "entry " + std::to_string(index);
}

DenialLog::DenialLog(std::ostream &err, std::string path) : err_(err), path_(std::move(path))
{
    if (!path_.empty()) {
        const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0)
            file_ = ::fdopen(fd, "a");
    }
}

DenialLog::~DenialLog()
{
    if (file_)
        std::fclose(file_);
}

void DenialLog::WriteLocked(const std::string &line)
{
    err_ << "qxd-engine: " << line << std::endl;
    if (!file_)
        return;
    if (std::ftell(file_) > kMaxBytes) {
        // Start again, keeping the previous file as ".1".
        std::fclose(file_);
        ::rename(path_.c_str(), (path_ + ".1").c_str());
        const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
        file_ = fd >= 0 ? ::fdopen(fd, "a") : nullptr;
        if (!file_)
            return;
    }
    char stamp[40];
    timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    std::tm tm{};
    ::gmtime_r(&ts.tv_sec, &tm);
    const size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &tm);
    std::snprintf(stamp + n, sizeof stamp - n, ".%03ldZ", ts.tv_nsec / 1000000);
    std::fprintf(file_, "%s %s\n", stamp, line.c_str());
    std::fflush(file_);
}

void DenialLog::Note(const std::string &line)
{
    std::lock_guard lock(mutex_);
    WriteLocked(line);
}

void DenialLog::FlushDropped()
{
    std::lock_guard lock(mutex_);
    if (dropped_) {
        WriteLocked(std::to_string(dropped_) + " denials not recorded (rate limit)");
        dropped_ = 0;
    }
}

void DenialLog::Record(const Subject &subject, const std::string &path, const Decision &decision, bool permissive)
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
    std::ostringstream line;
    if (dropped_) {
        line << dropped_ << " denials not recorded (rate limit); ";
        dropped_ = 0;
    }
    line << (permissive ? "would deny" : "denied") << " pid " << ProcessOf(subject.pid);
    if (subject.pid != ProcessOf(subject.pid))
        line << " (thread " << subject.pid << ")";
    line << " exe " << (subject.exe.empty() ? "?" : subject.exe) << " op " << OpNames(decision.denied) << " path " << path
         << " by " << EntryName(decision.entry);
    WriteLocked(line.str());
}

} // namespace vx::qxd
