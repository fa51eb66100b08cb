// Entry identifiers come back from callers, who may hand in anything: bytes
// cut short, bytes added, another store's, garbage, names that would lead
// out of the store. None may open what it does not name.
#include "platform/mapi/entry_id.h"

#include <filesystem>
#include <random>

#include "platform/mapi/mapi_test_support.h"

namespace corvid::mapi::test {
namespace {

namespace fs = std::filesystem;

const GUID kStore = {0x11223344, 0x5566, 0x7788, {1, 2, 3, 4, 5, 6, 7, 8}};

TEntryId Message(const std::string& folder, const std::string& unique) {
  TEntryId id = EntryIdOf(kStore, TEntryKind::Message);
  id.folder = folder;
  id.unique = unique;
  return id;
}

TEntryId Folder(const std::string& folder) {
  TEntryId id = EntryIdOf(kStore, TEntryKind::Folder);
  id.folder = folder;
  return id;
}

TEntryId OneOff(const std::string& name, const std::string& type, const std::string& email) {
  TEntryId id = EntryIdOf(kStore, TEntryKind::OneOff);
  id.display_name = name;
  id.addr_type = type;
  id.email = email;
  return id;
}

std::vector<TEntryId> GoodIds() {
  return {EntryIdOf(kStore, TEntryKind::Store), EntryIdOf(kStore, TEntryKind::Root), Folder(""), Folder("Sent Items"),
          Folder("Inbox.Sub"), Message("", "1700000000.M1P2.host"), Message("Outbox", "u"),
          OneOff("Bob", "SMTP", "bob@example.com"), OneOff("", "FAX", "+1 555 0100")};
}

TEST(EntryIdTest, EveryKindComesBackAsEncoded) {
  for (const TEntryId& id : GoodIds()) {
    const std::string bytes = EncodeEntryId(id);
    const std::optional<TEntryId> decoded = DecodeEntryId(bytes);
    ASSERT_TRUE(decoded) << HexOf(bytes);
    EXPECT_EQ(EncodeEntryId(*decoded), bytes);
    EXPECT_EQ(BytesFromHex(HexOf(bytes)), bytes);
  }
}

// A decoded identifier is the one given, byte for byte, or none: a cut or
// a longer identifier never stands for another entry.
TEST(EntryIdTest, CutOrLengthenedIdentifiersAreNoneOrThemselves) {
  for (const TEntryId& id : GoodIds()) {
    const std::string bytes = EncodeEntryId(id);
    for (size_t size = 0; size < bytes.size(); ++size) {
      const std::string cut = bytes.substr(0, size);
      const std::optional<TEntryId> decoded = DecodeEntryId(cut);
      if (size < 22) {
        EXPECT_FALSE(decoded) << HexOf(cut);
      }
      if (decoded) {
        EXPECT_EQ(EncodeEntryId(*decoded), cut) << HexOf(cut);
      }
    }
    for (const std::string& tail : {std::string(1, '\0'), std::string("x"), std::string(4096, 'A')}) {
      const std::optional<TEntryId> decoded = DecodeEntryId(bytes + tail);
      if (decoded) {
        EXPECT_EQ(EncodeEntryId(*decoded), bytes + tail) << HexOf(bytes + tail);
      }
    }
  }
  // Where the form ends, nothing may follow.
  EXPECT_FALSE(DecodeEntryId(EncodeEntryId(EntryIdOf(kStore, TEntryKind::Store)) + "x"));
  EXPECT_FALSE(DecodeEntryId(EncodeEntryId(OneOff("a", "SMTP", "a@b.c")) + "x"));
  EXPECT_FALSE(DecodeEntryId(EncodeEntryId(Message("", "u")) + std::string(1, '\0') + "v"));
}

TEST(EntryIdTest, RefusesGarbageAndNamesThatLeaveTheStore) {
  std::string header = EncodeEntryId(EntryIdOf(kStore, TEntryKind::Store));
  const struct {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"flags set", std::string("\x01", 1) + header.substr(1)},
      {"another version", header.substr(0, 20) + "\x02" + header.substr(21)},
      {"an unknown kind", header.substr(0, 21) + "Z"},
      {"a message without its unique name", EncodeEntryId(Message("", "u")).substr(0, 22) + "Outbox"},
      {"an empty unique name", EncodeEntryId(Message("Outbox", "x")).substr(0, 29)},
      {"the folder itself as the unique name", EncodeEntryId(Message("Outbox", ".."))},
      {"a unique name with a slash", EncodeEntryId(Message("", "../../etc/passwd"))},
      {"a message in the parent folder", EncodeEntryId(Message(".", "u"))},
      {"a message two folders up", EncodeEntryId(Message("..", "u"))},
      {"a message in a folder with a slash", EncodeEntryId(Message("a/../..", "u"))},
      {"the parent folder", EncodeEntryId(Folder("."))},
      {"a folder two up", EncodeEntryId(Folder(".."))},
      {"a folder path", EncodeEntryId(Folder("x/../../.."))},
      {"a folder name with a zero byte", EncodeEntryId(Folder(std::string("a\0b", 3)))},
      {"a one-off without its last zero", EncodeEntryId(OneOff("a", "SMTP", "a@b.c")).substr(0, 22 + 11)},
  };
  for (const auto& c : cases) EXPECT_FALSE(DecodeEntryId(c.bytes)) << c.what;

