// SPDX-License-Identifier: Apache-2.0
// A pause of the background operation-history fetch, with its ExamLog
// records: ("4", "1", "0", "0") as it begins and ("5", "1", "0", "0") as it
// ends. Pauses nest: the fetch runs again once the last one has ended (a
// hold of the communication thread, CommThread::Hold). Movable, so a pause
// that belongs to a later call (the deposit's, from its beginning to its
// end) goes with the state that keeps it; every way out ends it. It must end
// before the device layer goes.
#pragma once

#include <utility>

#include "diag/exam_log.h"
#include "link/comm_thread.h"

namespace vexokrt {

class HistoryPause {
 public:
  HistoryPause() = default;
  // Begins the pause: |hold| holds the fetch; the begin record goes to
  // |exam| (may be null).
  HistoryPause(CommThread::Hold hold, diag::ExamLog* exam) : hold_(std::move(hold)), exam_(exam) {
    if (exam_ != nullptr) exam_->Write(4, 1, 0, 0);
  }
  HistoryPause(HistoryPause&& other) noexcept
      : hold_(std::move(other.hold_)), exam_(std::exchange(other.exam_, nullptr)) {}
  HistoryPause& operator=(HistoryPause&& other) noexcept {
    if (this != &other) {
      End();
      hold_ = std::move(other.hold_);
      exam_ = std::exchange(other.exam_, nullptr);
    }
    return *this;
  }
  HistoryPause(const HistoryPause&) = delete;
  HistoryPause& operator=(const HistoryPause&) = delete;
  ~HistoryPause() { End(); }

  // Ends the pause with its record.
  void End() {
    if (!hold_.held()) return;
    hold_.End();
    if (diag::ExamLog* exam = std::exchange(exam_, nullptr)) exam->Write(5, 1, 0, 0);
  }
  // Ends the pause without a record: another pause that goes on covers it.
  void Drop() {
    hold_.End();
    exam_ = nullptr;
  }
  bool held() const { return hold_.held(); }

 private:
  CommThread::Hold hold_;
  diag::ExamLog* exam_ = nullptr;
};

}  // namespace vexokrt
