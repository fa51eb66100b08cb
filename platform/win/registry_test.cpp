#include "platform/win/registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <memory>

#include "platform/win/machine.h"
#include "platform/win/memory_registry.h"
#include "platform/win/sqlite_registry.h"
#include "platform/win/test_support.h"

namespace corvid::win {
namespace {

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Both implementations must keep the same rules; each contract test runs on
// the SQLite registry of a temporary machine and on the memory one.
struct SqliteFlavour {
  TTestMachine machine;
  std::shared_ptr<TSqliteRegistry> registry = std::make_shared<TSqliteRegistry>(machine.Root() / "registry");
  void LockHive(HKEY root) { ASSERT_EQ(::chmod(registry->HiveFile(root).c_str(), 0444), 0); }
};

struct MemoryFlavour {
  std::shared_ptr<TMemoryRegistry> registry = std::make_shared<TMemoryRegistry>();
  void LockHive(HKEY root) { registry->SetHiveWritable(root, false); }
};

template <typename Flavour>
class RegistryContractTest : public testing::Test {
 protected:
  TRegistry& R() { return *flavour_.registry; }

  HKEY Create(HKEY parent, const std::string& path, REGSAM access = KEY_ALL_ACCESS) {
    HKEY key = nullptr;
    EXPECT_EQ(R().CreateKey(parent, path, access, &key, nullptr), ERROR_SUCCESS) << path;
    return key;
  }
  void Set(HKEY key, const std::string& name, const std::string& data, DWORD type = REG_SZ) {
    EXPECT_EQ(R().SetValue(key, name, type, data), ERROR_SUCCESS) << name;
  }
  std::vector<std::string> ValueNames(HKEY key) {
    std::vector<std::string> names;
    std::string name;
    for (DWORD i = 0; R().EnumValue(key, i, &name, nullptr, nullptr) == ERROR_SUCCESS; ++i) names.push_back(name);
    return names;
  }
  std::vector<std::string> KeyNames(HKEY key) {
    std::vector<std::string> names;
    std::string name;
    for (DWORD i = 0; R().EnumKey(key, i, &name) == ERROR_SUCCESS; ++i) names.push_back(name);
    return names;
  }

