#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/mapi/linked_store.h"
#include "platform/mapi/mapi_procedures.h"
#include "core/extension.h"
#include "core/test_callback.h"
#include "platform/mapi/mapi_test_support.h"
#include "settings/catalogue.h"

namespace corvid::core {
namespace {

using namespace mapi;
using mapi::test::TRef;

char16_t kMarkerName[] = u"Corvid prop: Message being submitted";

// Messages in the stand-in store of a temporary machine, with the store
// linked into the test standing in for the bound library, and the
// extension object the client would hold.
class MessageEventsTest : public mapi::test::TStoreTest {
 protected:
  void SetUp() override {
    TStoreTest::SetUp();
    mapi::BindLinkedStore(procedures_);
    previous_ = mapi::InstallMapi(&procedures_);
    ext_ = InitExtension((machine_.Root() / "corvina.dll").string());
    ASSERT_NE(ext_, nullptr);
    ASSERT_EQ(ext_->QueryInterface(exchange::IID_IExchExtMessageEvents, reinterpret_cast<void**>(&events_)), S_OK);
  }
  void TearDown() override {
    if (events_ != nullptr) events_->Release();
    if (ext_ != nullptr) ext_->Release();
    mapi::InstallMapi(previous_);
    TStoreTest::TearDown();
  }

  // A message with one compressible attachment of 8 KB.
  TRef<IMessage> Compose(const std::string& to) {
    std::string data;
    while (data.size() < 8192) data += "The quarterly figures, line after line of them. ";
    const std::string text = "From: Me <me@example.net>\r\nTo: " + to +
                             "\r\nSubject: figures\r\nMIME-Version: 1.0\r\n"
                             "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
                             "--b\r\nContent-Type: text/plain\r\n\r\nSee attached.\r\n"
                             "--b\r\nContent-Type: text/plain; name=\"report.txt\"\r\n"
                             "Content-Disposition: attachment; filename=\"report.txt\"\r\n\r\n" +
                             data + "\r\n--b--\r\n";
    return Open(Deliver(text));
  }

  ULONG MarkerTag(IMessage* message) {
    GUID set = PS_PUBLIC_STRINGS;
    MAPINAMEID name{&set, MNID_STRING, {}};
    name.Kind.lpwstrName = kMarkerName;
    LPMAPINAMEID names[1] = {&name};
    LPSPropTagArray tags = nullptr;
    EXPECT_EQ(message->GetIDsFromNames(1, names, MAPI_CREATE, &tags), S_OK);
    const ULONG tag = tags != nullptr ? CHANGE_PROP_TYPE(tags->aulPropTag[0], PT_BOOLEAN) : 0;
    MAPIFreeBuffer(tags);
    return tag;
  }
  bool HasMarker(IMessage* message) { return mapi::test::PropOf(message, MarkerTag(message)).has_value(); }

  std::vector<std::string> AttachmentNames(IMessage* message) {
    LPMAPITABLE table = nullptr;
    EXPECT_EQ(message->GetAttachmentTable(0, &table), S_OK);
    std::vector<std::string> names;
    if (table == nullptr) return names;
    for (const auto& row : mapi::test::Rows(table, {PR_ATTACH_LONG_FILENAME})) names.push_back(row[0].bytes);
    table->Release();
    return names;
  }

  int Compressions() { return settings::Read(ExtensionInstance()->Options(), settings::kNumMessages); }

