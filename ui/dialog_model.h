// The common shape of every settings dialog: named controls (check boxes,
// radio buttons in groups, edit and number boxes, lists, buttons, texts)
// laid out on pages, each with its value and enabled state, and the user
// actions a presenter passes in. A dialog derives from TDialogModel, names
// its controls in its constructor and reacts in the virtual handlers; its
// enable rule CheckUI runs after each action. Presenters (terminal, Qt,
// scripted tests) show any dialog from this description alone.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace corvid::ui {

enum class TControlKind {
  kText,      // a static text (label, heading, note)
  kCheck,     // check box
  kRadio,     // radio button; `group` joins them
  kEdit,      // one-line edit box
  kPassword,  // masked edit box
  kNumber,    // number box with a range
  kTrack,     // track bar with a range
  kList,      // ordered items with one selection; may allow renaming
  kButton,    // push button
  kChart,     // bars of `items` (label) and `values`; drawn by the presenter
};

// The group of a text that stands beside the next control, as its caption.
inline constexpr char kBesideNext[] = "beside-next";

struct TControl {
  TControl(std::string name_, TControlKind kind_, std::string caption_ = {}, std::string group_ = {})
      : name(std::move(name_)), kind(kind_), caption(std::move(caption_)), group(std::move(group_)) {}

  std::string name;     // control name, e.g. "EnableCompressCB"
  TControlKind kind = TControlKind::kText;
  std::string caption;  // label or button text
  std::string group;    // radio group
  int min = 0, max = 0; // number and track ranges
  bool enabled = true;
  bool checked = false;             // check and radio
  std::string text;                 // edit, password, text
  int number = 0;                   // number, track
  std::vector<std::string> items;   // list items; chart labels
  std::vector<long long> values;    // chart values, one per item
  int selected = -1;                // list selection, -1: none
  bool renamable = false;           // list items may be renamed in place
  int max_length = 0;               // edit boxes: most characters, 0 no limit
  bool heading = false;             // texts: a group heading
};

struct TDialogPage {
  std::string title;
  std::vector<std::string> controls;  // names, top to bottom
};

class TDialogModel {
 public:
  virtual ~TDialogModel() = default;

  const std::string& Caption() const { return caption_; }
  const std::vector<TDialogPage>& Pages() const { return pages_; }
  // The closing buttons, OK (default) first; a dialog with only OK has one.
  const std::vector<std::string>& Buttons() const { return buttons_; }
  int CurrentPage() const { return current_page_; }
  // Whether OK can be pressed (CheckUI decides).
  bool OkEnabled() const { return ok_enabled_; }
  // True while a presenter shows the dialog; handlers ask only then.
  bool Visible() const { return visible_; }
  void SetVisible(bool visible) { visible_ = visible; }

  TControl& Control(const std::string& name);
  const TControl& Control(const std::string& name) const;
  bool HasControl(const std::string& name) const;

  bool Checked(const std::string& name) const { return Control(name).checked; }
  bool Enabled(const std::string& name) const { return Control(name).enabled; }
  const std::string& Text(const std::string& name) const { return Control(name).text; }
  int Number(const std::string& name) const { return Control(name).number; }
  const std::vector<std::string>& Items(const std::string& name) const { return Control(name).items; }
  int Selected(const std::string& name) const { return Control(name).selected; }

  // Program changes: no handler runs. A radio button set on clears the
  // others of its group.
  void SetChecked(const std::string& name, bool checked);
  void SetText(const std::string& name, std::string text);
  void SetNumber(const std::string& name, int number);  // kept within the range
  void SetEnabled(const std::string& name, bool enabled) { Control(name).enabled = enabled; }

  // --- What the user does (presenters call these; disabled controls ignore them).
  // Check box: toggles; radio: selects; button: presses. Then the handler and CheckUI.
  void Click(const std::string& name);
  // Edit, password or number box: the new text (a number box takes the
  // number it starts with, and keeps its value for other text).
  void Type(const std::string& name, const std::string& text);
  // Track bar or number box moved.
  void Move(const std::string& name, int position);
  // A list item selected (-1: none).
  void Select(const std::string& name, int index);
  // A key released in a list.
  enum class TKey { kEnter, kDelete };
  void KeyUp(const std::string& name, TKey key);
  // In-place rename of the selected item: begins (false: not allowed), ends
  // with the new text or is abandoned (nullopt text: Escape).
  bool BeginRename(const std::string& name);
  void EndRename(const std::string& name, const std::string* text);
  // The focus leaves a control.
  void Leave(const std::string& name);
  // Switches to page `index`; false when the dialog keeps the current one.
  bool ChangePage(int index);
  // The closing button `button` ("OK", "Cancel"): true when the dialog closes.
  bool Close(const std::string& button);
  // Runs the enable rule.
  virtual void CheckUI() {}

  // The edit box that should get the focus now, set by handlers (empty: none).
  std::string FocusRequest;

 protected:
  TDialogModel(std::string caption, std::vector<std::string> buttons)
      : caption_(std::move(caption)), buttons_(std::move(buttons)) {}

  // Adds a control to the page last added.
  TControl& Add(TControl control);
  void AddPage(std::string title) { pages_.push_back({std::move(title), {}}); }

  // Handlers. The defaults do nothing; each ends with CheckUI run by the caller.
  virtual void OnClick(const std::string& name) {}
  virtual void OnChanged(const std::string& name) {}
  virtual void OnSelect(const std::string& name) {}
  virtual void OnKeyUp(const std::string& name, TKey key) {}
  virtual bool OnBeginRename(const std::string& name) { return true; }
  virtual void OnRenamed(const std::string& name, const std::string* text);
  virtual void OnLeave(const std::string& name) {}
  virtual bool OnPageChanging(int from, int to) { return true; }
  // OK: true to close; Cancel always closes.
  virtual bool OnOk() { return true; }

  // Whether an in-place editor is open, and in which list.
  std::string renaming_;
  int current_page_ = 0;
  bool ok_enabled_ = true;

 private:
  std::string caption_;
  std::vector<std::string> buttons_;
  std::vector<TDialogPage> pages_;
  std::vector<TControl> controls_;
  bool visible_ = false;
};

// Splits a list setting (one item per line, each line ended by CR LF) into
// its items; an empty text gives none.
std::vector<std::string> SplitLines(const std::string& text);
// The items as a list setting: each followed by CR LF; empty items dropped.
std::string JoinLines(const std::vector<std::string>& items);

}  // namespace corvid::ui
