// What both mail pipelines do with attachments: own MAPI references and
// buffers, read the attachment table's columns, name an attachment, and add
// a new attachment whose data is copied in from a stream and checked.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/mapi/mapi_procedures.h"
#include "platform/mapi/mapi_interfaces.h"
#include "zip/stream.h"

namespace corvid::compress {

// Releases a COM reference when it goes.
template <typename T>
struct TReleaser {
  void operator()(T* object) const {
    if (object != nullptr) object->Release();
  }
};
template <typename T>
using TRef = std::unique_ptr<T, TReleaser<T>>;

struct TRowsFree {
  void operator()(mapi::SRowSet* rows) const { mapi::Mapi().FreeProws(rows); }
};
struct TBufferFree {
  void operator()(void* buffer) const { mapi::Mapi().MAPIFreeBuffer(buffer); }
};
using TRows = std::unique_ptr<mapi::SRowSet, TRowsFree>;

// The columns both pipelines read from an attachment table, in this order.
inline constexpr mapi::ULONG kAttachmentColumns[] = {mapi::PR_ATTACH_NUM, mapi::PR_ATTACH_METHOD,
                                                     mapi::PR_ATTACH_LONG_FILENAME, mapi::PR_ATTACH_FILENAME,
                                                     mapi::PR_DISPLAY_NAME};

// The row's value of `tag` (any type but PT_ERROR), or null.
const mapi::SPropValue* Column(const mapi::SRow& row, mapi::ULONG tag);
// The row's text value of `tag`, or none.
std::optional<std::string> TextColumn(const mapi::SRow& row, mapi::ULONG tag);
// An attachment's name: long file name, else file name, else display name.
std::optional<std::string> AttachmentName(const mapi::SRow& row);

// The name's extension from its last dot, in ASCII upper case (".ZIP");
// empty when no dot follows the last folder separator ("\", "/", ":").
std::string UpperExtension(const std::string& name);

// A text property of `object`, or none when it is missing or not text.
std::optional<std::string> TextProperty(mapi::IMAPIProp* object, mapi::ULONG tag);

// Reads every row of `message`'s attachment table with kAttachmentColumns;
// null when the table cannot be opened or read.
TRows ReadAttachmentTable(mapi::IMessage* message);

// Opens the data of attachment `number` for reading; null on failure.
TRef<mapi::IStream> OpenAttachmentData(mapi::IMessage* message, mapi::ULONG number);

// Makes a new attachment by value named `name` (long file name and file
// name), with the long property every attachment made here carries, and
// copies `data` into it from its start. True only when every step succeeded
// and every byte of `data` went in and was committed and saved. The number
// of the attachment is added to `created` as soon as it exists, so a caller
// can take back every one that joined the message. Never throws.
bool AttachStream(mapi::IMessage* message, const std::string& name, zip::TStream& data,
                  std::vector<mapi::ULONG>& created);

// The tag of the long property every new attachment receives, set to -1, as
// attachments made by this extension have always carried it.
inline constexpr mapi::ULONG kTagRenderingPosition = 0x03700003;

}  // namespace corvid::compress
