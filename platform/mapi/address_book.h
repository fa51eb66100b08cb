// The address book: the contacts of the profile's vCard file, offered to
// IAddrBook::Address, which shows them through the address picker.
//
// The picker is the user interface's business: the process installs one
// (SetAddressPicker; a program that loads the stand-in library at run time
// calls its export CorvidMapiSetAddressPicker). Tests install a
// TScriptedAddressPicker. Without a picker every Address call answers as if
// the user cancelled, so a program without a user gets a defined answer.
//
// vCard (2.1, 3.0, 4.0): FN (else N) is the display name; every EMAIL line
// is an SMTP address, every TEL line of type FAX a FAX address; a parameter
// X-ADDRTYPE=TYPE on either gives another address type, as written.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/mapi/mapi_types.h"

namespace corvid::mapi {

struct TAddressEntry {
  std::string display_name;
  std::string addr_type;
  std::string email;
  bool operator==(const TAddressEntry&) const = default;
};

// What the caller of Address asked the dialog to show.
struct TAddressDialog {
  std::string caption;
  std::string wells_title;
  std::vector<std::string> well_titles;  // one per destination field
  ULONG flags = 0;
};

class TAddressPicker {
 public:
  virtual ~TAddressPicker() = default;
  // Shows the entries modally; the indices picked, in the order picked, or
  // nullopt when the user cancelled. Called on the thread that called
  // Address.
  virtual std::optional<std::vector<size_t>> Pick(const TAddressDialog& dialog,
                                                  const std::vector<TAddressEntry>& entries) = 0;
};

// Answers with the picks it was given, in order, one per call (cancel when
// none is left), and keeps the dialogs it was shown.
class TScriptedAddressPicker : public TAddressPicker {
 public:
  void AddAnswer(std::optional<std::vector<size_t>> answer);
  std::vector<TAddressDialog> Dialogs() const;
  std::optional<std::vector<size_t>> Pick(const TAddressDialog& dialog,
                                          const std::vector<TAddressEntry>& entries) override;

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<bool, std::vector<size_t>>> answers_;  // (cancel, picks)
  std::vector<TAddressDialog> dialogs_;
};

// The picker of the process; null removes it.
void SetAddressPicker(std::shared_ptr<TAddressPicker> picker);
std::shared_ptr<TAddressPicker> CurrentAddressPicker();

// The address entries of a vCard text, in file order.
std::vector<TAddressEntry> ReadVCards(const std::string& text);

}  // namespace corvid::mapi

// The same as SetAddressPicker for a program that loads the library at run
// time; the picker stays the caller's and must outlive its use (null
// removes it).
extern "C" void CorvidMapiSetAddressPicker(corvid::mapi::TAddressPicker* picker);