  // Random bytes behind a valid header: never a crash, and whatever is
  // taken is taken exactly.
  std::mt19937 random(7);
  for (int round = 0; round < 2000; ++round) {
    std::string bytes = header.substr(0, 21) + "SRFMO"[round % 5];
    const size_t size = random() % 40;
    for (size_t i = 0; i < size; ++i) bytes += static_cast<char>("\0./aZ"[random() % 5]);
    const std::optional<TEntryId> decoded = DecodeEntryId(bytes);
    if (!decoded) continue;
    EXPECT_EQ(EncodeEntryId(*decoded), bytes) << HexOf(bytes);
    EXPECT_EQ(decoded->folder.find('/'), std::string::npos) << HexOf(bytes);
    EXPECT_NE(decoded->folder, ".");
    EXPECT_NE(decoded->folder, "..");
  }
  EXPECT_FALSE(BytesFromHex("ABC"));
  EXPECT_FALSE(BytesFromHex("0G"));
}

// Through the store: another store's identifier, or one that names a folder
// outside this store (here a Maildir beside it), opens nothing.
TEST_F(TStoreTest, HostileEntryIdentifiersOpenNothing) {
  const std::string unique = Deliver("Subject: mine\n\nbody\n");
  // A message in a Maildir that is the store's parent folder.
  const fs::path parent = fs::path(store_config_.path).parent_path();
  TMaildir outside(CurrentMailFiles(), parent.string());
  outside.CreateFolder("");
  const std::string stranger = outside.Deliver("", [](TWriteFile& out) { out.Append("Subject: not yours\n\n", 20); });

  TEntryId other_store = EntryIdOf(store_config_.uid, TEntryKind::Message);
  other_store.store.Data1 ^= 1;
  other_store.unique = unique;
  TEntryId up = EntryIdOf(store_config_.uid, TEntryKind::Message);
  up.folder = ".";
  up.unique = stranger;
  TEntryId up_folder = EntryIdOf(store_config_.uid, TEntryKind::Folder);
  up_folder.folder = ".";
  for (const TEntryId& id : {other_store, up, up_folder}) {
    const std::string entry = EncodeEntryId(id);
    ULONG type = 0;
    IUnknown* unknown = nullptr;
    const HRESULT result = store_->OpenEntry(static_cast<ULONG>(entry.size()),
                                             reinterpret_cast<LPENTRYID>(const_cast<char*>(entry.data())), nullptr, 0,
                                             &type, &unknown);
    EXPECT_TRUE(FAILED(result)) << HexOf(entry);
    EXPECT_EQ(unknown, nullptr);
    if (unknown != nullptr) unknown->Release();
  }
  // The store's own message still opens.
  TRef<IMessage> message;
  EXPECT_HR(S_OK, OpenMessage(unique, 0, &message));
}

}  // namespace
}  // namespace corvid::mapi::test
