// corvid-mapi: looks into the message store of the machine root's profile
// (CORVID_HOME) as the extension sees it through MAPI, and delivers mail
// into it as a delivery agent does.
//
//   corvid-mapi stores [--json]
//   corvid-mapi ls [--json] [FOLDER]         messages of FOLDER (INBOX)
//   corvid-mapi show [--json] ENTRYID        recipient and attachment tables
//   corvid-mapi save ENTRYID DIR             attachments' data into DIR
//   corvid-mapi deliver [FOLDER] < MESSAGE   a new message, printed entry id
//
// Exit status: 0 done, 1 failed (the message says what and what was kept),
// 2 wrong use.
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "base/posix_io.h"
#include "base/version.h"
#include "platform/mapi/entry_id.h"
#include "platform/mapi/maildir.h"
#include "platform/mapi/mapi32.h"
#include "platform/mapi/mapi_error.h"
#include "platform/mapi/profile.h"
#include "platform/mapi/prop_value.h"

namespace {

using namespace corvid::mapi;

class TFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

void Check(HRESULT result, const std::string& what) {
  if (FAILED(result)) throw TFailure(what + ": " + ResultName(result));
}

template <typename T>
struct TReleaser {
  T* p = nullptr;
  ~TReleaser() {
    if (p) p->Release();
  }
};

struct TRows {
  LPSRowSet rows = nullptr;
  ~TRows() { FreeProws(rows); }
};

std::string Json(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

// A column as the store answered it.
struct TCell {
  std::optional<std::string> text;
  std::optional<long long> number;
  std::optional<HRESULT> error;
};

TCell CellOf(const SPropValue& value) {
  TCell cell;
  switch (PROP_TYPE(value.ulPropTag)) {
    case PT_ERROR:
      cell.error = value.Value.err;
      break;
    case PT_STRING8:
      cell.text = value.Value.lpszA != nullptr ? value.Value.lpszA : "";
      break;
    case PT_BINARY:
      cell.text = HexOf(std::string(reinterpret_cast<const char*>(value.Value.bin.lpb), value.Value.bin.cb));
      break;
    case PT_LONG:
      cell.number = value.Value.l;
      break;
    case PT_BOOLEAN:
      cell.number = value.Value.b != 0 ? 1 : 0;
      break;
    default:
      cell.error = MAPI_E_INVALID_TYPE;
  }
  return cell;
}

std::string CellText(const TCell& cell) {
  if (cell.error) return "(" + ResultName(*cell.error) + ")";
  if (cell.number) return std::to_string(*cell.number);
  return *cell.text;
}

std::string CellJson(const TCell& cell) {
  if (cell.error) return "{\"error\": " + Json(ResultName(*cell.error)) + "}";
  if (cell.number) return std::to_string(*cell.number);
  return Json(*cell.text);
}

// A session on the machine root's profile for the life of the object.
class TSessionHolder {
 public:
  TSessionHolder() {
    Check(MAPIInitialize(nullptr), "Cannot start MAPI");
    const HRESULT result = MAPILogonEx(0, nullptr, nullptr, MAPI_EXTENDED | MAPI_NO_MAIL, &session_);
    if (FAILED(result)) {
      MAPIUninitialize();
      throw TFailure("Cannot open the mail profile: " + ResultName(result));
    }
  }
  ~TSessionHolder() {
    session_->Release();
    MAPIUninitialize();
  }
  IMAPISession* operator->() const { return session_; }
  IMAPISession* get() const { return session_; }

 private:
  IMAPISession* session_ = nullptr;
};

std::string EntryOfDefaultStore(IMAPISession* session) {
  TReleaser<IMAPITable> table;
  Check(session->GetMsgStoresTable(0, &table.p), "Cannot list the message stores");
  SizedSPropTagArray<2> columns = {2, {PR_ENTRYID, PR_DEFAULT_STORE}};
  TRows rows;
  Check(HrQueryAllRows(table.p, columns.get(), nullptr, nullptr, 0, &rows.rows), "Cannot list the message stores");
  for (ULONG i = 0; i < rows.rows->cRows; ++i) {
    const SPropValue* values = rows.rows->aRow[i].lpProps;
    if (PROP_TYPE(values[1].ulPropTag) == PT_BOOLEAN && values[1].Value.b != 0) {
      return std::string(reinterpret_cast<const char*>(values[0].Value.bin.lpb), values[0].Value.bin.cb);
    }
  }
  throw TFailure("The profile has no default message store");
}

IMsgStore* OpenDefaultStore(IMAPISession* session) {
  std::string entry = EntryOfDefaultStore(session);
  IMsgStore* store = nullptr;
  Check(session->OpenMsgStore(0, static_cast<ULONG>(entry.size()), reinterpret_cast<LPENTRYID>(entry.data()), nullptr,
                              MDB_WRITE, &store),
        "Cannot open the default message store");
  return store;
}

IMAPIFolder* OpenFolderByName(IMsgStore* store, const std::string& name) {
  TReleaser<IUnknown> root;
  ULONG type = 0;
  Check(store->OpenEntry(0, nullptr, &IID_IMAPIFolder, 0, &type, &root.p), "Cannot open the store's folders");
  TReleaser<IMAPITable> table;
  Check(static_cast<IMAPIFolder*>(root.p)->GetHierarchyTable(0, &table.p), "Cannot list the folders");
  SizedSPropTagArray<2> columns = {2, {PR_ENTRYID, PR_DISPLAY_NAME}};
  TRows rows;
  Check(HrQueryAllRows(table.p, columns.get(), nullptr, nullptr, 0, &rows.rows), "Cannot list the folders");
  const std::string wanted = strcasecmp(name.c_str(), "INBOX") == 0 ? "Inbox" : name;
  for (ULONG i = 0; i < rows.rows->cRows; ++i) {
    const SPropValue* values = rows.rows->aRow[i].lpProps;
    if (PROP_TYPE(values[1].ulPropTag) != PT_STRING8 || strcasecmp(values[1].Value.lpszA, wanted.c_str()) != 0) {
      continue;
    }
    IUnknown* folder = nullptr;
    Check(store->OpenEntry(values[0].Value.bin.cb, reinterpret_cast<LPENTRYID>(values[0].Value.bin.lpb),
                           &IID_IMAPIFolder, 0, &type, &folder),
          "Cannot open the folder " + name);
    return static_cast<IMAPIFolder*>(folder);
  }
  throw TFailure("No folder named " + name);
}

IMessage* OpenMessage(IMAPISession* session, const std::string& hex, ULONG flags) {
  const std::optional<std::string> entry = BytesFromHex(hex);
  if (!entry || entry->empty()) throw TFailure("Not an entry identifier: " + hex);
  IUnknown* object = nullptr;
  ULONG type = 0;
  std::string bytes = *entry;
  Check(session->OpenEntry(static_cast<ULONG>(bytes.size()), reinterpret_cast<LPENTRYID>(bytes.data()),
                           &IID_IMessage, flags, &type, &object),
        "Cannot open the message");
  return static_cast<IMessage*>(object);
}

// The rows of a message's table with the given columns.
std::vector<std::vector<TCell>> TableOf(IMAPITable* table, std::vector<ULONG> tags) {
  std::vector<ULONG> buffer(tags.size() + 1);
  buffer[0] = static_cast<ULONG>(tags.size());
  std::copy(tags.begin(), tags.end(), buffer.begin() + 1);
  TRows rows;
  Check(HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(buffer.data()), nullptr, nullptr, 0, &rows.rows),
        "Cannot read a table");
  std::vector<std::vector<TCell>> out;
  for (ULONG i = 0; i < rows.rows->cRows; ++i) {
    std::vector<TCell> row;
    for (ULONG c = 0; c < rows.rows->aRow[i].cValues; ++c) row.push_back(CellOf(rows.rows->aRow[i].lpProps[c]));
    out.push_back(std::move(row));
  }
  return out;
}

std::string FlagLetters(long long flags) {
  std::string letters;
  letters += (flags & MSGFLAG_READ) != 0 ? 'R' : '-';
  letters += (flags & MSGFLAG_UNSENT) != 0 ? 'U' : '-';
  letters += (flags & MSGFLAG_HASATTACH) != 0 ? 'A' : '-';
  return letters;
}

int Stores(bool json) {
  TSessionHolder session;  // makes the default profile on a fresh machine root
  const TProfile profile = LoadProfile();
  if (json) std::cout << "[";
  bool first = true;
  for (const TStoreConfig& store : profile.stores) {
    const std::string entry = HexOf(EncodeEntryId(EntryIdOf(store.uid, TEntryKind::Store)));
    if (json) {
      std::cout << (first ? "" : ",") << "\n  {\"name\": " << Json(store.display_name)
                << ", \"default\": " << (store.is_default ? "true" : "false") << ", \"maildir\": " << Json(store.path)
                << ", \"entryid\": " << Json(entry) << "}";
    } else {
      std::cout << store.display_name << (store.is_default ? " (default)" : "") << ": " << store.path << "\n";
    }
    first = false;
  }
  if (json) std::cout << "\n]\n";
  return 0;
}

int List(bool json, const std::string& folder_name) {
  TSessionHolder session;
  TReleaser<IMsgStore> store{OpenDefaultStore(session.get())};
  TReleaser<IMAPIFolder> folder{OpenFolderByName(store.p, folder_name)};
  TReleaser<IMAPITable> table;
  Check(folder.p->GetContentsTable(0, &table.p), "Cannot list the folder");
  const auto rows = TableOf(table.p, {PR_ENTRYID, PR_MESSAGE_FLAGS, PR_MESSAGE_CLASS, PR_SUBJECT});
  if (json) std::cout << "[";
  bool first = true;
  for (const auto& row : rows) {
    // The number of attachments as the message's own table counts them.
    long long attachments = -1;
    if (row[0].text) {
      TReleaser<IMessage> message;
      try {
        message.p = OpenMessage(session.get(), *row[0].text, 0);
        TReleaser<IMAPITable> attach_table;
        ULONG count = 0;
        if (SUCCEEDED(message.p->GetAttachmentTable(0, &attach_table.p)) &&
            SUCCEEDED(attach_table.p->GetRowCount(0, &count))) {
          attachments = count;
        }
      } catch (const TFailure&) {
        // Listed with -1: it went away or cannot be opened.
      }
    }
    const long long flags = row[1].number.value_or(0);
    if (json) {
      std::cout << (first ? "" : ",") << "\n  {\"entryid\": " << CellJson(row[0]) << ", \"flags\": " << flags
                << ", \"read\": " << ((flags & MSGFLAG_READ) ? "true" : "false")
                << ", \"class\": " << CellJson(row[2]) << ", \"subject\": " << CellJson(row[3])
                << ", \"attachments\": " << attachments << "}";
    } else {
      std::cout << CellText(row[0]) << "  " << FlagLetters(flags) << "  " << CellText(row[2]) << "  " << attachments
                << "  " << (row[3].text ? *row[3].text : std::string()) << "\n";
    }
    first = false;
  }
  if (json) std::cout << "\n]\n";
  return 0;
}

int Show(bool json, const std::string& entry) {
  TSessionHolder session;
  TReleaser<IMessage> message{OpenMessage(session.get(), entry, 0)};
  SizedSPropTagArray<3> tags = {3, {PR_SUBJECT, PR_MESSAGE_CLASS, PR_MESSAGE_FLAGS}};
  ULONG count = 0;
  LPSPropValue values = nullptr;
  Check(message.p->GetProps(tags.get(), 0, &count, &values), "Cannot read the message");
  const TCell subject = CellOf(values[0]);
  const TCell message_class = CellOf(values[1]);
  const TCell flags = CellOf(values[2]);
  MAPIFreeBuffer(values);

  TReleaser<IMAPITable> recipients;
  Check(message.p->GetRecipientTable(0, &recipients.p), "Cannot read the recipients");
  const auto recipient_rows =
      TableOf(recipients.p, {PR_RECIPIENT_TYPE, PR_DISPLAY_NAME, PR_ADDRTYPE, PR_EMAIL_ADDRESS});
  TReleaser<IMAPITable> attachments;
  Check(message.p->GetAttachmentTable(0, &attachments.p), "Cannot read the attachments");
  const auto attachment_rows = TableOf(attachments.p, {PR_ATTACH_NUM, PR_ATTACH_METHOD, PR_ATTACH_LONG_FILENAME,
                                                       PR_ATTACH_FILENAME, PR_DISPLAY_NAME});
  static const char* const kRecipientColumns[] = {"type", "display_name", "addrtype", "email"};
  static const char* const kAttachmentColumns[] = {"num", "method", "long_filename", "filename", "display_name"};
  if (json) {
    std::cout << "{\n  \"subject\": " << CellJson(subject) << ",\n  \"class\": " << CellJson(message_class)
              << ",\n  \"flags\": " << CellJson(flags) << ",\n  \"recipients\": [";
    for (size_t i = 0; i < recipient_rows.size(); ++i) {
      std::cout << (i ? "," : "") << "\n    {";
      for (size_t c = 0; c < 4; ++c) {
        std::cout << (c ? ", " : "") << Json(kRecipientColumns[c]) << ": " << CellJson(recipient_rows[i][c]);
      }
      std::cout << "}";
    }
    std::cout << "\n  ],\n  \"attachments\": [";
    for (size_t i = 0; i < attachment_rows.size(); ++i) {
      std::cout << (i ? "," : "") << "\n    {";
      for (size_t c = 0; c < 5; ++c) {
        std::cout << (c ? ", " : "") << Json(kAttachmentColumns[c]) << ": " << CellJson(attachment_rows[i][c]);
      }
      std::cout << "}";
    }
    std::cout << "\n  ]\n}\n";
    return 0;
  }
  std::cout << "Subject: " << CellText(subject) << "\nClass:   " << CellText(message_class)
            << "\nFlags:   " << FlagLetters(flags.number.value_or(0)) << "\n\nRecipients:\n";
  static const char* const kTypes[] = {"From", "To", "Cc", "Bcc"};
  for (const auto& row : recipient_rows) {
    const long long type = row[0].number.value_or(-1);
    std::cout << "  " << (type >= 0 && type <= 3 ? kTypes[type] : "?") << "  " << CellText(row[1]) << "  "
              << CellText(row[2]) << ":" << CellText(row[3]) << "\n";
  }
  std::cout << "\nAttachments (number, method, long file name, file name, display name):\n";
  for (const auto& row : attachment_rows) {
    std::cout << "  ";
    for (size_t c = 0; c < row.size(); ++c) std::cout << (c ? "  " : "") << CellText(row[c]);
    std::cout << "\n";
  }
  return 0;
}

// A name that is safe as one file name in any folder: no folders, no
// control characters, nothing the other systems refuse, not "." or "..".
std::string SafeFileName(const std::string& name) {
  std::string base = name;
  const size_t separator = base.find_last_of("/\\");
  if (separator != std::string::npos) base = base.substr(separator + 1);
  std::string out;
  for (unsigned char c : base) {
    if (c < 0x20 || c == 0x7F) continue;
    out += std::strchr(":*?\"<>|", c) != nullptr && c != 0 ? '_' : static_cast<char>(c);
  }
  while (!out.empty() && (out.front() == ' ' || out.front() == '.')) out.erase(out.begin());
  while (!out.empty() && (out.back() == ' ' || out.back() == '.')) out.pop_back();
  constexpr size_t kMaxBytes = 200;
  if (out.size() > kMaxBytes) {
    const size_t dot = out.rfind('.');
    std::string extension = dot != std::string::npos && out.size() - dot <= 16 ? out.substr(dot) : "";
    size_t keep = kMaxBytes - extension.size();
    while (keep > 0 && (static_cast<unsigned char>(out[keep]) & 0xC0) == 0x80) --keep;  // whole characters
    out = out.substr(0, keep) + extension;
  }
  return out.empty() ? "attachment" : out;
}

int Save(const std::string& entry, const std::string& target) {
  TSessionHolder session;
  TReleaser<IMessage> message{OpenMessage(session.get(), entry, 0)};
  TReleaser<IMAPITable> table;
  Check(message.p->GetAttachmentTable(0, &table.p), "Cannot read the attachments");
  const auto rows = TableOf(table.p, {PR_ATTACH_NUM, PR_ATTACH_METHOD, PR_ATTACH_LONG_FILENAME, PR_ATTACH_FILENAME,
                                      PR_DISPLAY_NAME});
  std::error_code error;
  std::filesystem::create_directories(target, error);
  if (error) throw TFailure("Cannot make " + target + ": " + error.message());
  int failures = 0;
  for (const auto& row : rows) {
    if (row[1].number.value_or(0) != ATTACH_BY_VALUE) continue;
    std::string name;
    for (size_t c = 2; c <= 4 && name.empty(); ++c) {
      if (row[c].text) name = *row[c].text;
    }
    const std::string safe = SafeFileName(name);
    // A name already taken gets a number, so nothing is overwritten.
    std::string path;
    int fd = -1;
    for (int n = 1; fd < 0 && n < 1000; ++n) {
      std::string candidate = safe;
      if (n > 1) {
        const size_t dot = safe.rfind('.');
        candidate = dot != std::string::npos && dot > 0
                        ? safe.substr(0, dot) + " (" + std::to_string(n) + ")" + safe.substr(dot)
                        : safe + " (" + std::to_string(n) + ")";
      }
      path = (std::filesystem::path(target) / candidate).string();
      fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
      std::cerr << "corvid-mapi: cannot write " << path << ": " << std::strerror(errno) << "\n";
      ++failures;
      continue;
    }
    bool ok = true;
    std::string problem;
    TReleaser<IAttach> attach;
    TReleaser<IUnknown> stream;
    HRESULT result = message.p->OpenAttach(static_cast<ULONG>(row[0].number.value_or(0)), nullptr, 0, &attach.p);
    if (SUCCEEDED(result)) result = attach.p->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, 0, &stream.p);
    std::vector<char> buffer(64 * 1024);
    while (ok && SUCCEEDED(result)) {
      ULONG got = 0;
      result = static_cast<IStream*>(stream.p)->Read(buffer.data(), static_cast<ULONG>(buffer.size()), &got);
      if (FAILED(result) || got == 0) break;
      for (ULONG done = 0; done < got;) {
        const ssize_t put = ::write(fd, buffer.data() + done, got - done);
        if (put < 0) {
          ok = false;
          problem = std::strerror(errno);
          break;
        }
        done += static_cast<ULONG>(put);
      }
    }
    if (FAILED(result)) {
      ok = false;
      problem = ResultName(result);
    }
    ::close(fd);
    if (!ok) {
      std::cerr << "corvid-mapi: cannot save the attachment \"" << name << "\": " << problem
                << "; the message is unchanged and the incomplete file was removed\n";
      ::unlink(path.c_str());
      ++failures;
      continue;
    }
    std::cout << path << "\n";
  }
  return failures == 0 ? 0 : 1;
}

