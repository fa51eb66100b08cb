// The address book's vCard reading on hostile files: folded lines, quoted-
// printable and escaped values, parameters in every spelling, cards that
// never end. Every entry it gives must be usable as a recipient: an address,
// an address type and a name to show.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/mapi/address_book.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::vector<corvid::mapi::TAddressEntry> entries = corvid::mapi::ReadVCards(text);
  for (const corvid::mapi::TAddressEntry& entry : entries) {
    if (entry.email.empty() || entry.display_name.empty()) __builtin_trap();
  }
  // Reading is a function of the text alone.
  if (corvid::mapi::ReadVCards(text) != entries) __builtin_trap();
  return 0;
}
