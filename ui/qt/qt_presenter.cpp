#include "ui/qt/qt_presenter.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QEvent>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QSpinBox>
#include <QStyle>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <map>

#include "platform/win/ui_thread.h"
#include "ui/property_sheet.h"

namespace corvid::ui::qt {

namespace {

QString Q(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }
std::string S(const QString& text) { return text.toUtf8().toStdString(); }

// Windows texts break lines with CR LF; Qt wants LF.
QString Lines(const std::string& text) {
  QString q = Q(text);
  q.replace("\r\n", "\n");
  return q;
}

bool OnMainThread() { return win::GetCurrentThreadId() == win::MainThreadId(); }

// Runs `body` on the main thread and returns its result.
template <typename T>
T OnMain(const std::function<T()>& body) {
  if (OnMainThread()) return body();
  T result{};
  win::Synchronize([&] { result = body(); });
  return result;
}

// Empties the main thread's window-message queue; a WM_QUIT closes
// `dialog` as cancelled and goes back on the queue for the outer loop, a
// WM_CANCELMODE posted to the thread cancels it.
void PumpWindowMessages(QDialog* dialog) {
  win::MSG message{};
  while (win::PeekMessage(&message, nullptr, 0, 0, win::PM_REMOVE)) {
    if (message.message == win::WM_QUIT) {
      win::PostQuitMessage(static_cast<int>(message.wParam));
      if (dialog) dialog->reject();
      return;
    }
    if (message.message == win::WM_CANCELMODE && message.hwnd == nullptr) {
      if (dialog) dialog->reject();
      continue;
    }
    win::TranslateMessage(&message);
    win::DispatchMessage(&message);
  }
}

// Runs `dialog` modally with the window messages handled alongside.
int RunModal(QDialog& dialog) {
  QTimer pump;
  QObject::connect(&pump, &QTimer::timeout, &dialog, [&dialog] { PumpWindowMessages(&dialog); });
  pump.start(10);
  return dialog.exec();
}

// Bars of a chart, drawn with the painter.
class TChartWidget : public QWidget {
 public:
  explicit TChartWidget(const TControl& control) : control_(control) {
    setMinimumSize(420, 30 + 26 * static_cast<int>(control.items.size()));
  }
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    const QFontMetrics metrics(font());
    long long top = 1;
    for (long long v : control_.values) top = std::max(top, v);
    int label_width = 0;
    for (const std::string& item : control_.items) label_width = std::max(label_width, metrics.horizontalAdvance(Q(item)));
    const int row = std::max(metrics.height() + 8, 22);
    painter.drawText(0, metrics.ascent(), Q(control_.caption));
    const QColor colours[] = {QColor(70, 130, 180), QColor(46, 139, 87), QColor(205, 133, 63)};
    for (size_t i = 0; i < control_.items.size() && i < control_.values.size(); ++i) {
      const int y = metrics.height() + 6 + static_cast<int>(i) * row;
      painter.setPen(palette().color(QPalette::WindowText));
      painter.drawText(0, y + metrics.ascent() + 2, Q(control_.items[i]));
      const QString value = QLocale().toString(control_.values[i]) + " bytes";
      const int room = width() - label_width - metrics.horizontalAdvance(value) - 24;
      const int bar = static_cast<int>(static_cast<double>(control_.values[i]) / static_cast<double>(top) * std::max(room, 0));
      painter.fillRect(label_width + 8, y + 2, std::max(bar, 1), row - 6, colours[i % 3]);
      painter.drawText(label_width + 14 + bar, y + metrics.ascent() + 2, value);
    }
  }

