// The outgoing pipeline: packs the file attachments of one message into one
// ZIP archive (or one per file), optionally encrypted and self-extracting,
// and replaces them when the archives save enough space. The send events
// call it on the client's UI thread (interactive), the batch worker on its
// own thread (not interactive: it never asks anything).
//
// What it promises beyond the settings it follows:
// - The message changes only when every archive became a complete
//   attachment; then the packed attachments are removed and the message is
//   saved. Any failure on the way leaves the message as it was, unsaved.
// - An attachment is removed only when an archive holds its data. In one
//   archive for all files, a second attachment whose name (without regard
//   to case) is already in the archive stays as it is, unpacked.
// - Archives, self-extracting copies and the extractor stub are written in
//   fresh temporary folders of their own, which are removed on every road.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/mapi/mapi_interfaces.h"
#include "settings/file_mask.h"
#include "settings/options_container.h"

namespace corvid::compress {

// What became of a message's attachments.
enum class TCompressOutcome {
  Packed,      // archives replaced the packed attachments; the message is saved
  Unchanged,  // nothing was packed (the reason is in the log); the message is as it was
  // A password was asked for (Compression\UsePassword) and the attachments
  // are not protected by it: no usable password, or packing failed. The
  // message is as it was and must not be sent.
  Refused,
};

// Runs the pipeline on `message` (open for writing; null does nothing) with
// the "Compression\..." settings of `settings`, reading each with its
// default (created when missing) and adding to the "Statistics\..."
// counters. `interactive` allows the archive-name prompt and the
// confirmation (ui/prompts.h). MAPI32.DLL's procedures are reached through
// Mapi(); when one it needs is unbound, nothing is done. Every decision
// that leaves attachments as they were, and every failure, leaves a line in
// the diagnostic log; the one that decides the outcome is a notice
// (base/log.h). With a password asked for but none stored, an interactive
// call asks for one (AskPassword). Never throws.
TCompressOutcome CompressMessage(mapi::IMessage* message, settings::TOptionsContainer& settings, bool interactive);

// Removes the temporary folders that a killed process left behind (their
// marker is no longer locked); folders in use are left alone.
void SweepAbandonedWorkspaces();

// True when `file_name` matches none of the masks of `skip_list` (the text
// of "Compression\SkipFiles", split by SplitSkipList), each mask passed
// through NormalizeFileMask and matched without regard to case.
bool PassesSkipList(const std::string& file_name, const std::string& skip_list);

// The mask rule lives with the settings: the compression dialog uses it too.
using settings::NormalizeFileMask;

// The items of a skip-list text: separated by commas and by runs of
// characters with codes 1 to 32 (line breaks, blanks, tabs); an item that
// begins with a double quote runs to the closing one, "" inside standing for
// one quote, and may so hold blanks. A zero character ends the text. Empty
// items (",,") are kept; callers ignore them.
std::vector<std::string> SplitSkipList(std::string_view text);

}  // namespace corvid::compress
