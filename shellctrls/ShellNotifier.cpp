#include "shellctrls/ShellNotifier.h"

#include "platform/notify/notify.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <strings.h>
#include <thread>
#include <vector>

using namespace vx::notify;

namespace {

// Worker threads, joined once they have ended and all at shut-down, so that none outlives the
// unit and none is left at exit.
class WorkerSet {
public:
    void Adopt(std::thread thread, std::shared_ptr<std::atomic<bool>> finished, std::weak_ptr<TShellChangeThread> owner)
    {
        std::vector<std::thread> done;
        {
            std::lock_guard lock(m_);
            for (auto it = workers_.begin(); it != workers_.end();) {
                if (it->finished->load()) {
                    done.push_back(std::move(it->thread));
                    it = workers_.erase(it);
                } else {
                    ++it;
                }
            }
            workers_.push_back(Worker{std::move(thread), std::move(finished), std::move(owner)});
        }
        for (std::thread &t : done)
            t.join();
    }

    void StopAll()
    {
        std::vector<Worker> all;
        {
            std::lock_guard lock(m_);
            all.swap(workers_);
        }
        for (Worker &w : all)
            if (std::shared_ptr<TShellChangeThread> t = w.owner.lock())
                t->Terminate();
        for (Worker &w : all)
            if (w.thread.joinable())
                w.thread.join();
    }

private:
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> finished;
        std::weak_ptr<TShellChangeThread> owner;
    };
    std::mutex m_;
    std::vector<Worker> workers_;
};

// The set lives to the end of the process; the guard ends every worker at exit.
WorkerSet &Workers()
{
    static WorkerSet *set = new WorkerSet;
    static struct ExitStop {
        ~ExitStop() { set->StopAll(); }
    } exitStop;
    return *set;
}

// Changes waiting to be delivered on the user-interface thread. Only a plain function crosses
// the event queue; the watchers travel through this queue under its own lock.
struct DeliveryQueue {
    std::mutex lock;
    std::vector<std::weak_ptr<TShellChangeThread>> items;
};
DeliveryQueue &Queue()
{
    static DeliveryQueue *queue = new DeliveryQueue;
    return *queue;
}

} // namespace

void DrainShellDeliveries();

// Lives on the user-interface thread; the worker calls its slot by name through the event
// queue, so that nothing the worker allocates is read by our code on the other thread.
class DeliveryDispatcher : public QObject {
    Q_OBJECT
public slots:
    void Drain() { DrainShellDeliveries(); }
};

namespace {
std::atomic<DeliveryDispatcher *> g_dispatcher{nullptr};

// Made on the user-interface thread before the first watcher starts; kept to the end.
void EnsureDispatcher()
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app || g_dispatcher.load())
        return;
    auto *d = new DeliveryDispatcher;
    d->moveToThread(app->thread());
    g_dispatcher.store(d);
}
} // namespace

void DrainShellDeliveries()
{
    for (;;) {
        std::weak_ptr<TShellChangeThread> next;
        {
            DeliveryQueue &q = Queue();
            std::lock_guard lock(q.lock);
            if (q.items.empty())
                return;
            next = std::move(q.items.front());
            q.items.erase(q.items.begin());
        }
        if (std::shared_ptr<TShellChangeThread> watcher = next.lock())
            watcher->DeliverNow();
    }
}

namespace {

} // namespace

void StopAllWatchers() { Workers().StopAll(); }

DWORD FilterFlagsOf(TNotifyFilters Filters)
{
    DWORD flags = 0;
    if (Filters.Contains(nfFileNameChange)) flags |= FILE_NOTIFY_CHANGE_FILE_NAME;
    if (Filters.Contains(nfDirNameChange)) flags |= FILE_NOTIFY_CHANGE_DIR_NAME;
    if (Filters.Contains(nfAttributeChange)) flags |= FILE_NOTIFY_CHANGE_ATTRIBUTES;
    if (Filters.Contains(nfSizeChange)) flags |= FILE_NOTIFY_CHANGE_SIZE;
    if (Filters.Contains(nfWriteChange)) flags |= FILE_NOTIFY_CHANGE_LAST_WRITE;
    if (Filters.Contains(nfSecurityChange)) flags |= FILE_NOTIFY_CHANGE_SECURITY;
    return flags;
}

