// MIME text for tests that write messages as mail programs do.
#pragma once

#include <glib.h>

#include <memory>
#include <string>
#include <string_view>

namespace corvid::test {

// Base64 as a MIME body carries it: lines of 76 characters, each ended by
// `newline`. GLib's encoder (the one GMime builds on), so the tests write
// what the store reads with the same engine's counterpart.
inline std::string Base64Lines(std::string_view data, std::string_view newline = "\n") {
  const std::unique_ptr<gchar, decltype(&g_free)> encoded(
      g_base64_encode(reinterpret_cast<const guchar*>(data.data()), data.size()), &g_free);
  const std::string_view text(encoded.get());
  std::string out;
  for (size_t at = 0; at < text.size(); at += 76) {
    out.append(text.substr(at, 76));
    out.append(newline);
  }
  if (out.empty()) out.append(newline);
  return out;
}

}  // namespace corvid::test
