// The compression settings dialog as a model (ui/dialog_model.h): every rule
// of the outgoing pipeline and the recipient rules, four ordered lists with a
// selection each, the enable rule, and the add, delete, rename, address-book,
// password-check and confirmation actions.
#pragma once

#include <memory>
#include <string>

#include "platform/mapi/mapi_interfaces.h"
#include "settings/options_container.h"
#include "ui/dialog_model.h"

namespace corvid::ui {

class TCompressionDlg : public TDialogModel {
 public:
  TCompressionDlg();
  ~TCompressionDlg() override;

  settings::TOptionsContainer& Settings() { return *settings_; }
  // Kept for the address-book buttons (a reference is held); null: they do nothing.
  void SetSession(mapi::IMAPISession* session);
  bool RenameInProgress() const { return rename_in_progress_; }

  // Copies `options` into Settings and fills every control from that copy.
  void LoadOptions(settings::TOptionsContainer& options);
  // Writes every control into `options` (not into Settings).
  void SaveOptions(settings::TOptionsContainer& options);
  void CheckUI() override;

  // Page indices.
  static constexpr int kGeneralPage = 0, kAddressesPage = 1, kAdvancedPage = 2, kPasswordPage = 3;

 protected:
  void OnClick(const std::string& name) override;
  void OnKeyUp(const std::string& name, TKey key) override;
  bool OnBeginRename(const std::string& name) override;
  void OnRenamed(const std::string& name, const std::string* text) override;
  void OnLeave(const std::string& name) override;
  bool OnPageChanging(int from, int to) override;
  bool OnOk() override;

 private:
  void Append(const std::string& list, const std::string& text);
  void DeleteSelected(const std::string& list);
  void Pick(const std::string& list, const std::string& well_title);

  std::unique_ptr<settings::TOptionsContainer> settings_;
  mapi::IMAPISession* session_ = nullptr;
  bool rename_in_progress_ = false;
};

}  // namespace corvid::ui
