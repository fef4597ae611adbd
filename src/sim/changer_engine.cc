// SPDX-License-Identifier: Apache-2.0
// The engine core: bytes in, frames out, time, long actions, faults and the
// control side. The commands themselves are in command_handlers.cc.
#include "sim/changer_engine.h"

#include <algorithm>
#include <ctime>
#include <type_traits>

#include "sim/engine_state.h"
#include "sim/status_record.h"

namespace vexokrt::sim {
namespace {

// A frame whose bytes stop coming for this long is given up, as a device's
// receiver does with an inter-character time-out.
constexpr int64_t kInterByteTimeoutUs = 200'000;

bool IsReplacingFault(FaultKind kind) {
  switch (kind) {
    case FaultKind::kAnswerNak:
    case FaultKind::kAnswerCan:
    case FaultKind::kAnswerEm:
    case FaultKind::kAnswerBel:
      return true;
    case FaultKind::kAnswerSub:
    case FaultKind::kCorruptBcc:
    case FaultKind::kWrongFirstByte:
    case FaultKind::kTruncatedFrame:
    case FaultKind::kOverlongFrame:
    case FaultKind::kDelay:
    case FaultKind::kDrop:
      return false;
  }
  return false;
}

bool IsOutputFault(FaultKind kind) {
  switch (kind) {
    case FaultKind::kCorruptBcc:
    case FaultKind::kWrongFirstByte:
    case FaultKind::kTruncatedFrame:
    case FaultKind::kOverlongFrame:
    case FaultKind::kDelay:
    case FaultKind::kDrop:
      return true;
    case FaultKind::kAnswerNak:
    case FaultKind::kAnswerCan:
    case FaultKind::kAnswerEm:
    case FaultKind::kAnswerBel:
    case FaultKind::kAnswerSub:
      return false;
  }
  return false;
}

bool IsSubFault(FaultKind kind) { return kind == FaultKind::kAnswerSub; }

bool NeedsDataFrame(FaultKind kind) {
  return kind == FaultKind::kCorruptBcc || kind == FaultKind::kTruncatedFrame || kind == FaultKind::kOverlongFrame;
}

std::uint8_t ReplacementByte(FaultKind kind) {
  switch (kind) {
    case FaultKind::kAnswerNak:
      return kNak;
    case FaultKind::kAnswerCan:
      return kCan;
    case FaultKind::kAnswerEm:
      return kEm;
    case FaultKind::kAnswerBel:
      return kBel;
    case FaultKind::kAnswerSub:
    case FaultKind::kCorruptBcc:
    case FaultKind::kWrongFirstByte:
    case FaultKind::kTruncatedFrame:
    case FaultKind::kOverlongFrame:
    case FaultKind::kDelay:
    case FaultKind::kDrop:
      break;
  }
  return kNak;
}

// Commands the device answers even while a long action runs: reads that do not move cash.
bool AnsweredWhileBusy(std::uint8_t letter) {
  switch (letter) {
    case 'H':
    case 'i':
    case '"':
    case '&':
    case 'o':
    case ',':
    case '.':
    case ':':
    case 's':
    case '6':
    case 'Z':
    case 'Y':
    case 'q':
    case '[':
    case ']':
    case 'W':
    case 'u':
    case 'l':
    case 'V':
    case 'E':
      return true;
    default:
      return false;
  }
}

ReceivedFrame::Kind KindOf(HostFrameDecoder::Event::Kind kind) {
  switch (kind) {
    case HostFrameDecoder::Event::Kind::kCommand:
      return ReceivedFrame::Kind::kCommand;
    case HostFrameDecoder::Event::Kind::kEnquiry:
      return ReceivedFrame::Kind::kEnquiry;
    case HostFrameDecoder::Event::Kind::kBadFrame:
      return ReceivedFrame::Kind::kBadFrame;
    case HostFrameDecoder::Event::Kind::kNone:
    case HostFrameDecoder::Event::Kind::kNoise:
      break;
  }
  return ReceivedFrame::Kind::kNoise;
}

int64_t NaiveLocalSeconds() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return static_cast<int64_t>(timegm(&local));
}

}  // namespace

// ============================================================================
// State: construction, time, bytes and frames
// ============================================================================

ChangerEngine::State::State(const EngineOptions& opts, const SimClock& clk)
    : options(opts),
      traits(TraitsOf(opts.model)),
      clock(clk),
      line(traits.power_on_line),
      mode_a(traits.power_on_mode_a),
      memory(traits.family) {
  // Pages the machine leaves the factory with: page 2 selects the exits
  // (value 4 on the coin side), page 10 holds the operation-mode bit.
  pages[2] = {0, 4, 0, 0, 0};
  pages[10] = {2, 0, 0, 0, 0};
  start_us = clk.NowUs();
  naive_epoch_at_start = NaiveLocalSeconds();
}