  Flavour flavour_;
};

using Flavours = testing::Types<SqliteFlavour, MemoryFlavour>;
TYPED_TEST_SUITE(RegistryContractTest, Flavours);

TYPED_TEST(RegistryContractTest, NamesIgnoreCaseAndKeepTheLastSpelling) {
  HKEY key = this->Create(HKEY_CURRENT_USER, "Software\\Corvid");
  this->Set(key, "Enabled", "1");
  this->Set(key, "ENABLED", "2");
  EXPECT_EQ(this->ValueNames(key), std::vector<std::string>{"ENABLED"});
  this->R().CloseKey(key);

  HKEY again = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(this->R().OpenKey(HKEY_CURRENT_USER, "SOFTWARE\\corvid", KEY_READ, &again), ERROR_SUCCESS);
  this->R().CloseKey(again);
  EXPECT_EQ(this->KeyNames(HKEY_CURRENT_USER), std::vector<std::string>{"Software"}) << "opening respells nothing";
  ASSERT_EQ(this->R().CreateKey(HKEY_CURRENT_USER, "software\\CORVID", KEY_ALL_ACCESS, &again, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  EXPECT_EQ(DumpTree(this->R(), HKEY_CURRENT_USER, ""), "[]\n[software]\n[software\\CORVID]\n  \"ENABLED\" type=1 32\n");
  this->R().CloseKey(again);

  // The two hives are separate trees.
  EXPECT_EQ(DumpTree(this->R(), HKEY_LOCAL_MACHINE, "Software\\Corvid"), "<error 2>");
}

TYPED_TEST(RegistryContractTest, ValuesKeepTypeBytesAndOrder) {
  struct Case {
    const char* name;
    DWORD type;
    std::string data;
  };
  const Case cases[] = {
      {"Text", REG_SZ, std::string("abc\0", 4)},
      {"Expand", REG_EXPAND_SZ, std::string("%HOME%\0", 7)},
      {"Number", REG_DWORD, std::string("\x78\x56\x34\x12", 4)},
      {"Blob", REG_BINARY, std::string("\x00\xff\x00", 3)},
      {"Multi", REG_MULTI_SZ, std::string("a\0b\0\0", 5)},
      {"", REG_SZ, std::string("default\0", 8)},
      {"Empty", REG_BINARY, std::string()},
      {"Odd", 11, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8)},
  };
  HKEY key = this->Create(HKEY_LOCAL_MACHINE, "Types");
  for (const Case& c : cases) this->Set(key, c.name, c.data, c.type);
  this->Set(key, "Text", std::string("replaced\0", 9));  // keeps its place
  for (const Case& c : cases) {
    DWORD type = 0;
    std::string data;
    ASSERT_EQ(this->R().QueryValue(key, c.name, &type, &data), ERROR_SUCCESS) << c.name;
    EXPECT_EQ(type, c.type) << c.name;
    if (std::string(c.name) != "Text") {
      EXPECT_EQ(data, c.data) << c.name;
    }
  }
  EXPECT_EQ(this->ValueNames(key),
            (std::vector<std::string>{"Text", "Expand", "Number", "Blob", "Multi", "", "Empty", "Odd"}));
  EXPECT_EQ(this->R().QueryValue(key, "Missing", nullptr, nullptr), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(this->R().EnumValue(key, 8, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);

  for (const char* name : {"beta", "Alpha", "gamma", "_under", "Beta2"}) this->R().CloseKey(this->Create(key, name));
  EXPECT_EQ(this->KeyNames(key), (std::vector<std::string>{"_under", "Alpha", "beta", "Beta2", "gamma"}));
  this->R().CloseKey(key);
}

TYPED_TEST(RegistryContractTest, KeyPathRules) {
  struct Case {
    std::string path;
    LONG expected;
  };
  const Case cases[] = {
      {"A\\B\\", ERROR_SUCCESS},
      {"\\A", ERROR_BAD_PATHNAME},
      {"A\\\\B", ERROR_BAD_PATHNAME},
      {std::string(255, 'k'), ERROR_SUCCESS},
      {std::string(256, 'k'), ERROR_INVALID_PARAMETER},
      {std::string("A\0B", 3), ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    HKEY key = nullptr;
    EXPECT_EQ(this->R().CreateKey(HKEY_CURRENT_USER, c.path, KEY_ALL_ACCESS, &key, nullptr), c.expected) << c.path;
    if (key != nullptr) this->R().CloseKey(key);
  }
  HKEY same = nullptr;
  ASSERT_EQ(this->R().OpenKey(HKEY_CURRENT_USER, "A\\B", KEY_ALL_ACCESS, &same), ERROR_SUCCESS);
  HKEY itself = nullptr;
  ASSERT_EQ(this->R().OpenKey(same, "", KEY_ALL_ACCESS, &itself), ERROR_SUCCESS);
  this->Set(itself, "v", "x");
  EXPECT_EQ(this->ValueNames(same), std::vector<std::string>{"v"}) << "the empty path names the key itself";
  this->R().CloseKey(itself);
  this->R().CloseKey(same);
  EXPECT_EQ(this->R().CloseKey(same), ERROR_INVALID_HANDLE);
  EXPECT_EQ(this->R().SetValue(HKEY_USERS, "v", REG_SZ, "x"), ERROR_INVALID_HANDLE);
  EXPECT_EQ(this->R().CloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
}

TYPED_TEST(RegistryContractTest, HandlesAllowOnlyTheirRights) {
  this->R().CloseKey(this->Create(HKEY_CURRENT_USER, "K"));
  HKEY reader = nullptr, writer = nullptr;
  ASSERT_EQ(this->R().OpenKey(HKEY_CURRENT_USER, "K", KEY_READ, &reader), ERROR_SUCCESS);
  ASSERT_EQ(this->R().OpenKey(HKEY_CURRENT_USER, "K", KEY_SET_VALUE, &writer), ERROR_SUCCESS);
  EXPECT_EQ(this->R().SetValue(reader, "v", REG_SZ, "x"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(this->R().DeleteValue(reader, "v"), ERROR_ACCESS_DENIED);
  HKEY child = nullptr;
  EXPECT_EQ(this->R().CreateKey(reader, "Child", KEY_READ, &child, nullptr), ERROR_ACCESS_DENIED);
  EXPECT_EQ(this->R().SetValue(writer, "v", REG_SZ, "x"), ERROR_SUCCESS);
  EXPECT_EQ(this->R().QueryValue(writer, "v", nullptr, nullptr), ERROR_ACCESS_DENIED);
  EXPECT_EQ(this->R().EnumKey(writer, 0, nullptr), ERROR_ACCESS_DENIED);
  EXPECT_EQ(this->R().QueryValue(reader, "v", nullptr, nullptr), ERROR_SUCCESS);
  this->R().CloseKey(reader);
  this->R().CloseKey(writer);
}

TYPED_TEST(RegistryContractTest, DeletingKeysAndValues) {
  HKEY top = this->Create(HKEY_CURRENT_USER, "Top\\Middle\\Leaf");
  this->Set(top, "v", "x");
  HKEY middle = nullptr;
  ASSERT_EQ(this->R().OpenKey(HKEY_CURRENT_USER, "Top\\Middle", KEY_ALL_ACCESS, &middle), ERROR_SUCCESS);

  EXPECT_EQ(this->R().DeleteKey(HKEY_CURRENT_USER, "Top\\Middle"), ERROR_ACCESS_DENIED) << "it has a subkey";
  EXPECT_EQ(this->R().DeleteValue(top, "absent"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(this->R().DeleteValue(top, "V"), ERROR_SUCCESS);
  EXPECT_EQ(this->R().DeleteKey(HKEY_CURRENT_USER, "Top\\Middle\\Leaf"), ERROR_SUCCESS);
  EXPECT_EQ(this->R().SetValue(top, "v", REG_SZ, "x"), ERROR_KEY_DELETED) << "a handle outlives its key";
  EXPECT_EQ(this->R().CloseKey(top), ERROR_SUCCESS);

  this->R().CloseKey(this->Create(HKEY_CURRENT_USER, "Top\\Middle\\Again\\Deeper"));
  EXPECT_EQ(this->R().DeleteTree(HKEY_CURRENT_USER, "Top\\Middle"), ERROR_SUCCESS);
  EXPECT_EQ(this->R().EnumValue(middle, 0, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
  this->R().CloseKey(middle);
  EXPECT_EQ(DumpTree(this->R(), HKEY_CURRENT_USER, ""), "[]\n[Top]\n");
  EXPECT_EQ(this->R().DeleteTree(HKEY_CURRENT_USER, "Top\\Middle"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(this->R().DeleteTree(HKEY_CURRENT_USER, ""), ERROR_ACCESS_DENIED) << "a whole hive is never emptied";
  EXPECT_EQ(this->R().DeleteKey(HKEY_CURRENT_USER, ""), ERROR_ACCESS_DENIED);

  // DeleteTree of a key's own handle empties it and keeps it.
  HKEY emptied = this->Create(HKEY_CURRENT_USER, "Top\\Full\\Sub");
  this->R().CloseKey(emptied);
  ASSERT_EQ(this->R().OpenKey(HKEY_CURRENT_USER, "Top\\Full", KEY_ALL_ACCESS, &emptied), ERROR_SUCCESS);
  this->Set(emptied, "v", "x");
  EXPECT_EQ(this->R().DeleteTree(emptied, ""), ERROR_SUCCESS);
  EXPECT_EQ(DumpTree(this->R(), HKEY_CURRENT_USER, "Top"), "[Top]\n[Top\\Full]\n");
  this->R().CloseKey(emptied);
}

TYPED_TEST(RegistryContractTest, LockedHiveRefusesWritesButReads) {
  HKEY key = this->Create(HKEY_LOCAL_MACHINE, "Software\\Corvid\\Install");
  this->Set(key, "ReadOnly", std::string("\x01\0\0\0", 4), REG_DWORD);
  this->R().CloseKey(key);
  this->R().CloseKey(this->Create(HKEY_CURRENT_USER, "Software"));
  this->flavour_.LockHive(HKEY_LOCAL_MACHINE);
  const std::string before = DumpTree(this->R(), HKEY_LOCAL_MACHINE, "");

  EXPECT_EQ(this->R().OpenKey(HKEY_LOCAL_MACHINE, "Software\\Corvid", KEY_ALL_ACCESS, &key), ERROR_ACCESS_DENIED);
  EXPECT_EQ(this->R().CreateKey(HKEY_LOCAL_MACHINE, "Software\\Corvid", KEY_ALL_ACCESS, &key, nullptr),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(this->R().CreateKey(HKEY_LOCAL_MACHINE, "New", KEY_READ, &key, nullptr), ERROR_ACCESS_DENIED);
  EXPECT_EQ(this->R().SetValue(HKEY_LOCAL_MACHINE, "v", REG_SZ, "x"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(this->R().DeleteTree(HKEY_LOCAL_MACHINE, "Software"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(DumpTree(this->R(), HKEY_LOCAL_MACHINE, ""), before);

  ASSERT_EQ(this->R().CreateKey(HKEY_LOCAL_MACHINE, "Software\\Corvid\\Install", KEY_READ, &key, nullptr),
            ERROR_SUCCESS);
  std::string data;
  EXPECT_EQ(this->R().QueryValue(key, "ReadOnly", nullptr, &data), ERROR_SUCCESS);
  EXPECT_EQ(data, std::string("\x01\0\0\0", 4));
  this->R().CloseKey(key);

  HKEY user = this->Create(HKEY_CURRENT_USER, "Software\\Corvid");
  this->Set(user, "still", "writable");
  this->R().CloseKey(user);
}

// The real registry: files, processes, damage.
class SqliteRegistryTest : public testing::Test {
 protected:
  TTestMachine machine_;
  std::filesystem::path folder_ = machine_.Root() / "registry";
};

TEST_F(SqliteRegistryTest, KeepsDataAcrossInstancesAndSeedsOnlyNewHives) {
  const std::vector<TSqliteRegistry::TSeedValue> seeds = {
      {HKEY_LOCAL_MACHINE, "Software\\Seeded", "Dir", REG_SZ, std::string("/p\0", 3)}};
  {
    TSqliteRegistry registry(folder_, seeds);
    EXPECT_EQ(DumpTree(registry, HKEY_LOCAL_MACHINE, "Software"), "[Software]\n[Software\\Seeded]\n  \"Dir\" type=1 2f7000\n");
    EXPECT_EQ(DumpTree(registry, HKEY_CURRENT_USER, ""), "[]\n");
    HKEY key = nullptr;
    ASSERT_EQ(registry.OpenKey(HKEY_LOCAL_MACHINE, "Software\\Seeded", KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    ASSERT_EQ(registry.DeleteValue(key, "Dir"), ERROR_SUCCESS);
    ASSERT_EQ(registry.SetValue(key, "Kept", REG_DWORD, std::string("\x05\0\0\0", 4)), ERROR_SUCCESS);
  }
  TSqliteRegistry reopened(folder_, seeds);
  EXPECT_EQ(DumpTree(reopened, HKEY_LOCAL_MACHINE, "Software"),
            "[Software]\n[Software\\Seeded]\n  \"Kept\" type=4 05000000\n");
}

TEST_F(SqliteRegistryTest, MachineRegistryFollowsTheRootAndKnowsProgramFiles) {
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  char folder[MAX_PATH];
  DWORD size = sizeof folder;
  ASSERT_EQ(RegQueryValueEx(key, "ProgramFilesDir", nullptr, nullptr, reinterpret_cast<BYTE*>(folder), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(std::string(folder), ProgramFilesDirectory().string());
  RegCloseKey(key);
  EXPECT_TRUE(std::filesystem::exists(folder_ / "HKEY_LOCAL_MACHINE.db"));

  TTestMachine other;  // moves CORVID_HOME
  EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "", 0, KEY_READ, &key), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_TRUE(std::filesystem::exists(other.Root() / "registry" / "HKEY_CURRENT_USER.db"));
}

// Two processes adding values to one hive at once: every write arrives.
TEST_F(SqliteRegistryTest, TwoProcessesLoseNoWrite) {
  { TSqliteRegistry(folder_).CloseKey(HKEY_CURRENT_USER); }
  constexpr int kWrites = 150;
  pid_t children[2];
  for (int child = 0; child < 2; ++child) {
    children[child] = ::fork();
    ASSERT_GE(children[child], 0);
    if (children[child] == 0) {
      TSqliteRegistry registry(folder_);
      int failures = 0;
      for (int i = 0; i < kWrites; ++i) {
        HKEY key = nullptr;
        failures += registry.CreateKey(HKEY_CURRENT_USER, "Shared\\Key" + std::to_string(i % 5), KEY_ALL_ACCESS, &key,
                                       nullptr) != ERROR_SUCCESS;
        failures += registry.SetValue(key, "p" + std::to_string(child) + "_" + std::to_string(i), REG_DWORD,
                                      std::string(4, static_cast<char>(i))) != ERROR_SUCCESS;
        registry.CloseKey(key);
      }
      ::_exit(failures == 0 ? 0 : 1);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  TSqliteRegistry registry(folder_);
  int values = 0;
  for (int k = 0; k < 5; ++k) {
    HKEY key = nullptr;
    ASSERT_EQ(registry.OpenKey(HKEY_CURRENT_USER, "Shared\\Key" + std::to_string(k), KEY_READ, &key), ERROR_SUCCESS);
    std::string name;
    for (DWORD i = 0; registry.EnumValue(key, i, &name, nullptr, nullptr) == ERROR_SUCCESS; ++i) ++values;
    registry.CloseKey(key);
  }
  EXPECT_EQ(values, 2 * kWrites);
}

TEST_F(SqliteRegistryTest, DamagedHiveIsReportedAndLeftAsItWas) {
  std::filesystem::create_directories(folder_);
  const std::string garbage(5000, '\x5A');
  std::ofstream(folder_ / "HKEY_CURRENT_USER.db", std::ios::binary) << garbage;
  TSqliteRegistry registry(folder_);
  HKEY key = nullptr;
  EXPECT_EQ(registry.OpenKey(HKEY_CURRENT_USER, "Software", KEY_READ, &key), ERROR_BADDB);
  EXPECT_EQ(registry.CreateKey(HKEY_CURRENT_USER, "Software", KEY_ALL_ACCESS, &key, nullptr), ERROR_BADDB);
  EXPECT_EQ(ReadFile(folder_ / "HKEY_CURRENT_USER.db"), garbage);
  EXPECT_EQ(registry.CreateKey(HKEY_LOCAL_MACHINE, "Software", KEY_ALL_ACCESS, &key, nullptr), ERROR_SUCCESS)
      << "the other hive is not affected";
  registry.CloseKey(key);
}

// The Win32 buffer rules, on the memory registry.
class Win32RegistryTest : public testing::Test {
 protected:
  Win32RegistryTest() {
    HKEY key = nullptr;
    memory_->CreateKey(HKEY_CURRENT_USER, "Software\\Corvid", KEY_ALL_ACCESS, &key, nullptr);
    memory_->SetValue(key, "Name", REG_SZ, std::string("value\0", 6));
    memory_->CloseKey(key);
  }
  std::shared_ptr<TMemoryRegistry> memory_ = std::make_shared<TMemoryRegistry>();
  TRegistryOverride route_{memory_};
};

TEST_F(Win32RegistryTest, BufferSizes) {
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\Corvid", 0, KEY_READ, &key), ERROR_SUCCESS);

  DWORD type = 0, size = 0;
  EXPECT_EQ(RegQueryValueEx(key, "Name", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(type, REG_SZ);
  BYTE data[6];
  size = 5;
  EXPECT_EQ(RegQueryValueEx(key, "Name", nullptr, nullptr, data, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 6u) << "the size needed";
  EXPECT_EQ(RegQueryValueEx(key, "Name", nullptr, nullptr, data, &size), ERROR_SUCCESS);
  EXPECT_STREQ(reinterpret_cast<char*>(data), "value");
  EXPECT_EQ(RegQueryValueEx(key, "Name", nullptr, nullptr, data, nullptr), ERROR_INVALID_PARAMETER);

  char name[5];
  DWORD name_size = sizeof name - 1;  // "Name" needs 5 with its zero
  EXPECT_EQ(RegEnumValue(key, 0, name, &name_size, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  name_size = sizeof name;
  size = sizeof data;
  EXPECT_EQ(RegEnumValue(key, 0, name, &name_size, nullptr, &type, data, &size), ERROR_SUCCESS);
  EXPECT_STREQ(name, "Name");
  EXPECT_EQ(name_size, 4u);
  EXPECT_EQ(size, 6u);
  name_size = sizeof name;
  EXPECT_EQ(RegEnumValue(key, 1, name, &name_size, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  RegCloseKey(key);

  char key_name[9];
  DWORD key_size = sizeof key_name - 1;  // "Software" needs 9 with its zero
  EXPECT_EQ(RegEnumKeyEx(HKEY_CURRENT_USER, 0, key_name, &key_size, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);
  key_size = sizeof key_name;
  FILETIME written{1, 1};
  EXPECT_EQ(RegEnumKeyEx(HKEY_CURRENT_USER, 0, key_name, &key_size, nullptr, nullptr, nullptr, &written),
            ERROR_SUCCESS);
  EXPECT_STREQ(key_name, "Software");
  EXPECT_EQ(key_size, 8u);
  EXPECT_EQ(written.dwLowDateTime, 0u);
  key_size = sizeof key_name;
  EXPECT_EQ(RegEnumKeyEx(HKEY_CURRENT_USER, 1, key_name, &key_size, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
}

TEST_F(Win32RegistryTest, WritesThroughTheWin32Functions) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Exchange\\Client\\Extensions", 0, nullptr, 0,
                           KEY_ALL_ACCESS, nullptr, &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  const char text[] = "4.0;Outxxx.dll;7;000000000000000;0000000000;OutXXX";
  ASSERT_EQ(RegSetValueEx(key, "Outlook Setup Extension", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text),
            ERROR_SUCCESS);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueEx(key, "outlook setup extension", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 51u);
  EXPECT_EQ(RegDeleteValue(key, "Outlook Setup Extension"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValue(key, "Outlook Setup Extension"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegSetValueEx(key, "x", 0, REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
  RegCloseKey(key);
  EXPECT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, "Software\\Microsoft"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteTree(HKEY_LOCAL_MACHINE, "Software\\Microsoft"), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Software\\Microsoft", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
}

}  // namespace
}  // namespace corvid::win
