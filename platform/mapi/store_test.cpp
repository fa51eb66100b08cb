// The message store's promises: SaveChanges replaces a message in one step
// (a process killed in the middle leaves the old or the new message), keeps
// another program's flag change and refuses to overwrite its content
// change; new mail reaches advise sinks once, on the store's thread; damaged
// messages open; message class, read flag, attachment columns, named
// properties and the address book behave as the extension expects.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <random>
#include <set>
#include <thread>

#include "platform/mapi/address_book.h"
#include "platform/mapi/mapi_test_support.h"
#include "testutil/mime_text.h"

namespace corvid::mapi::test {
namespace {

namespace fs = std::filesystem;

std::string Base64(const std::string& bytes) { return ::corvid::test::Base64Lines(bytes); }

// A multipart/mixed message with a text body and these attachments.
std::string MixedMessage(const std::string& subject, const std::vector<std::pair<std::string, std::string>>& files) {
  std::string text =
      "From: Sender <sender@example.org>\nTo: Rcpt <rcpt@example.com>\nSubject: " + subject +
      "\nMessage-ID: <m1@example.org>\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"BOUNDARY\"\n\n"
      "--BOUNDARY\nContent-Type: text/plain\n\nBody.\n";
  for (const auto& [name, data] : files) {
    text += "--BOUNDARY\nContent-Type: application/octet-stream\nContent-Disposition: attachment; filename=\"" + name +
            "\"\nContent-Transfer-Encoding: base64\n\n" + Base64(data);
  }
  return text + "--BOUNDARY--\n";
}

HRESULT SetText(IMAPIProp* object, ULONG tag, const std::string& text) {
  SPropValue value{};
  value.ulPropTag = tag;
  value.Value.lpszA = const_cast<char*>(text.c_str());
  return HrSetOneProp(object, &value);
}

// Replaces the data of attachment `number` through a stream.
void WriteAttachmentData(IMessage* message, ULONG number, const std::string& data) {
  IAttach* attach = nullptr;
  ASSERT_HR(S_OK, message->OpenAttach(number, nullptr, MAPI_MODIFY, &attach));
  TRef<IAttach> held(attach);
  IUnknown* unknown = nullptr;
  ASSERT_HR(S_OK, attach->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, MAPI_CREATE | MAPI_MODIFY, &unknown));
  TRef<IStream> stream(static_cast<IStream*>(unknown));
  ULONG written = 0;
  ASSERT_HR(S_OK, stream->Write(data.data(), static_cast<ULONG>(data.size()), &written));
  ASSERT_HR(S_OK, stream->Commit(0));
  ASSERT_HR(S_OK, attach->SaveChanges(0));
}

class TSaveChangesTest : public TStoreTest {
 protected:
  // A message in cur/ without flags, as a reader leaves it.
  std::string StoredMessage(const std::string& content) {
    const std::string unique = Deliver(content);
    maildir_->SetFlags("", unique, "");
    return unique;
  }
  size_t Count(const std::string& dir) {
    size_t n = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir)) ++n;
    return n;
  }
};

TEST_F(TSaveChangesTest, FlagChangeByAnotherProgramIsKeptAndTheMessageKeepsItsName) {
  const std::string unique = StoredMessage(MixedMessage("old subject", {{"a.bin", "AAAA"}}));
  TRef<IMessage> message = Open(unique);
  // Another program marks it read and flagged meanwhile.
  const std::string renamed = store_config_.path + "/cur/" + unique + ":2,FS";
  fs::rename(*PathOf(unique), renamed);

  ASSERT_HR(S_OK, SetText(message.get(), PR_SUBJECT, "new subject"));
  ASSERT_HR(S_OK, message->SaveChanges(0));

  ASSERT_EQ(1u, Files().size());
  EXPECT_EQ(renamed, *PathOf(unique));
  EXPECT_NE(std::string::npos, ReadBytes(renamed).find("Subject: new subject"));
  EXPECT_EQ(0u, Count(store_config_.path + "/tmp"));
  EXPECT_EQ(MSGFLAG_READ, LongOf(message.get(), PR_MESSAGE_FLAGS).value_or(0) & MSGFLAG_READ);
}

