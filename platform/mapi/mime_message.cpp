#include "platform/mapi/mime_message.h"

#include <gmime/gmime.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "platform/mapi/mapi_error.h"

#if defined(__SANITIZE_ADDRESS__)
#define CORVID_MAPI_LSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CORVID_MAPI_LSAN 1
#endif
#endif
#ifndef CORVID_MAPI_LSAN
#define CORVID_MAPI_LSAN 0
#endif
#if CORVID_MAPI_LSAN
#include <sanitizer/lsan_interface.h>
#endif

namespace corvid::mapi {
namespace {

// ---------------------------------------------------------------------------
// A GMime stream over a TReadFile (reading) or a TWriteFile (writing), so the
// parser, the decoders and the writer all go through TMailFiles. C++
// exceptions must not cross GMime's C frames: a failure is kept in the
// shared TStreamSource and the stream answers -1.

struct TStreamSource {
  std::shared_ptr<TReadFile> file;
  TWriteFile* writer = nullptr;
  std::mutex mutex;
  HRESULT error = S_OK;
  std::string message;

  void Fail() {
    std::string text;
    const HRESULT code = ResultFromException(&text);
    std::lock_guard lock(mutex);
    if (error == S_OK) {
      error = code;
      message = text;
    }
  }
  void RaiseIfFailed() {
    std::lock_guard lock(mutex);
    if (error != S_OK) throw EMapiError(error, message);
  }
};

struct CorvidStream {
  GMimeStream parent;
  std::shared_ptr<TStreamSource>* source;
};
struct CorvidStreamClass {
  GMimeStreamClass parent_class;
};

GType CorvidStreamType();

TStreamSource& SourceOf(GMimeStream* stream) { return **reinterpret_cast<CorvidStream*>(stream)->source; }

gint64 EndOf(GMimeStream* stream) {
  if (stream->bound_end != -1) return stream->bound_end;
  TStreamSource& source = SourceOf(stream);
  return source.file ? static_cast<gint64>(source.file->Size()) : stream->position;
}

ssize_t StreamRead(GMimeStream* stream, char* buffer, size_t length) {
  TStreamSource& source = SourceOf(stream);
  if (!source.file) return -1;
  try {
    const gint64 end = EndOf(stream);
    if (stream->position >= end) return 0;
    const size_t wanted = std::min<uint64_t>(length, static_cast<uint64_t>(end - stream->position));
    const size_t got = source.file->ReadAt(static_cast<uint64_t>(stream->position), buffer, wanted);
    stream->position += static_cast<gint64>(got);
    return static_cast<ssize_t>(got);
  } catch (...) {
    source.Fail();
    return -1;
  }
}

ssize_t StreamWrite(GMimeStream* stream, const char* buffer, size_t length) {
  TStreamSource& source = SourceOf(stream);
  if (source.writer == nullptr) return -1;
  try {
    source.writer->Append(buffer, length);
    stream->position += static_cast<gint64>(length);
    return static_cast<ssize_t>(length);
  } catch (...) {
    source.Fail();
    return -1;
  }
}

int StreamFlush(GMimeStream*) { return 0; }
int StreamClose(GMimeStream*) { return 0; }

gboolean StreamEos(GMimeStream* stream) {
  TStreamSource& source = SourceOf(stream);
  if (!source.file) return FALSE;
  try {
    return stream->position >= EndOf(stream);
  } catch (...) {
    source.Fail();
    return TRUE;
  }
}

int StreamReset(GMimeStream* stream) {
  stream->position = stream->bound_start;
  return 0;
}

gint64 StreamSeek(GMimeStream* stream, gint64 offset, GMimeSeekWhence whence) {
  TStreamSource& source = SourceOf(stream);
  gint64 target = 0;
  try {
    switch (whence) {
      case GMIME_STREAM_SEEK_SET:
        target = offset;
        break;
      case GMIME_STREAM_SEEK_CUR:
        target = stream->position + offset;
        break;
      case GMIME_STREAM_SEEK_END:
        target = EndOf(stream) + offset;
        break;
    }
  } catch (...) {
    source.Fail();
    return -1;
  }
  if (target < stream->bound_start) return -1;
  if (stream->bound_end != -1 && target > stream->bound_end) return -1;
  stream->position = target;
  return target;
}

gint64 StreamTell(GMimeStream* stream) { return stream->position; }

gint64 StreamLength(GMimeStream* stream) {
  try {
    return EndOf(stream) - stream->bound_start;
  } catch (...) {
    SourceOf(stream).Fail();
    return -1;
  }
}

GMimeStream* NewCorvidStream(std::shared_ptr<TStreamSource> source, gint64 start, gint64 end) {
  auto* stream = static_cast<CorvidStream*>(g_object_new(CorvidStreamType(), nullptr));
  *stream->source = std::move(source);
  g_mime_stream_construct(&stream->parent, start, end);
  return &stream->parent;
}

GMimeStream* StreamSubstream(GMimeStream* stream, gint64 start, gint64 end) {
  return NewCorvidStream(*reinterpret_cast<CorvidStream*>(stream)->source, start, end);
}

void StreamInit(GTypeInstance* instance, gpointer) {
  reinterpret_cast<CorvidStream*>(instance)->source = new std::shared_ptr<TStreamSource>();
}

GObjectClass* parent_stream_class = nullptr;

void StreamFinalize(GObject* object) {
  delete reinterpret_cast<CorvidStream*>(object)->source;
  parent_stream_class->finalize(object);
}

void StreamClassInit(gpointer klass, gpointer) {
  parent_stream_class = G_OBJECT_CLASS(g_type_class_peek_parent(klass));
  G_OBJECT_CLASS(klass)->finalize = StreamFinalize;
  GMimeStreamClass* stream_class = GMIME_STREAM_CLASS(klass);
  stream_class->read = StreamRead;
  stream_class->write = StreamWrite;
  stream_class->flush = StreamFlush;
  stream_class->close = StreamClose;
  stream_class->eos = StreamEos;
  stream_class->reset = StreamReset;
  stream_class->seek = StreamSeek;
  stream_class->tell = StreamTell;
  stream_class->length = StreamLength;
  stream_class->substream = StreamSubstream;
}

GType CorvidStreamType() {
  static const GType type = [] {
    // A name of its own per copy of this code: the stand-in library and a
    // program that links the store directly may share one process.
    static char name[64];
    std::snprintf(name, sizeof name, "CorvidMapiStream%p", static_cast<void*>(name));
    GTypeInfo info{};
    info.class_size = sizeof(CorvidStreamClass);
    info.class_init = StreamClassInit;
    info.instance_size = sizeof(CorvidStream);
    info.instance_init = StreamInit;
    return g_type_register_static(GMIME_TYPE_STREAM, name, &info, GTypeFlags(0));
  }();
  return type;
}

// ---------------------------------------------------------------------------
// Parts that are written back as they were read. GMime's own part writer
// sends even unchanged content through a line-end filter, which turns the
// CR LF inside an 8-bit or binary part into LF (or adds CRs): the bytes of
// an attachment nobody touched would change. The parser makes leaf parts
// of this class instead; it writes unchanged content as the file had it and
// leaves content that was replaced (marked by SetData) to GMime.

constexpr const char kNewContentKey[] = "corvid-new-content";

struct CorvidPart {
  GMimePart parent;
};
struct CorvidPartClass {
  GMimePartClass parent_class;
};

GMimeObjectClass* parent_part_class = nullptr;

ssize_t PartWriteToStream(GMimeObject* object, GMimeFormatOptions* options, gboolean content_only,
                          GMimeStream* stream) {
  GMimePart* part = GMIME_PART(object);
  GMimeDataWrapper* content = g_mime_part_get_content(part);
  GMimeStream* raw = content != nullptr ? g_mime_data_wrapper_get_stream(content) : nullptr;
  if (raw == nullptr || g_object_get_data(G_OBJECT(object), kNewContentKey) != nullptr ||
      g_mime_data_wrapper_get_encoding(content) != g_mime_part_get_content_encoding(part)) {
    return parent_part_class->write_to_stream(object, options, content_only, stream);
  }
  ssize_t total = 0;
  if (!content_only) {
    const ssize_t headers = g_mime_header_list_write_to_stream(g_mime_object_get_header_list(object), options, stream);
    if (headers == -1) return -1;
    const ssize_t end = g_mime_stream_write_string(stream, g_mime_format_options_get_newline(options));
    if (end == -1) return -1;
    total += headers + end;
  }
  if (g_mime_stream_reset(raw) == -1) return -1;
  const gint64 copied = g_mime_stream_write_to_stream(raw, stream);
  if (copied == -1) return -1;
  return total + static_cast<ssize_t>(copied);
}

void PartClassInit(gpointer klass, gpointer) {
  parent_part_class = GMIME_OBJECT_CLASS(g_type_class_peek_parent(klass));
  GMIME_OBJECT_CLASS(klass)->write_to_stream = PartWriteToStream;
}

GType CorvidPartType() {
  static const GType type = [] {
    static char name[64];
    std::snprintf(name, sizeof name, "CorvidMapiPart%p", static_cast<void*>(name));
    GTypeInfo info{};
    info.class_size = sizeof(CorvidPartClass);
    info.class_init = PartClassInit;
    info.instance_size = sizeof(CorvidPart);
    return g_type_register_static(GMIME_TYPE_PART, name, &info, GTypeFlags(0));
  }();
  return type;
}

void InitGMime() {
  static std::once_flag once;
  std::call_once(once, [] {
#if CORVID_MAPI_LSAN
    // GMime's type table lives as long as the process, but the entries
    // that the registrations below replace are dropped without being
    // freed: not a leak of ours to report.
    __lsan_disable();
#endif
    g_mime_init();
    // Every leaf part, text parts included (their text is read through
    // the same streams as any other part's).
    g_mime_object_register_type("*", "*", CorvidPartType());
    g_mime_object_register_type("text", "*", CorvidPartType());
#if CORVID_MAPI_LSAN
    __lsan_enable();
#endif
  });
}

// Mends what the parser keeps in a form its writer would damage:
// - A header value is kept as a C string, cut at a NUL byte; so is the
//   last header of a file that ends without a line end. Written back, the
//   next header would join that line. Such values get their line end back.
// - A multipart that the file left without its closing boundary ends its
//   last part at the end of the file; the writer adds a line end after
//   every part, which would grow that part by one line end at each write.
//   Written with its closing boundary, the last part keeps its bytes.
// - Registrations by major type reach only the major types GMime has an
//   entry for: an image, audio, video or unknown part comes out a plain
//   GMimePart, whose writer changes the line ends of its content. It
//   becomes one of ours: the instance layout is the same (our class adds no
//   fields), only the writer differs.
void EndHeaderLines(GMimeObject* object, const char* newline) {
  GMimeHeaderList* list = g_mime_object_get_header_list(object);
  const int count = list != nullptr ? g_mime_header_list_get_count(list) : 0;
  for (int i = 0; i < count; ++i) {
    GMimeHeader* header = g_mime_header_list_get_header_at(list, i);
    const char* raw = g_mime_header_get_raw_value(header);
    if (raw == nullptr) continue;
    const size_t length = std::strlen(raw);
    if (length > 0 && raw[length - 1] == '\n') continue;
    // Not g_mime_header_set_raw_value: it reads the value again, and of a
    // repeated header (two Content-Transfer-Encoding lines) this one would
    // then win over the one the parser took. Only the written line changes.
    char* ended = g_strconcat(raw, newline, nullptr);
    g_free(header->raw_value);
    header->raw_value = ended;
  }
}

void MendParsed(GMimeObject* object, const char* newline) {
  if (object == nullptr) return;
  EndHeaderLines(object, newline);
  if (GMIME_IS_MESSAGE(object)) {
    MendParsed(g_mime_message_get_mime_part(GMIME_MESSAGE(object)), newline);
  } else if (GMIME_IS_MESSAGE_PART(object)) {
    GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
    if (inner != nullptr) MendParsed(GMIME_OBJECT(inner), newline);
  } else if (GMIME_IS_MULTIPART(object)) {
    GMimeMultipart* multipart = GMIME_MULTIPART(object);
    multipart->write_end_boundary = TRUE;
    const int count = g_mime_multipart_get_count(multipart);
    for (int i = 0; i < count; ++i) MendParsed(g_mime_multipart_get_part(multipart, i), newline);
  } else if (G_OBJECT_TYPE(object) == GMIME_TYPE_PART) {
    static_assert(sizeof(CorvidPart) == sizeof(GMimePart));
    // An instance holds a reference on its class, dropped when it is freed.
    GTypeInstance* instance = reinterpret_cast<GTypeInstance*>(object);
    GTypeClass* plain = instance->g_class;
    instance->g_class = static_cast<GTypeClass*>(g_type_class_ref(CorvidPartType()));
    g_type_class_unref(plain);
  }
}

// Owns one GObject reference.
template <typename T>
struct TGRef {
  T* p = nullptr;
  TGRef() = default;
  explicit TGRef(T* owned) : p(owned) {}
  TGRef(const TGRef&) = delete;
  TGRef& operator=(const TGRef&) = delete;
  TGRef(TGRef&& other) noexcept : p(other.p) { other.p = nullptr; }
  ~TGRef() {
    if (p != nullptr) g_object_unref(p);
  }
  T* get() const { return p; }
};

std::string TakeString(char* text) {
  if (text == nullptr) return {};
  std::string out = text;
  g_free(text);
  return out;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(begin, end - begin);
}

std::string Unfold(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\r' || c == '\n') continue;
    out += c == '\t' ? ' ' : c;
  }
  return out;
}

// ---------------------------------------------------------------------------
// Stored properties in headers.

constexpr const char kPropertyHeader[] = "X-MAPI-Property";
constexpr const char kNamedHeader[] = "X-MAPI-Named-Property";
constexpr const char kEnvelopeHeader[] = "X-MAPI-Envelope-To";
// Longer values would make header lines that mail programs refuse.
constexpr size_t kMaxStoredValueLength = 900;

std::string PercentEncode(const std::string& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (c > 0x20 && c < 0x7F && c != '%') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kDigits[c >> 4];
      out += kDigits[c & 15];
    }
  }
  return out;
}

