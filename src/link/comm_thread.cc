// SPDX-License-Identifier: Apache-2.0
#include "link/comm_thread.h"

#include <algorithm>
#include <cstring>
#include <system_error>

#include "link/command_set.h"
#include "link/line_sequences.h"
#include "opos/opos.h"

namespace vexokrt {
namespace {

constexpr int32_t kReadTimeoutMs = 1000;
// The page of the operating conditions that holds the exit setting.
constexpr int32_t kExitSettingPage = 2;
// While a long action runs, an enquiry's answer may come as late as the
// line's total read time: a slow answer is no reason to give up on a
// pay-out that the device is still making. Only a device that leaves this
// many enquiries in a row unanswered ends the wait (as four failed watch
// steps mark it offline).
constexpr int32_t kLateEnquiryMs = 2000;
constexpr int kUnansweredEnquiries = 4;
constexpr size_t kCountsAnswerLength = 70;
constexpr size_t kKrt03CountsAnswerLength = 30;

// Commands whose answers use the alternative BEL rule and whose enquiries
// are made without follow-up reads: pay-outs and the deposit table.
bool IsPayoutCommand(const std::vector<uint8_t>& command) {
  if (command.size() < 2) return false;
  const uint8_t letter = command[1];
  return letter == '!' || letter == 'm' || letter == 'n' || letter == 'p';
}

bool IsDepositTableCommand(const std::vector<uint8_t>& command) {
  return command.size() >= 2 && command[1] == 'p';
}

}  // namespace

CommThread::CommThread(LineExchange& line, CommThreadDelegate& delegate, Settings settings,
                       platform::Clock& clock, diag::ExamLog* exam)
    : line_(line), delegate_(delegate), settings_(settings), clock_(clock), exam_(exam) {}

CommThread::~CommThread() { Stop(); }

ThreadStart CommThread::Start() {
  platform::MutexLock lifecycle(lifecycle_lock_);
  if (thread_.joinable()) return ThreadStart::kRunning;
  {
    platform::MutexLock lock(queue_lock_);
    stop_requested_.store(false);
    running_ = true;
  }
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::exception&) {
    // No thread (std::system_error) or no memory for its start (bad_alloc).
    platform::MutexLock lock(queue_lock_);
    running_ = false;
    return ThreadStart::kFailed;
  }
  return ThreadStart::kRunning;
}

void CommThread::Stop() {
  if (OnThread()) return;
  platform::MutexLock lifecycle(lifecycle_lock_);
  if (!thread_.joinable()) return;
  {
    platform::MutexLock lock(queue_lock_);
    stop_requested_.store(true);
  }
  wake_.notify_all();
  thread_.join();
  thread_ = std::thread();
  std::deque<std::unique_ptr<DeviceRequest>> left;
  {
    platform::MutexLock lock(queue_lock_);
    running_ = false;
    left.swap(queue_);
  }
  // The thread answers what it finds queued when it ends; anything queued in
  // between is answered here.
  AnswerUnexecuted(std::move(left));
}

bool CommThread::Running() const {
  platform::MutexLock lock(queue_lock_);
  return running_;
}

bool CommThread::OnThread() const { return thread_id_.load() == std::this_thread::get_id(); }

bool CommThread::Enqueue(std::unique_ptr<DeviceRequest> request) {
  if (!request || !line_.IsOpen()) return false;
  {
    platform::MutexLock lock(queue_lock_);
    if (!running_ || stop_requested_.load()) return false;
    queue_.push_back(std::move(request));
    busy_ = true;
  }
  wake_.notify_all();
  return true;
}

void CommThread::DiscardQueued() {
  std::deque<std::unique_ptr<DeviceRequest>> discarded;
  {
    platform::MutexLock lock(queue_lock_);
    discarded.swap(queue_);
  }
  AnswerUnexecuted(std::move(discarded));
}

bool CommThread::Busy() const {
  platform::MutexLock lock(queue_lock_);
  return busy_;
}

void CommThread::EndRequest() {
  platform::MutexLock lock(queue_lock_);
  busy_ = false;
}

size_t CommThread::QueuedCount() const {
  platform::MutexLock lock(queue_lock_);
  return queue_.size();
}

