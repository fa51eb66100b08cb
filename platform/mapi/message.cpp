// IMessage and IAttach over one MIME file of a Maildir.
//
// Nothing reaches the disk before the message's SaveChanges: property
// changes, new, changed and deleted attachments live in the message's MIME
// tree (and attachment data in scratch files) until then. An attachment's
// own changes join the message at the attachment's SaveChanges, as in MAPI.
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/mapi/mapi_object.h"
#include "platform/mapi/mime_message.h"
#include "platform/mapi/store_core.h"
#include "platform/mapi/streams.h"
#include "platform/mapi/table.h"

namespace corvid::mapi {
namespace {

std::string ExtensionOf(const std::string& name) {
  const size_t dot = name.rfind('.');
  const size_t separator = name.find_last_of("/\\:");
  if (dot == std::string::npos || (separator != std::string::npos && dot < separator)) return {};
  return name.substr(dot);
}

const TProp* FindStored(const std::vector<TProp>& stored, ULONG tag) {
  for (const TProp& prop : stored) {
    if (PROP_ID(prop.tag) == PROP_ID(tag)) return &prop;
  }
  return nullptr;
}

// Texts given as PT_UNICODE are kept as the 8-bit (UTF-8) texts they read as.
TProp AsText(const TProp& value) {
  if (value.Type() == PT_STRING8) return value;
  Require(value.Type() == PT_UNICODE, MAPI_E_INVALID_TYPE, "A text is due");
  std::u16string wide(value.bytes.size() / 2, u'\0');
  std::memcpy(wide.data(), value.bytes.data(), wide.size() * 2);
  return TProp::Bytes(CHANGE_PROP_TYPE(value.tag, PT_STRING8), Utf8FromUtf16(wide.c_str()));
}

// The properties of one attachment as the MIME part gives them.
std::vector<TProp> AttachmentProps(ULONG number, const TMimeAttachment& info) {
  std::vector<TProp> props;
  props.push_back(TProp::Long(PR_ATTACH_NUM, number));
  props.push_back(TProp::Long(PR_OBJECT_TYPE, MAPI_ATTACH));
  props.push_back(TProp::Long(PR_ATTACH_METHOD, info.embedded ? ATTACH_EMBEDDED_MSG : ATTACH_BY_VALUE));
  const TProp* short_name = FindStored(info.stored, PR_ATTACH_FILENAME);
  const TProp* display = FindStored(info.stored, PR_DISPLAY_NAME);
  if (!info.file_name.empty()) {
    props.push_back(TProp::Bytes(PR_ATTACH_LONG_FILENAME, info.file_name));
    props.push_back(TProp::Bytes(PR_ATTACH_FILENAME, short_name ? short_name->bytes : info.file_name));
    const std::string extension = ExtensionOf(info.file_name);
    if (!extension.empty()) props.push_back(TProp::Bytes(PR_ATTACH_EXTENSION, extension));
  } else if (short_name != nullptr) {
    props.push_back(*short_name);
  }
  if (display != nullptr) {
    props.push_back(*display);
  } else if (!info.file_name.empty()) {
    props.push_back(TProp::Bytes(PR_DISPLAY_NAME, info.file_name));
  } else if (!info.subject.empty()) {
    props.push_back(TProp::Bytes(PR_DISPLAY_NAME, info.subject));
  }
  props.push_back(TProp::Bytes(PR_ATTACH_MIME_TAG, info.mime_type));
  if (!info.content_id.empty()) props.push_back(TProp::Bytes(PR_ATTACH_CONTENT_ID, info.content_id));
  props.push_back(TProp::Long(PR_ATTACH_SIZE, static_cast<LONG>(std::min<uint64_t>(info.raw_size, 0x7FFFFFFF))));
  for (const TProp& prop : info.stored) {
    if (PROP_ID(prop.tag) != PROP_ID(PR_ATTACH_FILENAME) && PROP_ID(prop.tag) != PROP_ID(PR_DISPLAY_NAME)) {
      props.push_back(prop);
    }
  }
  return props;
}

bool IsComputedAttachmentProp(ULONG tag) {
  switch (PROP_ID(tag)) {
    case PROP_ID(PR_ATTACH_NUM):
    case PROP_ID(PR_ATTACH_SIZE):
    case PROP_ID(PR_ATTACH_EXTENSION):
    case PROP_ID(PR_ATTACH_CONTENT_ID):
    case PROP_ID(PR_OBJECT_TYPE):
    case PROP_ID(PR_RECORD_KEY):
    case PROP_ID(PR_INSTANCE_KEY):
    case PROP_ID(PR_ENTRYID):
      return true;
    default:
      return false;
  }
}

bool IsComputedMessageProp(ULONG tag) {
  switch (PROP_ID(tag)) {
    case PROP_ID(PR_ENTRYID):
    case PROP_ID(PR_PARENT_ENTRYID):
    case PROP_ID(PR_STORE_ENTRYID):
    case PROP_ID(PR_RECORD_KEY):
    case PROP_ID(PR_INSTANCE_KEY):
    case PROP_ID(PR_OBJECT_TYPE):
    case PROP_ID(PR_MESSAGE_SIZE):
    case PROP_ID(PR_HASATTACH):
    case PROP_ID(PR_SENDER_NAME):
    case PROP_ID(PR_SENDER_EMAIL_ADDRESS):
    case PROP_ID(PR_SENDER_ADDRTYPE):
    case PROP_ID(PR_DISPLAY_TO):
    case PROP_ID(PR_DISPLAY_CC):
    case PROP_ID(PR_DISPLAY_BCC):
    case PROP_ID(PR_CLIENT_SUBMIT_TIME):
    case PROP_ID(PR_MESSAGE_DELIVERY_TIME):
    case PROP_ID(PR_INTERNET_MESSAGE_ID):
    case PROP_ID(PR_ATTACH_DATA_BIN):
      return true;
    default:
      return false;
  }
}

class TAttach;

class TMessage : public TPropObject<IMessage> {
 public:
  // An existing message.
  TMessage(std::shared_ptr<TStoreCore> core, std::string folder, const TMessageFile& file,
           std::shared_ptr<TReadFile> read, bool modify)
      : core_(std::move(core)), folder_(std::move(folder)), unique_(file.unique), modify_(modify) {
    identity_ = read->Identity();
    flags_ = file.flags;
    model_ = TMimeMessage::Parse(std::move(read));
    for (const TMimeAttachment& attachment : model_->Attachments()) {
      handles_[next_number_++] = attachment.handle;
    }
  }
  // A new message of a folder.
  TMessage(std::shared_ptr<TStoreCore> core, std::string folder)
      : core_(std::move(core)), folder_(std::move(folder)), modify_(true), model_(TMimeMessage::CreateNew()) {
    unsent_wanted_ = true;
  }

