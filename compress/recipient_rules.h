// Whether the recipients of an outgoing message may receive compressed
// attachments, and the two text functions the rules rest on: the wildcard
// matcher of the extension (file masks use it too) and the parser of a
// recipient-list entry ("mask", or "Display Name <address mask>").
//
// Text is UTF-8; positions, "?" and case folding work on code points.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/mapi/mapi_interfaces.h"
#include "settings/options_container.h"

namespace corvid::compress {

// True when compression may go ahead for every recipient of `message` (To,
// Cc and Bcc alike) under the rules of "Compression\..." in `settings`:
// address types that block; then either the only recipients allowed (each
// recipient must match one entry; an empty list restricts nobody; the
// skip list is not looked at) or the recipients that block. The six
// settings are read on every call (created with their
// defaults when missing). Every MAPI failure, an unbound HrQueryAllRows or
// FreeProws (see mapi_procedures.h) and a null message answer true: a
// recipient table that cannot be read has no blocking recipient. Runs on the
// caller's thread; exceptions (only std::bad_alloc) are the caller's.
bool RecipientsAllowCompression(mapi::IMessage* message, settings::TOptionsContainer& settings);

// Whether a recipient matches one entry of a recipient list: an entry with a
// name and an address matches by the address only; a name alone matches the
// display name; a bare mask matches the address or else the display name;
// an entry with neither matches nothing. Masks ignore case.
bool RecipientMatchesEntry(std::string_view display_name, std::string_view email_address, std::string_view entry);

struct TRecipientEntry {
  std::string name;
  std::string address;
};

// Takes an entry apart at the last "<", then "[", then "{" that has its
// closing bracket after it: "Jane Roe <jroe@x.org>" gives "Jane Roe" and
// "jroe@x.org". Without such a pair the name is empty and the address is the
// whole entry. Every part is trimmed of characters up to the blank.
TRecipientEntry SplitRecipientEntry(std::string_view entry);

// The extension's wildcard match: "*" is any run of characters (also none),
// "?" exactly one. An exact (case-sensitive) match always succeeds, so an
// empty mask matches only the empty text. With `ignore_case` both sides are
// upper-cased first (simple Unicode case mapping). Two long-standing
// leniencies are kept, since stored masks may count on them: the last
// segment after a "*" is anchored at the end of the text without checking
// that it overlaps nothing already matched (AB*BC matches ABC), and a mask
// ending in "*" accepts a text that ran out before the mask did (AB?*
// matches AB).
bool MatchMask(std::string_view text, std::string_view mask, bool ignore_case);

// The items of a list setting: split at CR LF, CR or LF; a final line break
// adds no empty item; items are not trimmed.
std::vector<std::string> SplitListText(std::string_view text);

}  // namespace corvid::compress