void ChangerEngine::State::Advance(int64_t now_us) {
  // Counting phases and long actions end in time order; a jam or stop has
  // already ended an action by the time we get here.
  DepositSession::Counted counted = deposit.Advance(now_us, inventory);
  bool refused = false;
  for (int i = 0; i < kDenominationCount; ++i) refused |= counted.refused[i] > 0;
  if (refused) HandOut(counted.refused, true);
  for (int i = 0; i < kDenominationCount; ++i) lifetime_deposited[i] += counted.stored[i];
  if (action && action->end_us <= now_us) FinishAction(Ending::kCompleted);
}

void ChangerEngine::State::OnBytes(std::span<const std::uint8_t> bytes, const LineSettings& host,
                                   LineCheck check) {
  int64_t now = Now();
  if (!LineMatches(host, line, check)) {
    // At the wrong speed or format the receiver sees garbage; whatever frame
    // was half received is lost with it.
    decoder.Reset();
    ReceivedFrame frame;
    frame.kind = ReceivedFrame::Kind::kLineMismatch;
    frame.raw.assign(bytes.begin(), bytes.end());
    frame.host_line = host;
    frame.time_us = now;
    frame.detail = "device listens on " + FormatLineSettings(line);
    Record(std::move(frame));
    return;
  }
  std::vector<HostFrameDecoder::Event> events;
  if (decoder.InFrame() && now - last_rx_us > kInterByteTimeoutUs) decoder.Flush(true, events);
  last_rx_us = now;
  decoder.Feed(bytes, events);
  // Noise is reported per chunk so that it appears in order with the frames.
  decoder.Flush(false, events);
  for (HostFrameDecoder::Event& event : events) OnEvent(event, host);
}

void ChangerEngine::State::OnEvent(HostFrameDecoder::Event& event, const LineSettings& host) {
  ReceivedFrame frame;
  frame.kind = KindOf(event.kind);
  frame.raw = event.raw;
  frame.body = event.body;
  frame.host_line = host;
  frame.time_us = Now();
  frame.detail = unplugged ? "ignored: unplugged" : event.detail;
  Record(std::move(frame));
  if (unplugged) return;

  if (action && (event.kind == HostFrameDecoder::Event::Kind::kCommand ||
                 event.kind == HostFrameDecoder::Event::Kind::kEnquiry)) {
    action->host_spoke = true;
  }
  switch (event.kind) {
    case HostFrameDecoder::Event::Kind::kEnquiry:
      OnEnquiry();
      return;
    case HostFrameDecoder::Event::Kind::kCommand:
      OnCommand(event.body);
      return;
    case HostFrameDecoder::Event::Kind::kBadFrame:
      // A frame the device could not read is refused; one abandoned half-way
      // (a gap, or the host starting over) is not worth an answer.
      if (event.detail == "BCC error" || event.detail == "frame too long" ||
          event.detail.starts_with("no ETX")) {
        Emit(Answer::Byte(kNak), 0, Now());
      }
      return;
    case HostFrameDecoder::Event::Kind::kNoise:
    case HostFrameDecoder::Event::Kind::kNone:
      return;
  }
}

void ChangerEngine::State::OnEnquiry() {
  int64_t now = Now();
  if (std::optional<Fault> fault = TakeFault(kEnquiryTarget, IsReplacingFault, false)) {
    Emit(Answer::Byte(ReplacementByte(fault->kind)), kEnquiryTarget, now);
    return;
  }
  if (action) {
    if (action->busy_byte) Emit(Answer::Byte(*action->busy_byte), kEnquiryTarget, now);
    return;
  }
  if (final_answer) {
    PendingFinal pending = std::move(*final_answer);
    final_answer.reset();
    Emit(pending.answer, pending.command, now);
    return;
  }
  Emit(Answer::Byte(kAck), kEnquiryTarget, now);
}

