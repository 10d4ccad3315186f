// The backend-independent part of the dialog framework layer: language choice, resource lookup,
// data exchange and the dialog base class.
#include "ui/ui.h"

#include <algorithm>
#include <cstdlib>
#include <string>

namespace tr350::ui {
namespace {

std::string Lower(std::string_view text) {
  std::string out(text);
  std::ranges::transform(out, out.begin(), [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  });
  return out;
}

}  // namespace

Language LanguageFromLocale(std::string_view locale) {
  // "language[_territory][.codeset][@modifier]" or "language-Script-REGION".
  std::string name = Lower(locale.substr(0, locale.find_first_of(".@")));
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= name.size()) {
    const std::size_t end = std::min(name.find_first_of("_-", start), name.size());
    parts.push_back(name.substr(start, end - start));
    start = end + 1;
  }
  if (parts.front() == "ja") return Language::kJapanese;
  if (parts.front() == "en") return Language::kEnglish;
  if (parts.front() != "zh") return Language::kNeutral;
  for (std::size_t i = 1; i < parts.size(); ++i) {
    if (parts[i] == "hant" || parts[i] == "tw" || parts[i] == "hk" || parts[i] == "mo") {
      return Language::kChineseTraditional;
    }
    if (parts[i] == "hans") return Language::kNeutral;
  }
  return Language::kNeutral;
}

Language LanguageFromEnvironment(std::string_view lcAll, std::string_view lcMessages,
                                 std::string_view lang) {
  for (std::string_view value : {lcAll, lcMessages, lang}) {
    if (!value.empty()) return LanguageFromLocale(value);
  }
  return Language::kNeutral;
}

Language LocaleLanguage(const std::optional<std::string>& locale) {
  if (locale) return LanguageFromLocale(*locale);
  const auto env = [](const char* name) {
    const char* value = std::getenv(name);
    return std::string_view(value != nullptr ? value : "");
  };
  return LanguageFromEnvironment(env("LC_ALL"), env("LC_MESSAGES"), env("LANG"));
}

const DialogTemplate* FindDialogTemplate(std::span<const DialogTemplate> dialogs, int id,
                                         Language language) {
  const DialogTemplate* neutral = nullptr;
  for (const DialogTemplate& dialog : dialogs) {
    if (dialog.id != id) continue;
    if (dialog.language == language) return &dialog;
    if (dialog.language == Language::kNeutral) neutral = &dialog;
  }
  return neutral;
}

std::optional<std::u16string_view> FindString(std::span<const StringEntry> strings, int id,
                                              Language language) {
  std::optional<std::u16string_view> neutral;
  for (const StringEntry& entry : strings) {
    if (entry.id != id) continue;
    if (entry.language == language) return entry.text;
    if (entry.language == Language::kNeutral) neutral = entry.text;
  }
  return neutral;
}

std::u16string Backend::LoadString(int id) const {
  return std::u16string(FindString(Resources().strings, id, UserLanguage()).value_or(u""));
}

const DialogTemplate* Backend::FindDialog(int id) const {
  return FindDialogTemplate(Resources().dialogs, id, UserLanguage());
}

// ---- Data exchange
// -------------------------------------------------------------------------------

void DataExchange::Text(int id, std::u16string& member) {
  if (save_) {
    member = window_.ControlText(id);
  } else {
    window_.SetControlText(id, member);
  }
}

void DataExchange::Control(int id, BoundControl& control) {
  // Bound once; later exchanges leave it alone, as workers may be using it meanwhile.
  if (control.window_ == &window_ && control.id_ == id) return;
  control.window_ = &window_;
  control.id_ = id;
  if (std::ranges::find(dialog_.bound_, &control) == dialog_.bound_.end()) {
    dialog_.bound_.push_back(&control);
  }
}

// ---- Dialog
// ----------------------------------------------------------------------------------------

Dialog::~Dialog() {
  for (BoundControl* control : bound_) control->window_ = nullptr;
}

