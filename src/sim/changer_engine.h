// SPDX-License-Identifier: Apache-2.0
// ChangerEngine: the simulated cash changer itself, independent of any
// transport. A transport hands it the bytes the host wrote together with the
// host's line settings (Receive) and collects the device's answer bytes when
// they are due (TakeOutput / NextEventUs). Everything else here is the control
// side: what a test or a person does to the machine (insert cash, take cash,
// jam it, pull its cassette, unplug it, make its next answer go wrong) and
// read-outs of its state.
//
// The device only understands bytes that arrive on its own current line
// settings; anything else is noise and gets no answer. Time comes from the
// SimClock given at construction, so long actions (answered with SUB while they
// run), counting phases, delayed answers and wire pacing can be tested with a
// ManualSimClock and no real waiting.
//
// Thread-safety: every public method may be called from any thread; one
// internal mutex serialises them. The output listener is called without that
// mutex held.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/cash.h"
#include "sim/deposit.h"
#include "sim/faults.h"
#include "sim/inventory.h"
#include "sim/line_settings.h"
#include "sim/memory_image.h"
#include "sim/model.h"
#include "sim/sim_clock.h"

namespace vexokrt::sim {

// How long the machine is busy with each long action. While busy it answers
// ENQ with SUB (DC4 for the deposit end and the intake stop) and answers
// status and count reads normally; the final answer goes to the first ENQ
// after the end.
struct ActionDurations {
  int dispense_ms = 1500;       // "$14", "n21", "!05", "!06", "m06", paying modes of "p22"
  int take_back_ms = 2000;      // "-1>", "-1?", collecting modes of "p22"
  int count_check_ms = 3000;    // "e00", "f01"
  int end_deposit_ms = 800;     // "I02"
  int stop_intake_ms = 500;     // "=02" / ">02" with "00"
  int reset_ms = 1500;          // "000"
  int counting_ms = 400;        // counting one batch of inserted cash
  int coin_check_ms = 1000;     // "\00" (the coin unit works in the background)
  int download_erase_ms = 300;  // after the start frame of a program download
  int download_write_ms = 500;  // after the end frame of a program download (ENQ unanswered meanwhile)
};

struct EngineOptions {
  Model model = Model::kKrt07;
  // Pace answers at the line speed, 11 bits a byte (start, 7 or 8 data bits,
  // parity, stop, rounded up). Off: answers are due at once.
  bool wire_timing = false;
  // Think time before every answer.
  int answer_latency_ms = 0;
  ActionDurations durations;
  // Customers take paid-out and rejected cash from the outlets at once. Off:
  // it stays there (status bytes 7 and 8) until TakeCash().
  bool auto_take = true;
  // A long action that got no first answer sends its final answer by itself
  // when it ends, if the host has not spoken meanwhile. A convenience for
  // people typing at the simulator; a host must poll with ENQ, so off (the
  // final answer only ever answers an ENQ) is how the device behaves.
  bool auto_answer = false;
  // Data answers carry their length in the binary form: first length byte
  // 0x00, the second the length itself. Off: two characters '0'+nibble.
  bool binary_length = false;
  // The received frames kept for ReceivedFrames(), CommandBodies() and
  // "show frames", oldest dropped first: as many as the control panel shows,
  // so a simulator that serves a polling host for days keeps the same
  // memory. A test that looks at a longer exchange says so with a larger one.
  std::size_t max_recorded_frames = kDefaultRecordedFrames;
  static constexpr std::size_t kDefaultRecordedFrames = 500;
};

// One thing the device received, in arrival order.
struct ReceivedFrame {
  enum class Kind {
    kCommand,       // a well-formed host frame; |body| holds the command bytes
    kEnquiry,       // a lone ENQ
    kBadFrame,      // a frame with a wrong BCC, a length that does not match, or too long
    kNoise,         // bytes outside any frame on the right line settings
    kLineMismatch,  // bytes sent on other line settings than the device's
  };
  Kind kind = Kind::kNoise;
  std::vector<std::uint8_t> raw;   // the bytes exactly as received
  std::vector<std::uint8_t> body;  // kCommand: the bytes between STX and ETX
  LineSettings host_line;          // the host's settings as the transport saw them
  int64_t time_us = 0;
  std::string detail;              // kBadFrame: why it was refused
};

// One thing that crossed the line, for watchers of the traffic (the control
// panel): a frame the device received, or an answer it queued for sending.
struct LineRecord {
  enum class Direction { kReceived, kSent };
  Direction direction = Direction::kReceived;
  ReceivedFrame::Kind kind = ReceivedFrame::Kind::kNoise;  // kReceived only
  std::vector<std::uint8_t> bytes;  // received: as they arrived; sent: as they go out
  // kSent: the command letter the answer is for, 0x05 for ENQ, 0x01 for bytes
  // the machine sends unasked, 0 for a refused frame.
  char answers = 0;
  int64_t time_us = 0;  // received: arrival; sent: when its last byte is due
  std::string detail;   // why a frame was refused or ignored, or that a fault dropped the answer
};

// The whole machine at one instant, for display.
struct EngineSnapshot {
  Model model = Model::kKrt07;
  LineSettings line;
  bool mode_a = true;
  bool unplugged = false;
  bool jammed = false;
  std::uint16_t error_number = 0;
  bool cassette_removed = false;
  bool auto_take = true;
  bool wire_timing = false;
  char action = 0;  // letter of the command whose long action is running; 0: none
  std::vector<std::uint8_t> status;  // the status record the device would answer now
  CashCounts stock{};
  CashCounts box{};
  std::array<Thresholds, kDenominationCount> thresholds{};
  int bill_box_near_full = 0;
  int bill_box_full = 0;
  DepositView deposit;
  CashCounts at_outlets{};
  bool coin_tray = false;     // paid-out or rejected coins wait in the tray
  bool bill_outlet = false;   // paid-out bills wait in the outlet
  bool bill_entrance = false; // refused bills wait at the entrance
  std::size_t pending_faults = 0;
  int64_t time_us = 0;  // SimClock::NowUs when taken
  std::optional<int64_t> next_event_us;  // as NextEventUs
};

// A program download as the device saw it.
struct DownloadRecord {
  int kind = 0;                     // 1 coin, 2 bill, 3 unit program, 4 definition file
  std::vector<std::uint8_t> bytes;  // the start block and every accepted data block
  int blocks = 0;                   // data frames accepted
  bool finished = false;            // the end frame arrived
};

class ChangerEngine {
 public:
  // |clock| must outlive the engine; nullptr uses the machine's clock.
  explicit ChangerEngine(const EngineOptions& options, const SimClock* clock = nullptr);
  ~ChangerEngine();
  ChangerEngine(const ChangerEngine&) = delete;
  ChangerEngine& operator=(const ChangerEngine&) = delete;

