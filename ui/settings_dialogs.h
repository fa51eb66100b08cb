// The three small dialogs of the options page: decompression settings,
// statistics and the about box, as models (ui/dialog_model.h). Each reads
// from the container it is given; only the decompression dialog writes.
#pragma once

#include <memory>
#include <string>

#include "settings/options_container.h"
#include "ui/dialog_model.h"

namespace corvid::ui {

// Shared by both settings dialogs: OK refuses a password its confirmation
// does not repeat.
inline constexpr char kPasswordMismatchText[] = "The passwords you typed do not match.\r\nPlease re-type.";
inline constexpr char kPasswordMismatchCaption[] = "Passwords do not match";
// True when "PasswordEdt" and "ConfirmPasswordEdt" hold the same text; else
// shows page `password_page` and the mismatch message, and is false.
bool PasswordsMatch(TDialogModel& dialog, int password_page);

class TDecompressOptionsDlg : public TDialogModel {
 public:
  TDecompressOptionsDlg();

  settings::TOptionsContainer& Settings() { return *settings_; }

  // Copies `options` into Settings, then fills the controls from `options`
  // itself (creating missing entries there with their defaults).
  void LoadOptions(settings::TOptionsContainer& options);
  // Writes the controls into `options`.
  void SaveOptions(settings::TOptionsContainer& options);
  void CheckUI() override;

 protected:
  void OnClick(const std::string& name) override;
  bool OnOk() override;

 private:
  std::unique_ptr<settings::TOptionsContainer> settings_;
};

class TStatisticsDlg : public TDialogModel {
 public:
  TStatisticsDlg();
  // Reads the counters and the install date (creating missing entries).
  void LoadStatistics(settings::TOptionsContainer& options);
};

class TAboutDlgBox : public TDialogModel {
 public:
  TAboutDlgBox();
  void LoadOptions(settings::TOptionsContainer& options);
};

// Where the about box sends users for help.
inline constexpr char kSupportEmail[] = "support@corvid.example";
inline constexpr char kProductWeb[] = "https://corvid.example/";

}  // namespace corvid::ui
