#include "ui/dialog_model.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

namespace corvid::ui {

TControl& TDialogModel::Control(const std::string& name) {
  for (TControl& c : controls_)
    if (c.name == name) return c;
  throw std::out_of_range("no control " + name + " in " + caption_);
}

const TControl& TDialogModel::Control(const std::string& name) const {
  return const_cast<TDialogModel*>(this)->Control(name);
}

bool TDialogModel::HasControl(const std::string& name) const {
  return std::any_of(controls_.begin(), controls_.end(), [&](const TControl& c) { return c.name == name; });
}

TControl& TDialogModel::Add(TControl control) {
  if (pages_.empty()) AddPage("");
  pages_.back().controls.push_back(control.name);
  controls_.push_back(std::move(control));
  return controls_.back();
}

void TDialogModel::SetChecked(const std::string& name, bool checked) {
  TControl& c = Control(name);
  if (c.kind == TControlKind::kRadio && checked) {
    for (TControl& other : controls_)
      if (other.kind == TControlKind::kRadio && other.group == c.group) other.checked = false;
  }
  c.checked = checked;
}

void TDialogModel::SetText(const std::string& name, std::string text) { Control(name).text = std::move(text); }

void TDialogModel::SetNumber(const std::string& name, int number) {
  TControl& c = Control(name);
  c.number = std::clamp(number, c.min, c.max);
  c.text = std::to_string(c.number);
}

void TDialogModel::Click(const std::string& name) {
  TControl& c = Control(name);
  if (!c.enabled) return;
  if (c.kind == TControlKind::kCheck) {
    c.checked = !c.checked;
  } else if (c.kind == TControlKind::kRadio) {
    SetChecked(name, true);
  } else if (c.kind != TControlKind::kButton) {
    return;
  }
  OnClick(name);
  CheckUI();
}

void TDialogModel::Type(const std::string& name, const std::string& text) {
  TControl& c = Control(name);
  if (!c.enabled) return;
  if (c.kind == TControlKind::kNumber) {
    // What an up-down's buddy does with text: the leading number, within range.
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (end == text.c_str()) return;
    SetNumber(name, static_cast<int>(std::clamp<long>(value, c.min, c.max)));
  } else if (c.kind == TControlKind::kEdit || c.kind == TControlKind::kPassword) {
    c.text = c.max_length > 0 && text.size() > static_cast<size_t>(c.max_length) ? text.substr(0, c.max_length)
                                                                               : text;
  } else {
    return;
  }
  OnChanged(name);
  CheckUI();
}

void TDialogModel::Move(const std::string& name, int position) {
  TControl& c = Control(name);
  if (!c.enabled || (c.kind != TControlKind::kTrack && c.kind != TControlKind::kNumber)) return;
  SetNumber(name, position);
  OnChanged(name);
  CheckUI();
}

void TDialogModel::Select(const std::string& name, int index) {
  TControl& c = Control(name);
  if (!c.enabled || c.kind != TControlKind::kList) return;
  c.selected = index >= 0 && index < static_cast<int>(c.items.size()) ? index : -1;
  OnSelect(name);
  CheckUI();
}

void TDialogModel::KeyUp(const std::string& name, TKey key) {
  TControl& c = Control(name);
  if (!c.enabled || c.kind != TControlKind::kList) return;
  OnKeyUp(name, key);
  CheckUI();
}

bool TDialogModel::BeginRename(const std::string& name) {
  TControl& c = Control(name);
  if (!c.enabled || !c.renamable || c.selected < 0) return false;
  if (!OnBeginRename(name)) return false;
  renaming_ = name;
  return true;
}

void TDialogModel::EndRename(const std::string& name, const std::string* text) {
  if (renaming_ != name) return;
  renaming_.clear();
  OnRenamed(name, text);
  CheckUI();
}

void TDialogModel::OnRenamed(const std::string& name, const std::string* text) {
  TControl& c = Control(name);
  if (text && c.selected >= 0 && c.selected < static_cast<int>(c.items.size())) c.items[c.selected] = *text;
}

void TDialogModel::Leave(const std::string& name) { OnLeave(name); }

bool TDialogModel::ChangePage(int index) {
  if (index < 0 || index >= static_cast<int>(pages_.size()) || index == current_page_) return true;
  if (!OnPageChanging(current_page_, index)) return false;
  current_page_ = index;
  return true;
}

bool TDialogModel::Close(const std::string& button) {
  if (button != "OK") return true;
  if (!ok_enabled_) return false;
  return OnOk();
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

std::string JoinLines(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items)
    if (!item.empty()) text += item + "\r\n";
  return text;
}

}  // namespace corvid::ui
