// SPDX-License-Identifier: Apache-2.0
#include "terminal_dialog.h"

#include <map>
#include <vector>

namespace vexokrt::tools {
namespace {

using platform::DialogControl;
using platform::DialogControlKind;

std::vector<const DialogControl*> Buttons(const platform::DialogTemplate& t) {
  std::vector<const DialogControl*> buttons;
  for (const DialogControl& c : t.controls) {
    if (c.kind == DialogControlKind::kPushButton) buttons.push_back(&c);
  }
  return buttons;
}

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

}  // namespace

TerminalDialogPresenter::TerminalDialogPresenter(std::function<void(const std::string&)> emit,
                                                 std::function<std::optional<std::string>()> next_line,
                                                 std::function<void()> prompt)
    : emit_(std::move(emit)), next_line_(std::move(next_line)), prompt_(std::move(prompt)) {}

void TerminalDialogPresenter::Show(const platform::ModalDialog& dialog) {
  const platform::DialogTemplate& t = dialog.Template();
  emit_("dialog " + t.caption);
  // The name of each field: the label beside it or the group box around it.
  std::map<int, std::string> names;
  for (const DialogControl& c : t.controls) {
    if (c.kind != DialogControlKind::kPushButton && c.kind != DialogControlKind::kReadOnlyEdit && c.names != 0) {
      names[c.names] = c.text;
    }
  }
  std::map<int, std::string> rows;
  for (const DialogControl& c : t.controls) {
    if (c.kind != DialogControlKind::kReadOnlyEdit) continue;
    std::string& line = rows[c.row];
    if (!line.empty()) line += "  ";
    const auto name = names.find(c.id);
    line += (name != names.end() ? name->second : std::to_string(c.id)) + "=" + dialog.ControlText(c.id);
  }
  for (const auto& [row, line] : rows) emit_("dialog " + line);
  std::string keys = "dialog keys:";
  int key = 1;
  for (const DialogControl* button : Buttons(t)) keys += " " + std::to_string(key++) + " " + button->text + ",";
  emit_(keys + " q closes");
}

int TerminalDialogPresenter::WaitForCommand(const platform::ModalDialog& dialog) {
  const std::vector<const DialogControl*> buttons = Buttons(dialog.Template());
  for (;;) {
    if (prompt_) prompt_();
    const std::optional<std::string> line = next_line_();
    if (!line) return platform::kDialogCancel;
    const std::string key = Trimmed(*line);
    if (key.empty()) continue;
    if (key == "q" || key == "Q") return platform::kDialogCancel;
    for (size_t i = 0; i < buttons.size(); ++i) {
      if (key == std::to_string(i + 1) || key == buttons[i]->text) return buttons[i]->id;
    }
    emit_("dialog error unknown key " + key + " (1-" + std::to_string(buttons.size()) + " or q)");
  }
}

void TerminalDialogPresenter::Closed(const platform::ModalDialog& dialog) {
  emit_("dialog closed " + dialog.Template().caption);
}

}  // namespace vexokrt::tools