 private:
  const TControl& control_;
};

// Forwards Delete and Enter released in a list to the model.
class TListKeys : public QObject {
 public:
  TListKeys(QObject* parent, std::function<void(TDialogModel::TKey)> key) : QObject(parent), key_(std::move(key)) {}
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::KeyRelease) {
      const int k = static_cast<QKeyEvent*>(event)->key();
      if (k == Qt::Key_Delete) key_(TDialogModel::TKey::kDelete);
      if (k == Qt::Key_Return || k == Qt::Key_Enter) key_(TDialogModel::TKey::kEnter);
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  std::function<void(TDialogModel::TKey)> key_;
};

// The window of one dialog model.
class TModelWindow {
 public:
  explicit TModelWindow(TDialogModel& model) : model_(model) {
    dialog_.setWindowTitle(Q(model.Caption()));
    dialog_.setObjectName(Q(model.Caption()));
    auto* outer = new QVBoxLayout(&dialog_);
    if (model.Pages().size() > 1) {
      tabs_ = new QTabWidget(&dialog_);
      tabs_->setObjectName("PageControl1");
      for (const TDialogPage& page : model.Pages()) {
        auto* widget = new QWidget(tabs_);
        auto* layout = new QVBoxLayout(widget);
        for (const std::string& name : page.controls) Build(name, widget, layout);
        layout->addStretch(1);
        tabs_->addTab(widget, Q(page.title));
      }
      QObject::connect(tabs_, &QTabWidget::currentChanged, &dialog_, [this](int index) {
        if (refreshing_) return;
        if (!model_.ChangePage(index)) Refresh();
      });
      outer->addWidget(tabs_);
    } else {
      for (const TDialogPage& page : model.Pages())
        for (const std::string& name : page.controls) Build(name, &dialog_, outer);
    }
    if (!model.Buttons().empty()) {
      auto* box = new QDialogButtonBox(&dialog_);
      for (const std::string& b : model.Buttons()) {
        QPushButton* button = box->addButton(Q(b), b == "OK" ? QDialogButtonBox::AcceptRole
                                                              : QDialogButtonBox::RejectRole);
        button->setObjectName(Q(b + "Btn"));
        if (b == "OK") {
          ok_ = button;
          button->setDefault(true);
        }
        QObject::connect(button, &QPushButton::clicked, &dialog_, [this, b] {
          if (model_.Close(b)) {
            if (b == "OK") dialog_.accept(); else dialog_.reject();
          } else {
            Refresh();
          }
        });
      }
      outer->addWidget(box);
    }
    Refresh();
  }

  QDialog& Dialog() { return dialog_; }

  void Refresh() {
    refreshing_ = true;
    for (auto& [name, widget] : widgets_) {
      const TControl& c = model_.Control(name);
      QSignalBlocker block(widget);
      widget->setEnabled(c.enabled);
      if (auto* label = labels_[name]) label->setEnabled(c.enabled);
      switch (c.kind) {
        case TControlKind::kText: {
          auto* label = static_cast<QLabel*>(widget);
          const std::string shown = c.text.empty() ? c.caption : c.caption.empty() ? c.text : c.caption + " " + c.text;
          label->setText(Lines(shown));
          break;
        }
        case TControlKind::kCheck:
        case TControlKind::kRadio: static_cast<QAbstractButton*>(widget)->setChecked(c.checked); break;
        case TControlKind::kEdit:
        case TControlKind::kPassword: {
          auto* edit = static_cast<QLineEdit*>(widget);
          if (edit->text() != Q(c.text)) edit->setText(Q(c.text));
          break;
        }
        case TControlKind::kNumber: static_cast<QSpinBox*>(widget)->setValue(c.number); break;
        case TControlKind::kTrack: static_cast<QSlider*>(widget)->setValue(c.number); break;
        case TControlKind::kList: {
          auto* list = static_cast<QListWidget*>(widget);
          QStringList items;
          for (const std::string& item : c.items) items << Q(item);
          bool same = list->count() == items.size();
          for (int i = 0; same && i < list->count(); ++i) same = list->item(i)->text() == items[i];
          if (!same) {
            list->clear();
            for (const QString& item : items) {
              auto* row = new QListWidgetItem(item, list);
              if (c.renamable) row->setFlags(row->flags() | Qt::ItemIsEditable);
            }
          }
          list->setCurrentRow(c.selected);
          break;
        }
        case TControlKind::kChart: widget->update(); break;
        default: break;
      }
    }
    if (tabs_ && tabs_->currentIndex() != model_.CurrentPage()) tabs_->setCurrentIndex(model_.CurrentPage());
    if (ok_) ok_->setEnabled(model_.OkEnabled());
    if (!model_.FocusRequest.empty() && widgets_.count(model_.FocusRequest)) {
      widgets_[model_.FocusRequest]->setFocus();
      model_.FocusRequest.clear();
    }
    refreshing_ = false;
  }

