#include "platform/win/reg_command.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/win/memory_registry.h"
#include "platform/win/reg_file.h"
#include "platform/win/sqlite_registry.h"
#include "platform/win/test_support.h"

namespace corvid::win {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class RegCommandTest : public testing::Test {
 protected:
  // Runs one command line; `answer` is what the user types at a question.
  int Run(const std::vector<std::string>& args, const std::string& answer = "") {
    std::istringstream in(answer);
    out_.str("");
    err_.str("");
    return RunRegCommand(*registry_, args, in, out_, err_);
  }
  void Set(HKEY root, const std::string& key, const std::string& name, DWORD type, const std::string& data) {
    HKEY handle = nullptr;
    ASSERT_EQ(registry_->CreateKey(root, key, KEY_ALL_ACCESS, &handle, nullptr), ERROR_SUCCESS);
    ASSERT_EQ(registry_->SetValue(handle, name, type, data), ERROR_SUCCESS);
    registry_->CloseKey(handle);
  }
  std::string File(const char* name) const { return (machine_.Root() / name).string(); }

  TTestMachine machine_;
  std::shared_ptr<TSqliteRegistry> registry_ = std::make_shared<TSqliteRegistry>(machine_.Root() / "registry");
  std::ostringstream out_, err_;
};

// Export, delete, import gives back the same tree, byte for byte, for every
// kind of value, including ones the quoted form cannot carry.
TEST_F(RegCommandTest, ExportDeleteImportGivesBackTheSameTree) {
  const std::string key = "Software\\Corvid";
  Set(HKEY_CURRENT_USER, key, "", REG_SZ, std::string("default\0", 8));
  Set(HKEY_CURRENT_USER, key, "Quote\"And\\Slash", REG_SZ, std::string("C:\\dir \"x\"\0", 11));
  Set(HKEY_CURRENT_USER, key + "\\Compression", "SkipFiles", REG_SZ, std::string("*.ZIP\r\n*.ARJ\r\n\0", 15));
  Set(HKEY_CURRENT_USER, key + "\\Compression", "Enabled", REG_DWORD, std::string("\x01\0\0\0", 4));
  Set(HKEY_CURRENT_USER, key + "\\Compression", "Short", REG_DWORD, std::string("\x01\x02", 2));
  Set(HKEY_CURRENT_USER, key + "\\Types", "Expand", REG_EXPAND_SZ, std::string("%HOME%/x \xE2\x82\xAC\0", 13));
  Set(HKEY_CURRENT_USER, key + "\\Types", "Multi", REG_MULTI_SZ, std::string("a\0b\0\0", 5));
  Set(HKEY_CURRENT_USER, key + "\\Types", "NotUtf8", REG_SZ, std::string("\xFF\xFE\x80z\0", 5));
  Set(HKEY_CURRENT_USER, key + "\\Types", "Bare", REG_SZ, "no zero");
  Set(HKEY_CURRENT_USER, key + "\\Types", "Empty", REG_SZ, "");
  Set(HKEY_CURRENT_USER, key + "\\Types", "Blob", REG_BINARY, std::string(100, '\xAB'));
  Set(HKEY_CURRENT_USER, key + "\\Types", "Qword", 11, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8));
  HKEY empty = nullptr;
  registry_->CreateKey(HKEY_CURRENT_USER, key + "\\Empty\\Deeper", KEY_ALL_ACCESS, &empty, nullptr);
  registry_->CloseKey(empty);
  const std::string before = DumpTree(*registry_, HKEY_CURRENT_USER, "");

  ASSERT_EQ(Run({"export", "hkcu\\SOFTWARE\\corvid", File("x.reg")}), 0) << err_.str();
  ASSERT_EQ(Run({"delete", "HKCU\\Software\\Corvid", "/f"}), 0) << err_.str();
  EXPECT_EQ(DumpTree(*registry_, HKEY_CURRENT_USER, key), "<error 2>");
  ASSERT_EQ(Run({"import", File("x.reg")}), 0) << err_.str();
  EXPECT_EQ(DumpTree(*registry_, HKEY_CURRENT_USER, ""), before);
  EXPECT_EQ(out_.str(), "The operation completed successfully.\n");
}

