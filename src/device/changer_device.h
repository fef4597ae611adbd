// SPDX-License-Identifier: Apache-2.0
// The device command layer: builds the cash changer's commands, hands them
// to the communication thread as DeviceRequests, waits for (or is notified
// of) the final answer, maps it to OPOS result codes, and keeps the device's
// picture: the last status record and its interpretation (jam, empty, near
// empty, full, near full), the two count sets, the deposit count record and
// the power state, each under its own lock.
//
// It owns the line and the communication thread and implements the thread's
// delegate. What a status record means is decided by StatusInterpreter, the
// three notifications are RejectNotice, CassetteNotice and
// CassetteDisplayNotice, the power state and its consequences are
// PowerStateKeeper and PlanPowerChange, the stop requests go through
// StopMailboxes; this class is the request front end and carries out their
// verdicts with the line and the host. It reaches the service object only
// through ChangerHost.
//
// Threads: the public methods may be called from any thread unless they say
// otherwise. Only the communication thread uses the line: every exchange
// runs inside one of its jobs (RunJob), requests or watch steps, so callers
// never pause the watch to get the line; a sequence that no watch step may
// interleave with is one job. No lock of this class is held while the host
// is called or while waiting. Waits inside a watch step (the deposit
// restart, the operation mode resent after an offline spell) give up as soon
// as a job or StopWatch waits for the step, so neither waits for them. The
// KRT03 take-back question of the status interpretation is only asked there;
// a later watch pass acts on its answer without waiting for it, and a job,
// StopWatch or the closing of the port ends it (TakeBackQuestion).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "link/answer_rules.h"
#include "device/cash_records.h"
#include "device/changer_host.h"
#include "device/deposit_session.h"
#include "device/device_switches.h"
#include "device/history_pause.h"
#include "device/notifications.h"
#include "device/power_state.h"
#include "device/status_interpreter.h"
#include "link/command_set.h"
#include "device/status_record.h"
#include "device/stop_mailboxes.h"
#include "device/take_back_question.h"
#include "diag/exam_log.h"
#include "link/comm_thread.h"
#include "link/device_request.h"
#include "link/line_exchange.h"
#include "platform/clock.h"
#include "platform/thread_annotations.h"

namespace vexokrt {

class ChangerDevice : private CommThreadDelegate {
 public:
  // A waiter whose request could not be queued (port closed) gives up after
  // this long and gets a reply with status kReplyNotQueued.
  static constexpr int64_t kIdleGuardMs = 5000;
  // How long a successful waited KRT02 take-back hides the device's error
  // stop from the jam state.
  static constexpr int64_t kJamHoldMs = 5000;

  // |host|, |clock| and |exam| (may be null) must outlive the device.
  // |deposit| is the deposit's state, shared with the service object's
  // deposit members, and |switches| the service object's values the device
  // layer reads; both outlive the device layer.
  ChangerDevice(ChangerHost& host, DepositSession& deposit, DeviceSwitches& switches, DeviceSettings settings,
                std::unique_ptr<LineExchange> line,
                platform::Clock& clock = platform::SystemClock(), diag::ExamLog* exam = nullptr);
  // Stops the communication thread and closes the port.
  ~ChangerDevice() override;
  ChangerDevice(const ChangerDevice&) = delete;
  ChangerDevice& operator=(const ChangerDevice&) = delete;

  // --- Port, thread and model -------------------------------------------
  // Forgets the kept status and what it showed, opens the port, then
  // starts the communication thread: 0 on success, 1 on failure (a thread
  // that cannot start closes the port again, with its Error line).
  int OpenPort();
  // Stops the thread (every queued request is answered), closes the port.
  int ClosePort();
  bool PortOpen() const;
  // Detects the model; requests queued before a reopen of the port on the
  // way are answered with a time-out.
  ModelDetection DetectModel();
  ModelCode Model() const;
  // True when line work in progress should end between two exchanges: the
  // thread stops, or (on the communication thread, inside a watch step) a
  // job or a StopWatch waits for the running step. The status
  // interpretation, the power-state actions and the history step look at it.
  bool LineWaitAbandoned() const;

