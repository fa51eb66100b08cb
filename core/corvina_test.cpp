// The built library as the client sees it: loaded at run time, its entry
// point found by ordinal.
#include <gtest/gtest.h>

#include <string>

#include "core/test_callback.h"
#include "platform/win/module.h"
#include "platform/win/test_support.h"

namespace corvid::core {
namespace {

using namespace exchange;
using mapi::S_FALSE;
using mapi::S_OK;

TEST(CorvinaTest, EntryPointByOrdinalServesEveryContextWithOneObject) {
  win::TTestMachine machine;
  win::HMODULE library = win::LoadLibrary(std::string(CORVID_DIST) + "/corvina.dll");
  ASSERT_NE(library, nullptr) << win::LoaderError();
  auto by_name = reinterpret_cast<LPFNEXCHEXTENTRY>(win::GetProcAddress(library, "InitExtensionLibrary"));
  auto entry = reinterpret_cast<LPFNEXCHEXTENTRY>(win::GetProcAddress(library, win::MAKEINTRESOURCEA(1)));
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry, by_name);
  EXPECT_NE(win::GetProcAddress(library, win::MAKEINTRESOURCEA(2)), nullptr);
  EXPECT_EQ(win::GetProcAddress(library, win::MAKEINTRESOURCEA(2)), win::GetProcAddress(library, "Install_RunDLL"));
  EXPECT_EQ(win::GetProcAddress(library, win::MAKEINTRESOURCEA(3)), win::GetProcAddress(library, "Corvid_Install"));
  // Nothing of the inside is exported.
  EXPECT_EQ(win::GetProcAddress(library, "_ZN6corvid4core13InitExtensionERKNSt7__cxx1112basic_stringIcSt11char_"
                                         "traitsIcESaIcEEE"),
            nullptr);

  test::TTestCallback callback;
  IExchExt* session = entry();
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(session->Install(&callback, EECONTEXT_SESSION, 0), S_FALSE);
  IExchExt* task = entry();
  EXPECT_EQ(task, session);
  EXPECT_EQ(task->Install(&callback, EECONTEXT_TASK, 0), S_OK);
  // The client lets go of the declined context at once.
  EXPECT_EQ(session->Release(), 1u);
  EXPECT_EQ(task->Release(), 0u);
  EXPECT_NE(win::FreeLibrary(library), 0);
}

}  // namespace
}  // namespace corvid::core
