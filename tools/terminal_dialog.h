// SPDX-License-Identifier: Apache-2.0
// Draws the service object's modal dialogs as lines of text and reads the
// person's buttons as keys, for the shell.
//
// Every line it prints starts with "dialog ". On opening and after every
// button it prints the caption, one line per row of the dialog with its
// fields as LABEL=TEXT (a group box's title before the field it frames), and
// the keys: the digits 1, 2, ... for the push buttons in the dialog's order,
// each with its label. Input is one key a line: a digit, a button's label,
// or q (closes the dialog as its window's close box would). End of input
// closes it too. Anything else gets a "dialog error" line and is read again.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/modal_dialog.h"

namespace vexokrt::tools {

class TerminalDialogPresenter final : public platform::DialogPresenter {
 public:
  // |emit| prints one line; |next_line| reads one (nothing at the end of
  // input) and handles window messages while it waits; |prompt| prints the
  // prompt before a read at a terminal (may be empty).
  TerminalDialogPresenter(std::function<void(const std::string&)> emit,
                          std::function<std::optional<std::string>()> next_line, std::function<void()> prompt);

  void Show(const platform::ModalDialog& dialog) override;
  int WaitForCommand(const platform::ModalDialog& dialog) override;
  void Closed(const platform::ModalDialog& dialog) override;

 private:
  std::function<void(const std::string&)> emit_;
  std::function<std::optional<std::string>()> next_line_;
  std::function<void()> prompt_;
};

}  // namespace vexokrt::tools