  // --- Device work ---------------------------------------------------------
  // The communication thread is the only user of the line: every exchange
  // of the methods below runs on it, inside a job (CommThread::RunJob) of
  // its own, or inside the job or watch step of its caller.
  //
  // Runs |work| as one job: nothing else reaches the line until it ends
  // (commands it sends waited run inside it). An open take-back question is
  // given up first, as the watch that would decide it does not run
  // meanwhile. False when the work did not run (the thread is not running
  // or stopped first) or stopped with an exception. On the communication
  // thread the work runs at once. Any thread.
  bool RunJob(const std::function<void()>& work);
  // The same, handing the work the line: the device logs' and the program
  // download's own exchanges.
  bool RunWithLine(const std::function<void(LineExchange& line)>& work);
  // One exchange: the framed command and its first answer within
  // |timeout_ms|, with the link's follow-up reads unless suppressed.
  DeviceReply ExchangeNow(std::span<const uint8_t> command, int32_t timeout_ms, bool suppress_follow_ups = false);
  // The next answer the device sends unasked within |timeout_ms|.
  DeviceReply ReceiveNow(int32_t timeout_ms, bool suppress_follow_ups);
  // The watch's status and counts reads (receive status; |taken| tells
  // whether a record of the right length was taken).
  ReceiveStatus ReadStatusNow(bool* taken = nullptr);
  ReceiveStatus ReadCountsNow(bool* taken = nullptr);
  // The device error number of the status (ReadErrorNumber).
  ErrorNumberRead ReadErrorNumber();
  // KRT07 family: extended code 231-241 from the status by |rule|.
  int32_t ReadKrt07ErrorCode(Krt07Rule rule);

  // --- The thread's marks -------------------------------------------------------
  // Set by the cash operations inside their jobs, read by the watch.
  void SetDepositPhase(int32_t phase) { comm_->SetDepositPhase(phase); }
  int32_t DepositPhase() const { return comm_->DepositPhase(); }
  void SetStatusStale(bool stale) { comm_->SetStatusStale(stale); }
  bool StatusStale() const { return comm_->StatusStale(); }
  void SetCountsStale(bool stale) { comm_->SetCountsStale(stale); }
  bool CountsStale() const { return comm_->CountsStale(); }
  void SetExitSettingValues(const std::array<int32_t, 5>& values) { comm_->SetExitSettingValues(values); }
  void SetExitSettingPending(bool pending) { comm_->SetExitSettingPending(pending); }
  bool ExitSettingPending() const { return comm_->ExitSettingPending(); }
  bool Recovering() const { return comm_->Recovering(); }
  int32_t WatchErrorCount() const { return comm_->WatchErrorCount(); }
  // Answers that came in damaged on this device layer's line (see
  // LineExchange::DamagedAnswerCount).
  uint32_t DamagedAnswerCount() const { return line_->DamagedAnswerCount(); }
  bool WatchEnabled() const { return comm_->WatchEnabled(); }
  bool ThreadRunning() const { return comm_->Running(); }
  bool ThreadStopRequested() const { return comm_->StopRequested(); }
  // True while a StopWatch caller waits for the running watch step.
  bool WatchPauseWaiting() const { return comm_->WatchPauseWaiting(); }
  // The background operation-history fetch: switched on at claim (and off
  // at release); an operation of the service object holds it off for its
  // time, so that it never comes between the operation's jobs.
  void SetHistoryFetchEnabled(bool enabled) { comm_->SetHistoryFetchEnabled(enabled); }
  bool HistoryFetchEnabled() const { return comm_->HistoryFetchEnabled(); }

  // --- Operations -----------------------------------------------------------
  // Runs |steps| on the caller's thread as one operation: the history fetch
  // waits from before them until they end, and the ExamLog tells it
  // (HistoryPause: 4,1,0,0 as the wait begins, 5,1,0,0 as it ends). The
  // steps send their device work as jobs. Their result. Any thread but the
  // communication thread.
  opos::OposResult RunOperation(const std::function<opos::OposResult()>& steps);
  // The same, handing the steps the wait: they may end it early, or move it
  // into the DepositSession, which keeps it from the deposit's beginning to
  // its end.
  opos::OposResult RunOperation(const std::function<opos::OposResult(HistoryPause& wait)>& steps);