std::optional<std::string> PercentDecode(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    auto bytes = BytesFromHex(text.substr(i + 1, 2));
    if (!bytes || bytes->size() != 1) return std::nullopt;
    out += *bytes;
    i += 2;
  }
  return out;
}

std::string FormatValue(const TProp& prop) {
  char number[32];
  switch (prop.Type()) {
    case PT_I2:
    case PT_LONG:
    case PT_BOOLEAN:
    case PT_ERROR:
    case PT_I8:
    case PT_SYSTIME:
    case PT_CURRENCY:
      std::snprintf(number, sizeof number, "%lld", static_cast<long long>(prop.number));
      return number;
    case PT_DOUBLE:
    case PT_R4:
    case PT_APPTIME:
      std::snprintf(number, sizeof number, "%.17g", prop.real);
      return number;
    case PT_STRING8:
      return PercentEncode(prop.bytes);
    default:
      return HexOf(prop.bytes);
  }
}

std::optional<TProp> ParseValue(ULONG tag, const std::string& text) {
  TProp prop;
  prop.tag = tag;
  switch (PROP_TYPE(tag)) {
    case PT_I2:
    case PT_LONG:
    case PT_BOOLEAN:
    case PT_ERROR:
    case PT_I8:
    case PT_SYSTIME:
    case PT_CURRENCY: {
      char* end = nullptr;
      prop.number = std::strtoll(text.c_str(), &end, 10);
      if (text.empty() || *end != '\0') return std::nullopt;
      return prop;
    }
    case PT_DOUBLE:
    case PT_R4:
    case PT_APPTIME: {
      char* end = nullptr;
      prop.real = std::strtod(text.c_str(), &end);
      if (text.empty() || *end != '\0') return std::nullopt;
      return prop;
    }
    case PT_STRING8: {
      auto bytes = PercentDecode(text);
      if (!bytes) return std::nullopt;
      prop.bytes = *bytes;
      return prop;
    }
    case PT_BINARY:
    case PT_CLSID:
    case PT_UNICODE: {
      auto bytes = BytesFromHex(text);
      if (!bytes) return std::nullopt;
      prop.bytes = *bytes;
      return prop;
    }
    default:
      return std::nullopt;
  }
}

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c))) {
      if (!word.empty()) words.push_back(std::move(word));
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty()) words.push_back(std::move(word));
  return words;
}

