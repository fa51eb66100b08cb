// The message store's MIME layer on hostile mail: parse, read everything it
// offers (envelope, class, recipients, every attachment and its decoded
// data), apply one change, write the message back and parse the result. An
// attachment nobody changed must read back as the same bytes, since a
// message written back keeps every byte of every unchanged part.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/mapi/mapi_error.h"
#include "platform/mapi/memory_mail_files.h"
#include "platform/mapi/mime_message.h"

using namespace corvid::mapi;

namespace {

struct TRead {
  TMimeAttachment info;
  bool readable = false;  // its data decoded to the end without an error
  std::string data;
};

std::vector<TRead> ReadAll(TMimeMessage& message) {
  (void)message.Subject();
  (void)message.MessageClass();
  (void)message.MessageId();
  (void)message.DateUnixSeconds();
  (void)message.Sender();
  (void)message.Recipients();
  (void)message.StoredProps();
  (void)message.NamedProps();
  std::vector<TRead> reads;
  for (const TMimeAttachment& info : message.Attachments()) {
    TRead read;
    read.info = info;
    if (!info.embedded) {
      try {
        auto source = message.OpenData(info.handle);
        char buffer[1024];
        for (;;) {
          const size_t got = source->Read(buffer, sizeof buffer);
          if (got == 0) break;
          if (got > sizeof buffer) __builtin_trap();
          read.data.append(buffer, got);
        }
        read.readable = true;
      } catch (const EMapiError&) {
        // Undecodable data is reported, not a fault.
      }
    }
    reads.push_back(std::move(read));
  }
  return reads;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto files = std::make_shared<TMemoryMailFiles>();
  files->Put("/in", std::string(reinterpret_cast<const char*>(data), size));
  auto message = TMimeMessage::Parse(files->OpenRead("/in"));
  const std::vector<TRead> before = ReadAll(*message);

  // One change, picked by the input so that every kind gets its turn.
  int changed = 0;  // handle whose data was replaced, 0 for none
  if (!before.empty() && (size % 2) == 1) {
    const TRead& target = before[size % before.size()];
    if (!target.info.embedded) {
      files->Put("/new", "new data\r\n");
      TAttachmentChange change;
      change.data = files->OpenRead("/new");
      message->ChangeAttachment(target.info.handle, change);
      changed = target.info.handle;
    }
  }
  if (changed == 0) message->SetSubject("Re: fuzz \xC3\xA9t\xC3\xA9");

  {
    auto out = files->Create("/out");
    message->WriteTo(*out);
    out->Close();
  }
  auto again = TMimeMessage::Parse(files->OpenRead("/out"));
  const std::vector<TRead> after = ReadAll(*again);
  if (changed == 0 && again->Subject() != "Re: fuzz \xC3\xA9t\xC3\xA9") __builtin_trap();

  // Handles follow document order, so the same tree gives the same list.
  if (after.size() != before.size()) return 0;
  for (size_t i = 0; i < before.size(); ++i) {
    const TRead& old_read = before[i];
    const TRead& new_read = after[i];
    if (old_read.info.handle == changed) {
      if (!new_read.readable || new_read.data != "new data\r\n") __builtin_trap();
      continue;
    }
    if (old_read.info.embedded != new_read.info.embedded) return 0;
    if (old_read.readable && new_read.readable && old_read.data != new_read.data) __builtin_trap();
  }
  return 0;
}