  mapi::TMapiProcedures procedures_;
  const mapi::TMapiProcedures* previous_ = nullptr;
  exchange::IExchExt* ext_ = nullptr;
  exchange::IExchExtMessageEvents* events_ = nullptr;
};

TEST_F(MessageEventsTest, SubmittedMessageIsCompressedOnceAfterItsWrite) {
  TRef<IMessage> message = Compose("Alice <alice@example.com>");
  test::TTestCallback callback(store_.get(), message.get());

  // Written without a submission (a saved draft): left alone.
  EXPECT_EQ(events_->OnWriteComplete(&callback, 0), S_FALSE);
  EXPECT_EQ(Compressions(), 0);

  EXPECT_EQ(events_->OnSubmit(&callback), S_FALSE);
  EXPECT_TRUE(HasMarker(message.get()));
  EXPECT_EQ(events_->OnWriteComplete(&callback, 0), S_FALSE);
  EXPECT_FALSE(HasMarker(message.get()));
  EXPECT_EQ(Compressions(), 1);
  // The archive's name is the pipeline's business; that it replaced the file is not.
  const std::vector<std::string> names = AttachmentNames(message.get());
  ASSERT_EQ(names.size(), 1u);
  EXPECT_TRUE(names[0].ends_with(".zip")) << names[0];

  // The mark is gone: a second write does nothing.
  EXPECT_EQ(events_->OnWriteComplete(&callback, 0), S_FALSE);
  EXPECT_EQ(Compressions(), 1);
}

TEST_F(MessageEventsTest, MarkedMessagesThatMustNotBeCompressed) {
  struct TCase {
    const char* to;
    bool enabled;
    bool marker_value;
  };
  const TCase cases[] = {
      {"Fax <FAX:+1 555 0100>", true, true},  // the recipient rules refuse
      {"alice@example.com", false, true},     // compression switched off
      {"alice@example.com", true, false},     // a marker stored as false
  };
  for (const TCase& c : cases) {
    settings::Write(ExtensionInstance()->Options(), settings::kCompressionEnabled, c.enabled);
    TRef<IMessage> message = Compose(c.to);
    test::TTestCallback callback(store_.get(), message.get());
    EXPECT_EQ(events_->OnSubmit(&callback), S_FALSE);
    if (!c.marker_value) {
      SPropValue value{};
      value.ulPropTag = MarkerTag(message.get());
      value.Value.b = 0;
      ASSERT_EQ(HrSetOneProp(message.get(), &value), S_OK);
    }
    EXPECT_EQ(events_->OnWriteComplete(&callback, 0), S_FALSE) << c.to;
    EXPECT_FALSE(HasMarker(message.get())) << c.to;
    EXPECT_EQ(AttachmentNames(message.get()), std::vector<std::string>{"report.txt"}) << c.to;
  }
  EXPECT_EQ(Compressions(), 0);
}

TEST_F(MessageEventsTest, OtherEventsDeclineAndFailuresStayInside) {
  test::TTestCallback no_object;  // GetObject fails
  EXPECT_EQ(events_->OnSubmit(&no_object), S_FALSE);
  EXPECT_EQ(events_->OnWriteComplete(&no_object, 0), S_FALSE);
  EXPECT_EQ(events_->OnSubmit(nullptr), S_FALSE);
  EXPECT_EQ(events_->OnRead(&no_object), S_FALSE);
  EXPECT_EQ(events_->OnReadComplete(&no_object, 0), S_FALSE);
  EXPECT_EQ(events_->OnWrite(&no_object), S_FALSE);
  EXPECT_EQ(events_->OnCheckNames(&no_object), S_FALSE);
  EXPECT_EQ(events_->OnCheckNamesComplete(&no_object, 0), S_FALSE);
  events_->OnSubmitComplete(&no_object, 0);

  // Nothing bound (MAPI32.DLL did not load): the events do nothing.
  mapi::TMapiProcedures nothing;
  mapi::InstallMapi(&nothing);
  TRef<IMessage> message = Compose("alice@example.com");
  test::TTestCallback callback(store_.get(), message.get());
  EXPECT_EQ(events_->OnSubmit(&callback), S_FALSE);
  EXPECT_EQ(events_->OnWriteComplete(&callback, 0), S_FALSE);
  mapi::InstallMapi(&procedures_);
  EXPECT_EQ(Compressions(), 0);
  EXPECT_FALSE(HasMarker(message.get()));
}

}  // namespace
}  // namespace corvid::core