std::string FormatNamed(const TNamedKey& key, const TProp& value) {
  char type[8];
  std::snprintf(type, sizeof type, "%04X", static_cast<unsigned>(value.Type()));
  std::string kind = key.kind == MNID_ID ? "id:" + std::to_string(key.id) : "name:" + PercentEncode(key.name);
  return FormatGuid(key.guid) + " " + kind + " " + type + " " + FormatValue(value);
}

std::optional<std::pair<TNamedKey, TProp>> ParseNamed(const std::string& text) {
  const std::vector<std::string> words = Words(text);
  if (words.size() != 3 && words.size() != 4) return std::nullopt;
  auto guid = ParseGuid(words[0]);
  if (!guid) return std::nullopt;
  TNamedKey key;
  key.guid = *guid;
  if (words[1].rfind("id:", 0) == 0) {
    key.kind = MNID_ID;
    char* end = nullptr;
    key.id = static_cast<LONG>(std::strtol(words[1].c_str() + 3, &end, 10));
    if (*end != '\0') return std::nullopt;
  } else if (words[1].rfind("name:", 0) == 0) {
    auto name = PercentDecode(words[1].substr(5));
    if (!name) return std::nullopt;
    key.kind = MNID_STRING;
    key.name = *name;
  } else {
    return std::nullopt;
  }
  char* end = nullptr;
  const unsigned long type = std::strtoul(words[2].c_str(), &end, 16);
  if (*end != '\0' || !IsKeptType(static_cast<ULONG>(type))) return std::nullopt;
  auto value = ParseValue(static_cast<ULONG>(type), words.size() == 4 ? words[3] : std::string());
  if (!value) return std::nullopt;
  return std::make_pair(key, *value);
}

// The headers of one object with a given name, as (index, raw value).
std::vector<std::pair<int, std::string>> HeadersNamed(GMimeObject* object, const char* name) {
  std::vector<std::pair<int, std::string>> found;
  GMimeHeaderList* list = g_mime_object_get_header_list(object);
  const int count = g_mime_header_list_get_count(list);
  for (int i = 0; i < count; ++i) {
    GMimeHeader* header = g_mime_header_list_get_header_at(list, i);
    const char* header_name = g_mime_header_get_name(header);
    if (header_name != nullptr && g_ascii_strcasecmp(header_name, name) == 0) {
      const char* raw = g_mime_header_get_raw_value(header);
      found.emplace_back(i, raw != nullptr ? Trim(Unfold(raw)) : std::string());
    }
  }
  return found;
}

void RemoveHeadersWhere(GMimeObject* object, const char* name, const std::function<bool(const std::string&)>& match) {
  auto headers = HeadersNamed(object, name);
  GMimeHeaderList* list = g_mime_object_get_header_list(object);
  for (auto it = headers.rbegin(); it != headers.rend(); ++it) {
    if (match(it->second)) g_mime_header_list_remove_at(list, it->first);
  }
}

std::vector<TProp> StoredPropsOf(GMimeObject* object) {
  std::vector<TProp> props;
  for (const auto& [index, value] : HeadersNamed(object, kPropertyHeader)) {
    if (auto prop = ParseStoredProp(value)) props.push_back(*prop);
  }
  return props;
}

void SetStoredPropOf(GMimeObject* object, const TProp& prop) {
  const std::string text = FormatStoredProp(prop);
  Require(text.size() <= kMaxStoredValueLength, MAPI_E_TOO_BIG, "The value is too large to keep with the message");
  const ULONG id = PROP_ID(prop.tag);
  RemoveHeadersWhere(object, kPropertyHeader, [id](const std::string& value) {
    auto old = ParseStoredProp(value);
    return old && PROP_ID(old->tag) == id;
  });
  g_mime_object_append_header(object, kPropertyHeader, text.c_str(), nullptr);
}

void RemoveStoredPropOf(GMimeObject* object, ULONG id) {
  RemoveHeadersWhere(object, kPropertyHeader, [id](const std::string& value) {
    auto old = ParseStoredProp(value);
    return old && PROP_ID(old->tag) == id;
  });
}

// ---------------------------------------------------------------------------
// Decoded data.

class TGMimeSource : public TByteSource {
 public:
  TGMimeSource(GMimeStream* stream, std::shared_ptr<TStreamSource> source, bool decodable)
      : stream_(stream), source_(std::move(source)), decodable_(decodable) {}
  ~TGMimeSource() override { g_object_unref(stream_); }

  size_t Read(void* buffer, size_t length) override {
    Require(decodable_, MAPI_E_CORRUPT_DATA, "The attachment's transfer encoding is unknown; its data cannot be decoded");
    if (length == 0) return 0;
    for (;;) {
      const ssize_t got = g_mime_stream_read(stream_, static_cast<char*>(buffer), length);
      if (got > 0) return static_cast<size_t>(got);
      if (got < 0) {
        if (source_) source_->RaiseIfFailed();
        throw EMapiError(STG_E_READFAULT, "Cannot read the attachment's data");
      }
      if (g_mime_stream_eos(stream_)) return 0;
    }
  }

 private:
  GMimeStream* stream_;
  std::shared_ptr<TStreamSource> source_;
  bool decodable_;
};

bool IsKnownEncodingName(const std::string& name) {
  static const char* const kNames[] = {"7bit", "8bit", "binary", "base64", "quoted-printable", "x-uuencode",
                                       "uuencode", "x-uue", "7-bit", "8-bit"};
  const std::string lower = Lower(Trim(name));
  for (const char* known : kNames) {
    if (lower == known) return true;
  }
  return false;
}

bool IsDecodable(GMimeObject* object) {
  const char* encoding = g_mime_object_get_header(object, "Content-Transfer-Encoding");
  return encoding == nullptr || Trim(encoding).empty() || IsKnownEncodingName(encoding);
}

std::string MimeTypeOf(GMimeObject* object) {
  GMimeContentType* type = g_mime_object_get_content_type(object);
  if (type == nullptr) return "text/plain";
  return Lower(TakeString(g_mime_content_type_get_mime_type(type)));
}