void ChangerEngine::State::OnCommand(const Bytes& body) {
  int64_t now = Now();
  char letter = body.size() >= 2 ? static_cast<char>(body[1]) : 0;
  if (std::optional<Fault> fault = TakeFault(letter, IsReplacingFault, false)) {
    Emit(Answer::Byte(ReplacementByte(fault->kind)), letter, now);
    return;
  }
  if (action && !AnsweredWhileBusy(static_cast<std::uint8_t>(letter))) {
    Emit(Answer::Byte(kSub), letter, now);
    return;
  }
  bool had_action = action.has_value();
  Outcome outcome = Dispatch(body);
  std::optional<Fault> sub = TakeFault(letter, IsSubFault, false);
  if (sub) {
    if (action && !had_action) {
      // The action takes that much longer and says so: SUB to ENQ even where
      // it would otherwise say nothing.
      action->end_us += static_cast<int64_t>(sub->ms) * 1000;
      if (!action->busy_byte) action->busy_byte = kSub;
    } else if (outcome.answer) {
      // Held back: silent now, SUB to every ENQ, then the real answer.
      Answer held = *outcome.answer;
      Action hold;
      hold.command = letter;
      hold.finish = [held](Ending, double) { return std::optional<Answer>(held); };
      StartAction(std::move(hold), sub->ms);
      return;
    }
  }
  if (outcome.answer) Emit(*outcome.answer, letter, now);
}

std::optional<Fault> ChangerEngine::State::TakeFault(char command, bool (*wanted)(FaultKind), bool data_answer) {
  for (auto it = faults.begin(); it != faults.end(); ++it) {
    if (!wanted(it->kind)) continue;
    // A fault for "any command" leaves ENQ answers and unasked bytes alone.
    bool aimed = it->command == 0 ? command != kEnquiryTarget && command != kUnsolicited : it->command == command;
    if (!aimed) continue;
    if (NeedsDataFrame(it->kind) && !data_answer) continue;
    Fault fault = *it;
    if (--it->times <= 0) faults.erase(it);
    return fault;
  }
  return std::nullopt;
}

void ChangerEngine::State::Emit(const Answer& answer, char command, int64_t at_us) {
  if (unplugged) return;
  Bytes bytes = answer.is_data ? EncodeDataAnswer(answer.data, options.binary_length ? LengthForm::kBinary
                                                                                     : LengthForm::kNibbles)
                              : Bytes{answer.control};
  if (std::optional<Fault> fault = TakeFault(command, IsOutputFault, answer.is_data)) {
    switch (fault->kind) {
      case FaultKind::kDrop:
        if (line_observer) {
          line_observer(LineRecord{LineRecord::Direction::kSent, {}, bytes, command, at_us, "dropped by a fault"});
        }
        return;
      case FaultKind::kDelay:
        at_us += static_cast<int64_t>(fault->ms) * 1000;
        break;
      case FaultKind::kCorruptBcc:
        bytes.back() ^= 0x5A;
        break;
      case FaultKind::kWrongFirstByte:
        bytes.front() = 0x09;
        break;
      case FaultKind::kTruncatedFrame:
        bytes.resize(bytes.size() - 2);
        break;
      case FaultKind::kOverlongFrame:
        bytes.insert(bytes.end(), {'0', '0', '0', '0'});
        break;
      case FaultKind::kAnswerNak:
      case FaultKind::kAnswerCan:
      case FaultKind::kAnswerEm:
      case FaultKind::kAnswerBel:
      case FaultKind::kAnswerSub:
        break;
    }
  }
  at_us += static_cast<int64_t>(options.answer_latency_ms) * 1000;
  // The line is first-in first-out: nothing overtakes an answer already queued.
  int64_t due = std::max(at_us, last_due_us);
  // 11 bits a byte: start, up to 8 data bits, parity, stop.
  int64_t byte_us = options.wire_timing ? (11'000'000 + line.baud - 1) / line.baud : 0;
  for (std::uint8_t b : bytes) {
    due += byte_us;
    out.push_back({b, due});
  }
  last_due_us = due;
  if (line_observer) line_observer(LineRecord{LineRecord::Direction::kSent, {}, bytes, command, due, ""});
}

void ChangerEngine::State::StartAction(Action new_action, int duration_ms) {
  int64_t now = Now();
  final_answer.reset();
  new_action.start_us = now;
  new_action.end_us = now + static_cast<int64_t>(std::max(0, duration_ms)) * 1000;
  action = std::move(new_action);
  if (duration_ms <= 0) FinishAction(Ending::kCompleted);
}

void ChangerEngine::State::FinishAction(Ending ending) {
  if (!action) return;
  Action done = std::move(*action);
  action.reset();
  int64_t now = Now();
  int64_t end = ending == Ending::kCompleted ? done.end_us : now;
  double span = static_cast<double>(done.end_us - done.start_us);
  double fraction = ending == Ending::kCompleted || span <= 0 ? 1.0
                                                              : std::clamp((now - done.start_us) / span, 0.0, 1.0);
  std::optional<Answer> final = done.finish ? done.finish(ending, fraction) : std::nullopt;
  if (!final) return;
  // The device ends an action unasked only with the auto-answer setting;
  // otherwise the final answer waits for the host's next ENQ.
  if (options.auto_answer && done.silent_start && !done.host_spoke && ending == Ending::kCompleted) {
    Emit(*final, done.command, end);
  } else {
    final_answer = PendingFinal{std::move(*final), done.command};
  }
}