  // ---- transport side -----------------------------------------------------

  // Bytes the host wrote, with the host's line settings as far as the
  // transport can tell (|check|). Answers become available through TakeOutput.
  void Receive(std::span<const std::uint8_t> bytes, const LineSettings& host, LineCheck check);

  // Answer bytes whose time has come, at most |max| of them.
  std::vector<std::uint8_t> TakeOutput(std::size_t max = SIZE_MAX);

  // The clock time (SimClock::NowUs) at which the device will next do
  // something by itself: an answer byte becoming due, an action or counting
  // phase ending. Nothing when the machine is idle.
  std::optional<int64_t> NextEventUs();

  // Called (without the engine's lock) whenever something new is scheduled
  // that may change NextEventUs or make output due. One listener. Once this
  // returns, no call of the previous listener is still running, so clearing it
  // (empty function) before the listener's owner dies is enough. The listener
  // must not call back into the engine.
  void SetOutputListener(std::function<void()> listener);

  const SimClock& clock() const { return *clock_; }

  // ---- the machine --------------------------------------------------------

  Model model() const;
  LineSettings CurrentLine() const;
  bool ModeA() const;
  // Back to the power-on line settings and communication mode; a running
  // action ends, undelivered answers are lost. Cash, counters and memory stay.
  void PowerCycle();
  ActionDurations Durations() const;
  void SetDurations(const ActionDurations& durations);
  void SetWireTiming(bool on);
  void SetAutoTake(bool on);
  void SetAutoAnswer(bool on);
  void SetBinaryLength(bool on);

  // The status record the device would answer now (44, 53 or 51 bytes).
  std::vector<std::uint8_t> StatusRecord() const;

  // ---- cash ---------------------------------------------------------------

  CashCounts Stock() const;
  CashCounts Box() const;
  void SetStock(const CashCounts& counts);
  void SetBox(const CashCounts& counts);
  Thresholds GetThresholds(int denomination_index) const;
  void SetThresholds(int denomination_index, const Thresholds& thresholds);
  void SetBillBoxLimits(int near_full, int full);
  // Bits 0-1 and bit 2 of byte 42 of the counts answer; cleared by a count check.
  void SetDiscrepancy(int bits);

  // A customer puts cash into the open intake; rejected pieces (not
  // recognised) come straight back out and are counted as rejects.
  InsertResult InsertCash(const CashCounts& pieces, int coin_rejects = 0, int bill_rejects = 0);
  DepositView Deposit() const;
  // The bill unit stops taking bills until "P00" and says so with a DC1.
  void HoldBillIntake();
  // A customer takes everything from the coin tray and the bill outlet.
  void TakeCash();
  // Pieces paid out (or handed back) since the last TakeCash, still at the outlets.
  CashCounts AtOutlets() const;