// Media types and their usual extensions, both ways: a new attachment's
// type from its name (the first entry of its extension), the extension of a
// made-up name from a part's type (the first entry of its type; aliases
// come after the canonical entries).
struct TMediaType {
  const char* extension;
  const char* type;
};
constexpr TMediaType kMediaTypes[] = {
    {".zip", "application/zip"},
    {".pdf", "application/pdf"},
    {".txt", "text/plain"},
    {".html", "text/html"},
    {".htm", "text/html"},
    {".csv", "text/csv"},
    {".ics", "text/calendar"},
    {".vcf", "text/vcard"},
    {".xml", "application/xml"},
    {".json", "application/json"},
    {".rtf", "application/rtf"},
    {".jpg", "image/jpeg"},
    {".jpeg", "image/jpeg"},
    {".png", "image/png"},
    {".gif", "image/gif"},
    {".bmp", "image/bmp"},
    {".tif", "image/tiff"},
    {".webp", "image/webp"},
    {".svg", "image/svg+xml"},
    {".mp3", "audio/mpeg"},
    {".wav", "audio/wav"},
    {".mp4", "video/mp4"},
    {".jar", "application/java-archive"},
    {".gz", "application/gzip"},
    {".tar", "application/x-tar"},
    {".7z", "application/x-7z-compressed"},
    {".doc", "application/msword"},
    {".xls", "application/vnd.ms-excel"},
    {".ppt", "application/vnd.ms-powerpoint"},
    {".docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
    {".xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
    {".pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
    {".odt", "application/vnd.oasis.opendocument.text"},
    {".ods", "application/vnd.oasis.opendocument.spreadsheet"},
    {".bin", "application/octet-stream"},
    // Aliases senders write.
    {".zip", "application/x-zip-compressed"},
    {".pdf", "application/x-pdf"},
    {".jpg", "image/jpg"},
    {".jpg", "image/pjpeg"},
    {".xml", "text/xml"},
    {".rtf", "text/rtf"},
    {".vcf", "text/x-vcard"},
    {".gz", "application/x-gzip"},
};

std::string MimeTypeForName(const std::string& name) {
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos) {
    const std::string extension = Lower(name.substr(dot));
    for (const TMediaType& entry : kMediaTypes) {
      if (extension == entry.extension) return entry.type;
    }
  }
  return "application/octet-stream";
}

// The name offered for an attachment whose part names no file.
std::string MadeUpName(const std::string& mime_type) {
  const std::string type = Lower(mime_type);
  for (const TMediaType& entry : kMediaTypes) {
    if (type == entry.type) return std::string("attachment") + entry.extension;
  }
  return type.rfind("text/", 0) == 0 ? "attachment.txt" : "attachment.bin";
}

// ---------------------------------------------------------------------------
// File names as mail readers read them.
//
// GMime joins the base64 text of adjacent encoded words before decoding it,
// so the padding that ends one word ends the whole name there, and it
// converts every word on its own, so a character split across two words is
// lost. Both are common in the folded quoted names that many programs
// write ("=?utf-8?b?...=?=\n =?utf-8?b?...?="). Such names are decoded here
// from the header as the file has it: each word on its own, the bytes of
// adjacent words in one charset joined before they are converted.

// The value of parameter `name` of a header value (unfolded), unquoted;
// continuations (name*0, name*1, ...) joined. nullopt when it is missing or
// written in RFC 2231's extended form, which GMime reads right.
std::optional<std::string> RawParameter(const std::string& value, const std::string& name) {
  std::map<std::string, std::string> params;
  size_t at = value.find(';');
  while (at != std::string::npos && at < value.size()) {
    ++at;  // the ';'
    while (at < value.size() && (value[at] == ' ' || value[at] == '\t' || value[at] == ';')) ++at;
    const size_t equals = value.find_first_of("=;", at);
    if (equals == std::string::npos || value[equals] == ';') {
      at = equals;
      continue;
    }
    const std::string attribute = Lower(Trim(value.substr(at, equals - at)));
    at = equals + 1;
    while (at < value.size() && (value[at] == ' ' || value[at] == '\t')) ++at;
    std::string text;
    if (at < value.size() && value[at] == '"') {
      for (++at; at < value.size() && value[at] != '"'; ++at) {
        if (value[at] == '\\' && at + 1 < value.size()) ++at;
        text += value[at];
      }
      at = value.find(';', at);
    } else {
      const size_t end = value.find(';', at);
      text = Trim(value.substr(at, end == std::string::npos ? std::string::npos : end - at));
      at = end;
    }
    params.emplace(attribute, std::move(text));  // the first of a repeated one
  }
  const std::string key = Lower(name);
  if (params.count(key + "*") != 0 || params.count(key + "*0*") != 0) return std::nullopt;
  if (auto it = params.find(key); it != params.end()) return it->second;
  std::optional<std::string> joined;
  for (int i = 0;; ++i) {
    auto it = params.find(key + "*" + std::to_string(i));
    if (it == params.end()) break;
    if (!joined) joined.emplace();
    joined->append(it->second);
  }
  return joined;
}

std::optional<std::string> ToUtf8(const std::string& bytes, const std::string& charset) {
  const char* iconv_name = g_mime_charset_iconv_name(charset.c_str());
  gsize written = 0;
  gchar* converted = g_convert(bytes.data(), static_cast<gssize>(bytes.size()), "UTF-8",
                               iconv_name != nullptr ? iconv_name : charset.c_str(), nullptr, &written, nullptr);
  if (converted == nullptr) return std::nullopt;
  std::string out(converted, written);
  g_free(converted);
  return out;
}

// The length of the encoded word at `at` ("=?charset?b?payload?=", its
// parts without blanks or '?'), 0 when none starts there. Each part ends at
// the next '?' or blank, so trying every "=?" of a hostile header stays
// linear.
size_t EncodedWordAt(const std::string& text, size_t at) {
  auto part_end = [&text](size_t from) {
    while (from < text.size() && text[from] != '?' && text[from] != ' ' && text[from] != '\t') ++from;
    return from;
  };
  if (text.compare(at, 2, "=?") != 0) return 0;
  const size_t charset_end = part_end(at + 2);
  if (charset_end == at + 2 || charset_end + 2 >= text.size() || text[charset_end] != '?' ||
      text[charset_end + 2] != '?') {
    return 0;
  }
  const char encoding = static_cast<char>(std::tolower(static_cast<unsigned char>(text[charset_end + 1])));
  if (encoding != 'b' && encoding != 'q') return 0;
  const size_t payload_end = part_end(charset_end + 3);
  if (payload_end + 1 >= text.size() || text[payload_end] != '?' || text[payload_end + 1] != '=') return 0;
  return payload_end + 2 - at;
}

std::string DecodeWordPayload(char encoding, const std::string& payload) {
  std::string bytes;
  if (encoding == 'b') {
    bytes.resize(payload.size() / 4 * 3 + 3);
    gint state = 0;
    guint save = 0;
    bytes.resize(g_base64_decode_step(payload.data(), payload.size(), reinterpret_cast<guchar*>(bytes.data()),
                                      &state, &save));
    return bytes;
  }
  auto hex = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(c) - 'a' + 10; };
  for (size_t i = 0; i < payload.size(); ++i) {
    if (payload[i] == '_') {
      bytes += ' ';
    } else if (payload[i] == '=' && i + 2 < payload.size() && std::isxdigit(static_cast<unsigned char>(payload[i + 1])) &&
               std::isxdigit(static_cast<unsigned char>(payload[i + 2]))) {
      bytes += static_cast<char>(hex(payload[i + 1]) * 16 + hex(payload[i + 2]));
      i += 2;
    } else {
      bytes += payload[i];
    }
  }
  return bytes;
}

// Text with RFC 2047 encoded words, as UTF-8. Blanks between two encoded
// words go; other text stays as it is. nullopt for a charset that cannot
// be converted or bytes that are not in it.
std::optional<std::string> DecodeEncodedWords(const std::string& text) {
  struct TRun {
    bool encoded = false;
    std::string charset;  // lower case, without a language
    std::string bytes;
  };
  std::vector<TRun> runs;
  std::string plain;
  size_t at = 0;
  while (at < text.size()) {
    size_t start = text.find("=?", at);
    size_t length = 0;
    while (start != std::string::npos && (length = EncodedWordAt(text, start)) == 0) start = text.find("=?", start + 1);
    if (start == std::string::npos) start = text.size();
    plain += text.substr(at, start - at);
    if (start == text.size()) break;
    const bool between_words = !runs.empty() && runs.back().encoded && Trim(plain).empty();
    if (!plain.empty() && !between_words) runs.push_back({false, {}, plain});
    plain.clear();
    const size_t charset_end = text.find('?', start + 2);
    std::string charset = Lower(text.substr(start + 2, charset_end - start - 2));
    charset = charset.substr(0, charset.find('*'));  // RFC 2231 language
    const char encoding = static_cast<char>(std::tolower(static_cast<unsigned char>(text[charset_end + 1])));
    const std::string bytes =
        DecodeWordPayload(encoding, text.substr(charset_end + 3, start + length - 2 - (charset_end + 3)));
    if (!runs.empty() && runs.back().encoded && runs.back().charset == charset) {
      runs.back().bytes += bytes;
    } else {
      runs.push_back({true, charset, bytes});
    }
    at = start + length;
  }
  if (!plain.empty()) runs.push_back({false, {}, plain});
  std::string out;
  for (const TRun& run : runs) {
    if (!run.encoded) {
      out += run.bytes;
      continue;
    }
    std::optional<std::string> converted = ToUtf8(run.bytes, run.charset);
    if (!converted) return std::nullopt;
    out += *converted;
  }
  return out;
}

// The raw value of header `name` of an object, unfolded: the last one, as
// GMime takes the last of a repeated Content-Type or Content-Disposition.
std::optional<std::string> RawHeader(GMimeObject* object, const char* name) {
  GMimeHeaderList* list = g_mime_object_get_header_list(object);
  const int count = list != nullptr ? g_mime_header_list_get_count(list) : 0;
  for (int i = count - 1; i >= 0; --i) {
    GMimeHeader* header = g_mime_header_list_get_header_at(list, i);
    const char* header_name = g_mime_header_get_name(header);
    if (header_name == nullptr || g_ascii_strcasecmp(header_name, name) != 0) continue;
    const char* raw = g_mime_header_get_raw_value(header);
    return Unfold(raw != nullptr ? raw : "");
  }
  return std::nullopt;
}

// One name parameter: GMime's reading, unless the header has encoded words
// there that GMime would cut.
std::optional<std::string> NameParameter(GMimeObject* object, const char* header, GMimeParamList* params,
                                         const char* name) {
  GMimeParam* param = params != nullptr ? g_mime_param_list_get_parameter(params, name) : nullptr;
  const char* value = param != nullptr ? g_mime_param_get_value(param) : nullptr;
  if (value == nullptr) return std::nullopt;
  if (std::optional<std::string> raw = RawHeader(object, header)) {
    std::optional<std::string> written = RawParameter(*raw, name);
    if (written && written->find("=?") != std::string::npos) {
      if (std::optional<std::string> decoded = DecodeEncodedWords(*written)) return decoded;
    }
  }
  return std::string(value);
}

// The file name a part gives: Content-Disposition's filename, else
// Content-Type's name; empty when it gives none.
std::string FileNameOf(GMimeObject* object) {
  GMimeContentDisposition* disposition = g_mime_object_get_content_disposition(object);
  if (disposition != nullptr) {
    std::optional<std::string> name = NameParameter(object, "Content-Disposition",
                                                    g_mime_content_disposition_get_parameters(disposition), "filename");
    if (name) return *name;
  }
  GMimeContentType* type = g_mime_object_get_content_type(object);
  if (type != nullptr) {
    std::optional<std::string> name =
        NameParameter(object, "Content-Type", g_mime_content_type_get_parameters(type), "name");
    if (name) return *name;
  }
  return {};
}

bool HasAttachmentDisposition(GMimeObject* object) {
  GMimeContentDisposition* disposition = g_mime_object_get_content_disposition(object);
  return disposition != nullptr && g_mime_content_disposition_is_attachment(disposition);
}

// A leaf part that is an attachment by value: it has a file name, or its
// sender marked it as one, or its data cannot be decoded.
bool IsAttachmentPart(GMimeObject* object) {
  return !FileNameOf(object).empty() || HasAttachmentDisposition(object) || !IsDecodable(object);
}

// Real clients write non-ASCII names in UTF-8 (GMime would pick the
// smallest charset that fits).
void ForceUtf8(GMimeParamList* list, const char* name, GMimeParamEncodingMethod method) {
  GMimeParam* param = g_mime_param_list_get_parameter(list, name);
  if (param != nullptr) {
    g_mime_param_set_encoding_method(param, method);
    g_mime_param_set_charset(param, "utf-8");
  }
}

// The part's Content-Disposition, made "attachment" when it has none.
GMimeContentDisposition* DispositionOf(GMimeObject* object) {
  GMimeContentDisposition* disposition = g_mime_object_get_content_disposition(object);
  if (disposition != nullptr) return disposition;
  GMimeContentDisposition* fresh = g_mime_content_disposition_new();
  g_mime_content_disposition_set_disposition(fresh, GMIME_DISPOSITION_ATTACHMENT);
  g_mime_object_set_content_disposition(object, fresh);
  g_object_unref(fresh);
  return g_mime_object_get_content_disposition(object);
}

void MarkAttachment(GMimeObject* object) {
  g_mime_content_disposition_set_disposition(DispositionOf(object), GMIME_DISPOSITION_ATTACHMENT);
}

void SetFileName(GMimeObject* object, const std::string& name) {
  GMimeContentDisposition* disposition = DispositionOf(object);
  g_mime_content_disposition_set_parameter(disposition, "filename", name.c_str());
  ForceUtf8(g_mime_content_disposition_get_parameters(disposition), "filename", GMIME_PARAM_ENCODING_METHOD_RFC2231);
  GMimeContentType* type = g_mime_object_get_content_type(object);
  g_mime_content_type_set_parameter(type, "name", name.c_str());
  ForceUtf8(g_mime_content_type_get_parameters(type), "name", GMIME_PARAM_ENCODING_METHOD_RFC2047);
}

void SetMimeType(GMimeObject* object, const std::string& mime_type) {
  const size_t slash = mime_type.find('/');
  Require(slash != std::string::npos && slash > 0 && slash + 1 < mime_type.size(), MAPI_E_INVALID_PARAMETER,
          "A MIME type is written type/subtype");
  GMimeContentType* type = g_mime_object_get_content_type(object);
  g_mime_content_type_set_media_type(type, mime_type.substr(0, slash).c_str());
  g_mime_content_type_set_media_subtype(type, mime_type.substr(slash + 1).c_str());
}

void SetData(GMimePart* part, const std::shared_ptr<TReadFile>& data) {
  auto source = std::make_shared<TStreamSource>();
  source->file = data;
  GMimeStream* stream = NewCorvidStream(source, 0, -1);
  GMimeDataWrapper* wrapper = g_mime_data_wrapper_new_with_stream(stream, GMIME_CONTENT_ENCODING_DEFAULT);
  g_object_unref(stream);
  g_mime_part_set_content(part, wrapper);
  g_object_unref(wrapper);
  g_mime_part_set_content_encoding(part, GMIME_CONTENT_ENCODING_BASE64);
  g_object_set_data(G_OBJECT(part), kNewContentKey, GINT_TO_POINTER(1));
}

// ---------------------------------------------------------------------------
// Recipients.

bool IsTypeToken(const std::string& text) {
  if (text.empty() || !std::isalpha(static_cast<unsigned char>(text[0]))) return false;
  for (char c : text) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') return false;
  }
  return true;
}

