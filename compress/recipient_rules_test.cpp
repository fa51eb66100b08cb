#include "compress/recipient_rules.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/mapi/linked_store.h"
#include "platform/mapi/mapi_procedures.h"
#include "platform/mapi/entry_id.h"
#include "platform/mapi/maildir.h"
#include "platform/mapi/mapi32.h"
#include "platform/mapi/profile.h"
#include "platform/win/test_support.h"
#include "settings/catalogue.h"

namespace corvid::compress {
namespace {

using namespace mapi;
using settings::TOptionsContainer;

struct TMaskCase {
  const char* text;
  const char* mask;
  bool ignore_case;
  bool expected;
};

TEST(MatchMaskTest, Table) {
  const TMaskCase cases[] = {
      {"a.zip", "*.ZIP", true, true},
      {"a.zip", "*.ZIP", false, false},
      {"report.txt", "*.ZIP", true, false},
      {"aXXbYYc", "a*b*c", true, true},
      {"aXXbYYd", "a*b*c", true, false},
      {"aXXYYc", "a*b*c", true, false},  // a middle segment that is not there
      {"AxB", "A*B*", true, true},
      {"abXcd", "ab*cd", false, true},
      {"abcd", "a*c", false, false},  // the last segment is anchored at the end
      {"abc", "a?c", false, true},
      {"ac", "a?c", false, false},
      {"x", "?", false, true},
      {"", "?", false, false},
      {"xy", "?", false, false},
      {"abc", "ab", false, false},  // text left over
      {"ab", "abc", false, false},  // mask left over
      {"abc", "a**c", false, true},
      {"ab", "a**c", false, false},
      {"abc", "**", false, true},
      {"", "***", false, true},
      {"", "", false, true},  // only the exact match accepts an empty mask
      {"a", "", false, false},
      {"", "a", false, false},
      {"a*c", "a*c", false, true},
      {"x*yz", "x*y?", false, true},  // "*" in the text is taken literally first
      // Kept leniencies: the end anchor overlaps what was matched, and a
      // text may run out before a mask that ends in "*".
      {"ABC", "AB*BC", false, true},
      {"AB", "AB?*", false, true},
      {"ab", "ab*c*", false, true},
      // Code points, not bytes, and simple Unicode case mapping.
      {"ÄRGER.zip", "*.ZIP", true, true},
      {"ÄRGER.zip", "är*", true, true},
      {"ÄRGER.zip", "är*", false, false},
      {"ärger", "ÄRGER", true, true},
      {"σοφία", "ΣΟΦΊΑ", true, true},
      {"ä", "?", false, true},
      {"äö", "?", false, false},
      {"aäc", "a?c", false, true},
      {"straße", "STRASSE", true, false},  // no full (one-to-many) mapping
  };
  for (const TMaskCase& c : cases) {
    EXPECT_EQ(MatchMask(c.text, c.mask, c.ignore_case), c.expected)
        << "text \"" << c.text << "\" mask \"" << c.mask << "\" ignore case " << c.ignore_case;
  }
}

TEST(SplitRecipientEntryTest, Table) {
  struct TCase {
    const char* entry;
    const char* name;
    const char* address;
  };
  const TCase cases[] = {
      {"Jane Roe <jroe>", "Jane Roe", "jroe"},
      {"A <b> <c>", "A <b>", "c"},  // the last opening bracket
      {"j*", "", "j*"},
      {"x <y", "", "x <y"},  // no closing bracket: no pair applies
      {"Team {tm}", "Team", "tm"},
      {"<>", "", ""},
      {"Roe, Jane <jane@x.org>", "Roe, Jane", "jane@x.org"},
      {"<jane@x.org>", "", "jane@x.org"},
      {"  Sales [ sales@x.org ]  ", "Sales", "sales@x.org"},
      {"A [b] <c>", "A [b]", "c"},  // angle brackets are tried first
      {"A <b [c]", "A <b", "c"},    // "<" fails, "[" succeeds
      {"a <b> c>", "a", "b> c"},    // the last closing bracket after it
      {"\t j* \r", "", "j*"},
      {"", "", ""},
  };
  for (const TCase& c : cases) {
    const TRecipientEntry parts = SplitRecipientEntry(c.entry);
    EXPECT_EQ(parts.name, c.name) << "entry \"" << c.entry << "\"";
    EXPECT_EQ(parts.address, c.address) << "entry \"" << c.entry << "\"";
  }
}

TEST(SplitListTextTest, Table) {
  using TList = std::vector<std::string>;
  EXPECT_EQ(SplitListText(""), TList{});
  EXPECT_EQ(SplitListText("a"), TList{"a"});
  EXPECT_EQ(SplitListText("a\r\n"), TList{"a"});
  EXPECT_EQ(SplitListText("\r\n"), TList{""});
  EXPECT_EQ(SplitListText("a\rb\nc\r\nd"), (TList{"a", "b", "c", "d"}));
  EXPECT_EQ(SplitListText("a\r\n\r\nb\n"), (TList{"a", "", "b"}));
  EXPECT_EQ(SplitListText("a\n\rb"), (TList{"a", "", "b"}));  // LF CR is two breaks
  EXPECT_EQ(SplitListText(" a \r\n"), TList{" a "});
}

TEST(RecipientMatchesEntryTest, Table) {
  struct TCase {
    const char* display_name;
    const char* email;
    const char* entry;
    bool expected;
  };
  const TCase cases[] = {
      {"Jane Roe", "jane@x.org", "Jane Roe <jane@x.org>", true},
      {"Jane Roe", "jane@y.org", "Jane Roe <jane@x.org>", false},  // the name part is not used
      {"Someone", "JANE@X.ORG", "Jane Roe <jane@x.org>", true},
      {"Sales Team", "team@x.org", "*sales*", true},  // a bare mask: the display name too
      {"Bob", "bob@x.org", "*@X.org", true},
      {"Bob", "bob@x.org", "Bob <>", true},  // a name alone: the display name
      {"Robert", "bob@x.org", "Bob <>", false},
      {"Bob", "bob@x.org", "Bo? [ ]", true},
      {"Bob", "bob@x.org", "", false},
      {"Bob", "bob@x.org", "  ", false},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(RecipientMatchesEntry(c.display_name, c.email, c.entry), c.expected)
        << c.display_name << " / " << c.email << " / entry \"" << c.entry << "\"";
  }
}

// Real messages in the stand-in store of a temporary machine, read through
// the procedure table as the extension reads them.
class RecipientsAllowCompressionTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    machine_ = new win::TTestMachine();
    ASSERT_EQ(MAPIInitialize(nullptr), S_OK);
    ASSERT_EQ(MAPILogonEx(0, nullptr, nullptr, MAPI_EXTENDED | MAPI_NO_MAIL, &session_), S_OK);
  }
  static void TearDownTestSuite() {
    if (session_ != nullptr) session_->Release();
    session_ = nullptr;
    MAPIUninitialize();
    delete machine_;
    machine_ = nullptr;
  }

