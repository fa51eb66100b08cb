#include "client/send.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>

#include "base/log.h"
#include "base/posix_io.h"
#include "client/callback.h"
#include "client/extension_host.h"
#include "client/mail_text.h"
#include "client/main_window.h"
#include "client/mapi_session.h"
#include "platform/mapi/entry_id.h"
#include "platform/mapi/error_text.h"
#include "platform/mapi/maildir.h"
#include "platform/mapi/profile.h"
#include "platform/win/machine.h"

extern char** environ;

namespace corvid::client {
using namespace mapi;

namespace {

// The field that holds the envelope of a message handed over with one. The
// store reads it as the recipients, and it never leaves the machine.
constexpr char kEnvelopeField[] = "X-MAPI-Envelope-To";

// SIGINT and SIGTERM while a message is made: the send stops at the next
// step and removes what it made, so nothing half made stays.
volatile sig_atomic_t g_interrupted = 0;

void NoteInterrupt(int) { g_interrupted = 1; }

class TInterruptGuard {
 public:
  TInterruptGuard() {
    g_interrupted = 0;
    struct sigaction action {};
    action.sa_handler = NoteInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &old_int_);
    sigaction(SIGTERM, &action, &old_term_);
  }
  ~TInterruptGuard() {
    sigaction(SIGINT, &old_int_, nullptr);
    sigaction(SIGTERM, &old_term_, nullptr);
  }
  TInterruptGuard(const TInterruptGuard&) = delete;
  TInterruptGuard& operator=(const TInterruptGuard&) = delete;

 private:
  struct sigaction old_int_ {};
  struct sigaction old_term_ {};
};

// A failure with the exit status it stands for.
class TSendError : public std::runtime_error {
 public:
  TSendError(int status, const std::string& what) : std::runtime_error(what), status_(status) {}
  int Status() const { return status_; }

 private:
  int status_;
};

void Check(HRESULT result, const std::string& what) {
  if (FAILED(result)) throw std::runtime_error(what + ": " + mapi::ErrorText(result));
}

void CheckInterrupt() {
  if (g_interrupted != 0) throw TSendError(kExitFailed, "Interrupted; nothing was sent");
}

struct TAttachmentInfo {
  std::string name;
  std::optional<uint64_t> size;  // none for an embedded message
};

// The name an attachment shows: long file name, else file name, else
// display name.
std::string NameOf(const SPropValue* values, int first, int count) {
  for (int c = first; c < first + count; ++c) {
    if (PROP_TYPE(values[c].ulPropTag) == PT_STRING8 && values[c].Value.lpszA != nullptr &&
        *values[c].Value.lpszA != '\0') {
      return values[c].Value.lpszA;
    }
  }
  return "(no name)";
}

std::vector<TAttachmentInfo> ListAttachments(TMapiSession& session, IMessage* message) {
  TRef<IMAPITable> table;
  Check(message->GetAttachmentTable(0, table.out()), "Cannot read the attachments");
  SizedSPropTagArray<4> columns = {4, {PR_ATTACH_NUM, PR_ATTACH_LONG_FILENAME, PR_ATTACH_FILENAME, PR_DISPLAY_NAME}};
  LPSRowSet rows = nullptr;
  Check(session.QueryAllRows(table.get(), columns.get(), &rows), "Cannot read the attachments");
  std::vector<TAttachmentInfo> out;
  for (ULONG i = 0; i < rows->cRows; ++i) {
    const SPropValue* values = rows->aRow[i].lpProps;
    TAttachmentInfo info;
    info.name = NameOf(values, 1, 3);
    TRef<IAttach> attach;
    TRef<IUnknown> stream;
    STATSTG stat{};
    if (PROP_TYPE(values[0].ulPropTag) == PT_LONG &&
        SUCCEEDED(message->OpenAttach(static_cast<ULONG>(values[0].Value.l), nullptr, 0, attach.out())) &&
        SUCCEEDED(attach->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, 0, stream.out())) &&
        SUCCEEDED(static_cast<IStream*>(stream.get())->Stat(&stat, STATFLAG_NONAME))) {
      info.size = stat.cbSize.QuadPart;
    }
    out.push_back(std::move(info));
  }
  session.FreeRows(rows);
  return out;
}

void PrintAttachments(std::ostream& out, const char* title, const std::vector<TAttachmentInfo>& attachments) {
  out << title << (attachments.empty() ? " none" : "") << "\n";
  for (const TAttachmentInfo& info : attachments) {
    out << "  " << info.name << "  ";
    if (info.size) {
      out << *info.size << " bytes\n";
    } else {
      out << "(no data)\n";
    }
  }
}

