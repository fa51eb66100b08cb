#include "compress/recipient_rules.h"

#include "platform/mapi/mapi_procedures.h"
#include "settings/catalogue.h"
#include "zip/text.h"

namespace corvid::compress {

using namespace mapi;

namespace {

void UpperInPlace(std::u32string& text) {
  for (char32_t& c : text) c = zip::UpperChar(c);
}

bool SameAsciiNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto fold = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

std::string_view Trim(std::string_view text) {
  auto blank = [](char c) { return static_cast<unsigned char>(c) <= 32; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

bool SameOrWild(char32_t text_char, char32_t mask_char) { return mask_char == U'?' || mask_char == text_char; }

// A column of the recipient table as text; an error value (the property
// is missing) and anything not a string count as empty.
std::string ColumnText(const SRow& row, ULONG column) {
  if (row.lpProps == nullptr || column >= row.cValues) return {};
  const SPropValue& value = row.lpProps[column];
  if (PROP_TYPE(value.ulPropTag) != PT_STRING8 || value.Value.lpszA == nullptr) return {};
  return value.Value.lpszA;
}

// Gives back what the recipient walk holds, whichever way it leaves.
class TRecipientRows {
 public:
  explicit TRecipientRows(const TMapiProcedures& procedures) : procedures_(procedures) {}
  ~TRecipientRows() {
    procedures_.FreeProws(rows_);
    if (table_ != nullptr) table_->Release();
  }
  TRecipientRows(const TRecipientRows&) = delete;
  TRecipientRows& operator=(const TRecipientRows&) = delete;

  bool Read(IMessage* message) {
    if (FAILED(message->GetRecipientTable(0, &table_)) || table_ == nullptr) return false;
    SizedSPropTagArray<3> columns = {3, {PR_ADDRTYPE, PR_DISPLAY_NAME, PR_EMAIL_ADDRESS}};
    return SUCCEEDED(procedures_.HrQueryAllRows(table_, columns.get(), nullptr, nullptr, 0, &rows_)) &&
           rows_ != nullptr;
  }
  ULONG Count() const { return rows_->cRows; }
  const SRow& Row(ULONG i) const { return rows_->aRow[i]; }

 private:
  const TMapiProcedures& procedures_;
  IMAPITable* table_ = nullptr;
  LPSRowSet rows_ = nullptr;
};

}  // namespace

std::vector<std::string> SplitListText(std::string_view text) {
  std::vector<std::string> items;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') continue;
    items.emplace_back(text.substr(start, i - start));
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) items.emplace_back(text.substr(start));
  return items;
}

TRecipientEntry SplitRecipientEntry(std::string_view entry) {
  const std::string_view trimmed = Trim(entry);
  static constexpr char kPairs[][2] = {{'<', '>'}, {'[', ']'}, {'{', '}'}};
  for (const auto& pair : kPairs) {
    const size_t open = trimmed.rfind(pair[0]);
    if (open == std::string_view::npos) continue;
    const std::string_view after = Trim(trimmed.substr(open + 1));
    const size_t close = after.rfind(pair[1]);
    if (close == std::string_view::npos) continue;
    return {std::string(Trim(trimmed.substr(0, open))), std::string(Trim(after.substr(0, close)))};
  }
  return {std::string(), std::string(trimmed)};
}

bool RecipientMatchesEntry(std::string_view display_name, std::string_view email_address, std::string_view entry) {
  const TRecipientEntry parts = SplitRecipientEntry(entry);
  if (!parts.address.empty()) {
    if (!parts.name.empty()) return MatchMask(email_address, parts.address, true);
    return MatchMask(email_address, parts.address, true) || MatchMask(display_name, parts.address, true);
  }
  if (!parts.name.empty()) return MatchMask(display_name, parts.name, true);
  return false;
}

bool MatchMask(std::string_view text_utf8, std::string_view mask_utf8, bool ignore_case) {
  if (mask_utf8 == text_utf8) return true;
  std::u32string mask = zip::Utf8ToCodePoints(mask_utf8);
  for (size_t at; (at = mask.find(U"**")) != std::u32string::npos;) mask.erase(at, 1);
  if (mask == U"*") return true;
  std::u32string text = zip::Utf8ToCodePoints(text_utf8);
  if (ignore_case) {
    UpperInPlace(text);
    UpperInPlace(mask);
  }
  if (mask.empty() || text.empty()) return false;

  size_t i = 0;  // in text
  size_t j = 0;  // in mask
  while (i < text.size() && j < mask.size()) {
    // An equal character first, so a "*" in the text is taken literally.
    if (SameOrWild(text[i], mask[j])) {
      ++i;
      ++j;
      continue;
    }
    if (mask[j] != U'*') return false;
    const std::u32string_view rest = std::u32string_view(mask).substr(j + 1);
    const size_t star = rest.find(U'*');
    if (star != std::u32string_view::npos) {
      // The segment up to the next "*": its first occurrence from i on.
      const std::u32string_view segment = rest.substr(0, star);
      j += segment.size() + 1;
      size_t found = std::u32string::npos;
      for (size_t at = i; found == std::u32string::npos && at + segment.size() <= text.size(); ++at) {
        size_t k = 0;
        while (k < segment.size() && SameOrWild(text[at + k], segment[k])) ++k;
        if (k == segment.size()) found = at;
      }
      if (found == std::u32string::npos) return false;
      i = found + segment.size();
      continue;
    }
    // The last segment: anchored at the end of the text only.
    if (rest.empty()) return true;
    if (rest.size() > text.size()) return false;
    const size_t tail = text.size() - rest.size();
    for (size_t k = 0; k < rest.size(); ++k) {
      if (!SameOrWild(text[tail + k], rest[k])) return false;
    }
    return true;
  }
  if (i < text.size()) return false;
  if (j < mask.size() && mask.back() != U'*') return false;
  return true;
}

bool RecipientsAllowCompression(IMessage* message, settings::TOptionsContainer& options) {
  const std::vector<std::string> skip_address_types = SplitListText(settings::Read(options, settings::kSkipAddressTypes));
  const std::vector<std::string> skip_recipients = SplitListText(settings::Read(options, settings::kSkipRecipients));
  const std::vector<std::string> only_send_to = SplitListText(settings::Read(options, settings::kOnlySendTo));
  const bool use_skip_address_types = settings::Read(options, settings::kUseSkipAddressTypes);
  const bool use_skip_recipients = settings::Read(options, settings::kUseSkipRecipients);
  const bool use_only_send_to = settings::Read(options, settings::kUseOnlySendTo);
  if (!use_skip_address_types && !use_skip_recipients && !use_only_send_to) return true;

  // Without the procedures the check is not made, and nothing objects.
  const TMapiProcedures& procedures = Mapi();
  if (message == nullptr || !procedures.Bound({"HrQueryAllRows", "FreeProws"})) return true;
  TRecipientRows rows(procedures);
  if (!rows.Read(message)) return true;

  bool result = true;
  for (ULONG r = 0; result && r < rows.Count(); ++r) {
    const SRow& row = rows.Row(r);
    const std::string addr_type = ColumnText(row, 0);
    const std::string display_name = ColumnText(row, 1);
    const std::string email_address = ColumnText(row, 2);
    if (use_skip_address_types) {
      for (const std::string& type : skip_address_types) {
        if (SameAsciiNoCase(addr_type, type)) {
          result = false;
          break;
        }
      }
    }
    if (!result) break;
    if (use_only_send_to) {
      // One accepting entry is enough: the list names every recipient that
      // may get compressed mail. An empty list restricts nobody.
      if (!only_send_to.empty()) {
        result = false;
        for (const std::string& entry : only_send_to) {
          if (RecipientMatchesEntry(display_name, email_address, entry)) {
            result = true;
            break;
          }
        }
      }
    } else if (use_skip_recipients) {
      for (const std::string& entry : skip_recipients) {
        if (RecipientMatchesEntry(display_name, email_address, entry)) {
          result = false;
          break;
        }
      }
    }
  }
  return result;
}

}  // namespace corvid::compress