// ---- watcher thread ----

TShellChangeThread::TShellChangeThread(TThreadMethod Event) : ChangeEvent(std::move(Event))
{
    StopMutex_ = CreateMutexA(nullptr, TRUE_, nullptr);
    WakeEvent = CreateEventA(nullptr, FALSE_, FALSE_, nullptr);
}

TShellChangeThread::~TShellChangeThread()
{
    if (ChangeHandle != INVALID_HANDLE_VALUE && ChangeHandle)
        FindCloseChangeNotification(ChangeHandle);
    if (StopMutex_)
        CloseHandle(StopMutex_);
    if (WakeEvent)
        CloseHandle(WakeEvent);
}

void TShellChangeThread::Retarget(const AnsiString &Dir, bool Tree, DWORD Flags)
{
    {
        std::lock_guard lock(WatchLock());
        WatchDir = Dir;
        WatchTree = Tree;
        FilterFlags = Flags;
        if (ChangeHandle != INVALID_HANDLE_VALUE && ChangeHandle)
            FindCloseChangeNotification(ChangeHandle);
        ChangeHandle = INVALID_HANDLE_VALUE;
        OptionsChanged = true;
        Watching_ = false;
    }
    if (WakeEvent)
        SetEvent(WakeEvent);
}

void TShellChangeThread::Resume()
{
    if (Started_)
        return;
    Started_ = true;
    std::shared_ptr<TShellChangeThread> self = shared_from_this();
    std::thread thread([self] { self->Execute(); });
    Workers().Adopt(std::move(thread), Finished_, self);
}

void TShellChangeThread::Terminate()
{
    Terminated_ = true;
    {
        std::lock_guard lock(SyncLock_);
        DeliveryPending_ = false;
    }
    SyncDone_.notify_all();
    if (WakeEvent)
        SetEvent(WakeEvent);
}

void TShellChangeThread::Execute()
{
    struct Done {
        std::atomic<bool> &flag;
        ~Done() { flag = true; }
    } done{*Finished_};

    HANDLE handle;
    {
        std::lock_guard lock(WatchLock());
        ChangeHandle = FindFirstChangeNotificationA(WatchDir.c_str(), WatchTree, FilterFlags);
        OptionsChanged = false; // the options of the first Retarget are in force now
        handle = ChangeHandle;
        Watching_ = handle != INVALID_HANDLE_VALUE;
    }
    if (handle == INVALID_HANDLE_VALUE)
        return;
    while (!Terminated_) {
        {
            std::lock_guard lock(WatchLock());
            handle = ChangeHandle;
        }
        const HANDLE objects[3] = {handle, StopMutex_, WakeEvent};
        const DWORD r = WaitForMultipleObjects(3, objects, FALSE_, INFINITE);

        if (r == WAIT_FAILED) {
            // A handle closed by Retarget just before the wait: take up the new options.
            std::lock_guard lock(WatchLock());
            if (!OptionsChanged)
                break;
        } else if (r == WAIT_OBJECT_0) {
            // A change of a folder that is no longer watched is not reported.
            bool stale;
            {
                std::lock_guard lock(WatchLock());
                stale = OptionsChanged || handle != ChangeHandle;
            }
            if (!stale && !Terminated_)
                Synchronize();
            FindNextChangeNotification(handle);
        } else if (r == WAIT_OBJECT_0 + 1) {
            ReleaseMutex(StopMutex_);
        }
        std::lock_guard lock(WatchLock());
        if (OptionsChanged && !Terminated_) {
            if (ChangeHandle != INVALID_HANDLE_VALUE && ChangeHandle)
                FindCloseChangeNotification(ChangeHandle);
            ChangeHandle = FindFirstChangeNotificationA(WatchDir.c_str(), WatchTree, FilterFlags);
            OptionsChanged = false;
            Watching_ = ChangeHandle != INVALID_HANDLE_VALUE;
        }
    }
}

