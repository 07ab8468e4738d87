#include "qxd/enforcer.h"
#include "qxd/paths.h"


#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace vx::qxd {

Enforcer::Enforcer(std::shared_ptr<Engine> engine, Options options, std::ostream &err, std::unique_ptr<Backend> backend)
    : engine_(std::move(engine)), options_(std::move(options)), err_(err),
      programs_(std::make_shared<Programs>(ProgramPaths::Beside(ExecutableOf(int(::getpid()))).all)), exes_(programs_),
      backend_(std::move(backend))
{
    log_ = std::make_unique<DenialLog>(err_, options_.deviceDir + "/qxd-engine.log");
    const std::string exe = ExecutableOf(int(::getpid()));
    std::vector<std::string> own = {backend_->Canonical(options_.deviceDir)};
    guard_ = Guard::ForEngine(exe, own);
    guard_.objects.insert(backend_->Canonical(log_->path()));
}

std::shared_ptr<Enforcer> Enforcer::Create(std::shared_ptr<Engine> engine, Options options, std::ostream &err,
                                           std::unique_ptr<Backend> backend)
{
    Backend *b = backend.get();
    auto e = std::shared_ptr<Enforcer>(new Enforcer(std::move(engine), std::move(options), err, std::move(backend)));
    // The back end reaches the enforcer through its gate; Stop cuts that tie.
    b->SetGate(e);
    return e;
}

Enforcer::~Enforcer()
{
    Stop();
}

std::shared_ptr<const Policy> Enforcer::Compile()
{
    auto [entries, active] = engine_->Snapshot();
    // Paths already resolved for the last policy are taken from it, so a change costs the
    // lookups of what it changed only; all are resolved again when protection is switched on.
    if (active && !canonicalActive_)
        canonical_.clear();
    canonicalActive_ = active;
    std::unordered_map<std::string, std::string> resolved;
    const auto canonical = [&](const std::string &p) {
        auto it = canonical_.find(p);
        return resolved[p] = it != canonical_.end() ? it->second : backend_->Canonical(p);
    };
    auto policy = std::make_shared<Policy>(entries, active, guard_, canonical);
    canonical_ = std::move(resolved);
    policy->selfPid = int(::getpid());
    if (!options_.storePath.empty()) {
        const std::string store = backend_->Canonical(options_.storePath);
        const std::string folder = Parent(store);
        Policy::Rule r;
        r.index = Policy::kStoreRule;
        // The store's folder with all in it; where the folder also holds the engine's own
        // objects, the store file alone.
        if (guard_.Above(folder))
            r.items = {{store, false}};
        else
            r.items = {{folder, false}, {folder, true}};
        r.process = ParseProcessList("*");
        // Reading too: the store holds the console's (scrambled) password.
        r.mask = op::kChange | op::kOpen | op::kRead | op::kExecute;
        if (!guard_.Holds(store))
            policy->AddRule(std::move(r));
    }
    return policy;
}

std::shared_ptr<const Policy> Enforcer::Current() const
{
    std::lock_guard lock(policyMutex_);
    return policy_;
}

void Enforcer::Denied(const Subject &subject, const std::string &path, const Decision &decision)
{
    // The entry as it stood for the policy that decided (an index may name another entry since).
    log_->Record(subject, path, decision, options_.permissive, [this](int index) -> std::optional<Entry> {
        const auto policy = Current();
        if (!policy)
            return std::nullopt;
        for (const Policy::Rule &r : policy->rules())
            if (r.index == index) {
                Entry e;
                e.fileFolder = r.fileFolderText;
                e.process = r.processText;
                e.mask = r.mask;
                return e;
            }
        return std::nullopt;
    });
}

void Enforcer::Reconcile()
{
    std::lock_guard serial(reconcileMutex_);
    if (stopped_)
        return;
    if (programs_->Refresh())
        exes_.Clear(); // a program built or installed anew: its old file is not it any more
    auto policy = Compile();
    {
        std::lock_guard lock(policyMutex_);
        policy_ = policy;
    }
    EnforcementNotes notes;
    backend_->Apply(policy, notes);
    std::map<int, std::string> now;
    for (const auto &[index, lines] : notes) {
        std::string text;
        for (const std::string &n : lines)
            text += (text.empty() ? "" : "; ") + n;
        now[index] = text;
        auto old = reported_.find(index);
        if (old == reported_.end() || old->second != text)
            log_->Note(EntryName(index) + " is not fully enforced: " + text);
    }
    reported_ = std::move(now);
    log_->FlushDropped();
}

void Enforcer::Start()
{
    engine_->SetObserver([weak = weak_from_this()] {
        // Changes are in force before the request that made them is answered.
        if (auto self = weak.lock())
            self->Reconcile();
    });
    Reconcile();
    thread_ = std::thread([this] { Loop(); });
}

void Enforcer::Loop()
{
    std::unique_lock lock(wakeMutex_);
    while (!stopping_) {
        // Paths that did not exist, views someone removed: looked at again every two seconds.
        wake_.wait_for(lock, std::chrono::seconds(2), [this] { return stopping_; });
        if (stopping_)
            return;
        lock.unlock();
        Reconcile();
        lock.lock();
    }
}

void Enforcer::Stop()
{
    engine_->SetObserver(nullptr);
    {
        std::lock_guard lock(wakeMutex_);
        stopping_ = true;
        wake_.notify_one();
    }
    if (thread_.joinable())
        thread_.join();
    std::lock_guard serial(reconcileMutex_);
    stopped_ = true;
    backend_->Shutdown();
    std::lock_guard lock(policyMutex_);
    policy_.reset();
}

} // namespace vx::qxd
