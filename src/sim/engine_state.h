// SPDX-License-Identifier: Apache-2.0
// Inside of ChangerEngine, shared by the engine core (changer_engine.cc) and
// the command handlers (command_handlers.cc). Not part of the public API.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "platform/thread_annotations.h"
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
  // Called with the engine lock held.
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
  void Advance(int64_t now_us) VEX_REQUIRES(mutex);
  void OnBytes(std::span<const std::uint8_t> bytes, const LineSettings& host, LineCheck check) VEX_REQUIRES(mutex);
  void OnEvent(HostFrameDecoder::Event& event, const LineSettings& host) VEX_REQUIRES(mutex);
  void OnEnquiry() VEX_REQUIRES(mutex);
  void OnCommand(const Bytes& body) VEX_REQUIRES(mutex);
  void Emit(const Answer& answer, char command, int64_t at_us) VEX_REQUIRES(mutex);
  void StartAction(Action action, int duration_ms) VEX_REQUIRES(mutex);
  void FinishAction(Ending ending) VEX_REQUIRES(mutex);
  std::optional<Fault> TakeFault(char command, bool (*wanted)(FaultKind), bool data_answer) VEX_REQUIRES(mutex);
  Bytes Status() const VEX_REQUIRES(mutex);
  std::optional<int64_t> NextEvent() const VEX_REQUIRES(mutex);
  void Record(ReceivedFrame frame) VEX_REQUIRES(mutex);
  bool Blocked() const VEX_REQUIRES(mutex) { return jammed || cassette_removed; }
  bool ActionRunning() const VEX_REQUIRES(mutex) { return action.has_value(); }

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
  void LogOperation(Operation op, long amount, const CashCounts& counts, bool ok) VEX_REQUIRES(mutex);
  void LogError(std::uint16_t number) VEX_REQUIRES(mutex);
  void CountPayout(const CashCounts& paid) VEX_REQUIRES(mutex);
  // Cash leaves the machine to the customer: coins to the tray, bills to the
  // outlet (or back to the entrance, for bills refused while depositing).
  void HandOut(const CashCounts& pieces, bool bills_at_entrance) VEX_REQUIRES(mutex);
  std::tm DeviceTime() const VEX_REQUIRES(mutex);

  // ---- command handlers (command_handlers.cc) ----
  Outcome Dispatch(const Bytes& body) VEX_REQUIRES(mutex);
  Outcome StartPayout(char command, const CashCounts& pieces, long change_amount) VEX_REQUIRES(mutex);

  // ---- configuration ----
  EngineOptions options VEX_GUARDED_BY(mutex);
  const ModelTraits& traits;
  const SimClock& clock;

  mutable platform::Mutex mutex;
  mutable std::condition_variable frames_cv;
  // The listener has its own lock, taken without |mutex|: a listener call is
  // never in flight once SetOutputListener has returned.
  platform::Mutex listener_mutex;
  std::function<void()> listener VEX_GUARDED_BY(listener_mutex);
  void NotifyListener() VEX_EXCLUDES(listener_mutex) {
    platform::MutexLock lock(listener_mutex);
    if (listener) listener();
  }

  // ---- line ----
  ChangerEngine::LineObserver line_observer VEX_GUARDED_BY(mutex);
  LineSettings line VEX_GUARDED_BY(mutex);
  bool mode_a VEX_GUARDED_BY(mutex);
  HostFrameDecoder decoder VEX_GUARDED_BY(mutex);
  int64_t last_rx_us VEX_GUARDED_BY(mutex) = 0;
  std::deque<ReceivedFrame> frames VEX_GUARDED_BY(mutex);
  std::size_t frames_since_clear VEX_GUARDED_BY(mutex) = 0;

  // ---- output ----
  struct OutByte {
    std::uint8_t byte;
    int64_t due_us;
  };
  std::deque<OutByte> out VEX_GUARDED_BY(mutex);
  int64_t last_due_us VEX_GUARDED_BY(mutex) = 0;

  // ---- long actions ----
  std::optional<Action> action VEX_GUARDED_BY(mutex);
  struct PendingFinal {
    Answer answer;
    char command;
  };
  std::optional<PendingFinal> final_answer VEX_GUARDED_BY(mutex);

  // ---- the machine ----
  Inventory inventory VEX_GUARDED_BY(mutex);
  DepositSession deposit VEX_GUARDED_BY(mutex);
  MemoryImage memory VEX_GUARDED_BY(mutex);
  bool jammed VEX_GUARDED_BY(mutex) = false;
  std::uint16_t error_number VEX_GUARDED_BY(mutex) = 0;
  bool jam_clears_on_reset VEX_GUARDED_BY(mutex) = true;
  bool cassette_removed VEX_GUARDED_BY(mutex) = false;
  bool unplugged VEX_GUARDED_BY(mutex) = false;
  std::deque<Fault> faults VEX_GUARDED_BY(mutex);
  int discrepancy VEX_GUARDED_BY(mutex) = 0;
  int coin_warning_p VEX_GUARDED_BY(mutex) = 0;
  int coin_warning_q VEX_GUARDED_BY(mutex) = 0;
  std::map<int, std::uint8_t> overrides VEX_GUARDED_BY(mutex);
  int operation_mode VEX_GUARDED_BY(mutex) = 0;
  std::array<std::uint8_t, 2> exit_flags VEX_GUARDED_BY(mutex){'0', '0'};
  std::array<std::array<int, 5>, 16> pages VEX_GUARDED_BY(mutex){};
  std::string program_version VEX_GUARDED_BY(mutex) = "01C05";
  std::string clock_text VEX_GUARDED_BY(mutex);
  int64_t clock_set_us VEX_GUARDED_BY(mutex) = 0;
  int64_t naive_epoch_at_start VEX_GUARDED_BY(mutex) = 0;  // local wall time (as if UTC) when the engine started
  int64_t start_us VEX_GUARDED_BY(mutex) = 0;
  bool payout_refused VEX_GUARDED_BY(mutex) = false;
  // The next pay-out jams once this many pieces are out (-1: it does not).
  int jam_payout_after VEX_GUARDED_BY(mutex) = -1;
  bool coin_tray VEX_GUARDED_BY(mutex) = false;
  bool bill_outlet VEX_GUARDED_BY(mutex) = false;
  bool bill_entrance VEX_GUARDED_BY(mutex) = false;
  CashCounts at_outlets VEX_GUARDED_BY(mutex){};
  CashCounts last_change VEX_GUARDED_BY(mutex){};
  CashCounts last_payout VEX_GUARDED_BY(mutex){};
  CashCounts returned VEX_GUARDED_BY(mutex){};
  CashCounts last_deposit VEX_GUARDED_BY(mutex){};
  CashCounts lifetime_deposited VEX_GUARDED_BY(mutex){};
  CashCounts lifetime_collected VEX_GUARDED_BY(mutex){};
  CashCounts reference_counts VEX_GUARDED_BY(mutex){};
  long sale_amount VEX_GUARDED_BY(mutex) = 0;
  std::string access_code VEX_GUARDED_BY(mutex);
  int64_t coin_unit_busy_until VEX_GUARDED_BY(mutex) = 0;
  bool download_active VEX_GUARDED_BY(mutex) = false;
  int expected_serial VEX_GUARDED_BY(mutex) = 0;
  // The download of each kind (1-4), the one under way included; |download_kind|
  // names the last one started (0: none yet).
  std::map<int, DownloadRecord> downloads VEX_GUARDED_BY(mutex);
  int download_kind VEX_GUARDED_BY(mutex) = 0;
};

}  // namespace vexokrt::sim