TEST_F(TSaveChangesTest, ContentChangeByAnotherProgramIsNotOverwritten) {
  struct TCase {
    const char* label;
    bool in_place;  // rewritten in the same file (same inode) rather than replaced
  };
  for (const TCase& c : {TCase{"replaced", false}, TCase{"rewritten in place", true}}) {
    SCOPED_TRACE(c.label);
    const std::string unique = StoredMessage(MixedMessage("ours", {{"a.bin", "AAAA"}}));
    TRef<IMessage> message = Open(unique);
    ASSERT_HR(S_OK, SetText(message.get(), PR_SUBJECT, "our change"));
    ASSERT_HR(S_OK, message->DeleteAttach(0, 0, nullptr, 0));

    const std::string path = *PathOf(unique);
    const std::string theirs = MixedMessage("their change", {{"b.bin", "BBBB"}, {"c.bin", "CC"}});
    if (c.in_place) {
      WriteBytes(path, theirs);
    } else {
      const std::string temp = store_config_.path + "/tmp/other-program";
      WriteBytes(temp, theirs);
      fs::rename(temp, path);
    }

    EXPECT_HR(MAPI_E_OBJECT_CHANGED, message->SaveChanges(0));
    EXPECT_EQ(path, *PathOf(unique));
    EXPECT_EQ(theirs, ReadBytes(path));
    EXPECT_EQ(0u, Count(store_config_.path + "/tmp"));
  }
}

TEST_F(TSaveChangesTest, MessageNeverSavedStaysAsItWas) {
  const std::string content = MixedMessage("untouched", {{"a.bin", "AAAA"}, {"b.bin", "BBBB"}});
  const std::string unique = StoredMessage(content);
  const std::string path = *PathOf(unique);
  {
    TRef<IMessage> message = Open(unique);
    ASSERT_HR(S_OK, SetText(message.get(), PR_SUBJECT, "changed, never saved"));
    ASSERT_HR(S_OK, message->DeleteAttach(1, 0, nullptr, 0));
    WriteAttachmentData(message.get(), 0, "new data");
  }
  EXPECT_EQ(path, *PathOf(unique));
  EXPECT_EQ(content, ReadBytes(path));
  EXPECT_EQ(0u, Count(store_config_.path + "/tmp"));
}

// The state of the message file: its subject and the data of its first
// attachment, read through the store.
struct TVersion {
  std::string subject;
  std::string data;
  bool operator==(const TVersion&) const = default;
};

TEST_F(TSaveChangesTest, KilledDuringSaveChangesLeavesOneWholeVersion) {
  constexpr int kIterations = 50;
  constexpr size_t kDataSize = 1 << 20;
  auto data_of = [](int version) { return PseudoRandomBytes(kDataSize, 100 + version); };
  const std::string unique = StoredMessage(MixedMessage("version 0", {{"data.bin", data_of(0)}}));

  auto read_version = [&](TVersion* version) {
    ASSERT_EQ(1u, Files().size()) << "the message must be in the Maildir exactly once";
    TRef<IMessage> message = Open(unique, 0);
    ASSERT_TRUE(message);
    version->subject = TextOf(message.get(), PR_SUBJECT).value_or("");
    version->data.clear();
    ASSERT_HR(S_OK, AttachmentData(message.get(), 0, &version->data));
  };
  // Version `k` prepared in `message`; SaveChanges still to come.
  auto prepare = [&](IMessage* message, int k) {
    ASSERT_HR(S_OK, SetText(message, PR_SUBJECT, "version " + std::to_string(k)));
    WriteAttachmentData(message, 0, data_of(k));
  };

  // How long one save takes, to spread the kills over it.
  TVersion current;
  auto started = std::chrono::steady_clock::now();
  {
    TRef<IMessage> message = Open(unique);
    prepare(message.get(), 1);
    started = std::chrono::steady_clock::now();
    ASSERT_HR(S_OK, message->SaveChanges(0));
  }
  const auto save_time = std::chrono::steady_clock::now() - started;
  // The kills fall in [0, window); the window follows what the kills
  // found, so that they keep landing inside the saves on a busy machine.
  double window_us =
      std::max<double>(200, std::chrono::duration_cast<std::chrono::microseconds>(save_time).count() * 5 / 4);
  read_version(&current);
  ASSERT_EQ((TVersion{"version 1", data_of(1)}), current);

  std::mt19937 random(12345);
  int old_seen = 0;
  int new_seen = 0;
  for (int k = 2; k < kIterations + 2; ++k) {
    SCOPED_TRACE("iteration " + std::to_string(k));
    int ready[2];
    ASSERT_EQ(0, ::pipe(ready));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(ready[0]);
      TRef<IMessage> message;
      if (FAILED(OpenMessage(unique, MAPI_MODIFY, &message))) ::_exit(2);
      prepare(message.get(), k);
      if (::testing::Test::HasFailure()) ::_exit(3);
      const char byte = 1;
      if (::write(ready[1], &byte, 1) != 1) ::_exit(4);
      ::_exit(SUCCEEDED(message->SaveChanges(0)) ? 0 : 5);
    }
    ::close(ready[1]);
    char byte = 0;
    const bool child_ready = ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
    if (child_ready) {
      std::this_thread::sleep_for(std::chrono::microseconds(random() % static_cast<int64_t>(window_us)));
      ::kill(child, SIGKILL);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(child_ready || (WIFEXITED(status) && WEXITSTATUS(status) == 0)) << "the child failed to prepare";

    const TVersion old_version = current;
    const TVersion new_version{"version " + std::to_string(k), data_of(k)};
    read_version(&current);
    if (current == old_version) {
      ++old_seen;
      window_us = std::min(window_us * 1.25, 5e6);
    } else {
      window_us = std::max(window_us * 0.8, 200.0);
      ASSERT_TRUE(current == new_version) << "neither the old nor the new version: subject \"" << current.subject
                                          << "\", " << current.data.size() << " bytes of data";
      ++new_seen;
    }
  }
  // Both outcomes happen, or the kills did not land inside the saves.
  EXPECT_GT(old_seen, 0);
  EXPECT_GT(new_seen, 0);
  std::cout << "kills that left the old version: " << old_seen << ", the new one: " << new_seen << "\n";
}

