// The built library as the client sees it: loaded at run time, its entry
// point found by ordinal.
#include <gtest/gtest.h>

#include <cctype>

#include <set>
#include <sstream>
#include <string>

#include "core/test_callback.h"
#include "platform/mapi/mapi_test_support.h"
#include "platform/win/module.h"
#include "platform/win/test_support.h"
#include "testutil/files.h"

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

// Nothing of the inside is exported: a symbol more would let a loader bind
// to code that is no entry (and clash with the client's own copies).
TEST(CorvinaTest, ExportsTheEntriesByNameAndOrdinalAndNothingElse) {
  const std::string library = std::string(CORVID_DIST) + "/corvina.dll";
  const mapi::test::TCommandResult symbols = mapi::test::RunCommand("nm -D --defined-only " + corvid::test::Quote(library));
  ASSERT_EQ(symbols.status, 0);
  std::set<std::string> exported;
  std::istringstream lines(symbols.out);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string address, kind, name;
    // Lower-case kinds are local bindings no other module can bind to,
    // except 'u', a GNU unique symbol, which is global.
    if (words >> address >> kind >> name && (std::isupper(static_cast<unsigned char>(kind[0])) || kind == "u")) {
      exported.insert(name);
    }
  }
  const std::set<std::string> expected = {"InitExtensionLibrary", "Install_RunDLL", "Corvid_Install",
                                          "ordinal_1",            "ordinal_2",      "ordinal_3"};
  EXPECT_EQ(exported, expected);
}

}  // namespace
}  // namespace corvid::core
