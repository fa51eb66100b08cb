// The recipient picker behind the compression dialog's "Add from AB..."
// buttons, over the profile's address book, and the one-line text prompt
// behind its "Add..." buttons.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/mapi/mapi_interfaces.h"

namespace corvid::ui {

class TAddrBook {
 public:
  // Holds a reference on `session` (may be null) while it lives.
  explicit TAddrBook(mapi::IMAPISession* session);
  ~TAddrBook();
  TAddrBook(const TAddrBook&) = delete;
  TAddrBook& operator=(const TAddrBook&) = delete;

  mapi::IMAPISession* Session() const { return session_; }

  // Fills `list` with one entry text per picked recipient, in the order
  // picked: "Name <address>" for SMTP recipients, the display name alone
  // for the others; recipients without a display name are skipped. No
  // session, no address book, or a cancelled or failed pick: empty.
  void PickRecipients(win::HWND owner, const std::string& well_title, std::vector<std::string>& list);

  // Frees the address list the address book returned; the extension sets
  // it to MAPI's FreePadrlist when MAPI is bound. Unset: the list is left.
  static std::function<void(mapi::LPADRLIST)> FreeAdrList;

 private:
  mapi::IMAPISession* session_;
};

// The longest text InputPrompt accepts, in characters.
inline constexpr size_t kMaxPromptChars = 255;

// Asks for one line of text showing `value`. OK: `value` becomes the typed
// text (at most kMaxPromptChars characters; may be empty) and the result is
// true. Cancel: `value` stays and the result is false.
bool InputPrompt(const std::string& title, const std::string& prompt, std::string& value);

}  // namespace corvid::ui
