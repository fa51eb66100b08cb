// The incoming pipeline: unpacks the ZIP attachments of one message (also a
// self-extracting ".exe" and a ".jar"), puts the files on the message as
// ordinary attachments, and removes each archive whose files all arrived.
// The new-mail handler, the start-up inbox scan and the batch worker all
// run it.
//
// What it promises beyond the settings it follows:
// - Nothing is lost. An archive leaves the message only after every file
//   taken from it is a complete attachment (bytes counted, committed,
//   saved), and the message is saved in one step: a failure anywhere leaves
//   the archive, or the whole message, as it was.
// - An entry that does not extract completely (an unknown method, a CRC
//   error, a cut archive) never becomes an attachment, and its archive
//   stays. So does an archive that had to be repaired to be read, one that
//   would need more disk space than there is, and one without files.
// - An attachment with an archive's extension that is not a readable
//   archive (a plain program named setup.exe) stays as it is; the other
//   archives of the message are still unpacked.
// - A message in which nothing changed is not written again.
#pragma once

#include <string>
#include <vector>

#include "platform/mapi/mapi_interfaces.h"
#include "settings/options_container.h"

namespace corvid::decompress {

// What became of one archive attachment.
struct TArchiveOutcome {
  std::string name;
  bool unpacked = false;  // removed; its files are attachments now
  int files = 0;          // files attached from it
  std::string kept_why;   // why it stays, when it stays
};

// What one call did, for the diagnostic log.
struct TDecompressOutcome {
  std::string subject;
  std::vector<TArchiveOutcome> archives;
  bool saved = false;
  std::string failure;  // what ended the call early, if anything did
};

// Runs the pipeline on `message` (open for writing; null does nothing) with
// the "Decompression\..." settings of `settings`, each read with its default
// (created when missing), and adds to the "Statistics\..." counters.
// MAPI32.DLL's procedures are reached through mapi::Mapi(); when one it
// needs is unbound, nothing is done. May ask for a password (ui/prompts.h).
// Never throws.
TDecompressOutcome DecompressMessage(mapi::IMessage* message, settings::TOptionsContainer& settings);

// "unpacked a.zip (2 files); kept b.zip (encrypted entries)"; "no archives"
// when the message had none.
std::string Describe(const TDecompressOutcome& outcome);

// Writes the outcome to the diagnostic log as one line naming the folder
// and the subject.
void LogOutcome(const std::string& folder, const TDecompressOutcome& outcome);

// The attachment name of entry `full_name` (folders separated by "\"):
// with `restore_path` every "\" and "/" becomes "_", else the part after
// the last "\" or ":" is taken. Control characters become "_", so no name
// taken from an archive can reach a terminal or a header raw.
std::string AttachmentNameOf(const std::string& full_name, bool restore_path);

}  // namespace corvid::decompress