JobEnd CommThread::RunJobWhenIdle(std::function<void()> work) {
  return SubmitJob(std::move(work), -1, /*only_when_idle=*/true);
}

JobEnd CommThread::SubmitJob(std::function<void()> work, int64_t start_limit_ms, bool only_when_idle) {
  if (OnThread()) return RunHere(work);
  if (!line_.IsOpen()) return JobEnd::kNotQueued;
  auto slot = std::make_shared<JobSlot>();
  auto job = std::make_unique<DeviceRequest>();
  job->job = std::move(work);
  job->job_slot = slot;
  job->start_deadline_ms = start_limit_ms < 0 ? -1 : clock_.NowMs() + start_limit_ms;
  {
    platform::MutexLock lock(queue_lock_);
    if (!running_ || stop_requested_.load()) return JobEnd::kNotQueued;
    if (only_when_idle && (processing_ || !queue_.empty())) return JobEnd::kNotRun;
    queue_.push_back(std::move(job));
    jobs_waiting_.fetch_add(1);
  }
  wake_.notify_all();
  return slot->Wait();
}

void CommThread::RunQueuedJob(DeviceRequest& request) {
  jobs_waiting_.fetch_sub(1);
  if (request.start_deadline_ms >= 0 && clock_.NowMs() > request.start_deadline_ms) {
    request.job_slot->Fill(JobEnd::kNotRun);
    return;
  }
  JobEnd end = JobEnd::kRan;
  try {
    request.job();
  } catch (...) {
    end = JobEnd::kFailed;
  }
  request.job_slot->Fill(end);
}

void CommThread::ProcessNow(DeviceRequest& request) {
  {
    platform::MutexLock lock(queue_lock_);
    busy_ = true;
  }
  pending_async_done_ = false;
  Process(request);
}

void CommThread::AnswerUnexecuted(std::deque<std::unique_ptr<DeviceRequest>> requests) {
  if (requests.empty()) return;
  {
    // While another request is being executed its end makes the thread idle;
    // it must not read idle before that, nor while a request queued since
    // the discard waits.
    platform::MutexLock lock(queue_lock_);
    if ((!processing_ || OnThread()) && queue_.empty()) busy_ = false;
  }
  for (auto& request : requests) {
    if (request->job_slot) {
      jobs_waiting_.fetch_sub(1);
      request->job_slot->Fill(JobEnd::kNotRun);
      continue;
    }
    if (request->log_request_code != kNoLogRequest) {
      delegate_.DeliverLogResult(*request, opos::OPOS_E_NOHARDWARE);
      continue;
    }
    DeviceReply timeout;
    timeout.status = kReplyTimeout;
    if (request->delivery == Delivery::kSlot) {
      if (request->slot) request->slot->Fill(std::move(timeout));
    } else if (request->delivery == Delivery::kCaller) {
      if (request->caller_reply != nullptr) *request->caller_reply = std::move(timeout);
    } else {
      delegate_.DeliverPosted(*request, std::move(timeout), /*executed=*/false);
    }
  }
}

CommThread::Hold::Hold(Hold&& other) noexcept : thread_(other.thread_), kind_(other.kind_) { other.thread_ = nullptr; }

CommThread::Hold& CommThread::Hold::operator=(Hold&& other) noexcept {
  if (this != &other) {
    End();
    thread_ = other.thread_;
    kind_ = other.kind_;
    other.thread_ = nullptr;
  }
  return *this;
}

void CommThread::Hold::End() {
  if (thread_ == nullptr) return;
  CommThread* thread = thread_;
  thread_ = nullptr;
  thread->EndHold(kind_);
}

void CommThread::UpdateWatchEnabled() {
  watch_enabled_.store(watch_on_.load() && watch_holds_.load() == 0);
}

CommThread::Hold CommThread::HoldWatch() {
  watch_holds_.fetch_add(1);
  if (OnThread()) {
    UpdateWatchEnabled();
    return Hold(this, Hold::Kind::kWatch);
  }
  watch_waiters_.fetch_add(1);
  {
    platform::MutexLock lock(watch_lock_);
    UpdateWatchEnabled();
  }
  watch_waiters_.fetch_sub(1);
  return Hold(this, Hold::Kind::kWatch);
}

