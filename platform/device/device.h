// Device I/O over the engine's sockets: CreateFileA, DeviceIoControl, CloseHandle, GetVersion,
// and the run-time lookup of GetSecurityDescriptorLength (GetModuleHandleA/GetProcAddress).
// Device names map to Unix-domain sockets: "\\.\NAME" -> DIR/NAME, "\\.\Global\NAME" ->
// DIR/Global/NAME, DIR from DeviceDirectory(). Library: vx_platform_device.
#pragma once

#include "platform/common/wintypes.h"

#include <memory>
#include <optional>
#include <string>

constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000;
constexpr DWORD FILE_FLAG_DELETE_ON_CLOSE = 0x04000000;

// Connects to the device's socket. Failure: INVALID_HANDLE_VALUE, last error
// ERROR_FILE_NOT_FOUND (missing socket, refused connection, not a device name) or
// ERROR_ACCESS_DENIED (a device folder or an engine that is not this user's or root's; see
// DeviceDirectory).
HANDLE CreateFileA(const char *lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   void *lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);

// One synchronous request. The engine reads and writes the caller's buffers through their raw
// addresses; it is served only inside the arena (platform/device/arena.h), anything else is
// refused with ERROR_NOACCESS and the engine fails the request. Returns nonzero on success;
// the last error is set on failure (ERROR_INVALID_HANDLE for a bad handle, ERROR_BROKEN_PIPE
// when the engine is gone or breaks the format, ERROR_SEM_TIMEOUT when the request did not end
// within EngineTimeoutMs(), ERROR_NOT_ENOUGH_MEMORY when memory ran out, the engine's own code
// otherwise). After any of those four the handle only fails. Never throws; what one request
// makes the client hold is bounded (a few buffers of 64 KiB), whatever the engine sends. A
// process forked off after the open gets its own connection on its first request. A connection
// the engine closed between requests (it closes idle ones) is made again at the next request,
// and a request the engine refused to start because it was closing the connection goes again on
// a new one, so a handle outlives any idle time. lpOverlapped must be null.
BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, void *lpInBuffer, DWORD nInBufferSize,
                     void *lpOutBuffer, DWORD nOutBufferSize, DWORD *lpBytesReturned,
                     void *lpOverlapped);

// Closes a device handle. Unknown handles: FALSE with ERROR_INVALID_HANDLE.
BOOL CloseHandle(HANDLE hObject);

// Windows XP (5.1, build 2600) unless VELLAMORIX_WINVER holds another version word
// (decimal or 0x-hex; e.g. 0xC0000004 for the 95 family, 4 for NT 4).
DWORD GetVersion();

// Module lookup, enough for binding GetSecurityDescriptorLength at run time.
using HMODULE = void *;
using FARPROC = void (*)();
HMODULE GetModuleHandleA(const char *lpModuleName); // "advapi32.dll" (any case), else null
FARPROC GetProcAddress(HMODULE hModule, const char *lpProcName);

// Length of a self-relative or absolute security descriptor (20 for an absolute one).
DWORD GetSecurityDescriptorLength(void *pSecurityDescriptor);

namespace vx::device {

// How long one request may take in all before the client gives up (30 s); set for connections
// opened afterwards, returning the previous value (tests shorten it).
int EngineTimeoutMs();
int SetEngineTimeoutMs(int ms);

// Where a system engine serves, for root and the members of its group.
inline constexpr char kSystemDeviceDir[] = "/run/vellamorix";
inline constexpr char kEngineGroup[] = "vellamorix";
// The engine's record of denials (JSON lines) in its device folder; the older one has ".1" added.
inline constexpr char kDenialRecordName[] = "qxd-denials.jsonl";
// True when a system engine serves `dir` to this process: a folder of root's and of the engine's
// group (`group`) that holds the engine's socket where this process can see it.
bool SystemEngineServes(const std::string &dir = kSystemDeviceDir, const std::string &group = kEngineGroup);

// The device directory, the first of: VELLAMORIX_DEVICE_DIR; /run/vellamorix when a system engine
// serves it; $XDG_RUNTIME_DIR/vellamorix; /run/vellamorix as root; /tmp/vellamorix-<uid>.
// A client connects only through folders of its own user or root that nobody else can write to,
// and only to an engine running as its own user or root; anything else fails the open with
// ERROR_ACCESS_DENIED.
std::string DeviceDirectory();
// The same choice from the given facts (an empty text: the variable is not set).
std::string ChooseDeviceDirectory(const std::string &deviceDirEnv, bool systemEngine, const std::string &runtimeDir,
                                  unsigned uid);
// Socket path of a device name under `dir`; nullopt when the name is not "\\.\NAME" or
// "\\.\Global\NAME" with a plain NAME.
std::optional<std::string> DeviceSocketPath(const std::string &dir, const std::string &deviceName);

// The engine's reads and writes of caller memory, served by the stub (arena only).
// Return 0 or ERROR_NOACCESS.
DWORD StubRead(uint64_t addr, uint32_t len, void *dst);
DWORD StubWrite(uint64_t addr, const void *src, uint32_t len);

// ---- Seam: tests replace where CreateFileA/DeviceIoControl go. ----

struct OpenParams {
    std::string name;
    DWORD desiredAccess = 0;
    DWORD shareMode = 0;
    bool securityAttributes = false; // a non-null pointer was passed
    DWORD creationDisposition = 0;
    DWORD flagsAndAttributes = 0;
    bool templateFile = false; // a non-null template handle was passed
};

struct ControlParams {
    DWORD code = 0;
    void *inBuffer = nullptr;
    DWORD inLen = 0;
    void *outBuffer = nullptr;
    DWORD outLen = 0;
};

class DeviceConnection {
public:
    virtual ~DeviceConnection() = default;
    // Returns true on success; on failure `error` holds the code for the last error.
    virtual bool Control(const ControlParams &params, DWORD &bytesReturned, DWORD &error) = 0;
};

class DeviceBackend {
public:
    virtual ~DeviceBackend() = default;
    // nullptr on failure with `error` set.
    virtual std::unique_ptr<DeviceConnection> Open(const OpenParams &params, DWORD &error) = 0;
};

// Installs a backend for the whole process; nullptr restores the socket backend.
// Returns the previous one (nullptr when it was the socket backend). Handles opened before
// stay bound to the backend that opened them.
std::shared_ptr<DeviceBackend> SetDeviceBackend(std::shared_ptr<DeviceBackend> backend);

// Hides (or shows again) an export from GetProcAddress, to exercise callers' fallbacks.
void SetExportHidden(const std::string &procName, bool hidden);

} // namespace vx::device
