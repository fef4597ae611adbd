// SPDX-License-Identifier: Apache-2.0
#include "device/changer_device.h"

#include <optional>
#include <utility>

#include "link/line_sequences.h"
#include "opos/opos.h"

namespace vexokrt {
namespace {

constexpr size_t kFullDepositAnswer = 35;
constexpr size_t kShortDepositAnswer = 32;
constexpr size_t kReturnedCountsAnswer = 30;
constexpr size_t kKrt07StatusLength = 51;
constexpr char kThreadFailed[] = "通信用スレッドの生成に失敗しました。";
constexpr int32_t kReadTimeoutMs = 1000;

bool IsDepositUnderWay(int32_t deposit_status) {
  return deposit_status == opos::CHAN_STATUS_DEPOSIT_START || deposit_status == opos::CHAN_STATUS_DEPOSIT_COUNT;
}

// Reads three-digit fields at |offsets| of |data| into the record |slots|.
bool ReadFields(std::span<const uint8_t> data, std::initializer_list<std::pair<size_t, int>> fields,
                CashCounts& counts) {
  for (const auto& [offset, slot] : fields) {
    int32_t value = 0;
    for (size_t i = 0; i < 3; ++i) {
      const uint8_t c = data[offset + i];
      if (c < '0' || c > '9') return false;
      value = value * 10 + (c - '0');
    }
    counts[slot] = value;
  }
  return true;
}

// The 70-byte counts answer: bills 2000, 10000, 5000, 1000 (set A at 0, set
// B at 12), coins 500..1 (set A at 24, set B at 52).
bool ParseCountsAnswer(std::span<const uint8_t> data, CashCounts& a, CashCounts& b) {
  CashCounts set_a{};
  CashCounts set_b{};
  if (!ReadFields(data, {{0, 2}, {3, 0}, {6, 1}, {9, 3}}, set_a)) return false;
  if (!ReadFields(data, {{12, 2}, {15, 0}, {18, 1}, {21, 3}}, set_b)) return false;
  if (!ReadFields(data, {{24, 4}, {27, 5}, {30, 6}, {33, 7}, {36, 8}, {39, 9}}, set_a)) return false;
  if (!ReadFields(data, {{52, 4}, {55, 5}, {58, 6}, {61, 7}, {64, 8}, {67, 9}}, set_b)) return false;
  a = set_a;
  b = set_b;
  return true;
}

}  // namespace

ChangerDevice::ChangerDevice(ChangerHost& host, DepositSession& deposit, DeviceSwitches& switches,
                             DeviceSettings settings, std::unique_ptr<LineExchange> line, platform::Clock& clock,
                             diag::ExamLog* exam)
    : host_(host),
      deposit_(deposit),
      switches_(switches),
      settings_(settings),
      clock_(clock),
      exam_(exam),
      line_(std::move(line)),
      take_back_question_(host, switches, *line_, clock, settings.take_back_timeout_ms),
      interpreter_(StatusInterpreter::Settings{.reread_at_every_status = settings.deposit_evt_set == 1,
                                               .quiet_until_enabled = settings.claim_non_event == 1}) {
  CommThread::Settings thread_settings;
  thread_settings.watch_interval_ms = settings_.watch_interval_ms;
  thread_settings.auto_negotiation = settings_.auto_negotiation;
  CommThreadDelegate& delegate = *this;
  comm_ = std::make_unique<CommThread>(*line_, delegate, thread_settings, clock_, exam_);
}

ChangerDevice::~ChangerDevice() {
  ClosePort();
  comm_.reset();
}

// ---------------------------------------------------------------------------
// Port, thread and model

int ChangerDevice::OpenPort() {
  {
    // A claim starts from nothing reported: events of an earlier claim were
    // dropped with its release.
    platform::MutexLock lock(status_lock_);
    kept_status_.clear();
    status_memory_ = StatusMemory{};
  }
  if (line_->OpenPort() != 0) return 1;
  if (comm_->Start() != ThreadStart::kRunning) {
    line_->ClosePort();
    line_->TraceError(kThreadFailed);
    return 1;
  }
  return 0;
}

int ChangerDevice::ClosePort() {
  // The thread ends first (answering what is queued), so nothing uses the
  // port while it closes. On the thread itself Stop is a no-op.
  comm_->Stop();
  comm_->DiscardQueued();
  // A take-back question still open ends here, while the port is open: the
  // device is told to stop (or to retry, when that was the answer), and no
  // later pass finds the question to act on.
  if (line_->IsOpen()) {
    take_back_question_.Settle(/*give_up=*/true, [] { return true; });
  } else {
    take_back_question_.Decide(/*give_up=*/true);
  }
  line_->ClosePort();
  // A pay-out's end is told only to the claim that made it.
  AwaitPayoutAtRest(0);
  return 0;
}

bool ChangerDevice::PortOpen() const { return line_->IsOpen(); }

ModelDetection ChangerDevice::DetectModel() {
  ModelDetection detection;
  comm_->RunJob([&] {
    detection = line_->DetectModel();
    if (detection.reopened) comm_->DiscardQueued();
  });
  return detection;
}

// ---------------------------------------------------------------------------
// Device work

bool ChangerDevice::RunJob(const std::function<void()>& work) {
  return comm_->RunJob([&] {
           // The watch that would decide an open take-back question does not
           // run during the job: the question is given up, and the device
           // told to stop without enquiries after it, as a watch step does
           // when a job waits for it.
           take_back_question_.Settle(/*give_up=*/true, [] { return true; });
           work();
         }) == JobEnd::kRan;
}

bool ChangerDevice::RunWithLine(const std::function<void(LineExchange& line)>& work) {
  return RunJob([&] { work(*line_); });
}

DeviceReply ChangerDevice::ExchangeNow(std::span<const uint8_t> command, int32_t timeout_ms, bool suppress_follow_ups) {
  DeviceReply reply;
  reply.status = kReplyTimeout;
  comm_->RunJob([&] { reply = Exchange(*line_, command, timeout_ms, suppress_follow_ups); });
  return reply;
}

DeviceReply ChangerDevice::ReceiveNow(int32_t timeout_ms, bool suppress_follow_ups) {
  DeviceReply reply;
  reply.status = kReplyTimeout;
  comm_->RunJob([&] { line_->ReceiveAnswer(reply, timeout_ms, suppress_follow_ups, false); });
  return reply;
}

ReceiveStatus ChangerDevice::ReadStatusNow(bool* taken) {
  ReceiveStatus status = kReplyTimeout;
  if (taken != nullptr) *taken = false;
  comm_->RunJob([&] { status = comm_->StatusRead(taken); });
  return status;
}

ReceiveStatus ChangerDevice::ReadCountsNow(bool* taken) {
  ReceiveStatus status = kReplyTimeout;
  if (taken != nullptr) *taken = false;
  comm_->RunJob([&] { status = comm_->CountsRead(taken); });
  return status;
}

ErrorNumberRead ChangerDevice::ReadErrorNumber() {
  ErrorNumberRead read;
  read.unreadable = true;
  comm_->RunJob([&] { read = line_->ReadErrorNumber(); });
  return read;
}

int32_t ChangerDevice::ReadKrt07ErrorCode(Krt07Rule rule) {
  int32_t code = 0;
  comm_->RunJob([&] { code = line_->ReadKrt07ErrorCode(rule); });
  return code;
}

ModelCode ChangerDevice::Model() const { return line_->Model(); }

// ---------------------------------------------------------------------------
// Requests

bool ChangerDevice::Enqueue(std::unique_ptr<DeviceRequest> request) {
  return comm_->Enqueue(std::move(request));
}

DeviceReply ChangerDevice::UnqueuedReply() {
  // Nothing was queued, so nothing will answer: the caller hears so after
  // the idle guard.
  clock_.SleepMs(kIdleGuardMs);
  DeviceReply reply;
  reply.status = kReplyNotQueued;
  return reply;
}

DeviceReply ChangerDevice::SendCommand(std::span<const uint8_t> bytes, WaitStyle style, int32_t timeout_ms,
                                       int32_t delay_after_ms) {
  // The request runs on the thread, inside a job of its own (or of its
  // caller's): nothing else reaches the line until its answer is judged.
  // The caller waits for the job; the reply is in hand when it ends.
  std::optional<DeviceReply> answer;
  DeviceRequest request;
  request.command.assign(bytes.begin(), bytes.end());
  request.delivery = Delivery::kCaller;
  request.caller_reply = &answer;
  request.wait_style = style;
  request.timeout_ms = timeout_ms;
  request.delay_after_ms = delay_after_ms;
  switch (comm_->RunJob([&] { comm_->ProcessNow(request); })) {
    case JobEnd::kRan:
      if (answer) return std::move(*answer);
      break;
    case JobEnd::kNotQueued:
      return UnqueuedReply();
    case JobEnd::kNotRun:
      break;
    case JobEnd::kFailed: {
      // An answer given before the failure stands.
      if (answer) return std::move(*answer);
      DeviceReply failed;
      failed.status = kReplyFramingError;
      return failed;
    }
  }
  // Discarded before it ran (the port reopened or closed): as a request
  // answered without being executed.
  DeviceReply timeout;
  timeout.status = kReplyTimeout;
  return timeout;
}

bool ChangerDevice::SendCommandAsync(std::span<const uint8_t> bytes, WaitStyle style, int32_t timeout_ms,
                                     int32_t delay_after_ms, bool notify) {
  auto request = std::make_unique<DeviceRequest>();
  request->command.assign(bytes.begin(), bytes.end());
  request->delivery = Delivery::kPost;
  request->message =
      std::string(style == WaitStyle::kTakeBack ? kMsgTakeBackComplete : kMsgAsyncMethodCallComplete);
  request->parameter = notify ? kNotifyParameter : 0;
  request->wait_style = style;
  request->timeout_ms = timeout_ms;
  request->delay_after_ms = delay_after_ms;
  return Enqueue(std::move(request));
}

bool ChangerDevice::SendLogRequest(int32_t code, int32_t timeout_ms, int32_t parameter) {
  auto request = std::make_unique<DeviceRequest>();
  request->delivery = Delivery::kPost;
  request->message = std::string(kMsgOutputLogComplete);
  request->parameter = parameter;
  request->timeout_ms = timeout_ms;
  request->log_request_code = code;
  return code != kNoLogRequest && Enqueue(std::move(request));
}

opos::OposResult ChangerDevice::MapAnswer(const DeviceReply& reply, const AnswerRule& rule) {
  // The device's own error stop, as the last status showed it: the jam hold
  // of a running take-back hides it from the jam state, but a BEL it causes
  // is still a failure rather than "not possible now". The reads a rule
  // makes run on the thread.
  MappedResult mapped{opos::OPOS_E_NOHARDWARE, 0};
  const auto map = [&] { mapped = MapReply(reply, rule, *line_, StoppedWithError(KeptStatus())); };
  if (comm_->RunJob(map) == JobEnd::kNotQueued) map();
  return mapped;
}

opos::OposResult ChangerDevice::Execute(const DeviceCommand& command, DeviceReply* reply) {
  // The command, its answer and the reads that judge it are one job. The
  // job reaches its state through one reference, so that handing it to the
  // thread allocates nothing of its own.
  struct State {
    ChangerDevice& device;
    const DeviceCommand& command;
    DeviceReply answer;
    opos::OposResult result = opos::OPOS_E_NOHARDWARE;
  } state{*this, command, {}};
  DeviceReply& answer = state.answer;
  opos::OposResult& result = state.result;
  const auto work = [&state] {
    state.answer = state.device.SendCommand(state.command.bytes, state.command.style, state.command.timeout_ms,
                                            state.command.delay_after_ms);
    state.result = state.device.MapAnswer(state.answer, state.command.rule);
  };
  switch (comm_->RunJob(work)) {
    case JobEnd::kRan:
      break;
    case JobEnd::kNotQueued:
      // Nothing can run: the request is judged as one that was not queued.
      work();
      break;
    case JobEnd::kNotRun:
      answer = DeviceReply();
      answer.status = kReplyTimeout;
      result = MapAnswer(answer, command.rule);
      break;
    case JobEnd::kFailed:
      answer = DeviceReply();
      answer.status = kReplyFramingError;
      result = opos::OPOS_E_FAILURE;
      break;
  }
  if (reply != nullptr) *reply = std::move(answer);
  return result;
}

opos::OposResult ChangerDevice::ExecuteAsync(const DeviceCommand& command, bool notify) {
  // A command that could not be queued will never complete; saying so beats
  // reporting success for an operation that does not happen.
  if (!SendCommandAsync(command.bytes, command.style, command.timeout_ms, command.delay_after_ms, notify)) {
    return opos::OPOS_E_NOHARDWARE;
  }
  return opos::OPOS_SUCCESS;
}

void ChangerDevice::StopWatch() {
  comm_->PauseWatch();
  // The watch that would decide an open take-back question is off now: the
  // question is given up, and the device told to stop without enquiries
  // after it, as the watch step does when a pause waits for it. A request
  // that has the line is not waited for: its caller decides, and the
  // question stays open for the watch that starts again.
  comm_->RunJobWhenIdle([this] { take_back_question_.Settle(/*give_up=*/true, [] { return true; }); });
}

void ChangerDevice::StartWatch(int32_t failure_count) { comm_->ResumeWatch(failure_count); }

void ChangerDevice::Disable() {
  StopWatch();
  StorePowerState(opos::OPOS_PS_UNKNOWN);
}

// ---------------------------------------------------------------------------
// Operations

opos::OposResult ChangerDevice::RunOperation(const std::function<opos::OposResult()>& steps) {
  const HistoryPause wait = HoldHistory();
  return steps();
}

opos::OposResult ChangerDevice::RunOperation(const std::function<opos::OposResult(HistoryPause& wait)>& steps) {
  HistoryPause wait = HoldHistory();
  return steps(wait);
}

HistoryPause ChangerDevice::HoldHistory() { return HistoryPause(comm_->HoldHistory(), exam_); }

// ---------------------------------------------------------------------------
// Commands with state of their own

opos::OposResult ChangerDevice::TakeBack(const CashCounts& counts) {
  BuiltCommand built = TakeBackCommand(counts);
  if (!built.ok()) return built.result;
  if (switches_.dio_read_exchange.load() != 1) return ExecuteAsync(built.command);
  take_back_running_.store(true);
  const opos::OposResult result = Execute(built.command);
  if (result == opos::OPOS_SUCCESS) {
    jam_hold_since_.store(clock_.NowMs());
    jam_hold_armed_.store(true);
  }
  take_back_running_.store(false);
  return result;
}

opos::OposResult ChangerDevice::ReadDepositCounts() {
  DeviceReply reply;
  const opos::OposResult result = Execute(DepositCountsCommand(), &reply);
  if (result != opos::OPOS_SUCCESS) return result;
  if (reply.data.size() != kFullDepositAnswer) return opos::OPOS_E_FAILURE;
  TakeDepositAnswer(reply, DepositRead::kFull);
  return opos::OPOS_SUCCESS;
}

opos::OposResult ChangerDevice::ReadShortDepositCounts() {
  DeviceReply reply;
  const opos::OposResult result = Execute(DepositCountsShortCommand(), &reply);
  if (result != opos::OPOS_SUCCESS) return result;
  if (reply.data.size() != kShortDepositAnswer) return opos::OPOS_E_FAILURE;
  TakeDepositAnswer(reply, DepositRead::kShort);
  return opos::OPOS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Kept status

bool ChangerDevice::StatusKept() const {
  platform::MutexLock lock(status_lock_);
  return !kept_status_.empty();
}

std::vector<uint8_t> ChangerDevice::KeptStatus() const {
  platform::MutexLock lock(status_lock_);
  return kept_status_;
}

bool ChangerDevice::Jammed() const {
  platform::MutexLock lock(status_lock_);
  return status_memory_.jam;
}

StatusConditions ChangerDevice::Conditions() const {
  platform::MutexLock lock(status_lock_);
  return status_memory_.conditions;
}

int32_t ChangerDevice::DeviceStatus() const {
  platform::MutexLock lock(status_lock_);
  return DeviceStatusValue(status_memory_.jam, status_memory_.conditions.empty,
                           status_memory_.conditions.near_empty);
}

int32_t ChangerDevice::FullStatus() const {
  platform::MutexLock lock(status_lock_);
  return FullStatusValue(status_memory_.conditions.full, status_memory_.conditions.near_full);
}

opos::OposResult ChangerDevice::CheckBeforeDispense() {
  const ActionCheck check = vexokrt::CheckBeforeDispense(KeptStatus(), Model());
  return {check.result, check.extended};
}

opos::OposResult ChangerDevice::CheckBeforeDeposit() {
  const ActionCheck check = vexokrt::CheckBeforeDeposit(KeptStatus(), Model());
  return {check.result, check.extended};
}

void ChangerDevice::ForgetStatus() {
  // Only the record goes: what it showed stays, so a state already reported
  // is not reported again by the next record.
  platform::MutexLock lock(status_lock_);
  kept_status_.clear();
}

bool ChangerDevice::CashBeingHandledKept() const { return CashBeingHandled(KeptStatus()); }

// ---------------------------------------------------------------------------
// Counts and deposit record

CashCounts ChangerDevice::CountsA() const {
  platform::MutexLock lock(counts_lock_);
  return counts_a_;
}

CashCounts ChangerDevice::CountsB() const {
  platform::MutexLock lock(counts_lock_);
  return counts_b_;
}

bool ChangerDevice::CountsKnown() const {
  platform::MutexLock lock(counts_lock_);
  return counts_known_;
}

int32_t ChangerDevice::Discrepancy() const {
  platform::MutexLock lock(counts_lock_);
  return discrepancy_;
}

int32_t ChangerDevice::SecondFlag() const {
  platform::MutexLock lock(counts_lock_);
  return second_flag_;
}

CashCounts ChangerDevice::ReturnedCounts() const {
  platform::MutexLock lock(counts_lock_);
  return returned_counts_;
}

DispenseRecord ChangerDevice::DepositCounts() const { return deposit_.Record(); }

bool ChangerDevice::DepositCountsChanged() const { return deposit_.RecordChanged(); }

void ChangerDevice::ClearDepositCountsChanged() { deposit_.ClearRecordChanged(); }

void ChangerDevice::ClearDepositCounts() { deposit_.ClearRecord(); }

void ChangerDevice::ResetDepositMarks() {
  mark_byte7_.store(false);
  mark_byte8_.store(false);
  counting_took_place_.store(false);
}

void ChangerDevice::NoteHandlingMarks(std::span<const uint8_t> record) {
  if ((StatusByte(record, 7) >> 2) & 1) mark_byte7_.store(true);
  if ((StatusByte(record, 8) >> 2) & 1) mark_byte8_.store(true);
}

// ---------------------------------------------------------------------------
// Hooks

void ChangerDevice::SetHistoryStep(std::function<int32_t()> step) {
  platform::MutexLock lock(hooks_lock_);
  history_step_ = std::move(step);
}

void ChangerDevice::SetLogFileReader(std::function<opos::OposResult(int32_t)> reader) {
  platform::MutexLock lock(hooks_lock_);
  log_file_reader_ = std::move(reader);
}

// ---------------------------------------------------------------------------
// CommThreadDelegate: requests

void ChangerDevice::AsyncStopDone() {
  host_.PostToWindow(kMsgAsyncStopOutcome, AsyncStopOutcome{opos::OPOS_SUCCESS, std::nullopt, true});
}

void ChangerDevice::ResetMailboxes() { stop_.Reset(); }

bool ChangerDevice::ServeMailboxes(bool operation_reports_itself) {
  const auto stoppable = [this](DeviceReply& status) {
    const ModelCode model = Model();
    if (!IsKrt07Family(model)) return false;
    status = Exchange(*line_, StatusCommand(model).bytes, kReadTimeoutMs, /*suppress_follow_ups=*/true);
    return status.status == kReplyOk && status.data.size() == kKrt07StatusLength && status.data[1] == ';';
  };

  if (stop_.StopAsked()) {
    int32_t outcome = kStopNotPossible;
    int32_t code = 0;
    DeviceReply answer;
    DeviceReply status;
    if (stoppable(status)) {
      answer = Exchange(*line_, StopCommand().bytes, kReadTimeoutMs, /*suppress_follow_ups=*/true);
      if (answer.status == kReplyOk && answer.answerByte == kAck) {
        outcome = kStopAccepted;
      } else {
        outcome = kStopRefused;
        if (answer.status == kReplyOk && (answer.answerByte == kBel || answer.answerByte == kCan)) {
          code = line_->ReadKrt07ErrorCode(Krt07Rule::kC);
        }
      }
    }
    stop_.Settle(outcome, std::move(answer), code);
  }

  if (!stop_.TakeCancel()) return false;

  // The stop's own outcome goes to the window's asynchronous completion,
  // unless the operation it was meant for reports it with its completion.
  const auto report = [this, operation_reports_itself](int32_t code, std::optional<int32_t> extended, bool update) {
    if (!operation_reports_itself) host_.PostToWindow(kMsgAsyncStopOutcome, AsyncStopOutcome{code, extended, update});
  };
  const auto result = [&report](int32_t code) { report(code, std::nullopt, false); };
  const auto finish = [this, &report](int32_t code, std::optional<int32_t> extended = std::nullopt) {
    report(code, extended, true);
    stop_.Close();
  };
  DeviceReply status;
  if (!stoppable(status)) {
    finish(opos::OPOS_E_FAILURE);
    return false;
  }
  DeviceReply answer = Exchange(*line_, StopCommand().bytes, kReadTimeoutMs, /*suppress_follow_ups=*/true);
  if (answer.status == kReplyTimeout) {
    result(opos::OPOS_E_NOHARDWARE);
    return false;
  }
  if (answer.status != kReplyOk) {
    result(opos::OPOS_E_FAILURE);
    return false;
  }
  if (answer.answerByte == kAck) return true;
  if (answer.answerByte == kBel || answer.answerByte == kCan) {
    finish(opos::OPOS_SUCCESS, line_->ReadKrt07ErrorCode(Krt07Rule::kC));
    return false;
  }
  finish(opos::OPOS_E_FAILURE);
  return false;
}

bool ChangerDevice::AskTakeBackRetry(const std::function<bool()>& abandon) {
  return take_back_question_.AskAndWait(abandon);
}

void ChangerDevice::DeliverPosted(const DeviceRequest& request, DeviceReply reply, bool executed) {
  if (request.wait_style == WaitStyle::kTakeBack) {
    std::string counts;
    if (executed) {
      DeviceReply returned = Exchange(*line_, ReturnedCountsCommand().bytes, kReadTimeoutMs);
      CashCounts parsed{};
      if (returned.status == kReplyOk && returned.data.size() == kReturnedCountsAnswer &&
          ParseDeviceOrderCounts(returned.data, parsed)) {
        platform::MutexLock lock(counts_lock_);
        returned_counts_ = parsed;
        counts = cash::FormatPlain(returned_counts_);
      }
    }
    host_.PostToWindow(kMsgTakeBackComplete, TakeBackCompletion{std::move(reply), std::move(counts)});
  } else {
    host_.PostToWindow(request.message, AsyncCompletion{std::move(reply), request.parameter});
  }
  if (exam_ != nullptr) exam_->Write("9", "1", "0", "0");
}

opos::OposResult ChangerDevice::RunLogFileRequest(int32_t code) {
  std::function<opos::OposResult(int32_t)> reader;
  {
    platform::MutexLock lock(hooks_lock_);
    reader = log_file_reader_;
  }
  return reader ? reader(code) : opos::OposResult(opos::OPOS_E_FAILURE);
}

void ChangerDevice::DeliverLogResult(const DeviceRequest& request, opos::OposResult result) {
  host_.PostToWindow(request.message, LogOutputCompletion{result, request.parameter});
}

// ---------------------------------------------------------------------------
// CommThreadDelegate: watch

int32_t ChangerDevice::RunHistoryStep() {
  std::function<int32_t()> step;
  {
    platform::MutexLock lock(hooks_lock_);
    step = history_step_;
  }
  return step ? step() : 0;
}

bool ChangerDevice::DepositUnderWay() { return IsDepositUnderWay(deposit_.Status()); }

void ChangerDevice::ReportPowerState(int32_t power_state) { SetPowerState(power_state); }

void ChangerDevice::TakeDepositAnswer(const DeviceReply& reply, DepositRead kind) {
  const size_t expected = kind == DepositRead::kFull ? kFullDepositAnswer : kShortDepositAnswer;
  if (reply.status != kReplyOk || reply.data.size() != expected) return;
  CashCounts counts{};
  if (ParseDeviceOrderCounts(reply.data, counts)) deposit_.TakeDeviceCounts(counts);
  if (kind == DepositRead::kFull) {
    // The two reject counters: a change to a non-zero value means cash was
    // rejected; the notification waits for the next status read.
    reject_notice_.TakeCounters(reply.data[33] - '0', reply.data[34] - '0');
  }
}

bool ChangerDevice::TakeCounts(std::span<const uint8_t> set_a, std::span<const uint8_t> set_b) {
  CashCounts a{};
  CashCounts b{};
  int32_t discrepancy = 0;
  int32_t second = 0;
  if (set_b.empty()) {
    if (set_a.size() < 70 || !ParseCountsAnswer(set_a, a, b)) return true;
    discrepancy = (set_a[42] & 0x03) != 0 ? 1 : 0;
    second = (set_a[42] >> 2) & 1;
  } else {
    if (!ParseDeviceOrderCounts(set_a, a) || !ParseDeviceOrderCounts(set_b, b)) return true;
  }
  {
    platform::MutexLock lock(counts_lock_);
    counts_a_ = a;
    counts_b_ = b;
    discrepancy_ = discrepancy;
    second_flag_ = second;
    counts_known_ = true;
  }
  uint32_t ticket = 0;
  {
    platform::MutexLock lock(payout_rest_lock_);
    if (payout_ticket_ == 0) return true;
    // While the machine may still be paying, the counts are only a moment's.
    if (!payout_at_rest_) return false;
    ticket = std::exchange(payout_ticket_, 0);
    payout_at_rest_ = false;
  }
  host_.PostToWindow(kMsgPayoutAtRest, PayoutAtRest{ticket, a});
  return true;
}

void ChangerDevice::AwaitPayoutAtRest(uint32_t ticket) {
  platform::MutexLock lock(payout_rest_lock_);
  payout_ticket_ = ticket;
  payout_at_rest_ = false;
}

uint32_t ChangerDevice::AwaitedPayout() const {
  platform::MutexLock lock(payout_rest_lock_);
  return payout_ticket_;
}

void ChangerDevice::TakeStatus(std::span<const uint8_t> record) {
  InterpretStatus(record);
  ApplyNotificationRules(record);
  platform::MutexLock lock(payout_rest_lock_);
  if (payout_ticket_ != 0) payout_at_rest_ = MachineAtRest(record);
}

bool ChangerDevice::JamHeld() const {
  if (take_back_running_.load()) return true;
  return jam_hold_armed_.load() && clock_.NowMs() - jam_hold_since_.load() <= kJamHoldMs;
}

bool ChangerDevice::DepositOpen() { return IsDepositUnderWay(deposit_.Status()); }

bool ChangerDevice::LineWaitAbandoned() const {
  return comm_->StopRequested() || (comm_->OnThread() && comm_->WatchPauseWaiting());
}

void ChangerDevice::InterpretStatus(std::span<const uint8_t> record) {
  const ModelCode model = Model();
  StatusContext context;
  context.model = model;
  context.current_exit = switches_.current_exit.load();
  context.jam_held = JamHeld();
  context.deposit_open = DepositOpen();
  context.device_enabled = switches_.device_enabled.load();
  context.direct_io_mode = switches_.direct_io_mode.load() == 1;
  StatusMemory previous;
  {
    platform::MutexLock lock(status_lock_);
    previous = status_memory_;
  }
  const StatusVerdict verdict = interpreter_.Interpret(record, context, previous);

  if (verdict.unit_counting) counting_took_place_.store(true);
  if (verdict.deposit_status) deposit_.SetStatus(*verdict.deposit_status);
  if (verdict.reread_deposit_counts) RereadDepositCounts();

  {
    platform::MutexLock lock(status_lock_);
    kept_status_.assign(record.begin(), record.end());
    status_memory_ = verdict.next;
  }

  if (verdict.jam_update) host_.QueueStatusUpdate(*verdict.jam_update);
  if (verdict.restart != DepositRestart::kNone) {
    const bool restarted = RestartDeposit();
    const bool pending = StatusInterpreter::RestartPendingAfter(verdict, model, restarted);
    platform::MutexLock lock(status_lock_);
    status_memory_.restart_pending = pending;
  }
  for (const int32_t update : verdict.level_updates) host_.QueueStatusUpdate(update);

  // Only asked here; the answer is acted on by a later pass of the
  // communication thread (BeforeWatchStep), so no status callback waits for
  // the application.
  if (verdict.ask_take_back) take_back_question_.Ask();
}

void ChangerDevice::RereadDepositCounts() {
  const bool krt03 = Model() == ModelCode::kKrt03;
  const DeviceCommand command = krt03 ? DepositCountsShortCommand() : DepositCountsCommand();
  DeviceReply reply = Exchange(*line_, command.bytes, kReadTimeoutMs);
  TakeDepositAnswer(reply, krt03 ? DepositRead::kShort : DepositRead::kFull);
  const std::optional<DispenseRecord> changed = deposit_.TakeChangedRecord();
  if (!changed) return;
  const DispenseRecord& record = *changed;
  // DepositCounts and DepositAmount are current before the data event that
  // announces them, so a handler reading them sees the new cash.
  deposit_.SetCounts(record.Counts());
  host_.QueueDataEvent(record);
}

bool ChangerDevice::BeforeWatchStep() {
  // A decided question is carried out before the step's reads, which then
  // see the device after it. While the question is open the step is left
  // out: the device waits for the decision with a quiet line, as it did
  // while the question was waited for.
  return !take_back_question_.Settle(LineWaitAbandoned(), [this] { return LineWaitAbandoned(); });
}

void ChangerDevice::Notify(std::string_view message, int32_t event_number) {
  DirectIoNotice notice;
  notice.event_number = event_number;
  notice.data = 1;
  host_.PostToWindow(message, std::move(notice));
}

void ChangerDevice::ApplyNotificationRules(std::span<const uint8_t> record) {
  if (const auto event = reject_notice_.TakeStatus(record)) Notify(kMsgHappenReject, *event);
  if (!IsKrt07Family(Model())) return;
  if (const auto event = cassette_notice_.TakeStatus(record)) Notify(kMsgHappenCaset, *event);
  if (const auto event = cassette_display_notice_.TakeStatus(record)) Notify(kMsgHappenCasetDsp, *event);
}

// ---------------------------------------------------------------------------
// Power state

int32_t ChangerDevice::PowerState() const { return power_.Value(); }

bool ChangerDevice::Busy() const { return comm_->Busy(); }

void ChangerDevice::StorePowerState(int32_t power_state) { power_.Store(power_state); }

void ChangerDevice::SetPowerState(int32_t power_state) {
  const std::optional<PowerChange> change = power_.Change(power_state);
  if (!change) return;
  PowerContext context;
  context.model = Model();
  context.deposit_open = DepositOpen();
  context.deposit_fixed = deposit_.Fixed();
  context.jammed = Jammed();
  context.direct_io_mode = switches_.direct_io_mode.load() == 1;
  context.power_notify = switches_.power_notify.load() == 1;
  const PowerActions actions = PlanPowerChange(*change, context);
  if (actions.restart_deposit) RestartDeposit();
  if (actions.leave_direct_io) switches_.direct_io_mode.store(0);
  if (actions.resend_operation_mode) ResendOperationMode();
  if (actions.notify) host_.QueueStatusUpdate(power_state);
}

void ChangerDevice::ResendOperationMode() {
  EnquireUntil(*line_, clock_, AnswerSet{kAck, kLf, kEtb}, 20000, [this] { return LineWaitAbandoned(); });
  // The last digit of the mode, which is always one the command takes.
  const int32_t mode = switches_.operation_mode_temporary.load();
  Exchange(*line_, OperationModeCommand((mode % 10 + 10) % 10).command.bytes, kReadTimeoutMs);
}

// ---------------------------------------------------------------------------
// Direct procedures

int32_t ChangerDevice::WaitForClear(int64_t limit_ms) {
  int32_t result = opos::OPOS_E_TIMEOUT;
  comm_->RunJob([&] { result = WaitForClearNow(limit_ms); });
  return result;
}

int32_t ChangerDevice::WaitForClearNow(int64_t limit_ms) {
  const ModelCode model = Model();
  const DeviceCommand status = StatusCommand(model);
  const int64_t start = clock_.NowMs();
  for (;;) {
    DeviceReply reply = Exchange(*line_, status.bytes, kReadTimeoutMs);
    if (reply.status == kReplyTimeout) return opos::OPOS_E_TIMEOUT;
    if (reply.status != kReplyOk || reply.length() != StatusRecordLength(model) || reply.data.empty()) {
      return opos::OPOS_E_FAILURE;
    }
    NoteHandlingMarks(reply.data);
    {
      platform::MutexLock lock(status_lock_);
      if (kept_status_.size() > 8) {
        kept_status_[7] = reply.data[7];
        kept_status_[8] = reply.data[8];
      }
    }
    if (!CashBeingHandled(reply.data)) return opos::OPOS_SUCCESS;
    if (clock_.NowMs() - start >= limit_ms) return opos::OPOS_SUCCESS;
    clock_.SleepMs(1);
  }
}

int32_t ChangerDevice::ReadyWait(bool* waiting, int64_t limit_ms) {
  int32_t result = opos::OPOS_E_TIMEOUT;
  comm_->RunJob([&] { result = ReadyWaitNow(waiting, limit_ms); });
  return result;
}

int32_t ChangerDevice::ReadyWaitNow(bool* waiting, int64_t limit_ms) {
  const DeviceCommand status = StatusCommand(ModelCode::kKrt07);
  const int64_t start = clock_.NowMs();
  for (;;) {
    DeviceReply reply = Exchange(*line_, status.bytes, kReadTimeoutMs);
    if (reply.status == kReplyTimeout) return opos::OPOS_E_TIMEOUT;
    if (reply.status != kReplyOk || reply.data.size() != kKrt07StatusLength) return opos::OPOS_E_FAILURE;
    NoteHandlingMarks(reply.data);
    if (DepositUnitIdle(reply.data)) return opos::OPOS_SUCCESS;
    if (!DepositUnitCountingPair(reply.data)) return opos::OPOS_E_FAILURE;
    counting_took_place_.store(true);
    if (waiting != nullptr) *waiting = true;
    if (limit_ms >= 0 && clock_.NowMs() - start >= limit_ms) return opos::OPOS_E_BUSY;
    clock_.SleepMs(1);
  }
}

bool ChangerDevice::RestartDeposit() {
  // Not begun for a watch step that a pause waits for: a restart that the
  // status asked for stays pending for a later read.
  if (LineWaitAbandoned()) return false;
  const ModelCode model = Model();
  DeviceReply counts = Exchange(*line_, DepositCountsCommand().bytes, kReadTimeoutMs);
  if (counts.status == kReplyOk && counts.data.size() == kFullDepositAnswer) {
    TakeDepositAnswer(counts, DepositRead::kFull);
    deposit_.SetCounts(DepositCounts().Counts());
  }
  const AnswerSet ready = model == ModelCode::kKrt03 ? AnswerSet{kAck, kDc3, kEtb} : AnswerSet{kAck, kEtb};
  if (!EnquireUntil(*line_, clock_, ready, 2000, [this] { return LineWaitAbandoned(); })) return false;

  // A fixed or paused deposit goes on with its intake closed.
  const bool intake_closed = deposit_.Fixed() || deposit_.Paused();
  if (model == ModelCode::kKrt03) {
    // The KRT03 has no closed-intake restart: its intake start would open a
    // new deposit over the fixed one, so the intake is left as it is.
    if (intake_closed) return true;
    DeviceReply reply = Exchange(*line_, IntakeStartCommand(deposit_.ActiveMark() == 1).bytes, kReadTimeoutMs);
    return reply.status == kReplyOk;
  }
  const int32_t b = intake_closed ? 1 : 0;
  const int32_t c = deposit_.Option() == 0 ? 1 : 0;
  const std::vector<uint8_t> command = DepositModeCommand(0, b, c).command.bytes;
  const auto accepted = [](const DeviceReply& reply) {
    return reply.status == kReplyOk && (reply.answerByte == kAck || reply.answerByte == kEtb);
  };
  if (!accepted(Exchange(*line_, command, kReadTimeoutMs))) return false;
  return accepted(Exchange(*line_, command, kReadTimeoutMs));
}

// ---------------------------------------------------------------------------
// Stop mailbox

int32_t ChangerDevice::StopMailbox() const { return stop_.Value(); }

opos::OposResult ChangerDevice::RequestStop(bool asynchronous) {
  if (!Busy()) return opos::OPOS_E_ILLEGAL;
  if (asynchronous) return stop_.AskAsync() ? opos::OPOS_SUCCESS : opos::OPOS_E_ILLEGAL;
  StopMailboxes::WaitedStop waited = stop_.AskAndWait(clock_);
  if (waited.end == StopMailboxes::WaitedStop::End::kBusy) return opos::OPOS_E_ILLEGAL;
  if (waited.end == StopMailboxes::WaitedStop::End::kUnanswered) return opos::OPOS_E_FAILURE;
  const DeviceReply& reply = waited.reply;
  const int32_t code = waited.code;

  if (reply.status == kReplyTimeout) return opos::OPOS_E_NOHARDWARE;
  if (reply.status != kReplyOk) return opos::OPOS_E_FAILURE;
  if (reply.answerByte == kAck) return opos::OPOS_SUCCESS;
  if (reply.answerByte == kBel || reply.answerByte == kCan) {
    return code != 0 ? opos::OposResult::Extended(code) : opos::OposResult(opos::OPOS_E_FAILURE);
  }
  return opos::OPOS_E_FAILURE;
}

}  // namespace vexokrt
