#include "platform/mapi/address_book.h"

#include <glib.h>
#include <strings.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/mapi/entry_id.h"
#include "platform/mapi/mapi32.h"
#include "platform/mapi/mapi_object.h"
#include "platform/mapi/store_core.h"

namespace corvid::mapi {
namespace {

std::mutex& PickerMutex() {
  static std::mutex mutex;
  return mutex;
}
std::shared_ptr<TAddressPicker>& PickerSlot() {
  static std::shared_ptr<TAddressPicker> picker;
  return picker;
}

std::string UnescapeValue(const std::string& value) {
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && i + 1 < value.size()) {
      const char next = value[++i];
      out += (next == 'n' || next == 'N') ? '\n' : next;
    } else {
      out += value[i];
    }
  }
  return out;
}

std::string DecodeQuotedPrintable(const std::string& value) {
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '=' && i + 2 < value.size() && std::isxdigit(static_cast<unsigned char>(value[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(value[i + 2]))) {
      out += static_cast<char>(std::stoi(value.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += value[i];
    }
  }
  return out;
}

// A value in the character set its line declares, as UTF-8: every text of
// the system is UTF-8. A set nobody knows, or bytes not in it, stay as they
// are rather than lose the name.
std::string ToUtf8(const std::string& text, const std::string& charset) {
  if (charset.empty() || strcasecmp(charset.c_str(), "UTF-8") == 0) return text;
  gsize written = 0;
  gchar* converted = g_convert(text.data(), static_cast<gssize>(text.size()), "UTF-8", charset.c_str(), nullptr,
                               &written, nullptr);
  if (converted == nullptr) return text;
  std::string out(converted, written);
  g_free(converted);
  return out;
}

std::string Trimmed(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(begin, end - begin);
}

struct TLine {
  std::string name;  // upper case, without group
  std::vector<std::pair<std::string, std::string>> params;  // upper-case names
  std::string value;

  std::optional<std::string> Param(const char* wanted) const {
    for (const auto& [name_, value_] : params) {
      if (name_ == wanted) return value_;
    }
    return std::nullopt;
  }
  bool HasType(const char* type) const {
    for (const auto& [name_, value_] : params) {
      // "TYPE=work,fax", "TYPE=FAX" and vCard 2.1's bare "FAX".
      std::string values = name_ == "TYPE" ? value_ : (value_.empty() ? name_ : std::string());
      std::stringstream parts(values);
      std::string part;
      while (std::getline(parts, part, ',')) {
        if (strcasecmp(Trimmed(part).c_str(), type) == 0) return true;
      }
    }
    return false;
  }
};

std::optional<TLine> ParseLine(const std::string& raw) {
  // The colon that ends the name and parameters is the first one outside
  // quotes.
  size_t colon = std::string::npos;
  bool quoted = false;
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '"') quoted = !quoted;
    if (raw[i] == ':' && !quoted) {
      colon = i;
      break;
    }
  }
  if (colon == std::string::npos) return std::nullopt;
  TLine line;
  std::vector<std::string> pieces;
  std::string piece;
  quoted = false;
  for (size_t i = 0; i < colon; ++i) {
    if (raw[i] == '"') quoted = !quoted;
    if (raw[i] == ';' && !quoted) {
      pieces.push_back(piece);
      piece.clear();
    } else {
      piece += raw[i];
    }
  }
  pieces.push_back(piece);
  std::string name = pieces[0];
  const size_t dot = name.find('.');
  if (dot != std::string::npos) name = name.substr(dot + 1);
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  line.name = name;
  for (size_t i = 1; i < pieces.size(); ++i) {
    std::string key = pieces[i];
    std::string value;
    const size_t equals = key.find('=');
    if (equals != std::string::npos) {
      value = key.substr(equals + 1);
      key = key.substr(0, equals);
    }
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    line.params.emplace_back(Trimmed(key), value);
  }
  line.value = raw.substr(colon + 1);
  const std::optional<std::string> encoding = line.Param("ENCODING");
  if ((encoding && strcasecmp(encoding->c_str(), "QUOTED-PRINTABLE") == 0) || line.HasType("QUOTED-PRINTABLE")) {
    line.value = DecodeQuotedPrintable(line.value);
  }
  line.value = ToUtf8(line.value, line.Param("CHARSET").value_or(""));
  return line;
}

// Unfolds the text into logical lines (RFC 6350; vCard 2.1's
// quoted-printable soft breaks too).
std::vector<std::string> LogicalLines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream in(text);
  std::string raw;
  bool soft_break = false;
  while (std::getline(in, raw)) {
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();
    if (soft_break && !lines.empty()) {
      lines.back().pop_back();  // the '='
      lines.back() += raw;
    } else if (!raw.empty() && (raw[0] == ' ' || raw[0] == '\t') && !lines.empty()) {
      lines.back() += raw.substr(1);
    } else {
      lines.push_back(raw);
    }
    const std::string& last = lines.back();
    soft_break = !last.empty() && last.back() == '=' && strcasestr(last.c_str(), "QUOTED-PRINTABLE") != nullptr;
  }
  return lines;
}