  HRESULT QueryInterface(REFIID riid, void** ppvObject) override {
    return QueryAs(riid, ppvObject, {IID_IMessage, IID_IMAPIProp});
  }

  HRESULT SaveChanges(ULONG ulFlags) override {
    return Guarded(error_, [&] {
      std::lock_guard lock(mutex_);
      Require(modify_, MAPI_E_NO_ACCESS, "The message was opened for reading only");
      Save((ulFlags & FORCE_SAVE) != 0);
      if ((ulFlags & KEEP_OPEN_READWRITE) == 0) modify_ = false;
      return S_OK;
    });
  }

  HRESULT GetAttachmentTable(ULONG ulFlags, LPMAPITABLE* lppTable) override {
    return Guarded(error_, [&] {
      Require(lppTable != nullptr, MAPI_E_INVALID_PARAMETER, "Missing out-parameter");
      std::lock_guard lock(mutex_);
      std::vector<std::shared_ptr<TRowSource>> rows;
      for (const auto& [number, handle] : handles_) {
        if (std::optional<TMimeAttachment> info = model_->Attachment(handle)) {
          rows.push_back(std::make_shared<TFixedRow>(AttachmentProps(number, *info)));
        }
      }
      *lppTable = NewTable(std::move(rows), {PR_ATTACH_NUM, PR_INSTANCE_KEY, PR_ATTACH_METHOD,
                                             PR_ATTACH_LONG_FILENAME, PR_ATTACH_FILENAME, PR_DISPLAY_NAME});
      return S_OK;
    });
  }
  HRESULT OpenAttach(ULONG ulAttachmentNum, LPCIID lpInterface, ULONG ulFlags, LPATTACH* lppAttach) override;
  HRESULT CreateAttach(LPCIID lpInterface, ULONG ulFlags, ULONG* lpulAttachmentNum, LPATTACH* lppAttach) override;
  HRESULT DeleteAttach(ULONG ulAttachmentNum, ULONG_PTR ulUIParam, LPMAPIPROGRESS lpProgress,
                       ULONG ulFlags) override {
    return Guarded(error_, [&] {
      std::lock_guard lock(mutex_);
      Require(modify_, MAPI_E_NO_ACCESS, "The message was opened for reading only");
      auto it = handles_.find(ulAttachmentNum);
      Require(it != handles_.end() && model_->Attachment(it->second).has_value(), MAPI_E_NOT_FOUND,
              "No such attachment");
      model_->RemoveAttachment(it->second);
      handles_.erase(it);
      content_changed_ = true;
      return S_OK;
    });
  }
  HRESULT GetRecipientTable(ULONG ulFlags, LPMAPITABLE* lppTable) override {
    return Guarded(error_, [&] {
      Require(lppTable != nullptr, MAPI_E_INVALID_PARAMETER, "Missing out-parameter");
      std::lock_guard lock(mutex_);
      std::vector<std::shared_ptr<TRowSource>> rows;
      LONG row_id = 0;
      for (const TMimeRecipient& recipient : model_->Recipients()) {
        TEntryId one_off = EntryIdOf(GUID{}, TEntryKind::OneOff);
        one_off.display_name = recipient.display_name;
        one_off.addr_type = recipient.addr_type;
        one_off.email = recipient.email;
        rows.push_back(std::make_shared<TFixedRow>(std::vector<TProp>{
            TProp::Long(PR_ROWID, row_id++),
            TProp::Long(PR_RECIPIENT_TYPE, recipient.type),
            TProp::Bytes(PR_DISPLAY_NAME, recipient.display_name),
            TProp::Bytes(PR_ADDRTYPE, recipient.addr_type),
            TProp::Bytes(PR_EMAIL_ADDRESS, recipient.email),
            TProp::Bytes(PR_ENTRYID, EncodeEntryId(one_off)),
            TProp::Long(PR_OBJECT_TYPE, MAPI_MAILUSER),
        }));
      }
      *lppTable = NewTable(std::move(rows), {PR_ROWID, PR_RECIPIENT_TYPE, PR_DISPLAY_NAME, PR_ADDRTYPE,
                                             PR_EMAIL_ADDRESS, PR_ENTRYID});
      return S_OK;
    });
  }
  HRESULT ModifyRecipients(ULONG, LPADRLIST) override { return MAPI_E_NO_SUPPORT; }
  HRESULT SubmitMessage(ULONG) override { return MAPI_E_NO_SUPPORT; }
  HRESULT SetReadFlag(ULONG ulFlags) override {
    return Guarded(error_, [&] {
      std::lock_guard lock(mutex_);
      const bool read = (ulFlags & CLEAR_READ_FLAG) == 0;
      if (unique_.empty()) {
        read_wanted_ = read;
        return S_OK;
      }
      // The read state is the message's status, not its content: it
      // changes at once, as MAPI's does.
      const std::optional<TMessageFile> current = core_->Maildir().Find(folder_, unique_);
      Require(current.has_value(), MAPI_E_OBJECT_DELETED, "The message was deleted meanwhile");
      flags_ = WithFlag(current->flags, 'S', read);
      core_->Maildir().SetFlags(folder_, unique_, flags_);
      read_wanted_.reset();
      return S_OK;
    });
  }