CommThread::Hold CommThread::HoldHistory() {
  platform::MutexLock lock(history_lock_);
  ++history_holds_;
  return Hold(this, Hold::Kind::kHistory);
}

void CommThread::EndHold(Hold::Kind kind) {
  switch (kind) {
    case Hold::Kind::kWatch: {
      auto end = [this] {
        if (watch_holds_.fetch_sub(1) == 1) watch_error_count_.store(0);
        UpdateWatchEnabled();
      };
      if (OnThread()) {
        end();
      } else {
        platform::MutexLock lock(watch_lock_);
        end();
      }
      return;
    }
    case Hold::Kind::kHistory: {
      platform::MutexLock lock(history_lock_);
      --history_holds_;
      return;
    }
  }
}

void CommThread::PauseWatch() {
  if (OnThread()) {
    watch_on_.store(false);
    UpdateWatchEnabled();
    return;
  }
  watch_waiters_.fetch_add(1);
  {
    platform::MutexLock lock(watch_lock_);
    watch_on_.store(false);
    UpdateWatchEnabled();
  }
  watch_waiters_.fetch_sub(1);
}

void CommThread::ResumeWatch(int32_t error_count) {
  if (OnThread()) {
    watch_on_.store(true);
    watch_error_count_.store(error_count);
    UpdateWatchEnabled();
    return;
  }
  {
    platform::MutexLock lock(watch_lock_);
    watch_on_.store(true);
    watch_error_count_.store(error_count);
    UpdateWatchEnabled();
  }
}

void CommThread::SetExitSettingValues(const std::array<int32_t, 5>& values) {
  platform::MutexLock lock(exit_values_lock_);
  exit_values_ = values;
}

std::array<int32_t, 5> CommThread::ExitSettingValues() const {
  platform::MutexLock lock(exit_values_lock_);
  return exit_values_;
}

void CommThread::SetHistoryFetchEnabled(bool enabled) {
  platform::MutexLock lock(history_lock_);
  history_fetch_enabled_ = enabled;
}

bool CommThread::HistoryFetchEnabled() const {
  platform::MutexLock lock(history_lock_);
  return history_fetch_enabled_ && history_holds_ == 0;
}

bool CommThread::AbandonWait() const { return stop_requested_.load(); }

bool CommThread::WatchAbandoned() const {
  return stop_requested_.load() || WatchPauseWaiting();
}

void CommThread::Exam(const char* kind, const char* code) {
  if (exam_ != nullptr) exam_->Write(kind, code, "0", "0");
}

void CommThread::Run() {
  thread_id_.store(std::this_thread::get_id());
  // Whatever escapes the thread's work ends the thread, never the host
  // program: what is queued is answered as at a stop.
  try {
    RunLoop();
  } catch (...) {
    // Not running any more: nothing is queued or run from here on, and the
    // owner's Stop still joins the thread.
    platform::MutexLock lock(queue_lock_);
    stop_requested_.store(true);
    running_ = false;
  }
  // Stopping: nothing queued is executed any more, but everything is answered.
  std::deque<std::unique_ptr<DeviceRequest>> left;
  {
    platform::MutexLock lock(queue_lock_);
    left.swap(queue_);
  }
  AnswerUnexecuted(std::move(left));
  thread_id_.store(std::thread::id());
}

void CommThread::RunLoop() {
  for (;;) {
    pending_async_done_ = false;
    std::unique_ptr<DeviceRequest> request;
    {
      platform::MutexLock lock(queue_lock_);
      if (stop_requested_.load()) break;
      if (!queue_.empty()) {
        request = std::move(queue_.front());
        queue_.pop_front();
        processing_ = true;
      }
    }
    if (request) {
      if (request->job_slot) {
        RunQueuedJob(*request);
      } else {
        try {
          Process(*request);
        } catch (...) {
          // The request is answered before the thread stops (a second
          // answer to a slot is ignored).
          EndRequest();
          DeviceReply failed;
          failed.status = kReplyFramingError;
          Answer(*request, std::move(failed));
          throw;
        }
      }
      platform::MutexLock lock(queue_lock_);
      processing_ = false;
      continue;
    }
    IdlePass();
  }
}

