#include "device/changer_device.h"

#include <chrono>

#include "link/line_sequences.h"
#include "opos/opos.h"

namespace vexokrt {
namespace {

constexpr size_t kFullDepositAnswer = 35;
constexpr size_t kShortDepositAnswer = 32;
constexpr size_t kReturnedCountsAnswer = 30;
constexpr size_t kKrt07StatusLength = 51;
constexpr int32_t kReadTimeoutMs = 1000;
constexpr int64_t kQuerySliceMs = 100;
constexpr int64_t kStopAcceptMs = 5000;
constexpr int64_t kStopFinishMs = 30000;

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

ChangerDevice::ChangerDevice(ChangerHost& host, DeviceSettings settings, std::unique_ptr<LineExchange> line,
                             platform::Clock& clock, diag::ExamLog* exam)
    : host_(host), settings_(settings), clock_(clock), exam_(exam), line_(std::move(line)) {
  CommThread::Settings thread_settings;
  thread_settings.watch_interval_ms = settings_.watch_interval_ms;
  thread_settings.auto_negotiation = settings_.auto_negotiation;
  CommThreadDelegate& delegate = *this;
  comm_ = std::make_unique<CommThread>(*line_, delegate, thread_settings, clock_, exam_);
  CommThread* thread = comm_.get();
  line_->SetThreadHooks(ThreadHooks{[thread] { return thread->Start(); }, [thread] { thread->Stop(); },
                                    [thread] { thread->DiscardQueued(); }});
}

ChangerDevice::~ChangerDevice() {
  ClosePort();
  comm_->Stop();
  line_->SetThreadHooks(ThreadHooks{});
  comm_.reset();
}

// ---------------------------------------------------------------------------
// Port, thread and model

int ChangerDevice::OpenPort() { return line_->OpenPort(); }

int ChangerDevice::ClosePort() {
  line_->ClosePort();
  return 0;
}

bool ChangerDevice::PortOpen() const { return line_->IsOpen(); }

int ChangerDevice::DetectModel() { return line_->DetectModel(); }

ModelCode ChangerDevice::Model() const { return line_->Model(); }

// ---------------------------------------------------------------------------
// Requests

bool ChangerDevice::Enqueue(std::unique_ptr<DeviceRequest> request) {
  return comm_->Enqueue(std::move(request), [this] { host_.SetState(opos::OPOS_S_BUSY); });
}

DeviceReply ChangerDevice::UnqueuedReply() {
  // Nothing was queued, so nothing will answer: the caller hears so after
  // the idle guard, as a reply that no answer byte can be mistaken for.
  clock_.SleepMs(kIdleGuardMs);
  DeviceReply reply;
  reply.cancelled = kUnqueuedCancelled;
  return reply;
}

DeviceReply ChangerDevice::SendCommand(std::span<const uint8_t> bytes, WaitStyle style, int32_t timeout_ms,
                                       int32_t delay_after_ms) {
  auto slot = std::make_shared<WaitSlot>();
  auto request = std::make_unique<DeviceRequest>();
  request->command.assign(bytes.begin(), bytes.end());
  request->delivery = Delivery::kSlot;
  request->slot = slot;
  request->wait_style = style;
  request->timeout_ms = timeout_ms;
  request->delay_after_ms = delay_after_ms;
  if (!Enqueue(std::move(request))) return UnqueuedReply();
  return slot->Wait();
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

int32_t ChangerDevice::Apply(int32_t result, int32_t extended) {
  if (result == opos::OPOS_E_EXTENDED) host_.SetResultCodeExtended(extended);
  return result;
}

int32_t ChangerDevice::MapAnswer(const DeviceReply& reply, const AnswerRule& rule) {
  // The device's own error stop, as the last status showed it: the jam hold
  // of a running take-back hides it from the jam state, but a BEL it causes
  // is still a failure rather than "not possible now".
  const MappedResult mapped = MapReply(reply, rule, *line_, StoppedWithError(KeptStatus()));
  return Apply(mapped.result, mapped.extended);
}

int32_t ChangerDevice::Execute(const DeviceCommand& command, DeviceReply* reply) {
  DeviceReply answer = SendCommand(command.bytes, command.style, command.timeout_ms, command.delay_after_ms);
  const int32_t result = MapAnswer(answer, command.rule);
  if (reply != nullptr) *reply = std::move(answer);
  return result;
}

int32_t ChangerDevice::ExecuteAsync(const DeviceCommand& command, bool notify) {
  // A command that could not be queued will never complete; saying so beats
  // reporting success for an operation that does not happen.
  if (!SendCommandAsync(command.bytes, command.style, command.timeout_ms, command.delay_after_ms, notify)) {
    return opos::OPOS_E_NOHARDWARE;
  }
  return opos::OPOS_SUCCESS;
}

void ChangerDevice::PauseWatch() { comm_->PauseWatch(); }

void ChangerDevice::ResumeWatch(int32_t failure_count) { comm_->ResumeWatch(failure_count); }

// ---------------------------------------------------------------------------
// Commands with state of their own

int32_t ChangerDevice::TakeBack(const CashCounts& counts) {
  BuiltCommand built = TakeBackCommand(counts);
  if (!built.ok()) return built.result;
  if (host_.DioReadExchange() != 1) return ExecuteAsync(built.command);
  take_back_running_.store(true);
  const int32_t result = Execute(built.command);
  if (result == opos::OPOS_SUCCESS) {
    jam_hold_since_.store(clock_.NowMs());
    jam_hold_armed_.store(true);
  }
  take_back_running_.store(false);
  return result;
}

int32_t ChangerDevice::ReadDepositCounts() {
  DeviceReply reply;
  const int32_t result = Execute(DepositCountsCommand(), &reply);
  if (result != opos::OPOS_SUCCESS) return result;
  if (reply.data.size() != kFullDepositAnswer) return opos::OPOS_E_FAILURE;
  TakeDepositAnswer(reply, DepositRead::kFull);
  return opos::OPOS_SUCCESS;
}

int32_t ChangerDevice::ReadShortDepositCounts() {
  DeviceReply reply;
  const int32_t result = Execute(DepositCountsShortCommand(), &reply);
  if (result != opos::OPOS_SUCCESS) return result;
  if (reply.data.size() != kShortDepositAnswer) return opos::OPOS_E_FAILURE;
  TakeDepositAnswer(reply, DepositRead::kShort);
  return opos::OPOS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Kept status

bool ChangerDevice::StatusKept() const {
  std::lock_guard<std::mutex> lock(status_lock_);
  return !kept_status_.empty();
}

std::vector<uint8_t> ChangerDevice::KeptStatus() const {
  std::lock_guard<std::mutex> lock(status_lock_);
  return kept_status_;
}

bool ChangerDevice::Jammed() const {
  std::lock_guard<std::mutex> lock(status_lock_);
  return interpretation_.jam;
}

StatusConditions ChangerDevice::Conditions() const {
  std::lock_guard<std::mutex> lock(status_lock_);
  return interpretation_.conditions;
}

int32_t ChangerDevice::DeviceStatus() const {
  std::lock_guard<std::mutex> lock(status_lock_);
  return DeviceStatusValue(interpretation_.jam, interpretation_.conditions.empty,
                           interpretation_.conditions.near_empty);
}

int32_t ChangerDevice::FullStatus() const {
  std::lock_guard<std::mutex> lock(status_lock_);
  return FullStatusValue(interpretation_.conditions.full, interpretation_.conditions.near_full);
}

int32_t ChangerDevice::CheckBeforeDispense() {
  const ActionCheck check = vexokrt::CheckBeforeDispense(KeptStatus(), Model());
  return Apply(check.result, check.extended);
}

int32_t ChangerDevice::CheckBeforeDeposit() {
  const ActionCheck check = vexokrt::CheckBeforeDeposit(KeptStatus(), Model());
  return Apply(check.result, check.extended);
}

void ChangerDevice::ForgetStatus() {
  std::lock_guard<std::mutex> lock(status_lock_);
  kept_status_.clear();
  interpretation_ = Interpretation{};
}

bool ChangerDevice::CashBeingHandledKept() const { return CashBeingHandled(KeptStatus()); }

// ---------------------------------------------------------------------------
// Counts and deposit record

CashCounts ChangerDevice::CountsA() const {
  std::lock_guard<std::mutex> lock(counts_lock_);
  return counts_a_;
}

CashCounts ChangerDevice::CountsB() const {
  std::lock_guard<std::mutex> lock(counts_lock_);
  return counts_b_;
}

bool ChangerDevice::CountsKnown() const {
  std::lock_guard<std::mutex> lock(counts_lock_);
  return counts_known_;
}

int32_t ChangerDevice::Discrepancy() const {
  std::lock_guard<std::mutex> lock(counts_lock_);
  return discrepancy_;
}

int32_t ChangerDevice::SecondFlag() const {
  std::lock_guard<std::mutex> lock(counts_lock_);
  return second_flag_;
}

CashCounts ChangerDevice::ReturnedCounts() const {
  std::lock_guard<std::mutex> lock(counts_lock_);
  return returned_counts_;
}

DispenseRecord ChangerDevice::DepositCounts() const {
  std::lock_guard<std::mutex> lock(deposit_lock_);
  return deposit_record_;
}

bool ChangerDevice::DepositCountsChanged() const {
  std::lock_guard<std::mutex> lock(deposit_lock_);
  return deposit_changed_;
}

void ChangerDevice::ClearDepositCountsChanged() {
  std::lock_guard<std::mutex> lock(deposit_lock_);
  deposit_changed_ = false;
}

void ChangerDevice::ClearDepositCounts() {
  std::lock_guard<std::mutex> lock(deposit_lock_);
  deposit_record_ = DispenseRecord{};
}

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
  std::lock_guard<std::mutex> lock(hooks_lock_);
  history_step_ = std::move(step);
}

void ChangerDevice::SetLogFileReader(std::function<int32_t(int32_t)> reader) {
  std::lock_guard<std::mutex> lock(hooks_lock_);
  log_file_reader_ = std::move(reader);
}

// ---------------------------------------------------------------------------
// CommThreadDelegate: requests

void ChangerDevice::RequestAnswered() { host_.SetState(opos::OPOS_S_IDLE); }

void ChangerDevice::AsyncStopDone() {
  host_.SetAsyncResultCode(opos::OPOS_SUCCESS);
  host_.QueueStatusUpdate(opos::CHAN_STATUS_ASYNC);
}

void ChangerDevice::ResetMailboxes() {
  {
    std::lock_guard<std::mutex> lock(stop_lock_);
    stop_mailbox_ = kStopIdle;
  }
  stop_changed_.notify_all();
  std::lock_guard<std::mutex> lock(cancel_lock_);
  cancel_mailbox_ = false;
}

bool ChangerDevice::ServeMailboxes() {
  static constexpr uint8_t kKrt07Status[] = {kDc1, 'H', '0', '0'};
  const auto stoppable = [this](DeviceReply& status) {
    if (!IsKrt07Family(Model())) return false;
    status = Exchange(*line_, kKrt07Status, kReadTimeoutMs, /*suppress_follow_ups=*/true);
    return status.status == kReplyOk && status.data.size() == kKrt07StatusLength && status.data[1] == ';';
  };

  bool stop_asked;
  {
    std::lock_guard<std::mutex> lock(stop_lock_);
    stop_asked = stop_mailbox_ == kStopRequested;
  }
  if (stop_asked) {
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
    {
      std::lock_guard<std::mutex> lock(stop_lock_);
      stop_mailbox_ = outcome;
      stop_outcome_ = outcome;
      stop_reply_ = std::move(answer);
      stop_code_ = code;
    }
    stop_changed_.notify_all();
  }

  bool cancel_asked;
  {
    std::lock_guard<std::mutex> lock(cancel_lock_);
    cancel_asked = cancel_mailbox_;
    cancel_mailbox_ = false;
  }
  if (!cancel_asked) return false;

  const auto finish = [this](int32_t result) {
    host_.SetAsyncResultCode(result);
    host_.QueueStatusUpdate(opos::CHAN_STATUS_ASYNC);
    {
      std::lock_guard<std::mutex> lock(stop_lock_);
      stop_mailbox_ = kStopIdle;
    }
    stop_changed_.notify_all();
  };
  DeviceReply status;
  if (!stoppable(status)) {
    finish(opos::OPOS_E_FAILURE);
    return false;
  }
  DeviceReply answer = Exchange(*line_, StopCommand().bytes, kReadTimeoutMs, /*suppress_follow_ups=*/true);
  if (answer.status == kReplyTimeout) {
    host_.SetAsyncResultCode(opos::OPOS_E_NOHARDWARE);
    return false;
  }
  if (answer.status != kReplyOk) {
    host_.SetAsyncResultCode(opos::OPOS_E_FAILURE);
    return false;
  }
  if (answer.answerByte == kAck) return true;
  if (answer.answerByte == kBel || answer.answerByte == kCan) {
    host_.SetAsyncResultCodeExtended(line_->ReadKrt07ErrorCode(Krt07Rule::kC));
    finish(opos::OPOS_SUCCESS);
    return false;
  }
  finish(opos::OPOS_E_FAILURE);
  return false;
}

bool ChangerDevice::AskTakeBackRetry(const std::function<bool()>& abandon) { return QueryTakeBackRetry(abandon); }

bool ChangerDevice::QueryTakeBackRetry(const std::function<bool()>& abandon) {
  auto answer = std::make_shared<events::AnswerSlot>();
  DirectIoNotice question;
  question.event_number = 1;
  question.data = 1;
  question.answer = answer;
  host_.PostToWindow(kMsgQueryTakeBackRetry, std::move(question));
  // The application answers through its event handler; while events are
  // frozen no answer comes, so the question is given up after the
  // take-back time-out (counted in waiting slices) and when the thread
  // stops. Giving up means no retry: the device is told to stop.
  for (int64_t waited = 0; waited < settings_.take_back_timeout_ms; waited += kQuerySliceMs) {
    const int32_t value = answer->Wait(static_cast<int>(kQuerySliceMs), clock_);
    if (value != 0) return value == 1;
    if (abandon && abandon()) return false;
  }
  return false;
}

void ChangerDevice::DeliverPosted(const DeviceRequest& request, DeviceReply reply, bool executed) {
  if (request.wait_style == WaitStyle::kTakeBack) {
    std::string counts;
    if (executed) {
      DeviceReply returned = Exchange(*line_, ReturnedCountsCommand().bytes, kReadTimeoutMs);
      CashCounts parsed{};
      if (returned.status == kReplyOk && returned.data.size() == kReturnedCountsAnswer &&
          ParseDeviceOrderCounts(returned.data, parsed)) {
        std::lock_guard<std::mutex> lock(counts_lock_);
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

int32_t ChangerDevice::RunLogFileRequest(int32_t code) {
  std::function<int32_t(int32_t)> reader;
  {
    std::lock_guard<std::mutex> lock(hooks_lock_);
    reader = log_file_reader_;
  }
  return reader ? reader(code) : opos::OPOS_E_FAILURE;
}

void ChangerDevice::DeliverLogResult(const DeviceRequest& request, int32_t result) {
  host_.PostToWindow(request.message, LogOutputCompletion{result, request.parameter});
}

// ---------------------------------------------------------------------------
// CommThreadDelegate: watch

int32_t ChangerDevice::RunHistoryStep() {
  std::function<int32_t()> step;
  {
    std::lock_guard<std::mutex> lock(hooks_lock_);
    step = history_step_;
  }
  return step ? step() : 0;
}

bool ChangerDevice::DepositUnderWay() { return IsDepositUnderWay(host_.DepositStatus()); }

void ChangerDevice::ReportPowerState(int32_t power_state) { SetPowerState(power_state); }

void ChangerDevice::TakeDepositAnswer(const DeviceReply& reply, DepositRead kind) {
  const size_t expected = kind == DepositRead::kFull ? kFullDepositAnswer : kShortDepositAnswer;
  if (reply.status != kReplyOk || reply.data.size() != expected) return;
  CashCounts counts{};
  if (ParseDeviceOrderCounts(reply.data, counts)) {
    std::lock_guard<std::mutex> lock(deposit_lock_);
    DispenseRecord updated = deposit_record_;
    for (size_t i = 0; i < counts.size(); ++i) updated.slot[i] = counts[i];
    if (!(updated == deposit_record_)) {
      deposit_record_ = updated;
      deposit_changed_ = true;
    }
  }
  if (kind == DepositRead::kFull) {
    // The two reject counters: a change to a non-zero value means cash was
    // rejected; the notification waits for the next status read.
    const int32_t p = reply.data[33] - '0';
    const int32_t q = reply.data[34] - '0';
    if (reject_count_watch_.load() &&
        ((p != 0 && p != last_reject_p_.load()) || (q != 0 && q != last_reject_q_.load()))) {
      pending_reject_.store(true);
    }
    last_reject_p_.store(p);
    last_reject_q_.store(q);
  }
}

void ChangerDevice::TakeCounts(std::span<const uint8_t> set_a, std::span<const uint8_t> set_b) {
  CashCounts a{};
  CashCounts b{};
  int32_t discrepancy = 0;
  int32_t second = 0;
  if (set_b.empty()) {
    if (set_a.size() < 70 || !ParseCountsAnswer(set_a, a, b)) return;
    discrepancy = (set_a[42] & 0x03) != 0 ? 1 : 0;
    second = (set_a[42] >> 2) & 1;
  } else {
    if (!ParseDeviceOrderCounts(set_a, a) || !ParseDeviceOrderCounts(set_b, b)) return;
  }
  std::lock_guard<std::mutex> lock(counts_lock_);
  counts_a_ = a;
  counts_b_ = b;
  discrepancy_ = discrepancy;
  second_flag_ = second;
  counts_known_ = true;
}

void ChangerDevice::TakeStatus(std::span<const uint8_t> record) {
  InterpretStatus(record);
  ApplyNotificationRules(record);
}

bool ChangerDevice::JamHeld() const {
  if (take_back_running_.load()) return true;
  return jam_hold_armed_.load() && clock_.NowMs() - jam_hold_since_.load() <= kJamHoldMs;
}

bool ChangerDevice::DepositOpen() { return IsDepositUnderWay(host_.DepositStatus()); }

void ChangerDevice::InterpretStatus(std::span<const uint8_t> record) {
  const ModelCode model = Model();
  Interpretation now;
  now.jam = StoppedWithError(record) && !JamHeld();
  now.conditions = ReadConditions(record, SidesAtExit(host_.CurrentExit()));

  if (model != ModelCode::kUnknown) {
    const bool counting = DepositUnitCounting(record, model);
    if (counting) counting_took_place_.store(true);
    const bool was_counting = unit_counting_.exchange(counting);
    if (DepositOpen()) {
      host_.SetDepositStatus(counting ? opos::CHAN_STATUS_DEPOSIT_COUNT : opos::CHAN_STATUS_DEPOSIT_START);
      if ((was_counting && !counting) || (IsKrt07Family(model) && settings_.deposit_evt_set == 1)) {
        RereadDepositCounts();
      }
    }
  }

  Interpretation before;
  {
    std::lock_guard<std::mutex> lock(status_lock_);
    before = interpretation_;
    kept_status_.assign(record.begin(), record.end());
    interpretation_ = now;
  }

  if (now.jam != before.jam) {
    if (host_.DeviceEnabled() || settings_.claim_non_event != 1) {
      host_.QueueStatusUpdate(now.jam ? opos::CHAN_STATUS_JAM : opos::CHAN_STATUS_JAMOK);
    }
    if (!now.jam && DepositOpen()) {
      const bool restarted = RestartDeposit();
      restart_pending_.store(!restarted && IsKrt07Family(model));
    }
  } else if (restart_pending_.load()) {
    if (now.jam || !DepositOpen()) {
      restart_pending_.store(false);
    } else if (RestartDeposit()) {
      restart_pending_.store(false);
    }
  }

  const StatusConditions& was = before.conditions;
  const StatusConditions& is = now.conditions;
  if (is.empty != was.empty) {
    host_.QueueStatusUpdate(is.empty        ? opos::CHAN_STATUS_EMPTY
                            : is.near_empty ? opos::CHAN_STATUS_NEAREMPTY
                                            : opos::CHAN_STATUS_EMPTYOK);
  } else if (!is.empty && is.near_empty != was.near_empty) {
    host_.QueueStatusUpdate(is.near_empty ? opos::CHAN_STATUS_NEAREMPTY : opos::CHAN_STATUS_EMPTYOK);
  }
  if (is.full != was.full) {
    host_.QueueStatusUpdate(is.full        ? opos::CHAN_STATUS_FULL
                            : is.near_full ? opos::CHAN_STATUS_NEARFULL
                                           : opos::CHAN_STATUS_FULLOK);
  } else if (!is.full && is.near_full != was.near_full) {
    host_.QueueStatusUpdate(is.near_full ? opos::CHAN_STATUS_NEARFULL : opos::CHAN_STATUS_FULLOK);
  }

  if (model == ModelCode::kKrt03) Krt03TakeBackQuery(record);
}

void ChangerDevice::RereadDepositCounts() {
  const bool krt03 = Model() == ModelCode::kKrt03;
  const DeviceCommand command = krt03 ? DepositCountsShortCommand() : DepositCountsCommand();
  DeviceReply reply = Exchange(*line_, command.bytes, kReadTimeoutMs);
  TakeDepositAnswer(reply, krt03 ? DepositRead::kShort : DepositRead::kFull);
  DispenseRecord record;
  {
    std::lock_guard<std::mutex> lock(deposit_lock_);
    if (!deposit_changed_) return;
    deposit_changed_ = false;
    record = deposit_record_;
  }
  // DepositCounts and DepositAmount are current before the data event that
  // announces them, so a handler reading them sees the new cash.
  host_.SetDepositCounts(record.Counts());
  host_.QueueDataEvent(record);
}

void ChangerDevice::Krt03TakeBackQuery(std::span<const uint8_t> record) {
  if (host_.DirectIoMode() != 1) return;
  const uint8_t state = StatusByte(record, 51);
  if ((state != '<' && state != '3') || StatusByte(record, 52) != '2') return;
  const auto abandon = [this] { return comm_->StopRequested() || comm_->WatchPauseWaiting(); };
  if (QueryTakeBackRetry(abandon)) {
    TakeBackRetrySequence(*line_, clock_);
  } else {
    TakeBackStopSequence(*line_, clock_, abandon);
    host_.SetDirectIoMode(0);
  }
}

void ChangerDevice::Notify(std::string_view message, int32_t event_number) {
  DirectIoNotice notice;
  notice.event_number = event_number;
  notice.data = 1;
  host_.PostToWindow(message, std::move(notice));
}

void ChangerDevice::ApplyNotificationRules(std::span<const uint8_t> d) {
  const auto at = [d](size_t index) { return StatusByte(d, index); };

  if (pending_reject_.load()) {
    const bool counting = (at(47) == '3' && at(48) == '1') || (at(49) == '3' && at(50) == '1');
    if (!counting) {
      const bool kind_shown = (at(46) & 0x0C) != 0 || at(9) != '0' || at(10) != '0' || at(11) != '0' || at(21) == '8';
      Notify(kMsgHappenReject, reject_kind_report_.load() && kind_shown ? 8 : 3);
      pending_reject_.store(false);
    }
  }

  if (!IsKrt07Family(Model())) return;

  if (cassette_notify_.load()) {
    const bool out = (at(43) & 0x08) != 0;
    if (out && at(1) != '1' && cassette_idle_seen_.load() && cassette_set_seen_.load()) {
      Notify(kMsgHappenCaset, 4);
      cassette_idle_seen_.store(false);
      cassette_set_seen_.store(false);
      cassette_removed_posted_.store(true);
    }
    if (out && cassette_idle_seen_.load()) cassette_set_seen_.store(true);
    if (at(43) == '0') {
      cassette_idle_seen_.store(true);
      if (cassette_removed_posted_.exchange(false)) Notify(kMsgHappenCaset, 5);
    }
  }

  if (cassette_display_notify_.load()) {
    const int32_t v = (at(47) - 0x30) * 16 + (at(48) - 0x30);
    if (v == 0x92) {
      if (display_armed_.load()) {
        Notify(kMsgHappenCasetDsp, 6);
        display_armed_.store(false);
        display_fired_.store(true);
      }
    } else {
      display_armed_.store(true);
      if (display_fired_.load() && (at(43) & 0x02) == 0) {
        Notify(kMsgHappenCasetDsp, 7);
        display_fired_.store(false);
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Power state

int32_t ChangerDevice::PowerState() const {
  std::lock_guard<std::mutex> lock(power_lock_);
  return power_state_;
}

void ChangerDevice::StorePowerState(int32_t power_state) {
  std::lock_guard<std::mutex> lock(power_lock_);
  power_state_ = power_state;
}

void ChangerDevice::SetPowerState(int32_t power_state) {
  int32_t previous;
  {
    std::lock_guard<std::mutex> lock(power_lock_);
    previous = power_state_;
    if (previous == power_state) return;
    power_state_ = power_state;
  }
  if (previous != opos::OPOS_PS_UNKNOWN) {
    const ModelCode model = Model();
    if (power_state == opos::OPOS_PS_ONLINE && model != ModelCode::kUnknown && DepositOpen() &&
        !host_.DepositFixed() && !Jammed()) {
      RestartDeposit();
    }
    if (model == ModelCode::kKrt03 && host_.DirectIoMode() == 1) host_.SetDirectIoMode(0);
    // The operation mode is sent again when the device is back; a device
    // that just went offline cannot take it, and trying would hold the
    // thread in its enquiry loop for 20 s.
    if (IsKrt07Family(model) && power_state == opos::OPOS_PS_ONLINE) ResendOperationMode();
  }
  if (host_.PowerNotify() == 1) host_.QueueStatusUpdate(power_state);
}

void ChangerDevice::ResendOperationMode() {
  EnquireUntil(*line_, clock_, AnswerSet{kAck, kLf, kEtb}, 20000, [this] { return comm_->StopRequested(); });
  const int32_t mode = host_.OperationModeTemporary();
  const uint8_t command[] = {kDc1, 'G', '0', '1', static_cast<uint8_t>('0' + (mode % 10 + 10) % 10)};
  Exchange(*line_, command, kReadTimeoutMs);
}

// ---------------------------------------------------------------------------
// Direct procedures

int32_t ChangerDevice::WaitForClear(int64_t limit_ms) {
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
      std::lock_guard<std::mutex> lock(status_lock_);
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
  static constexpr uint8_t kKrt07Status[] = {kDc1, 'H', '0', '0'};
  const int64_t start = clock_.NowMs();
  for (;;) {
    DeviceReply reply = Exchange(*line_, kKrt07Status, kReadTimeoutMs);
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
  const ModelCode model = Model();
  DeviceReply counts = Exchange(*line_, DepositCountsCommand().bytes, kReadTimeoutMs);
  if (counts.status == kReplyOk && counts.data.size() == kFullDepositAnswer) {
    TakeDepositAnswer(counts, DepositRead::kFull);
    host_.SetDepositCounts(DepositCounts().Counts());
  }
  const AnswerSet ready = model == ModelCode::kKrt03 ? AnswerSet{kAck, kDc3, kEtb} : AnswerSet{kAck, kEtb};
  if (!EnquireUntil(*line_, clock_, ready, 2000, [this] { return comm_->StopRequested(); })) return false;

  if (model == ModelCode::kKrt03) {
    DeviceReply reply = Exchange(*line_, IntakeStartCommand(host_.DepositActiveMark() == 1).bytes, kReadTimeoutMs);
    return reply.status == kReplyOk;
  }
  const int32_t b = (host_.DepositFixed() || host_.DepositPaused()) ? 1 : 0;
  const int32_t c = host_.DepositOption() == 0 ? 1 : 0;
  const uint8_t command[] = {kDc1, 'F', '0', '4', static_cast<uint8_t>('0' + 2 * b + 4 * c), '0', '0', '0'};
  const auto accepted = [](const DeviceReply& reply) {
    return reply.status == kReplyOk && (reply.answerByte == kAck || reply.answerByte == kEtb);
  };
  if (!accepted(Exchange(*line_, command, kReadTimeoutMs))) return false;
  return accepted(Exchange(*line_, command, kReadTimeoutMs));
}

// ---------------------------------------------------------------------------
// Stop mailbox

int32_t ChangerDevice::StopMailbox() const {
  std::lock_guard<std::mutex> lock(stop_lock_);
  return stop_mailbox_;
}

bool ChangerDevice::StopMailboxSettled(int32_t value) const {
  return value == kStopAccepted || value == kStopRefused || value == kStopNotPossible;
}

int32_t ChangerDevice::RequestStop(bool asynchronous) {
  if (host_.State() == opos::OPOS_S_IDLE) return opos::OPOS_E_ILLEGAL;
  std::unique_lock<std::mutex> lock(stop_lock_);
  if (stop_mailbox_ != kStopIdle) return opos::OPOS_E_ILLEGAL;
  if (asynchronous) {
    stop_mailbox_ = kStopRequestedAsync;
    lock.unlock();
    std::lock_guard<std::mutex> cancel(cancel_lock_);
    cancel_mailbox_ = true;
    return opos::OPOS_SUCCESS;
  }
  // The outcome is kept apart from the mailbox, which the communication
  // thread resets at the end of every request, possibly before this waiter
  // has looked.
  stop_outcome_ = kStopIdle;
  stop_mailbox_ = kStopRequested;
  if (!clock_.WaitFor(stop_changed_, lock, kStopAcceptMs,
                      [this] { return StopMailboxSettled(stop_outcome_); })) {
    stop_mailbox_ = kStopIdle;
    return opos::OPOS_E_FAILURE;
  }
  if (stop_outcome_ == kStopNotPossible) {
    stop_mailbox_ = kStopIdle;
    return opos::OPOS_E_FAILURE;
  }
  if (stop_outcome_ == kStopAccepted &&
      !clock_.WaitFor(stop_changed_, lock, kStopFinishMs,
                      [this] { return stop_mailbox_ == kStopIdle; })) {
    stop_reply_ = DeviceReply();
    stop_mailbox_ = kStopIdle;
    return opos::OPOS_E_FAILURE;
  }
  DeviceReply reply = std::move(stop_reply_);
  stop_reply_ = DeviceReply();
  const int32_t code = stop_code_;
  stop_mailbox_ = kStopIdle;
  lock.unlock();

  if (reply.status == kReplyTimeout) return opos::OPOS_E_NOHARDWARE;
  if (reply.status != kReplyOk) return opos::OPOS_E_FAILURE;
  if (reply.answerByte == kAck) return opos::OPOS_SUCCESS;
  if (reply.answerByte == kBel || reply.answerByte == kCan) {
    return code != 0 ? Apply(opos::OPOS_E_EXTENDED, code) : opos::OPOS_E_FAILURE;
  }
  return opos::OPOS_E_FAILURE;
}

}  // namespace vexokrt