  // For TAttach, under the message's lock.
  std::recursive_mutex& Mutex() { return mutex_; }
  TMimeMessage& Model() { return *model_; }
  bool CanModify() const { return modify_; }
  std::optional<int> HandleOf(ULONG number) const {
    auto it = handles_.find(number);
    if (it == handles_.end()) return std::nullopt;
    return it->second;
  }
  void Adopt(ULONG number, int handle) {
    handles_[number] = handle;
    content_changed_ = true;
  }
  void Changed() { content_changed_ = true; }

 protected:
  std::vector<ULONG> PropTags() override {
    std::lock_guard lock(mutex_);
    std::vector<ULONG> tags = {PR_OBJECT_TYPE, PR_MESSAGE_CLASS, PR_MESSAGE_FLAGS, PR_MESSAGE_SIZE, PR_HASATTACH,
                               PR_STORE_ENTRYID, PR_PARENT_ENTRYID, PR_DISPLAY_TO, PR_DISPLAY_CC, PR_DISPLAY_BCC};
    if (!unique_.empty()) tags.insert(tags.end(), {PR_ENTRYID, PR_RECORD_KEY, PR_MESSAGE_DELIVERY_TIME});
    for (ULONG tag : {PR_SUBJECT, PR_SENDER_NAME, PR_SENDER_EMAIL_ADDRESS, PR_SENDER_ADDRTYPE, PR_CLIENT_SUBMIT_TIME,
                      PR_INTERNET_MESSAGE_ID}) {
      if (GetProp(tag)) tags.push_back(tag);
    }
    for (const TProp& prop : model_->StoredProps()) {
      if (PROP_ID(prop.tag) != PROP_ID(PR_MESSAGE_CLASS)) tags.push_back(prop.tag);
    }
    for (const auto& [key, value] : model_->NamedProps()) {
      const ULONG id = NamedPropId(key, true);
      if (id != 0) tags.push_back(PROP_TAG(value.Type(), id));
    }
    return tags;
  }