void CommThread::Process(DeviceRequest& request) {
  if (request.log_request_code != kNoLogRequest) {
    const opos::OposResult result = delegate_.RunLogFileRequest(request.log_request_code);
    EndRequest();
    delegate_.DeliverLogResult(request, result);
    return;
  }

  const bool payout = IsPayoutCommand(request.command);
  DeviceReply reply = Exchange(line_, request.command, kFirstAnswerMs, false, payout);
  if (IsDepositTableCommand(request.command)) StatusRead();

  // A command that could not be written is answered as a silent device's at
  // once: no answer to it can come.
  if (reply.status == kReplyTimeout && !reply.unsent) {
    const int32_t rest = std::max(0, request.timeout_ms - kFirstAnswerMs);
    if (request.wait_style == WaitStyle::kNone) {
      line_.ReceiveAnswer(reply, rest, false, false);
    } else {
      WaitFinalAnswer(request, reply, rest);
    }
  }

  const bool stopping = stop_requested_.load();
  if (!stopping && request.delay_after_ms > 0) clock_.SleepMs(request.delay_after_ms);
  EndRequest();
  if (pending_async_done_) {
    pending_async_done_ = false;
    // An operation whose completion is posted reports the stop's outcome
    // with its own, in its one status update 91.
    if (request.delivery != Delivery::kPost) delegate_.AsyncStopDone();
  }
  delegate_.ResetMailboxes();
  if (!stopping && deposit_phase_.load() == 0) {
    if (StatusRead() == kReplyOk) CountsRead();
  }
  Answer(request, std::move(reply));
}

void CommThread::WaitFinalAnswer(const DeviceRequest& request, DeviceReply& reply, int32_t rest_ms) {
  const bool payout = IsPayoutCommand(request.command);
  const bool deposit_table = IsDepositTableCommand(request.command);
  const int64_t start = clock_.NowMs();
  int unanswered = 0;
  for (;;) {
    if (clock_.NowMs() - start > rest_ms || AbandonWait()) {
      reply = DeviceReply();
      reply.status = kReplyTimeout;
      return;
    }
    if (delegate_.ServeMailboxes(request.delivery == Delivery::kPost)) pending_async_done_ = true;
    line_.SendEnquiry(reply, kLateEnquiryMs, payout);
    if (reply.unsent) return;
    if (reply.status == kReplyTimeout && ++unanswered < kUnansweredEnquiries && !AbandonWait()) continue;
    if (deposit_table) StatusRead();
    if (reply.status != kReplyOk) return;
    unanswered = 0;
    const uint32_t answer = reply.answerByte;
    switch (request.wait_style) {
      case WaitStyle::kProgress:
        if (answer != kDc4 && answer != kLf) return;
        break;
      case WaitStyle::kTakeBack:
      case WaitStyle::kDispense:
        if (answer != kSub) return;
        if (line_.Model() == ModelCode::kKrt03) Krt03StalledCheck(request.wait_style);
        break;
      case WaitStyle::kNone:  // not polled; treated as Busy should it get here
      case WaitStyle::kBusy:
        if (answer != kSub) return;
        break;
    }
    clock_.SleepMs(1);
  }
}

void CommThread::Krt03StalledCheck(WaitStyle style) {
  DeviceReply status = Exchange(line_, StatusCommand(ModelCode::kKrt03).bytes, kReadTimeoutMs, true);
  if (status.status != kReplyOk || !Krt03TakeBackStalled(status.data)) return;
  if (style == WaitStyle::kTakeBack) {
    if (delegate_.AskTakeBackRetry([this] { return AbandonWait(); })) {
      TakeBackRetrySequence(line_, clock_);
    } else {
      TakeBackStopSequence(line_, clock_, [this] { return AbandonWait(); });
    }
  } else {
    TakeBackRetrySequence(line_, clock_);
  }
}

