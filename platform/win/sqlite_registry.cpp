#include "platform/win/sqlite_registry.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <system_error>
#include <unordered_map>

#include "platform/win/registry_handles.h"

namespace corvid::win {
namespace fs = std::filesystem;
namespace {

constexpr int64_t kRootKeyId = 1;
constexpr int kBusyTimeoutMs = 10000;

// The one place where SQLite's result codes become Win32's.
LONG ErrorFromSqlite(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return ERROR_SUCCESS;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return ERROR_ACCESS_DENIED;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return ERROR_SHARING_VIOLATION;
    case SQLITE_NOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_FULL:
      return ERROR_DISK_FULL;
    case SQLITE_CANTOPEN:
      return ERROR_CANTOPEN;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_ERROR:  // a database without our tables
    case SQLITE_SCHEMA:
      return ERROR_BADDB;
    default:
      return ERROR_REGISTRY_IO_FAILED;
  }
}

constexpr char kSchema[] =
    "CREATE TABLE IF NOT EXISTS keys("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  parent INTEGER NOT NULL,"
    "  name TEXT NOT NULL COLLATE NOCASE,"
    "  UNIQUE(parent, name));"
    "CREATE TABLE IF NOT EXISTS vals("
    "  key INTEGER NOT NULL,"
    "  name TEXT NOT NULL COLLATE NOCASE,"
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL,"
    "  PRIMARY KEY(key, name));";

struct Hive {
  fs::path file;
  sqlite3* db = nullptr;
  bool writable_connection = false;
  std::unordered_map<const char*, sqlite3_stmt*> statements;

