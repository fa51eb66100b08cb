#include "platform/mapi/profile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "platform/mapi/maildir.h"
#include "platform/mapi/mapi_error.h"
#include "platform/mapi/named_props.h"
#include "platform/win/ini_text.h"
#include "platform/win/machine.h"

namespace corvid::mapi {
namespace fs = std::filesystem;
namespace {

constexpr const char kProfileFile[] = "profile.ini";

GUID RandomGuid() {
  std::random_device random;
  GUID guid{};
  guid.Data1 = random();
  guid.Data2 = static_cast<uint16_t>(random());
  guid.Data3 = static_cast<uint16_t>(random());
  for (uint8_t& byte : guid.Data4) byte = static_cast<uint8_t>(random());
  return guid;
}

// A store written into the profile by hand may lack a Uid: one from its
// section name, the same every time.
GUID GuidFromName(const std::string& name) {
  uint64_t high = 0xcbf29ce484222325ull;
  uint64_t low = 0x84222325cbf29ce4ull;
  for (unsigned char c : name) {
    high = (high ^ c) * 0x100000001b3ull;
    low = (low ^ c) * 0x100000001b3ull + 1;
  }
  GUID guid{};
  std::memcpy(&guid, &high, 8);
  std::memcpy(reinterpret_cast<char*>(&guid) + 8, &low, 8);
  return guid;
}

std::string HexGuid(const GUID& guid) {
  std::string text = FormatGuid(guid);
  std::string hex;
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c))) hex += c;
  }
  return hex;
}

std::optional<GUID> GuidFromHex(const std::string& hex) {
  if (hex.size() != 32) return std::nullopt;
  return ParseGuid("{" + hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" +
                   hex.substr(16, 4) + "-" + hex.substr(20, 12) + "}");
}

std::string Absolute(const fs::path& base, const std::string& path) {
  fs::path value(path);
  return (value.is_absolute() ? value : base / value).lexically_normal().string();
}

void CreateDefaultProfile(const fs::path& folder) {
  const fs::path maildir_path = folder / "maildir";
  TMaildir maildir(CurrentMailFiles(), maildir_path.string());
  maildir.CreateFolder("");
  for (const char* name : kStandardFolders) maildir.CreateFolder(name);

  std::ostringstream text;
  text << "; The mail profile of this machine: its message stores and its address book.\r\n"
       << "[Profile]\r\nName=Corvid\r\nDefaultStore=Store1\r\nAddressBook=contacts.vcf\r\n\r\n"
       << "[Store1]\r\nDisplayName=Personal Folders\r\nPath=maildir\r\nUid=" << HexGuid(RandomGuid()) << "\r\n";
  const std::string content = text.str();

  // Written aside and linked into place: a second process making the
  // profile at the same moment keeps the first one's.
  std::string temp = (folder / "profile.ini.XXXXXX").string();
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) ThrowErrno(errno, "Cannot write the mail profile in " + folder.string());
  const bool written = ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()) &&
                       ::fsync(fd) == 0;
  const int write_error = errno;
  ::close(fd);
  if (!written) {
    ::unlink(temp.c_str());
    ThrowErrno(write_error, "Cannot write the mail profile in " + folder.string());
  }
  const int linked = ::link(temp.c_str(), (folder / kProfileFile).c_str());
  const int link_error = errno;
  ::unlink(temp.c_str());
  if (linked != 0 && link_error != EEXIST) ThrowErrno(link_error, "Cannot write the mail profile");
}

}  // namespace

std::string MailProfileDirectory() {
  fs::path root;
  try {
    root = win::MachineRoot();
  } catch (const Exception& error) {
    throw EMapiError(MAPI_E_LOGON_FAILED, error.what());
  }
  const fs::path folder = root / "mail";
  std::error_code error;
  fs::create_directories(folder, error);
  if (error) throw EMapiError(ErrorFromErrno(error.value()), "Cannot make " + folder.string() + ": " + error.message());
  return folder.string();
}

TProfile LoadProfile() {
  const fs::path folder = MailProfileDirectory();
  const fs::path file = folder / kProfileFile;
  if (!fs::exists(file)) CreateDefaultProfile(folder);

  std::ifstream in(file, std::ios::binary);
  if (!in) throw EMapiError(MAPI_E_LOGON_FAILED, "Cannot read the mail profile " + file.string());
  std::stringstream buffer;
  buffer << in.rdbuf();
  const std::string text = buffer.str();

  TProfile profile;
  profile.file = file.string();
  profile.name = win::ini::FindValue(text, "Profile", "Name").value_or("Corvid");
  profile.address_book =
      Absolute(folder, win::ini::FindValue(text, "Profile", "AddressBook").value_or("contacts.vcf"));
  profile.send_command = win::ini::FindValue(text, "Profile", "SendCommand").value_or("");
  profile.from = win::ini::FindValue(text, "Profile", "From").value_or("");
  const std::string default_store = win::ini::FindValue(text, "Profile", "DefaultStore").value_or("");
  for (const std::string& section : win::ini::SectionNames(text)) {
    if (section.size() < 5 || strncasecmp(section.c_str(), "Store", 5) != 0) continue;
    auto path = win::ini::FindValue(text, section, "Path");
    if (!path || path->empty()) continue;
    TStoreConfig store;
    store.section = section;
    store.display_name = win::ini::FindValue(text, section, "DisplayName").value_or(section);
    store.path = Absolute(folder, *path);
    store.uid = GuidFromHex(win::ini::FindValue(text, section, "Uid").value_or("")).value_or(GuidFromName(section));
    store.is_default = strcasecmp(section.c_str(), default_store.c_str()) == 0;
    profile.stores.push_back(std::move(store));
  }
  Require(!profile.stores.empty(), MAPI_E_LOGON_FAILED, "The mail profile lists no message store");
  bool has_default = false;
  for (const TStoreConfig& store : profile.stores) has_default = has_default || store.is_default;
  if (!has_default) profile.stores.front().is_default = true;

  for (const TStoreConfig& store : profile.stores) {
    if (!store.is_default) continue;
    TMaildir maildir(CurrentMailFiles(), store.path);
    maildir.CreateFolder("");
    for (const char* name : kStandardFolders) maildir.CreateFolder(name);
  }
  return profile;
}

}  // namespace corvid::mapi