std::optional<int64_t> ChangerEngine::State::NextEvent() const {
  std::optional<int64_t> next;
  auto consider = [&next](int64_t t) {
    if (!next || t < *next) next = t;
  };
  if (!out.empty()) consider(out.front().due_us);
  if (action) consider(action->end_us);
  if (std::optional<int64_t> counting = deposit.NextEventUs()) consider(*counting);
  if (coin_unit_busy_until > Now()) consider(coin_unit_busy_until);
  return next;
}

void ChangerEngine::State::Record(ReceivedFrame frame) {
  if (line_observer) {
    line_observer(LineRecord{LineRecord::Direction::kReceived, frame.kind, frame.raw, 0, frame.time_us, frame.detail});
  }
  frames.push_back(std::move(frame));
  while (frames.size() > options.max_recorded_frames) frames.pop_front();
  ++frames_since_clear;
  frames_cv.notify_all();
}

Bytes ChangerEngine::State::Status() const {
  StatusInputs in;
  in.model = traits.model;
  in.jammed = jammed;
  in.error_number = error_number;
  in.state = action && action->stoppable ? ';' : deposit.open() ? deposit.StateChar() : '0';
  in.operation_mode = operation_mode;
  in.coin_tray = coin_tray;
  in.bill_outlet = bill_outlet;
  in.bill_entrance = bill_entrance;
  bool coin_unit_busy = coin_unit_busy_until > Now();
  in.coin_handling = deposit.coin_counting() || (action && action->coin_side) || coin_unit_busy;
  in.bill_handling = deposit.bill_counting() || (action && action->bill_side);
  in.inventory = &inventory;
  in.deposit_open = deposit.open();
  in.cassette_removed = cassette_removed;
  in.payout_refused = payout_refused;
  in.bill_refused_full = deposit.bill_refused_full();
  in.coin_refused_full = deposit.coin_refused_full();
  in.bill_pair = deposit.BillPair();
  in.coin_pair = deposit.CoinPair();
  in.overrides = &overrides;
  return BuildStatusRecord(in);
}

// ============================================================================
// State: history, counters, outlets
// ============================================================================

std::tm ChangerEngine::State::DeviceTime() const {
  int64_t base = naive_epoch_at_start;
  int64_t since = start_us;
  if (!clock_text.empty()) {
    std::tm set{};
    auto num = [this](std::size_t at, std::size_t n) VEX_REQUIRES(mutex) {
      return std::stoi(clock_text.substr(at, n));
    };
    set.tm_year = num(0, 4) - 1900;
    set.tm_mon = num(4, 2) - 1;
    set.tm_mday = num(6, 2);
    set.tm_hour = num(8, 2);
    set.tm_min = num(10, 2);
    set.tm_sec = clock_text.size() >= 14 ? num(12, 2) : 0;
    base = static_cast<int64_t>(timegm(&set));
    since = clock_set_us;
  }
  std::time_t t = static_cast<std::time_t>(base + (Now() - since) / 1'000'000);
  std::tm result{};
  gmtime_r(&t, &result);
  return result;
}

static std::uint8_t Bcd(int value) { return static_cast<std::uint8_t>((value / 10) << 4 | (value % 10)); }

void ChangerEngine::State::LogOperation(Operation op, long amount, const CashCounts& counts, bool ok) {
  // Dated record: month, day, hour, minute, second (packed decimal), the
  // machine type, the operation, the amount, a result flag and the pieces.
  Bytes record(static_cast<std::size_t>(memory.history_record_size()), 0);
  std::tm now = DeviceTime();
  record[0] = Bcd(now.tm_mon + 1);
  record[1] = Bcd(now.tm_mday);
  record[2] = Bcd(now.tm_hour);
  record[3] = Bcd(now.tm_min);
  record[4] = Bcd(now.tm_sec);
  record[5] = traits.history_type;
  record[6] = static_cast<std::uint8_t>(op);
  for (int i = 0; i < 4; ++i) record[static_cast<std::size_t>(7 + i)] = static_cast<std::uint8_t>(amount >> (24 - 8 * i));
  record[11] = ok ? 0 : 1;
  for (int d = 0; d < kDenominationCount; ++d) {
    int n = counts[kDeviceOrder[d]];
    record[static_cast<std::size_t>(12 + 2 * d)] = static_cast<std::uint8_t>(n >> 8);
    record[static_cast<std::size_t>(13 + 2 * d)] = static_cast<std::uint8_t>(n);
  }
  memory.AppendRecord(record);
  if (op == Operation::kError || op == Operation::kCountCheck || op == Operation::kReset) return;
  // Continuation record without a date: the stock after the operation.
  Bytes detail(static_cast<std::size_t>(memory.history_record_size()), 0);
  detail[0] = 0x41;
  detail[1] = static_cast<std::uint8_t>(op);
  for (int d = 0; d < kDenominationCount; ++d) {
    int n = inventory.stock()[kDeviceOrder[d]];
    detail[static_cast<std::size_t>(2 + 2 * d)] = static_cast<std::uint8_t>(n >> 8);
    detail[static_cast<std::size_t>(3 + 2 * d)] = static_cast<std::uint8_t>(n);
  }
  memory.AppendRecord(detail);
}