  void SetUp() override {
    // The store linked into the test stands in for the loaded library.
    BindLinkedStore(procedures_);
    previous_ = InstallMapi(&procedures_);
  }
  void TearDown() override {
    InstallMapi(previous_);
    for (IMessage* message : messages_) message->Release();
  }

  // Delivers a message with these address headers ("To: ...\r\nCc: ...")
  // into the INBOX and opens it.
  IMessage* Deliver(const std::string& address_headers) {
    const TProfile profile = LoadProfile();
    const TStoreConfig* store = nullptr;
    for (const TStoreConfig& candidate : profile.stores) {
      if (candidate.is_default) store = &candidate;
    }
    EXPECT_NE(store, nullptr);
    if (store == nullptr) return nullptr;
    const std::string text = "From: Me <me@example.net>\r\n" + address_headers +
                             "Subject: test\r\nMIME-Version: 1.0\r\nContent-Type: text/plain\r\n\r\nHello\r\n";
    TMaildir maildir(CurrentMailFiles(), store->path);
    TEntryId id = EntryIdOf(store->uid, TEntryKind::Message);
    id.unique = maildir.Deliver("", [&](TWriteFile& out) { out.Append(text.data(), text.size()); });
    std::string entry = EncodeEntryId(id);
    ULONG type = 0;
    IUnknown* object = nullptr;
    EXPECT_EQ(session_->OpenEntry(static_cast<ULONG>(entry.size()), reinterpret_cast<LPENTRYID>(entry.data()),
                                  &IID_IMessage, 0, &type, &object),
              S_OK);
    if (object != nullptr) messages_.push_back(static_cast<IMessage*>(object));
    return static_cast<IMessage*>(object);
  }

  bool Allowed(const std::string& address_headers) { return Allowed(address_headers, options_); }
  bool Allowed(const std::string& address_headers, TOptionsContainer& options) {
    IMessage* message = Deliver(address_headers);
    EXPECT_NE(message, nullptr);
    return message == nullptr || RecipientsAllowCompression(message, options);
  }

  static win::TTestMachine* machine_;
  static IMAPISession* session_;
  TMapiProcedures procedures_;
  const TMapiProcedures* previous_ = nullptr;
  std::vector<IMessage*> messages_;
  TOptionsContainer options_;
};

win::TTestMachine* RecipientsAllowCompressionTest::machine_ = nullptr;
IMAPISession* RecipientsAllowCompressionTest::session_ = nullptr;

