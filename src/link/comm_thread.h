// SPDX-License-Identifier: Apache-2.0
// The communication thread: the one holder of the line to the cash changer.
// It executes queued DeviceRequests and jobs (RunJob: a sequence of device
// work that runs alone) strictly in the order they were queued, waits for
// each request's final answer in the way its WaitStyle says, and hands the
// reply back (WaitSlot or posted message).
// Between requests, while the watch is enabled, it runs a status watch step
// every watch interval (every 50 ms during deposit phases 2 and 3): deposit,
// status and counts reads, the operation-history step, power-state reports,
// offline detection and line recovery.
//
// Everything that needs knowledge of the device's records and of the service
// object goes through CommThreadDelegate (the device layer implements it).
//
// Guarantees:
// - Every queued request is answered exactly once: by its final answer, or,
//   when it is discarded (port reopened or closed) or the thread stops, by a
//   time-out reply (status kReplyTimeout) without being executed. Every job
//   is answered exactly once, run or not run. What escapes a request, a job
//   or a watch step ends the thread (never the host): the request is
//   answered with a failure, everything queued as at a stop. Queued
//   pay-outs are never run during shutdown. A command that cannot be
//   written is answered with a time-out at once, without waiting.
// - Stop() always ends the thread, also while a request waits for a long
//   device action or for the application's take-back answer: such a wait
//   ends with a time-out reply.
// - Idle waits, the queue and stopping use a condition variable; an enabled
//   idle thread wakes only for its watch steps.
//
// Locks (never held while another of this list is taken, except that a watch
// step runs under the watch lock and takes the history lock and the
// delegate's locks inside it): queue lock (queue, stop flag, running state),
// watch lock (WatchEnabled; held for a whole watch step, so PauseWatch waits
// for a running step, which then ends between two exchanges, as it does
// when a job waits), history lock (HistoryFetchEnabled; held while the
// history step runs), lifecycle lock (Start/Stop).
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <utility>

#include "diag/exam_log.h"
#include "link/device_reply.h"
#include "link/device_request.h"
#include "link/line_exchange.h"
#include "opos/opos.h"
#include "platform/clock.h"
#include "platform/thread_annotations.h"

namespace vexokrt {

// Which deposit-count answer a watch step read.
enum class DepositRead {
  kFull,   // "o00", 35 bytes (KRT07/KRT77 during a deposit)
  kShort,  // ",00", 32 bytes (other models)
};

// The device layer as the communication thread sees it. All calls are made on
// the communication thread.
class CommThreadDelegate {
 public:
  virtual ~CommThreadDelegate() = default;

  // A stop of the running operation that was asked for asynchronously was
  // acknowledged during the wait: AsyncResultCode 0 and status update 91.
  virtual void AsyncStopDone() = 0;
  // Both stop mailboxes go back to 0 after every request.
  virtual void ResetMailboxes() = 0;
  // The in-wait check: serves a pending stop or cancel request. Returns true
  // when an asynchronous stop was acknowledged (the completion is reported
  // after the request, through AsyncStopDone). With |operation_reports_itself|
  // (the running request is an asynchronous operation whose completion is
  // posted) an asynchronous stop's outcome is the operation's own: nothing of
  // it goes to the AsyncResultCode properties or as a status update, so the
  // operation gives its one status update 91 once its result is final.
  virtual bool ServeMailboxes(bool operation_reports_itself) = 0;
  // KRT03 take-back: asks the application whether to retry. Must return
  // when |abandon| turns true.
  virtual bool AskTakeBackRetry(const std::function<bool()>& abandon) = 0;
  // Delivers a posted request's reply to the service object's window.
  // |executed| is false for a request answered without being run.
  virtual void DeliverPosted(const DeviceRequest& request, DeviceReply reply, bool executed) = 0;
  // Runs a device-log-file request and returns its result; and delivers it.
  virtual opos::OposResult RunLogFileRequest(int32_t code) = 0;
  virtual void DeliverLogResult(const DeviceRequest& request, opos::OposResult result) = 0;