  std::optional<TProp> GetProp(ULONG tag) override {
    std::lock_guard lock(mutex_);
    const ULONG id = PROP_ID(tag);
    if (id >= kFirstNamedPropId) {
      const std::optional<TNamedKey> key = NamedPropKey(id);
      if (!key) return std::nullopt;
      for (const auto& [name, value] : model_->NamedProps()) {
        if (name == *key) return TProp{PROP_TAG(value.Type(), id), value.number, value.real, value.bytes};
      }
      return std::nullopt;
    }
    switch (id) {
      case PROP_ID(PR_ENTRYID):
      case PROP_ID(PR_RECORD_KEY):
      case PROP_ID(PR_INSTANCE_KEY):
        if (unique_.empty()) return std::nullopt;
        return TProp::Bytes(CHANGE_PROP_TYPE(tag, PT_BINARY), core_->MessageEntryId(folder_, unique_));
      case PROP_ID(PR_PARENT_ENTRYID):
        return TProp::Bytes(PR_PARENT_ENTRYID, core_->FolderEntryId(folder_));
      case PROP_ID(PR_STORE_ENTRYID):
        return TProp::Bytes(PR_STORE_ENTRYID, core_->StoreEntryId());
      case PROP_ID(PR_OBJECT_TYPE):
        return TProp::Long(PR_OBJECT_TYPE, MAPI_MESSAGE);
      case PROP_ID(PR_MESSAGE_CLASS): {
        for (const TProp& prop : model_->StoredProps()) {
          if (PROP_ID(prop.tag) == id && prop.Type() == PT_STRING8) return prop;
        }
        return TProp::Bytes(PR_MESSAGE_CLASS, model_->MessageClass());
      }
      case PROP_ID(PR_SUBJECT): {
        const std::string subject = model_->Subject();
        if (subject.empty()) return std::nullopt;
        return TProp::Bytes(PR_SUBJECT, subject);
      }
      case PROP_ID(PR_MESSAGE_FLAGS):
        return TProp::Long(PR_MESSAGE_FLAGS, MessageFlagsOf(EffectiveFlags(), HasAttachments()));
      case PROP_ID(PR_HASATTACH):
        return TProp::Bool(PR_HASATTACH, HasAttachments());
      case PROP_ID(PR_MESSAGE_SIZE):
        return TProp::Long(PR_MESSAGE_SIZE, static_cast<LONG>(std::min<uint64_t>(identity_.size, 0x7FFFFFFF)));
      case PROP_ID(PR_MESSAGE_DELIVERY_TIME):
        if (unique_.empty()) return std::nullopt;
        return TProp::Long(PR_MESSAGE_DELIVERY_TIME, FileTimeFromUnixNanoseconds(identity_.mtime_ns));
      case PROP_ID(PR_CLIENT_SUBMIT_TIME): {
        const std::optional<int64_t> date = model_->DateUnixSeconds();
        if (!date) return std::nullopt;
        return TProp::Long(PR_CLIENT_SUBMIT_TIME, FileTimeFromUnixSeconds(*date));
      }
      case PROP_ID(PR_INTERNET_MESSAGE_ID): {
        const std::string message_id = model_->MessageId();
        if (message_id.empty()) return std::nullopt;
        return TProp::Bytes(PR_INTERNET_MESSAGE_ID, "<" + message_id + ">");
      }
      case PROP_ID(PR_SENDER_NAME):
      case PROP_ID(PR_SENDER_EMAIL_ADDRESS):
      case PROP_ID(PR_SENDER_ADDRTYPE): {
        const std::optional<TMimeRecipient> sender = model_->Sender();
        if (!sender) return std::nullopt;
        const std::string& text = id == PROP_ID(PR_SENDER_NAME)            ? sender->display_name
                                  : id == PROP_ID(PR_SENDER_EMAIL_ADDRESS) ? sender->email
                                                                           : sender->addr_type;
        return TProp::Bytes(PROP_TAG(PT_STRING8, id), text);
      }
      case PROP_ID(PR_DISPLAY_TO):
      case PROP_ID(PR_DISPLAY_CC):
      case PROP_ID(PR_DISPLAY_BCC): {
        const LONG type = id == PROP_ID(PR_DISPLAY_TO) ? MAPI_TO : id == PROP_ID(PR_DISPLAY_CC) ? MAPI_CC : MAPI_BCC;
        std::string names;
        for (const TMimeRecipient& recipient : model_->Recipients()) {
          if (recipient.type != type) continue;
          if (!names.empty()) names += "; ";
          names += recipient.display_name;
        }
        return TProp::Bytes(PROP_TAG(PT_STRING8, id), names);
      }
      default:
        break;
    }
    for (const TProp& prop : model_->StoredProps()) {
      if (PROP_ID(prop.tag) == id) return prop;
    }
    return std::nullopt;
  }