TEST_F(RegCommandTest, ExportWritesRegedit5Text) {
  Set(HKEY_LOCAL_MACHINE, "Software\\Corvid\\Install", "ReadOnly", REG_DWORD, std::string("\x01\0\0\0", 4));
  Set(HKEY_LOCAL_MACHINE, "Software\\Corvid\\Install", "Folder", REG_SZ, std::string("/opt/c\0", 7));
  Set(HKEY_LOCAL_MACHINE, "Software\\Corvid\\Install", "List", REG_SZ, std::string("a\r\n\0", 4));
  Set(HKEY_LOCAL_MACHINE, "Software\\Corvid\\Install", "Bin", REG_BINARY, "\x01\xff");
  ASSERT_EQ(Run({"export", "HKEY_LOCAL_MACHINE\\Software\\Corvid", File("x.reg")}), 0) << err_.str();
  EXPECT_EQ(ReadFile(File("x.reg")),
            "Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Corvid]\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Corvid\\Install]\r\n"
            "\"ReadOnly\"=dword:00000001\r\n"
            "\"Folder\"=\"/opt/c\"\r\n"
            "\"List\"=hex(1):61,00,0d,00,0a,00,00,00\r\n"
            "\"Bin\"=hex:01,ff\r\n\r\n");

  // Without /y an existing file is kept unless the user agrees.
  EXPECT_EQ(Run({"export", "HKLM\\Software\\Corvid\\Install", File("x.reg")}, "no\n"), 1);
  EXPECT_NE(ReadFile(File("x.reg")).find("[HKEY_LOCAL_MACHINE\\Software\\Corvid]"), std::string::npos);
  EXPECT_EQ(Run({"export", "HKLM\\Software\\Nothing", File("y.reg")}), 1);
  EXPECT_FALSE(fs::exists(File("y.reg")));
}

// A file as Windows writes it: UTF-16LE with a byte-order mark, a long
// hex(2) value wrapped over lines, a deletion of a key and of a value.
TEST_F(RegCommandTest, ImportsAWindowsFile) {
  Set(HKEY_CURRENT_USER, "Software\\Corvid\\Old", "x", REG_SZ, std::string("1\0", 2));
  Set(HKEY_CURRENT_USER, "Software\\Corvid", "Drop", REG_SZ, std::string("1\0", 2));
  const std::string text =
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[-HKEY_CURRENT_USER\\Software\\Corvid\\Old]\r\n\r\n"
      "[HKEY_CURRENT_USER\\Software\\Corvid]\r\n"
      "\"Drop\"=-\r\n"
      "@=\"d\"\r\n"
      "\"Path\"=hex(2):25,00,55,00,53,00,45,00,52,00,50,00,52,00,4f,00,46,00,49,00,4c,00,45,00,\\\r\n"
      "  25,00,5c,00,e9,00,00,00\r\n"
      "; a comment\r\n"
      "\"Count\"=dword:0000002a\r\n";
  std::string utf16 = "\xFF\xFE";
  for (char c : text) utf16 += std::string{c, '\0'};
  std::ofstream(File("win.reg"), std::ios::binary) << utf16;

  ASSERT_EQ(Run({"import", File("win.reg")}), 0) << err_.str();
  EXPECT_EQ(DumpTree(*registry_, HKEY_CURRENT_USER, "Software\\Corvid"),
            "[Software\\Corvid]\n"
            "  \"\" type=1 6400\n"
            "  \"Path\" type=2 2555534552505" "24f46494c45255cc3a900\n"
            "  \"Count\" type=4 2a000000\n");
}

