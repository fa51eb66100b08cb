#include "platform/exchange/exchange_interfaces.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace corvid::exchange {
namespace {

std::string Text(const GUID& g) {
  char out[39];
  std::snprintf(out, sizeof out, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return out;
}

// Clients find extensions' interfaces by these published values; one wrong
// digit and QueryInterface never matches.
TEST(ExchangeInterfacesTest, IdentifiersAreThePublishedOnes) {
  const struct {
    const IID& iid;
    const char* text;
  } cases[] = {
      {IID_IExchExtCallback, "{00020D10-0000-0000-C000-000000000046}"},
      {IID_IExchExt, "{00020D11-0000-0000-C000-000000000046}"},
      {IID_IExchExtCommands, "{00020D12-0000-0000-C000-000000000046}"},
      {IID_IExchExtUserEvents, "{00020D13-0000-0000-C000-000000000046}"},
      {IID_IExchExtSessionEvents, "{00020D14-0000-0000-C000-000000000046}"},
      {IID_IExchExtMessageEvents, "{00020D15-0000-0000-C000-000000000046}"},
      {IID_IExchExtAttachedFileEvents, "{00020D16-0000-0000-C000-000000000046}"},
      {IID_IExchExtPropertySheets, "{00020D17-0000-0000-C000-000000000046}"},
      {IID_IExchExtAdvancedCriteria, "{00020D18-0000-0000-C000-000000000046}"},
  };
  for (const auto& c : cases) EXPECT_EQ(Text(c.iid), c.text);
  // The in-memory layout is the wire layout: Data1 first, little-endian.
  static_assert(sizeof(GUID) == 16);
  const auto* bytes = reinterpret_cast<const unsigned char*>(&IID_IExchExt);
  EXPECT_EQ(bytes[0], 0x11);
  EXPECT_EQ(bytes[1], 0x0D);
  EXPECT_EQ(bytes[8], 0xC0);
  EXPECT_EQ(bytes[15], 0x46);
}

// A registry entry's context map is positional: digit N is context N.
TEST(ExchangeInterfacesTest, ContextNumbersAndFlagsAreThePublishedOnes) {
  const ULONG contexts[] = {EECONTEXT_SESSION,           EECONTEXT_VIEWER,           EECONTEXT_REMOTEVIEWER,
                            EECONTEXT_SEARCHVIEWER,      EECONTEXT_ADDRBOOK,         EECONTEXT_SENDNOTEMESSAGE,
                            EECONTEXT_READNOTEMESSAGE,   EECONTEXT_SENDPOSTMESSAGE,  EECONTEXT_READPOSTMESSAGE,
                            EECONTEXT_READREPORTMESSAGE, EECONTEXT_SENDRESENDMESSAGE, EECONTEXT_PROPERTYSHEETS,
                            EECONTEXT_ADVANCEDCRITERIA,  EECONTEXT_TASK};
  for (ULONG i = 0; i < std::size(contexts); ++i) EXPECT_EQ(contexts[i], i + 1);
  EXPECT_EQ(EEPS_TOOLSOPTIONS, 4u);
  EXPECT_EQ(EE_MODAL, 1u);
  EXPECT_EQ(EXCHEXT_UNICODE, 0x80000000u);
}

}  // namespace
}  // namespace corvid::exchange