struct TAddressItem {
  std::string text;
  bool typed = false;  // text is TYPE:address
};

// Splits a header value at top-level commas; keeps groups ("name: a, b;")
// together and recognises TYPE:address items, which RFC 5322 would read as
// groups.
std::vector<TAddressItem> SplitAddressItems(const std::string& value) {
  std::vector<TAddressItem> items;
  std::string current;
  bool in_quote = false;
  int comment = 0;
  int angle = 0;
  bool in_group = false;
  auto push = [&](bool typed) {
    if (!Trim(current).empty()) items.push_back({Trim(current), typed});
    current.clear();
  };
  for (size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (in_quote) {
      current += c;
      if (c == '\\' && i + 1 < value.size()) {
        current += value[++i];
      } else if (c == '"') {
        in_quote = false;
      }
      continue;
    }
    if (comment > 0) {
      current += c;
      if (c == '\\' && i + 1 < value.size()) {
        current += value[++i];
      } else if (c == '(') {
        ++comment;
      } else if (c == ')') {
        --comment;
      }
      continue;
    }
    if (c == '"') {
      in_quote = true;
    } else if (c == '(') {
      ++comment;
    } else if (c == '<') {
      ++angle;
    } else if (c == '>') {
      angle = std::max(0, angle - 1);
    } else if (angle == 0 && c == ',' && !in_group) {
      push(false);
      continue;
    } else if (angle == 0 && c == ';' && in_group) {
      current += c;
      in_group = false;
      push(false);
      continue;
    } else if (angle == 0 && c == ':' && !in_group) {
      if (IsTypeToken(Trim(current))) {
        size_t end = i + 1;
        while (end < value.size() && value[end] != ',' && value[end] != ';') ++end;
        const std::string rest = value.substr(i + 1, end - i - 1);
        if (!Trim(rest).empty() && rest.find('@') == std::string::npos && rest.find('<') == std::string::npos &&
            rest.find('"') == std::string::npos) {
          current = Trim(current) + ":" + Trim(rest);
          push(true);
          i = end;  // skips the separator too
          continue;
        }
      }
      in_group = true;
    }
    current += c;
  }
  push(false);
  return items;
}

void AddMailboxes(InternetAddressList* list, LONG type, std::vector<TMimeRecipient>* out) {
  if (list == nullptr) return;
  const int count = internet_address_list_length(list);
  for (int i = 0; i < count; ++i) {
    InternetAddress* address = internet_address_list_get_address(list, i);
    if (INTERNET_ADDRESS_IS_GROUP(address)) {
      AddMailboxes(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(address)), type, out);
      continue;
    }
    if (!INTERNET_ADDRESS_IS_MAILBOX(address)) continue;
    TMimeRecipient recipient;
    recipient.type = type;
    const char* name = internet_address_get_name(address);
    const char* addr = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(address));
    recipient.email = addr != nullptr ? addr : "";
    recipient.addr_type = "SMTP";
    const size_t colon = recipient.email.find(':');
    if (colon != std::string::npos && IsTypeToken(recipient.email.substr(0, colon)) &&
        recipient.email.find('@') == std::string::npos) {
      recipient.addr_type = recipient.email.substr(0, colon);
      recipient.email = Trim(recipient.email.substr(colon + 1));
    }
    recipient.display_name = (name != nullptr && *name != '\0') ? name : recipient.email;
    if (recipient.email.empty() && recipient.display_name.empty()) continue;
    out->push_back(std::move(recipient));
  }
}

