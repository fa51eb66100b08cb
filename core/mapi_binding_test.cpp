#include "core/mapi_binding.h"

#include <gtest/gtest.h>

#include <string>

namespace corvid::core {
namespace {

using namespace mapi;

const std::string kLibrary = std::string(CORVID_DIST) + "/" + kMapi32LibraryName;

TEST(MapiBindingTest, BindsEveryProcedureOfTheLibrary) {
  TMapiBinding binding(kLibrary);
  ASSERT_TRUE(binding.Loaded());
  const TMapiProcedures& procedures = binding.Procedures();
  for (const char* name : kMapi32ProcedureNames) EXPECT_TRUE(procedures.Bound(name)) << name;
  EXPECT_EQ(procedures.BoundCount(), kMapi32ProcedureCount);

  // Every address lies in that library, and the working ones work.
  const win::HMODULE library = win::GetModuleHandle(kMapi32LibraryName);
  ASSERT_NE(library, nullptr);
  for (int i = 0; i < kMapi32ProcedureCount; ++i) {
    EXPECT_EQ(win::ModuleOfAddress(reinterpret_cast<const void*>(procedures.Address(i))), library)
        << kMapi32ProcedureNames[i];
  }
  void* block = nullptr;
  ASSERT_EQ(procedures.MAPIAllocateBuffer(16, &block), S_OK);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(procedures.MAPIFreeBuffer(block), 0u);
}

TEST(MapiBindingTest, MissingLibraryLeavesAllUnboundAndCallsDoNothing) {
  TMapiBinding binding(std::string(CORVID_DIST) + "/no-such-directory/MAPI32.DLL");
  EXPECT_FALSE(binding.Loaded());
  const TMapiProcedures& procedures = binding.Procedures();
  EXPECT_EQ(procedures.BoundCount(), 0);
  EXPECT_FALSE(procedures.Bound({"HrQueryAllRows", "FreeProws"}));

  // No call goes through a null address; out-parameters come back null.
  EXPECT_EQ(procedures.MAPIInitialize(nullptr), mapi::kMapiNotBound);
  procedures.MAPIUninitialize();
  void* block = &block;
  EXPECT_EQ(procedures.MAPIAllocateBuffer(16, &block), mapi::kMapiNotBound);
  EXPECT_EQ(block, nullptr);
  LPSRowSet rows = reinterpret_cast<LPSRowSet>(&block);
  EXPECT_EQ(procedures.HrQueryAllRows(nullptr, nullptr, nullptr, nullptr, 0, &rows), mapi::kMapiNotBound);
  EXPECT_EQ(rows, nullptr);
  LPSPropValue value = reinterpret_cast<LPSPropValue>(&block);
  EXPECT_EQ(procedures.HrGetOneProp(nullptr, PR_SUBJECT, &value), mapi::kMapiNotBound);
  EXPECT_EQ(value, nullptr);
  EXPECT_EQ(procedures.HrSetOneProp(nullptr, nullptr), mapi::kMapiNotBound);
  procedures.FreeProws(reinterpret_cast<LPSRowSet>(&block));  // would crash if called
  procedures.FreePadrlist(reinterpret_cast<LPADRLIST>(&block));
  EXPECT_EQ(procedures.MAPIFreeBuffer(&block), 0u);
}

TEST(MapiBindingTest, ProcessTableFollowsTheBindingsLife) {
  EXPECT_EQ(Mapi().BoundCount(), 0);
  {
    TMapiBinding binding(kLibrary);
    mapi::InstallMapi(&binding.Procedures());
    EXPECT_TRUE(Mapi().Bound("HrQueryAllRows"));
  }
  // Freed with its library: the process is back to nothing bound.
  EXPECT_EQ(Mapi().BoundCount(), 0);
}

}  // namespace
}  // namespace corvid::core