int Dialog::DoModal() {
  int result = -1;
  ui_.Send([this, &result] { result = DoModalHere(); });
  return result;
}

int Dialog::DoModalHere() {
  const DialogTemplate* dialog = ui_.FindDialog(templateId_);
  if (dialog == nullptr) return -1;
  window_ = ui_.CreateDialogWindow(*dialog, *this);
  if (window_ == nullptr) return -1;
  // The window goes, and the bound controls let go of it, on every way out.
  struct Closer {
    Dialog& dialog;
    ~Closer() {
      for (BoundControl* control : dialog.bound_) control->window_ = nullptr;
      dialog.bound_.clear();
      dialog.window_.reset();
    }
  } closer{*this};
  OnInitDialog();
  return window_->RunModal();
}

void Dialog::EndDialog(int result) {
  if (window_ != nullptr) window_->EndModal(result);
}

bool Dialog::UpdateData(bool saveAndValidate) {
  if (window_ == nullptr) return false;
  ui_.Send([this, saveAndValidate] {
    DataExchange exchange(*this, *window_, saveAndValidate);
    DoDataExchange(exchange);
  });
  return true;
}

bool Dialog::OnInitDialog() {
  UpdateData(false);
  return true;
}

void Dialog::OnOK() {
  if (UpdateData(true)) EndDialog(IDOK);
}

void Dialog::OnCancel() {
  EndDialog(IDCANCEL);
}

void Dialog::OnCommand(int id) {
  if (id == IDOK) {
    OnOK();
  } else if (id == IDCANCEL) {
    OnCancel();
  }
}

void Dialog::OnSysCommand(std::uint32_t id, std::intptr_t) {
  // Closing the window from its menu or frame is the Cancel command of a dialog.
  if ((id & kSystemCommandMask) == SC_CLOSE) OnCommand(IDCANCEL);
}

void Dialog::ShowItem(int id, bool show) {
  if (window_ != nullptr) window_->ShowControl(id, show);
}

void Dialog::EnableItem(int id, bool enable) {
  if (window_ != nullptr) window_->EnableControl(id, enable);
}

void Dialog::SetItemText(int id, std::u16string_view text) {
  if (window_ != nullptr) window_->SetControlText(id, text);
}

std::u16string Dialog::ItemText(int id) const {
  return window_ != nullptr ? window_->ControlText(id) : u"";
}

void Dialog::NextDlgCtl(int id) {
  if (window_ != nullptr) window_->FocusControl(id);
}

void Dialog::SetWindowText(std::u16string_view text) {
  if (window_ != nullptr) window_->SetTitle(text);
}

void Dialog::SetIcon(Icon icon, bool big) {
  if (window_ != nullptr) window_->SetIcon(icon, big);
}

bool Dialog::HasSystemMenu() const {
  return window_ != nullptr && window_->HasSystemMenu();
}

void Dialog::AppendSystemMenuSeparator() {
  if (window_ != nullptr) window_->AppendSystemMenuSeparator();
}

void Dialog::AppendSystemMenuItem(std::uint32_t id, std::u16string_view text) {
  if (window_ != nullptr) window_->AppendSystemMenuItem(id, text);
}

bool Dialog::SetTimer(std::uintptr_t id, std::uint32_t periodMs) {
  return window_ != nullptr && window_->SetTimer(id, periodMs);
}

void Dialog::KillTimer(std::uintptr_t id) {
  if (window_ != nullptr) window_->KillTimer(id);
}

int Dialog::MessageBox(std::u16string_view text, std::optional<std::u16string_view> caption,
                       MessageBoxIcon icon) {
  return window_ != nullptr ? window_->MessageBox(text, caption, icon) : 0;
}

bool Dialog::BeginThread(std::function<void()> body) {
  return window_ != nullptr && window_->BeginThread(std::move(body));
}

bool Dialog::IsIconic() const {
  return window_ != nullptr && window_->IsIconic();
}

}  // namespace tr350::ui