 private:
  void Build(const std::string& name, QWidget* parent, QBoxLayout* outer) {
    const TControl& c = model_.Control(name);
    // A caption and the control after it share one row.
    QBoxLayout* layout = beside_ ? beside_ : outer;
    beside_ = nullptr;
    QWidget* widget = nullptr;
    QLabel* caption = nullptr;
    auto labelled = [&](QWidget* field) {
      if (!c.caption.empty()) {
        caption = new QLabel(Q(c.caption), parent);
        caption->setWordWrap(true);
        caption->setBuddy(field);
        layout->addWidget(caption);
      }
      layout->addWidget(field);
    };
    switch (c.kind) {
      case TControlKind::kText: {
        auto* label = new QLabel(parent);
        label->setWordWrap(true);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        if (c.heading) {
          QFont bold = label->font();
          bold.setBold(true);
          label->setFont(bold);
        }
        widget = label;
        if (c.group == kBesideNext) {
          auto* row = new QHBoxLayout();
          label->setWordWrap(false);
          label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
          label->setMinimumWidth(label->fontMetrics().averageCharWidth() * 32);
          row->addWidget(label);
          layout->addLayout(row);
          beside_ = row;
        } else {
          layout->addWidget(label);
        }
        break;
      }
      case TControlKind::kCheck:
      case TControlKind::kRadio: {
        QAbstractButton* button = c.kind == TControlKind::kCheck ? static_cast<QAbstractButton*>(new QCheckBox(Q(c.caption), parent))
                                                                  : new QRadioButton(Q(c.caption), parent);
        // The model keeps its radio groups itself.
        button->setAutoExclusive(false);
        QObject::connect(button, &QAbstractButton::clicked, &dialog_, [this, name] { Act([&] { model_.Click(name); }); });
        widget = button;
        layout->addWidget(button);
        break;
      }
      case TControlKind::kEdit:
      case TControlKind::kPassword: {
        auto* edit = new QLineEdit(parent);
        if (c.kind == TControlKind::kPassword) edit->setEchoMode(QLineEdit::Password);
        if (c.max_length > 0) edit->setMaxLength(c.max_length);
        QObject::connect(edit, &QLineEdit::textEdited, &dialog_,
                         [this, name](const QString& text) { Act([&] { model_.Type(name, S(text)); }); });
        QObject::connect(edit, &QLineEdit::editingFinished, &dialog_, [this, name] {
          if (!refreshing_ && dialog_.isVisible()) Act([&] { model_.Leave(name); });
        });
        widget = edit;
        labelled(edit);
        break;
      }
      case TControlKind::kNumber: {
        auto* spin = new QSpinBox(parent);
        spin->setRange(c.min, c.max);
        QObject::connect(spin, &QSpinBox::valueChanged, &dialog_, [this, name](int v) { Act([&] { model_.Move(name, v); }); });
        widget = spin;
        labelled(spin);
        break;
      }
      case TControlKind::kTrack: {
        auto* slider = new QSlider(Qt::Horizontal, parent);
        slider->setRange(c.min, c.max);
        slider->setTickPosition(QSlider::TicksBelow);
        slider->setTickInterval(1);
        slider->setPageStep(1);
        QObject::connect(slider, &QSlider::valueChanged, &dialog_, [this, name](int v) { Act([&] { model_.Move(name, v); }); });
        widget = slider;
        if (!c.caption.empty()) {
          caption = new QLabel(Q(c.caption), parent);
          layout->addWidget(caption);
        }
        auto* row = new QHBoxLayout();
        row->addWidget(new QLabel("None", parent));
        row->addWidget(slider, 1);
        row->addWidget(new QLabel("High", parent));
        layout->addLayout(row);
        break;
      }
      case TControlKind::kList: {
        auto* list = new QListWidget(parent);
        list->setEditTriggers(c.renamable ? QAbstractItemView::EditKeyPressed | QAbstractItemView::SelectedClicked
                                          : QAbstractItemView::NoEditTriggers);
        list->setMinimumHeight(90);
        QObject::connect(list, &QListWidget::currentRowChanged, &dialog_,
                         [this, name](int row) { Act([&] { model_.Select(name, row); }); });
        QObject::connect(list, &QListWidget::itemChanged, &dialog_, [this, name](QListWidgetItem* item) {
          if (refreshing_) return;
          const std::string text = S(item->text());
          Act([&] {
            if (model_.BeginRename(name)) model_.EndRename(name, &text);
          });
        });
        list->installEventFilter(new TListKeys(list, [this, name](TDialogModel::TKey key) {
          Act([&] { model_.KeyUp(name, key); });
        }));
        widget = list;
        labelled(list);
        break;
      }
      case TControlKind::kButton: {
        auto* button = new QPushButton(Q(c.caption), parent);
        button->setAutoDefault(false);
        QObject::connect(button, &QPushButton::clicked, &dialog_, [this, name] { Act([&] { model_.Click(name); }); });
        auto* row = new QHBoxLayout();
        row->addWidget(button);
        row->addStretch(1);
        layout->addLayout(row);
        widget = button;
        break;
      }
      case TControlKind::kChart: {
        widget = new TChartWidget(c);
        layout->addWidget(widget);
        break;
      }
    }
    widget->setObjectName(Q(name));
    widgets_[name] = widget;
    labels_[name] = caption;
  }