void CommThread::Answer(DeviceRequest& request, DeviceReply reply) {
  switch (request.delivery) {
    case Delivery::kPost:
      delegate_.DeliverPosted(request, std::move(reply), /*executed=*/true);
      return;
    case Delivery::kSlot:
      if (request.slot) request.slot->Fill(std::move(reply));
      return;
    case Delivery::kCaller:
      // Answered once, as a slot is.
      if (request.caller_reply != nullptr && !request.caller_reply->has_value()) *request.caller_reply = std::move(reply);
      return;
  }
}

void CommThread::IdlePass() {
  {
    platform::MutexLock lock(watch_lock_);
    if (watch_on_.load() && watch_holds_.load() == 0) {
      in_watch_step_.store(true);
      if (delegate_.BeforeWatchStep()) WatchStep();
      in_watch_step_.store(false);
    }
  }
  const int32_t phase = deposit_phase_.load();
  const int32_t wait_ms = (phase == 2 || phase == 3) ? kDepositWatchMs : settings_.watch_interval_ms;
  platform::MutexLock lock(queue_lock_);
  clock_.WaitFor(wake_, lock.native(), std::max(wait_ms, 0),
                 [this]() VEX_REQUIRES(queue_lock_) { return stop_requested_.load() || !queue_.empty(); });
}

// A step runs under the watch lock, which PauseWatch (Disable, Release,
// Close, and every operation that needs the line quiet) must take. So a
// step never goes on with more line work once a PauseWatch caller waits or
// the thread stops: it ends between two exchanges, unfinished, and leaves
// the error count, Recovering and the power state as they were, for a later
// step to try again. The caller then waits at most for the exchange under
// way (with the few that must follow it to keep the device and the
// application consistent).
void CommThread::WatchStep() {
  if (WatchAbandoned()) return;
  if (settings_.auto_negotiation != 0 && watch_error_count_.load() > 0) {
    delegate_.ReportPowerState(opos::OPOS_PS_OFF_OFFLINE);
    recovering_.store(true);
    // Requests queued for the port that goes away are answered now; the
    // detection's reopens make the ones queued meanwhile stale as well.
    if (line_.IsOpen()) {
      line_.ClosePort();
      DiscardQueued();
    }
    if (line_.OpenPort() == 0) Exam("7", "3");
    const ModelDetection detection = line_.DetectModel([this] { return WatchAbandoned(); });
    if (detection.reopened) DiscardQueued();
    // Cut short, the detection has neither found nor missed the device: no
    // outcome is logged, and the next recovery step starts it again from a
    // reopen on the configured settings.
    if (detection.outcome == ModelDetection::Outcome::kAbandoned) return;
    if (detection.ready()) {
      watch_error_count_.store(0);
      Exam("7", "1");
      recovering_.store(false);
    } else {
      Exam("7", "2");
    }
    return;
  }

  if (watch_error_count_.load() > 3) {
    delegate_.ReportPowerState(opos::OPOS_PS_OFF_OFFLINE);
    const DeviceCommand command = ModelNameCommand();
    DeviceReply reply = Exchange(line_, command.bytes, command.timeout_ms);
    if (reply.status == kReplyOk && ParseModelName(reply.data)) {
      watch_error_count_.store(0);
      recovering_.store(false);
    }
    return;
  }

  switch (WatchReads()) {
    case WatchRead::kFailed:
      watch_error_count_.fetch_add(1);
      return;
    case WatchRead::kAbandoned:
      return;
    case WatchRead::kDone:
      break;
  }
  // Reporting the device back can resend its operation mode and restart a
  // deposit: left to the next step when a pause waits now.
  if (WatchAbandoned()) return;
  delegate_.ReportPowerState(opos::OPOS_PS_ONLINE);
  watch_error_count_.store(0);
  recovering_.store(false);
}

