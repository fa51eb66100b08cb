// The extension's page of the client's Tools | Options sheet, as a model: a
// working copy of all settings, the four dialogs it opens on that copy, and
// export and import of the copy as an INI file. Each change of the copy's
// modified state is reported to the sheet (PSM_CHANGED to the parent of
// PageWindow, and OnChanged for presenters), which enables Apply.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/mapi/mapi_interfaces.h"
#include "platform/win/property_sheet.h"
#include "platform/win/win_types.h"
#include "settings/options_container.h"
#include "ui/dialog_model.h"

namespace corvid::ui {

// Sent to the property sheet: a page has unapplied changes.
using win::PSM_CHANGED;

class TOptionsPage : public TDialogModel {
 public:
  TOptionsPage();
  ~TOptionsPage() override;

  settings::TOptionsContainer& Settings() { return *settings_; }
  win::HWND PageWindow() const { return page_window_; }
  void SetPageWindow(win::HWND window) { page_window_ = window; }
  mapi::IMAPISession* Session() const { return session_; }
  void SetSession(mapi::IMAPISession* session);  // holds a reference

  // Settings := a copy of `options` (entries and modified state).
  void LoadOptions(settings::TOptionsContainer& options);
  // `options` := a copy of Settings.
  void SaveOptions(settings::TOptionsContainer& options);

  // The six actions (buttons and context menu).
  void AboutBtnClick();
  void CompressionBtnClick();
  void DecompressionBtnClick();
  void StatisticsBtnClick();
  void Save1Click();  // asks for a file, then SaveTo
  void Open1Click();  // asks for a file, then OpenFrom

  // Writes Settings, stamped with today's date and time, to section
  // "Options" of `file_name`; Settings keeps no stamp. False (and a message)
  // when the file could not be written whole.
  bool SaveTo(const std::string& file_name);
  // Takes the whole section "Options" of `file_name` into Settings (a file
  // without it empties Settings) and marks Settings modified. When the file
  // cannot be read, Settings stays as it was and the result is false (and
  // a message says so).
  bool OpenFrom(const std::string& file_name);

  // Besides PSM_CHANGED: the modified state of Settings changed.
  std::function<void(bool modified)> OnChanged;

 protected:
  void OnClick(const std::string& name) override;

 private:
  void NotifyChanged(bool modified);

  std::unique_ptr<settings::TOptionsContainer> settings_;
  win::HWND page_window_ = nullptr;
  mapi::IMAPISession* session_ = nullptr;
};

}  // namespace corvid::ui