// Streams a file into a new attachment by value.
void AddAttachment(IMessage* message, const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw TSendError(kExitFailed, "Cannot read " + path + ": " + std::strerror(errno));
  std::unique_ptr<int, void (*)(int*)> closer(new int(fd), [](int* p) {
    ::close(*p);
    delete p;
  });
  const std::string name = std::filesystem::path(path).filename().string();
  ULONG number = 0;
  TRef<IAttach> attach;
  Check(message->CreateAttach(nullptr, 0, &number, attach.out()), "Cannot add the attachment " + name);
  SPropValue props[3] = {};
  props[0].ulPropTag = PR_ATTACH_METHOD;
  props[0].Value.l = ATTACH_BY_VALUE;
  props[1].ulPropTag = PR_ATTACH_LONG_FILENAME;
  props[1].Value.lpszA = const_cast<char*>(name.c_str());
  props[2].ulPropTag = PR_DISPLAY_NAME;
  props[2].Value.lpszA = const_cast<char*>(name.c_str());
  Check(attach->SetProps(3, props, nullptr), "Cannot name the attachment " + name);
  TRef<IUnknown> unknown;
  Check(attach->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, MAPI_CREATE | MAPI_MODIFY, unknown.out()),
        "Cannot write the attachment " + name);
  auto* stream = static_cast<IStream*>(unknown.get());
  // A file that another program shortens or grows while it is read would
  // leave as a torn prefix: its size is checked at the start and the end.
  struct stat before {};
  if (::fstat(fd, &before) != 0) throw TSendError(kExitFailed, "Cannot read " + path + ": " + std::strerror(errno));
  uint64_t total = 0;
  std::vector<char> buffer(256 * 1024);
  for (;;) {
    // Not retried at once: a Ctrl-C that cuts a slow read (a pipe) short
    // stops the send here.
    const ssize_t got = ::read(fd, buffer.data(), buffer.size());
    CheckInterrupt();
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw TSendError(kExitFailed, "Cannot read " + path + ": " + std::strerror(errno));
    if (got == 0) {
      struct stat after {};
      if (::fstat(fd, &after) != 0 || static_cast<uint64_t>(after.st_size) != total ||
          static_cast<uint64_t>(before.st_size) != total || after.st_mtim.tv_sec != before.st_mtim.tv_sec ||
          after.st_mtim.tv_nsec != before.st_mtim.tv_nsec) {
        throw TSendError(kExitFailed, "The attachment " + path + " changed while it was read (" +
                                          std::to_string(total) + " bytes read, " + std::to_string(before.st_size) +
                                          " at the start); nothing was sent");
      }
      break;
    }
    total += static_cast<uint64_t>(got);
    ULONG written = 0;
    Check(stream->Write(buffer.data(), static_cast<ULONG>(got), &written), "Cannot write the attachment " + name);
    if (written != static_cast<ULONG>(got)) throw std::runtime_error("Cannot write the attachment " + name);
  }
  Check(stream->Commit(0), "Cannot write the attachment " + name);
  unknown.Reset();
  Check(attach->SaveChanges(0), "Cannot add the attachment " + name);
}

// A folder of the Maildir by name, ignoring case.
std::string FolderNamed(const TMaildir& maildir, const std::string& wanted) {
  for (const std::string& folder : maildir.Folders()) {
    if (strcasecmp(folder.c_str(), wanted.c_str()) == 0) return folder;
  }
  throw std::runtime_error("The default store has no folder named " + wanted);
}