  SCODE SetProp(const TProp& value) override {
    std::lock_guard lock(mutex_);
    const ULONG id = PROP_ID(value.tag);
    if (id >= kFirstNamedPropId) {
      const std::optional<TNamedKey> key = NamedPropKey(id);
      if (!key) return MAPI_E_UNEXPECTED_ID;
      model_->SetNamedProp(*key, value);
      content_changed_ = true;
      return S_OK;
    }
    if (IsComputedMessageProp(value.tag)) return MAPI_E_COMPUTED;
    switch (id) {
      case PROP_ID(PR_SUBJECT):
        model_->SetSubject(AsText(value).bytes);
        content_changed_ = true;
        return S_OK;
      case PROP_ID(PR_MESSAGE_FLAGS):
        if (value.Type() != PT_LONG) return MAPI_E_INVALID_TYPE;
        read_wanted_ = (value.number & MSGFLAG_READ) != 0;
        unsent_wanted_ = (value.number & MSGFLAG_UNSENT) != 0;
        return S_OK;
      case PROP_ID(PR_MESSAGE_CLASS):
        model_->SetStoredProp(AsText(value));
        content_changed_ = true;
        return S_OK;
      default:
        model_->SetStoredProp(value);
        content_changed_ = true;
        return S_OK;
    }
  }

  SCODE DeleteProp(ULONG tag) override {
    std::lock_guard lock(mutex_);
    const ULONG id = PROP_ID(tag);
    if (id >= kFirstNamedPropId) {
      const std::optional<TNamedKey> key = NamedPropKey(id);
      if (!key) return S_OK;
      model_->RemoveNamedProp(*key);
      content_changed_ = true;
      return S_OK;
    }
    if (IsComputedMessageProp(tag) || id == PROP_ID(PR_MESSAGE_FLAGS)) return MAPI_E_COMPUTED;
    if (id == PROP_ID(PR_SUBJECT)) {
      model_->SetSubject("");
    } else {
      model_->RemoveStoredProp(id);
    }
    content_changed_ = true;
    return S_OK;
  }

  void RequireWritable() override {
    Require(modify_, MAPI_E_NO_ACCESS, "The message was opened for reading only");
  }

 private:
  static std::string WithFlag(const std::string& flags, char flag, bool on) {
    std::string out;
    for (char c : flags) {
      if (c != flag) out += c;
    }
    if (on) out += flag;
    return NormalizedFlags(out);
  }

  std::string EffectiveFlags() const {
    std::string flags = flags_;
    if (read_wanted_) flags = WithFlag(flags, 'S', *read_wanted_);
    if (unsent_wanted_) flags = WithFlag(flags, 'D', *unsent_wanted_);
    return flags;
  }

  bool HasAttachments() const { return !model_->Attachments().empty(); }

  void Save(bool force) {
    TMaildir& maildir = core_->Maildir();
    auto write = [this](TWriteFile& out) { model_->WriteTo(out); };
    if (unique_.empty()) {
      model_->CompleteEnvelope();
      const std::string unique = TMaildir::NewUnique();
      const std::string flags = EffectiveFlags();
      const TMaildir::TWritten written = maildir.Store(folder_, unique, flags, write);
      unique_ = unique;
      identity_ = written.identity;
      flags_ = NormalizedFlags(flags);
    } else {
      if (content_changed_) identity_ = maildir.Replace(folder_, unique_, identity_, force, write).identity;
      // Flags are merged into what the message has now: another program's
      // flag change stays, ours is added.
      if (read_wanted_ || unsent_wanted_) {
        const std::optional<TMessageFile> current = maildir.Find(folder_, unique_);
        Require(current.has_value(), MAPI_E_OBJECT_DELETED, "The message was deleted meanwhile");
        std::string flags = current->flags;
        if (read_wanted_) flags = WithFlag(flags, 'S', *read_wanted_);
        if (unsent_wanted_) flags = WithFlag(flags, 'D', *unsent_wanted_);
        maildir.SetFlags(folder_, unique_, flags);
        flags_ = flags;
      } else if (const std::optional<TMessageFile> current = maildir.Find(folder_, unique_)) {
        flags_ = current->flags;
      }
    }
    content_changed_ = false;
    read_wanted_.reset();
    unsent_wanted_.reset();
  }

  std::recursive_mutex mutex_;
  std::shared_ptr<TStoreCore> core_;
  std::string folder_;
  std::string unique_;  // empty until a new message is saved
  bool modify_;
  TFileIdentity identity_;  // of the version opened or last saved
  std::string flags_;       // Maildir flags as last seen
  std::unique_ptr<TMimeMessage> model_;
  bool content_changed_ = false;
  std::optional<bool> read_wanted_;
  std::optional<bool> unsent_wanted_;
  std::map<ULONG, int> handles_;  // attachment number -> MIME handle
  ULONG next_number_ = 0;

