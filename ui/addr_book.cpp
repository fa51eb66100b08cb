#include "ui/addr_book.h"

#include "ui/input_dialog.h"
#include "ui/presenter.h"

namespace corvid::ui {

std::function<void(mapi::LPADRLIST)> TAddrBook::FreeAdrList;

TAddrBook::TAddrBook(mapi::IMAPISession* session) : session_(session) {
  if (session_) session_->AddRef();
}

TAddrBook::~TAddrBook() {
  if (session_) session_->Release();
}

void TAddrBook::PickRecipients(win::HWND owner, const std::string& well_title, std::vector<std::string>& list) {
  list.clear();
  if (!session_) return;
  mapi::LPADRBOOK book = nullptr;
  if (mapi::FAILED(session_->OpenAddressBook(reinterpret_cast<mapi::ULONG_PTR>(owner), nullptr, 0, &book)) || !book)
    return;
  std::string caption = "Address Book";
  std::string wells = well_title;
  std::string add = "Add";
  char* titles[] = {add.data()};
  mapi::ADRPARM parm{};
  parm.ulFlags = 0x21;  // DIALOG_MODAL | AB_RESOLVE
  parm.lpszCaption = caption.data();
  parm.lpszDestWellsTitle = wells.data();
  parm.cDestFields = 1;
  parm.nDestFieldFocus = 0;
  parm.lppszDestTitles = titles;
  mapi::ULONG_PTR ui_param = reinterpret_cast<mapi::ULONG_PTR>(owner);
  mapi::LPADRLIST picked = nullptr;
  if (mapi::FAILED(book->Address(&ui_param, &parm, &picked))) {
    book->Release();
    return;
  }
  if (picked) {
    for (mapi::ULONG i = 0; i < picked->cEntries; ++i) {
      const mapi::ADRENTRY& entry = picked->aEntries[i];
      std::string name, type, address;
      for (mapi::ULONG v = 0; v < entry.cValues; ++v) {
        const mapi::SPropValue& prop = entry.rgPropVals[v];
        const char* text = prop.Value.lpszA ? prop.Value.lpszA : "";
        if (prop.ulPropTag == mapi::PR_DISPLAY_NAME) name = text;
        if (prop.ulPropTag == mapi::PR_ADDRTYPE) type = text;
        if (prop.ulPropTag == mapi::PR_EMAIL_ADDRESS) address = text;
      }
      if (name.empty()) continue;
      list.push_back(type == "SMTP" ? name + " <" + address + ">" : name);
    }
    if (FreeAdrList) FreeAdrList(picked);
  }
  book->Release();
}

bool InputPrompt(const std::string& title, const std::string& prompt, std::string& value) {
  TInputDialog dialog(false, title, prompt, value);
  if (PresentInput(dialog) != kIdOk) return false;
  value = CutToChars(dialog.Value(), kMaxPromptChars);
  return true;
}

}  // namespace corvid::ui
