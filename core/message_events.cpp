// The message events: a message is marked when the client submits it and,
// once the client has written it, a marked message is compressed and the
// mark removed. Every other event declines. No event lets a failure out;
// only a message whose attachments should have been protected by a password
// and are not has its send stopped (OnWriteComplete fails).
#include <atomic>

#include "base/log.h"
#include "compress/compress_message.h"
#include "platform/mapi/mapi_procedures.h"
#include "compress/recipient_rules.h"
#include "core/extension.h"
#include "platform/win/ui_thread.h"
#include "settings/catalogue.h"

namespace corvid::core {

using namespace mapi;

namespace {

// The marker's tag, resolved once for the process (every store hands out
// the same identifier for a public-strings name).
std::atomic<ULONG> g_submit_marker_tag{0};

char16_t kSubmitMarkerName[] = u"Corvid prop: Message being submitted";

// The store and the message (or folder) of a callback, released on exit.
class TCallbackObject {
 public:
  explicit TCallbackObject(LPEXCHEXTCALLBACK callback) {
    if (callback == nullptr || callback->GetObject(&store_, &object_) != S_OK) Reset();
  }
  ~TCallbackObject() { Reset(); }
  TCallbackObject(const TCallbackObject&) = delete;
  TCallbackObject& operator=(const TCallbackObject&) = delete;

  LPMDB Store() const { return store_; }
  LPMAPIPROP Object() const { return object_; }

 private:
  void Reset() {
    if (object_ != nullptr) object_->Release();
    if (store_ != nullptr) store_->Release();
    object_ = nullptr;
    store_ = nullptr;
  }
  LPMDB store_ = nullptr;
  LPMAPIPROP object_ = nullptr;
};

bool EnsureSubmitMarkerTag(LPEXCHEXTCALLBACK callback) {
  // The events need these; without them (MAPI32.DLL did not bind them) they
  // do nothing, and the tag array below could not be given back.
  if (!mapi::Mapi().Bound({"MAPIFreeBuffer", "HrGetOneProp", "HrSetOneProp"})) return false;
  if (g_submit_marker_tag.load() != 0) return true;
  TCallbackObject object(callback);
  if (object.Object() == nullptr) return false;
  GUID property_set = PS_PUBLIC_STRINGS;
  MAPINAMEID name{};
  name.lpguid = &property_set;
  name.ulKind = MNID_STRING;
  name.Kind.lpwstrName = kSubmitMarkerName;
  LPMAPINAMEID names[1] = {&name};
  LPSPropTagArray tags = nullptr;
  const HRESULT result = object.Object()->GetIDsFromNames(1, names, MAPI_CREATE, &tags);
  ULONG tag = 0;
  // A name the store could not map comes back as an error tag, not as an
  // identifier: it must not become a property.
  if (result == S_OK && tags != nullptr && tags->cValues >= 1 && PROP_TYPE(tags->aulPropTag[0]) != PT_ERROR &&
      PROP_ID(tags->aulPropTag[0]) != PROP_ID_NULL) {
    tag = CHANGE_PROP_TYPE(tags->aulPropTag[0], PT_BOOLEAN);
  }
  if (tags != nullptr) mapi::Mapi().MAPIFreeBuffer(tags);
  if (tag == 0) return false;
  g_submit_marker_tag.store(tag);
  return true;
}

}  // namespace

HRESULT TZIPExtension::OnRead(LPEXCHEXTCALLBACK) { return S_FALSE; }
HRESULT TZIPExtension::OnReadComplete(LPEXCHEXTCALLBACK, ULONG) { return S_FALSE; }
HRESULT TZIPExtension::OnWrite(LPEXCHEXTCALLBACK) { return S_FALSE; }
HRESULT TZIPExtension::OnCheckNames(LPEXCHEXTCALLBACK) { return S_FALSE; }
HRESULT TZIPExtension::OnCheckNamesComplete(LPEXCHEXTCALLBACK, ULONG) { return S_FALSE; }
void TZIPExtension::OnSubmitComplete(LPEXCHEXTCALLBACK, ULONG) {}

HRESULT TZIPExtension::OnSubmit(LPEXCHEXTCALLBACK lpeecb) {
  try {
    if (!EnsureSubmitMarkerTag(lpeecb)) return S_FALSE;
    TCallbackObject object(lpeecb);
    if (object.Object() == nullptr) return S_FALSE;
    SPropValue marker{};
    marker.ulPropTag = g_submit_marker_tag.load();
    marker.Value.b = 1;
    // Not saved here: the client writes the message next.
    if (mapi::Mapi().HrSetOneProp(object.Object(), &marker) == HResult(0xFFFFFFFF)) win::MessageBeep(0);
  } catch (...) {
  }
  return S_FALSE;
}

HRESULT TZIPExtension::OnWriteComplete(LPEXCHEXTCALLBACK lpeecb, ULONG) {
  try {
    if (!EnsureSubmitMarkerTag(lpeecb)) {
      log::Notice("attachments left as they were: the submit marker could not be resolved in the message store");
      return S_FALSE;
    }
    TCallbackObject object(lpeecb);
    if (object.Object() == nullptr) return S_FALSE;
    const ULONG tag = g_submit_marker_tag.load();
    bool marked = false;
    LPSPropValue value = nullptr;
    if (mapi::Mapi().HrGetOneProp(object.Object(), tag, &value) == S_OK && value != nullptr) {
      marked = value->Value.b == 1;
      mapi::Mapi().MAPIFreeBuffer(value);
      // Removed before anything else, so a message is compressed at most
      // once per submission.
      SPropTagArray tags{1, {tag}};
      object.Object()->DeleteProps(&tags, nullptr);
    }
    if (!marked) return S_FALSE;  // saved, not sent
    if (!settings::Read(FOptions, settings::kCompressionEnabled)) {
      log::Line("attachments left as they were: Compression\\Enabled is off");
      return S_FALSE;
    }
    if (object.Store() == nullptr) return S_FALSE;
    IMessage* message = nullptr;
    if (object.Object()->QueryInterface(IID_IMessage, reinterpret_cast<void**>(&message)) != S_OK ||
        message == nullptr) {
      return S_FALSE;
    }
    compress::TCompressOutcome outcome = compress::TCompressOutcome::Unchanged;
    try {
      if (compress::RecipientsAllowCompression(message, FOptions)) {
        outcome = compress::CompressMessage(message, FOptions, true);
      } else {
        log::Line("attachments left as they were: the recipient rules do not allow compression for this message");
      }
    } catch (...) {
      log::Notice("attachments left as they were: the recipient rules failed");
    }
    message->Release();
    // The one road on which the send stops: the user asked for a password
    // and the attachments would go out without one.
    if (outcome == compress::TCompressOutcome::Refused) return MAPI_E_USER_CANCEL;
  } catch (...) {
    log::Notice("attachments left as they were: the extension failed unexpectedly");
  }
  return S_FALSE;
}

}  // namespace corvid::core