TEST_F(RecipientsAllowCompressionTest, DefaultsBlockFaxLikeAddressTypes) {
  EXPECT_TRUE(Allowed("To: Alice <alice@example.com>\r\nCc: bob@example.org\r\n"));
  EXPECT_FALSE(Allowed("To: Alice <alice@example.com>, FAX:+1 555 0100\r\n"));
  EXPECT_FALSE(Allowed("To: alice@example.com\r\nCc: fax:+1 555 0100\r\n"));  // A to Z without case
  EXPECT_FALSE(Allowed("To: Office <MSFAX:+1 555 0101>\r\n"));
  EXPECT_FALSE(Allowed("To: alice@example.com\r\nBcc: Bob <X500:/o=Org/ou=Site/cn=Bob>\r\n"));
  EXPECT_TRUE(Allowed("To: Ann <FAXES:123>\r\n"));  // equal, not a prefix
  // Every read created its setting with the default.
  EXPECT_EQ(settings::Read(options_, settings::kSkipAddressTypes), "FAX\r\nMSFAX\r\nMSA\r\nSNADS\r\nTELEX\r\nX500\r\n");
  for (const char* path : {"Compression\\SkipAddressTypes", "Compression\\SkipRecipients", "Compression\\OnlySendTo",
                           "Compression\\UseSkipAddressTypes", "Compression\\UseSkipRecipients",
                           "Compression\\UseOnlySendTo"}) {
    EXPECT_NE(options_.FindEntry(path), nullptr) << path;
  }
}

TEST_F(RecipientsAllowCompressionTest, AddressTypeListAppliesOnlyWhenOn) {
  settings::Write(options_, settings::kUseSkipAddressTypes, false);
  EXPECT_TRUE(Allowed("To: FAX:+1 555 0100\r\n"));
  settings::Write(options_, settings::kUseSkipAddressTypes, true);
  settings::Write(options_, settings::kSkipAddressTypes, "SMTP\r\n");
  EXPECT_FALSE(Allowed("To: alice@example.com\r\n"));
  EXPECT_TRUE(Allowed("To: FAX:+1 555 0100\r\n"));
}

TEST_F(RecipientsAllowCompressionTest, SkipRecipients) {
  settings::Write(options_, settings::kSkipRecipients, "*@blocked.org\r\nJane Roe <jane@example.com>\r\n*sales*");
  EXPECT_TRUE(Allowed("To: alice@example.com, bob@example.org\r\n"));
  // One recipient in the domain is enough, wherever it stands.
  EXPECT_FALSE(Allowed("To: alice@example.com\r\nCc: Carl <carl@Blocked.org>\r\n"));
  EXPECT_FALSE(Allowed("To: alice@example.com\r\nBcc: carl@blocked.org\r\n"));
  // Name and address: by the address only.
  EXPECT_FALSE(Allowed("To: Jane Roe <jane@example.com>\r\n"));
  EXPECT_FALSE(Allowed("To: Someone Else <jane@example.com>\r\n"));
  EXPECT_TRUE(Allowed("To: Jane Roe <jane@other.example>\r\n"));
  // A bare mask is tried against the display name too.
  EXPECT_FALSE(Allowed("To: Sales Team <team@example.com>\r\n"));

  settings::Write(options_, settings::kUseSkipRecipients, false);
  EXPECT_TRUE(Allowed("To: carl@blocked.org\r\n"));
}

