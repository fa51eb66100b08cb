// dist/MAPI32.DLL as the binding sees it: loaded by name at run time, every
// procedure found by its exported name, the working ones working and the
// others answering MAPI_E_NO_SUPPORT; logon gives a session over the
// profile of the machine root, made with its default folders when new.
#include <dlfcn.h>

#include <filesystem>
#include <functional>
#include <set>

#include "platform/mapi/mapi_test_support.h"

namespace corvid::mapi::test {
namespace {

namespace fs = std::filesystem;

const std::string kLibrary = std::string(CORVID_DIST) + "/" + kMapi32LibraryName;

class TMapi32Test : public ::testing::Test {
 protected:
  void SetUp() override {
    // Never closed: GMime's types, once registered by the library, stay
    // with the process (the library is linked to stay loaded).
    library_ = ::dlopen(kLibrary.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, library_) << ::dlerror();
  }
  template <typename F>
  F Proc(const char* name) {
    return reinterpret_cast<F>(::dlsym(library_, name));
  }

  win::TTestMachine machine_;
  void* library_ = nullptr;
};

TEST_F(TMapi32Test, ExportsExactlyTheProceduresTheBindingLooksUp) {
  for (const char* name : kMapi32ProcedureNames) EXPECT_NE(nullptr, ::dlsym(library_, name)) << name;

  const TCommandResult symbols = RunCommand("nm -D --defined-only " + Quote(kLibrary));
  ASSERT_EQ(0, symbols.status);
  std::set<std::string> exported;
  std::istringstream lines(symbols.out);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string address, kind, name;
    if (words >> address >> kind >> name && (kind == "T" || kind == "W")) exported.insert(name);
  }
  std::set<std::string> expected(std::begin(kMapi32ProcedureNames), std::end(kMapi32ProcedureNames));
  expected.insert("CorvidMapiSetAddressPicker");  // how a loader hands the library its address picker
  EXPECT_EQ(expected, exported);
}

// The others answer MAPI_E_NO_SUPPORT, called as a caller would who bound
// them anyway.
TEST_F(TMapi32Test, TheProceduresWithoutWorkAnswerNoSupport) {
  struct TUnsupported {
    const char* name;
    std::function<HRESULT()> call;
  };
#define NO_SUPPORT(name, ...) \
  TUnsupported { #name, [this] { return Proc<decltype(&name)>(#name)(__VA_ARGS__); } }
  const TUnsupported cases[] = {
      NO_SUPPORT(MAPIAdminProfiles, 0, nullptr),
      NO_SUPPORT(MAPIOpenFormMgr, nullptr, nullptr),
      NO_SUPPORT(MAPIOpenLocalFormContainer, nullptr),
      NO_SUPPORT(OpenTnefStreamEx, nullptr, nullptr, nullptr, 0, nullptr, 0, nullptr, nullptr),
      NO_SUPPORT(WrapCompressedRTFStream, nullptr, 0, nullptr),
      NO_SUPPORT(RTFSync, nullptr, 0, nullptr),
      NO_SUPPORT(HrThisThreadAdviseSink, nullptr, nullptr),
      NO_SUPPORT(HrAllocAdviseSink, nullptr, nullptr, nullptr),
      NO_SUPPORT(HrDispatchNotifications, 0),
      NO_SUPPORT(OpenStreamOnFile, nullptr, nullptr, 0, nullptr, nullptr, nullptr),
      NO_SUPPORT(HrIStorageFromStream, nullptr, nullptr, 0, nullptr),
      NO_SUPPORT(PropCopyMore, nullptr, nullptr, nullptr, nullptr),
      NO_SUPPORT(ScDupPropset, 0, nullptr, nullptr, nullptr),
      NO_SUPPORT(ScCountProps, 0, nullptr, nullptr),
      NO_SUPPORT(ScCopyProps, 0, nullptr, nullptr, nullptr),
      NO_SUPPORT(ScRelocProps, 0, nullptr, nullptr, nullptr, nullptr),
      NO_SUPPORT(ScInitMapiUtil, 0),
      NO_SUPPORT(HrComposeEID, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr),
      NO_SUPPORT(HrDecomposeEID, nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr),
      NO_SUPPORT(HrAddColumns, nullptr, nullptr, nullptr, nullptr),
  };
#undef NO_SUPPORT
  for (const TUnsupported& c : cases) EXPECT_HR(MAPI_E_NO_SUPPORT, c.call()) << c.name;
}

// Memory: a buffer with blocks hung on it (and on them) goes in one call;
// an address list of such buffers is freed entry by entry.
TEST_F(TMapi32Test, BuffersAndTheirBlocksAreFreedTogether) {
  auto allocate = Proc<LPALLOCATEBUFFER>("MAPIAllocateBuffer");
  auto more = Proc<LPALLOCATEMORE>("MAPIAllocateMore");
  auto free_buffer = Proc<LPFREEBUFFER>("MAPIFreeBuffer");
  void* root = nullptr;
  ASSERT_HR(S_OK, allocate(64, &root));
  EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(root) % alignof(std::max_align_t));
  EXPECT_EQ(std::string(64, '\0'), std::string(static_cast<char*>(root), 64));
  void* child = nullptr;
  void* grandchild = nullptr;
  ASSERT_HR(S_OK, more(1000, root, &child));
  ASSERT_HR(S_OK, more(10, child, &grandchild));
  std::memset(child, 'x', 1000);
  std::memset(grandchild, 'y', 10);
  EXPECT_EQ(S_OK, static_cast<HRESULT>(free_buffer(root)));
  EXPECT_EQ(S_OK, static_cast<HRESULT>(free_buffer(nullptr)));

  // An address list of blocks, freed entry by entry.
  auto free_adrlist = Proc<LPFREEPADRLIST>("FreePadrlist");
  LPADRLIST list = nullptr;
  ASSERT_HR(S_OK, allocate(static_cast<ULONG>(CbNewADRLIST(2)), reinterpret_cast<void**>(&list)));
  list->cEntries = 2;
  for (ULONG i = 0; i < 2; ++i) {
    ASSERT_HR(S_OK, allocate(sizeof(SPropValue), reinterpret_cast<void**>(&list->aEntries[i].rgPropVals)));
    list->aEntries[i].cValues = 1;
    list->aEntries[i].rgPropVals[0].ulPropTag = PR_DISPLAY_NAME;
    char* text = nullptr;
    ASSERT_HR(S_OK, more(4, list->aEntries[i].rgPropVals, reinterpret_cast<void**>(&text)));
    std::memcpy(text, "abc", 4);
    list->aEntries[i].rgPropVals[0].Value.lpszA = text;
  }
  free_adrlist(list);
  free_adrlist(nullptr);
}

// Logon needs MAPIInitialize, counted; it gives a session over the
// profile's one store with its default folders, where the property
// helpers work.
TEST_F(TMapi32Test, LogonOpensTheProfilesStoreWithItsDefaultFolders) {
  auto free_buffer = Proc<LPFREEBUFFER>("MAPIFreeBuffer");
  auto initialize = Proc<LPMAPIINITIALIZE>("MAPIInitialize");
  auto uninitialize = Proc<LPMAPIUNINITIALIZE>("MAPIUninitialize");
  auto logon = Proc<LPMAPILOGONEX>("MAPILogonEx");
  LPMAPISESSION session = nullptr;
  EXPECT_HR(MAPI_E_NOT_INITIALIZED, logon(0, nullptr, nullptr, 0, &session));
  ASSERT_HR(S_OK, initialize(nullptr));
  MAPIINIT_0 init{MAPI_INIT_VERSION, 0};
  ASSERT_HR(S_OK, initialize(&init));
  uninitialize();
  EXPECT_HR(MAPI_E_LOGON_FAILED, logon(0, const_cast<char*>("Somebody else"), nullptr, 0, &session));
  ASSERT_HR(S_OK, logon(0, nullptr, nullptr, 0, &session));
  TRef<IMAPISession> held(session);

  // The store table through HrQueryAllRows: the fresh profile's one store.
  auto query_all = Proc<LPHRQUERYALLROWS>("HrQueryAllRows");
  auto free_rows = Proc<LPFREEPROWS>("FreeProws");
  IMAPITable* table = nullptr;
  ASSERT_HR(S_OK, session->GetMsgStoresTable(0, &table));
  SizedSPropTagArray<3> columns = {3, {PR_ENTRYID, PR_DEFAULT_STORE, PR_DISPLAY_NAME}};
  LPSRowSet rows = nullptr;
  ASSERT_HR(S_OK, query_all(table, columns.get(), nullptr, nullptr, 0, &rows));
  table->Release();
  ASSERT_EQ(1u, rows->cRows);
  EXPECT_EQ(1, rows->aRow[0].lpProps[1].Value.b);
  EXPECT_STREQ("Personal Folders", rows->aRow[0].lpProps[2].Value.lpszA);
  LPMDB store = nullptr;
  ASSERT_HR(S_OK, session->OpenMsgStore(0, rows->aRow[0].lpProps[0].Value.bin.cb,
                                        reinterpret_cast<LPENTRYID>(rows->aRow[0].lpProps[0].Value.bin.lpb), nullptr,
                                        MDB_WRITE, &store));
  free_rows(rows);
  TRef<IMsgStore> held_store(store);

  // The default folders, on disk and in the store.
  const fs::path maildir = machine_.Root() / "mail" / "maildir";
  for (const char* folder : {"", ".Outbox", ".Sent Items", ".Drafts"}) {
    for (const char* sub : {"cur", "new", "tmp"}) EXPECT_TRUE(fs::is_directory(maildir / folder / sub)) << folder << sub;
  }
  IMAPITable* hierarchy = nullptr;
  IMAPIFolder* root_folder = nullptr;
  ULONG type = 0;
  ASSERT_HR(S_OK, store->OpenEntry(0, nullptr, nullptr, 0, &type, reinterpret_cast<LPUNKNOWN*>(&root_folder)));
  TRef<IMAPIFolder> held_root(root_folder);
  ASSERT_HR(S_OK, root_folder->GetHierarchyTable(0, &hierarchy));
  std::set<std::string> names;
  for (const auto& row : Rows(hierarchy, {PR_DISPLAY_NAME})) names.insert(row[0].bytes);
  hierarchy->Release();
  EXPECT_EQ((std::set<std::string>{"Inbox", "Outbox", "Sent Items", "Drafts"}), names);

  // GetReceiveFolder("IPM.Note") is INBOX, where a new message is made.
  ULONG size = 0;
  LPENTRYID inbox_id = nullptr;
  ASSERT_HR(S_OK, store->GetReceiveFolder(const_cast<char*>("IPM.Note"), 0, &size, &inbox_id, nullptr));
  IUnknown* unknown = nullptr;
  ASSERT_HR(S_OK, store->OpenEntry(size, inbox_id, &IID_IMAPIFolder, MAPI_MODIFY, &type, &unknown));
  MAPIFreeBuffer(inbox_id);
  TRef<IMAPIFolder> inbox(static_cast<IMAPIFolder*>(unknown));
  EXPECT_EQ(static_cast<ULONG>(MAPI_FOLDER), type);
  IMessage* message = nullptr;
  ASSERT_HR(S_OK, inbox->CreateMessage(nullptr, 0, &message));
  TRef<IMessage> held_message(message);

  // HrSetOneProp and HrGetOneProp, and their errors.
  auto set_one = Proc<LPHRSETONEPROP>("HrSetOneProp");
  auto get_one = Proc<LPHRGETONEPROP>("HrGetOneProp");
  SPropValue subject{};
  subject.ulPropTag = PR_SUBJECT;
  subject.Value.lpszA = const_cast<char*>("Made through the library");
  ASSERT_HR(S_OK, set_one(message, &subject));
  SPropValue computed{};
  computed.ulPropTag = PR_ENTRYID;
  computed.Value.bin = {0, nullptr};
  EXPECT_HR(MAPI_E_COMPUTED, set_one(message, &computed));
  ASSERT_HR(S_OK, message->SaveChanges(KEEP_OPEN_READWRITE));
  LPSPropValue value = nullptr;
  ASSERT_HR(S_OK, get_one(message, PR_SUBJECT, &value));
  EXPECT_STREQ("Made through the library", value->Value.lpszA);
  free_buffer(value);
  EXPECT_HR(MAPI_E_NOT_FOUND, get_one(message, PROP_TAG(PT_LONG, 0x6123), &value));
  EXPECT_EQ(nullptr, value);
  size_t files = 0;
  for (const auto& entry : fs::directory_iterator(maildir / "cur")) files += entry.is_regular_file();
  EXPECT_EQ(1u, files);

  held_message = {};
  inbox = {};
  held_root = {};
  held_store = {};
  held = {};
  uninitialize();
}

}  // namespace
}  // namespace corvid::mapi::test