void ChangerEngine::State::LogError(std::uint16_t number) {
  LogOperation(Operation::kError, 0, CashCounts{}, false);
  Bytes detail(static_cast<std::size_t>(memory.history_record_size()), 0);
  detail[0] = 0x42;
  detail[1] = static_cast<std::uint8_t>(number >> 8);
  detail[2] = static_cast<std::uint8_t>(number);
  memory.AppendRecord(detail);
}

void ChangerEngine::State::CountPayout(const CashCounts& paid) {
  for (int i = 0; i < kDenominationCount; ++i) {
    memory.AddToCounter(trading::kPayoutPieces + 4 * (9 - i), static_cast<std::uint32_t>(paid[i]));
  }
  if (deposit.open()) memory.AddToCounter(trading::kPayoutsDuringDeposit, 1);
}

void ChangerEngine::State::HandOut(const CashCounts& pieces, bool bills_at_entrance) {
  bool coins = false;
  bool bills = false;
  for (int i = 0; i < kDenominationCount; ++i) {
    if (pieces[i] <= 0) continue;
    at_outlets[i] += pieces[i];
    (IsCoinIndex(i) ? coins : bills) = true;
  }
  if (options.auto_take) return;
  coin_tray |= coins;
  (bills_at_entrance ? bill_entrance : bill_outlet) |= bills;
}

// ============================================================================
// ChangerEngine: public API
// ============================================================================

ChangerEngine::ChangerEngine(const EngineOptions& options, const SimClock* clock) {
  if (clock == nullptr) {
    own_clock_ = std::make_unique<SteadySimClock>();
    clock = own_clock_.get();
  }
  clock_ = clock;
  state_ = std::make_unique<State>(options, *clock_);
}

ChangerEngine::~ChangerEngine() = default;

namespace {

// Calls |body| with the state, whose lock the caller holds. The bodies say
// VEX_REQUIRES(s.mutex) and are checked against it; only this call is left
// out, because clang 14 checks a lambda's requirement against the closure
// object instead of the argument.
template <typename Fn>
decltype(auto) CallLocked(ChangerEngine::State& s, Fn& body) VEX_REQUIRES(s.mutex) VEX_NO_THREAD_SAFETY_ANALYSIS {
  return body(s);
}

// Runs |body| (given the state) under the engine lock after bringing the machine up to the
// present, then tells the listener (outside the lock) that things may have moved.
template <typename Fn>
auto Mutate(ChangerEngine::State& s, Fn&& body) {
  if constexpr (std::is_void_v<decltype(body(s))>) {
    {
      platform::MutexLock lock(s.mutex);
      s.Advance(s.Now());
      CallLocked(s, body);
    }
    s.NotifyListener();
  } else {
    decltype(body(s)) result;
    {
      platform::MutexLock lock(s.mutex);
      s.Advance(s.Now());
      result = CallLocked(s, body);
    }
    s.NotifyListener();
    return result;
  }
}

template <typename Fn>
auto Inspect(ChangerEngine::State& s, Fn&& body) {
  platform::MutexLock lock(s.mutex);
  s.Advance(s.Now());
  return CallLocked(s, body);
}

}  // namespace

void ChangerEngine::Receive(std::span<const std::uint8_t> bytes, const LineSettings& host, LineCheck check) {
  Mutate(*state_, [&](State& s) VEX_REQUIRES(s.mutex) { s.OnBytes(bytes, host, check); });
}

std::vector<std::uint8_t> ChangerEngine::TakeOutput(std::size_t max) {
  return Inspect(*state_, [&](State& s) VEX_REQUIRES(s.mutex) {
    std::vector<std::uint8_t> bytes;
    int64_t now = s.Now();
    while (!s.out.empty() && bytes.size() < max && s.out.front().due_us <= now) {
      bytes.push_back(s.out.front().byte);
      s.out.pop_front();
    }
    return bytes;
  });
}

