// SPDX-License-Identifier: Apache-2.0
// Modal dialogs: a dialog that the service object shows to a person and that
// the host program draws.
//
// The service object describes a dialog as a template (caption, controls by
// id, as a dialog resource does) and reacts to its push buttons; it never
// draws anything. The host program (the one that loads the service object)
// supplies a DialogPresenter once for the whole process: it shows the
// controls with their current texts and waits for the person's next button.
// RunModalDialog joins the two: it returns when the dialog closes.
//
// This library is shared by the host program and the service object library,
// so a presenter set by the host is the one the service object finds.
//
// Threads: SetDialogPresenter and RunModalDialog may be called from any
// thread. A dialog runs on the thread that called RunModalDialog; the
// presenter's methods are called on that thread.
#pragma once

#include <string>
#include <vector>

namespace vexokrt::platform {

// The command of a dialog closed by the person or by the host (the window
// closed, input ended) rather than by one of its buttons.
inline constexpr int kDialogCancel = 2;
// RunModalDialog's result when no presenter is set: nothing was shown.
inline constexpr int kDialogNotShown = -1;

enum class DialogControlKind {
  kPushButton,    // |text| is the button's label
  kGroupBox,      // |text| is the frame's title; |names| the control it frames
  kLabel,         // |text| is fixed; |names| the control it stands beside
  kReadOnlyEdit,  // shows ModalDialog::ControlText(id)
};

struct DialogControl {
  int id = 0;  // 0 for labels and group boxes, which have none
  DialogControlKind kind = DialogControlKind::kLabel;
  std::string text;  // UTF-8
  int names = 0;     // labels and group boxes: the id of the control they name
  int row = 0;       // the line of the dialog it sits on, from the top
};

struct DialogTemplate {
  int resource_id = 0;
  std::string caption;  // UTF-8
  std::string font;     // UTF-8
  int point_size = 0;
  int width = 0;   // dialog units
  int height = 0;  // dialog units
  // In the order a person reads them (and tabs through them).
  std::vector<DialogControl> controls;
};

// The dialog's side: its template, the texts of its controls, and what its
// buttons do.
class ModalDialog {
 public:
  virtual ~ModalDialog() = default;
  virtual const DialogTemplate& Template() const = 0;
  // The current text (UTF-8) of read-only edit |id|; empty for an unknown id.
  virtual std::string ControlText(int id) const = 0;
  // Carries out the command |id| (a push button's id, or kDialogCancel).
  // True when the dialog closes with it. Unknown ids are ignored.
  virtual bool OnCommand(int id) = 0;
};

// The host's side: draws a dialog and reads the person's buttons.
class DialogPresenter {
 public:
  virtual ~DialogPresenter() = default;
  // Shows |dialog| as it is now: when it opens and after every command.
  virtual void Show(const ModalDialog& dialog) = 0;
  // Waits for the person's next command: a push button's id, or
  // kDialogCancel when the person closes the dialog or no more input can
  // come (a presenter must not return anything else forever). While it
  // waits it should keep handling the thread's window messages
  // (PumpMessages), as a modal dialog's own loop does, so that events still
  // reach the application while the dialog is open.
  virtual int WaitForCommand(const ModalDialog& dialog) = 0;
  // The dialog has closed (after the command that closed it).
  virtual void Closed(const ModalDialog& dialog) { (void)dialog; }
};

// Sets the process's presenter (null: none) and returns the previous one.
// Not owned: it must stay valid until it is replaced and no dialog runs on it.
DialogPresenter* SetDialogPresenter(DialogPresenter* presenter);

// Shows |dialog| through the process's presenter and feeds the commands into
// it until it closes. Returns the command that closed it, or
// kDialogNotShown (nothing shown, no command run) when no presenter is set.
int RunModalDialog(ModalDialog& dialog);

}  // namespace vexokrt::platform