  // A user action: the model handles it, then every widget shows the result.
  void Act(const std::function<void()>& action) {
    if (refreshing_) return;
    action();
    Refresh();
  }

  TDialogModel& model_;
  QDialog dialog_;
  QTabWidget* tabs_ = nullptr;
  QPushButton* ok_ = nullptr;
  std::map<std::string, QWidget*> widgets_;
  std::map<std::string, QLabel*> labels_;
  QBoxLayout* beside_ = nullptr;
  bool refreshing_ = false;
};

QStyle::StandardPixmap IconOf(TMsgDlgType type) {
  switch (type) {
    case TMsgDlgType::mtWarning: return QStyle::SP_MessageBoxWarning;
    case TMsgDlgType::mtError: return QStyle::SP_MessageBoxCritical;
    case TMsgDlgType::mtInformation: return QStyle::SP_MessageBoxInformation;
    case TMsgDlgType::mtConfirmation: return QStyle::SP_MessageBoxQuestion;
    case TMsgDlgType::mtCustom: break;
  }
  return QStyle::SP_CustomBase;
}

}  // namespace

void EnsureApplication() {
  if (QApplication::instance()) return;
  static int argc = 1;
  static char name[] = "corvid";
  static char* argv[] = {name, nullptr};
  // Lives for the rest of the process: Qt allows one application object.
  new QApplication(argc, argv);
}

struct TQtPresenter::TProgressView {
  QDialog dialog;
  QLabel* label = nullptr;
  QProgressBar* bar = nullptr;
  win::UINT_PTR timer = 0;
};

TQtPresenter::TQtPresenter() = default;
TQtPresenter::~TQtPresenter() = default;

