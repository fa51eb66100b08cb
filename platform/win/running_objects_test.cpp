#include "platform/win/running_objects.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>

#include "platform/win/memory_registry.h"
#include "platform/win/test_support.h"

namespace corvid::win {
namespace {

namespace fs = std::filesystem;

constexpr CLSID kApplication = {0x0006F03A, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr CLSID kOther = {0x12345678, 0x9ABC, 0xDEF0, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
// An interface no running object here offers (IStream's identifier).
constexpr IID kIStream = {0x0000000C, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

class TCountedObject final : public IUnknown {
 public:
  HRESULT QueryInterface(REFIID riid, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++count; }
  ULONG Release() override { return --count; }
  std::atomic<ULONG> count{1};
};

TEST(ClsidTextTest, RoundTripsAndRejectsMalformedText) {
  EXPECT_EQ(StringFromCLSID(kOther), "{12345678-9ABC-DEF0-0123-456789ABCDEF}");
  CLSID parsed{};
  ASSERT_EQ(CLSIDFromString("{12345678-9abc-def0-0123-456789abcdef}", &parsed), S_OK);
  EXPECT_EQ(parsed, kOther);
  for (const char* bad : {"", "12345678-9ABC-DEF0-0123-456789ABCDEF", "{12345678-9ABC-DEF0-0123-456789ABCDEF",
                          "{12345678-9ABC-DEF0-0123-456789ABCDEG}", "{12345678+9ABC-DEF0-0123-456789ABCDEF}",
                          "{12345678-9ABC-DEF0-0123-456789ABCDEF}x"}) {
    EXPECT_EQ(CLSIDFromString(bad, &parsed), CO_E_CLASSSTRING) << bad;
  }
}

TEST(ClsidFromProgIdTest, ReadsTheClassesKeyUserFirst) {
  auto registry = std::make_shared<TMemoryRegistry>();
  TRegistryOverride use(registry);
  auto set = [&](HKEY root, const std::string& prog_id, const std::string& text) {
    HKEY key = nullptr;
    ASSERT_EQ(registry->CreateKey(root, "Software\\Classes\\" + prog_id + "\\CLSID", KEY_ALL_ACCESS, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(registry->SetValue(key, "", REG_SZ, std::string(text) + '\0'), ERROR_SUCCESS);
    registry->CloseKey(key);
  };
  CLSID clsid{};
  EXPECT_EQ(CLSIDFromProgID("Outlook.Application", &clsid), REGDB_E_CLASSNOTREG);
  set(HKEY_LOCAL_MACHINE, "Outlook.Application", StringFromCLSID(kApplication));
  ASSERT_EQ(CLSIDFromProgID("outlook.application", &clsid), S_OK);
  EXPECT_EQ(clsid, kApplication);
  set(HKEY_CURRENT_USER, "Outlook.Application", StringFromCLSID(kOther));
  ASSERT_EQ(CLSIDFromProgID("Outlook.Application", &clsid), S_OK);
  EXPECT_EQ(clsid, kOther);
  set(HKEY_LOCAL_MACHINE, "Broken.Application", "not a class id");
  EXPECT_EQ(CLSIDFromProgID("Broken.Application", &clsid), CO_E_CLASSSTRING);
}

TEST(RunningObjectsTest, RegisteredObjectsAreFoundUntilRevoked) {
  TTestMachine machine;
  TCountedObject strong, weak;
  DWORD strong_id = 0, weak_id = 0;
  IUnknown* found = nullptr;
  EXPECT_EQ(GetActiveObject(kApplication, nullptr, &found), MK_E_UNAVAILABLE);
  EXPECT_EQ(found, nullptr);

  ASSERT_EQ(RegisterActiveObject(&strong, kApplication, ACTIVEOBJECT_STRONG, &strong_id), S_OK);
  EXPECT_EQ(strong.count, 2u);  // the table holds one
  ASSERT_EQ(RegisterActiveObject(&weak, kOther, ACTIVEOBJECT_WEAK, &weak_id), S_OK);
  EXPECT_EQ(weak.count, 1u);
  EXPECT_NE(strong_id, weak_id);

  ASSERT_EQ(GetActiveObject(kApplication, nullptr, &found), S_OK);
  EXPECT_EQ(found, &strong);
  EXPECT_EQ(strong.count, 3u);
  found->Release();

  EXPECT_EQ(RevokeActiveObject(strong_id, nullptr), S_OK);
  EXPECT_EQ(strong.count, 1u);
  EXPECT_EQ(RevokeActiveObject(strong_id, nullptr), E_INVALIDARG);
  EXPECT_EQ(GetActiveObject(kApplication, nullptr, &found), MK_E_UNAVAILABLE);
  EXPECT_EQ(RevokeActiveObject(weak_id, nullptr), S_OK);
  EXPECT_TRUE(fs::is_empty(machine.Root() / "run")) << "revoked registrations leave no file";
}

// Another process registers the class; this one sees it while that process
// lives, and not after it ended, whether it revoked (clean exit) or not
// (crash).
TEST(RunningObjectsTest, RegistrationsOfOtherProcessesLiveAsLongAsTheProcess) {
  TTestMachine machine;
  for (const bool revoke : {true, false}) {
    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      TCountedObject object;
      DWORD id = 0;
      const char ok = RegisterActiveObject(&object, kApplication, ACTIVEOBJECT_STRONG, &id) == S_OK ? 1 : 0;
      char go;
      if (write(ready[1], &ok, 1) != 1 || read(release[0], &go, 1) != 1) _exit(2);
      if (revoke) RevokeActiveObject(id, nullptr);
      _exit(0);  // no destructors: a crash as far as the table knows
    }
    close(ready[1]);
    close(release[0]);
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, 1);

    IUnknown* found = nullptr;
    ASSERT_EQ(GetActiveObject(kApplication, nullptr, &found), S_OK) << "revoke=" << revoke;
    ASSERT_NE(found, nullptr);
    IUnknown* again = nullptr;
    EXPECT_EQ(found->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&again)), S_OK);
    EXPECT_EQ(again, found);
    again->Release();
    void* other = nullptr;
    EXPECT_EQ(found->QueryInterface(kIStream, &other), E_NOINTERFACE);
    found->Release();
    EXPECT_EQ(GetActiveObject(kOther, nullptr, &found), MK_E_UNAVAILABLE);

    const char go = 1;
    ASSERT_EQ(write(release[1], &go, 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    close(ready[0]);
    close(release[1]);

    EXPECT_EQ(GetActiveObject(kApplication, nullptr, &found), MK_E_UNAVAILABLE) << "revoke=" << revoke;
    EXPECT_TRUE(fs::is_empty(machine.Root() / "run")) << "a dead process's file is cleared away";
  }
}

// A registration left by a killed process goes when the next one registers,
// even when nobody looks its class up.
TEST(RunningObjectsTest, RegisteringSweepsTheFilesOfDeadProcesses) {
  TTestMachine machine;
  fs::create_directories(machine.Root() / "run");
  const fs::path dead = machine.Root() / "run" / "rot-99999999-0-1";
  std::ofstream(dead) << "clsid=" << StringFromCLSID(kOther) << "\npid=99999999\nstart=1\n";
  TCountedObject object;
  DWORD id = 0;
  ASSERT_EQ(RegisterActiveObject(&object, kApplication, ACTIVEOBJECT_STRONG, &id), S_OK);
  EXPECT_FALSE(fs::exists(dead));
  RevokeActiveObject(id, nullptr);
}

}  // namespace
}  // namespace corvid::win