// Hands the change to the user-interface thread and waits until it has run there, or until the
// thread is told to terminate.
void TShellChangeThread::Synchronize()
{
    DeliveryDispatcher *dispatcher = g_dispatcher.load();
    if (!dispatcher || !QCoreApplication::instance())
        return;
    {
        std::lock_guard lock(SyncLock_);
        if (Terminated_)
            return;
        DeliveryPending_ = true;
    }
    {
        DeliveryQueue &q = Queue();
        std::lock_guard lock(q.lock);
        q.items.push_back(weak_from_this());
    }
    QMetaObject::invokeMethod(dispatcher, "Drain", Qt::QueuedConnection);
    std::unique_lock lock(SyncLock_);
    SyncDone_.wait(lock, [this] { return !DeliveryPending_ || Terminated_; });
}

void TShellChangeThread::DeliverNow()
{
    struct Release {
        TShellChangeThread *t;
        ~Release()
        {
            {
                std::lock_guard lock(t->SyncLock_);
                t->DeliveryPending_ = false;
            }
            t->SyncDone_.notify_all();
        }
    } release{this};
    {
        std::lock_guard lock(SyncLock_);
        if (Terminated_ || !DeliveryPending_)
            return;
    }
    TThreadMethod event = ChangeEvent;
    if (!event)
        return;
    ++Deliveries_;
    event();
}

// ---- notifier ----

TCustomShellChangeNotifier::TCustomShellChangeNotifier(QObject *Owner) : QObject(Owner)
{
    StartWatcher();
}

TCustomShellChangeNotifier::~TCustomShellChangeNotifier()
{
    if (std::shared_ptr<TShellChangeThread> watcher = std::move(Watcher_)) {
        watcher->Terminate();
        ReleaseMutex(watcher->StopMutex());
    }
}

TShellChangeThread *TCustomShellChangeNotifier::Watcher() const
{
    return Watcher_ && !Watcher_->Finished() ? Watcher_.get() : nullptr;
}

void TCustomShellChangeNotifier::SetNotifyFilters(TNotifyFilters Value)
{
    NotifyFilters_ = Value;
    ApplyOptions();
}

void TCustomShellChangeNotifier::SetRoot(const TRoot &Value)
{
    if (Value.size() == Root_.size() && ::strncasecmp(Value.c_str(), Root_.c_str(), Value.size()) == 0)
        return;
    Root_ = Value;
    ApplyOptions();
}

void TCustomShellChangeNotifier::SetWatchSubTree(bool Value)
{
    WatchSubTree_ = Value;
    ApplyOptions();
}

void TCustomShellChangeNotifier::SetOnChange(TThreadMethod Value)
{
    OnChange_ = std::move(Value);
    if (Watcher())
        Watcher_->SetChangeEvent(OnChange_);
    else
        StartWatcher();
}

void TCustomShellChangeNotifier::ApplyOptions()
{
    if (TShellChangeThread *watcher = Watcher())
        watcher->Retarget(Root_, WatchSubTree_, FilterFlagsOf(NotifyFilters_));
}

void TCustomShellChangeNotifier::StartWatcher()
{
    if (!OnChange_)
        return;
    if (Watcher_) {
        // The previous watcher has ended by itself; let it go.
        Watcher_->Terminate();
        Watcher_.reset();
    }
    EnsureDispatcher();
    auto watcher = std::make_shared<TShellChangeThread>(OnChange_);
    watcher->Retarget(Root_, WatchSubTree_, FilterFlagsOf(NotifyFilters_));
    Watcher_ = watcher;
    watcher->Resume();
}

#include "ShellNotifier.moc"