  // --- Requests -----------------------------------------------------------
  // Queues the command and waits for its final answer. When nothing could be
  // queued (port closed) the wait ends after kIdleGuardMs with a reply whose
  // status is kReplyNotQueued.
  DeviceReply SendCommand(std::span<const uint8_t> bytes, WaitStyle style, int32_t timeout_ms,
                          int32_t delay_after_ms = 0);
  // Queues the command; its answer is posted to the window (the take-back
  // completion for WaitStyle::kTakeBack, else the asynchronous completion
  // with kNotifyParameter when |notify|). False when nothing was queued.
  bool SendCommandAsync(std::span<const uint8_t> bytes, WaitStyle style, int32_t timeout_ms, int32_t delay_after_ms,
                        bool notify);
  // Queues a device-log-file request; its result is posted with
  // kMsgOutputLogComplete and |parameter|.
  bool SendLogRequest(int32_t code, int32_t timeout_ms, int32_t parameter);
  // Sends |command| waited and maps its answer by the command's rule (the
  // extended code comes with OPOS_E_EXTENDED). The reply is handed out
  // through |reply| when given.
  opos::OposResult Execute(const DeviceCommand& command, DeviceReply* reply = nullptr);
  // Sends |command| asynchronously: OPOS_SUCCESS once queued,
  // OPOS_E_NOHARDWARE when it could not be queued.
  opos::OposResult ExecuteAsync(const DeviceCommand& command, bool notify = false);
  // Maps |reply| by |rule|. May read the line. "Jammed" for a rule is the
  // error stop shown by the kept status.
  opos::OposResult MapAnswer(const DeviceReply& reply, const AnswerRule& rule);

  // Switches the status watch on (enabling: with |failure_count| failed
  // steps counted) and off (disabling: waits for a running step, which ends
  // between two exchanges, and gives up an open take-back question).
  void StartWatch(int32_t failure_count);
  void StopWatch();
  // The device enabled: the watch runs, with |failure_count| failed steps
  // counted (4: its first step begins with the model check).
  void Enable(int32_t failure_count) { StartWatch(failure_count); }
  // The device disabled: the watch stops and the power state is unknown.
  void Disable();

  // --- Commands with state of their own ------------------------------------
  // KRT02 take-back "-1>": asynchronous (take-back completion) unless
  // DioReadExchange is 1; then waited, and while it runs and for kJamHoldMs
  // after it succeeded the device's error stop is not reported as a jam.
  opos::OposResult TakeBack(const CashCounts& counts);
  // "o00" waited; the answer goes to the deposit interpreter (also primes
  // the remembered reject digits). OPOS_E_FAILURE for a wrong length.
  opos::OposResult ReadDepositCounts();
  // ",00" waited (the KRT02 family and the KRT03): the deposit counts only.
  opos::OposResult ReadShortDepositCounts();

  // --- Kept status ----------------------------------------------------------
  bool StatusKept() const;
  std::vector<uint8_t> KeptStatus() const;  // empty when none is kept
  bool Jammed() const;
  StatusConditions Conditions() const;
  // 31 jammed, 11 empty, 12 near empty, else 0.
  int32_t DeviceStatus() const;
  // 21 full, 22 near full, else 0.
  int32_t FullStatus() const;
  // The checks before dispensing and before a deposit, on the kept status:
  // a failure is OPOS_E_EXTENDED with its code (or OPOS_E_FAILURE on a KRT02
  // with its unit flag set).
  opos::OposResult CheckBeforeDispense();
  opos::OposResult CheckBeforeDeposit();
  // Forgets the kept status record (enabling does this); what it showed
  // (jam, fill levels) is kept, so the application hears of each change
  // once. Opening the port forgets both.
  void ForgetStatus();
  // Takes a status record read outside the watch (interpretation,
  // notifications). On the communication thread or direct.
  void InterpretStatusRecord(std::span<const uint8_t> record) { TakeStatus(record); }

  // --- Counts -----------------------------------------------------------------
  CashCounts CountsA() const;
  CashCounts CountsB() const;
  bool CountsKnown() const;
  int32_t Discrepancy() const;  // 0 or 1
  int32_t SecondFlag() const;   // 0 or 1
  // The counts of the last take-back (".00").
  CashCounts ReturnedCounts() const;
  // The amount of the last change pay-out that succeeded (0 before any).
  void SetLastChangeAmount(int32_t amount) { last_change_amount_.store(amount); }
  int32_t LastChangeAmount() const { return last_change_amount_.load(); }