  // ---- faults -------------------------------------------------------------

  // Jam: byte 1 of the status becomes '1' with |error_number| in bytes 3-6;
  // actions are refused with BEL, a running action ends with BEL. Cleared by
  // SetJam(false) or, when |clears_on_reset|, by the reset command "000".
  void SetJam(bool on, std::uint16_t error_number = 0x0521, bool clears_on_reset = true);
  bool Jammed() const;
  // The collection cassette is out (status byte 43 bit 3): actions refused
  // with BEL. Putting it back empties its bills (the operator took them).
  void SetCassetteRemoved(bool removed);
  // Unplugged: everything received is ignored and nothing is answered;
  // undelivered answers are lost.
  void SetUnplugged(bool unplugged);
  bool Unplugged() const;
  void InjectFault(const Fault& fault);
  // The next pay-out stops with a jam (error |error_number|) once |pieces|
  // pieces are out, largest denominations first; it answers BEL then.
  void JamNextPayoutAfter(int pieces, std::uint16_t error_number = 0x0521);
  void ClearFaults();
  // The two warning characters of the coin unit in the "[00" answer ('0'+p, '0'+q).
  void SetCoinUnitWarning(int p, int q);
  // Forces one byte of the status record (position 0 .. length-1) to |value|
  // until ClearStatusOverrides; for states the model does not reach by itself.
  void OverrideStatusByte(int position, std::uint8_t value);
  void ClearStatusOverrides();

  // ---- device memory ------------------------------------------------------

  // |length| bytes of device memory from |address|, as the memory-read
  // commands see it.
  std::vector<std::uint8_t> ReadMemory(std::uint32_t address, std::size_t length) const;
  // The 32-bit big-endian counter at |offset| (multiple of 4, below 512) of the trading block.
  std::uint32_t TradingCounter(int offset) const;
  void SetTradingCounter(int offset, std::uint32_t value);
  HistoryPointer GetHistoryPointer() const;
  void SetHistoryPointer(const HistoryPointer& pointer);
  int HistoryCapacity() const;    // 1705 or 6000 records
  int HistoryRecordSize() const;  // 68 or 84 bytes
  std::vector<std::uint8_t> HistoryRecord(int index) const;
  // Replaces record |index| (0-based ring position); |bytes| is cut or zero-padded to the record size.
  void SetHistoryRecord(int index, std::span<const std::uint8_t> bytes);
  // Writes |bytes| as the next record, advancing pointer and overwrite count as the device does.
  void AppendHistoryRecord(std::span<const std::uint8_t> bytes);

  // ---- other read-outs -----------------------------------------------------

  std::array<int, 5> SettingsPage(int page) const;
  std::string ProgramVersion() const;
  void SetProgramVersion(const std::string& five_characters);
  // The download started last, and the last one of |kind| (1-4); an empty
  // record (kind 0) when there was none.
  DownloadRecord LastDownload() const;
  DownloadRecord Download(int kind) const;
  // The clock as last set by "%0<" / "r0>": "YYYYMMDDhhmm[ss]"; empty until set.
  std::string DeviceClockText() const;

  // ---- what the host sent ---------------------------------------------------

  // The last EngineOptions::max_recorded_frames frames received, oldest first.
  std::vector<ReceivedFrame> ReceivedFrames() const;
  // The bodies of the well-formed command frames, in order.
  std::vector<std::vector<std::uint8_t>> CommandBodies() const;
  void ClearReceivedFrames();
  // The frames received since the last ClearReceivedFrames, those dropped
  // from the record included: what WaitForFrames counts.
  std::size_t FramesReceived() const;
  // Waits (real time) until at least |count| frames of any kind have been
  // received since the last ClearReceivedFrames.
  bool WaitForFrames(std::size_t count, std::chrono::milliseconds timeout) const;

  // ---- watching -------------------------------------------------------------

  // Called for every frame received and every answer queued, in line order.
  // One observer. It runs with the engine's lock held, on whichever thread
  // made the engine act, so it must be quick and must not call into the
  // engine. Once this returns, no call of the previous observer is running.
  using LineObserver = std::function<void(const LineRecord&)>;
  void SetLineObserver(LineObserver observer);

  // Everything a display of the machine needs, read under one lock.
  EngineSnapshot Snapshot() const;

  // The machine's inside; opaque to users of this header.
  struct State;

 private:
  std::unique_ptr<State> state_;
  std::unique_ptr<SimClock> own_clock_;
  const SimClock* clock_;
};

}  // namespace vexokrt::sim