  void Close() {
    for (auto& [sql, statement] : statements) sqlite3_finalize(statement);
    statements.clear();
    if (db != nullptr) sqlite3_close(db);
    db = nullptr;
    writable_connection = false;
  }
};

// A cached prepared statement, reset when it goes out of scope. Parameters
// are bound in order.
class Statement {
 public:
  Statement(Hive& hive, const char* sql) {
    auto found = hive.statements.find(sql);
    if (found != hive.statements.end()) {
      statement_ = found->second;
      return;
    }
    rc_ = sqlite3_prepare_v3(hive.db, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement_, nullptr);
    if (rc_ == SQLITE_OK) hive.statements.emplace(sql, statement_);
  }
  ~Statement() {
    if (statement_ != nullptr) {
      sqlite3_reset(statement_);
      sqlite3_clear_bindings(statement_);
    }
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int64_t value) {
    if (rc_ == SQLITE_OK) rc_ = sqlite3_bind_int64(statement_, ++bound_, value);
    return *this;
  }
  Statement& BindText(std::string_view text) {
    if (rc_ == SQLITE_OK) {
      rc_ = sqlite3_bind_text(statement_, ++bound_, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    return *this;
  }
  Statement& BindBlob(std::string_view bytes) {
    if (rc_ != SQLITE_OK) return *this;
    // A null pointer would bind NULL; an empty value is a zero-length blob.
    rc_ = bytes.empty() ? sqlite3_bind_zeroblob(statement_, ++bound_, 0)
                        : sqlite3_bind_blob(statement_, ++bound_, bytes.data(), static_cast<int>(bytes.size()),
                                            SQLITE_TRANSIENT);
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or an error.
  int Step() { return rc_ == SQLITE_OK ? sqlite3_step(statement_) : rc_; }

  int64_t Int(int column) { return sqlite3_column_int64(statement_, column); }
  std::string Bytes(int column) {
    const void* data = sqlite3_column_blob(statement_, column);
    const int size = sqlite3_column_bytes(statement_, column);
    return data == nullptr ? std::string() : std::string(static_cast<const char*>(data), static_cast<size_t>(size));
  }

 private:
  sqlite3_stmt* statement_ = nullptr;
  int rc_ = SQLITE_OK;
  int bound_ = 0;
};

// BEGIN IMMEDIATE takes the write lock at once, so two writers never both
// read and then fail to upgrade.
class Transaction {
 public:
  explicit Transaction(Hive& hive) : hive_(hive) {
    rc_ = sqlite3_exec(hive_.db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    open_ = rc_ == SQLITE_OK;
  }
  ~Transaction() {
    if (open_) sqlite3_exec(hive_.db, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  LONG BeginResult() const { return ErrorFromSqlite(rc_); }
  LONG Commit() {
    const int rc = sqlite3_exec(hive_.db, "COMMIT", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) open_ = false;
    return ErrorFromSqlite(rc);
  }

 private:
  Hive& hive_;
  int rc_;
  bool open_;
};

bool HiveWritable(const fs::path& file) {
  struct stat status;
  if (::stat(file.c_str(), &status) == 0) {
    if ((status.st_mode & 0222) == 0 || ::access(file.c_str(), W_OK) != 0) return false;
  } else if (errno != ENOENT) {
    return false;
  }
  // The write-ahead log and its index are made beside the database.
  return ::access(file.parent_path().c_str(), W_OK) == 0;
}

struct OpenKeyInfo {
  int hive;
  int64_t id;
  REGSAM access;
};

}  // namespace

struct TSqliteRegistry::Impl {
  fs::path directory;
  std::vector<TSeedValue> seeds;
  std::mutex mutex;
  Hive hives[2];
  TKeyHandles<OpenKeyInfo> handles;

  static int HiveIndex(HKEY root) { return TKeyHandles<OpenKeyInfo>::HiveIndex(root); }

  LONG Resolve(HKEY key, OpenKeyInfo* info) {
    const int root = HiveIndex(key);
    if (root >= 0) {
      *info = {root, kRootKeyId, KEY_ALL_ACCESS};
      return ERROR_SUCCESS;
    }
    const OpenKeyInfo* found = handles.Find(key);
    if (found == nullptr) return ERROR_INVALID_HANDLE;
    *info = *found;
    return ERROR_SUCCESS;
  }

  HKEY NewHandle(const OpenKeyInfo& info) { return handles.Add(info); }

  bool Writable(int hive) const { return HiveWritable(hives[hive].file); }

  // Runs the schema and, on a brand-new hive, plants its seed values.
  LONG Prepare(int index) {
    Hive& hive = hives[index];
    int rc = SQLITE_BUSY;
    for (int attempt = 0; attempt < 50 && (rc & 0xFF) == SQLITE_BUSY; ++attempt) {
      rc = sqlite3_exec(hive.db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
      if ((rc & 0xFF) == SQLITE_BUSY) ::usleep(20000);
    }
    if (rc != SQLITE_OK) return ErrorFromSqlite(rc);
    rc = sqlite3_exec(hive.db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return ErrorFromSqlite(rc);

    Transaction transaction(hive);
    if (transaction.BeginResult() != ERROR_SUCCESS) return transaction.BeginResult();
    rc = sqlite3_exec(hive.db, kSchema, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return ErrorFromSqlite(rc);
    rc = Statement(hive, "INSERT OR IGNORE INTO keys(id, parent, name) VALUES(1, 0, '')").Step();
    if (rc != SQLITE_DONE) return ErrorFromSqlite(rc);
    if (sqlite3_changes(hive.db) == 1) {
      for (const TSeedValue& seed : seeds) {
        if (HiveIndex(seed.root) != index) continue;
        std::vector<std::string_view> names;
        if (SplitKeyPath(seed.key, &names) != ERROR_SUCCESS) continue;
        int64_t id = kRootKeyId;
        bool created = false;
        LONG result = WalkCreate(hive, names, &id, &created);
        if (result != ERROR_SUCCESS) return result;
        result = Upsert(hive, id, seed.name, seed.type, seed.data);
        if (result != ERROR_SUCCESS) return result;
      }
    }
    return transaction.Commit();
  }

  // Opens the hive's database: read-write when the hive may be written,
  // read-only otherwise, and an empty in-memory hive when the file neither
  // exists nor can be made.
  LONG EnsureOpen(int index, bool for_write) {
    Hive& hive = hives[index];
    // Reads use whatever connection is open; only writes look at the file's
    // permissions again, since an administrator may lock the hive meanwhile.
    if (hive.db != nullptr && !for_write) return ERROR_SUCCESS;
    const bool writable = Writable(index);
    if (for_write && !writable) return ERROR_ACCESS_DENIED;
    if (hive.db != nullptr && (hive.writable_connection || !writable)) return ERROR_SUCCESS;
    hive.Close();

    std::error_code error;
    const bool exists = fs::exists(hive.file, error);
    int rc;
    if (writable) {
      rc = sqlite3_open_v2(hive.file.c_str(), &hive.db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    } else if (exists) {
      rc = sqlite3_open_v2(hive.file.c_str(), &hive.db, SQLITE_OPEN_READONLY, nullptr);
    } else {
      rc = sqlite3_open_v2(":memory:", &hive.db, SQLITE_OPEN_READWRITE, nullptr);
    }
    if (rc != SQLITE_OK) {
      hive.Close();
      return ErrorFromSqlite(rc);
    }
    sqlite3_busy_timeout(hive.db, kBusyTimeoutMs);
    sqlite3_extended_result_codes(hive.db, 0);

    LONG result = ERROR_SUCCESS;
    if (writable || !exists) {
      result = Prepare(index);
    } else if (ProbeRoot(hive) != ERROR_SUCCESS) {
      // Reading a write-ahead-logged database needs its index file; where
      // that cannot be made, read the file as it stands.
      hive.Close();
      const std::string uri = "file:" + hive.file.string() + "?immutable=1";
      rc = sqlite3_open_v2(uri.c_str(), &hive.db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
      result = rc == SQLITE_OK ? ProbeRoot(hive) : ErrorFromSqlite(rc);
    }
    if (result != ERROR_SUCCESS) {
      hive.Close();
      return result;
    }
    hive.writable_connection = writable;
    return ERROR_SUCCESS;
  }

  static LONG ProbeRoot(Hive& hive) {
    const int rc = Statement(hive, "SELECT id FROM keys WHERE id = 1").Step();
    if (rc == SQLITE_ROW) return ERROR_SUCCESS;
    return rc == SQLITE_DONE ? ERROR_BADDB : ErrorFromSqlite(rc);
  }

  static LONG CheckAlive(Hive& hive, int64_t id) {
    if (id == kRootKeyId) return ERROR_SUCCESS;
    const int rc = Statement(hive, "SELECT 1 FROM keys WHERE id = ?").Bind(id).Step();
    if (rc == SQLITE_ROW) return ERROR_SUCCESS;
    return rc == SQLITE_DONE ? ERROR_KEY_DELETED : ErrorFromSqlite(rc);
  }

  // Follows `names` from `*id` as far as keys exist. `found` gets the number
  // of names matched and `spelled_alike` whether all matched byte for byte.
  static LONG Walk(Hive& hive, const std::vector<std::string_view>& names, int64_t* id, size_t* found,
                   bool* spelled_alike) {
    *found = 0;
    *spelled_alike = true;
    for (std::string_view name : names) {
      Statement select(hive, "SELECT id, name FROM keys WHERE parent = ? AND name = ?");
      const int rc = select.Bind(*id).BindText(name).Step();
      if (rc == SQLITE_DONE) return ERROR_SUCCESS;
      if (rc != SQLITE_ROW) return ErrorFromSqlite(rc);
      *id = select.Int(0);
      if (select.Bytes(1) != name) *spelled_alike = false;
      ++*found;
    }
    return ERROR_SUCCESS;
  }

  // Inside a write transaction: opens or creates every key of `names` below
  // `*id`, giving existing ones the spelling asked for.
  static LONG WalkCreate(Hive& hive, const std::vector<std::string_view>& names, int64_t* id, bool* created_last) {
    *created_last = false;
    for (std::string_view name : names) {
      int64_t child = 0;
      {
        Statement select(hive, "SELECT id, name FROM keys WHERE parent = ? AND name = ?");
        const int rc = select.Bind(*id).BindText(name).Step();
        if (rc == SQLITE_ROW) {
          child = select.Int(0);
          if (select.Bytes(1) != name) {
            const int update = Statement(hive, "UPDATE keys SET name = ? WHERE id = ?").BindText(name).Bind(child).Step();
            if (update != SQLITE_DONE) return ErrorFromSqlite(update);
          }
          *created_last = false;
        } else if (rc != SQLITE_DONE) {
          return ErrorFromSqlite(rc);
        }
      }
      if (child == 0) {
        const int rc = Statement(hive, "INSERT INTO keys(parent, name) VALUES(?, ?)").Bind(*id).BindText(name).Step();
        if (rc != SQLITE_DONE) return ErrorFromSqlite(rc);
        child = sqlite3_last_insert_rowid(hive.db);
        *created_last = true;
      }
      *id = child;
    }
    return ERROR_SUCCESS;
  }

  static LONG Upsert(Hive& hive, int64_t key, std::string_view name, DWORD type, std::string_view data) {
    const int rc = Statement(hive,
                             "INSERT INTO vals(key, name, type, data) VALUES(?, ?, ?, ?) "
                             "ON CONFLICT(key, name) DO UPDATE SET "
                             "name = excluded.name, type = excluded.type, data = excluded.data")
                       .Bind(key)
                       .BindText(name)
                       .Bind(type)
                       .BindBlob(data)
                       .Step();
    return rc == SQLITE_DONE ? ERROR_SUCCESS : ErrorFromSqlite(rc);
  }

  // Resolves `key`, checks `needed` rights on it, opens its hive and checks
  // that the key still exists.
  LONG Enter(HKEY key, REGSAM needed, bool for_write, OpenKeyInfo* info) {
    LONG result = Resolve(key, info);
    if (result != ERROR_SUCCESS) return result;
    if ((info->access & needed) != needed) return ERROR_ACCESS_DENIED;
    result = EnsureOpen(info->hive, for_write);
    if (result != ERROR_SUCCESS) return result;
    return CheckAlive(hives[info->hive], info->id);
  }

  // Finds the key `sub_key` below `parent`; ERROR_FILE_NOT_FOUND when missing.
  LONG Locate(HKEY parent, std::string_view sub_key, OpenKeyInfo* parent_info, int64_t* id) {
    std::vector<std::string_view> names;
    LONG result = SplitKeyPath(sub_key, &names);
    if (result != ERROR_SUCCESS) return result;
    result = Enter(parent, 0, false, parent_info);
    if (result != ERROR_SUCCESS) return result;
    *id = parent_info->id;
    size_t found = 0;
    bool spelled_alike = true;
    result = Walk(hives[parent_info->hive], names, id, &found, &spelled_alike);
    if (result != ERROR_SUCCESS) return result;
    return found == names.size() ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
  }
};

TSqliteRegistry::TSqliteRegistry(fs::path directory, std::vector<TSeedValue> seeds) : impl_(new Impl) {
  std::error_code ignored;
  fs::create_directories(directory, ignored);
  impl_->directory = std::move(directory);
  impl_->seeds = std::move(seeds);
  impl_->hives[0].file = impl_->directory / "HKEY_LOCAL_MACHINE.db";
  impl_->hives[1].file = impl_->directory / "HKEY_CURRENT_USER.db";
}

TSqliteRegistry::~TSqliteRegistry() {
  for (Hive& hive : impl_->hives) hive.Close();
}

fs::path TSqliteRegistry::HiveFile(HKEY root) const {
  const int index = Impl::HiveIndex(root);
  return index < 0 ? fs::path() : impl_->hives[index].file;
}

LONG TSqliteRegistry::OpenKey(HKEY parent, std::string_view sub_key, REGSAM access, HKEY* result) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  OpenKeyInfo parent_info;
  int64_t id = 0;
  const LONG located = impl_->Locate(parent, sub_key, &parent_info, &id);
  if (located != ERROR_SUCCESS) return located;
  if ((access & kKeyWriteRights) != 0 && !impl_->Writable(parent_info.hive)) return ERROR_ACCESS_DENIED;
  *result = impl_->NewHandle({parent_info.hive, id, access});
  return ERROR_SUCCESS;
}

LONG TSqliteRegistry::CreateKey(HKEY parent, std::string_view sub_key, REGSAM access, HKEY* result,
                                DWORD* disposition) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  std::vector<std::string_view> names;
  LONG status = SplitKeyPath(sub_key, &names);
  if (status != ERROR_SUCCESS) return status;
  OpenKeyInfo parent_info;
  status = impl_->Enter(parent, 0, false, &parent_info);
  if (status != ERROR_SUCCESS) return status;
  Hive& hive = impl_->hives[parent_info.hive];

  int64_t id = parent_info.id;
  size_t found = 0;
  bool spelled_alike = true;
  status = Impl::Walk(hive, names, &id, &found, &spelled_alike);
  if (status != ERROR_SUCCESS) return status;

  const bool write_access = (access & kKeyWriteRights) != 0;
  const bool writable = impl_->Writable(parent_info.hive);
  bool created = false;
  if (found == names.size() && (spelled_alike || !write_access)) {
    if (write_access && !writable) return ERROR_ACCESS_DENIED;
  } else {
    if (!writable) return ERROR_ACCESS_DENIED;
    if (found < names.size() && (parent_info.access & KEY_CREATE_SUB_KEY) == 0) return ERROR_ACCESS_DENIED;
    status = impl_->EnsureOpen(parent_info.hive, true);
    if (status != ERROR_SUCCESS) return status;
    Transaction transaction(hive);
    if (transaction.BeginResult() != ERROR_SUCCESS) return transaction.BeginResult();
    status = Impl::CheckAlive(hive, parent_info.id);
    if (status != ERROR_SUCCESS) return status;
    id = parent_info.id;
    status = Impl::WalkCreate(hive, names, &id, &created);
    if (status != ERROR_SUCCESS) return status;
    status = transaction.Commit();
    if (status != ERROR_SUCCESS) return status;
  }
  *result = impl_->NewHandle({parent_info.hive, id, access});
  if (disposition != nullptr) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

LONG TSqliteRegistry::CloseKey(HKEY key) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->handles.Close(key);
}

LONG TSqliteRegistry::EnumKey(HKEY key, DWORD index, std::string* name) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  OpenKeyInfo info;
  const LONG status = impl_->Enter(key, KEY_ENUMERATE_SUB_KEYS, false, &info);
  if (status != ERROR_SUCCESS) return status;
  Statement select(impl_->hives[info.hive], "SELECT name FROM keys WHERE parent = ? ORDER BY name LIMIT 1 OFFSET ?");
  const int rc = select.Bind(info.id).Bind(index).Step();
  if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
  if (rc != SQLITE_ROW) return ErrorFromSqlite(rc);
  *name = select.Bytes(0);
  return ERROR_SUCCESS;
}

LONG TSqliteRegistry::EnumValue(HKEY key, DWORD index, std::string* name, DWORD* type, std::string* data) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  OpenKeyInfo info;
  const LONG status = impl_->Enter(key, KEY_QUERY_VALUE, false, &info);
  if (status != ERROR_SUCCESS) return status;
  Statement select(impl_->hives[info.hive],
                   "SELECT name, type, data FROM vals WHERE key = ? ORDER BY rowid LIMIT 1 OFFSET ?");
  const int rc = select.Bind(info.id).Bind(index).Step();
  if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
  if (rc != SQLITE_ROW) return ErrorFromSqlite(rc);
  *name = select.Bytes(0);
  if (type != nullptr) *type = static_cast<DWORD>(select.Int(1));
  if (data != nullptr) *data = select.Bytes(2);
  return ERROR_SUCCESS;
}

LONG TSqliteRegistry::QueryValue(HKEY key, std::string_view name, DWORD* type, std::string* data) {
  if (CheckValueName(name) != ERROR_SUCCESS) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  OpenKeyInfo info;
  const LONG status = impl_->Enter(key, KEY_QUERY_VALUE, false, &info);
  if (status != ERROR_SUCCESS) return status;
  Statement select(impl_->hives[info.hive], "SELECT type, data FROM vals WHERE key = ? AND name = ?");
  const int rc = select.Bind(info.id).BindText(name).Step();
  if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
  if (rc != SQLITE_ROW) return ErrorFromSqlite(rc);
  if (type != nullptr) *type = static_cast<DWORD>(select.Int(0));
  if (data != nullptr) *data = select.Bytes(1);
  return ERROR_SUCCESS;
}

LONG TSqliteRegistry::SetValue(HKEY key, std::string_view name, DWORD type, std::string_view data) {
  if (CheckValueName(name) != ERROR_SUCCESS) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  OpenKeyInfo info;
  LONG status = impl_->Enter(key, KEY_SET_VALUE, true, &info);
  if (status != ERROR_SUCCESS) return status;
  Hive& hive = impl_->hives[info.hive];
  {
    // Settings are saved whole and mostly unchanged: a value that is already
    // stored exactly so needs no write transaction.
    Statement select(hive, "SELECT name, type, data FROM vals WHERE key = ? AND name = ?");
    if (select.Bind(info.id).BindText(name).Step() == SQLITE_ROW && select.Bytes(0) == name &&
        static_cast<DWORD>(select.Int(1)) == type && select.Bytes(2) == data) {
      return ERROR_SUCCESS;
    }
  }
  Transaction transaction(hive);
  if (transaction.BeginResult() != ERROR_SUCCESS) return transaction.BeginResult();
  status = Impl::CheckAlive(hive, info.id);
  if (status != ERROR_SUCCESS) return status;
  status = Impl::Upsert(hive, info.id, name, type, data);
  if (status != ERROR_SUCCESS) return status;
  return transaction.Commit();
}

LONG TSqliteRegistry::AddToDword(HKEY key, std::string_view name, int32_t delta, int32_t base, int32_t* result) {
  if (CheckValueName(name) != ERROR_SUCCESS) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  OpenKeyInfo info;
  LONG status = impl_->Enter(key, KEY_SET_VALUE | KEY_QUERY_VALUE, true, &info);
  if (status != ERROR_SUCCESS) return status;
  Hive& hive = impl_->hives[info.hive];
  // Read and write under one write lock: another process's increment
  // waits for this one and then adds to its result.
  Transaction transaction(hive);
  if (transaction.BeginResult() != ERROR_SUCCESS) return transaction.BeginResult();
  status = Impl::CheckAlive(hive, info.id);
  if (status != ERROR_SUCCESS) return status;
  std::optional<std::string> stored;
  {
    Statement select(hive, "SELECT type, data FROM vals WHERE key = ? AND name = ?");
    const int rc = select.Bind(info.id).BindText(name).Step();
    if (rc == SQLITE_ROW && static_cast<DWORD>(select.Int(0)) == REG_DWORD) stored = select.Bytes(1);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return ErrorFromSqlite(rc);
  }
  const int32_t sum = AddedDword(stored, delta, base);
  status = Impl::Upsert(hive, info.id, name, REG_DWORD,
                        std::string_view(reinterpret_cast<const char*>(&sum), sizeof sum));
  if (status != ERROR_SUCCESS) return status;
  status = transaction.Commit();
  if (status == ERROR_SUCCESS && result != nullptr) *result = sum;
  return status;
}

LONG TSqliteRegistry::DeleteValue(HKEY key, std::string_view name) {
  if (CheckValueName(name) != ERROR_SUCCESS) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  OpenKeyInfo info;
  LONG status = impl_->Enter(key, KEY_SET_VALUE, true, &info);
  if (status != ERROR_SUCCESS) return status;
  Hive& hive = impl_->hives[info.hive];
  Transaction transaction(hive);
  if (transaction.BeginResult() != ERROR_SUCCESS) return transaction.BeginResult();
  status = Impl::CheckAlive(hive, info.id);
  if (status != ERROR_SUCCESS) return status;
  const int rc = Statement(hive, "DELETE FROM vals WHERE key = ? AND name = ?").Bind(info.id).BindText(name).Step();
  if (rc != SQLITE_DONE) return ErrorFromSqlite(rc);
  if (sqlite3_changes(hive.db) == 0) return ERROR_FILE_NOT_FOUND;
  return transaction.Commit();
}

LONG TSqliteRegistry::DeleteKey(HKEY parent, std::string_view sub_key) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  OpenKeyInfo parent_info;
  int64_t id = 0;
  LONG status = impl_->Locate(parent, sub_key, &parent_info, &id);
  if (status != ERROR_SUCCESS) return status;
  if (id == kRootKeyId) return ERROR_ACCESS_DENIED;
  status = impl_->EnsureOpen(parent_info.hive, true);
  if (status != ERROR_SUCCESS) return status;
  Hive& hive = impl_->hives[parent_info.hive];
  Transaction transaction(hive);
  if (transaction.BeginResult() != ERROR_SUCCESS) return transaction.BeginResult();
  if (Impl::CheckAlive(hive, id) != ERROR_SUCCESS) return ERROR_FILE_NOT_FOUND;
  int rc = Statement(hive, "SELECT 1 FROM keys WHERE parent = ? LIMIT 1").Bind(id).Step();
  if (rc == SQLITE_ROW) return ERROR_ACCESS_DENIED;
  if (rc != SQLITE_DONE) return ErrorFromSqlite(rc);
  rc = Statement(hive, "DELETE FROM vals WHERE key = ?").Bind(id).Step();
  if (rc != SQLITE_DONE) return ErrorFromSqlite(rc);
  rc = Statement(hive, "DELETE FROM keys WHERE id = ?").Bind(id).Step();
  if (rc != SQLITE_DONE) return ErrorFromSqlite(rc);
  return transaction.Commit();
}

LONG TSqliteRegistry::DeleteTree(HKEY parent, std::string_view sub_key) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  OpenKeyInfo parent_info;
  int64_t id = 0;
  LONG status = impl_->Locate(parent, sub_key, &parent_info, &id);
  if (status != ERROR_SUCCESS) return status;
  if (id == kRootKeyId) return ERROR_ACCESS_DENIED;
  const bool keep_top = id == parent_info.id;
  status = impl_->EnsureOpen(parent_info.hive, true);
  if (status != ERROR_SUCCESS) return status;
  Hive& hive = impl_->hives[parent_info.hive];
  Transaction transaction(hive);
  if (transaction.BeginResult() != ERROR_SUCCESS) return transaction.BeginResult();
  if (Impl::CheckAlive(hive, id) != ERROR_SUCCESS) return keep_top ? ERROR_KEY_DELETED : ERROR_FILE_NOT_FOUND;
  int rc = Statement(hive,
                     "WITH RECURSIVE tree(id) AS (SELECT ? UNION ALL "
                     "SELECT keys.id FROM keys JOIN tree ON keys.parent = tree.id) "
                     "DELETE FROM vals WHERE key IN tree")
               .Bind(id)
               .Step();
  if (rc != SQLITE_DONE) return ErrorFromSqlite(rc);
  rc = Statement(hive,
                 "WITH RECURSIVE tree(id) AS (SELECT ? UNION ALL "
                 "SELECT keys.id FROM keys JOIN tree ON keys.parent = tree.id) "
                 "DELETE FROM keys WHERE id IN tree AND id <> ?")
           .Bind(id)
           .Bind(keep_top ? id : 0)
           .Step();
  if (rc != SQLITE_DONE) return ErrorFromSqlite(rc);
  return transaction.Commit();
}

}  // namespace corvid::win