  // Watch step.
  // Called under the watch lock before every watch step; false leaves the
  // step out. The device layer carries out here what a step before it left
  // to be decided later (it must not wait in it).
  virtual bool BeforeWatchStep() { return true; }
  virtual void ReportPowerState(int32_t power_state) = 0;
  // A deposit-count answer (any length; the delegate checks it).
  virtual void TakeDepositAnswer(const DeviceReply& reply, DepositRead kind) = 0;
  // A status record of the model's length.
  virtual void TakeStatus(std::span<const uint8_t> record) = 0;
  // A counts answer: the 70-byte answer (|set_b| empty) or the KRT03's two
  // 30-byte answers. False when the counts, though taken, are not to be
  // trusted yet (the machine may still be moving cash): CountsStale stays.
  virtual bool TakeCounts(std::span<const uint8_t> set_a, std::span<const uint8_t> set_b) = 0;
  // The operation-history step: 0 or -10 are fine, anything else a failure.
  virtual int32_t RunHistoryStep() = 0;
  // True while the service object's deposit is under way (DepositStatus 1, 4).
  virtual bool DepositUnderWay() = 0;
};

// What starting the thread did.
enum class ThreadStart {
  kRunning,  // started, or already running
  kFailed,   // the thread could not be created
};

class CommThread {
 public:
  struct Settings {
    int32_t watch_interval_ms = 500;
    // Non-zero: a failed watch step re-opens the port and detects the model.
    int32_t auto_negotiation = 0;
  };

  // The first answer of every request is awaited this long.
  static constexpr int32_t kFirstAnswerMs = 500;
  // Idle wait during deposit phases 2 and 3.
  static constexpr int32_t kDepositWatchMs = 50;

  // |line|, |delegate|, |clock| and |exam| (may be null) must outlive the
  // thread object.
  CommThread(LineExchange& line, CommThreadDelegate& delegate, Settings settings,
             platform::Clock& clock = platform::SystemClock(), diag::ExamLog* exam = nullptr);
  // Stops the thread.
  ~CommThread();
  CommThread(const CommThread&) = delete;
  CommThread& operator=(const CommThread&) = delete;

  // Starts the thread (a no-op when it already runs). Whoever opens the port
  // starts the thread after it; the thread never opens or closes the port
  // except in its own line recovery.
  ThreadStart Start();
  // Stops the thread and waits for it to end; every request still queued is
  // answered with a time-out. A no-op when not running or when called on the
  // thread itself.
  void Stop();
  bool Running() const;
  // True when called on the communication thread.
  bool OnThread() const;
  // True once Stop() has been asked for and the thread has not ended yet.
  bool StopRequested() const { return stop_requested_.load(); }

  // Queues |request| behind the queued ones and marks the thread busy in
  // the same step, so no reader sees the request queued but the thread idle.
  // False, and nothing queued, when the port is closed or the thread is not
  // running or stopping. Any thread.
  bool Enqueue(std::unique_ptr<DeviceRequest> request);
  // True from the queueing of a request until a request's final answer is
  // about to be delivered (also for requests answered without execution):
  // the service object's State reads busy meanwhile. A request that ends
  // while others are queued makes the thread read idle, as every request's
  // end does. Any thread.
  bool Busy() const VEX_EXCLUDES(queue_lock_);
  // Answers every queued request with a time-out reply (and every queued job
  // with kNotRun), without running it. Any thread.
  void DiscardQueued();
  size_t QueuedCount() const;

  // --- Jobs -----------------------------------------------------------------
  // Runs |work| on this thread as one job: after the requests queued before
  // it, and alone, with no watch step and no other queued request between
  // its exchanges (a request the work sends waited runs inside it, at once;
  // one it queues runs after it). A watch step under way when the job is
  // queued ends between two exchanges. Waits for the job's end and says how
  // it ended: kNotQueued when the port is closed or the thread not running;
  // kNotRun when the thread stops or the queue is discarded first, or the
  // job could not start within |start_limit_ms| (-1: no limit); kFailed when
  // the work threw. On the thread itself (inside a job, a request or a watch
  // step) the work runs at once. Any thread.
  // (There it is called as it is, without being wrapped for the queue.)
  template <typename Work>
  JobEnd RunJob(Work&& work, int64_t start_limit_ms = -1) {
    if (OnThread()) return RunHere(work);
    return SubmitJob(std::function<void()>(std::forward<Work>(work)), start_limit_ms, /*only_when_idle=*/false);
  }
  // As RunJob, but only while the line is nobody's: kNotRun at once, and
  // nothing run, when a request or a job runs or waits. Any thread but this.
  JobEnd RunJobWhenIdle(std::function<void()> work);
  // Processes |request| now, on this thread (inside a job): sent, waited for
  // and answered as the queue would, busy meanwhile. Communication thread only.
  void ProcessNow(DeviceRequest& request);

