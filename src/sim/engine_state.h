// Inside of ChangerEngine, shared by the engine core (changer_engine.cc) and
// the command handlers (command_handlers.cc). Not part of the public API.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "sim/changer_engine.h"
#include "sim/deposit.h"
#include "sim/fields.h"
#include "sim/frame_codec.h"
#include "sim/inventory.h"
#include "sim/memory_image.h"

namespace vexokrt::sim {

// What an answer answers, for aiming faults: a command letter, kEnquiryTarget
// for ENQ, 0 for a refused frame, or this for bytes the machine sends unasked.
inline constexpr char kUnsolicited = 0x01;

// One answer: a control byte or a data frame.
struct Answer {
  bool is_data = false;
  std::uint8_t control = 0;
  Bytes data;

  static Answer Byte(std::uint8_t control) { return Answer{false, control, {}}; }
  static Answer Data(Bytes data) { return Answer{true, 0, std::move(data)}; }
};

// How a long action came to its end.
enum class Ending { kCompleted, kStopped, kJammed };

// A long action: the device works for a while, answering ENQ with
// |busy_byte| (or not at all), then gives its final answer to the first ENQ
// after it has ended.
struct Action {
  char command = 0;             // letter of the command that started it (for faults)
  int64_t start_us = 0;
  int64_t end_us = 0;
  std::optional<std::uint8_t> busy_byte = kSub;  // nothing: ENQ goes unanswered while it runs
  bool stoppable = false;       // "V00" can end it (status byte 1 shows ';')
  bool coin_side = false;       // status byte 7 bit 2 while it runs
  bool bill_side = false;       // status byte 8 bit 2 while it runs
  // The device said nothing when the command came. Only with the auto-answer
  // setting, and only when the host stays quiet until the end, does the final
  // answer go out by itself; otherwise it waits for an ENQ.
  bool silent_start = true;
  bool host_spoke = false;
  // Applies the action's effects and gives the final answer (nothing: the
  // action's answer was given at its start and ENQ is simply acknowledged).
  std::function<std::optional<Answer>(Ending ending, double done_fraction)> finish;
};

// What a command handler did with a command.
struct Outcome {
  std::optional<Answer> answer;  // to be sent now; empty when an action was started or nothing is answered
  static Outcome Reply(Answer a) { return Outcome{std::move(a)}; }
  static Outcome Started() { return Outcome{}; }
};

struct ChangerEngine::State {
  State(const EngineOptions& options, const SimClock& clock);

  // ---- engine core (changer_engine.cc) ----
  int64_t Now() const { return clock.NowUs(); }
  void Advance(int64_t now_us);
  void OnBytes(std::span<const std::uint8_t> bytes, const LineSettings& host, LineCheck check);
  void OnEvent(HostFrameDecoder::Event& event, const LineSettings& host);
  void OnEnquiry();
  void OnCommand(const Bytes& body);
  void Emit(const Answer& answer, char command, int64_t at_us);
  void StartAction(Action action, int duration_ms);
  void FinishAction(Ending ending);
  std::optional<Fault> TakeFault(char command, bool (*wanted)(FaultKind), bool data_answer);
  Bytes Status() const;
  std::optional<int64_t> NextEvent() const;
  void Record(ReceivedFrame frame);
  bool Blocked() const { return jammed || cassette_removed; }
  bool ActionRunning() const { return action.has_value(); }

  // Operation history and trading counters for what the machine just did.
  enum class Operation : std::uint8_t {
    kDeposit = 1,
    kRepay = 2,
    kChange = 3,
    kPayout = 4,
    kTakeBack = 5,
    kCountCheck = 6,
    kReset = 7,
    kError = 8,
  };
  void LogOperation(Operation op, long amount, const CashCounts& counts, bool ok);
  void LogError(std::uint16_t number);
  void CountPayout(const CashCounts& paid);
  // Cash leaves the machine to the customer: coins to the tray, bills to the
  // outlet (or back to the entrance, for bills refused while depositing).
  void HandOut(const CashCounts& pieces, bool bills_at_entrance);
  std::tm DeviceTime() const;

  // ---- command handlers (command_handlers.cc) ----
  Outcome Dispatch(const Bytes& body);
  Outcome StartPayout(char command, const CashCounts& pieces, long change_amount);

  // ---- configuration ----
  EngineOptions options;
  const ModelTraits& traits;
  const SimClock& clock;

  mutable std::mutex mutex;
  mutable std::condition_variable frames_cv;
  // The listener has its own lock, taken without |mutex|: a listener call is
  // never in flight once SetOutputListener has returned.
  std::mutex listener_mutex;
  std::function<void()> listener;  // guarded by listener_mutex
  void NotifyListener() {
    std::lock_guard lock(listener_mutex);
    if (listener) listener();
  }

  // ---- line ----
  ChangerEngine::LineObserver line_observer;  // guarded by |mutex|
  LineSettings line;
  bool mode_a;
  HostFrameDecoder decoder;
  int64_t last_rx_us = 0;
  std::deque<ReceivedFrame> frames;
  std::size_t frames_since_clear = 0;

  // ---- output ----
  struct OutByte {
    std::uint8_t byte;
    int64_t due_us;
  };
  std::deque<OutByte> out;
  int64_t last_due_us = 0;

  // ---- long actions ----
  std::optional<Action> action;
  struct PendingFinal {
    Answer answer;
    char command;
  };
  std::optional<PendingFinal> final_answer;

  // ---- the machine ----
  Inventory inventory;
  DepositSession deposit;
  MemoryImage memory;
  bool jammed = false;
  std::uint16_t error_number = 0;
  bool jam_clears_on_reset = true;
  bool cassette_removed = false;
  bool unplugged = false;
  std::deque<Fault> faults;
  int discrepancy = 0;
  int coin_warning_p = 0;
  int coin_warning_q = 0;
  std::map<int, std::uint8_t> overrides;
  int operation_mode = 0;
  std::array<std::uint8_t, 2> exit_flags{'0', '0'};
  std::array<std::array<int, 5>, 16> pages{};
  std::string program_version = "01C05";
  std::string clock_text;
  int64_t clock_set_us = 0;
  int64_t naive_epoch_at_start = 0;  // local wall time (as if UTC) when the engine started
  int64_t start_us = 0;
  bool payout_refused = false;
  // The next pay-out jams once this many pieces are out (-1: it does not).
  int jam_payout_after = -1;
  bool coin_tray = false;
  bool bill_outlet = false;
  bool bill_entrance = false;
  CashCounts at_outlets{};
  CashCounts last_change{};
  CashCounts last_payout{};
  CashCounts returned{};
  CashCounts last_deposit{};
  CashCounts lifetime_deposited{};
  CashCounts lifetime_collected{};
  CashCounts reference_counts{};
  long sale_amount = 0;
  std::string access_code;
  int64_t coin_unit_busy_until = 0;
  bool download_active = false;
  int expected_serial = 0;
  // The download of each kind (1-4), the one under way included; |download_kind|
  // names the last one started (0: none yet).
  std::map<int, DownloadRecord> downloads;
  int download_kind = 0;
};

}  // namespace vexokrt::sim
