#include "settings/options_container.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "platform/win/memory_registry.h"
#include "platform/win/profile_files.h"
#include "platform/win/sqlite_registry.h"
#include "platform/win/test_support.h"
#include "settings/blowfish_tools.h"

namespace corvid::settings {
namespace {

using namespace corvid::win;

std::string Dword(uint32_t v) {
  return {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF), static_cast<char>((v >> 16) & 0xFF),
          static_cast<char>(v >> 24)};
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(TEntryTest, PathParts) {
  struct Case {
    const char* path;
    const char* value_name;
    const char* key_path;
  };
  const Case cases[] = {
      {"Compression\\Enabled", "Enabled", "\\Compression"},
      {"Enabled", "Enabled", ""},
      {"A\\B\\C", "C", "\\A\\B"},
      {"Drive:Name", "Name", "\\Drive"},  // a colon separates too
      {"\\Top", "Top", ""},
      {"Key\\", "", "\\Key"},
  };
  for (const Case& c : cases) {
    TEntry entry;
    entry.SetPath(c.path);
    EXPECT_EQ(entry.ValueName(), c.value_name) << c.path;
    EXPECT_EQ(entry.KeyPath(), c.key_path) << c.path;
  }
}

TEST(TOptionsContainerTest, TypedReadsOfStoredKinds) {
  TOptionsContainer options;
  options.WriteInteger("I\\Two", 2, false);
  options.WriteInteger("I\\Five", 5, false);
  options.WriteInteger("I\\MinusOne", -1, false);
  options.WriteString("T\\One", "1", false);
  options.WriteString("T\\Twelve", "12", false);
  options.WriteString("T\\Word", "yes", false);
  options.WriteString("T\\Spaced", " 12", false);
  options.WriteString("T\\Huge", "99999999999", false);
  options.WriteString("T\\Negative", "-7", false);
  options.WriteString("T\\Secret", "1", true);

  EXPECT_FALSE(options.ReadBool("I\\Two", true, false, false));
  EXPECT_FALSE(options.ReadBool("I\\MinusOne", true, false, false));
  EXPECT_TRUE(options.ReadBool("T\\One", false, false, false));
  EXPECT_TRUE(options.ReadBool("T\\Word", true, false, false)) << "unparsable text gives the default";
  EXPECT_FALSE(options.ReadBool("T\\Word", false, false, false));
  EXPECT_EQ(options.ReadString("I\\Five", "x", false, false), "5");
  EXPECT_EQ(options.ReadInteger("T\\Twelve", 0, false, false), 12);
  EXPECT_EQ(options.ReadInteger("T\\Negative", 0, false, false), -7);
  EXPECT_EQ(options.ReadInteger("T\\Word", 42, false, false), 42);
  EXPECT_EQ(options.ReadInteger("T\\Spaced", 42, false, false), 42);
  EXPECT_EQ(options.ReadInteger("T\\Huge", 42, false, false), 42);

  EXPECT_NE(options.ReadString("T\\Secret", "", false, false), "1") << "stored encrypted";
  EXPECT_TRUE(options.ReadBool("T\\Secret", false, true, false));
  EXPECT_EQ(options.ReadInteger("T\\Secret", 0, true, false), 1);
  EXPECT_EQ(options.ReadString("t\\SECRET", "", true, false), "1") << "paths ignore case";
  // A clear word where ciphertext belongs decrypts to nothing: the default.
  options.WriteString("T\\Planted", "password", false);
  EXPECT_EQ(options.ReadInteger("T\\Planted", 9, true, false), 9);
  EXPECT_EQ(options.ReadString("T\\Planted", "d", true, false), "");
  EXPECT_EQ(options.Count(), 11);
}

TEST(TOptionsContainerTest, CreateFlagAndModifiedNotifications) {
  TOptionsContainer options;
  std::vector<bool> events;
  options.OnModifiedChange = [&](TOptionsContainer& sender, bool modified) {
    EXPECT_EQ(&sender, &options);
    EXPECT_EQ(sender.Modified(), modified) << "runs after the change, with the lock free";
    events.push_back(modified);
  };

  EXPECT_EQ(options.ReadInteger("A\\Missing", 7, false, false), 7);
  EXPECT_EQ(options.Count(), 0);
  EXPECT_FALSE(options.Modified());

  EXPECT_EQ(options.ReadString("A\\Made", "d", false, true), "d");
  EXPECT_EQ(options.ReadString("A\\Made", "other", false, true), "d");
  EXPECT_EQ(options.Count(), 1);
  EXPECT_EQ(events, std::vector<bool>{true});

  options.SetModified(false);
  options.WriteString("A\\Made", "d", false);
  EXPECT_FALSE(options.Modified()) << "an unchanged value is no change";
  options.WriteInteger("A\\Made", 1, false);
  options.WriteString("A\\Text", "1", false);
  options.SetModified(false);
  options.WriteInteger("A\\Text", 1, false);
  EXPECT_TRUE(options.Modified()) << "the integer 1 replaces the text \"1\"";
  EXPECT_EQ(events, (std::vector<bool>{true, false, true, false, true}));

  // An unset password is held encoded too.
  options.ReadString("A\\Password", "", true, true);
  EXPECT_EQ(options.FindEntry("A\\Password")->AsText(), EncryptString(""));
  EXPECT_TRUE(options.FindEntry("A\\Password")->Encrypted());
}

TEST(TOptionsContainerTest, WritesRespellPathAndIncrementWraps) {
  TOptionsContainer options;
  options.WriteInteger("Statistics\\NumMessages", 2147483646, false);
  options.WriteInteger("statistics\\nummessages", 2147483646, false);
  EXPECT_EQ(options.Paths(), std::vector<std::string>{"statistics\\nummessages"});
  EXPECT_EQ(options.Increment("Statistics\\NumMessages", 0, false, 1), 2147483647);
  EXPECT_EQ(options.Increment("Statistics\\NumMessages", 0, false, 1), -2147483647 - 1);
  EXPECT_EQ(options.Increment("Statistics\\New", 10, false, 5), 15);
  options.Delete("STATISTICS\\new");
  EXPECT_EQ(options.Count(), 1);
  options.Delete("absent");
  EXPECT_EQ(options.Count(), 1);
}

TEST(TOptionsContainerTest, AssignCopiesEntriesAndModified) {
  TOptionsContainer source, copy;
  source.WriteString("S\\Pw", "x", true);
  source.WriteInteger("S\\N", 3, false);
  source.FindEntry("S\\N")->SetValue(TValue());
  copy.WriteInteger("Old", 1, false);
  copy.SetModified(false);
  int events = 0;
  copy.OnModifiedChange = [&](TOptionsContainer&, bool) { ++events; };

  copy.Assign(source);
  EXPECT_EQ(copy.Paths(), (std::vector<std::string>{"S\\Pw", "S\\N"}));
  EXPECT_TRUE(copy.FindEntry("S\\Pw")->Encrypted());
  EXPECT_EQ(copy.ReadString("S\\Pw", "", true, false), "x");
  EXPECT_EQ(copy.FindEntry("S\\N")->Value().index(), 0u) << "empty stays empty";
  EXPECT_TRUE(copy.Modified());
  EXPECT_EQ(events, 1);

  copy.FindEntry("S\\Pw")->SetValue(std::string("changed"));
  EXPECT_EQ(source.ReadString("S\\Pw", "", true, false), "x") << "copies, not shared entries";
  copy.Assign(copy);
  EXPECT_EQ(copy.Count(), 2) << "assigning a container to itself keeps it";
}

// The registry tests run on the real SQLite hives of a temporary machine.
class ContainerRegistryTest : public testing::Test {
 protected:
  TRegistry& Registry() { return *CurrentRegistry(); }
  void SetRaw(HKEY root, const std::string& key, const std::string& name, DWORD type, const std::string& data) {
    HKEY handle = nullptr;
    ASSERT_EQ(Registry().CreateKey(root, key, KEY_ALL_ACCESS, &handle, nullptr), ERROR_SUCCESS);
    ASSERT_EQ(Registry().SetValue(handle, name, type, data), ERROR_SUCCESS);
    Registry().CloseKey(handle);
  }