  friend class TAttach;
};

class TAttach : public TPropObject<IAttach> {
 public:
  // handle 0: a new attachment, not yet in the message.
  TAttach(TMessage* message, ULONG number, int handle, bool writable)
      : message_(TComRef<TMessage>::Share(message)), number_(number), handle_(handle), writable_(writable) {}

  HRESULT QueryInterface(REFIID riid, void** ppvObject) override {
    return QueryAs(riid, ppvObject, {IID_IAttachment, IID_IMAPIProp});
  }

  HRESULT SaveChanges(ULONG ulFlags) override {
    return Guarded(error_, [&] {
      std::lock_guard lock(message_->Mutex());
      Require(writable_, MAPI_E_NO_ACCESS, "The attachment was opened for reading only");
      if (handle_ == 0 || changed_) Commit();
      if ((ulFlags & KEEP_OPEN_READWRITE) == 0) writable_ = false;
      return S_OK;
    });
  }

  HRESULT OpenProperty(ULONG ulPropTag, LPCIID lpiid, ULONG ulInterfaceOptions, ULONG ulFlags,
                       LPUNKNOWN* lppUnk) override {
    return Guarded(error_, [&] {
      Require(lppUnk != nullptr, MAPI_E_INVALID_PARAMETER, "Missing out-parameter");
      *lppUnk = nullptr;
      Require(lpiid != nullptr, MAPI_E_INVALID_PARAMETER, "Say which interface");
      Require(PROP_ID(ulPropTag) == PROP_ID(PR_ATTACH_DATA_BIN), MAPI_E_NO_SUPPORT,
              "Only the attachment data opens as a stream");
      Require(PROP_TYPE(ulPropTag) == PT_BINARY, MAPI_E_NO_SUPPORT, "Embedded messages do not open as objects here");
      Require(IsEqualGUID(*lpiid, IID_IStream) || IsEqualGUID(*lpiid, IID_ISequentialStream) ||
                  IsEqualGUID(*lpiid, IID_IUnknown),
              MAPI_E_INTERFACE_NOT_SUPPORTED, "Attachment data opens as IStream");
      std::lock_guard lock(message_->Mutex());
      const bool write = (ulFlags & (MAPI_CREATE | MAPI_MODIFY)) != 0;
      if (write) {
        Require(writable_, MAPI_E_NO_ACCESS, "The attachment was opened for reading only");
        if ((ulFlags & MAPI_CREATE) != 0) {
          data_ = std::make_shared<TScratchFile>();
        } else if (!data_) {
          auto source = OpenStoredData();
          data_ = source ? SpoolToScratch(*source) : std::make_shared<TScratchFile>();
        }
        changed_ = true;
        *lppUnk = NewScratchStream(data_, true);
        return S_OK;
      }
      if (data_) {
        *lppUnk = NewScratchStream(data_, false);
        return S_OK;
      }
      auto source = OpenStoredData();
      Require(source != nullptr, MAPI_E_NOT_FOUND, "The attachment has no data");
      *lppUnk = NewDecodedStream(std::move(source));
      return S_OK;
    });
  }

 protected:
  std::vector<ULONG> PropTags() override {
    std::lock_guard lock(message_->Mutex());
    std::vector<ULONG> tags;
    std::vector<ULONG> seen;
    for (const auto& [id, value] : pending_) {
      seen.push_back(id);
      if (value) tags.push_back(value->tag);
    }
    for (const TProp& prop : BaseProps()) {
      if (std::find(seen.begin(), seen.end(), PROP_ID(prop.tag)) == seen.end()) tags.push_back(prop.tag);
    }
    return tags;
  }

  std::optional<TProp> GetProp(ULONG tag) override {
    std::lock_guard lock(message_->Mutex());
    const ULONG id = PROP_ID(tag);
    if (id == PROP_ID(PR_ATTACH_DATA_BIN)) {
      // Attachment data is read as a stream; MAPI answers so for large values.
      if (data_ || HasStoredData()) return TProp::Error(tag, MAPI_E_NOT_ENOUGH_MEMORY);
      return std::nullopt;
    }
    if (id == PROP_ID(PR_ATTACH_SIZE) && data_) {
      return TProp::Long(PR_ATTACH_SIZE, static_cast<LONG>(std::min<uint64_t>(data_->Size(), 0x7FFFFFFF)));
    }
    auto it = pending_.find(id);
    if (it != pending_.end()) return it->second;
    for (const TProp& prop : BaseProps()) {
      if (PROP_ID(prop.tag) == id) return prop;
    }
    return std::nullopt;
  }

