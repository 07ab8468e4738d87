// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/registry/registry.h"

#include "platform/common/uniquefd.h"
#include "platform/device/device.h"

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <pwd.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int64_t kRootId = 1;            // HKEY_LOCAL_MACHINE
constexpr size_t kMaxKeyNameLength = 255; // bytes of one path component
constexpr size_t kMaxKeyDepth = 512;
constexpr std::chrono::milliseconds kBusyWait{15000}; // one wait for a locked store
constexpr DWORD KEY_SET_VALUE = 0x0002;
constexpr DWORD KEY_CREATE_SUB_KEY = 0x0004;

const char *const kSchema =
    "CREATE TABLE IF NOT EXISTS keys("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " parent INTEGER REFERENCES keys(id) ON DELETE CASCADE,"
    " name BLOB NOT NULL,"
    " folded BLOB NOT NULL,"
    " UNIQUE(parent, folded));"
    "CREATE TABLE IF NOT EXISTS vals("
    " key INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,"
    " name BLOB NOT NULL,"
    " folded BLOB NOT NULL,"
    " type INTEGER NOT NULL,"
    " data BLOB NOT NULL,"
    " PRIMARY KEY(key, folded));"
    "INSERT OR IGNORE INTO keys(id, parent, name, folded) VALUES(1, NULL, 'HKEY_LOCAL_MACHINE', '');"
    "PRAGMA user_version = 1;";

bool MkdirParents(const std::string &dir)
{
    if (dir.empty())
        return true;
    struct stat st {};
    if (stat(dir.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode);
    const size_t slash = dir.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !MkdirParents(dir.substr(0, slash)))
        return false;
    // The store's folders are private to the user that makes them.
    return mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

// A folder of root's that only root and its group may enter, and that hands its group on to what
// is made in it (the system store's folder, 2770 root:vellamorix).
bool GroupFolder(const std::string &dir)
{
    struct stat st {};
    return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == 0 && (st.st_mode & S_ISGID) &&
           (st.st_mode & S_IRWXG) == S_IRWXG && (st.st_mode & S_IRWXO) == 0;
}

// Makes the store file when it is missing: private to its user (0600), or readable and writable
// by the group (0660) in a group folder, whatever the umask.
bool CreateStoreFile(const std::string &path, const std::string &dir)
{
    const vx::UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd)
        return errno == EEXIST;
    return !GroupFolder(dir) || ::fchmod(fd.get(), 0660) == 0;
}