void AddRecipients(const std::string& raw, LONG type, std::vector<TMimeRecipient>* out) {
  for (const TAddressItem& item : SplitAddressItems(raw)) {
    if (item.typed) {
      const size_t colon = item.text.find(':');
      TMimeRecipient recipient;
      recipient.type = type;
      recipient.addr_type = item.text.substr(0, colon);
      recipient.email = Trim(item.text.substr(colon + 1));
      recipient.display_name = recipient.email;
      out->push_back(std::move(recipient));
      continue;
    }
    // "Name <TYPE:address>": GMime refuses such an address; take it apart
    // here and let GMime decode the name.
    const size_t open = item.text.rfind('<');
    const size_t close = item.text.rfind('>');
    if (open != std::string::npos && close != std::string::npos && close > open) {
      const std::string inside = Trim(item.text.substr(open + 1, close - open - 1));
      const size_t colon = inside.find(':');
      if (colon != std::string::npos && inside.find('@') == std::string::npos &&
          IsTypeToken(inside.substr(0, colon))) {
        TMimeRecipient recipient;
        recipient.type = type;
        recipient.addr_type = inside.substr(0, colon);
        recipient.email = Trim(inside.substr(colon + 1));
        std::string phrase = Trim(item.text.substr(0, open));
        if (phrase.size() >= 2 && phrase.front() == '"' && phrase.back() == '"') {
          std::string unquoted;
          for (size_t i = 1; i + 1 < phrase.size(); ++i) {
            if (phrase[i] == '\\' && i + 2 < phrase.size()) ++i;
            unquoted += phrase[i];
          }
          phrase = unquoted;
        }
        std::string name = TakeString(g_mime_utils_header_decode_phrase(nullptr, phrase.c_str()));
        recipient.display_name = name.empty() ? recipient.email : name;
        out->push_back(std::move(recipient));
        continue;
      }
    }
    InternetAddressList* list = internet_address_list_parse(nullptr, item.text.c_str());
    const size_t before = out->size();
    AddMailboxes(list, type, out);
    if (list != nullptr) g_object_unref(list);
    if (out->size() == before && item.text.find('@') != std::string::npos) {
      // Unparsable but plainly an address: offer it as written.
      out->push_back({type, item.text, "SMTP", item.text});
    }
  }
}

// ---------------------------------------------------------------------------
// Meeting classes.

std::string MeetingClass(const std::string& method, const std::string& text) {
  const std::string upper = Upper(Trim(method));
  if (upper == "REQUEST") return "IPM.Schedule.Meeting.Request";
  if (upper == "CANCEL") return "IPM.Schedule.Meeting.Canceled";
  if (upper == "REPLY") {
    const std::string body = Upper(text);
    if (body.find("PARTSTAT=DECLINED") != std::string::npos) return "IPM.Schedule.Meeting.Resp.Neg";
    if (body.find("PARTSTAT=TENTATIVE") != std::string::npos) return "IPM.Schedule.Meeting.Resp.Tent";
    return "IPM.Schedule.Meeting.Resp.Pos";
  }
  return {};
}

std::string MethodLine(const std::string& text) {
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = Trim(text.substr(at, end - at));
    if (line.size() > 7 && Upper(line.substr(0, 7)) == "METHOD:") return line.substr(7);
    at = end + 1;
  }
  return {};
}

}  // namespace

// ---------------------------------------------------------------------------

std::string FormatStoredProp(const TProp& prop) {
  char tag[16];
  std::snprintf(tag, sizeof tag, "%08X", static_cast<unsigned>(prop.tag));
  return std::string(tag) + " " + FormatValue(prop);
}

std::optional<TProp> ParseStoredProp(const std::string& text) {
  const std::vector<std::string> words = Words(text);
  if (words.empty() || words.size() > 2 || words[0].size() != 8) return std::nullopt;
  char* end = nullptr;
  const unsigned long tag = std::strtoul(words[0].c_str(), &end, 16);
  if (*end != '\0' || !IsKeptType(PROP_TYPE(static_cast<ULONG>(tag)))) return std::nullopt;
  return ParseValue(static_cast<ULONG>(tag), words.size() == 2 ? words[1] : std::string());
}

struct TMimeMessage::TImpl {
  std::shared_ptr<TStreamSource> source;  // of the file parsed (null for a new message)
  GMimeMessage* message = nullptr;
  GMimeNewLineFormat newline = GMIME_NEWLINE_FORMAT_UNIX;
  // Attachment handles: each object keeps one reference here, so its
  // address is never reused while the handle lives.
  std::vector<GMimeObject*> handles;
  std::unordered_map<GMimeObject*, int> handle_of;

  // The attachments, found by one walk of the tree and kept up to date by
  // the changes, so that no lookup, listing or removal walks the tree
  // again: a message of thousands of parts is ordinary hostile input. A
  // part listed once stays listed until it is removed.
  struct TIndex {
    std::vector<GMimeObject*> attachments;  // document order
    std::unordered_set<GMimeObject*> listed;
    // The multipart of every part below the top; the top has none.
    std::unordered_map<GMimeObject*, GMimeMultipart*> parents;
  };
  std::optional<TIndex> index;  // made when first asked for
  uint64_t part_visits = 0;

  ~TImpl() {
    for (GMimeObject* object : handles) g_object_unref(object);
    if (message != nullptr) g_object_unref(message);
  }

  int HandleOf(GMimeObject* object) {
    auto it = handle_of.find(object);
    if (it != handle_of.end()) return it->second;
    g_object_ref(object);
    handles.push_back(object);
    const int handle = static_cast<int>(handles.size());
    handle_of.emplace(object, handle);
    return handle;
  }

  GMimeObject* ObjectOf(int handle) const {
    if (handle < 1 || static_cast<size_t>(handle) > handles.size()) return nullptr;
    return handles[handle - 1];
  }

  void Walk(GMimeObject* object, GMimeMultipart* parent, TIndex* found) {
    if (object == nullptr) return;
    ++part_visits;
    if (parent != nullptr) found->parents.emplace(object, parent);
    bool listed = false;
    if (GMIME_IS_MULTIPART(object)) {
      GMimeMultipart* multipart = GMIME_MULTIPART(object);
      const int count = g_mime_multipart_get_count(multipart);
      for (int i = 0; i < count; ++i) Walk(g_mime_multipart_get_part(multipart, i), multipart, found);
    } else if (GMIME_IS_MESSAGE_PART(object)) {
      listed = true;
    } else if (GMIME_IS_PART(object)) {
      listed = IsAttachmentPart(object);
    }
    if (listed) {
      found->attachments.push_back(object);
      found->listed.insert(object);
    }
  }

  TIndex& Index() {
    if (!index) {
      index.emplace();
      Walk(Top(), nullptr, &*index);
    }
    return *index;
  }

  const std::vector<GMimeObject*>& AttachmentObjects() { return Index().attachments; }

  bool Contains(GMimeObject* object) { return Index().listed.count(object) != 0; }

  // Takes a listed part out of the tree, and a multipart that it leaves
  // empty (not valid MIME) with it.
  void Remove(GMimeObject* object) {
    TIndex& found = Index();
    found.listed.erase(object);
    found.attachments.erase(std::find(found.attachments.begin(), found.attachments.end(), object));
    GMimeObject* target = object;
    for (;;) {
      auto it = found.parents.find(target);
      if (it == found.parents.end()) {
        // The message's whole body was this part (or a multipart left empty).
        SetEmptyBody();
        return;
      }
      GMimeMultipart* parent = it->second;
      found.parents.erase(it);
      g_mime_multipart_remove(parent, target);
      if (g_mime_multipart_get_count(parent) > 0) return;
      target = GMIME_OBJECT(parent);
    }
  }

  // A new part, added as the last part of `parent`, which is the top.
  void Added(GMimeObject* object, GMimeMultipart* parent) {
    if (!index) return;
    index->parents.emplace(object, parent);
    index->attachments.push_back(object);
    index->listed.insert(object);
  }