  SCODE SetProp(const TProp& value) override {
    std::lock_guard lock(message_->Mutex());
    const ULONG id = PROP_ID(value.tag);
    if (IsComputedAttachmentProp(value.tag)) return MAPI_E_COMPUTED;
    switch (id) {
      case PROP_ID(PR_ATTACH_METHOD): {
        if (value.Type() != PT_LONG) return MAPI_E_INVALID_TYPE;
        const LONG current = handle_ != 0 && Info() && Info()->embedded ? ATTACH_EMBEDDED_MSG : ATTACH_BY_VALUE;
        if (value.number != current) return MAPI_E_NO_SUPPORT;  // attachments by value only
        pending_[id] = TProp::Long(PR_ATTACH_METHOD, current);
        break;
      }
      case PROP_ID(PR_ATTACH_DATA_BIN): {
        if (value.Type() != PT_BINARY) return MAPI_E_INVALID_TYPE;
        data_ = std::make_shared<TScratchFile>();
        data_->WriteAt(0, value.bytes.data(), value.bytes.size());
        break;
      }
      case PROP_ID(PR_ATTACH_LONG_FILENAME):
      case PROP_ID(PR_ATTACH_FILENAME):
      case PROP_ID(PR_DISPLAY_NAME):
      case PROP_ID(PR_ATTACH_MIME_TAG):
        pending_[id] = AsText(value);
        break;
      default:
        if (id >= kFirstNamedPropId) return MAPI_E_NO_SUPPORT;  // named properties live on messages
        pending_[id] = value;
        break;
    }
    changed_ = true;
    return S_OK;
  }

  SCODE DeleteProp(ULONG tag) override {
    std::lock_guard lock(message_->Mutex());
    if (IsComputedAttachmentProp(tag) || PROP_ID(tag) == PROP_ID(PR_ATTACH_METHOD) ||
        PROP_ID(tag) == PROP_ID(PR_ATTACH_LONG_FILENAME)) {
      return MAPI_E_COMPUTED;
    }
    if (PROP_ID(tag) == PROP_ID(PR_ATTACH_DATA_BIN)) {
      data_ = std::make_shared<TScratchFile>();
    } else {
      pending_[PROP_ID(tag)] = std::nullopt;
    }
    changed_ = true;
    return S_OK;
  }

  void RequireWritable() override {
    Require(writable_, MAPI_E_NO_ACCESS, "The attachment was opened for reading only");
  }

 private:
  std::optional<TMimeAttachment> Info() const {
    if (handle_ == 0) return std::nullopt;
    return message_->Model().Attachment(handle_);
  }

  std::vector<TProp> BaseProps() const {
    if (handle_ == 0) {
      return {TProp::Long(PR_ATTACH_NUM, number_), TProp::Long(PR_OBJECT_TYPE, MAPI_ATTACH)};
    }
    const std::optional<TMimeAttachment> info = Info();
    if (!info) return {TProp::Long(PR_ATTACH_NUM, number_), TProp::Long(PR_OBJECT_TYPE, MAPI_ATTACH)};
    return AttachmentProps(number_, *info);
  }

  bool HasStoredData() const {
    const std::optional<TMimeAttachment> info = Info();
    return info && !info->embedded;
  }

  std::unique_ptr<TByteSource> OpenStoredData() const {
    if (!HasStoredData()) return nullptr;
    return message_->Model().OpenData(handle_);
  }

  std::optional<std::string> PendingText(ULONG tag) const {
    auto it = pending_.find(PROP_ID(tag));
    if (it == pending_.end() || !it->second) return std::nullopt;
    return it->second->bytes;
  }
  bool PendingRemoved(ULONG tag) const {
    auto it = pending_.find(PROP_ID(tag));
    return it != pending_.end() && !it->second;
  }

