// IStream over attachment data. Internal to platform/mapi.
//
// - The decoded stream reads an attachment as stored in the message,
//   decoding as it goes; what was decoded waits in a scratch file, so the
//   caller may seek back (the ZIP reader does) or ask the size (Stat
//   decodes to the end once) without the data ever being in memory.
// - The scratch stream reads and writes a scratch file: the data of an
//   attachment being written, which the message takes when saved.
#pragma once

#include <memory>

#include "platform/mapi/mail_files.h"
#include "platform/mapi/mapi_interfaces.h"
#include "platform/mapi/mime_message.h"

namespace corvid::mapi {

// One reference each.
IStream* NewDecodedStream(std::unique_ptr<TByteSource> source);
IStream* NewScratchStream(std::shared_ptr<TScratchFile> file, bool writable);

// Copies all of `source` into a new scratch file.
std::shared_ptr<TScratchFile> SpoolToScratch(TByteSource& source);

}  // namespace corvid::mapi