// ---------------------------------------------------------------------------
// New mail.

class TRecordingSink : public TComObject<IMAPIAdviseSink> {
 public:
  struct TRecord {
    std::thread::id thread;
    std::string entry;
    ULONG event = 0;
  };

  HRESULT QueryInterface(REFIID riid, void** object) override { return QueryAs(riid, object, {IID_IMAPIAdviseSink}); }
  ULONG OnNotify(ULONG count, LPNOTIFICATION notifications) override {
    std::lock_guard lock(mutex_);
    for (ULONG i = 0; i < count; ++i) {
      const NEWMAIL_NOTIFICATION& mail = notifications[i].info.newmail;
      records_.push_back({std::this_thread::get_id(),
                          std::string(reinterpret_cast<const char*>(mail.lpEntryID), mail.cbEntryID),
                          notifications[i].ulEventType});
    }
    changed_.notify_all();
    return 0;
  }
  // Waits until `count` records came, or the time is up; the records.
  std::vector<TRecord> WaitFor(size_t count, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, limit, [&] { return records_.size() >= count; });
    return records_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<TRecord> records_;
};

TEST_F(TStoreTest, NewMailReachesTheSinkOnceOnTheStoresThreadUntilUnadvise) {
  auto* sink = new TRecordingSink;
  TRef<TRecordingSink> held(sink);
  ULONG connection = 0;
  // A message that was there before does not count.
  Deliver("Subject: before\n\nold\n");
  ASSERT_HR(S_OK, store_->Advise(0, nullptr, fnevNewMail, sink, &connection));

  // Another process delivers one; a plain Maildir writer another.
  const TCommandResult delivered =
      RunCommand(std::string("echo 'Subject: by the tool' | ") + CORVID_DIST + "/corvid-mapi deliver");
  ASSERT_EQ(0, delivered.status);
  const std::optional<std::string> tool_entry = BytesFromHex(delivered.out.substr(0, delivered.out.find('\n')));
  ASSERT_TRUE(tool_entry.has_value()) << delivered.out;
  const std::string plain_unique = "1700000000.M1P1.plainwriter";
  const std::string inbox = store_config_.path;
  ASSERT_EQ(0, RunCommand("cd " + Quote(inbox) + " && printf 'Subject: plain\\n\\nhi\\n' > tmp/" + plain_unique +
                          " && mv tmp/" + plain_unique + " new/" + plain_unique)
                   .status);

  std::vector<TRecordingSink::TRecord> records = sink->WaitFor(2, std::chrono::seconds(10));
  ASSERT_EQ(2u, records.size());
  // Mail that a reader moves on (new/ to cur/, flags) is not new again.
  fs::rename(inbox + "/new/" + plain_unique, inbox + "/cur/" + plain_unique + ":2,S");
  records = sink->WaitFor(3, std::chrono::milliseconds(500));
  ASSERT_EQ(2u, records.size()) << "a message was told more than once";

  std::set<std::string> entries;
  for (const auto& record : records) {
    EXPECT_EQ(fnevNewMail, record.event);
    EXPECT_NE(std::this_thread::get_id(), record.thread);
    EXPECT_EQ(records[0].thread, record.thread);
    entries.insert(record.entry);
  }
  EXPECT_EQ((std::set<std::string>{*tool_entry, EntryOf(plain_unique)}), entries);

  // The entry identifier opens the message.
  TRef<IMessage> message;
  ASSERT_HR(S_OK, OpenMessage(plain_unique, 0, &message));
  EXPECT_EQ("plain", TextOf(message.get(), PR_SUBJECT).value_or(""));

  ASSERT_HR(S_OK, store_->Unadvise(connection));
  EXPECT_HR(MAPI_E_NOT_FOUND, store_->Unadvise(connection));
  Deliver("Subject: after\n\nlate\n");
  records = sink->WaitFor(3, std::chrono::milliseconds(700));
  EXPECT_EQ(2u, records.size()) << "a notification came after Unadvise";
}