// Runs `command` through the shell with the file on standard input and the
// recipients as its arguments ("$@"); its exit status (-1: it could not be
// started).
int RunWithInput(const std::string& command, const std::string& file, const std::vector<std::string>& recipients) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, file.c_str(), O_RDONLY, 0);
  std::vector<const char*> argv = {"/bin/sh", "-c", command.c_str(), "corvid-deliver"};
  for (const std::string& recipient : recipients) argv.push_back(recipient.c_str());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int spawned =
      ::posix_spawn(&pid, "/bin/sh", &actions, nullptr, const_cast<char* const*>(argv.data()), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  if (io::WaitChild(pid, &status) < 0) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

// Whom a stored message goes to: its envelope when it carries one, else
// the addresses of To, Cc and Bcc. `own_envelope` tells when the header
// names someone the envelope does not.
std::vector<std::string> RecipientsOf(TMailFiles& files, const std::string& path, bool* own_envelope) {
  const std::shared_ptr<TReadFile> in = files.OpenRead(path);
  std::string header;
  char buffer[65536];
  uint64_t offset = 0;
  // A header block is small; a megabyte is more than any real one.
  while (header.size() < (1u << 20)) {
    const size_t got = in->ReadAt(offset, buffer, sizeof buffer);
    if (got == 0) break;
    header.append(buffer, got);
    offset += got;
    if (header.find("\n\n") != std::string::npos || header.find("\n\r\n") != std::string::npos) break;
  }
  size_t end = header.find("\n\n");
  if (const size_t crlf = header.find("\n\r\n"); crlf < end) end = crlf;
  if (end != std::string::npos) header.resize(end + 1);
  std::vector<std::string> envelope, listed;
  std::vector<THeaderField> fields;
  std::string stray;
  SplitHeaderFields(header, &fields, &stray);  // a stray line names nobody
  for (const THeaderField& field : fields) {
    const char* name = field.name.c_str();
    if (!strcasecmp(name, kEnvelopeField)) {
      // Written by us, one address per item: also a bare local name ("root").
      const std::string value = FieldValue(field);
      size_t start = 0;
      while (start < value.size()) {
        size_t end = value.find(',', start);
        if (end == std::string::npos) end = value.size();
        std::string item = value.substr(start, end - start);
        item.erase(0, item.find_first_not_of(" \t"));
        item.erase(item.find_last_not_of(" \t") + 1);
        if (!item.empty()) envelope.push_back(item);
        start = end + 1;
      }
      continue;
    }
    std::vector<std::string>* into = nullptr;
    if (!strcasecmp(name, "To") || !strcasecmp(name, "Cc") || !strcasecmp(name, "Bcc")) into = &listed;
    if (into == nullptr) continue;
    for (const std::string& address : AddressesOf(FieldValue(field))) into->push_back(address);
  }
  // A header that names only envelope addresses reads the same to a command
  // that takes the recipients from it.
  *own_envelope = false;
  for (const std::string& address : listed) {
    bool known = false;
    for (const std::string& given : envelope) known = known || strcasecmp(given.c_str(), address.c_str()) == 0;
    *own_envelope = *own_envelope || (!envelope.empty() && !known);
  }
  return envelope.empty() ? listed : envelope;
}

// Whether a shell command uses its arguments.
bool TakesArguments(const std::string& command) {
  for (const char* use : {"$@", "$*", "$1", "${@", "${*", "${1"}) {
    if (command.find(use) != std::string::npos) return true;
  }
  return false;
}

// Copies the message at `path` without the store's own header fields.
void CopyWithoutPrivateHeaders(TMailFiles& files, const std::string& path, TWriteFile& out) {
  const std::shared_ptr<TReadFile> in = files.OpenRead(path);
  TPrivateHeaderFilter filter([&out](const char* data, size_t size) { out.Append(data, size); });
  std::vector<char> buffer(256 * 1024);
  uint64_t offset = 0;
  for (;;) {
    const size_t got = in->ReadAt(offset, buffer.data(), buffer.size());
    if (got == 0) break;
    filter.Write(buffer.data(), got);
    offset += got;
  }
  filter.Finish();
}

// The client from start to exit around one outgoing message.
class TSendRoad {
 public:
  TSendRoad(std::ostream& err, std::string program)
      : err_(err),
        program_(std::move(program)),
        profile_(LoadProfile()),
        host_([this](ULONG context) { return new TClientCallback(context, session_.Session(), window_.Handle()); }) {
    // The extension logs there too; the client's own decisions join it.
    log::SetDefaultFile((win::MachineRoot() / "log" / "corvid.log").string());
    for (const TStoreConfig& store : profile_.stores) {
      if (store.is_default) store_ = store;
    }
    maildir_ = std::make_unique<TMaildir>(CurrentMailFiles(), store_.path);
    // What a killed send left half made goes now.
    try {
      maildir_->RemoveHiddenOfDeadWriters(FolderNamed(*maildir_, "Outbox"));
    } catch (const std::exception& error) {
      log::Line(std::string("could not sweep Outbox: ") + error.what());
    }
    host_.LoadFromRegistry(err);
    TClientWindow::PumpMessages();
    // What the extensions decide to leave as it was is shown once, on
    // standard error, unless the whole log goes there already (-v).
    previous_notices_ = log::SetNoticeHandler([this](const std::string& text) {
      if (!log::StandardError()) err_ << program_ << ": " << text << "\n";
      last_notice_ = text;
    });
  }

  // A message that failed while it was being composed does not stay in
  // Outbox half made.
  ~TSendRoad() {
    log::SetNoticeHandler(std::move(previous_notices_));
    if (unique_.empty() || committed_) return;
    message_.Reset();
    try {
      if (const std::optional<TMessageFile> file = maildir_->Find(outbox_, unique_)) ::unlink(file->path.c_str());
    } catch (const std::exception&) {
      // Left for the user to remove; the error that brought us here is reported.
    }
  }

  // Puts the message that `write` writes into Outbox and opens it.
  void Compose(const std::function<void(TWriteFile&)>& write) {
    outbox_ = FolderNamed(*maildir_, "Outbox");
    // Hidden from every reader until it is whole.
    unique_ = maildir_->DeliverHidden(outbox_, write);
    SetEntryId();
    message_.Reset(session_.OpenMessage(entry_id_, true));
    // A message waiting in Outbox is the user's own and not sent yet.
    SPropValue flags{};
    flags.ulPropTag = PR_MESSAGE_FLAGS;
    flags.Value.l = MSGFLAG_READ | MSGFLAG_UNSENT;
    Check(message_->SetProps(1, &flags, nullptr), "Cannot mark the message unsent");
  }

  void Attach(const std::string& path) { AddAttachment(message_.get(), path); }

  // Takes up a message that waits in Outbox, to send it again. It stays
  // there whatever happens.
  void Adopt(const std::string& unique) {
    outbox_ = FolderNamed(*maildir_, "Outbox");
    unique_ = unique;
    committed_ = true;
    SetEntryId();
    message_.Reset();
  }

  void SetEntryId() {
    TEntryId id = EntryIdOf(store_.uid, TEntryKind::Message);
    id.folder = outbox_;
    id.unique = unique_;
    entry_id_ = EncodeEntryId(id);
  }

  // A whole message becomes visible in Outbox.
  void Reveal() {
    if (unique_.empty() || unique_[0] != '.') return;
    unique_ = maildir_->Reveal(outbox_, unique_);
    SetEntryId();
  }
  bool HasDeliveryCommand() const { return !profile_.send_command.empty(); }
  TMaildir& Maildir() { return *maildir_; }

  // Who the mail is from when the command line does not say, ready for a
  // header.
  std::string Sender() const {
    const std::string sender = DefaultSender(profile_.from);
    std::string why;
    const std::optional<std::string> written = HeaderAddress(sender, &why);
    if (!written) throw TSendError(kExitFailed, "The sender of the profile (From=) is not usable: " + why);
    return *written;
  }

  // Submits, writes and sends; the path of the sent message.
  std::string Send(std::ostream& out, bool report) {
    Submit(out, report);
    return Deliver(out, report);
  }

  // The extensions see the message submitted and written. A message that
  // came through whole loses the draft mark ('D', MSGFLAG_UNSENT): it only
  // waits for delivery now. One stopped on the way keeps it, and `corvid
  // flush` takes it through the extensions again.
  void Submit(std::ostream& out, bool report) {
    last_notice_.clear();
    if (message_.get() == nullptr) message_.Reset(session_.OpenMessage(entry_id_, true));
    if (report) PrintAttachments(out, "Attachments before sending:", ListAttachments(session_, message_.get()));

    TRef<IMsgStore> store(session_.OpenDefaultStore());
    TClientCallback* note = host_.CallbackFor(exchange::EECONTEXT_SENDNOTEMESSAGE);
    note->SetObject(store.get(), message_.get());
    std::vector<exchange::IExchExtMessageEvents*> events;
    for (exchange::IExchExt* extension : host_.Installed(exchange::EECONTEXT_SENDNOTEMESSAGE)) {
      void* found = nullptr;
      if (extension->QueryInterface(exchange::IID_IExchExtMessageEvents, &found) == S_OK && found != nullptr) {
        events.push_back(static_cast<exchange::IExchExtMessageEvents*>(found));
      }
    }
    struct TReleaseEvents {
      std::vector<exchange::IExchExtMessageEvents*>& events;
      TClientCallback* note;
      ~TReleaseEvents() {
        for (auto* e : events) e->Release();
        note->SetObject(nullptr, nullptr);
      }
    } release_events{events, note};

    for (auto* e : events) {
      const HRESULT result = e->OnSubmit(note);
      if (FAILED(result)) {
        // Kept whole in Outbox, so the user can look at it or send it again.
        committed_ = SUCCEEDED(message_->SaveChanges(0));
        message_.Reset();
        if (committed_) Reveal();
        throw TSendError(kExitFailed, "An extension refused to send the message (" + mapi::ErrorText(result) +
                                          "); it stays in Outbox");
      }
      TClientWindow::PumpMessages();
    }
    if (events.empty() && !ListAttachments(session_, message_.get()).empty()) {
      log::Notice("attachments sent as they are: no extension is registered to pack them (register one with: "
                  "rundll32 corvina.dll,Install_RunDLL 1)");
    }
    CheckInterrupt();
    Check(message_->SaveChanges(KEEP_OPEN_READWRITE), "Cannot write the message");
    committed_ = true;
    HRESULT stopped = S_OK;
    for (auto* e : events) {
      const HRESULT result = e->OnWriteComplete(note, 0);
      if (FAILED(result)) stopped = result;
      TClientWindow::PumpMessages();
    }
    for (auto* e : events) e->OnSubmitComplete(note, 0);
    TClientWindow::PumpMessages();
    message_.Reset();
    note->SetObject(nullptr, nullptr);
    Reveal();
    if (FAILED(stopped)) {
      const std::optional<TMessageFile> kept = maildir_->Find(outbox_, unique_);
      throw TSendError(kExitFailed, "An extension stopped the send (" +
                                        (last_notice_.empty() ? mapi::ErrorText(stopped) : last_notice_) +
                                        "); the message stays in Outbox" + (kept ? ": " + kept->path : ""));
    }

    if (report) {
      // What was written, not what an extension may have left unsaved.
      TRef<IMessage> written(session_.OpenMessage(entry_id_, false));
      PrintAttachments(out, "Attachments after:", ListAttachments(session_, written.get()));
    }
    const std::optional<TMessageFile> file = maildir_->Find(outbox_, unique_);
    if (!file) throw std::runtime_error("The message left Outbox before it was sent");
    std::string flags = file->flags;
    flags.erase(std::remove(flags.begin(), flags.end(), 'D'), flags.end());
    maildir_->SetFlags(outbox_, unique_, flags);
  }

  // Hands a submitted message to the delivery command and moves it to Sent
  // Items; the path there. Without a delivery command nothing leaves the
  // machine, and the user is told so.
  std::string Deliver(std::ostream& out, bool report) {
    const std::optional<TMessageFile> file = maildir_->Find(outbox_, unique_);
    if (!file) throw std::runtime_error("The message left Outbox before it was sent");
    // What leaves the machine, and the copy kept of it, carry nothing of
    // what only the store keeps for itself.
    const std::string sent_folder = FolderNamed(*maildir_, "Sent Items");
    std::string clean = maildir_->WriteTemporaryFile(
        sent_folder, [&](TWriteFile& copy) { CopyWithoutPrivateHeaders(maildir_->Files(), file->path, copy); });
    struct TRemoveUnpublished {
      TMailFiles& files;
      std::string& path;
      ~TRemoveUnpublished() {
        if (path.empty()) return;
        try {
          files.Remove(path);
        } catch (...) {
          // Swept at a later start: its writer is gone by then.
        }
      }
    } remove_unpublished{maildir_->Files(), clean};
    if (!profile_.send_command.empty()) {
      bool own_envelope = false;
      const std::vector<std::string> recipients = RecipientsOf(maildir_->Files(), file->path, &own_envelope);
      // A command that reads the recipients from the header would send a
      // bounce back to the original recipients: refuse rather than do that.
      if (own_envelope && !TakesArguments(profile_.send_command)) {
        throw TSendError(kExitFailed, "The message goes to other recipients than its header names, and the delivery "
                                      "command \"" + profile_.send_command +
                                      "\" does not take them as arguments (write \"$@\" where they go, as in "
                                      "SendCommand=/usr/sbin/sendmail -oi -- \"$@\"); the message stays in Outbox: " +
                                      file->path);
      }
      const int status = RunWithInput(profile_.send_command, clean, recipients);
      if (status != 0) {
        throw TSendError(kExitFailed, "The delivery command \"" + profile_.send_command + "\" failed (" +
                                          (status < 0 ? std::string("cannot start") : "exit " + std::to_string(status)) +
                                          "); the message stays in Outbox: " + file->path);
      }
      if (report) out << "Delivered by: " << profile_.send_command << "\n";
    }
    std::string target;
    try {
      target = maildir_->Publish(sent_folder, clean, unique_, "S");
      clean.clear();
    } catch (const std::exception& error) {
      throw std::runtime_error("Cannot put the message into Sent Items: " + std::string(error.what()) +
                               "; it stays in " + file->path);
    }
    // In both folders for a moment rather than in neither; a copy left in
    // Outbox is reported, the send itself went.
    try {
      maildir_->Files().Remove(file->path);
    } catch (const std::exception& error) {
      err_ << program_ << ": the sent message could not be taken out of Outbox: " << error.what() << "\n";
    }
    if (profile_.send_command.empty()) {
      err_ << program_ << ": not sent: no delivery command is set (SendCommand= under [Profile] in " << profile_.file
           << "); the message is kept in Sent Items\n";
      if (report) out << "Kept (not sent): " << target << "\n";
    } else if (report) {
      out << "Sent: " << target << "\n";
    }
    return target;
  }

 private:
  std::ostream& err_;
  std::string program_;
  log::TNoticeHandler previous_notices_;
  std::string last_notice_;
  TMapiSession session_;
  TProfile profile_;
  TStoreConfig store_;
  std::unique_ptr<TMaildir> maildir_;
  TClientWindow window_;
  TExtensionHost host_;  // after the window and session: unloads before them
  TRef<IMessage> message_;
  std::string outbox_, unique_, entry_id_;
  bool committed_ = false;  // the client has written the message
};

// The process that made a message, from its unique name
// ("TIME.M...P<pid>Q<n>.HOST"), when it still runs: it may still be
// writing or sending the message.
bool WriterRuns(const std::string& unique) {
  const size_t p = unique.find('P', unique.find('.'));
  if (p == std::string::npos) return false;
  char* end = nullptr;
  const long pid = std::strtol(unique.c_str() + p + 1, &end, 10);
  if (pid <= 0 || end == nullptr || *end != 'Q' || pid == static_cast<long>(::getpid())) return false;
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

int SendUsage(std::ostream& err) {
  err << kSendUsage;
  return kExitUsage;
}

void WriteText(TWriteFile& out, const std::string& text) { out.Append(text.data(), text.size()); }

}  // namespace

int RunSend(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err) {
  TDraft draft;
  std::optional<std::string> from, body, body_file;
  std::vector<std::string> attachments;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "-v" || args[i] == "--verbose") {
      log::SetStandardError(true);
      continue;
    }
    std::string option = args[i];
    std::optional<std::string> value;
    if (const size_t eq = option.find('='); option.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = option.substr(eq + 1);
      option = option.substr(0, eq);
    }
    static const std::set<std::string> kOptions = {"--to",   "--cc",        "--bcc",    "--subject",
                                                   "--body", "--body-file", "--attach", "--from"};
    if (kOptions.count(option) == 0) {
      err << "corvid send: unknown option " << args[i] << "\n";
      return SendUsage(err);
    }
    if (!value) {
      if (i + 1 >= args.size()) {
        err << "corvid send: " << option << " needs a value\n";
        return SendUsage(err);
      }
      value = args[++i];
    }
    if (option == "--to") draft.to.push_back(*value);
    if (option == "--cc") draft.cc.push_back(*value);
    if (option == "--bcc") draft.bcc.push_back(*value);
    if (option == "--subject") draft.subject = *value;
    if (option == "--body") body = *value;
    if (option == "--body-file") body_file = *value;
    if (option == "--attach") attachments.push_back(*value);
    if (option == "--from") from = *value;
  }
  if (draft.to.empty() || (body && body_file)) return SendUsage(err);
  // Every address is checked, and written as a header wants it, before
  // anything reaches the store.
  std::string why;
  for (std::vector<std::string>* list : {&draft.to, &draft.cc, &draft.bcc}) {
    for (std::string& address : *list) {
      const std::optional<std::string> written = HeaderAddress(address, &why);
      if (!written) {
        err << "corvid send: " << why << "\n";
        return kExitUsage;
      }
      address = *written;
    }
  }
  if (from) {
    const std::optional<std::string> written = HeaderAddress(*from, &why);
    if (!written) {
      err << "corvid send: --from: " << why << "\n";
      return kExitUsage;
    }
    draft.from = *written;
  }
  try {
    if (body_file) {
      FILE* file = std::fopen(body_file->c_str(), "rb");
      if (file == nullptr) throw TSendError(kExitFailed, "Cannot read " + *body_file + ": " + std::strerror(errno));
      char buffer[65536];
      size_t got = 0;
      while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) draft.body.append(buffer, got);
      std::fclose(file);
    } else if (body) {
      draft.body = *body;
    } else if (&in != &std::cin || !::isatty(STDIN_FILENO)) {
      // Piped in, as to `mail -s`; a terminal would wait for typing nobody
      // asked for.
      std::ostringstream text;
      text << in.rdbuf();
      draft.body = text.str();
    }
    // Every file is checked before anything reaches the store.
    for (const std::string& path : attachments) {
      if (::access(path.c_str(), R_OK) != 0) {
        throw TSendError(kExitFailed, "Cannot read the attachment " + path + ": " + std::strerror(errno));
      }
      if (std::filesystem::is_directory(path)) {
        throw TSendError(kExitFailed, "Cannot attach " + path + ": it is a folder");
      }
    }
    TInterruptGuard interrupts;
    TSendRoad road(err, "corvid send");
    if (draft.from.empty()) draft.from = road.Sender();
    const std::string text = ComposeMessage(draft, std::time(nullptr));
    road.Compose([&](TWriteFile& file) { WriteText(file, text); });
    for (const std::string& path : attachments) road.Attach(path);
    road.Send(out, true);
    return kExitOk;
  } catch (const TSendError& error) {
    err << "corvid send: " << error.what() << "\n";
    return error.Status();
  } catch (const std::exception& error) {
    err << "corvid send: " << error.what() << "\n";
    return kExitFailed;
  }
}