int TQtPresenter::ShowInput(TInputDialog& input) {
  return OnMain<int>([&] {
    EnsureApplication();
    QDialog dialog;
    dialog.setWindowTitle(Q(input.Caption()));
    dialog.setObjectName("InputDialog");
    auto* layout = new QVBoxLayout(&dialog);
    auto* prompt = new QLabel(Q(input.Prompt()), &dialog);
    prompt->setWordWrap(true);
    auto* edit = new QLineEdit(Q(input.Value()), &dialog);
    edit->setObjectName("InputField");
    edit->setMaxLength(static_cast<int>(kMaxInputChars));
    if (input.Password()) edit->setEchoMode(QLineEdit::Password);
    edit->selectAll();
    prompt->setBuddy(edit);
    layout->addWidget(prompt);
    layout->addWidget(edit);
    auto* box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    box->button(QDialogButtonBox::Ok)->setText("&Ok");
    QObject::connect(box, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(box, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(box);
    dialog.setMinimumWidth(dialog.fontMetrics().averageCharWidth() * 50);
    if (RunModal(dialog) == QDialog::Accepted) return input.Ok(S(edit->text()));
    return input.Cancel();
  });
}

int TQtPresenter::ShowMessage(const TMessageForm& form) {
  return OnMain<int>([&] {
    EnsureApplication();
    QDialog dialog;
    dialog.setWindowTitle(Q(form.caption));
    dialog.setObjectName("MessageForm");
    auto* layout = new QVBoxLayout(&dialog);
    auto* top = new QHBoxLayout();
    const QStyle::StandardPixmap icon = IconOf(form.type);
    if (icon != QStyle::SP_CustomBase) {
      auto* image = new QLabel(&dialog);
      image->setObjectName("Image");
      image->setPixmap(dialog.style()->standardIcon(icon).pixmap(32, 32));
      image->setAlignment(Qt::AlignTop);
      top->addWidget(image);
    }
    auto* text = new QLabel(Lines(form.text), &dialog);
    text->setObjectName("Message");
    text->setWordWrap(true);
    top->addWidget(text, 1);
    layout->addLayout(top);
    auto* row = new QHBoxLayout();
    row->addStretch(1);
    int result = form.close_result;
    for (size_t i = 0; i < form.buttons.size(); ++i) {
      const TMessageButton& b = form.buttons[i];
      auto* button = new QPushButton(Q(b.caption), &dialog);
      button->setObjectName(Q(b.name));
      if (static_cast<int>(i) == form.default_index) button->setDefault(true);
      QObject::connect(button, &QPushButton::clicked, &dialog, [&dialog, &result, r = b.result] {
        if (r == mrNone) return;  // Help: no help system; the dialog stays
        result = r;
        dialog.done(1);
      });
      row->addWidget(button);
    }
    row->addStretch(1);
    layout->addLayout(row);
    QTimer timer;
    if (form.timeout_ms > 0) {
      timer.setSingleShot(true);
      QObject::connect(&timer, &QTimer::timeout, &dialog, [&] {
        result = form.TimerResult();
        dialog.done(1);
      });
      timer.start(form.timeout_ms);
    }
    // Escape and the close box answer as Escape does.
    if (RunModal(dialog) == 0) return form.EscapeResult();
    return result;
  });
}

void TQtPresenter::ShowProgress(const TProgressWindow& window, TProgressEvent event) {
  if (!OnMainThread()) return;  // the owner changes it on the main thread
  EnsureApplication();
  if (event == TProgressEvent::Closed) {
    if (progress_) {
      win::KillTimer(nullptr, progress_->timer);
      progress_.reset();
    }
    return;
  }
  if (!progress_) {
    progress_ = std::make_unique<TProgressView>();
    QDialog& d = progress_->dialog;
    d.setObjectName("ProgressWindow");
    auto* layout = new QVBoxLayout(&d);
    progress_->label = new QLabel(&d);
    progress_->bar = new QProgressBar(&d);
    auto* cancel = new QPushButton("Cancel", &d);
    cancel->setObjectName("CancelBtn");
    QObject::connect(cancel, &QPushButton::clicked, &d,
                     [] { win::PostThreadMessage(win::MainThreadId(), win::WM_CANCELMODE, 0, 0); });
    QObject::connect(&d, &QDialog::rejected, &d,
                     [] { win::PostThreadMessage(win::MainThreadId(), win::WM_CANCELMODE, 0, 0); });
    layout->addWidget(progress_->label);
    layout->addWidget(progress_->bar);
    auto* row = new QHBoxLayout();
    row->addStretch(1);
    row->addWidget(cancel);
    layout->addLayout(row);
    d.setMinimumWidth(d.fontMetrics().averageCharWidth() * 60);
    d.setModal(true);
    d.show();
    // The progress loop waits in GetMessage; a timer there keeps the window alive.
    progress_->timer = win::SetTimer(nullptr, 0, 20, [](win::HWND, win::UINT, win::UINT_PTR, win::DWORD) {
      QApplication::processEvents();
    });
  }
  progress_->dialog.setWindowTitle(Q(window.Caption));
  progress_->label->setText(Q(window.Label));
  progress_->bar->setRange(window.Min, window.Max);
  progress_->bar->setValue(window.Position);
  QApplication::processEvents();
}

int TQtPresenter::ShowDialog(TDialogModel& model) {
  return OnMain<int>([&] {
    EnsureApplication();
    TModelWindow window(model);
    model.SetVisible(true);
    const int result = RunModal(window.Dialog());
    model.SetVisible(false);
    return result == QDialog::Accepted ? mrOk : mrCancel;
  });
}

int TQtPresenter::ShowSheet(TPropertySheet& sheet) {
  return OnMain<int>([&] {
    EnsureApplication();
    QDialog dialog;
    dialog.setWindowTitle(Q(sheet.Caption));
    dialog.setObjectName("PropertySheet");
    auto* layout = new QVBoxLayout(&dialog);
    auto* tabs = new QTabWidget(&dialog);
    tabs->setObjectName("SheetTabs");
    layout->addWidget(tabs);
    // Declared after the sheet's window, so each page leaves it first.
    std::vector<std::unique_ptr<TModelWindow>> pages;
    for (TPropertySheet::TPage& page : sheet.Pages) {
      pages.push_back(std::make_unique<TModelWindow>(*page.model));
      QDialog& content = pages.back()->Dialog();
      content.setWindowFlags(Qt::Widget);
      page.model->SetVisible(true);
      tabs->addTab(&content, Q(page.title));
    }
    tabs->setCurrentIndex(sheet.CurrentPage);
    auto* box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Apply, &dialog);
    QPushButton* apply = box->button(QDialogButtonBox::Apply);
    box->button(QDialogButtonBox::Ok)->setObjectName("OKBtn");
    box->button(QDialogButtonBox::Cancel)->setObjectName("CancelBtn");
    apply->setObjectName("ApplyBtn");
    QObject::connect(box, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(box, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    QObject::connect(apply, &QPushButton::clicked, &dialog, [&] {
      sheet.Apply();
      apply->setEnabled(false);
    });
    layout->addWidget(box);
    // A page reports changes to the sheet window, not to Qt: look now and then.
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, &dialog, [&] { apply->setEnabled(sheet.ApplyEnabled()); });
    watch.start(50);
    apply->setEnabled(sheet.ApplyEnabled());
    const int result = RunModal(dialog);
    for (TPropertySheet::TPage& page : sheet.Pages) page.model->SetVisible(false);
    return result == QDialog::Accepted ? mrOk : mrCancel;
  });
}

bool TQtPresenter::ShowFileName(TFileRequest& request) {
  return OnMain<bool>([&] {
    EnsureApplication();
    QString filter = Q(request.filter);
    // "Name|*.EXT|Name|*.*" as Qt's "Name;;Name".
    const QStringList parts = filter.split('|');
    QStringList names;
    for (int i = 0; i + 1 < parts.size(); i += 2) names << parts[i];
    QFileDialog dialog;
    dialog.setObjectName("FileDialog");
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setWindowTitle(Q(request.caption));
    dialog.setNameFilters(names);
    dialog.setDefaultSuffix(Q(request.default_ext));
    dialog.setAcceptMode(request.save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(request.save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    if (request.file_name.find('*') == std::string::npos) dialog.selectFile(Q(request.file_name));
    if (RunModal(dialog) != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
    request.file_name = S(dialog.selectedFiles().first());
    return true;
  });
}

void RegisterQtPresenter() {
  ui::RegisterQtPresenter([] { return std::make_shared<TQtPresenter>(); });
}

}  // namespace corvid::ui::qt