TEST_F(RegCommandTest, MalformedFilesAreRefusedWithTheLine) {
  struct Case {
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {"just text\r\n", "not a registry file"},
      {"REGEDIT4\r\n\r\n\"v\"=\"x\"\r\n", "before any key (line 3)"},
      {"REGEDIT4\r\n[HKEY_CLASSES_ROOT\\x]\r\n", "Unknown root key (line 2)"},
      {"REGEDIT4\r\n[HKCU\\x]\r\n\"v\"=dword:123456789\r\n", "Malformed data (line 3)"},
      {"REGEDIT4\r\n[HKCU\\x]\r\n\"v\"=hex:1g\r\n", "Malformed data (line 3)"},
      {"Windows Registry Editor Version 5.00\r\n[HKCU\\x]\r\n\"v\"=hex(7):61\r\n", "Malformed data (line 3)"},
      // A line break in a name could be imported but never exported again.
      {"REGEDIT4\r\n[HKCU\\x]\r\n\"a\\\rb\"=\"x\"\r\n", "Malformed value line (line 3)"},
      {"REGEDIT4\r\n[HKCU\\x\ry]\r\n", "Malformed key line (line 2)"},
  };
  for (const Case& c : cases) {
    std::ofstream(File("bad.reg"), std::ios::binary) << c.text;
    EXPECT_EQ(Run({"import", File("bad.reg")}), 1) << c.text;
    EXPECT_NE(err_.str().find(c.message), std::string::npos) << err_.str();
  }
}

