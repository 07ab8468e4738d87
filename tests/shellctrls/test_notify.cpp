// Change notification: the platform's change handles and waits on inotify, and the notifier
// with its watcher thread on real folder changes.
#include "platform/notify/notify.h"
#include "shellctrls/ShellNotifier.h"
#include "support/shell_env.h"

#include <QCoreApplication>
#include <QThread>
#include <atomic>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <thread>

using namespace vx::notify;

namespace {

// Runs the event loop until `done` holds or the time runs out.
bool WaitUntil(const std::function<bool()> &done, int ms = 10000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Waits until the notifier's watcher watches its current options.
bool Watching(const TCustomShellChangeNotifier &n)
{
    return WaitUntil([&] { return n.Watcher() && n.Watcher()->Watching(); });
}

// Runs the event loop for a while (to let a change that should not come show itself).
void Pump(int ms)
{
    WaitUntil([] { return false; }, ms);
}

class NotifyTest : public ::testing::Test {
protected:
    void SetUp() override { handles_ = OpenHandleCount(); }
    void TearDown() override
    {
        // Every watcher ended and gave its handles back.
        EXPECT_TRUE(WaitUntil([&] { return OpenHandleCount() == handles_; })) << OpenHandleCount();
    }
    ShellTestEnv env_;
    size_t handles_ = 0;
};

TEST_F(NotifyTest, ChangeHandleIsSignalledAndRearmed)
{
    env_.Dir(env_.T("w"));
    HANDLE h = FindFirstChangeNotificationA("T:\\w", FALSE_, FILE_NOTIFY_CHANGE_FILE_NAME);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);
    env_.File(env_.T("w/new.txt"));
    EXPECT_EQ(WaitForSingleObject(h, 10000), WAIT_OBJECT_0);
    // Signalled until re-armed.
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(FindNextChangeNotification(h));
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);
    // A folder is not a file name change.
    env_.Dir(env_.T("w/dir"));
    EXPECT_EQ(WaitForSingleObject(h, 300), WAIT_TIMEOUT);
    std::filesystem::remove(env_.T("w/new.txt"));
    EXPECT_EQ(WaitForSingleObject(h, 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(FindCloseChangeNotification(h));
    EXPECT_FALSE(FindNextChangeNotification(h));
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(NotifyTest, SubTreeWatchCoversFoldersMadeLater)
{
    env_.Dir(env_.T("s/sub"));
    HANDLE flat = FindFirstChangeNotificationA("T:\\s", FALSE_, FILE_NOTIFY_CHANGE_FILE_NAME);
    HANDLE tree = FindFirstChangeNotificationA(env_.T("s").c_str(), TRUE_, FILE_NOTIFY_CHANGE_FILE_NAME);
    ASSERT_NE(flat, INVALID_HANDLE_VALUE);
    ASSERT_NE(tree, INVALID_HANDLE_VALUE);
    env_.File(env_.T("s/sub/deep.txt"));
    EXPECT_EQ(WaitForSingleObject(tree, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(flat, 300), WAIT_TIMEOUT);
    FindNextChangeNotification(tree);

    env_.Dir(env_.T("s/sub/later"));
    EXPECT_EQ(WaitForSingleObject(tree, 300), WAIT_TIMEOUT); // a folder, not a file name
    env_.File(env_.T("s/sub/later/x.txt"));
    EXPECT_EQ(WaitForSingleObject(tree, 10000), WAIT_OBJECT_0);
    FindCloseChangeNotification(flat);
    FindCloseChangeNotification(tree);
}

TEST_F(NotifyTest, WhatCannotBeWatchedGivesAnInvalidHandle)
{
    env_.File(env_.T("file.txt"));
    EXPECT_EQ(FindFirstChangeNotificationA("T:\\missing", TRUE_, 3), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(FindFirstChangeNotificationA("T:\\file.txt", TRUE_, 3), INVALID_HANDLE_VALUE);
    EXPECT_EQ(FindFirstChangeNotificationA("rfDesktop", TRUE_, 3), INVALID_HANDLE_VALUE);
    EXPECT_EQ(FindFirstChangeNotificationA("T:\\", TRUE_, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(FindFirstChangeNotificationA(nullptr, TRUE_, 3), INVALID_HANDLE_VALUE);
}

TEST_F(NotifyTest, MutexBelongsToOneThreadAtATime)
{
    HANDLE m = CreateMutexA(nullptr, TRUE_, nullptr);
    ASSERT_NE(m, nullptr);
    std::atomic<DWORD> first{99}, second{99};
    std::atomic<BOOL> foreignRelease{TRUE_};
    std::atomic<DWORD> foreignError{0};
    std::thread other([&] {
        first = WaitForSingleObject(m, 50);
        foreignRelease = ReleaseMutex(m);
        foreignError = GetLastError();
        second = WaitForSingleObject(m, 10000);
        ReleaseMutex(m);
    });
    while (first == 99)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(first, WAIT_TIMEOUT);
    // Owned twice (waiting on an owned mutex), released twice.
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_TRUE(ReleaseMutex(m));
    other.join();
    EXPECT_EQ(foreignRelease, FALSE_);
    EXPECT_EQ(foreignError, ERROR_NOT_OWNER);
    EXPECT_EQ(second, WAIT_OBJECT_0);
    EXPECT_FALSE(ReleaseMutex(m)); // nobody owns it now
    EXPECT_TRUE(CloseHandle(m));
    EXPECT_FALSE(CloseHandle(m));
}

TEST_F(NotifyTest, WaitReturnsTheFirstSignalledObject)
{
    env_.Dir(env_.T("w"));
    HANDLE change = FindFirstChangeNotificationA("T:\\w", FALSE_, FILE_NOTIFY_CHANGE_FILE_NAME);
    HANDLE event = CreateEventA(nullptr, FALSE_, FALSE_, nullptr);
    std::atomic<DWORD> result{99};
    std::thread waiter([&] {
        const HANDLE objects[2] = {change, event};
        result = WaitForMultipleObjects(2, objects, FALSE_, INFINITE);
    });
    SetEvent(event);
    waiter.join();
    EXPECT_EQ(result, WAIT_OBJECT_0 + 1);
    // Auto-reset: the wait took the signal.
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    const HANDLE objects[2] = {change, event};
    EXPECT_EQ(WaitForMultipleObjects(2, objects, TRUE_, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(0, objects, FALSE_, 0), WAIT_FAILED);
    const HANDLE bogus[1] = {reinterpret_cast<HANDLE>(0x1234)};
    EXPECT_EQ(WaitForMultipleObjects(1, bogus, FALSE_, 0), WAIT_FAILED);
    CloseHandle(event);
    FindCloseChangeNotification(change);
}

TEST(FilterFlags, MapEachFilter)
{
    EXPECT_EQ(FilterFlagsOf({nfFileNameChange, nfDirNameChange}), 0x3u);
    EXPECT_EQ(FilterFlagsOf({nfAttributeChange, nfSizeChange, nfWriteChange, nfSecurityChange}), 0x11Cu);
    EXPECT_EQ(FilterFlagsOf({}), 0u);
}

// ---- the notifier ----

TEST_F(NotifyTest, IdleWithoutHandler)
{
    env_.Dir(env_.T("w"));
    TShellChangeNotifier n;
    EXPECT_EQ(n.Root(), "C:\\");
    EXPECT_TRUE(n.WatchSubTree());
    EXPECT_EQ(n.NotifyFilters(), (TNotifyFilters{nfFileNameChange, nfDirNameChange}));
    n.SetRoot("T:\\w");
    n.SetWatchSubTree(false);
    n.SetNotifyFilters({nfWriteChange});
    EXPECT_EQ(n.Watcher(), nullptr);
    EXPECT_EQ(OpenHandleCount(), handles_);
}

TEST_F(NotifyTest, DeliversOnTheUserInterfaceThread)
{
    env_.Dir(env_.T("w"));
    auto n = std::make_unique<TShellChangeNotifier>();
    n->SetRoot("T:\\w");
    n->SetWatchSubTree(false);
    int calls = 0;
    bool onUiThread = false;
    n->SetOnChange([&] {
        ++calls;
        onUiThread = QThread::currentThread() == QCoreApplication::instance()->thread();
    });
    ASSERT_NE(n->Watcher(), nullptr);
    ASSERT_TRUE(Watching(*n));
    env_.File(env_.T("w/a.txt"));
    ASSERT_TRUE(WaitUntil([&] { return calls >= 1; }));
    EXPECT_TRUE(onUiThread);

    // Another handler replaces the first on the running watcher.
    int second = 0;
    n->SetOnChange([&] { ++second; });
    const int before = calls;
    env_.File(env_.T("w/b.txt"));
    ASSERT_TRUE(WaitUntil([&] { return second >= 1; }));
    EXPECT_EQ(calls, before);

    // An empty handler delivers nothing.
    n->SetOnChange(nullptr);
    env_.File(env_.T("w/c.txt"));
    Pump(300);
    EXPECT_EQ(second, 1);
    EXPECT_NE(n->Watcher(), nullptr);
}

TEST_F(NotifyTest, RetargetTakesEffectAtOnce)
{
    env_.Dir(env_.T("a"));
    env_.Dir(env_.T("b"));
    TShellChangeNotifier n;
    n.SetRoot("T:\\a");
    int calls = 0;
    n.SetOnChange([&] { ++calls; });
    ASSERT_TRUE(Watching(n));
    env_.File(env_.T("a/1.txt"));
    ASSERT_TRUE(WaitUntil([&] { return calls >= 1; }));
    Pump(100);
    calls = 0;

    n.SetRoot("T:\\b");
    ASSERT_TRUE(Watching(n));
    env_.File(env_.T("a/2.txt"));
    Pump(300);
    EXPECT_EQ(calls, 0);
    env_.File(env_.T("b/1.txt"));
    ASSERT_TRUE(WaitUntil([&] { return calls >= 1; }));

    // The same folder in other letter case is the same root: no re-target.
    n.SetRoot("t:\\B");
    EXPECT_EQ(n.Root(), "T:\\b");

    // The filters take effect: only folder names now.
    n.SetNotifyFilters({nfDirNameChange});
    ASSERT_TRUE(Watching(n));
    Pump(100);
    calls = 0;
    env_.File(env_.T("b/2.txt"));
    Pump(300);
    EXPECT_EQ(calls, 0);
    env_.Dir(env_.T("b/newdir"));
    ASSERT_TRUE(WaitUntil([&] { return calls >= 1; }));
}

TEST_F(NotifyTest, SubTreeOnAndOff)
{
    env_.Dir(env_.T("r/sub"));
    TShellChangeNotifier n;
    n.SetRoot("T:\\r");
    n.SetWatchSubTree(false);
    int calls = 0;
    n.SetOnChange([&] { ++calls; });
    ASSERT_TRUE(Watching(n));
    env_.File(env_.T("r/sub/x.txt"));
    Pump(400);
    EXPECT_EQ(calls, 0);
    n.SetWatchSubTree(true);
    ASSERT_TRUE(Watching(n));
    env_.File(env_.T("r/sub/y.txt"));
    ASSERT_TRUE(WaitUntil([&] { return calls >= 1; }));
}

TEST_F(NotifyTest, WatcherOfSomethingThatIsNoFolderEndsByItself)
{
    env_.Dir(env_.T("w"));
    TShellChangeNotifier n;
    n.SetRoot("rfDesktop");
    int calls = 0;
    n.SetOnChange([&] { ++calls; });
    ASSERT_TRUE(WaitUntil([&] { return n.Watcher() == nullptr; }));
    // Options are only stored now; no watcher comes back by itself.
    n.SetRoot("T:\\w");
    EXPECT_EQ(n.Watcher(), nullptr);
    env_.File(env_.T("w/a.txt"));
    Pump(300);
    EXPECT_EQ(calls, 0);
    // A new handler starts a new watcher on the current options.
    n.SetOnChange([&] { calls += 10; });
    ASSERT_TRUE(Watching(n));
    env_.File(env_.T("w/b.txt"));
    ASSERT_TRUE(WaitUntil([&] { return calls >= 10; }));
}

TEST_F(NotifyTest, StopWhileAChangeWaitsForDelivery)
{
    env_.Dir(env_.T("w"));
    auto calls = std::make_shared<int>(0);
    auto n = std::make_unique<TShellChangeNotifier>();
    n->SetRoot("T:\\w");
    n->SetOnChange([calls] { ++*calls; });
    ASSERT_TRUE(Watching(*n));
    env_.File(env_.T("w/a.txt"));
    // The worker sees the change and waits for the user-interface thread, which is busy here.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    n.reset(); // returns at once although a delivery is pending
    Pump(300);
    EXPECT_EQ(*calls, 0);
}

TEST_F(NotifyTest, DestroyWithARunningWatcher)
{
    env_.Dir(env_.T("w"));
    int calls = 0;
    {
        TShellChangeNotifier n;
        n.SetRoot("T:\\w");
        n.SetOnChange([&] { ++calls; });
        ASSERT_NE(n.Watcher(), nullptr);
    }
    env_.File(env_.T("w/a.txt"));
    Pump(300);
    EXPECT_EQ(calls, 0);
}

TEST_F(NotifyTest, ShutdownEndsEveryWatcher)
{
    env_.Dir(env_.T("w"));
    int calls = 0;
    TShellChangeNotifier n;
    n.SetRoot("T:\\w");
    n.SetOnChange([&] { ++calls; });
    ASSERT_TRUE(Watching(n));
    ShellCtrlsShutdown();
    EXPECT_EQ(n.Watcher(), nullptr); // ended, joined
    env_.File(env_.T("w/a.txt"));
    Pump(300);
    EXPECT_EQ(calls, 0);
    ShellCtrlsStartup();
    EXPECT_NE(DesktopNode(), nullptr);
}

} // namespace
