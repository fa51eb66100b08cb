#include "compress/attachments.h"

#include <cstring>

#include "compress/attachment_stream.h"

namespace corvid::compress {

using namespace mapi;

namespace {

constexpr size_t kCopyBufferBytes = 64 * 1024;

}  // namespace

const SPropValue* Column(const SRow& row, ULONG tag) {
  for (ULONG i = 0; i < row.cValues; ++i) {
    const SPropValue& value = row.lpProps[i];
    if (PROP_ID(value.ulPropTag) == PROP_ID(tag) && PROP_TYPE(value.ulPropTag) != PT_ERROR) return &value;
  }
  return nullptr;
}

std::optional<std::string> TextColumn(const SRow& row, ULONG tag) {
  const SPropValue* value = Column(row, tag);
  if (value == nullptr || PROP_TYPE(value->ulPropTag) != PT_STRING8 || value->Value.lpszA == nullptr) {
    return std::nullopt;
  }
  return std::string(value->Value.lpszA);
}

std::optional<std::string> AttachmentName(const SRow& row) {
  std::optional<std::string> name = TextColumn(row, PR_ATTACH_LONG_FILENAME);
  if (!name) name = TextColumn(row, PR_ATTACH_FILENAME);
  if (!name) name = TextColumn(row, PR_DISPLAY_NAME);
  return name;
}

std::string UpperExtension(const std::string& name) {
  const size_t dot = name.rfind('.');
  const size_t separator = name.find_last_of("\\/:");
  if (dot == std::string::npos || (separator != std::string::npos && dot < separator)) return {};
  std::string extension = name.substr(dot);
  for (char& c : extension) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return extension;
}

std::optional<std::string> TextProperty(IMAPIProp* object, ULONG tag) {
  LPSPropValue raw = nullptr;
  if (FAILED(Mapi().HrGetOneProp(object, tag, &raw)) || raw == nullptr) return std::nullopt;
  std::unique_ptr<void, TBufferFree> value(raw);
  if (PROP_TYPE(raw->ulPropTag) != PT_STRING8 || raw->Value.lpszA == nullptr) return std::nullopt;
  return std::string(raw->Value.lpszA);
}

TRows ReadAttachmentTable(IMessage* message) {
  LPMAPITABLE raw_table = nullptr;
  if (FAILED(message->GetAttachmentTable(0, &raw_table)) || raw_table == nullptr) return nullptr;
  TRef<IMAPITable> table(raw_table);
  constexpr ULONG kCount = std::size(kAttachmentColumns);
  SizedSPropTagArray<kCount> columns{};
  columns.cValues = kCount;
  for (ULONG i = 0; i < kCount; ++i) columns.aulPropTag[i] = kAttachmentColumns[i];
  LPSRowSet raw_rows = nullptr;
  if (FAILED(Mapi().HrQueryAllRows(table.get(), columns.get(), nullptr, nullptr, 0, &raw_rows))) return nullptr;
  return TRows(raw_rows);
}

TRef<IStream> OpenAttachmentData(IMessage* message, ULONG number) {
  LPATTACH raw_attach = nullptr;
  if (FAILED(message->OpenAttach(number, &IID_IAttachment, 0, &raw_attach)) || raw_attach == nullptr) return nullptr;
  TRef<IAttach> attach(raw_attach);
  LPUNKNOWN raw_stream = nullptr;
  if (FAILED(attach->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, 0, &raw_stream)) || raw_stream == nullptr) {
    return nullptr;
  }
  // The stream keeps what it needs of the attachment alive.
  return TRef<IStream>(static_cast<IStream*>(raw_stream));
}

bool AttachStream(IMessage* message, const std::string& name, zip::TStream& data, std::vector<ULONG>& created) {
  try {
    ULONG number = 0;
    LPATTACH raw_attach = nullptr;
    if (FAILED(message->CreateAttach(nullptr, 0, &number, &raw_attach)) || raw_attach == nullptr) return false;
    TRef<IAttach> attach(raw_attach);
    created.push_back(number);

    void* raw_block = nullptr;
    if (FAILED(Mapi().MAPIAllocateBuffer(static_cast<ULONG>(4 * sizeof(SPropValue)), &raw_block)) ||
        raw_block == nullptr) {
      return false;
    }
    std::unique_ptr<void, TBufferFree> block(raw_block);
    std::memset(raw_block, 0, 4 * sizeof(SPropValue));
    auto* props = static_cast<SPropValue*>(raw_block);
    props[0].ulPropTag = PR_ATTACH_METHOD;
    props[0].Value.l = ATTACH_BY_VALUE;
    props[1].ulPropTag = PR_ATTACH_LONG_FILENAME;
    props[1].Value.lpszA = const_cast<char*>(name.c_str());
    props[2].ulPropTag = PR_ATTACH_FILENAME;
    props[2].Value.lpszA = const_cast<char*>(name.c_str());
    props[3].ulPropTag = kTagRenderingPosition;
    props[3].Value.l = -1;
    if (FAILED(attach->SetProps(4, props, nullptr))) return false;
    block.reset();

    LPUNKNOWN raw_stream = nullptr;
    if (FAILED(attach->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, MAPI_CREATE | MAPI_MODIFY, &raw_stream)) ||
        raw_stream == nullptr) {
      return false;
    }
    TRef<IStream> stream(static_cast<IStream*>(raw_stream));
    const int64_t expected = data.Size();
    data.Seek(0, zip::soFromBeginning);
    std::vector<uint8_t> buffer(kCopyBufferBytes);
    int64_t copied = 0;
    TAttachmentStream out(stream.get());
    for (;;) {
      const int64_t got = data.Read(buffer.data(), static_cast<int64_t>(buffer.size()));
      if (got <= 0) break;
      if (out.Write(buffer.data(), got) != got) return false;
      copied += got;
    }
    // An incomplete attachment is not saved, so it never joins the message.
    if (copied != expected || FAILED(stream->Commit(STGC_OVERWRITE))) return false;
    stream.reset();
    return SUCCEEDED(attach->SaveChanges(KEEP_OPEN_READWRITE));
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace corvid::compress