  // A hold on one of the thread's background activities: the status watch
  // or the operation-history fetch. While any hold of a kind is held that
  // activity does not run; holds nest, so an inner step that takes and ends
  // a hold of its own never lets the activity run inside an outer one. The
  // activity runs again only once the last hold has ended (and it is
  // switched on: ResumeWatch, SetHistoryFetchEnabled). Ending a watch hold
  // that was the last one also clears the count of failed watch steps.
  // Movable; ending it twice (or a moved-from hold) does nothing. A hold
  // must end before its thread object is destroyed.
  class Hold {
   public:
    Hold() = default;
    Hold(Hold&& other) noexcept;
    Hold& operator=(Hold&& other) noexcept;
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    ~Hold() { End(); }
    // Ends the hold now.
    void End();
    bool held() const { return thread_ != nullptr; }

   private:
    friend class CommThread;
    enum class Kind { kWatch, kHistory };
    Hold(CommThread* thread, Kind kind) : thread_(thread), kind_(kind) {}
    CommThread* thread_ = nullptr;
    Kind kind_ = Kind::kWatch;
  };

  // Holds the watch: returns once a running watch step has ended (it ends
  // between two exchanges). On the communication thread itself it returns
  // at once. Any thread.
  [[nodiscard]] Hold HoldWatch();
  // Holds the history fetch: returns once a running history step has ended.
  // Not from inside a history step.
  [[nodiscard]] Hold HoldHistory();

  // Switches the watch off and on (disabling and enabling). PauseWatch waits
  // until a running watch step ends. ResumeWatch also sets the count of
  // consecutive failed steps (4 makes the next step begin with the model
  // check). While a hold is held the watch stays off either way. Any thread.
  void PauseWatch();
  void ResumeWatch(int32_t error_count);
  // True while the watch may run: switched on and not held.
  bool WatchEnabled() const { return watch_enabled_.load(); }
  // True while a PauseWatch caller waits for the running watch step (never
  // while a request is processed: a pause does not wait for those); a step
  // then ends its waits and its line work between two exchanges.
  bool WatchPauseWaiting() const {
    return (watch_waiters_.load() > 0 || jobs_waiting_.load() > 0) && in_watch_step_.load();
  }
  int32_t WatchErrorCount() const { return watch_error_count_.load(); }

  // Flags shared with the cash operations (plain values, no lock).
  void SetDepositPhase(int32_t phase) { deposit_phase_.store(phase); }
  int32_t DepositPhase() const { return deposit_phase_.load(); }
  void SetStatusStale(bool stale) { status_stale_.store(stale); }
  bool StatusStale() const { return status_stale_.load(); }
  void SetCountsStale(bool stale) { counts_stale_.store(stale); }
  bool CountsStale() const { return counts_stale_.load(); }
  // The five exit-setting values sent with "Q062" after the next status read
  // whose byte 1 is '0' or '1', while the setting is pending.
  void SetExitSettingValues(const std::array<int32_t, 5>& values);
  std::array<int32_t, 5> ExitSettingValues() const;
  void SetExitSettingPending(bool pending) { exit_setting_pending_.store(pending); }
  bool ExitSettingPending() const { return exit_setting_pending_.load(); }
  bool Recovering() const { return recovering_.load(); }
  // Switches the history fetch on or off (claim, release); under the
  // history lock: waits until a running history step has ended.
  void SetHistoryFetchEnabled(bool enabled);
  // True while the history fetch may run: switched on and not held.
  bool HistoryFetchEnabled() const;