  TMimeAttachment Describe(GMimeObject* object) {
    TMimeAttachment info;
    info.handle = HandleOf(object);
    info.mime_type = MimeTypeOf(object);
    const char* content_id = g_mime_object_get_content_id(object);
    if (content_id != nullptr) info.content_id = content_id;
    info.stored = StoredPropsOf(object);
    if (GMIME_IS_MESSAGE_PART(object)) {
      info.embedded = true;
      GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
      if (inner != nullptr) {
        const char* subject = g_mime_message_get_subject(inner);
        if (subject != nullptr) info.subject = subject;
      }
      info.file_name = FileNameOf(object);
      return info;
    }
    GMimePart* part = GMIME_PART(object);
    info.file_name = FileNameOf(object);
    if (info.file_name.empty()) {
      info.file_name = MadeUpName(info.mime_type);
      info.name_made_up = true;
    }
    info.decodable = IsDecodable(object);
    GMimeDataWrapper* content = g_mime_part_get_content(part);
    if (content != nullptr) {
      GMimeStream* stream = g_mime_data_wrapper_get_stream(content);
      if (stream != nullptr) {
        const gint64 length = g_mime_stream_length(stream);
        if (length > 0) info.raw_size = static_cast<uint64_t>(length);
      }
    }
    return info;
  }

  std::unique_ptr<TByteSource> Decoded(GMimePart* part) const {
    const bool decodable = IsDecodable(GMIME_OBJECT(part));
    GMimeDataWrapper* content = g_mime_part_get_content(part);
    GMimeStream* raw = content != nullptr ? g_mime_data_wrapper_get_stream(content) : nullptr;
    if (raw == nullptr) {
      return std::make_unique<TGMimeSource>(g_mime_stream_mem_new(), nullptr, decodable);
    }
    // A reader of its own, so that several readers never share a position.
    GMimeStream* own = g_mime_stream_substream(raw, raw->bound_start, raw->bound_end);
    std::shared_ptr<TStreamSource> source;
    if (G_TYPE_CHECK_INSTANCE_TYPE(own, CorvidStreamType())) source = *reinterpret_cast<CorvidStream*>(own)->source;
    const GMimeContentEncoding encoding = g_mime_data_wrapper_get_encoding(content);
    if (encoding == GMIME_CONTENT_ENCODING_BASE64 || encoding == GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE ||
        encoding == GMIME_CONTENT_ENCODING_UUENCODE) {
      GMimeStream* filtered = g_mime_stream_filter_new(own);
      g_object_unref(own);
      GMimeFilter* decoder = g_mime_filter_basic_new(encoding, FALSE);
      g_mime_stream_filter_add(GMIME_STREAM_FILTER(filtered), decoder);
      g_object_unref(decoder);
      own = filtered;
    }
    return std::make_unique<TGMimeSource>(own, source, decodable);
  }

  std::string ReadStart(GMimePart* part, size_t limit) const {
    std::string text;
    try {
      auto source = Decoded(part);
      char buffer[4096];
      while (text.size() < limit) {
        const size_t got = source->Read(buffer, std::min(sizeof buffer, limit - text.size()));
        if (got == 0) break;
        text.append(buffer, got);
      }
    } catch (const EMapiError&) {
      // What could be read decides.
    }
    return text;
  }

  std::string FindMeetingClass(GMimeObject* object) const {
    if (object == nullptr) return {};
    if (GMIME_IS_MULTIPART(object)) {
      GMimeMultipart* multipart = GMIME_MULTIPART(object);
      const int count = g_mime_multipart_get_count(multipart);
      for (int i = 0; i < count; ++i) {
        std::string found = FindMeetingClass(g_mime_multipart_get_part(multipart, i));
        if (!found.empty()) return found;
      }
      return {};
    }
    if (!GMIME_IS_PART(object)) return {};
    GMimeContentType* type = g_mime_object_get_content_type(object);
    if (type == nullptr || !g_mime_content_type_is_type(type, "text", "calendar")) return {};
    GMimePart* part = GMIME_PART(object);
    const char* method = g_mime_content_type_get_parameter(type, "method");
    // A calendar file that was merely attached does not make a meeting.
    if (method == nullptr && !FileNameOf(object).empty()) return {};
    const std::string text = ReadStart(part, 64 * 1024);
    return MeetingClass(method != nullptr ? method : MethodLine(text), text);
  }

  GMimeObject* Top() const { return g_mime_message_get_mime_part(message); }

  void SetTop(GMimeObject* object) {
    g_mime_message_set_mime_part(message, object);
    index.reset();
  }

  void SetEmptyBody() {
    GMimeTextPart* text = g_mime_text_part_new();
    g_mime_text_part_set_text(text, "");
    SetTop(GMIME_OBJECT(text));
    g_object_unref(text);
  }
};

TMimeMessage::TMimeMessage(std::unique_ptr<TImpl> impl) : impl_(std::move(impl)) {}
TMimeMessage::~TMimeMessage() = default;

std::unique_ptr<TMimeMessage> TMimeMessage::Parse(std::shared_ptr<TReadFile> file) {
  InitGMime();
  auto impl = std::make_unique<TImpl>();
  impl->source = std::make_shared<TStreamSource>();
  impl->source->file = std::move(file);

  // The writer keeps the file's line ends: judge them by the first line.
  char head[4096];
  const size_t got = impl->source->file->ReadAt(0, head, sizeof head);
  const void* newline = std::memchr(head, '\n', got);
  if (newline != nullptr && newline != head && static_cast<const char*>(newline)[-1] == '\r') {
    impl->newline = GMIME_NEWLINE_FORMAT_DOS;
  }

  GMimeStream* stream = NewCorvidStream(impl->source, 0, -1);
  GMimeParser* parser = g_mime_parser_new_with_stream(stream);
  g_mime_parser_set_persist_stream(parser, TRUE);
  g_mime_parser_set_format(parser, GMIME_FORMAT_MESSAGE);
  impl->message = g_mime_parser_construct_message(parser, nullptr);
  g_object_unref(parser);
  g_object_unref(stream);
  impl->source->RaiseIfFailed();
  if (impl->message == nullptr) {
    // Nothing GMime could call a message: an empty one stands in, so the
    // store still opens it (and writes a real message if it is saved).
    impl->message = g_mime_message_new(FALSE);
  }
  if (g_mime_message_get_mime_part(impl->message) == nullptr) impl->SetEmptyBody();
  MendParsed(GMIME_OBJECT(impl->message), impl->newline == GMIME_NEWLINE_FORMAT_DOS ? "\r\n" : "\n");
  TMimeMessage* result = new TMimeMessage(std::move(impl));
  // Handles in document order, so attachment numbers follow the message.
  for (GMimeObject* object : result->impl_->AttachmentObjects()) result->impl_->HandleOf(object);
  return std::unique_ptr<TMimeMessage>(result);
}

std::unique_ptr<TMimeMessage> TMimeMessage::CreateNew() {
  InitGMime();
  auto impl = std::make_unique<TImpl>();
  impl->message = g_mime_message_new(TRUE);
  impl->SetEmptyBody();
  return std::unique_ptr<TMimeMessage>(new TMimeMessage(std::move(impl)));
}

std::string TMimeMessage::Subject() const {
  const char* subject = g_mime_message_get_subject(impl_->message);
  return subject != nullptr ? subject : "";
}

void TMimeMessage::SetSubject(const std::string& subject) {
  g_mime_message_set_subject(impl_->message, subject.c_str(), "utf-8");
}

std::string TMimeMessage::MessageClass() const {
  std::string meeting = impl_->FindMeetingClass(impl_->Top());
  return meeting.empty() ? "IPM.Note" : meeting;
}

std::string TMimeMessage::MessageId() const {
  const char* id = g_mime_message_get_message_id(impl_->message);
  return id != nullptr ? id : "";
}

std::optional<int64_t> TMimeMessage::DateUnixSeconds() const {
  GDateTime* date = g_mime_message_get_date(impl_->message);
  if (date == nullptr) return std::nullopt;
  return g_date_time_to_unix(date);
}

std::optional<TMimeRecipient> TMimeMessage::Sender() const {
  std::vector<TMimeRecipient> senders;
  for (const auto& [index, raw] : HeadersNamed(GMIME_OBJECT(impl_->message), "From")) {
    AddRecipients(raw, MAPI_ORIG, &senders);
  }
  if (senders.empty()) return std::nullopt;
  return senders.front();
}

