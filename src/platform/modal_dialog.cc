// SPDX-License-Identifier: Apache-2.0
#include "platform/modal_dialog.h"

#include "platform/thread_annotations.h"

namespace vexokrt::platform {
namespace {

Mutex g_presenter_lock;
DialogPresenter* g_presenter VEX_GUARDED_BY(g_presenter_lock) = nullptr;

}  // namespace

DialogPresenter* SetDialogPresenter(DialogPresenter* presenter) {
  MutexLock guard(g_presenter_lock);
  DialogPresenter* previous = g_presenter;
  g_presenter = presenter;
  return previous;
}

int RunModalDialog(ModalDialog& dialog) {
  DialogPresenter* presenter = nullptr;
  {
    MutexLock guard(g_presenter_lock);
    presenter = g_presenter;
  }
  if (presenter == nullptr) return kDialogNotShown;
  for (;;) {
    presenter->Show(dialog);
    const int command = presenter->WaitForCommand(dialog);
    if (dialog.OnCommand(command)) {
      presenter->Closed(dialog);
      return command;
    }
  }
}

}  // namespace vexokrt::platform