// A file with a mistake anywhere changes nothing, in either root; a change
// the registry refuses stops the import, and the message says exactly which
// lines went in.
TEST_F(RegCommandTest, ImportIsAllOrNothingOrSaysWhatWentIn) {
  const std::string good =
      "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\Software\\T]\r\n\"A\"=\"1\"\r\n"
      "[HKEY_CURRENT_USER\\Software\\T]\r\n\"B\"=dword:00000002\r\n\"Refused\"=\"x\"\r\n\"C\"=\"3\"\r\n";
  std::ofstream(File("bad.reg"), std::ios::binary) << good << "\"D\"=dword:zz\r\n";
  EXPECT_EQ(Run({"import", File("bad.reg")}), 1);
  EXPECT_NE(err_.str().find("(line 8); nothing was imported"), std::string::npos) << err_.str();
  HKEY handle = nullptr;
  EXPECT_EQ(registry_->OpenKey(HKEY_LOCAL_MACHINE, "Software\\T", KEY_READ, &handle), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(registry_->OpenKey(HKEY_CURRENT_USER, "Software\\T", KEY_READ, &handle), ERROR_FILE_NOT_FOUND);

  // A registry that refuses one value, as a full disk would.
  class TRefusing : public TForwardingRegistry {
   public:
    using TForwardingRegistry::TForwardingRegistry;
    LONG SetValue(HKEY key, std::string_view name, DWORD type, std::string_view data) override {
      return name == "Refused" ? ERROR_DISK_FULL : TForwardingRegistry::SetValue(key, name, type, data);
    }
  } refusing(*registry_);
  std::ofstream(File("good.reg"), std::ios::binary) << good;
  std::string message;
  EXPECT_EQ(ImportRegistryFile(refusing, good, &message), ERROR_DISK_FULL);
  EXPECT_NE(message.find("(line 6); lines 1 to 5 were imported, the rest was not"), std::string::npos) << message;
  EXPECT_EQ(registry_->OpenKey(HKEY_CURRENT_USER, "Software\\T", KEY_READ, &handle), ERROR_SUCCESS);
  std::string data;
  EXPECT_EQ(registry_->QueryValue(handle, "B", nullptr, &data), ERROR_SUCCESS);
  EXPECT_EQ(registry_->QueryValue(handle, "C", nullptr, &data), ERROR_FILE_NOT_FOUND);
  registry_->CloseKey(handle);
}

TEST_F(RegCommandTest, AddQueryAndDelete) {
  EXPECT_EQ(Run({"add", "HKLM\\Software\\Corvid\\Install", "/v", "ReadOnly", "/t", "REG_DWORD", "/d", "1"}), 0);
  EXPECT_EQ(Run({"add", "HKLM\\Software\\Corvid\\Install", "/v", "ReadOnly", "/t", "REG_DWORD", "/d", "0"}, "n\n"),
            1);
  EXPECT_EQ(Run({"add", "HKLM\\Software\\Corvid\\Install", "/v", "Folder", "/d", "/opt/c"}), 0);
  EXPECT_EQ(Run({"add", "HKLM\\Software\\Corvid", "/v", "List", "/t", "reg_multi_sz", "/d", "a,b", "/s", ","}), 0);
  EXPECT_EQ(Run({"add", "HKLM\\Software\\Corvid", "/v", "Big", "/t", "REG_DWORD", "/d", "0xFFFFFFFF"}), 0);
  EXPECT_EQ(Run({"add", "HKLM\\Software\\Corvid\\Empty"}), 0);
  for (const char* bad : {"4294967296", "12a", "", "0x"}) {
    EXPECT_EQ(Run({"add", "HKLM\\Software\\Corvid", "/v", "Bad", "/t", "REG_DWORD", "/d", bad, "/f"}), 1) << bad;
  }
  for (const char* bad : {"abc", "+f", " f", "zz"}) {
    EXPECT_EQ(Run({"add", "HKLM\\Software\\Corvid", "/v", "Bad", "/t", "REG_BINARY", "/d", bad, "/f"}), 1) << bad;
  }
  EXPECT_EQ(Run({"add", "HKEY_USERS\\x", "/v", "v", "/d", "1"}), 1);

  ASSERT_EQ(Run({"query", "HKLM\\Software\\Corvid", "/s"}), 0);
  EXPECT_EQ(out_.str(),
            "\nHKEY_LOCAL_MACHINE\\Software\\Corvid\n"
            "    List    REG_MULTI_SZ    a\\0b\n"
            "    Big    REG_DWORD    0xffffffff\n"
            "\nHKEY_LOCAL_MACHINE\\Software\\Corvid\\Empty\n"
            "\nHKEY_LOCAL_MACHINE\\Software\\Corvid\\Install\n"
            "    ReadOnly    REG_DWORD    0x1\n"
            "    Folder    REG_SZ    /opt/c\n");
  ASSERT_EQ(Run({"query", "HKLM\\Software\\Corvid\\Install", "/v", "readonly"}), 0);
  EXPECT_EQ(out_.str(), "\nHKEY_LOCAL_MACHINE\\Software\\Corvid\\Install\n    readonly    REG_DWORD    0x1\n\n");
  EXPECT_EQ(Run({"query", "HKLM\\Software\\Corvid\\Install", "/v", "Nope"}), 1);
  EXPECT_EQ(err_.str(), "ERROR: The system was unable to find the specified registry key or value.\n");

  EXPECT_EQ(Run({"delete", "HKLM\\Software\\Corvid\\Install", "/v", "Folder"}, "no\n"), 1);
  EXPECT_EQ(Run({"delete", "HKLM\\Software\\Corvid\\Install", "/v", "Folder"}, "yes\n"), 0);
  EXPECT_EQ(Run({"delete", "HKLM\\Software\\Corvid\\Install", "/va", "/f"}), 0);
  EXPECT_EQ(Run({"delete", "HKLM\\Software\\Corvid"}, ""), 1) << "no answer is no";
  EXPECT_EQ(Run({"delete", "HKLM", "/f"}), 1) << "a root is never deleted";
  EXPECT_EQ(DumpTree(*registry_, HKEY_LOCAL_MACHINE, "Software\\Corvid\\Install"), "[Software\\Corvid\\Install]\n");
  EXPECT_EQ(Run({"frobnicate", "HKLM"}), 1);
  EXPECT_EQ(Run({"query", "HKLM", "/x"}), 1);
}

TEST_F(RegCommandTest, LockedHiveIsReported) {
  Set(HKEY_LOCAL_MACHINE, "Software", "v", REG_SZ, std::string("1\0", 2));
  ASSERT_EQ(::chmod(registry_->HiveFile(HKEY_LOCAL_MACHINE).c_str(), 0444), 0);
  EXPECT_EQ(Run({"add", "HKLM\\Software\\Corvid\\Install", "/v", "ReadOnly", "/t", "REG_DWORD", "/d", "1"}), 1);
  EXPECT_EQ(err_.str(), "ERROR: Access is denied.\n");
  EXPECT_EQ(Run({"query", "HKLM\\Software"}), 0);
}

}  // namespace
}  // namespace corvid::win