  TTestMachine machine_;
};

TEST_F(ContainerRegistryTest, SaveLaysOutValuesAndLoadGivesThemBack) {
  SetRaw(HKEY_CURRENT_USER, "Software\\Corvid\\Compression", "Expand", REG_EXPAND_SZ, std::string("%TEMP%\0", 7));
  SetRaw(HKEY_CURRENT_USER, "Software\\Corvid", "Blob", REG_BINARY, "\x01\x02");

  TOptionsContainer options;
  options.WriteBool("Compression\\Enabled", true, false);
  options.WriteInteger("Statistics\\ZipFilesSize", -5, false);
  options.WriteString("Compression\\SkipFiles", "*.ZIP\r\n*.A\tRJ\r\n", false);
  options.WriteString("Compression\\Password", "pw", true);
  options.WriteString("TopLevel", "", false);
  options.WriteInteger("Deep\\Er\\Still", 7, false);
  options.ReadString("Empty\\Entry", "", false, false);
  options.WriteString("Empty\\Entry", "x", false);
  options.FindEntry("Empty\\Entry")->SetValue(TValue());
  options.SaveToRegistry(HKEY_CURRENT_USER, "Software\\Corvid\\");
  EXPECT_FALSE(options.Modified());

  std::string password_hex;
  for (unsigned char c : EncryptString("pw") + '\0') {
    static const char kDigits[] = "0123456789abcdef";
    password_hex += std::string{kDigits[c >> 4], kDigits[c & 15]};
  }
  const std::string expected =
      "[Software\\Corvid]\n"
      "  \"Blob\" type=3 0102\n"
      "  \"TopLevel\" type=1 00\n"
      "[Software\\Corvid\\Compression]\n"
      "  \"Expand\" type=2 2554454d502500\n"
      "  \"Enabled\" type=4 01000000\n"
      "  \"SkipFiles\" type=1 2a2e5a49500d0a2a2e4109524a0d0a00\n"
      "  \"Password\" type=1 " + password_hex + "\n"
      "[Software\\Corvid\\Deep]\n"
      "[Software\\Corvid\\Deep\\Er]\n"
      "  \"Still\" type=4 07000000\n"
      "[Software\\Corvid\\Empty]\n"
      "[Software\\Corvid\\Statistics]\n"
      "  \"ZipFilesSize\" type=4 fbffffff\n";
  EXPECT_EQ(DumpTree(Registry(), HKEY_CURRENT_USER, "Software\\Corvid"), expected);

  TOptionsContainer loaded;
  loaded.LoadFromRegistry(HKEY_CURRENT_USER, "Software\\Corvid");
  EXPECT_FALSE(loaded.Modified());
  EXPECT_EQ(loaded.Paths(),
            (std::vector<std::string>{"TopLevel", "Compression\\Enabled", "Compression\\SkipFiles",
                                      "Compression\\Password", "Deep\\Er\\Still", "Statistics\\ZipFilesSize"}));
  EXPECT_TRUE(loaded.ReadBool("Compression\\Enabled", false, false, false));
  EXPECT_EQ(loaded.ReadInteger("Statistics\\ZipFilesSize", 0, false, false), -5);
  EXPECT_EQ(loaded.ReadString("Compression\\SkipFiles", "", false, false), "*.ZIP\r\n*.A\tRJ\r\n");
  EXPECT_EQ(loaded.ReadString("Compression\\Password", "", true, false), "pw");
  EXPECT_FALSE(loaded.FindEntry("Compression\\Password")->Encrypted());

  // Saving what was loaded leaves the foreign values alone.
  loaded.SaveToRegistry(HKEY_CURRENT_USER, "Software\\Corvid");
  std::string type_data;
  DWORD type = 0;
  HKEY key = nullptr;
  ASSERT_EQ(Registry().OpenKey(HKEY_CURRENT_USER, "Software\\Corvid\\Compression", KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(Registry().QueryValue(key, "Expand", &type, &type_data), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_EXPAND_SZ);
  Registry().CloseKey(key);
}

TEST_F(ContainerRegistryTest, LowerCaseWriteRespellsTheSavedNames) {
  TOptionsContainer options;
  options.WriteBool("Compression\\Enabled", true, false);
  options.SaveToRegistry(HKEY_CURRENT_USER, "Software\\Corvid");
  options.WriteBool("compression\\enabled", false, false);
  options.SaveToRegistry(HKEY_CURRENT_USER, "Software\\Corvid");
  EXPECT_EQ(DumpTree(Registry(), HKEY_CURRENT_USER, "Software\\Corvid"),
            "[Software\\Corvid]\n[Software\\Corvid\\compression]\n  \"enabled\" type=4 00000000\n");
}

TEST_F(ContainerRegistryTest, LoadSkipsForeignTypesAndStopsAtNothingMissing) {
  SetRaw(HKEY_LOCAL_MACHINE, "Software\\Corvid\\Install", "ReadOnly", REG_DWORD, Dword(1));
  SetRaw(HKEY_LOCAL_MACHINE, "Software\\Corvid\\Install", "Short", REG_DWORD, "\x01\x00");
  SetRaw(HKEY_LOCAL_MACHINE, "Software\\Corvid\\Install", "Multi", REG_MULTI_SZ, std::string("a\0\0", 3));
  SetRaw(HKEY_LOCAL_MACHINE, "Software\\Corvid\\Install", "Folder", REG_SZ, std::string("/opt/x\0junk", 11));

  TOptionsContainer options;
  options.WriteInteger("Stale", 1, false);
  options.LoadFromRegistry(HKEY_LOCAL_MACHINE, "Software\\Corvid");
  EXPECT_EQ(options.Paths(), (std::vector<std::string>{"Install\\ReadOnly", "Install\\Folder"}));
  EXPECT_EQ(options.ReadString("Install\\Folder", "", false, false), "/opt/x");

  options.LoadFromRegistry(HKEY_LOCAL_MACHINE, "Software\\Nobody");
  EXPECT_EQ(options.Count(), 0);
  EXPECT_FALSE(options.Modified());
}

// An administrator locks the machine-wide hive. Users then still get the
// machine's settings (the lock among them), but a save there changes nothing
// and says nothing.
TEST_F(ContainerRegistryTest, ReadOnlyMachineHiveLoadsButSavesNothing) {
  SetRaw(HKEY_LOCAL_MACHINE, "Software\\Corvid\\Install", "ReadOnly", REG_DWORD, Dword(1));
  const auto hive = dynamic_cast<TSqliteRegistry&>(Registry()).HiveFile(HKEY_LOCAL_MACHINE);
  const std::string before = DumpTree(Registry(), HKEY_LOCAL_MACHINE, "");
  ASSERT_EQ(::chmod(hive.c_str(), 0444), 0);

  TOptionsContainer options;
  options.LoadFromRegistry(HKEY_LOCAL_MACHINE, "Software\\Corvid");
  EXPECT_TRUE(options.ReadBool("Install\\ReadOnly", false, false, true));

  options.WriteString("Compression\\DefaultZIPName", "x.zip", false);
  options.SaveToRegistry(HKEY_LOCAL_MACHINE, "Software\\Corvid");
  EXPECT_FALSE(options.Modified());
  EXPECT_EQ(DumpTree(Registry(), HKEY_LOCAL_MACHINE, ""), before);

  options.SaveToRegistry(HKEY_CURRENT_USER, "Software\\Corvid");
  TOptionsContainer user;
  user.LoadFromRegistry(HKEY_CURRENT_USER, "Software\\Corvid");
  EXPECT_EQ(user.ReadString("Compression\\DefaultZIPName", "", false, false), "x.zip")
      << "the user's own hive still takes the save";
}

// A registry that refuses to store one value name, as a full disk might.
class RefusingRegistry : public TForwardingRegistry {
 public:
  RefusingRegistry(TRegistry& target, std::string refused) : TForwardingRegistry(target), refused_(std::move(refused)) {}
  LONG SetValue(HKEY key, std::string_view name, DWORD type, std::string_view data) override {
    if (name == refused_) return ERROR_DISK_FULL;
    return TForwardingRegistry::SetValue(key, name, type, data);
  }

 private:
  std::string refused_;
};

TEST(ContainerRegistryFaultTest, SaveStopsSilentlyAtTheFirstFailure) {
  auto memory = std::make_shared<TMemoryRegistry>();
  TRegistryOverride route(std::make_shared<RefusingRegistry>(*memory, "Second"));
  TOptionsContainer options;
  options.WriteInteger("A\\First", 1, false);
  options.WriteInteger("A\\Second", 2, false);
  options.WriteInteger("A\\Third", 3, false);
  options.SaveToRegistry(HKEY_CURRENT_USER, "Software\\Corvid");
  EXPECT_EQ(DumpTree(*memory, HKEY_CURRENT_USER, "Software\\Corvid"),
            "[Software\\Corvid]\n[Software\\Corvid\\A]\n  \"First\" type=4 01000000\n");
}

// Several clients load the settings, change and count, and save at once:
// each writes only what it changed, and counts add up, so nothing of the
// others' is lost; an untouched entry never overwrites a change made by
// someone else after the load.
TEST(ContainerConcurrencyTest, ClientsSavingAtOnceLoseNothing) {
  TTestMachine machine;
  {
    TOptionsContainer seed;
    seed.WriteInteger("Compression\\CompressionLevel", 9, false);
    seed.WriteInteger("Statistics\\NumMessages", 1, false);
    seed.SaveToRegistry(HKEY_CURRENT_USER, "Software\\Corvid");
  }
  TOptionsContainer early;  // loads before the change below
  early.LoadFromRegistry(HKEY_CURRENT_USER, "Software\\Corvid");
  early.ReadInteger("Compression\\CompressionLevel", 9, false, true);
  {
    TOptionsContainer admin;
    admin.LoadFromRegistry(HKEY_CURRENT_USER, "Software\\Corvid");
    admin.WriteInteger("Compression\\CompressionLevel", 3, false);
    admin.SaveToRegistry(HKEY_CURRENT_USER, "Software\\Corvid");
  }
  constexpr int kClients = 20;
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([i] {
      TOptionsContainer options;
      options.LoadFromRegistry(HKEY_CURRENT_USER, "Software\\Corvid");
      options.Increment("Statistics\\NumMessages", 0, false, 1);
      options.Increment("Statistics\\ZipFilesSize", 0, false, 100);  // missing before: created by counting
      options.WriteString("Clients\\C" + std::to_string(i), "here", false);
      for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) options.SaveToRegistry(root, "Software\\Corvid");
      options.SaveToRegistry(HKEY_CURRENT_USER, "Software\\Corvid");  // a second save adds nothing
    });
  }
  for (std::thread& client : clients) client.join();
  early.Increment("Statistics\\NumMessages", 0, false, 1);
  early.SaveToRegistry(HKEY_CURRENT_USER, "Software\\Corvid");

  TOptionsContainer after;
  after.LoadFromRegistry(HKEY_CURRENT_USER, "Software\\Corvid");
  EXPECT_EQ(after.ReadInteger("Statistics\\NumMessages", 0, false, false), 1 + kClients + 1);
  EXPECT_EQ(after.ReadInteger("Statistics\\ZipFilesSize", 0, false, false), 100 * kClients);
  EXPECT_EQ(after.ReadInteger("Compression\\CompressionLevel", 0, false, false), 3) << "the later change survives";
  for (int i = 0; i < kClients; ++i) {
    EXPECT_EQ(after.ReadString("Clients\\C" + std::to_string(i), "", false, false), "here") << i;
  }
  // A value set outright replaces the count: the statistics' reset.
  after.WriteInteger("Statistics\\NumMessages", 0, false);
  after.SaveToRegistry(HKEY_CURRENT_USER, "Software\\Corvid");
  TOptionsContainer reset;
  reset.LoadFromRegistry(HKEY_CURRENT_USER, "Software\\Corvid");
  EXPECT_EQ(reset.ReadInteger("Statistics\\NumMessages", -1, false, false), 0);
}

class ContainerIniTest : public testing::Test {
 protected:
  std::string File() const { return (machine_.Root() / "install.ini").string(); }
  TTestMachine machine_;
};

TEST_F(ContainerIniTest, SaveLayoutAndRoundTrip) {
  std::ofstream(File(), std::ios::binary) << "[Install]\r\nSilent=1\r\n[Options]\r\nOld=gone\r\n";
  TOptionsContainer options;
  options.WriteBool("Compression\\Enabled", true, false);
  options.WriteString("Compression\\SkipFiles", "*.ZIP\r\n*.ARJ\r\n", false);
  options.WriteString("Compression\\Tabbed", "a\tb", false);
  options.WriteString("Compression\\Blanks", "  padded  ", false);
  options.WriteString("Compression\\Quoted", "\"as is\"", false);
  options.WriteString("Compression\\Password", "pw", true);
  options.WriteInteger("Statistics\\NumMessages", -3, false);
  options.WriteString("Lone\\Breaks", "a\nb\rc", false);
  options.WriteString("Bad=Path", "never", false);
  options.SaveToIniFile(File());
  EXPECT_FALSE(options.Modified());

  EXPECT_EQ(ReadFile(File()),
            "[Install]\r\nSilent=1\r\n\r\n[Options]\r\n"
            "Compression\\Enabled=1\r\n"
            "Compression\\SkipFiles=\"*.ZIP\t*.ARJ\t\"\r\n"  // quoted: a trailing tab would be trimmed
            "Compression\\Tabbed=a\tb\r\n"
            "Compression\\Blanks=\"  padded  \"\r\n"
            "Compression\\Quoted=\"\"as is\"\"\r\n"
            "Compression\\Password=" + EncryptString("pw") + "\r\n"
            "Statistics\\NumMessages=-3\r\n"
            "Lone\\Breaks=a\tb\tc\r\n");

  TOptionsContainer loaded;
  loaded.WriteInteger("Stale", 1, false);
  loaded.LoadFromIniFile(File());
  EXPECT_FALSE(loaded.Modified());
  EXPECT_EQ(loaded.Count(), 8);
  EXPECT_TRUE(loaded.ReadBool("Compression\\Enabled", false, false, false));
  EXPECT_EQ(loaded.ReadString("Compression\\SkipFiles", "", false, false), "*.ZIP\r\n*.ARJ\r\n");
  EXPECT_EQ(loaded.ReadString("Compression\\Tabbed", "", false, false), "a\r\nb") << "a tab comes back as CR LF";
  EXPECT_EQ(loaded.ReadString("Compression\\Blanks", "", false, false), "  padded  ");
  EXPECT_EQ(loaded.ReadString("Compression\\Quoted", "", false, false), "\"as is\"");
  EXPECT_EQ(loaded.ReadString("Compression\\Password", "", true, false), "pw");
  EXPECT_EQ(loaded.ReadInteger("Statistics\\NumMessages", 0, false, false), -3);
  EXPECT_EQ(std::get<std::string>(loaded.FindEntry("Statistics\\NumMessages")->Value()), "-3") << "INI values load as text";
}

// A profile store whose writes fail after a number of successes.
class FailingProfiles : public TForwardingProfileFiles {
 public:
  FailingProfiles(TProfileFiles& target, int allowed) : TForwardingProfileFiles(target), allowed_(allowed) {}
  LONG WriteValue(const std::filesystem::path& file, std::string_view section, std::string_view key,
                  std::string_view value) override {
    if (allowed_-- <= 0) return ERROR_DISK_FULL;
    return TForwardingProfileFiles::WriteValue(file, section, key, value);
  }