int Deliver(const std::string& folder_name) {
  const TProfile profile = LoadProfile();
  const TStoreConfig* store = nullptr;
  for (const TStoreConfig& candidate : profile.stores) {
    if (candidate.is_default) store = &candidate;
  }
  if (store == nullptr) throw TFailure("The profile has no default message store");
  TMaildir maildir(CurrentMailFiles(), store->path);
  std::string folder;
  if (!folder_name.empty() && strcasecmp(folder_name.c_str(), "INBOX") != 0) {
    folder = folder_name;
    bool found = false;
    for (const std::string& existing : maildir.Folders()) {
      if (strcasecmp(existing.c_str(), folder_name.c_str()) == 0) {
        folder = existing;
        found = true;
      }
    }
    if (!found) throw TFailure("No folder named " + folder_name);
  }
  const std::string unique = maildir.Deliver(folder, [](TWriteFile& out) {
    std::vector<char> buffer(64 * 1024);
    for (;;) {
      const ssize_t got = corvid::io::ReadSome(STDIN_FILENO, buffer.data(), buffer.size());
      if (got < 0) ThrowErrno(errno, "Cannot read the message from standard input");
      if (got == 0) break;
      out.Append(buffer.data(), static_cast<size_t>(got));
    }
  });
  TEntryId id = EntryIdOf(store->uid, TEntryKind::Message);
  id.folder = folder;
  id.unique = unique;
  std::cout << HexOf(EncodeEntryId(id)) << "\n";
  return 0;
}

