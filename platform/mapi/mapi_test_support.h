// What the store's tests share: a fresh machine root with a logged-on
// session and its default store, message files put in place as other
// programs put them, property and stream helpers, running other programs,
// and a small JSON reader for what those programs print.
#pragma once

#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/mapi/entry_id.h"
#include "platform/mapi/maildir.h"
#include "platform/mapi/mapi32.h"
#include "platform/mapi/mapi_error.h"
#include "platform/mapi/mapi_object.h"
#include "platform/mapi/profile.h"
#include "platform/mapi/prop_value.h"
#include "platform/win/test_support.h"
#include "testutil/files.h"

namespace corvid::mapi::test {

#define EXPECT_HR(expected, call) EXPECT_EQ(ResultName(expected), ResultName(call))
#define ASSERT_HR(expected, call) ASSERT_EQ(ResultName(expected), ResultName(call))

inline std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

inline void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

using ::corvid::test::Quote;

struct TCommandResult {
  int status = -1;  // exit status; -1 when it did not exit normally
  std::string out;  // standard output
};

inline TCommandResult RunCommand(const std::string& command) {
  TCommandResult result;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, got);
  const int status = ::pclose(pipe);
  if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
  return result;
}

// Deterministic bytes of every value, so attachments cover all 256.
inline std::string PseudoRandomBytes(size_t size, uint32_t seed) {
  std::string out(size, '\0');
  uint32_t state = seed * 2654435761u + 1;
  for (char& c : out) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    c = static_cast<char>(state >> 24);
  }
  return out;
}

// ---------------------------------------------------------------------------
// JSON as Python's json module writes it.

struct TJson {
  enum class TKind { Null, Bool, Number, String, Array, Object } kind = TKind::Null;
  bool boolean = false;
  double number = 0;
  std::string text;
  std::vector<TJson> items;
  std::map<std::string, TJson> fields;

  const TJson& operator[](const std::string& key) const {
    static const TJson kMissing;
    auto it = fields.find(key);
    return it == fields.end() ? kMissing : it->second;
  }
  const TJson& operator[](size_t index) const { return items.at(index); }
  size_t size() const { return kind == TKind::Array ? items.size() : fields.size(); }
};

class TJsonReader {
 public:
  explicit TJsonReader(const std::string& text) : text_(text) {}

  TJson Document() {
    TJson value = Value();
    Blanks();
    if (at_ != text_.size()) Fail("trailing text");
    return value;
  }