// With "only send to" on, every recipient must match one of its masks; the
// skip list then counts for nothing, the address-type list still does.
TEST_F(RecipientsAllowCompressionTest, OnlySendTo) {
  const struct {
    const char* what;
    const char* only_send_to;
    const char* skip_recipients;  // with the skip list on; none: as it is
    const char* headers;
    bool allowed;
  } cases[] = {
      {"one domain, all in it, any case", "*@example.com\r\n", nullptr,
       "To: alice@example.com\r\nCc: Bob <bob@EXAMPLE.com>\r\n", true},
      {"one domain, one outside", "*@example.com\r\n", nullptr, "To: alice@example.com\r\nCc: carl@example.org\r\n",
       false},
      {"the address-type list applies first", "*@example.com\r\n", nullptr,
       "To: alice@example.com, FAX:+1 555 0100\r\n", false},
      {"two domains, one of each", "*@example.com\r\n*@example.org\r\n", nullptr,
       "To: alice@example.com\r\nCc: bob@example.org\r\n", true},
      {"two domains, one of them", "*@example.com\r\n*@example.org\r\n", nullptr, "To: alice@example.com\r\n", true},
      {"two domains, one outside both", "*@example.com\r\n*@example.org\r\n", nullptr,
       "To: alice@example.com, carl@example.net\r\n", false},
      {"the skip list is ignored", "*@example.com\r\n", "*@example.com\r\n", "To: alice@example.com\r\n", true},
      {"an empty list restricts nobody", "", "*@example.com\r\n", "To: anyone@example.net\r\n", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TOptionsContainer options;
    if (c.skip_recipients != nullptr) {
      settings::Write(options, settings::kUseSkipRecipients, true);
      settings::Write(options, settings::kSkipRecipients, c.skip_recipients);
    }
    settings::Write(options, settings::kUseOnlySendTo, true);
    settings::Write(options, settings::kOnlySendTo, c.only_send_to);
    EXPECT_EQ(Allowed(c.headers, options), c.allowed);
  }
}

TEST_F(RecipientsAllowCompressionTest, UnboundProceduresMakeNoCheck) {
  procedures_.Set(MapiProcedureIndex("HrQueryAllRows"), nullptr);
  EXPECT_TRUE(Allowed("To: FAX:+1 555 0100\r\n"));
  InstallMapi(nullptr);  // nothing bound at all
  EXPECT_TRUE(Allowed("To: FAX:+1 555 0100\r\n"));
  EXPECT_TRUE(RecipientsAllowCompression(nullptr, options_));
}

// Rows as a store may answer them, for what the real store never does.
LPSRowSet g_fake_rows = nullptr;
HRESULT g_fake_result = S_OK;

HRESULT FakeQueryAllRows(LPMAPITABLE, LPSPropTagArray, LPSRestriction, LPSSortOrderSet, LONG, LPSRowSet* rows) {
  *rows = FAILED(g_fake_result) ? nullptr : g_fake_rows;
  g_fake_rows = nullptr;
  return g_fake_result;
}

// One row: address type missing (PT_ERROR), then display name and address.
LPSRowSet RowWithoutAddressType(const char* display_name, const char* email) {
  LPSRowSet rows = nullptr;
  MAPIAllocateBuffer(static_cast<ULONG>(CbNewSRowSet(1)), reinterpret_cast<void**>(&rows));
  rows->cRows = 1;
  LPSPropValue values = nullptr;
  MAPIAllocateBuffer(3 * sizeof(SPropValue), reinterpret_cast<void**>(&values));
  auto text = [&](const char* value) {
    char* copy = nullptr;
    MAPIAllocateMore(static_cast<ULONG>(std::strlen(value) + 1), values, reinterpret_cast<void**>(&copy));
    std::strcpy(copy, value);
    return copy;
  };
  values[0].ulPropTag = CHANGE_PROP_TYPE(PR_ADDRTYPE, PT_ERROR);
  values[0].Value.err = MAPI_E_NOT_FOUND;
  values[1].ulPropTag = PR_DISPLAY_NAME;
  values[1].Value.lpszA = text(display_name);
  values[2].ulPropTag = PR_EMAIL_ADDRESS;
  values[2].Value.lpszA = text(email);
  rows->aRow[0].cValues = 3;
  rows->aRow[0].lpProps = values;
  return rows;
}

TEST_F(RecipientsAllowCompressionTest, MissingAddressTypeMatchesOnlyAnEmptyLine) {
  procedures_.Set(MapiProcedureIndex("HrQueryAllRows"), reinterpret_cast<TMapiProc>(&FakeQueryAllRows));
  g_fake_result = S_OK;
  g_fake_rows = RowWithoutAddressType("Ann", "ann@example.com");
  EXPECT_TRUE(Allowed("To: ann@example.com\r\n"));
  settings::Write(options_, settings::kSkipAddressTypes, "FAX\r\n\r\nX500\r\n");
  g_fake_rows = RowWithoutAddressType("Ann", "ann@example.com");
  EXPECT_FALSE(Allowed("To: ann@example.com\r\n"));
}

TEST_F(RecipientsAllowCompressionTest, FailedQueryAllowsCompression) {
  procedures_.Set(MapiProcedureIndex("HrQueryAllRows"), reinterpret_cast<TMapiProc>(&FakeQueryAllRows));
  g_fake_result = MAPI_E_CALL_FAILED;
  EXPECT_TRUE(Allowed("To: FAX:+1 555 0100\r\n"));
  g_fake_result = S_OK;
}

TEST_F(RecipientsAllowCompressionTest, NoRuleOnMeansNoCheck) {
  settings::Write(options_, settings::kUseSkipAddressTypes, false);
  settings::Write(options_, settings::kUseSkipRecipients, false);
  settings::Write(options_, settings::kSkipRecipients, "*");
  EXPECT_TRUE(Allowed("To: FAX:+1 555 0100, alice@example.com\r\n"));
}

}  // namespace
}  // namespace corvid::compress