 private:
  int allowed_;
};

TEST(ContainerIniFaultTest, SaveStopsSilentlyAndLoadOfMissingFileIsEmpty) {
  auto memory = std::make_shared<TMemoryProfileFiles>();
  TProfileFilesOverride route(std::make_shared<FailingProfiles>(*memory, 1));
  TOptionsContainer options;
  options.WriteInteger("A", 1, false);
  options.WriteInteger("B", 2, false);
  options.SaveToIniFile("/virtual/install.ini");
  EXPECT_EQ(memory->Text("/virtual/install.ini"), "[Options]\r\nA=1\r\n");

  options.LoadFromIniFile("/virtual/missing.ini");
  EXPECT_EQ(options.Count(), 0);
}

// The batch worker updates statistics while the main thread reads and
// copies the same container: no update may be lost, no list torn.
TEST(TOptionsContainerTest, ConcurrentUseLosesNothing) {
  TOptionsContainer options;
  constexpr int kIncrements = 20000;
  std::thread worker([&] {
    for (int i = 0; i < kIncrements; ++i) options.Increment("Statistics\\NumMessages", 0, false, 1);
  });
  TOptionsContainer copy;
  for (int i = 0; i < 2000; ++i) {
    options.WriteInteger("Main\\Value" + std::to_string(i % 50), i, false);
    options.ReadBool("Compression\\Enabled", true, false, true);
    if (i % 100 == 0) copy.Assign(options);
  }
  worker.join();
  EXPECT_EQ(options.ReadInteger("Statistics\\NumMessages", 0, false, false), kIncrements);
  EXPECT_EQ(options.Count(), 52);
}

}  // namespace
}  // namespace corvid::settings