class TAddrBook : public TPropObject<IAddrBook> {
 public:
  explicit TAddrBook(std::string vcard_file) : vcard_file_(std::move(vcard_file)) {}

  HRESULT QueryInterface(REFIID riid, void** ppvObject) override {
    return QueryAs(riid, ppvObject, {IID_IAddrBook, IID_IMAPIProp});
  }

  HRESULT OpenEntry(ULONG, LPENTRYID, LPCIID, ULONG, ULONG*, LPUNKNOWN*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT CompareEntryIDs(ULONG, LPENTRYID, ULONG, LPENTRYID, ULONG, ULONG*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT Advise(ULONG, LPENTRYID, ULONG, LPMAPIADVISESINK, ULONG*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT Unadvise(ULONG) override { return MAPI_E_NO_SUPPORT; }
  HRESULT CreateOneOff(LPTSTR, LPTSTR, LPTSTR, ULONG, ULONG*, LPENTRYID*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT NewEntry(ULONG_PTR, ULONG, ULONG, LPENTRYID, ULONG, LPENTRYID, ULONG*, LPENTRYID*) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT ResolveName(ULONG_PTR, ULONG, LPTSTR, LPADRLIST) override { return MAPI_E_NO_SUPPORT; }
  HRESULT Address(ULONG_PTR* lpulUIParam, LPADRPARM lpAdrParms, LPADRLIST* lppAdrList) override {
    return Guarded(error_, [&] {
      Require(lpAdrParms != nullptr && lppAdrList != nullptr, MAPI_E_INVALID_PARAMETER, "Missing parameters");
      Require((lpAdrParms->ulFlags & MAPI_UNICODE) == 0, MAPI_E_BAD_CHARWIDTH, "Texts are 8-bit here");
      TAddressDialog dialog;
      dialog.flags = lpAdrParms->ulFlags;
      if (lpAdrParms->lpszCaption) dialog.caption = lpAdrParms->lpszCaption;
      if (lpAdrParms->lpszDestWellsTitle) dialog.wells_title = lpAdrParms->lpszDestWellsTitle;
      for (ULONG i = 0; i < lpAdrParms->cDestFields && lpAdrParms->lppszDestTitles != nullptr; ++i) {
        const char* title = lpAdrParms->lppszDestTitles[i];
        dialog.well_titles.emplace_back(title != nullptr ? title : "");
      }
      const std::vector<TAddressEntry> entries = Entries();
      std::shared_ptr<TAddressPicker> picker = CurrentAddressPicker();
      std::optional<std::vector<size_t>> picked;
      if (picker) picked = picker->Pick(dialog, entries);
      if (!picked) {
        error_.Set("The user cancelled the address book");
        return MAPI_E_USER_CANCEL;
      }
      for (size_t index : *picked) Require(index < entries.size(), MAPI_E_CALL_FAILED, "The picker answered nonsense");

      auto* list = static_cast<LPADRLIST>(AllocateBuffer(CbNewADRLIST(static_cast<ULONG>(picked->size()))));
      list->cEntries = 0;
      try {
        for (size_t index : *picked) {
          const TAddressEntry& entry = entries[index];
          TEntryId one_off = EntryIdOf(GUID{}, TEntryKind::OneOff);
          one_off.display_name = entry.display_name;
          one_off.addr_type = entry.addr_type;
          one_off.email = entry.email;
          ADRENTRY& out = list->aEntries[list->cEntries];
          out.ulReserved1 = 0;
          out.rgPropVals = NewPropArray(
              {TProp::Bytes(PR_DISPLAY_NAME, entry.display_name), TProp::Bytes(PR_ADDRTYPE, entry.addr_type),
               TProp::Bytes(PR_EMAIL_ADDRESS, entry.email), TProp::Long(PR_RECIPIENT_TYPE, MAPI_TO),
               TProp::Bytes(PR_ENTRYID, EncodeEntryId(one_off))},
              &out.cValues);
          ++list->cEntries;
        }
      } catch (...) {
        FreePadrlist(list);
        throw;
      }
      // The list the caller had is replaced, as MAPI does.
      if (*lppAdrList != nullptr) FreePadrlist(*lppAdrList);
      *lppAdrList = list;
      return S_OK;
    });
  }
  HRESULT Details(ULONG_PTR*, LPFNDISMISS, LPVOID, ULONG, LPENTRYID, LPFNABSDI, LPVOID, LPTSTR, ULONG) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT RecipOptions(ULONG_PTR, ULONG, LPADRENTRY) override { return MAPI_E_NO_SUPPORT; }
  HRESULT QueryDefaultRecipOpt(LPTSTR, ULONG, ULONG*, LPSPropValue*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT GetPAB(ULONG*, LPENTRYID*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT SetPAB(ULONG, LPENTRYID) override { return MAPI_E_NO_SUPPORT; }
  HRESULT GetDefaultDir(ULONG*, LPENTRYID*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT SetDefaultDir(ULONG, LPENTRYID) override { return MAPI_E_NO_SUPPORT; }
  HRESULT GetSearchPath(ULONG, LPSRowSet*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT SetSearchPath(ULONG, LPSRowSet) override { return MAPI_E_NO_SUPPORT; }
  HRESULT PrepareRecips(ULONG, LPSPropTagArray, LPADRLIST) override { return MAPI_E_NO_SUPPORT; }

 protected:
  std::vector<ULONG> PropTags() override { return {PR_OBJECT_TYPE, PR_DISPLAY_NAME}; }
  std::optional<TProp> GetProp(ULONG tag) override {
    if (PROP_ID(tag) == PROP_ID(PR_OBJECT_TYPE)) return TProp::Long(PR_OBJECT_TYPE, MAPI_ADDRBOOK);
    if (PROP_ID(tag) == PROP_ID(PR_DISPLAY_NAME)) return TProp::Bytes(PR_DISPLAY_NAME, "Contacts");
    return std::nullopt;
  }

 private:
  std::vector<TAddressEntry> Entries() const {
    std::ifstream in(vcard_file_, std::ios::binary);
    if (!in) return {};  // no contacts yet
    std::stringstream text;
    text << in.rdbuf();
    return ReadVCards(text.str());
  }

  std::string vcard_file_;
};

}  // namespace

void TScriptedAddressPicker::AddAnswer(std::optional<std::vector<size_t>> answer) {
  std::lock_guard lock(mutex_);
  answers_.emplace_back(!answer.has_value(), answer.value_or(std::vector<size_t>{}));
}

std::vector<TAddressDialog> TScriptedAddressPicker::Dialogs() const {
  std::lock_guard lock(mutex_);
  return dialogs_;
}

std::optional<std::vector<size_t>> TScriptedAddressPicker::Pick(const TAddressDialog& dialog,
                                                                const std::vector<TAddressEntry>& entries) {
  std::lock_guard lock(mutex_);
  dialogs_.push_back(dialog);
  if (answers_.empty()) return std::nullopt;
  const auto [cancel, picks] = answers_.front();
  answers_.erase(answers_.begin());
  if (cancel) return std::nullopt;
  return picks;
}

void SetAddressPicker(std::shared_ptr<TAddressPicker> picker) {
  std::lock_guard lock(PickerMutex());
  PickerSlot() = std::move(picker);
}

std::shared_ptr<TAddressPicker> CurrentAddressPicker() {
  std::lock_guard lock(PickerMutex());
  return PickerSlot();
}

std::vector<TAddressEntry> ReadVCards(const std::string& text) {
  std::vector<TAddressEntry> entries;
  bool inside = false;
  std::string display_name;
  std::string structured_name;
  std::vector<TAddressEntry> card;
  auto finish = [&] {
    std::string name = Trimmed(display_name.empty() ? structured_name : display_name);
    for (TAddressEntry& entry : card) {
      entry.display_name = name.empty() ? entry.email : name;
      entries.push_back(std::move(entry));
    }
    card.clear();
    display_name.clear();
    structured_name.clear();
  };
  for (const std::string& raw : LogicalLines(text)) {
    const std::optional<TLine> line = ParseLine(raw);
    if (!line) continue;
    if (line->name == "BEGIN" && strcasecmp(Trimmed(line->value).c_str(), "VCARD") == 0) {
      inside = true;
      continue;
    }
    if (!inside) continue;
    if (line->name == "END") {
      finish();
      inside = false;
    } else if (line->name == "FN") {
      display_name = UnescapeValue(line->value);
    } else if (line->name == "N") {
      // Family;Given;Additional;Prefix;Suffix
      std::vector<std::string> parts;
      std::string part;
      for (size_t i = 0; i < line->value.size(); ++i) {
        if (line->value[i] == '\\' && i + 1 < line->value.size()) {
          part += line->value[++i];
        } else if (line->value[i] == ';') {
          parts.push_back(part);
          part.clear();
        } else {
          part += line->value[i];
        }
      }
      parts.push_back(part);
      const std::string family = parts.size() > 0 ? Trimmed(parts[0]) : "";
      const std::string given = parts.size() > 1 ? Trimmed(parts[1]) : "";
      structured_name = Trimmed(given + " " + family);
    } else if (line->name == "EMAIL" || (line->name == "TEL" && line->HasType("FAX"))) {
      std::string address = Trimmed(UnescapeValue(line->value));
      if (line->name == "TEL" && address.rfind("tel:", 0) == 0) address = address.substr(4);
      if (address.empty()) continue;
      TAddressEntry entry;
      entry.addr_type = line->Param("X-ADDRTYPE").value_or(line->name == "EMAIL" ? "SMTP" : "FAX");
      entry.email = address;
      card.push_back(std::move(entry));
    }
  }
  return entries;
}

IAddrBook* NewAddressBook(const std::string& vcard_file) { return new TAddrBook(vcard_file); }

}  // namespace corvid::mapi

extern "C" void CorvidMapiSetAddressPicker(corvid::mapi::TAddressPicker* picker) {
  using corvid::mapi::TAddressPicker;
  corvid::mapi::SetAddressPicker(picker != nullptr ? std::shared_ptr<TAddressPicker>(picker, [](TAddressPicker*) {})
                                                   : nullptr);
}
