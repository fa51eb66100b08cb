// The masks of the skipped-files list ("Compression\SkipFiles"), shared by
// the outgoing pipeline, which matches them, and the compression dialog,
// which shows and stores them.
#pragma once

#include <string>

namespace corvid::settings {

// A bare extension becomes a mask: "ZIP" and ".ZIP" give "*.ZIP". Text
// holding "*" or "?", the empty text, and anything else ("ARCHIVE", "a.b",
// names longer than 4 characters without a dot) come back unchanged, the
// latter matching only that exact name.
std::string NormalizeFileMask(const std::string& text);

}  // namespace corvid::settings