std::string DirOf(const std::string &path)
{
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Splits a key path into components. Leading and trailing backslashes are allowed; an empty
// component in the middle, a NUL byte or an over-long name makes the path malformed.
bool SplitPath(const AnsiString &path, std::vector<AnsiString> &out)
{
    size_t begin = 0;
    size_t end = path.size();
    if (begin < end && path[begin] == '\\')
        ++begin;
    if (end > begin && path[end - 1] == '\\')
        --end;
    if (begin >= end)
        return true;
    size_t pos = begin;
    while (true) {
        const size_t next = path.find('\\', pos);
        const size_t stop = (next == std::string::npos || next > end) ? end : next;
        AnsiString part = path.substr(pos, stop - pos);
        if (part.empty() || part.size() > kMaxKeyNameLength || part.find('\0') != std::string::npos)
            return false;
        out.push_back(std::move(part));
        if (stop >= end)
            break;
        pos = stop + 1;
    }
    return out.size() <= kMaxKeyDepth;
}

AnsiString JoinPath(const std::vector<AnsiString> &parts)
{
    AnsiString out;
    for (const AnsiString &p : parts) {
        if (!out.empty())
            out += '\\';
        out += p;
    }
    return out;
}

class Stmt {
public:
    Stmt(sqlite3 *db, const char *sql)
    {
        rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
    }
    ~Stmt() { sqlite3_finalize(stmt_); }
    Stmt(const Stmt &) = delete;
    Stmt &operator=(const Stmt &) = delete;

    bool ok() const { return rc_ == SQLITE_OK && stmt_ != nullptr; }
    Stmt &bind(int i, int64_t v)
    {
        if (ok())
            sqlite3_bind_int64(stmt_, i, v);
        return *this;
    }
    Stmt &bind(int i, const std::string &v)
    {
        if (ok())
            sqlite3_bind_blob(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step() { return ok() ? sqlite3_step(stmt_) : rc_; }
    int64_t integer(int col) { return sqlite3_column_int64(stmt_, col); }
    std::string blob(int col)
    {
        const void *p = sqlite3_column_blob(stmt_, col);
        const int n = sqlite3_column_bytes(stmt_, col);
        return p ? std::string(static_cast<const char *>(p), static_cast<size_t>(n)) : std::string();
    }

private:
    sqlite3_stmt *stmt_ = nullptr;
    int rc_ = SQLITE_ERROR;
};

std::string Quoted(const AnsiString &name)
{
    return "'" + name + "'";
}

} // namespace

struct TRegistry::Store {
    sqlite3 *db = nullptr;
    bool writable = false;
    // Each wait for a lock lasts up to kBusyWait, and ends at the deadline when there is one.
    std::optional<std::chrono::steady_clock::time_point> deadline;
    std::chrono::steady_clock::time_point waitStart;

    ~Store() { sqlite3_close_v2(db); }

    bool exec(const char *sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }
    std::string error() const { return db ? sqlite3_errmsg(db) : "no store"; }
};

namespace {

int WaitForLock(void *context, int count)
{
    auto *store = static_cast<TRegistry::Store *>(context);
    const auto now = std::chrono::steady_clock::now();
    if (count == 0)
        store->waitStart = now;
    auto limit = store->waitStart + kBusyWait;
    if (store->deadline)
        limit = std::min(limit, *store->deadline);
    if (now >= limit)
        return 0;
    const auto step = std::chrono::milliseconds(count < 10 ? 1 : 10);
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(step, limit - now));
    return 1;
}

// Opens the store. For writing the folder and file are created and the file and folder must be
// writable; for reading a missing file, or one that holds no keys yet, is simply absent.
std::unique_ptr<TRegistry::Store> OpenStore(bool forWrite,
                                            std::optional<std::chrono::steady_clock::time_point> deadline)
{
    const std::string path = vx::registry::StorePath();
    auto store = std::make_unique<TRegistry::Store>();
    store->deadline = deadline;
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX;
    if (forWrite) {
        if (!MkdirParents(DirOf(path)) || access(DirOf(path).c_str(), W_OK) != 0 ||
            (access(path.c_str(), F_OK) != 0 && !CreateStoreFile(path, DirOf(path)))) {
            SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
        flags |= SQLITE_OPEN_CREATE;
    } else if (access(path.c_str(), F_OK) != 0) {
        SetLastError(errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    if (sqlite3_open_v2(path.c_str(), &store->db, flags, nullptr) != SQLITE_OK) {
        SetLastError(ERROR_ACCESS_DENIED); // the file is there (or was made) but cannot be opened
        return nullptr;
    }
    sqlite3_busy_handler(store->db, WaitForLock, store.get());
    sqlite3_extended_result_codes(store->db, 1);
    store->writable = sqlite3_db_readonly(store->db, "main") == 0 && access(DirOf(path).c_str(), W_OK) == 0;
    if (forWrite && !store->writable) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    if (!store->exec("PRAGMA foreign_keys = ON")) {
        SetLastError(ERROR_GEN_FAILURE);
        return nullptr;
    }
    if (!forWrite) {
        // A file that holds no keys yet (made but never written) is a store without any key;
        // one that cannot be read is an error.
        Stmt q(store->db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'keys'");
        const int rc = q.step();
        if (rc == SQLITE_DONE) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return nullptr;
        }
        if (rc != SQLITE_ROW) {
            SetLastError(ERROR_GEN_FAILURE);
            return nullptr;
        }
    }
    if (store->writable) {
        // The schema is made once, under the write lock; no statement may stay open meanwhile.
        int64_t version = -1;
        {
            Stmt q(store->db, "PRAGMA user_version");
            if (q.step() == SQLITE_ROW)
                version = q.integer(0);
        }
        if (version < 0) {
            SetLastError(ERROR_GEN_FAILURE); // not a store file
            return nullptr;
        }
        if (version < 1) {
            if (!store->exec("BEGIN IMMEDIATE")) {
                SetLastError(ERROR_GEN_FAILURE);
                return nullptr;
            }
            if (!store->exec(kSchema) || !store->exec("COMMIT")) {
                store->exec("ROLLBACK");
                SetLastError(ERROR_GEN_FAILURE);
                return nullptr;
            }
        }
    }
    return store;
}

// A unit of change: its own transaction, or a savepoint inside the caller's transaction.
class WriteScope {
public:
    WriteScope(TRegistry::Store &s, bool inTransaction)
        : s_(s), outer_(!inTransaction)
    {
        ok_ = s_.exec(outer_ ? "BEGIN IMMEDIATE" : "SAVEPOINT vx_write");
    }
    ~WriteScope()
    {
        if (ok_ && !done_) {
            if (outer_)
                s_.exec("ROLLBACK");
            else if (!sqlite3_get_autocommit(s_.db))
                s_.exec("ROLLBACK TO vx_write; RELEASE vx_write");
        }
    }
    bool ok() const { return ok_; }
    bool commit()
    {
        done_ = true;
        if (!outer_ && sqlite3_get_autocommit(s_.db))
            return false; // the enclosing transaction was rolled back by the store
        if (s_.exec(outer_ ? "COMMIT" : "RELEASE vx_write"))
            return true;
        if (outer_)
            s_.exec("ROLLBACK");
        return false;
    }

private:
    TRegistry::Store &s_;
    bool outer_;
    bool ok_ = false;
    bool done_ = false;
};

// Finds a child key; 0 when missing, -1 on a store error. Fills the stored spelling.
int64_t FindChild(TRegistry::Store &s, int64_t parent, const AnsiString &name, AnsiString *stored)
{
    Stmt q(s.db, "SELECT id, name FROM keys WHERE parent = ?1 AND folded = ?2");
    q.bind(1, parent).bind(2, vx::registry::FoldName(name));
    const int rc = q.step();
    if (rc == SQLITE_ROW) {
        if (stored)
            *stored = q.blob(1);
        return q.integer(0);
    }
    return rc == SQLITE_DONE ? 0 : -1;
}

} // namespace

namespace vx::registry {

std::string StorePath()
{
    const char *env = std::getenv("VELLAMORIX_REGISTRY");
    if (env && *env)
        return env;
    if (geteuid() == 0 || vx::device::SystemEngineServes())
        return "/var/lib/vellamorix/registry.db";
    std::string base;
    const char *xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && xdg[0] == '/') {
        base = xdg;
    } else {
        const char *home = std::getenv("HOME");
        std::string h = home && *home ? home : "";
        if (h.empty()) {
            if (const passwd *pw = getpwuid(geteuid()); pw && pw->pw_dir)
                h = pw->pw_dir;
        }
        if (h.empty())
            h = "/tmp";
        base = h + "/.local/share";
    }
    return base + "/vellamorix/registry.db";
}

AnsiString FoldName(const AnsiString &name)
{
    AnsiString out = name;
    for (size_t i = 0; i < out.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(out[i]);
        if (c >= 0x81 && c <= 0xFE) {
            ++i; // the trail byte of a double-byte character stays as it is
        } else if (c >= 'A' && c <= 'Z') {
            out[i] = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

} // namespace vx::registry

TRegistry::TRegistry() = default;

TRegistry::TRegistry(DWORD access)
    : Access(access)
{
}

TRegistry::~TRegistry()
{
    if (inTransaction_)
        RollbackTransaction();
    CloseKey();
    delete store_;
}

bool TRegistry::Open(const AnsiString &path, bool canCreate, bool forWrite)
{
    if (RootKey != HKEY_LOCAL_MACHINE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    std::vector<AnsiString> parts;
    const bool absolute = (!path.empty() && path[0] == '\\') || currentKey_ == 0;
    if (!absolute && !SplitPath(currentPath_, parts)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (!SplitPath(path, parts) || parts.size() > kMaxKeyDepth) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (forWrite || canCreate) {
        if (!store_ || !store_->writable) {
            if (inTransaction_)
                return SetLastError(ERROR_ACCESS_DENIED), false;
            std::unique_ptr<Store> s = OpenStore(true, busyDeadline_);
            if (!s)
                return false;
            delete store_;
            store_ = s.release();
        }
    } else if (!store_) {
        std::unique_ptr<Store> s = OpenStore(false, busyDeadline_);
        if (!s)
            return false;
        store_ = s.release();
    }

    std::unique_ptr<WriteScope> scope;
    int64_t id = kRootId;
    std::vector<AnsiString> stored;
    for (const AnsiString &part : parts) {
        AnsiString spelling;
        int64_t child = FindChild(*store_, id, part, &spelling);
        if (child < 0) {
            SetLastError(ERROR_GEN_FAILURE);
            return false;
        }
        if (child == 0) {
            if (!canCreate || !store_->writable) {
                SetLastError(ERROR_FILE_NOT_FOUND);
                return false;
            }
            if (!scope) {
                scope = std::make_unique<WriteScope>(*store_, inTransaction_);
                if (!scope->ok()) {
                    SetLastError(ERROR_GEN_FAILURE);
                    return false;
                }
                // Another process may have made it before the write lock was taken.
                child = FindChild(*store_, id, part, &spelling);
            }
            if (child == 0) {
                Stmt ins(store_->db, "INSERT INTO keys(parent, name, folded) VALUES(?1, ?2, ?3)");
                ins.bind(1, id).bind(2, part).bind(3, vx::registry::FoldName(part));
                if (ins.step() != SQLITE_DONE) {
                    SetLastError(ERROR_GEN_FAILURE);
                    return false;
                }
                child = sqlite3_last_insert_rowid(store_->db);
                spelling = part;
            } else if (child < 0) {
                SetLastError(ERROR_GEN_FAILURE);
                return false;
            }
        }
        id = child;
        stored.push_back(spelling);
    }
    if (scope && !scope->commit()) {
        SetLastError(ERROR_GEN_FAILURE);
        return false;
    }
    currentKey_ = id;
    currentWritable_ = forWrite && store_->writable;
    currentPath_ = JoinPath(stored);
    SetLastError(ERROR_SUCCESS);
    return true;
}

bool TRegistry::OpenKey(const AnsiString &path, bool CanCreate)
{
    const bool forWrite = (Access & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY)) != 0;
    return Open(path, CanCreate, forWrite);
}

bool TRegistry::OpenKeyReadOnly(const AnsiString &path)
{
    return Open(path, false, false);
}

bool TRegistry::KeyExists(const AnsiString &path)
{
    const int64_t key = currentKey_;
    const bool writable = currentWritable_;
    const AnsiString current = currentPath_;
    const bool found = Open(path, false, false);
    currentKey_ = key;
    currentWritable_ = writable;
    currentPath_ = current;
    return found;
}

bool TRegistry::DeleteKey(const AnsiString &path)
{
    const int64_t key = currentKey_;
    const bool writable = currentWritable_;
    const AnsiString current = currentPath_;
    const bool found = Open(path, false, true);
    const int64_t target = currentKey_;
    currentKey_ = key;
    currentWritable_ = writable;
    currentPath_ = current;
    if (!found)
        return false;
    if (target == kRootId || !store_->writable) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    WriteScope scope(*store_, inTransaction_);
    if (!scope.ok()) {
        SetLastError(ERROR_GEN_FAILURE);
        return false;
    }
    Stmt del(store_->db, "DELETE FROM keys WHERE id = ?1");
    del.bind(1, target);
    if (del.step() != SQLITE_DONE || !scope.commit()) {
        SetLastError(ERROR_GEN_FAILURE);
        return false;
    }
    return true;
}

void TRegistry::CloseKey()
{
    currentKey_ = 0;
    currentWritable_ = false;
    currentPath_.clear();
}

void TRegistry::RequireWritableKey(const AnsiString &name)
{
    if (currentKey_ == 0 || !currentWritable_ || !store_ || !store_->writable) {
        SetLastError(currentKey_ == 0 ? ERROR_INVALID_HANDLE : ERROR_ACCESS_DENIED);
        throw ERegistryException("Failed to set data for " + Quoted(name));
    }
}

void TRegistry::WriteValue(const AnsiString &name, DWORD type, const std::string &data)
{
    RequireWritableKey(name);
    WriteScope scope(*store_, inTransaction_);
    if (!scope.ok())
        throw ERegistryException("Failed to set data for " + Quoted(name) + ": " + store_->error());
    Stmt ins(store_->db,
             "INSERT INTO vals(key, name, folded, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
             "ON CONFLICT(key, folded) DO UPDATE SET type = excluded.type, data = excluded.data");
    ins.bind(1, currentKey_).bind(2, name).bind(3, vx::registry::FoldName(name));
    ins.bind(4, static_cast<int64_t>(type)).bind(5, data);
    const int rc = ins.step();
    if (rc != SQLITE_DONE) {
        const bool deleted = (rc & 0xFF) == SQLITE_CONSTRAINT;
        SetLastError(deleted ? ERROR_KEY_DELETED : ERROR_GEN_FAILURE);
        throw ERegistryException("Failed to set data for " + Quoted(name) + ": " +
                                 (deleted ? std::string("the key has been deleted") : store_->error()));
    }
    if (!scope.commit())
        throw ERegistryException("Failed to set data for " + Quoted(name) + ": " + store_->error());
}

void TRegistry::WriteInteger(const AnsiString &name, int32_t value)
{
    const uint32_t v = static_cast<uint32_t>(value);
    std::string data(4, '\0');
    for (int i = 0; i < 4; ++i)
        data[static_cast<size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
    WriteValue(name, REG_DWORD, data);
}

void TRegistry::WriteString(const AnsiString &name, const AnsiString &value)
{
    WriteValue(name, REG_SZ, value + '\0');
}

void TRegistry::WriteExpandString(const AnsiString &name, const AnsiString &value)
{
    WriteValue(name, REG_EXPAND_SZ, value + '\0');
}

void TRegistry::WriteBinaryData(const AnsiString &name, const std::string &data)
{
    WriteValue(name, REG_BINARY, data);
}

bool TRegistry::DeleteValue(const AnsiString &name)
{
    if (currentKey_ == 0 || !currentWritable_ || !store_ || !store_->writable)
        return false;
    WriteScope scope(*store_, inTransaction_);
    if (!scope.ok())
        return false;
    Stmt del(store_->db, "DELETE FROM vals WHERE key = ?1 AND folded = ?2");
    del.bind(1, currentKey_).bind(2, vx::registry::FoldName(name));
    if (del.step() != SQLITE_DONE)
        return false;
    const bool removed = sqlite3_changes(store_->db) > 0;
    return scope.commit() && removed;
}

std::optional<TRegValue> TRegistry::ReadValue(const AnsiString &name)
{
    if (currentKey_ == 0 || !store_) {
        SetLastError(ERROR_INVALID_HANDLE);
        return std::nullopt;
    }
    Stmt q(store_->db, "SELECT name, type, data FROM vals WHERE key = ?1 AND folded = ?2");
    q.bind(1, currentKey_).bind(2, vx::registry::FoldName(name));
    const int rc = q.step();
    if (rc != SQLITE_ROW) {
        SetLastError(rc == SQLITE_DONE ? ERROR_FILE_NOT_FOUND : ERROR_GEN_FAILURE);
        return std::nullopt;
    }
    SetLastError(ERROR_SUCCESS);
    return TRegValue{q.blob(0), static_cast<DWORD>(q.integer(1)), q.blob(2)};
}

AnsiString TRegistry::ReadString(const AnsiString &name)
{
    const std::optional<TRegValue> v = ReadValue(name);
    if (!v || (v->Type != REG_SZ && v->Type != REG_EXPAND_SZ))
        return AnsiString();
    const size_t zero = v->Data.find('\0');
    return zero == std::string::npos ? v->Data : v->Data.substr(0, zero);
}

std::optional<DWORD> TRegistry::ReadDword(const AnsiString &name)
{
    const std::optional<TRegValue> v = ReadValue(name);
    if (!v || v->Type != REG_DWORD || v->Data.size() != 4)
        return std::nullopt;
    DWORD out = 0;
    for (int i = 3; i >= 0; --i)
        out = (out << 8) | static_cast<unsigned char>(v->Data[static_cast<size_t>(i)]);
    return out;
}

bool TRegistry::ValueExists(const AnsiString &name)
{
    return ReadValue(name).has_value();
}

std::vector<TRegValue> TRegistry::ReadValues()
{
    std::vector<TRegValue> out;
    if (currentKey_ == 0 || !store_)
        return out;
    Stmt q(store_->db, "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY rowid");
    q.bind(1, currentKey_);
    while (q.step() == SQLITE_ROW)
        out.push_back(TRegValue{q.blob(0), static_cast<DWORD>(q.integer(1)), q.blob(2)});
    return out;
}

std::vector<AnsiString> TRegistry::GetValueNames()
{
    std::vector<AnsiString> out;
    for (TRegValue &v : ReadValues())
        out.push_back(std::move(v.Name));
    return out;
}

std::vector<AnsiString> TRegistry::GetKeyNames()
{
    std::vector<AnsiString> out;
    if (currentKey_ == 0 || !store_)
        return out;
    Stmt q(store_->db, "SELECT name FROM keys WHERE parent = ?1 ORDER BY folded");
    q.bind(1, currentKey_);
    while (q.step() == SQLITE_ROW)
        out.push_back(q.blob(0));
    return out;
}

bool TRegistry::BeginTransaction()
{
    if (inTransaction_)
        throw ERegistryException("A registry transaction is already open");
    if (!store_ || !store_->writable) {
        std::unique_ptr<Store> s = OpenStore(true, busyDeadline_);
        if (!s) {
            if (GetLastError() == ERROR_ACCESS_DENIED)
                return false;
            throw ERegistryException("The registry store is busy or damaged");
        }
        delete store_;
        store_ = s.release();
    }
    if (!store_->exec("BEGIN IMMEDIATE"))
        throw ERegistryException("The registry store is busy or damaged: " + store_->error());
    inTransaction_ = true;
    return true;
}

void TRegistry::CommitTransaction()
{
    if (!inTransaction_)
        throw ERegistryException("No registry transaction is open");
    inTransaction_ = false;
    if (sqlite3_get_autocommit(store_->db))
        throw ERegistryException("The registry transaction was rolled back by the store");
    if (!store_->exec("COMMIT")) {
        const std::string why = store_->error();
        store_->exec("ROLLBACK");
        throw ERegistryException("Failed to commit registry changes: " + why);
    }
}

void TRegistry::SetBusyDeadline(std::chrono::steady_clock::time_point deadline)
{
    busyDeadline_ = deadline;
    if (store_)
        store_->deadline = deadline;
}

void TRegistry::RollbackTransaction()
{
    if (!inTransaction_)
        return;
    inTransaction_ = false;
    if (store_ && !sqlite3_get_autocommit(store_->db))
        store_->exec("ROLLBACK");
}

TRegistryTransaction::TRegistryTransaction(TRegistry &reg)
    : reg_(reg), active_(reg.BeginTransaction())
{
}

TRegistryTransaction::~TRegistryTransaction()
{
    if (active_)
        reg_.RollbackTransaction();
}

void TRegistryTransaction::Commit()
{
    if (!active_)
        return;
    active_ = false;
    reg_.CommitTransaction();
}