std::vector<TMimeRecipient> TMimeMessage::Recipients() const {
  std::vector<TMimeRecipient> recipients;
  // A message handed over with an envelope of its own (a bounce, mail for
  // "root" from cron) goes to those addresses, whatever its header says.
  for (const auto& [index, raw] : HeadersNamed(GMIME_OBJECT(impl_->message), kEnvelopeHeader)) {
    AddRecipients(raw, MAPI_TO, &recipients);
  }
  if (!recipients.empty()) return recipients;
  const struct {
    const char* header;
    LONG type;
  } kKinds[] = {{"To", MAPI_TO}, {"Cc", MAPI_CC}, {"Bcc", MAPI_BCC}};
  for (const auto& kind : kKinds) {
    for (const auto& [index, raw] : HeadersNamed(GMIME_OBJECT(impl_->message), kind.header)) {
      AddRecipients(raw, kind.type, &recipients);
    }
  }
  return recipients;
}

std::vector<TMimeAttachment> TMimeMessage::Attachments() const {
  std::vector<TMimeAttachment> list;
  for (GMimeObject* object : impl_->AttachmentObjects()) list.push_back(impl_->Describe(object));
  std::stable_sort(list.begin(), list.end(),
                   [](const TMimeAttachment& a, const TMimeAttachment& b) { return a.handle < b.handle; });
  return list;
}

std::optional<TMimeAttachment> TMimeMessage::Attachment(int handle) const {
  GMimeObject* object = impl_->ObjectOf(handle);
  if (object == nullptr || !impl_->Contains(object)) return std::nullopt;
  return impl_->Describe(object);
}

std::unique_ptr<TByteSource> TMimeMessage::OpenData(int handle) const {
  GMimeObject* object = impl_->ObjectOf(handle);
  Require(object != nullptr && impl_->Contains(object), MAPI_E_NOT_FOUND, "No such attachment");
  Require(GMIME_IS_PART(object), MAPI_E_NOT_FOUND, "An embedded message has no attachment data");
  return impl_->Decoded(GMIME_PART(object));
}

void TMimeMessage::RemoveAttachment(int handle) {
  GMimeObject* object = impl_->ObjectOf(handle);
  Require(object != nullptr && impl_->Contains(object), MAPI_E_NOT_FOUND, "No such attachment");
  impl_->Remove(object);
}

int TMimeMessage::AddAttachment(const TAttachmentChange& change) {
  Require(change.file_name.has_value() && !change.file_name->empty(), MAPI_E_INVALID_PARAMETER,
          "A new attachment needs a file name");
  const std::string mime_type = change.mime_type.value_or(MimeTypeForName(*change.file_name));
  TGRef<GMimePart> part(g_mime_part_new_with_type("application", "octet-stream"));
  GMimeObject* object = GMIME_OBJECT(part.get());
  SetMimeType(object, mime_type);
  SetFileName(object, *change.file_name);
  SetData(part.get(), change.data ? change.data : std::make_shared<TScratchFile>());
  for (const auto& [id, value] : change.stored) {
    if (value) SetStoredPropOf(object, *value);
  }

  GMimeObject* top = impl_->Top();
  GMimeMultipart* mixed = nullptr;
  if (top != nullptr && GMIME_IS_MULTIPART(top)) {
    GMimeContentType* type = g_mime_object_get_content_type(top);
    if (type != nullptr && g_mime_content_type_is_type(type, "multipart", "mixed")) mixed = GMIME_MULTIPART(top);
  }
  if (mixed == nullptr) {
    TGRef<GMimeMultipart> wrapper(g_mime_multipart_new_with_subtype("mixed"));
    if (top != nullptr) g_mime_multipart_add(wrapper.get(), top);
    impl_->SetTop(GMIME_OBJECT(wrapper.get()));
    mixed = wrapper.get();
  }
  g_mime_multipart_add(mixed, object);
  impl_->Added(object, mixed);
  return impl_->HandleOf(object);
}

void TMimeMessage::ChangeAttachment(int handle, const TAttachmentChange& change) {
  GMimeObject* object = impl_->ObjectOf(handle);
  Require(object != nullptr && impl_->Contains(object), MAPI_E_NOT_FOUND, "No such attachment");
  if (change.mime_type) SetMimeType(object, *change.mime_type);
  if (change.file_name) SetFileName(object, *change.file_name);
  if (change.data) {
    Require(GMIME_IS_PART(object), MAPI_E_NO_SUPPORT, "An embedded message cannot take attachment data");
    g_mime_object_remove_header(object, "Content-Transfer-Encoding");
    SetData(GMIME_PART(object), change.data);
  }
  for (const auto& [id, value] : change.stored) {
    if (value) {
      SetStoredPropOf(object, *value);
    } else {
      RemoveStoredPropOf(object, id);
    }
  }
  // New data makes an unknown transfer encoding known, and a name may have
  // gone: the part is marked, so that it is still an attachment when the
  // message is read again.
  if (GMIME_IS_PART(object) && !IsAttachmentPart(object)) MarkAttachment(object);
}

uint64_t TMimeMessage::PartVisits() const { return impl_->part_visits; }

std::vector<TProp> TMimeMessage::StoredProps() const { return StoredPropsOf(GMIME_OBJECT(impl_->message)); }

void TMimeMessage::SetStoredProp(const TProp& prop) { SetStoredPropOf(GMIME_OBJECT(impl_->message), prop); }

void TMimeMessage::RemoveStoredProp(ULONG prop_id) { RemoveStoredPropOf(GMIME_OBJECT(impl_->message), prop_id); }

std::vector<std::pair<TNamedKey, TProp>> TMimeMessage::NamedProps() const {
  std::vector<std::pair<TNamedKey, TProp>> props;
  for (const auto& [index, value] : HeadersNamed(GMIME_OBJECT(impl_->message), kNamedHeader)) {
    if (auto named = ParseNamed(value)) props.push_back(*named);
  }
  return props;
}

void TMimeMessage::SetNamedProp(const TNamedKey& key, const TProp& value) {
  const std::string text = FormatNamed(key, value);
  Require(text.size() <= kMaxStoredValueLength, MAPI_E_TOO_BIG, "The value is too large to keep with the message");
  RemoveNamedProp(key);
  g_mime_object_append_header(GMIME_OBJECT(impl_->message), kNamedHeader, text.c_str(), nullptr);
}

void TMimeMessage::RemoveNamedProp(const TNamedKey& key) {
  RemoveHeadersWhere(GMIME_OBJECT(impl_->message), kNamedHeader, [&key](const std::string& value) {
    auto old = ParseNamed(value);
    return old && old->first == key;
  });
}

void TMimeMessage::CompleteEnvelope() {
  if (g_mime_message_get_date(impl_->message) == nullptr) {
    GDateTime* now = g_date_time_new_now_local();
    g_mime_message_set_date(impl_->message, now);
    g_date_time_unref(now);
  }
  if (g_mime_message_get_message_id(impl_->message) == nullptr) {
    char host[256] = "localhost";
    gethostname(host, sizeof host - 1);
    char* id = g_mime_utils_generate_message_id(host);
    g_mime_message_set_message_id(impl_->message, id);
    g_free(id);
  }
  if (g_mime_object_get_header(GMIME_OBJECT(impl_->message), "MIME-Version") == nullptr) {
    g_mime_object_set_header(GMIME_OBJECT(impl_->message), "MIME-Version", "1.0", nullptr);
  }
}

void TMimeMessage::WriteTo(TWriteFile& out) const {
  auto sink = std::make_shared<TStreamSource>();
  sink->writer = &out;
  GMimeStream* stream = NewCorvidStream(sink, 0, -1);
  GMimeFormatOptions* options = g_mime_format_options_new();
  g_mime_format_options_set_newline_format(options, impl_->newline);
  const ssize_t written = g_mime_object_write_to_stream(GMIME_OBJECT(impl_->message), options, stream);
  g_mime_format_options_free(options);
  g_object_unref(stream);
  sink->RaiseIfFailed();
  // Reading the old parts may have failed too.
  if (impl_->source) impl_->source->RaiseIfFailed();
  Require(written >= 0, MAPI_E_DISK_ERROR, "Cannot write the message");
}

}  // namespace corvid::mapi