int RunFlush(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (!args.empty()) {
    err << kFlushUsage;
    return kExitUsage;
  }
  try {
    TSendRoad road(err, "corvid flush");
    if (!road.HasDeliveryCommand()) {
      err << "corvid flush: nothing can be sent: no delivery command is set (SendCommand= under [Profile] in the "
             "profile file)\n";
      return kExitFailed;
    }
    const std::string outbox = FolderNamed(road.Maildir(), "Outbox");
    int failed = 0;
    for (const TMessageFile& message : road.Maildir().Messages(outbox)) {
      if (WriterRuns(message.unique)) continue;  // its own send is still at work
      try {
        road.Adopt(message.unique);
        // Still a draft: the extensions never saw it through; they do now.
        if (message.flags.find('D') != std::string::npos) road.Submit(out, false);
        out << "Sent: " << road.Deliver(out, false) << "\n";
      } catch (const std::exception& error) {
        err << "corvid flush: " << error.what() << "\n";
        ++failed;
      }
    }
    return failed == 0 ? kExitOk : kExitFailed;
  } catch (const std::exception& error) {
    err << "corvid flush: " << error.what() << "\n";
    return kExitFailed;
  }
}

// --- sendmail ------------------------------------------------------------------

namespace {

constexpr int kExUsage = 64;
constexpr int kExDataErr = 65;
constexpr int kExTempFail = 75;

bool SameAddress(const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

bool Contains(const std::vector<std::string>& addresses, const std::string& wanted) {
  for (const std::string& address : addresses) {
    if (SameAddress(address, wanted)) return true;
  }
  return false;
}

std::string JoinedAddresses(const std::vector<std::string>& addresses) {
  std::string joined;
  for (const std::string& address : addresses) joined += (joined.empty() ? "" : ", ") + address;
  return joined;
}

// What the command line asks for.
struct TSendmailOptions {
  bool from_headers = false;  // -t
  bool dot_ends = true;       // without -i / -oi a lone "." line ends the message
  bool verbose = false;
  bool run_queue = false;  // -q
  std::string envelope_from;
  std::vector<std::string> recipients;
};

// The options as sendmail programs take them; a status when the command
// line is wrong.
std::optional<int> ParseSendmailOptions(const std::vector<std::string>& args, TSendmailOptions* options,
                                        std::ostream& err) {
  bool options_done = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options_done || arg.empty() || arg[0] != '-') {
      if (arg.find_first_of("\r\n") != std::string::npos) {
        err << "corvid sendmail: a recipient may not hold a line break\n";
        return kExUsage;
      }
      options->recipients.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_done = true;
    } else if (arg == "-t") {
      options->from_headers = true;
    } else if (arg == "-i" || arg == "-oi") {
      options->dot_ends = false;
    } else if (arg == "-v") {
      options->verbose = true;
    } else if (arg.rfind("-q", 0) == 0) {
      options->run_queue = true;  // what waits in Outbox; the rest is not read
      return std::nullopt;
    } else if (arg == "-f" || arg == "-r") {
      if (i + 1 >= args.size()) {
        err << "corvid sendmail: " << arg << " needs an address\n";
        return kExUsage;
      }
      options->envelope_from = args[++i];
    } else if (arg.rfind("-f", 0) == 0 || arg.rfind("-r", 0) == 0) {
      options->envelope_from = arg.substr(2);
    } else if (arg == "-F" || arg == "-N" || arg == "-R" || arg == "-V" || arg == "-B" || arg == "-O") {
      ++i;  // options of real sendmail programs that take a value; nothing to do here
    }
    // Other options (-oem, -bm, -odb, ...) change nothing here.
  }
  return std::nullopt;
}

