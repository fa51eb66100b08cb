// The fixture of the mail pipelines' tests: the stand-in store linked into
// the test and bound as MAPI32.DLL, a temporary folder of the test's own
// (which must be empty again after every call), scripted prompts, and ways
// to look at a message afterwards through MAPI and through Python's email.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/mapi/linked_store.h"
#include "platform/mapi/mapi_procedures.h"
#include "platform/mapi/mapi_test_support.h"
#include "settings/catalogue.h"
#include "ui/presenter.h"

namespace corvid::test {

using namespace mapi;
using namespace mapi::test;
using mapi::BindLinkedStore;
using mapi::InstallMapi;
using mapi::TMapiProcedures;

// The attachment as the store shows it after the call.
struct TShown {
  std::string name;
  LONG method = 0;
  std::string data;
};

class TPipelineTest : public mapi::test::TStoreTest {
 protected:
  void SetUp() override {
    TStoreTest::SetUp();
    BindLinkedStore(procedures_);
    previous_mapi_ = InstallMapi(&procedures_);
    // Every test's temporary files land in a folder of its own, which must
    // be empty again after every call.
    temp_ = machine_.Root() / "tmp";
    std::filesystem::create_directories(temp_);
    const char* old = ::getenv("TMPDIR");
    old_tmpdir_ = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
    ::setenv("TMPDIR", temp_.c_str(), 1);
    work_ = machine_.Root() / "work";
    std::filesystem::create_directories(work_);
    script_ = std::make_shared<ui::TScriptedPresenter>();
    script_->OnUnexpected = [](const std::string& what) { ADD_FAILURE() << "unexpected dialog: " << what; };
    previous_presenter_ = ui::SetPresenter(script_);
  }
  void TearDown() override {
    EXPECT_EQ(script_->Remaining(), 0u) << "answers left unused";
    ui::SetPresenter(previous_presenter_);
    EXPECT_EQ(Leftovers(), std::vector<std::string>{}) << "temporary files left behind";
    if (old_tmpdir_) {
      ::setenv("TMPDIR", old_tmpdir_->c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
    InstallMapi(previous_mapi_);
    TStoreTest::TearDown();
  }

  std::vector<std::string> Leftovers() const {
    std::vector<std::string> out;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(temp_)) out.push_back(entry.path());
    return out;
  }

  std::vector<TShown> Attachments(const std::string& unique) {
    std::vector<TShown> out;
    TRef<IMessage> message = Open(unique, 0);
    if (!message) return out;
    IMAPITable* raw_table = nullptr;
    EXPECT_EQ(message->GetAttachmentTable(0, &raw_table), S_OK);
    TRef<IMAPITable> table(raw_table);
    for (const auto& row : Rows(table.get(), {PR_ATTACH_NUM, PR_ATTACH_METHOD, PR_DISPLAY_NAME})) {
      TShown shown;
      shown.method = static_cast<LONG>(row[1].number);
      shown.name = row[2].bytes;
      if (shown.method == ATTACH_BY_VALUE) {
        EXPECT_EQ(AttachmentData(message.get(), static_cast<ULONG>(row[0].number), &shown.data), S_OK);
      }
      out.push_back(std::move(shown));
    }
    return out;
  }

  static std::vector<std::string> Names(const std::vector<TShown>& shown) {
    std::vector<std::string> names;
    for (const TShown& s : shown) names.push_back(s.name);
    return names;
  }
  static const TShown* Find(const std::vector<TShown>& shown, const std::string& name) {
    for (const TShown& s : shown) {
      if (s.name == name) return &s;
    }
    return nullptr;
  }

  std::string WriteWork(const std::string& name, const std::string& data) {
    const std::string path = (work_ / name).string();
    WriteBytes(path, data);
    return path;
  }

  // The message file as Python's email reads it: [file name, payload] of
  // every leaf part that has a file name.
  std::vector<std::pair<std::string, std::string>> MimeFiles(const std::string& unique) {
    const std::optional<std::string> path = PathOf(unique);
    EXPECT_TRUE(path.has_value());
    if (!path) return {};
    const std::string script =
        "import email,email.policy,json,sys\n"
        "m=email.message_from_binary_file(open(sys.argv[1],'rb'),policy=email.policy.default)\n"
        "assert not m.defects, m.defects\n"
        "print(json.dumps([[p.get_filename(),p.get_payload(decode=True).hex()] for p in m.walk()"
        " if not p.is_multipart() and p.get_filename()]))\n";
    const TCommandResult read = RunCommand("python3 -c " + Quote(script) + " " + Quote(*path));
    EXPECT_EQ(read.status, 0) << read.out;
    std::vector<std::pair<std::string, std::string>> out;
    for (const TJson& item : ParseJson(read.out).items) {
      std::string bytes;
      for (size_t i = 0; i + 1 < item[1].text.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(item[1].text.substr(i, 2), nullptr, 16));
      }
      out.emplace_back(item[0].text, bytes);
    }
    return out;
  }

  int32_t Counter(const settings::TIntegerSetting& counter) { return settings::Read(options_, counter); }

  TMapiProcedures procedures_;
  const TMapiProcedures* previous_mapi_ = nullptr;
  std::filesystem::path temp_;
  std::filesystem::path work_;
  std::optional<std::string> old_tmpdir_;
  std::shared_ptr<ui::TScriptedPresenter> script_;
  std::shared_ptr<ui::TPresenter> previous_presenter_;
  settings::TOptionsContainer options_;
};

}  // namespace corvid::test