  // --- Deposit count record ---------------------------------------------------
  DispenseRecord DepositCounts() const;
  bool DepositCountsChanged() const;
  void ClearDepositCountsChanged();
  // Zeroes the record ("+00" and BeginDeposit).
  void ClearDepositCounts();
  // The deposit-progress marks: cash seen still being handled (byte 7 bit 2,
  // byte 8 bit 2) by the ready wait and the wait for clear, and counting
  // seen by the ready wait or the status interpreter.
  bool HandlingMarkByte7() const { return mark_byte7_.load(); }
  bool HandlingMarkByte8() const { return mark_byte8_.load(); }
  bool CountingTookPlace() const { return counting_took_place_.load(); }
  void ResetDepositMarks();

  // --- A pay-out whose part paid is not known yet --------------------------------
  // Until the machine is next seen at rest (MachineAtRest) by a status read
  // that a counts read follows, the counts read leave the counts marked
  // stale; the counts of that first read at rest then go to the window as
  // kMsgPayoutAtRest with |ticket|. A later call replaces the wish; ticket 0
  // drops it (so does closing the port). Any thread.
  void AwaitPayoutAtRest(uint32_t ticket);
  // The ticket still waiting (0: none).
  uint32_t AwaitedPayout() const;

  // --- Power state --------------------------------------------------------------
  int32_t PowerState() const;
  // True while a request is queued or running: the service object's State
  // reads busy (3) then.
  bool Busy() const;
  // The notifying setter: nothing when equal; otherwise stores it, runs the
  // side effects when the previous value was not 2000 (deposit restart on
  // 2001 during an unfixed deposit, KRT03 DirectIoMode reset, KRT07/KRT77
  // operation mode resent on 2001; these use the line: communication
  // thread or direct) and queues a status update when PowerNotify is 1.
  void SetPowerState(int32_t power_state);
  // Stores the value without side effects or notification (disabling).
  void StorePowerState(int32_t power_state);

  // --- Direct procedures ---------------------------------------------------------
  // Repeats the status read while cash is still being handled, for at most
  // |limit_ms|: OPOS_SUCCESS (clear, or the limit passed: see
  // CashBeingHandledKept()), OPOS_E_TIMEOUT (no answer), OPOS_E_FAILURE.
  int32_t WaitForClear(int64_t limit_ms);
  bool CashBeingHandledKept() const;
  // KRT07/KRT77: waits until the deposit unit is idle (bytes 47-50 all '3'):
  // 0; while a pair reads "31" it sets |*waiting| and reads again;
  // OPOS_E_TIMEOUT without an answer; OPOS_E_FAILURE otherwise. With
  // |limit_ms| >= 0 the wait gives up with OPOS_E_BUSY once the unit has
  // still been counting after that long.
  int32_t ReadyWait(bool* waiting = nullptr, int64_t limit_ms = -1);
  // Restarts the deposit unit after a jam or an offline spell: true on
  // success. A fixed or paused deposit keeps its intake closed (on a KRT03
  // nothing is sent to the intake then).
  bool RestartDeposit();

  // --- Stop of a running operation (direct I/O) -------------------------------
  // Asks the operation in progress to stop: asynchronously (the outcome
  // arrives as AsyncResultCode and status update 91) or waited (at most
  // 5 s for the device's acceptance, then 30 s for the operation's end).
  // OPOS_E_ILLEGAL when nothing runs or a stop is already open.
  opos::OposResult RequestStop(bool asynchronous);
  int32_t StopMailbox() const;

  // --- Notification switches (direct I/O) -----------------------------------
  void SetRejectCountWatch(bool on) { reject_notice_.SetWatch(on); }
  void SetRejectKindReport(bool on) { reject_notice_.SetKindReport(on); }
  void SetCassetteNotify(bool on) { cassette_notice_.SetEnabled(on); }
  void SetCassetteDisplayNotify(bool on) { cassette_display_notice_.SetEnabled(on); }
  bool RejectCountWatch() const { return reject_notice_.Watch(); }
  bool RejectKindReport() const { return reject_notice_.KindReport(); }
  bool CassetteNotify() const { return cassette_notice_.Enabled(); }
  bool CassetteDisplayNotify() const { return cassette_display_notice_.Enabled(); }
  // True while a reject notification waits for a status that allows it.
  bool RejectPending() const { return reject_notice_.Pending(); }

  // --- Hooks for later components -------------------------------------------
  // The operation-history step of the watch (0 or -10 fine). Unset: 0.
  void SetHistoryStep(std::function<int32_t()> step);
  // The device-log-file retrieval of a log request. Unset: OPOS_E_FAILURE.
  void SetLogFileReader(std::function<opos::OposResult(int32_t code)> reader);

