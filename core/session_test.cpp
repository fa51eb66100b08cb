// The session context against the stand-in store linked into the test: the
// start-up inbox check, new mail, and the object's end while they run.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "core/extension.h"
#include "core/test_callback.h"
#include "platform/win/thread.h"
#include "platform/win/ui_thread.h"
#include "settings/catalogue.h"
#include "testutil/pipeline_test.h"

namespace corvid::core {
namespace {

using namespace exchange;
using mapi::test::Quote;
using mapi::test::ReadBytes;
using mapi::test::RunCommand;

class SessionTest : public corvid::test::TPipelineTest {
 protected:
  void SetUp() override {
    TPipelineTest::SetUp();
    std::filesystem::create_directories(machine_.Root() / "lib");
    library_ = (machine_.Root() / "lib" / "corvina.dll").string();
    callback_.session = session_.get();
    const std::string made = RunCommand("cd " + Quote(work_.string()) +
                                        " && seq 1 2000 > numbers.txt && zip -q a.zip numbers.txt && python3 -c " +
                                        Quote("import sys\nfrom email.message import EmailMessage\n"
                                              "m=EmailMessage();m['Subject']='zip';m.set_content('x')\n"
                                              "m.add_attachment(open('a.zip','rb').read(),maintype='application',"
                                              "subtype='zip',filename='a.zip')\n"
                                              "open('m.eml','wb').write(bytes(m))\n") +
                                        " 2>&1")
                                 .out;
    message_ = ReadBytes((work_ / "m.eml").string());
    ASSERT_FALSE(message_.empty()) << made;
  }

  // Handles the main thread's messages until `done` or the time is up.
  static bool PumpUntil(const std::function<bool()>& done, int seconds = 10) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
      win::MSG message{};
      while (win::PeekMessage(&message, nullptr, 0, 0, win::PM_REMOVE)) win::DispatchMessage(&message);
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
  }
  bool Unpacked(const std::string& unique) {
    const std::vector<corvid::test::TShown> now = Attachments(unique);
    return now.size() == 1 && now[0].name == "numbers.txt";
  }

  // The object taking part in the session context as the client makes it.
  IExchExt* StartSession(bool decompression_enabled = true) {
    IExchExt* extension = InitExtension(library_);
    settings::Write(ExtensionInstance()->Options(), settings::kDecompressionEnabled, decompression_enabled);
    EXPECT_EQ(extension->Install(&callback_, EECONTEXT_SESSION, 0), S_FALSE);
    return extension;
  }

  std::string library_;
  test::TTestCallback callback_;
  std::string message_;
};

TEST_F(SessionTest, DeclinedSessionContextStillUnpacksTheInboxAndNewMail) {
  const std::string waiting = Deliver(message_);
  IExchExt* extension = StartSession();
  EXPECT_TRUE(PumpUntil([&] { return Unpacked(waiting); }));
  // New mail arrives while the object lives.
  const std::string arrived = Deliver(message_);
  EXPECT_TRUE(PumpUntil([&] { return Unpacked(arrived); }));
  EXPECT_EQ(settings::Read(ExtensionInstance()->Options(), settings::kNumZipFilesUnzipped), 2);
  extension->Release();
  EXPECT_EQ(ExtensionInstance(), nullptr);
  EXPECT_EQ(win::RunningThreadCount(), 0);
}

TEST_F(SessionTest, WithDecompressionOffThereIsNoScanButNewMailWaitsForTheSetting) {
  const std::string waiting = Deliver(message_);
  IExchExt* extension = StartSession(false);
  EXPECT_EQ(win::RunningThreadCount(), 0);
  const std::string first = Deliver(message_);
  PumpUntil([] { return false; }, 2);  // time enough for the new-mail road
  EXPECT_FALSE(Unpacked(waiting));
  EXPECT_FALSE(Unpacked(first));
  settings::Write(ExtensionInstance()->Options(), settings::kDecompressionEnabled, true);
  const std::string second = Deliver(message_);
  EXPECT_TRUE(PumpUntil([&] { return Unpacked(second); }));
  extension->Release();
}

// A second logon replaces the first; the object's end waits for a scan
// under way, and no scan reaches the object after it (the sanitizer build
// would see a call into freed memory).
TEST_F(SessionTest, ASecondLogonAndAnEarlyEndLeaveNoThreadBehind) {
  for (int i = 0; i < 20; ++i) Deliver(message_);
  IExchExt* extension = StartSession();
  EXPECT_EQ(extension->Install(&callback_, EECONTEXT_SESSION, 0), S_FALSE);
  extension->Release();
  EXPECT_EQ(ExtensionInstance(), nullptr);
  EXPECT_EQ(win::RunningThreadCount(), 0);
  win::MSG message{};
  while (win::PeekMessage(&message, nullptr, 0, 0, win::PM_REMOVE)) win::DispatchMessage(&message);
}

}  // namespace
}  // namespace corvid::core
