// SPDX-License-Identifier: GPL-3.0-or-later
// Change notification and the wait calls: FindFirstChangeNotification over inotify, mutexes and
// events, and WaitForMultipleObjects that wakes on whichever object is signalled first.
// Paths are Windows paths through the drive map (platform/drives/drives.h) or POSIX paths.
// Library: vx_platform_notify.
#pragma once

#include "platform/common/wintypes.h"

#include <cstddef>

namespace vx::notify {

constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD WAIT_OBJECT_0 = 0x0;
constexpr DWORD WAIT_ABANDONED_0 = 0x80;
constexpr DWORD WAIT_TIMEOUT = 0x102;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;
constexpr DWORD ERROR_NOT_OWNER = 288;

constexpr DWORD FILE_NOTIFY_CHANGE_FILE_NAME = 0x001;
constexpr DWORD FILE_NOTIFY_CHANGE_DIR_NAME = 0x002;
constexpr DWORD FILE_NOTIFY_CHANGE_ATTRIBUTES = 0x004;
constexpr DWORD FILE_NOTIFY_CHANGE_SIZE = 0x008;
constexpr DWORD FILE_NOTIFY_CHANGE_LAST_WRITE = 0x010;
constexpr DWORD FILE_NOTIFY_CHANGE_SECURITY = 0x100;

// A handle that is signalled when a change of the filter's kinds happens in the folder (or
// below it with bWatchSubtree). INVALID_HANDLE_VALUE for a path that is no folder or an empty
// filter, with the last error set. With a sub-tree, folders created later are watched too.
HANDLE FindFirstChangeNotificationA(const char *lpPathName, BOOL bWatchSubtree, DWORD dwNotifyFilter);
// Re-arms the handle after a wait reported it.
BOOL FindNextChangeNotification(HANDLE hChangeHandle);
BOOL FindCloseChangeNotification(HANDLE hChangeHandle);

// A mutex, owned by the creating thread when bInitialOwner is set; waiting obtains it.
HANDLE CreateMutexA(void *lpMutexAttributes, BOOL bInitialOwner, const char *lpName);
// FALSE with ERROR_NOT_OWNER when the calling thread does not own it.
BOOL ReleaseMutex(HANDLE hMutex);

// An event; auto-reset unless bManualReset.
HANDLE CreateEventA(void *lpEventAttributes, BOOL bManualReset, BOOL bInitialState, const char *lpName);
BOOL SetEvent(HANDLE hEvent);
BOOL ResetEvent(HANDLE hEvent);

// Closes any handle of this area. Waits in progress keep the object until they return.
BOOL CloseHandle(HANDLE hObject);

// Wait for any one (bWaitAll FALSE; TRUE is not supported and fails). Returns WAIT_OBJECT_0 + index,
// WAIT_TIMEOUT, or WAIT_FAILED (bad handle or argument, last error set).
DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE *lpHandles, BOOL bWaitAll, DWORD dwMilliseconds);
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);

// Number of open handles of this area (for leak checks in tests).
size_t OpenHandleCount();

} // namespace vx::notify