 private:
  // The history fetch's wait for an operation, with its ExamLog records.
  [[nodiscard]] HistoryPause HoldHistory();
  // CommThreadDelegate.
  void AsyncStopDone() override;
  void ResetMailboxes() override;
  bool ServeMailboxes(bool operation_reports_itself) override;
  bool AskTakeBackRetry(const std::function<bool()>& abandon) override;
  bool BeforeWatchStep() override;
  void DeliverPosted(const DeviceRequest& request, DeviceReply reply, bool executed) override;
  opos::OposResult RunLogFileRequest(int32_t code) override;
  void DeliverLogResult(const DeviceRequest& request, opos::OposResult result) override;
  void ReportPowerState(int32_t power_state) override;
  void TakeDepositAnswer(const DeviceReply& reply, DepositRead kind) override;
  void TakeStatus(std::span<const uint8_t> record) override;
  bool TakeCounts(std::span<const uint8_t> set_a, std::span<const uint8_t> set_b) override;
  int32_t RunHistoryStep() override;
  bool DepositUnderWay() override;

  bool Enqueue(std::unique_ptr<DeviceRequest> request);
  // WaitForClear and ReadyWait on the thread.
  int32_t WaitForClearNow(int64_t limit_ms);
  int32_t ReadyWaitNow(bool* waiting, int64_t limit_ms);
  DeviceReply UnqueuedReply();
  bool JamHeld() const;
  bool DepositOpen();
  void InterpretStatus(std::span<const uint8_t> record);
  void ApplyNotificationRules(std::span<const uint8_t> record);
  void RereadDepositCounts();
  void ResendOperationMode();
  void NoteHandlingMarks(std::span<const uint8_t> record);
  void Notify(std::string_view message, int32_t event_number);

  ChangerHost& host_;
  DepositSession& deposit_;
  DeviceSwitches& switches_;
  const DeviceSettings settings_;
  platform::Clock& clock_;
  diag::ExamLog* exam_;
  std::unique_ptr<LineExchange> line_;
  std::unique_ptr<CommThread> comm_;
  TakeBackQuestion take_back_question_;
  const StatusInterpreter interpreter_;

  mutable platform::Mutex status_lock_;
  std::vector<uint8_t> kept_status_ VEX_GUARDED_BY(status_lock_);  // empty: none
  StatusMemory status_memory_ VEX_GUARDED_BY(status_lock_);

  mutable platform::Mutex counts_lock_;
  CashCounts counts_a_ VEX_GUARDED_BY(counts_lock_){};
  CashCounts counts_b_ VEX_GUARDED_BY(counts_lock_){};
  CashCounts returned_counts_ VEX_GUARDED_BY(counts_lock_){};
  bool counts_known_ VEX_GUARDED_BY(counts_lock_) = false;
  int32_t discrepancy_ VEX_GUARDED_BY(counts_lock_) = 0;
  int32_t second_flag_ VEX_GUARDED_BY(counts_lock_) = 0;


  PowerStateKeeper power_;
  StopMailboxes stop_;

  mutable platform::Mutex hooks_lock_;
  std::function<int32_t()> history_step_ VEX_GUARDED_BY(hooks_lock_);
  std::function<opos::OposResult(int32_t)> log_file_reader_ VEX_GUARDED_BY(hooks_lock_);

  // Jam hold of the KRT02 take-back.
  std::atomic<bool> take_back_running_{false};
  std::atomic<bool> jam_hold_armed_{false};
  std::atomic<int64_t> jam_hold_since_{0};

  std::atomic<int32_t> last_change_amount_{0};

  // A pay-out's end that is waited for (AwaitPayoutAtRest).
  mutable platform::Mutex payout_rest_lock_;
  uint32_t payout_ticket_ VEX_GUARDED_BY(payout_rest_lock_) = 0;
  bool payout_at_rest_ VEX_GUARDED_BY(payout_rest_lock_) = false;

  // Deposit-progress marks (see HandlingMarkByte7).
  std::atomic<bool> mark_byte7_{false};
  std::atomic<bool> mark_byte8_{false};
  std::atomic<bool> counting_took_place_{false};

  RejectNotice reject_notice_;
  CassetteNotice cassette_notice_;
  CassetteDisplayNotice cassette_display_notice_;
};

}  // namespace vexokrt