// The header block of the message on `in`, kept as written (lines end in
// LF; `newline` tells the message's own line end). `in` is left at the body.
struct THeaderRead {
  std::string block;
  std::string newline = "\n";
  bool ended = false;    // a lone "." came before any body
  bool has_body = false;
};

THeaderRead ReadHeaderBlock(std::istream& in, bool dot_ends) {
  THeaderRead read;
  std::string line;
  bool first = true;
  while (std::getline(in, line)) {
    if (first && line.rfind("From ", 0) == 0) {  // an mbox separator, not a header
      first = false;
      continue;
    }
    if (first && !line.empty() && line.back() == '\r') read.newline = "\r\n";
    first = false;
    if (line.empty() || line == "\r") {
      read.has_body = true;
      break;
    }
    if (dot_ends && (line == "." || line == ".\r")) {
      read.ended = true;
      break;
    }
    read.block += line + "\n";
  }
  return read;
}

// What the header says about recipients and the fields the client adds.
struct THeaderFacts {
  std::vector<std::string> listed;  // the To, Cc and Bcc addresses
  size_t bcc = SIZE_MAX;            // the index of the Bcc field, if any
  bool has_from = false, has_date = false, has_id = false;
};

THeaderFacts FactsOf(const std::vector<THeaderField>& fields) {
  THeaderFacts facts;
  for (size_t i = 0; i < fields.size(); ++i) {
    const char* name = fields[i].name.c_str();
    if (!strcasecmp(name, "To") || !strcasecmp(name, "Cc") || !strcasecmp(name, "Bcc")) {
      for (const std::string& address : AddressesOf(FieldValue(fields[i]))) facts.listed.push_back(address);
      if (!strcasecmp(name, "Bcc")) facts.bcc = i;
    }
    facts.has_from = facts.has_from || !strcasecmp(name, "From");
    facts.has_date = facts.has_date || !strcasecmp(name, "Date");
    facts.has_id = facts.has_id || !strcasecmp(name, "Message-ID");
  }
  return facts;
}

