// The change notifier: watches one folder on a worker thread and calls OnChange on the
// user-interface thread for each change of the selected kinds.
#pragma once

#include "shellctrls/ShellFolder.h"

#include <QObject>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

using TThreadMethod = std::function<void()>;

enum TNotifyFilter { nfFileNameChange, nfDirNameChange, nfAttributeChange, nfSizeChange, nfWriteChange, nfSecurityChange };
using TNotifyFilters = TSet<TNotifyFilter>;

// The platform's change-notification flags of Filters.
DWORD FilterFlagsOf(TNotifyFilters Filters);

// The watcher thread. Created suspended; Resume starts it. It ends when told to terminate, when
// its folder cannot be watched or when a wait fails; the notifier and the thread share the
// object, which goes when both are done with it.
class TShellChangeThread : public std::enable_shared_from_this<TShellChangeThread> {
public:
    explicit TShellChangeThread(TThreadMethod ChangeEvent);
    ~TShellChangeThread();
    TShellChangeThread(const TShellChangeThread &) = delete;
    TShellChangeThread &operator=(const TShellChangeThread &) = delete;

    // Caller's thread: new options, taken up at once (the worker is woken).
    void Retarget(const AnsiString &Dir, bool Tree, DWORD Flags);
    void Resume();
    // Tells the thread to end; it delivers no change from now on.
    void Terminate();
    bool Terminated() const { return Terminated_.load(); }
    // True once the body has ended (by itself or when told to).
    bool Finished() const { return Finished_->load(); }
    // True while a change handle for the current options is in place (the folder is watched).
    bool Watching() const { return Watching_.load(); }

    // User-interface thread only.
    void SetChangeEvent(TThreadMethod Event) { ChangeEvent = std::move(Event); }
    HANDLE StopMutex() const { return StopMutex_; }
    // How many changes were handed to the user-interface thread (for tests).
    int Deliveries() const { return Deliveries_.load(); }
    // User-interface thread: runs a change the worker is waiting on.
    void DeliverNow();

private:
    void Execute();
    void Synchronize();

    HANDLE StopMutex_ = nullptr;
    HANDLE ChangeHandle = INVALID_HANDLE_VALUE;
    HANDLE WakeEvent = nullptr;
    TThreadMethod ChangeEvent;
    AnsiString WatchDir;
    bool WatchTree = false;
    bool OptionsChanged = false;
    DWORD FilterFlags = 0;

    std::atomic<bool> Terminated_{false};
    std::atomic<bool> Watching_{false};
    std::shared_ptr<std::atomic<bool>> Finished_ = std::make_shared<std::atomic<bool>>(false);
    std::atomic<int> Deliveries_{0};
    bool Started_ = false;
    std::mutex SyncLock_;
    std::condition_variable SyncDone_;
    bool DeliveryPending_ = false;
};

class TCustomShellChangeNotifier : public QObject {
public:
    explicit TCustomShellChangeNotifier(QObject *Owner = nullptr);
    ~TCustomShellChangeNotifier() override;

    TNotifyFilters NotifyFilters() const { return NotifyFilters_; }
    void SetNotifyFilters(TNotifyFilters Value);
    const TRoot &Root() const { return Root_; }
    void SetRoot(const TRoot &Value);
    bool WatchSubTree() const { return WatchSubTree_; }
    void SetWatchSubTree(bool Value);
    const TThreadMethod &OnChange() const { return OnChange_; }
    void SetOnChange(TThreadMethod Value);

    // The running watcher, or null when there is none or it has ended by itself.
    TShellChangeThread *Watcher() const;

protected:
    void ApplyOptions();
    void StartWatcher();

private:
    TNotifyFilters NotifyFilters_{nfFileNameChange, nfDirNameChange};
    bool WatchSubTree_ = true;
    TRoot Root_ = "C:\\";
    std::shared_ptr<TShellChangeThread> Watcher_;
    TThreadMethod OnChange_;
};

class TShellChangeNotifier : public TCustomShellChangeNotifier {
public:
    using TCustomShellChangeNotifier::TCustomShellChangeNotifier;
};