std::optional<int64_t> ChangerEngine::NextEventUs() {
  return Inspect(*state_, [&](State& s) VEX_REQUIRES(s.mutex) { return s.NextEvent(); });
}

void ChangerEngine::SetOutputListener(std::function<void()> listener) {
  platform::MutexLock lock(state_->listener_mutex);
  state_->listener = std::move(listener);
}

Model ChangerEngine::model() const { return state_->traits.model; }

LineSettings ChangerEngine::CurrentLine() const {
  platform::MutexLock lock(state_->mutex);
  return state_->line;
}

bool ChangerEngine::ModeA() const {
  platform::MutexLock lock(state_->mutex);
  return state_->mode_a;
}

void ChangerEngine::PowerCycle() {
  Mutate(*state_, [&](State& s) VEX_REQUIRES(s.mutex) {
    s.line = s.traits.power_on_line;
    s.mode_a = s.traits.power_on_mode_a;
    s.action.reset();
    s.final_answer.reset();
    s.out.clear();
    s.decoder.Reset();
    s.download_active = false;
    s.memory.AddToCounter(trading::kPowerOnCount, 1);
  });
}

ActionDurations ChangerEngine::Durations() const {
  platform::MutexLock lock(state_->mutex);
  return state_->options.durations;
}

void ChangerEngine::SetDurations(const ActionDurations& durations) {
  Mutate(*state_, [&](State& s) VEX_REQUIRES(s.mutex) { s.options.durations = durations; });
}

void ChangerEngine::SetWireTiming(bool on) {
  Mutate(*state_, [&](State& s) VEX_REQUIRES(s.mutex) { s.options.wire_timing = on; });
}

void ChangerEngine::SetAutoTake(bool on) {
  Mutate(*state_, [&](State& s) VEX_REQUIRES(s.mutex) { s.options.auto_take = on; });
}

void ChangerEngine::SetAutoAnswer(bool on) {
  Mutate(*state_, [&](State& s) VEX_REQUIRES(s.mutex) { s.options.auto_answer = on; });
}

void ChangerEngine::SetBinaryLength(bool on) {
  Mutate(*state_, [&](State& s) VEX_REQUIRES(s.mutex) { s.options.binary_length = on; });
}

std::vector<std::uint8_t> ChangerEngine::StatusRecord() const {
  return Inspect(*state_, [&](State& s) VEX_REQUIRES(s.mutex) { return s.Status(); });
}

CashCounts ChangerEngine::Stock() const {
  return Inspect(*state_, [&](State& s) VEX_REQUIRES(s.mutex) { return s.inventory.stock(); });
}

CashCounts ChangerEngine::Box() const {
  return Inspect(*state_, [&](State& s) VEX_REQUIRES(s.mutex) { return s.inventory.box(); });
}

void ChangerEngine::SetStock(const CashCounts& counts) {
  Mutate(*state_, [&](State& s) VEX_REQUIRES(s.mutex) { s.inventory.SetStock(counts); });
}

void ChangerEngine::SetBox(const CashCounts& counts) {
  Mutate(*state_, [&](State& s) VEX_REQUIRES(s.mutex) { s.inventory.SetBox(counts); });
}

Thresholds ChangerEngine::GetThresholds(int index) const {
  platform::MutexLock lock(state_->mutex);
  return index >= 0 && index < kDenominationCount ? state_->inventory.thresholds(index) : Thresholds{};
}

void ChangerEngine::SetThresholds(int index, const Thresholds& thresholds) {
  Mutate(*state_, [&](State& s) VEX_REQUIRES(s.mutex) { s.inventory.SetThresholds(index, thresholds); });
}

void ChangerEngine::SetBillBoxLimits(int near_full, int full) {
  Mutate(*state_, [&](State& s) VEX_REQUIRES(s.mutex) { s.inventory.SetBillBoxLimits(near_full, full); });
}

void ChangerEngine::SetDiscrepancy(int bits) {
  Mutate(*state_, [&](State& s) VEX_REQUIRES(s.mutex) { s.discrepancy = bits & 0x07; });
}

InsertResult ChangerEngine::InsertCash(const CashCounts& pieces, int coin_rejects, int bill_rejects) {
  return Mutate(*state_, [&](State& s) VEX_REQUIRES(s.mutex) {
    InsertResult result;
    if (s.jammed) {
      result.status = InsertResult::Status::kJammed;
      return result;
    }
    result.status = s.deposit.Insert(pieces, coin_rejects, bill_rejects, s.Now(),
                                      static_cast<int64_t>(s.options.durations.counting_ms) * 1000);
    if (result.status == InsertResult::Status::kCounting) {
      s.memory.AddToCounter(trading::kDepositRejects, static_cast<std::uint32_t>(std::max(0, coin_rejects) +
                                                                                std::max(0, bill_rejects)));
      if (!s.options.auto_take) {
        s.coin_tray |= coin_rejects > 0;
        s.bill_entrance |= bill_rejects > 0;
      }
      // Counting may end at once with a zero counting time.
      s.Advance(s.Now());
    }
    return result;
  });
}