int Usage(std::ostream& out = std::cerr, int status = 2) {
  out << "usage: corvid-mapi stores [--json]\n"
         "       corvid-mapi ls [--json] [FOLDER]\n"
         "       corvid-mapi show [--json] ENTRYID\n"
         "       corvid-mapi save ENTRYID DIR\n"
         "       corvid-mapi deliver [FOLDER] < MESSAGE\n";
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Usage();
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) return Usage(std::cout, 0);
  if (args.size() == 1 && args[0] == "--version") {
    std::cout << "corvid-mapi " << corvid::kVersion << "\n";
    return 0;
  }
  const std::string command = args[0];
  args.erase(args.begin());
  bool json = false;
  std::vector<std::string> rest;
  for (const std::string& arg : args) {
    if (arg == "--json") {
      json = true;
    } else {
      rest.push_back(arg);
    }
  }
  try {
    if (command == "stores" && rest.empty()) return Stores(json);
    if (command == "ls" && rest.size() <= 1) return List(json, rest.empty() ? "INBOX" : rest[0]);
    if (command == "show" && rest.size() == 1) return Show(json, rest[0]);
    if (command == "save" && rest.size() == 2 && !json) return Save(rest[0], rest[1]);
    if (command == "deliver" && rest.size() <= 1 && !json) return Deliver(rest.empty() ? "" : rest[0]);
    return Usage();
  } catch (const std::exception& error) {
    std::cerr << "corvid-mapi: " << error.what() << "\n";
    return 1;
  }
}