// ---------------------------------------------------------------------------
// Damaged messages.

TEST_F(TStoreTest, MalformedMessagesOpenAndOfferWhatCanBeRead) {
  const std::string good = Base64("good data");
  struct TCase {
    const char* label;
    std::string content;
    size_t attachments;          // as the table lists them
    std::vector<int> readable;   // per attachment: 1 readable, 0 its stream fails
  };
  const std::vector<TCase> cases = {
      {"truncated multipart",
       "Subject: cut\nContent-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: text/plain\n\nbody\n--b\n"
       "Content-Disposition: attachment; filename=cut.bin\nContent-Transfer-Encoding: base64\n\n" +
           good.substr(0, 7),
       1, {1}},
      {"bad base64",
       "Subject: bad\nContent-Type: multipart/mixed; boundary=b\n\n--b\nContent-Disposition: attachment; "
       "filename=bad.bin\nContent-Transfer-Encoding: base64\n\n!!!%%%***\x01\x02 not base64 at all ===\n--b--\n",
       1, {1}},
      {"missing boundary",
       "Subject: nob\nContent-Type: multipart/mixed\n\n--x\nContent-Disposition: attachment; filename=a.bin\n\nA\n--x--\n",
       0, {}},
      {"garbage headers",
       std::string("\x01\x02\xff garbage line without colon\nSubject\n: empty name\nX-Long: ") + std::string(20000, 'x') +
           "\nTo: <<<@@@>>>, \"unterminated\nContent-Type: ;;;/\n\nbody\n",
       0, {}},
      {"unknown transfer encoding",
       "Subject: enc\nContent-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: text/plain\n\nbody\n--b\n"
       "Content-Type: application/octet-stream\nContent-Transfer-Encoding: x-compressed-by-nobody\n\n\x8f\x12 data\n"
       "--b\nContent-Disposition: attachment; filename=ok.bin\nContent-Transfer-Encoding: base64\n\n" +
           good + "--b--\n",
       2, {0, 1}},
      {"empty file", "", 0, {}},
      {"NUL bytes", std::string("Subject: nul\0here\n\n\0\0\0body", 25), 0, {}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string unique = Deliver(c.content);
    TRef<IMessage> message;
    ASSERT_HR(S_OK, OpenMessage(unique, MAPI_MODIFY, &message));
    ULONG count = 0;
    LPSPropValue values = nullptr;
    const HRESULT got = message->GetProps(nullptr, 0, &count, &values);
    EXPECT_TRUE(got == S_OK || got == MAPI_W_ERRORS_RETURNED) << ResultName(got);
    MAPIFreeBuffer(values);
    IMAPITable* table = nullptr;
    ASSERT_HR(S_OK, message->GetRecipientTable(0, &table));
    Rows(table, {PR_DISPLAY_NAME, PR_EMAIL_ADDRESS});
    table->Release();
    ASSERT_HR(S_OK, message->GetAttachmentTable(0, &table));
    const auto rows = Rows(table, {PR_ATTACH_NUM, PR_ATTACH_LONG_FILENAME});
    table->Release();
    ASSERT_EQ(c.attachments, rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
      std::string data;
      const HRESULT read = AttachmentData(message.get(), static_cast<ULONG>(rows[i][0].number), &data);
      EXPECT_EQ(c.readable[i] == 1, SUCCEEDED(read)) << "attachment " << i << ": " << ResultName(read);
    }
    // A damaged message can still be saved, and opens again.
    ASSERT_HR(S_OK, SetText(message.get(), PR_SUBJECT, "saved anyway"));
    ASSERT_HR(S_OK, message->SaveChanges(0));
    TRef<IMessage> again;
    ASSERT_HR(S_OK, OpenMessage(unique, 0, &again));
    EXPECT_EQ("saved anyway", TextOf(again.get(), PR_SUBJECT).value_or(""));
  }
  // The cut attachment offers the whole groups of its base64 that are there.
  const std::string unique = Deliver(cases[0].content);
  TRef<IMessage> message = Open(unique, 0);
  std::string data;
  ASSERT_HR(S_OK, AttachmentData(message.get(), 0, &data));
  EXPECT_EQ("goo", data);
}

// ---------------------------------------------------------------------------
// Properties the extension reads.

TEST_F(TStoreTest, MessageClassFollowsCalendarParts) {
  const std::string ics_request = "BEGIN:VCALENDAR\nMETHOD:REQUEST\nBEGIN:VEVENT\nEND:VEVENT\nEND:VCALENDAR\n";
  struct TCase {
    const char* label;
    std::string content;
    const char* message_class;
  };
  const std::vector<TCase> cases = {
      {"plain", "Subject: p\n\nbody\n", "IPM.Note"},
      {"method parameter",
       "Subject: m\nContent-Type: multipart/alternative; boundary=b\n\n--b\nContent-Type: text/plain\n\ninvite\n--b\n"
       "Content-Type: text/calendar; method=REQUEST; charset=utf-8\n\n" + ics_request + "--b--\n",
       "IPM.Schedule.Meeting.Request"},
      {"method in the body only",
       "Subject: m\nContent-Type: text/calendar; charset=utf-8\n\n" + ics_request, "IPM.Schedule.Meeting.Request"},
      {"cancel", "Subject: c\nContent-Type: text/calendar; method=CANCEL\n\nBEGIN:VCALENDAR\nEND:VCALENDAR\n",
       "IPM.Schedule.Meeting.Canceled"},
      {"calendar file merely attached",
       "Subject: a\nContent-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: text/plain\n\nsee file\n--b\n"
       "Content-Type: text/calendar\nContent-Disposition: attachment; filename=invite.ics\n\n" + ics_request + "--b--\n",
       "IPM.Note"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string unique = Deliver(c.content);
    TRef<IMessage> message = Open(unique, 0);
    EXPECT_EQ(c.message_class, TextOf(message.get(), PR_MESSAGE_CLASS).value_or(""));
  }
}

TEST_F(TStoreTest, ReadFlagIsTheMaildirSeenFlag) {
  const std::string unread = Deliver("Subject: unread\n\nx\n");
  const std::string read = Deliver("Subject: read\n\nx\n");
  fs::rename(*PathOf(read), store_config_.path + "/cur/" + read + ":2,S");

  EXPECT_EQ(0, LongOf(Open(unread, 0).get(), PR_MESSAGE_FLAGS).value_or(-1) & MSGFLAG_READ);
  EXPECT_EQ(MSGFLAG_READ, LongOf(Open(read, 0).get(), PR_MESSAGE_FLAGS).value_or(0) & MSGFLAG_READ);

  // The unread ones by a bitmask restriction on the contents table.
  ULONG size = 0;
  LPENTRYID inbox_id = nullptr;
  ASSERT_HR(S_OK, store_->GetReceiveFolder(const_cast<char*>("IPM.Note"), 0, &size, &inbox_id, nullptr));
  ULONG type = 0;
  IUnknown* unknown = nullptr;
  ASSERT_HR(S_OK, store_->OpenEntry(size, inbox_id, &IID_IMAPIFolder, 0, &type, &unknown));
  MAPIFreeBuffer(inbox_id);
  TRef<IMAPIFolder> inbox(static_cast<IMAPIFolder*>(unknown));
  auto unread_subjects = [&] {
    IMAPITable* table = nullptr;
    EXPECT_HR(S_OK, inbox->GetContentsTable(0, &table));
    SRestriction restriction{};
    restriction.rt = RES_BITMASK;
    restriction.res.resBitMask = {BMR_EQZ, PR_MESSAGE_FLAGS, MSGFLAG_READ};
    SizedSPropTagArray<1> columns = {1, {PR_SUBJECT}};
    LPSRowSet rows = nullptr;
    std::vector<std::string> subjects;
    EXPECT_HR(S_OK, HrQueryAllRows(table, columns.get(), &restriction, nullptr, 0, &rows));
    for (ULONG i = 0; rows != nullptr && i < rows->cRows; ++i) subjects.push_back(rows->aRow[i].lpProps[0].Value.lpszA);
    FreeProws(rows);
    table->Release();
    return subjects;
  };
  EXPECT_EQ(std::vector<std::string>{"unread"}, unread_subjects());

  // SetReadFlag marks it in the Maildir at once; clearing takes it back.
  TRef<IMessage> message = Open(unread);
  ASSERT_HR(S_OK, message->SetReadFlag(0));
  EXPECT_EQ(store_config_.path + "/cur/" + unread + ":2,S", *PathOf(unread));
  EXPECT_TRUE(unread_subjects().empty());
  ASSERT_HR(S_OK, message->SetReadFlag(CLEAR_READ_FLAG));
  EXPECT_EQ(0, LongOf(message.get(), PR_MESSAGE_FLAGS).value_or(-1) & MSGFLAG_READ);
  EXPECT_EQ(std::vector<std::string>{"unread"}, unread_subjects());
}

// The session and the store answer CompareEntryIDs alike: the same object
// whatever the caller's copy of its identifier, a failure (never "different")
// for bytes that are not ours.
TEST_F(TStoreTest, SessionAndStoreCompareEntryIdentifiersAlike) {
  const std::string first = EntryOf(Deliver("Subject: one\n\nx\n"));
  const std::string second = EntryOf(Deliver("Subject: two\n\nx\n"));
  const std::string garbage = "not an entry identifier";
  const std::string empty;
  struct TCase {
    const char* name;
    const std::string& a;
    const std::string& b;
    HRESULT result;
    ULONG same;
  };
  const TCase cases[] = {
      {"same message", first, first, S_OK, 1},
      {"two messages", first, second, S_OK, 0},
      {"unknown bytes", first, garbage, MAPI_E_UNKNOWN_ENTRYID, 7},
      {"empty identifier", empty, first, MAPI_E_UNKNOWN_ENTRYID, 7},
  };
  auto bytes = [](const std::string& id) { return reinterpret_cast<LPENTRYID>(const_cast<char*>(id.data())); };
  auto size = [](const std::string& id) { return static_cast<ULONG>(id.size()); };
  for (const TCase& c : cases) {
    // A copy, so that equal bytes at another address still compare equal.
    const std::string b = c.b;
    ULONG same = 7;
    EXPECT_HR(c.result, session_->CompareEntryIDs(size(c.a), bytes(c.a), size(b), bytes(b), 0, &same)) << c.name;
    EXPECT_EQ(c.same, same) << c.name;
    same = 7;
    EXPECT_HR(c.result, store_->CompareEntryIDs(size(c.a), bytes(c.a), size(b), bytes(b), 0, &same)) << c.name;
    EXPECT_EQ(c.same, same) << c.name;
  }
  EXPECT_HR(MAPI_E_INVALID_PARAMETER,
            session_->CompareEntryIDs(size(first), bytes(first), size(first), bytes(first), 0, nullptr));
  EXPECT_HR(MAPI_E_INVALID_PARAMETER,
            store_->CompareEntryIDs(size(first), bytes(first), size(first), bytes(first), 0, nullptr));
}

TEST_F(TStoreTest, AttachmentTableGivesFiveColumnsWithErrorsForMissingValues) {
  const std::string unique = Deliver(
      "Subject: t\nContent-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: text/plain\n\nbody\n--b\n"
      "Content-Type: application/zip; name=\"packed.zip\"\nContent-Disposition: attachment; filename=\"packed.zip\"\n"
      "Content-Transfer-Encoding: base64\n\n" + Base64("zip") +
      "--b\nContent-Type: message/rfc822\n\nSubject: inner\n\ninner body\n--b--\n");
  TRef<IMessage> message = Open(unique, 0);
  IMAPITable* table = nullptr;
  ASSERT_HR(S_OK, message->GetAttachmentTable(0, &table));
  const auto rows = Rows(table, {PR_ATTACH_NUM, PR_ATTACH_METHOD, PR_ATTACH_LONG_FILENAME, PR_ATTACH_FILENAME,
                                 PR_DISPLAY_NAME});
  table->Release();
  ASSERT_EQ(2u, rows.size());
  EXPECT_EQ(ATTACH_BY_VALUE, rows[0][1].number);
  EXPECT_EQ("packed.zip", rows[0][2].bytes);
  EXPECT_EQ("packed.zip", rows[0][3].bytes);
  EXPECT_EQ("packed.zip", rows[0][4].bytes);
  EXPECT_EQ(ATTACH_EMBEDDED_MSG, rows[1][1].number);
  // The embedded message has no file name: those cells are errors.
  EXPECT_EQ(PROP_TAG(PT_ERROR, PROP_ID(PR_ATTACH_LONG_FILENAME)), rows[1][2].tag);
  EXPECT_EQ(MAPI_E_NOT_FOUND, rows[1][2].number);
  EXPECT_EQ(PROP_TAG(PT_ERROR, PROP_ID(PR_ATTACH_FILENAME)), rows[1][3].tag);
  EXPECT_EQ(PR_DISPLAY_NAME, rows[1][4].tag);
  EXPECT_EQ("inner", rows[1][4].bytes);
}

TEST_F(TStoreTest, NewAttachmentGetsItsPropertiesAndKeepsThemAcrossReopen) {
  const std::string unique = Deliver("Subject: plain\n\nbody only\n");
  {
    TRef<IMessage> message = Open(unique);
    ULONG number = 0;
    IAttach* attach = nullptr;
    ASSERT_HR(S_OK, message->CreateAttach(nullptr, 0, &number, &attach));
    TRef<IAttach> held(attach);
    SPropValue props[4] = {};
    props[0].ulPropTag = PR_ATTACH_METHOD;
    props[0].Value.l = ATTACH_BY_VALUE;
    props[1].ulPropTag = PR_ATTACH_LONG_FILENAME;
    props[1].Value.lpszA = const_cast<char*>("Größe.zip");
    props[2].ulPropTag = PR_ATTACH_FILENAME;
    props[2].Value.lpszA = const_cast<char*>("GROSSE.ZIP");
    props[3].ulPropTag = 0x03700003;
    props[3].Value.l = -1;
    ASSERT_HR(S_OK, attach->SetProps(4, props, nullptr));
    IUnknown* unknown = nullptr;
    ASSERT_HR(S_OK, attach->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, MAPI_CREATE | MAPI_MODIFY, &unknown));
    TRef<IStream> stream(static_cast<IStream*>(unknown));
    ULONG written = 0;
    ASSERT_HR(S_OK, stream->Write("0123456789", 10, &written));
    LARGE_INTEGER move{};
    move.QuadPart = 2;
    ULARGE_INTEGER position{};
    ASSERT_HR(S_OK, stream->Seek(move, STREAM_SEEK_SET, &position));
    EXPECT_EQ(2u, position.QuadPart);
    ASSERT_HR(S_OK, stream->Write("ab", 2, &written));
    STATSTG stat{};
    ASSERT_HR(S_OK, stream->Stat(&stat, STATFLAG_NONAME));
    EXPECT_EQ(10u, stat.cbSize.QuadPart);
    ASSERT_HR(S_OK, stream->Commit(0));
    stream = {};
    ASSERT_HR(S_OK, attach->SaveChanges(0));
    ASSERT_HR(S_OK, message->SaveChanges(0));
  }
  TRef<IMessage> message = Open(unique, 0);
  IAttach* attach = nullptr;
  ASSERT_HR(S_OK, message->OpenAttach(0, nullptr, 0, &attach));
  TRef<IAttach> held(attach);
  EXPECT_EQ(ATTACH_BY_VALUE, LongOf(attach, PR_ATTACH_METHOD).value_or(0));
  EXPECT_EQ("Größe.zip", TextOf(attach, PR_ATTACH_LONG_FILENAME).value_or(""));
  EXPECT_EQ("GROSSE.ZIP", TextOf(attach, PR_ATTACH_FILENAME).value_or(""));
  EXPECT_EQ(-1, LongOf(attach, 0x03700003).value_or(0));
  std::string data;
  ASSERT_HR(S_OK, AttachmentData(message.get(), 0, &data));
  EXPECT_EQ("01ab456789", data);
  EXPECT_EQ(1, LongOf(message.get(), PR_HASATTACH).value_or(0));
  // The body is still there, as the first part.
  EXPECT_NE(std::string::npos, ReadBytes(*PathOf(unique)).find("body only"));
}

TEST_F(TStoreTest, NamedPropertiesStayWithTheMessage) {
  const std::string unique = Deliver("Subject: named\n\nx\n");
  std::u16string name = u"CorvidProcessed";
  MAPINAMEID id{};
  id.lpguid = const_cast<LPGUID>(&PS_PUBLIC_STRINGS);
  id.ulKind = MNID_STRING;
  id.Kind.lpwstrName = name.data();
  LPMAPINAMEID ids[] = {&id};

  TRef<IMessage> message = Open(unique);
  LPSPropTagArray tags = nullptr;
  // Not created yet: an error tag, and a warning.
  std::u16string unknown_name = u"NeverCreated";
  MAPINAMEID unknown{};
  unknown.lpguid = const_cast<LPGUID>(&PS_PUBLIC_STRINGS);
  unknown.ulKind = MNID_STRING;
  unknown.Kind.lpwstrName = unknown_name.data();
  LPMAPINAMEID unknown_ids[] = {&unknown};
  ASSERT_HR(MAPI_W_ERRORS_RETURNED, message->GetIDsFromNames(1, unknown_ids, 0, &tags));
  EXPECT_EQ(PT_ERROR, PROP_TYPE(tags->aulPropTag[0]));
  MAPIFreeBuffer(tags);

  ASSERT_HR(S_OK, message->GetIDsFromNames(1, ids, MAPI_CREATE, &tags));
  const ULONG prop_id = PROP_ID(tags->aulPropTag[0]);
  MAPIFreeBuffer(tags);
  EXPECT_GE(prop_id, 0x8000u);
  SPropValue value{};
  value.ulPropTag = PROP_TAG(PT_LONG, prop_id);
  value.Value.l = 42;
  ASSERT_HR(S_OK, HrSetOneProp(message.get(), &value));
  ASSERT_HR(S_OK, message->SaveChanges(0));
  message = {};

  TRef<IMessage> reopened = Open(unique, 0);
  ASSERT_HR(S_OK, reopened->GetIDsFromNames(1, ids, 0, &tags));
  EXPECT_EQ(prop_id, PROP_ID(tags->aulPropTag[0]));
  MAPIFreeBuffer(tags);
  EXPECT_EQ(42, LongOf(reopened.get(), PROP_TAG(PT_LONG, prop_id)).value_or(0));
  EXPECT_EQ("named", TextOf(reopened.get(), PR_SUBJECT).value_or(""));
}

TEST_F(TStoreTest, AddressBookAnswersWithTheContactsThePickerChose) {
  WriteBytes(profile_.address_book,
             "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Zoë Ärger\r\nEMAIL;TYPE=INTERNET:zoe@example.com\r\nEND:VCARD\r\n"
             "BEGIN:VCARD\r\nVERSION:2.1\r\nN:Fax;Office\r\nFN:Office Fax\r\nTEL;FAX:+1 555 0100\r\nEND:VCARD\r\n");
  auto picker = std::make_shared<TScriptedAddressPicker>();
  picker->AddAnswer(std::vector<size_t>{1, 0});
  picker->AddAnswer(std::nullopt);
  SetAddressPicker(picker);

  LPADRBOOK book = nullptr;
  ASSERT_HR(S_OK, session_->OpenAddressBook(0, nullptr, 0, &book));
  TRef<IAddrBook> held(book);
  ADRPARM params{};
  params.ulFlags = DIALOG_MODAL;
  params.lpszCaption = const_cast<char*>("Recipients");
  ULONG_PTR ui = 0;
  LPADRLIST list = nullptr;
  ASSERT_HR(S_OK, book->Address(&ui, &params, &list));
  ASSERT_NE(nullptr, list);
  ASSERT_EQ(2u, list->cEntries);
  auto text = [&](ULONG entry, ULONG tag) -> std::string {
    for (ULONG i = 0; i < list->aEntries[entry].cValues; ++i) {
      if (list->aEntries[entry].rgPropVals[i].ulPropTag == tag) return list->aEntries[entry].rgPropVals[i].Value.lpszA;
    }
    return "<missing>";
  };
  EXPECT_EQ("Office Fax", text(0, PR_DISPLAY_NAME));
  EXPECT_EQ("FAX", text(0, PR_ADDRTYPE));
  EXPECT_EQ("+1 555 0100", text(0, PR_EMAIL_ADDRESS));
  EXPECT_EQ("Zoë Ärger", text(1, PR_DISPLAY_NAME));
  EXPECT_EQ("SMTP", text(1, PR_ADDRTYPE));
  EXPECT_EQ("zoe@example.com", text(1, PR_EMAIL_ADDRESS));
  ASSERT_EQ(1u, picker->Dialogs().size());
  EXPECT_EQ("Recipients", picker->Dialogs()[0].caption);

  // The user cancels: the list is left alone.
  EXPECT_HR(MAPI_E_USER_CANCEL, book->Address(&ui, &params, &list));
  EXPECT_EQ(2u, list->cEntries);
  FreePadrlist(list);
  SetAddressPicker(nullptr);
}

}  // namespace
}  // namespace corvid::mapi::test