// How the given recipients travel. Without -t the given addresses are the
// envelope, whatever the header says (mutt's bounce, `sendmail -oi root`
// from cron). When the header names only given addresses, the others
// travel as blind copies, so the stored message carries every recipient
// and a `sendmail -t` command finds them; when it names others, the
// message keeps its header and carries its envelope in a field of the
// store's own.
struct TEnvelopePlan {
  bool own_envelope = false;
  std::vector<std::string> blind;  // given addresses to add as Bcc
};

TEnvelopePlan PlanEnvelope(const TSendmailOptions& options, const THeaderFacts& facts) {
  TEnvelopePlan plan;
  if (!options.from_headers) {
    for (const std::string& known : facts.listed) plan.own_envelope = plan.own_envelope || !Contains(options.recipients, known);
  }
  if (plan.own_envelope) return plan;
  for (const std::string& address : options.recipients) {
    if (!Contains(facts.listed, address) && !Contains(plan.blind, address)) plan.blind.push_back(address);
  }
  return plan;
}

// The header as stored: the fields as written, in the message's line end,
// with the blind copies, the envelope and the From, Date and Message-ID
// the message lacks.
std::string BuildHeader(const std::vector<THeaderField>& fields, const THeaderFacts& facts, const TEnvelopePlan& plan,
                        const TSendmailOptions& options, const std::string& newline) {
  const std::string blind = JoinedAddresses(plan.blind);
  std::string header;
  for (size_t i = 0; i < fields.size(); ++i) {
    std::string raw = fields[i].raw;
    if (i == facts.bcc && !plan.blind.empty()) {
      while (!raw.empty() && (raw.back() == '\n' || raw.back() == '\r')) raw.pop_back();
      raw += ", " + blind + "\n";
    }
    // Lines were split at LF; give them back the message's line end.
    std::string fixed;
    for (char c : raw) {
      fixed += c == '\n' && newline == "\r\n" && (fixed.empty() || fixed.back() != '\r') ? "\r\n" : std::string(1, c);
    }
    header += fixed;
  }
  if (facts.bcc == SIZE_MAX && !plan.blind.empty()) header += "Bcc: " + blind + newline;
  if (!options.from_headers) header += std::string(kEnvelopeField) + ": " + JoinedAddresses(options.recipients) + newline;
  if (!facts.has_from) {
    std::string sender = options.envelope_from.empty() ? DefaultSender(LoadProfile().from) : options.envelope_from;
    std::string why;
    if (const std::optional<std::string> written = HeaderAddress(sender, &why)) sender = *written;
    header += "From: " + sender + newline;
  }
  if (!facts.has_date || !facts.has_id) {
    const std::string composed = ComposeMessage(TDraft{}, std::time(nullptr));
    std::vector<THeaderField> made;
    std::string stray;
    SplitHeaderFields(composed.substr(0, composed.find("\n\n") + 1), &made, &stray);
    for (const THeaderField& field : made) {
      if ((!facts.has_date && field.name == "Date") || (!facts.has_id && field.name == "Message-ID")) {
        header += field.raw.substr(0, field.raw.size() - 1) + newline;
      }
    }
  }
  return header;
}