 private:
  [[noreturn]] void Fail(const char* what) {
    throw std::runtime_error(std::string("bad JSON (") + what + ") at " + std::to_string(at_) + ": " + text_);
  }
  void Blanks() {
    while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_]))) ++at_;
  }
  bool Take(char c) {
    Blanks();
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  bool TakeWord(const char* word) {
    const size_t length = std::strlen(word);
    if (text_.compare(at_, length, word) != 0) return false;
    at_ += length;
    return true;
  }
  void AppendUtf8(uint32_t code, std::string* out) {
    if (code < 0x80) {
      *out += static_cast<char>(code);
    } else if (code < 0x800) {
      *out += static_cast<char>(0xC0 | (code >> 6));
      *out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      *out += static_cast<char>(0xE0 | (code >> 12));
      *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      *out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      *out += static_cast<char>(0xF0 | (code >> 18));
      *out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      *out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  uint32_t Hex4() {
    if (at_ + 4 > text_.size()) Fail("short escape");
    const uint32_t code = static_cast<uint32_t>(std::stoul(text_.substr(at_, 4), nullptr, 16));
    at_ += 4;
    return code;
  }
  std::string String() {
    std::string out;
    for (;;) {
      if (at_ >= text_.size()) Fail("open string");
      const char c = text_[at_++];
      if (c == '"') return out;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (at_ >= text_.size()) Fail("open escape");
      const char e = text_[at_++];
      switch (e) {
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'u': {
          uint32_t code = Hex4();
          if (code >= 0xD800 && code < 0xDC00 && text_.compare(at_, 2, "\\u") == 0) {
            at_ += 2;
            code = 0x10000 + ((code - 0xD800) << 10) + (Hex4() - 0xDC00);
          }
          AppendUtf8(code, &out);
          break;
        }
        default: out += e; break;
      }
    }
  }
  TJson Value() {
    TJson value;
    Blanks();
    if (at_ >= text_.size()) Fail("no value");
    const char c = text_[at_];
    if (c == '{') {
      ++at_;
      value.kind = TJson::TKind::Object;
      if (Take('}')) return value;
      do {
        if (!Take('"')) Fail("key");
        std::string key = String();
        if (!Take(':')) Fail("colon");
        value.fields[key] = Value();
      } while (Take(','));
      if (!Take('}')) Fail("object end");
    } else if (c == '[') {
      ++at_;
      value.kind = TJson::TKind::Array;
      if (Take(']')) return value;
      do value.items.push_back(Value());
      while (Take(','));
      if (!Take(']')) Fail("array end");
    } else if (c == '"') {
      ++at_;
      value.kind = TJson::TKind::String;
      value.text = String();
    } else if (TakeWord("true") || TakeWord("false")) {
      value.kind = TJson::TKind::Bool;
      value.boolean = text_[at_ - 1] == 'e' && text_[at_ - 2] == 'u';
    } else if (TakeWord("null")) {
      value.kind = TJson::TKind::Null;
    } else {
      size_t used = 0;
      value.kind = TJson::TKind::Number;
      value.number = std::stod(text_.substr(at_), &used);
      at_ += used;
    }
    return value;
  }

  const std::string& text_;
  size_t at_ = 0;
};

inline TJson ParseJson(const std::string& text) { return TJsonReader(text).Document(); }

// ---------------------------------------------------------------------------
// Properties and streams.

template <typename T>
using TRef = TComRef<T>;

inline std::optional<TProp> PropOf(IMAPIProp* object, ULONG tag) {
  LPSPropValue value = nullptr;
  if (FAILED(HrGetOneProp(object, tag, &value))) return std::nullopt;
  TProp prop = FromSPropValue(*value);
  MAPIFreeBuffer(value);
  return prop;
}
inline std::optional<int64_t> LongOf(IMAPIProp* object, ULONG tag) {
  auto prop = PropOf(object, tag);
  if (!prop) return std::nullopt;
  return prop->number;
}
inline std::optional<std::string> TextOf(IMAPIProp* object, ULONG tag) {
  auto prop = PropOf(object, tag);
  if (!prop) return std::nullopt;
  return prop->bytes;
}

inline HRESULT ReadAll(IStream* stream, std::string* out) {
  char buffer[65536];
  for (;;) {
    ULONG got = 0;
    const HRESULT result = stream->Read(buffer, sizeof buffer, &got);
    if (FAILED(result)) return result;
    if (got == 0) return S_OK;
    out->append(buffer, got);
  }
}

// The decoded data of attachment `number`, or the failure of opening or
// reading it.
inline HRESULT AttachmentData(IMessage* message, ULONG number, std::string* out) {
  IAttach* attach = nullptr;
  HRESULT result = message->OpenAttach(number, nullptr, 0, &attach);
  if (FAILED(result)) return result;
  TRef<IAttach> held(attach);
  IUnknown* unknown = nullptr;
  result = attach->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, 0, &unknown);
  if (FAILED(result)) return result;
  TRef<IStream> stream(static_cast<IStream*>(unknown));
  return ReadAll(stream.get(), out);
}

// The rows of a table with these columns, as TProp values per row.
inline std::vector<std::vector<TProp>> Rows(IMAPITable* table, std::vector<ULONG> columns) {
  std::vector<char> tags_block(sizeof(ULONG) * (columns.size() + 1));
  auto* tags = reinterpret_cast<SPropTagArray*>(tags_block.data());
  tags->cValues = static_cast<ULONG>(columns.size());
  for (size_t i = 0; i < columns.size(); ++i) tags->aulPropTag[i] = columns[i];
  LPSRowSet rows = nullptr;
  std::vector<std::vector<TProp>> out;
  if (FAILED(HrQueryAllRows(table, tags, nullptr, nullptr, 0, &rows))) return out;
  for (ULONG r = 0; r < rows->cRows; ++r) {
    std::vector<TProp> row;
    for (ULONG c = 0; c < rows->aRow[r].cValues; ++c) row.push_back(FromSPropValue(rows->aRow[r].lpProps[c]));
    out.push_back(std::move(row));
  }
  FreeProws(rows);
  return out;
}

// ---------------------------------------------------------------------------

// A fresh machine root, a session on its profile and the default store,
// opened for writing.
class TStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_HR(S_OK, MAPIInitialize(nullptr));
    LPMAPISESSION session = nullptr;
    ASSERT_HR(S_OK, MAPILogonEx(0, nullptr, nullptr, 0, &session));
    session_ = TRef<IMAPISession>(session);
    profile_ = LoadProfile();
    for (const TStoreConfig& store : profile_.stores) {
      if (store.is_default) store_config_ = store;
    }
    const std::string entry = EncodeEntryId(EntryIdOf(store_config_.uid, TEntryKind::Store));
    LPMDB store = nullptr;
    ASSERT_HR(S_OK, session->OpenMsgStore(0, static_cast<ULONG>(entry.size()),
                                          reinterpret_cast<LPENTRYID>(const_cast<char*>(entry.data())), nullptr,
                                          MDB_WRITE, &store));
    store_ = TRef<IMsgStore>(store);
    maildir_ = std::make_unique<TMaildir>(CurrentMailFiles(), store_config_.path);
  }
  void TearDown() override {
    store_ = {};
    session_ = {};
    MAPIUninitialize();
  }

  // A message put into a folder as a delivery agent does; its unique name.
  std::string Deliver(const std::string& content, const std::string& folder = "") {
    return maildir_->Deliver(folder, [&](TWriteFile& out) { out.Append(content.data(), content.size()); });
  }
  std::string EntryOf(const std::string& unique, const std::string& folder = "") const {
    TEntryId id = EntryIdOf(store_config_.uid, TEntryKind::Message);
    id.folder = folder;
    id.unique = unique;
    return EncodeEntryId(id);
  }
  HRESULT OpenMessage(const std::string& unique, ULONG flags, TRef<IMessage>* out, const std::string& folder = "") {
    const std::string entry = EntryOf(unique, folder);
    ULONG type = 0;
    IUnknown* unknown = nullptr;
    const HRESULT result =
        store_->OpenEntry(static_cast<ULONG>(entry.size()), reinterpret_cast<LPENTRYID>(const_cast<char*>(entry.data())),
                          &IID_IMessage, flags, &type, &unknown);
    if (SUCCEEDED(result)) *out = TRef<IMessage>(static_cast<IMessage*>(unknown));
    return result;
  }
  TRef<IMessage> Open(const std::string& unique, ULONG flags = MAPI_MODIFY) {
    TRef<IMessage> message;
    const HRESULT result = OpenMessage(unique, flags, &message);
    if (FAILED(result)) ADD_FAILURE() << "OpenEntry: " << ResultName(result);
    return message;
  }
  // The path of a message's file now (nullopt when it is gone).
  std::optional<std::string> PathOf(const std::string& unique, const std::string& folder = "") const {
    auto file = maildir_->Find(folder, unique);
    if (!file) return std::nullopt;
    return file->path;
  }
  // Every message file of a folder, from cur/ and new/.
  std::vector<TMessageFile> Files(const std::string& folder = "") const { return maildir_->Messages(folder); }

  win::TTestMachine machine_;
  TRef<IMAPISession> session_;
  TRef<IMsgStore> store_;
  TProfile profile_;
  TStoreConfig store_config_;
  std::unique_ptr<TMaildir> maildir_;
};

}  // namespace corvid::mapi::test
