// The registry: HKEY_LOCAL_MACHINE kept in one SQLite store file.
//
// Key paths are CP949 bytes separated by backslashes. Key and value names compare without regard
// to case; folding covers the ASCII letters only (the trail byte of a double-byte character is
// never folded). Values are typed (REG_SZ, REG_DWORD and the other common types are kept byte for
// byte). Every operation is atomic; a TRegistryTransaction groups several into one.
//
// Store file: $VELLAMORIX_REGISTRY, else /var/lib/vellamorix/registry.db when running as root or
// when the system engine serves /run/vellamorix, else $XDG_DATA_HOME/vellamorix/registry.db
// (XDG_DATA_HOME defaults to ~/.local/share); the folder is created when a key is opened for
// writing. A store file the programs create is private to its user (0600), and so are the folders
// they create for it (0700); only in a folder of root's and one group that hands that group on
// (2770, as the system store's) is a new store file made 0660 for the group. Several processes may
// use one store at once; an operation waits up to 15 s for a store another process holds locked.
#pragma once

#include "platform/common/ansistring.h"
#include "platform/common/wintypes.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

using HKEY = uint32_t;
constexpr HKEY HKEY_CLASSES_ROOT = 0x80000000u;
constexpr HKEY HKEY_CURRENT_USER = 0x80000001u;
constexpr HKEY HKEY_LOCAL_MACHINE = 0x80000002u;
constexpr HKEY HKEY_USERS = 0x80000003u;

// Value types.
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_DWORD_BIG_ENDIAN = 5;
constexpr DWORD REG_LINK = 6;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

// Access rights of TRegistry::Access.
constexpr DWORD KEY_READ = 0x20019;
constexpr DWORD KEY_WRITE = 0x20006;
constexpr DWORD KEY_ALL_ACCESS = 0xF003F;

constexpr DWORD ERROR_KEY_DELETED = 1018;

// Raised by a write that cannot be made. what() is ASCII apart from quoted names (CP949 bytes).
class ERegistryException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One value as stored: for REG_SZ the data holds the text and its terminating zero, for
// REG_DWORD four little-endian bytes.
struct TRegValue {
    AnsiString Name;
    DWORD Type = REG_NONE;
    std::string Data;

    bool operator==(const TRegValue &) const = default;
};

class TRegistry {
public:
    TRegistry();
    explicit TRegistry(DWORD access);
    ~TRegistry(); // closes the key and rolls back an uncommitted transaction
    TRegistry(const TRegistry &) = delete;
    TRegistry &operator=(const TRegistry &) = delete;

    // Only HKEY_LOCAL_MACHINE has a store; opens under any other root fail.
    HKEY RootKey = HKEY_LOCAL_MACHINE;
    // Rights asked for by OpenKey. Any write right needs write access to the store file.
    DWORD Access = KEY_ALL_ACCESS;

    // Opens a key, creating its missing parents and itself when CanCreate is true. A path that
    // starts with a backslash, or any path while no key is open, is taken from the root; otherwise
    // it is relative to the open key. Closes the key that was open. False when the key is missing
    // (GetLastError ERROR_FILE_NOT_FOUND, also when there is no store file yet), the path is
    // malformed, or the store cannot be opened with the rights of Access or read
    // (ERROR_ACCESS_DENIED, ERROR_GEN_FAILURE).
    bool OpenKey(const AnsiString &path, bool CanCreate);
    // Opens an existing key for reading only; works on a store that cannot be written.
    bool OpenKeyReadOnly(const AnsiString &path);
    bool KeyExists(const AnsiString &path);
    // Deletes a key with every subkey and value under it. False when it is missing, is the root,
    // or the store cannot be written.
    bool DeleteKey(const AnsiString &path);
    void CloseKey();

    bool HasCurrentKey() const { return currentKey_ != 0; }
    // Path of the open key from the root, in the spelling it was created with ("" for the root).
    const AnsiString &CurrentPath() const { return currentPath_; }

    // Writes throw ERegistryException when no key is open for writing, the key was deleted
    // meanwhile, or the store refuses the write. A value of the same name is replaced.
    void WriteInteger(const AnsiString &name, int32_t value); // REG_DWORD
    void WriteString(const AnsiString &name, const AnsiString &value); // REG_SZ
    void WriteExpandString(const AnsiString &name, const AnsiString &value); // REG_EXPAND_SZ
    void WriteBinaryData(const AnsiString &name, const std::string &data); // REG_BINARY
    void WriteValue(const AnsiString &name, DWORD type, const std::string &data);
    bool DeleteValue(const AnsiString &name);

    // Text of a REG_SZ or REG_EXPAND_SZ value up to its terminating zero. A missing value, a value
    // of another type, or a read while no key is open gives the empty text.
    AnsiString ReadString(const AnsiString &name);
    // A REG_DWORD value; nothing when missing or of another type.
    std::optional<DWORD> ReadDword(const AnsiString &name);
    // Nothing when the value is missing (GetLastError ERROR_FILE_NOT_FOUND), no key is open
    // (ERROR_INVALID_HANDLE) or the store cannot be read (ERROR_GEN_FAILURE).
    std::optional<TRegValue> ReadValue(const AnsiString &name);
    bool ValueExists(const AnsiString &name);

    // The open key's values in the order they were first written, and its subkeys sorted without
    // regard to case (stored spelling). Empty while no key is open.
    std::vector<TRegValue> ReadValues();
    std::vector<AnsiString> GetValueNames();
    std::vector<AnsiString> GetKeyNames();

    // Groups the following operations of this object into one atomic change. Returns false,
    // without starting anything, when the store cannot be written (no rights); throws
    // ERegistryException when the store is busy or broken.
    bool BeginTransaction();
    void CommitTransaction(); // throws ERegistryException when the commit fails (all rolled back)
    void RollbackTransaction();
    bool InTransaction() const { return inTransaction_; }

    // From now on the waits for a store that another process holds locked end, all together,
    // at `deadline`; an operation that cannot go on by then fails as busy.
    void SetBusyDeadline(std::chrono::steady_clock::time_point deadline);

    struct Store;

private:
    bool Open(const AnsiString &path, bool canCreate, bool forWrite);
    void RequireWritableKey(const AnsiString &name);

    Store *store_ = nullptr;
    std::optional<std::chrono::steady_clock::time_point> busyDeadline_;
    int64_t currentKey_ = 0;
    bool currentWritable_ = false;
    AnsiString currentPath_;
    bool inTransaction_ = false;
};

// Begins a transaction on construction (when the store can be written) and rolls it back on
// destruction unless Commit was called.
class TRegistryTransaction {
public:
    explicit TRegistryTransaction(TRegistry &reg);
    ~TRegistryTransaction();
    TRegistryTransaction(const TRegistryTransaction &) = delete;
    TRegistryTransaction &operator=(const TRegistryTransaction &) = delete;

    bool Active() const { return active_; }
    void Commit();

private:
    TRegistry &reg_;
    bool active_;
};

namespace vx::registry {

// The store file used for HKEY_LOCAL_MACHINE, resolved from the environment at each call.
std::string StorePath();

// Key-name comparison form: ASCII letters lowered, CP949 double-byte characters kept whole.
AnsiString FoldName(const AnsiString &name);

} // namespace vx::registry