  void Commit() {
    std::optional<TMimeAttachment> info = Info();
    Require(handle_ == 0 || info.has_value(), MAPI_E_OBJECT_DELETED, "The attachment was deleted meanwhile");
    TAttachmentChange change;
    const std::string old_name = info ? info->file_name : std::string();
    std::string name = PendingText(PR_ATTACH_LONG_FILENAME).value_or(old_name);
    if (name.empty()) name = PendingText(PR_ATTACH_FILENAME).value_or("");
    if (name.empty()) name = PendingText(PR_DISPLAY_NAME).value_or("");
    if (name.empty() && !(info && info->embedded)) {
      char fallback[32];
      std::snprintf(fallback, sizeof fallback, "ATT%05u.dat", static_cast<unsigned>(number_ + 1));
      name = fallback;
    }
    if (name != old_name && !name.empty()) change.file_name = name;
    if (auto mime = PendingText(PR_ATTACH_MIME_TAG)) change.mime_type = *mime;
    // The short name and the display name are kept only where they differ
    // from the file name; otherwise the file name stands for them.
    for (ULONG tag : {PR_ATTACH_FILENAME, PR_DISPLAY_NAME}) {
      if (auto text = PendingText(tag)) {
        if (*text == name) {
          change.stored[PROP_ID(tag)] = std::nullopt;
        } else {
          change.stored[PROP_ID(tag)] = TProp::Bytes(tag, *text);
        }
      } else if (PendingRemoved(tag)) {
        change.stored[PROP_ID(tag)] = std::nullopt;
      }
    }
    for (const auto& [id, value] : pending_) {
      switch (id) {
        case PROP_ID(PR_ATTACH_LONG_FILENAME):
        case PROP_ID(PR_ATTACH_FILENAME):
        case PROP_ID(PR_DISPLAY_NAME):
        case PROP_ID(PR_ATTACH_MIME_TAG):
        case PROP_ID(PR_ATTACH_METHOD):
          break;
        default:
          change.stored[id] = value;
          break;
      }
    }
    if (data_) change.data = data_;
    if (handle_ == 0) {
      handle_ = message_->Model().AddAttachment(change);
      message_->Adopt(number_, handle_);
    } else {
      message_->Model().ChangeAttachment(handle_, change);
      message_->Changed();
    }
    pending_.clear();
    changed_ = false;
  }

  TComRef<TMessage> message_;
  ULONG number_;
  int handle_;
  bool writable_;
  std::map<ULONG, std::optional<TProp>> pending_;  // by property id; nullopt: deleted
  std::shared_ptr<TScratchFile> data_;
  bool changed_ = false;
};

HRESULT TMessage::OpenAttach(ULONG ulAttachmentNum, LPCIID lpInterface, ULONG ulFlags, LPATTACH* lppAttach) {
  return Guarded(error_, [&] {
    Require(lppAttach != nullptr, MAPI_E_INVALID_PARAMETER, "Missing out-parameter");
    *lppAttach = nullptr;
    Require(lpInterface == nullptr || IsEqualGUID(*lpInterface, IID_IAttachment) ||
                IsEqualGUID(*lpInterface, IID_IMAPIProp),
            MAPI_E_INTERFACE_NOT_SUPPORTED, "Attachments offer IAttach");
    std::lock_guard lock(mutex_);
    auto it = handles_.find(ulAttachmentNum);
    Require(it != handles_.end() && model_->Attachment(it->second).has_value(), MAPI_E_NOT_FOUND,
            "No such attachment");
    const bool wants_write = (ulFlags & MAPI_MODIFY) != 0;
    Require(!wants_write || modify_, MAPI_E_NO_ACCESS, "The message was opened for reading only");
    const bool writable = modify_ && (ulFlags & (MAPI_MODIFY | MAPI_BEST_ACCESS)) != 0;
    *lppAttach = new TAttach(this, ulAttachmentNum, it->second, writable);
    return S_OK;
  });
}

HRESULT TMessage::CreateAttach(LPCIID lpInterface, ULONG ulFlags, ULONG* lpulAttachmentNum, LPATTACH* lppAttach) {
  return Guarded(error_, [&] {
    Require(lppAttach != nullptr && lpulAttachmentNum != nullptr, MAPI_E_INVALID_PARAMETER, "Missing out-parameters");
    *lppAttach = nullptr;
    Require(lpInterface == nullptr || IsEqualGUID(*lpInterface, IID_IAttachment), MAPI_E_INTERFACE_NOT_SUPPORTED,
            "Attachments offer IAttach");
    std::lock_guard lock(mutex_);
    Require(modify_, MAPI_E_NO_ACCESS, "The message was opened for reading only");
    const ULONG number = next_number_++;
    *lpulAttachmentNum = number;
    *lppAttach = new TAttach(this, number, 0, true);
    return S_OK;
  });
}

}  // namespace

IMessage* OpenMessageObject(std::shared_ptr<TStoreCore> core, const std::string& folder, const std::string& unique,
                            bool modify) {
  // A flag change by another program may move the file between the look
  // and the open: look again then.
  for (int attempt = 0;; ++attempt) {
    const std::optional<TMessageFile> file = core->Maildir().Find(folder, unique);
    Require(file.has_value(), MAPI_E_NOT_FOUND, "No such message");
    std::shared_ptr<TReadFile> read;
    try {
      read = core->Maildir().Files().OpenRead(file->path);
    } catch (const EMapiError& error) {
      if (error.Code() == MAPI_E_NOT_FOUND && attempt < 4) continue;
      throw;
    }
    return new TMessage(std::move(core), folder, *file, std::move(read), modify);
  }
}

IMessage* NewMessageObject(std::shared_ptr<TStoreCore> core, const std::string& folder) {
  return new TMessage(std::move(core), folder);
}

}  // namespace corvid::mapi