DepositView ChangerEngine::Deposit() const {
  return Inspect(*state_, [&](State& s) VEX_REQUIRES(s.mutex) { return s.deposit.View(); });
}

void ChangerEngine::HoldBillIntake() {
  Mutate(*state_, [&](State& s) VEX_REQUIRES(s.mutex) {
    if (!s.deposit.open() || s.deposit.held()) return;
    s.deposit.Hold();
    // The machine calls for attention with an unsolicited DC1.
    s.Emit(Answer::Byte(kDc1), kUnsolicited, s.Now());
  });
}

void ChangerEngine::TakeCash() {
  Mutate(*state_, [&](State& s) VEX_REQUIRES(s.mutex) {
    s.at_outlets = {};
    s.coin_tray = false;
    s.bill_outlet = false;
    s.bill_entrance = false;
  });
}

CashCounts ChangerEngine::AtOutlets() const {
  return Inspect(*state_, [&](State& s) VEX_REQUIRES(s.mutex) { return s.at_outlets; });
}

void ChangerEngine::SetJam(bool on, std::uint16_t error_number, bool clears_on_reset) {
  Mutate(*state_, [&](State& s) VEX_REQUIRES(s.mutex) {
    bool was = s.jammed;
    s.jammed = on;
    s.error_number = on ? error_number : 0;
    s.jam_clears_on_reset = clears_on_reset;
    if (on && !was) {
      s.LogError(error_number);
      // A jam stops whatever the machine was doing; it answers BEL at the end.
      if (s.action) s.FinishAction(Ending::kJammed);
    }
  });
}

bool ChangerEngine::Jammed() const {
  platform::MutexLock lock(state_->mutex);
  return state_->jammed;
}

void ChangerEngine::SetCassetteRemoved(bool removed) {
  Mutate(*state_, [&](State& s) VEX_REQUIRES(s.mutex) {
    if (s.cassette_removed && !removed) {
      // Back in place: whoever pulled it took the bills out.
      CashCounts box = s.inventory.box();
      for (int i = 6; i < kDenominationCount; ++i) box[i] = 0;
      s.inventory.SetBox(box);
    }
    s.cassette_removed = removed;
  });
}

void ChangerEngine::SetUnplugged(bool unplugged) {
  Mutate(*state_, [&](State& s) VEX_REQUIRES(s.mutex) {
    s.unplugged = unplugged;
    if (unplugged) {
      // The lost answers no longer hold the line: the first answer after
      // the plug is back goes out at once.
      s.out.clear();
      s.last_due_us = 0;
      s.final_answer.reset();
      s.decoder.Reset();
    }
  });
}

bool ChangerEngine::Unplugged() const {
  platform::MutexLock lock(state_->mutex);
  return state_->unplugged;
}

void ChangerEngine::InjectFault(const Fault& fault) {
  Mutate(*state_, [&](State& s) VEX_REQUIRES(s.mutex) {
    if (fault.times > 0) s.faults.push_back(fault);
  });
}

void ChangerEngine::ClearFaults() {
  Mutate(*state_, [&](State& s) VEX_REQUIRES(s.mutex) { s.faults.clear(); });
}

void ChangerEngine::JamNextPayoutAfter(int pieces, std::uint16_t error_number) {
  Mutate(*state_, [&](State& s) VEX_REQUIRES(s.mutex) {
    s.jam_payout_after = pieces;
    s.error_number = s.jammed ? s.error_number : error_number;
  });
}

void ChangerEngine::SetCoinUnitWarning(int p, int q) {
  Mutate(*state_, [&](State& s) VEX_REQUIRES(s.mutex) {
    s.coin_warning_p = p & 0x0F;
    s.coin_warning_q = q & 0x0F;
  });
}

void ChangerEngine::OverrideStatusByte(int position, std::uint8_t value) {
  Mutate(*state_, [&](State& s) VEX_REQUIRES(s.mutex) { s.overrides[position] = value; });
}

void ChangerEngine::ClearStatusOverrides() {
  Mutate(*state_, [&](State& s) VEX_REQUIRES(s.mutex) { s.overrides.clear(); });
}