CommThread::WatchRead CommThread::WatchReads() {
  const ModelCode model = line_.Model();
  const int32_t phase = deposit_phase_.load();
  if (!IsKrt07Family(model)) {
    DeviceReply reply = Exchange(line_, DepositCountsShortCommand().bytes, kReadTimeoutMs);
    if (reply.status != kReplyOk) return WatchRead::kFailed;
    delegate_.TakeDepositAnswer(reply, DepositRead::kShort);
  } else if (phase >= 1 && phase <= 3) {
    DeviceReply reply = Exchange(line_, DepositCountsCommand().bytes, kReadTimeoutMs);
    if (reply.status != kReplyOk) return WatchRead::kFailed;
    delegate_.TakeDepositAnswer(reply, DepositRead::kFull);
  }

  if (WatchAbandoned()) return WatchRead::kAbandoned;
  if (StatusRead() != kReplyOk) return WatchRead::kFailed;
  if (WatchAbandoned()) return WatchRead::kAbandoned;
  if (deposit_phase_.load() == 0 && CountsRead() != kReplyOk) return WatchRead::kFailed;

  if (!delegate_.DepositUnderWay()) {
    platform::MutexLock lock(history_lock_);
    if (history_fetch_enabled_ && history_holds_ == 0) {
      if (WatchAbandoned()) return WatchRead::kAbandoned;
      const int32_t result = delegate_.RunHistoryStep();
      if (result != 0 && result != -10) return WatchRead::kFailed;
    }
  }
  return WatchRead::kDone;
}

ReceiveStatus CommThread::StatusRead(bool* taken) {
  if (taken != nullptr) *taken = false;
  const ModelCode model = line_.Model();
  DeviceReply reply = Exchange(line_, StatusCommand(model).bytes, kReadTimeoutMs);
  if (reply.status != kReplyOk) return reply.status;
  const int length = StatusRecordLength(model);
  if (length == 0 || reply.length() != length) return kReplyOk;
  delegate_.TakeStatus(reply.data);
  if (taken != nullptr) *taken = true;
  // A watch step that a pause waits for leaves a pending exit setting for
  // the next status read; the status is then not current yet either.
  if (exit_setting_pending_.load() && in_watch_step_.load() && WatchAbandoned()) return kReplyOk;
  const ReceiveStatus result = ExitSettingRule(reply.data);
  if (result != kReplyOk) return result;
  status_stale_.store(false);
  return kReplyOk;
}

ReceiveStatus CommThread::ExitSettingRule(std::span<const uint8_t> record) {
  if (record.size() < 2 || (record[1] != '0' && record[1] != '1') || !exit_setting_pending_.load()) {
    return kReplyOk;
  }
  const BuiltCommand command = OperatingConditionCommand(kExitSettingPage, ExitSettingValues());
  if (!command.ok()) {
    // Values the device cannot take are not sent (as the setter refuses
    // them); the setting is dropped rather than retried at every read.
    exit_setting_pending_.store(false);
    return kReplyOk;
  }
  DeviceReply reply = Exchange(line_, command.command.bytes, kReadTimeoutMs);
  if (reply.status != kReplyOk) return reply.status;
  exit_setting_pending_.store(false);
  return kReplyOk;
}

ReceiveStatus CommThread::CountsRead(bool* taken) {
  if (taken != nullptr) *taken = false;
  const ModelCode model = line_.Model();
  DeviceReply set_a = Exchange(line_, CountsCommand().bytes, kReadTimeoutMs);
  if (set_a.status != kReplyOk) return set_a.status;
  switch (model) {
    case ModelCode::kUnknown:
      return kReplyOk;
    case ModelCode::kKrt03: {
      DeviceReply set_b = Exchange(line_, CountsSetBCommand().bytes, kReadTimeoutMs);
      if (set_b.status != kReplyOk) return set_b.status;
      // The KRT03 answers its two sets to two commands; its counts read
      // leaves CountsStale as it is.
      if (set_a.data.size() == kKrt03CountsAnswerLength && set_b.data.size() == kKrt03CountsAnswerLength) {
        delegate_.TakeCounts(set_a.data, set_b.data);
        if (taken != nullptr) *taken = true;
      }
      return kReplyOk;
    }
    case ModelCode::kKrt02:
    case ModelCode::kKrt07:
    case ModelCode::kKrt77:
      if (set_a.data.size() == kCountsAnswerLength) {
        if (delegate_.TakeCounts(set_a.data, {})) counts_stale_.store(false);
        if (taken != nullptr) *taken = true;
      }
      return kReplyOk;
  }
  return kReplyOk;
}

}  // namespace vexokrt
