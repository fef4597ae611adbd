#include "platform/modal_dialog.h"

#include <mutex>

namespace vexokrt::platform {
namespace {

std::mutex& PresenterLock() {
  static std::mutex lock;
  return lock;
}
DialogPresenter* g_presenter = nullptr;  // guarded by PresenterLock()

}  // namespace

DialogPresenter* SetDialogPresenter(DialogPresenter* presenter) {
  std::lock_guard guard(PresenterLock());
  DialogPresenter* previous = g_presenter;
  g_presenter = presenter;
  return previous;
}

int RunModalDialog(ModalDialog& dialog) {
  DialogPresenter* presenter = nullptr;
  {
    std::lock_guard guard(PresenterLock());
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