std::vector<std::uint8_t> ChangerEngine::ReadMemory(std::uint32_t address, std::size_t length) const {
  return Inspect(*state_, [&](State& s) VEX_REQUIRES(s.mutex) { return s.memory.Read(address, length, s.inventory); });
}

std::uint32_t ChangerEngine::TradingCounter(int offset) const {
  return Inspect(*state_, [&](State& s) VEX_REQUIRES(s.mutex) { return s.memory.Counter(offset); });
}

void ChangerEngine::SetTradingCounter(int offset, std::uint32_t value) {
  Mutate(*state_, [&](State& s) VEX_REQUIRES(s.mutex) { s.memory.SetCounter(offset, value); });
}

HistoryPointer ChangerEngine::GetHistoryPointer() const {
  return Inspect(*state_, [&](State& s) VEX_REQUIRES(s.mutex) { return s.memory.history_pointer(); });
}

void ChangerEngine::SetHistoryPointer(const HistoryPointer& pointer) {
  Mutate(*state_, [&](State& s) VEX_REQUIRES(s.mutex) { s.memory.SetHistoryPointer(pointer); });
}

int ChangerEngine::HistoryCapacity() const {
  platform::MutexLock lock(state_->mutex);
  return state_->memory.history_capacity();
}

int ChangerEngine::HistoryRecordSize() const {
  platform::MutexLock lock(state_->mutex);
  return state_->memory.history_record_size();
}

std::vector<std::uint8_t> ChangerEngine::HistoryRecord(int index) const {
  return Inspect(*state_, [&](State& s) VEX_REQUIRES(s.mutex) { return s.memory.Record(index); });
}

void ChangerEngine::SetHistoryRecord(int index, std::span<const std::uint8_t> bytes) {
  Mutate(*state_, [&](State& s) VEX_REQUIRES(s.mutex) { s.memory.SetRecord(index, bytes); });
}

void ChangerEngine::AppendHistoryRecord(std::span<const std::uint8_t> bytes) {
  Mutate(*state_, [&](State& s) VEX_REQUIRES(s.mutex) { s.memory.AppendRecord(bytes); });
}

std::array<int, 5> ChangerEngine::SettingsPage(int page) const {
  platform::MutexLock lock(state_->mutex);
  return page >= 0 && page < 16 ? state_->pages[static_cast<std::size_t>(page)] : std::array<int, 5>{};
}

std::string ChangerEngine::ProgramVersion() const {
  platform::MutexLock lock(state_->mutex);
  return state_->program_version;
}

void ChangerEngine::SetProgramVersion(const std::string& five_characters) {
  Mutate(*state_, [&](State& s) VEX_REQUIRES(s.mutex) {
    s.program_version = five_characters;
    s.program_version.resize(5, '0');
  });
}

DownloadRecord ChangerEngine::LastDownload() const {
  platform::MutexLock lock(state_->mutex);
  auto found = state_->downloads.find(state_->download_kind);
  return found != state_->downloads.end() ? found->second : DownloadRecord{};
}

DownloadRecord ChangerEngine::Download(int kind) const {
  platform::MutexLock lock(state_->mutex);
  auto found = state_->downloads.find(kind);
  return found != state_->downloads.end() ? found->second : DownloadRecord{};
}

std::string ChangerEngine::DeviceClockText() const {
  platform::MutexLock lock(state_->mutex);
  return state_->clock_text;
}

std::vector<ReceivedFrame> ChangerEngine::ReceivedFrames() const {
  platform::MutexLock lock(state_->mutex);
  return {state_->frames.begin(), state_->frames.end()};
}

std::vector<std::vector<std::uint8_t>> ChangerEngine::CommandBodies() const {
  platform::MutexLock lock(state_->mutex);
  std::vector<std::vector<std::uint8_t>> bodies;
  for (const ReceivedFrame& frame : state_->frames) {
    if (frame.kind == ReceivedFrame::Kind::kCommand) bodies.push_back(frame.body);
  }
  return bodies;
}

void ChangerEngine::ClearReceivedFrames() {
  platform::MutexLock lock(state_->mutex);
  state_->frames.clear();
  state_->frames_since_clear = 0;
}

std::size_t ChangerEngine::FramesReceived() const {
  platform::MutexLock lock(state_->mutex);
  return state_->frames_since_clear;
}

bool ChangerEngine::WaitForFrames(std::size_t count, std::chrono::milliseconds timeout) const {
  State& s = *state_;
  platform::MutexLock lock(s.mutex);
  return s.frames_cv.wait_for(lock.native(), timeout,
                              [&]() VEX_REQUIRES(s.mutex) { return s.frames_since_clear >= count; });
}

}  // namespace vexokrt::sim