  // The watch's status and counts reads (receive status; a wrong length is
  // not a failure and is ignored; |taken| tells whether a record of the
  // right length was taken). Only on the thread, or by a caller that holds
  // the watch and has no request in flight.
  ReceiveStatus StatusRead(bool* taken = nullptr);
  ReceiveStatus CountsRead(bool* taken = nullptr);

 private:
  void Run();
  void RunLoop();
  void Process(DeviceRequest& request);
  // Runs |work| here and now: kRan, or kFailed when it threw.
  template <typename Work>
  static JobEnd RunHere(Work& work) {
    try {
      work();
    } catch (...) {
      return JobEnd::kFailed;
    }
    return JobEnd::kRan;
  }
  JobEnd SubmitJob(std::function<void()> work, int64_t start_limit_ms, bool only_when_idle);
  void RunQueuedJob(DeviceRequest& request);
  // A request's end: the thread reads idle before its answer is delivered.
  void EndRequest() VEX_EXCLUDES(queue_lock_);
  void WaitFinalAnswer(const DeviceRequest& request, DeviceReply& reply, int32_t rest_ms);
  void Krt03StalledCheck(WaitStyle style);
  void Answer(DeviceRequest& request, DeviceReply reply);
  void AnswerUnexecuted(std::deque<std::unique_ptr<DeviceRequest>> requests);
  // How the reads of a watch step ended.
  enum class WatchRead {
    kDone,
    kFailed,     // a read failed: the step counts as failed
    kAbandoned,  // a pause waits or the thread stops: the step ends unfinished
  };

  void IdlePass();
  void WatchStep();
  WatchRead WatchReads();
  ReceiveStatus ExitSettingRule(std::span<const uint8_t> record);
  void Exam(const char* kind, const char* code);
  bool AbandonWait() const;
  // Inside a watch step: true once a PauseWatch caller waits or the thread
  // stops.
  bool WatchAbandoned() const;

  LineExchange& line_;
  CommThreadDelegate& delegate_;
  const Settings settings_;
  platform::Clock& clock_;
  diag::ExamLog* exam_;

  platform::Mutex lifecycle_lock_;  // serialises Start and Stop
  std::thread thread_ VEX_GUARDED_BY(lifecycle_lock_);
  std::atomic<std::thread::id> thread_id_{};

  mutable platform::Mutex queue_lock_;
  std::condition_variable wake_;
  std::deque<std::unique_ptr<DeviceRequest>> queue_ VEX_GUARDED_BY(queue_lock_);
  bool running_ VEX_GUARDED_BY(queue_lock_) = false;
  bool processing_ VEX_GUARDED_BY(queue_lock_) = false;
  bool busy_ VEX_GUARDED_BY(queue_lock_) = false;
  std::atomic<bool> stop_requested_{false};           // written under queue_lock_
  std::atomic<int32_t> jobs_waiting_{0};              // queued jobs not started yet

  void EndHold(Hold::Kind kind);
  // watch_enabled_ from the switch and the holds.
  void UpdateWatchEnabled();

  platform::Mutex watch_lock_;  // one watch step at a time
  std::atomic<bool> watch_on_{false};       // the switch; written under watch_lock_ (or on the thread)
  std::atomic<int32_t> watch_holds_{0};
  std::atomic<bool> watch_enabled_{false};  // on and not held
  std::atomic<int32_t> watch_waiters_{0};   // PauseWatch callers waiting for a step
  std::atomic<bool> in_watch_step_{false};  // written by the thread under watch_lock_
  std::atomic<int32_t> watch_error_count_{0};

  mutable platform::Mutex history_lock_;
  bool history_fetch_enabled_ VEX_GUARDED_BY(history_lock_) = false;
  int32_t history_holds_ VEX_GUARDED_BY(history_lock_) = 0;

  std::atomic<int32_t> deposit_phase_{0};
  std::atomic<bool> status_stale_{false};
  std::atomic<bool> counts_stale_{false};
  std::atomic<bool> exit_setting_pending_{false};
  std::atomic<bool> recovering_{false};
  mutable platform::Mutex exit_values_lock_;
  std::array<int32_t, 5> exit_values_ VEX_GUARDED_BY(exit_values_lock_){};

  bool pending_async_done_ = false;  // thread only
};

}  // namespace vexokrt