// Stores the message (the header, then the rest of `in` as its body) and
// sends it.
int StoreAndSend(const std::string& header, const THeaderRead& read, const TSendmailOptions& options,
                 std::istream& in, std::ostream& out, std::ostream& err) {
  try {
    TInterruptGuard interrupts;
    TSendRoad road(err, "corvid sendmail");
    road.Compose([&](TWriteFile& file) {
      WriteText(file, header);
      if (!read.has_body || read.ended) return;
      WriteText(file, read.newline);
      std::string line;
      while (std::getline(in, line)) {
        if (options.dot_ends && (line == "." || line == ".\r")) break;
        line += '\n';
        WriteText(file, line);
      }
    });
    road.Send(out, options.verbose);
    return 0;
  } catch (const std::exception& error) {
    err << "corvid sendmail: " << error.what() << "\n";
    return kExTempFail;
  }
}

}  // namespace

int RunSendmail(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err) {
  TSendmailOptions options;
  if (const std::optional<int> wrong = ParseSendmailOptions(args, &options, err)) return *wrong;
  if (options.run_queue) {
    const int status = RunFlush({}, out, err);
    return status == kExitOk ? 0 : status == kExitUsage ? kExUsage : kExTempFail;
  }
  if (options.verbose) log::SetStandardError(true);
  if (!options.from_headers && options.recipients.empty()) {
    err << "corvid sendmail: no recipients (give addresses or -t)\n";
    return kExUsage;
  }

  const THeaderRead read = ReadHeaderBlock(in, options.dot_ends);
  std::vector<THeaderField> fields;
  std::string stray;
  if (!SplitHeaderFields(read.block, &fields, &stray)) {
    err << "corvid sendmail: not a header line: " << stray;
    return kExDataErr;
  }
  if (fields.empty()) {
    err << "corvid sendmail: the message has no header\n";
    return kExDataErr;
  }
  const THeaderFacts facts = FactsOf(fields);
  const TEnvelopePlan plan = PlanEnvelope(options, facts);
  if (facts.listed.empty() && plan.blind.empty() && !plan.own_envelope) {
    err << "corvid sendmail: no recipients in the message\n";
    return kExUsage;
  }
  const std::string header = BuildHeader(fields, facts, plan, options, read.newline);
  return StoreAndSend(header, read, options, in, out, err);
}

}  // namespace corvid::client
