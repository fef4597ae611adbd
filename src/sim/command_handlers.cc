// SPDX-License-Identifier: Apache-2.0
// What the simulated machine does with each command it receives. A command
// body is DC1, the command letter, two length characters ('0'+nibble; binary
// for the download frames 'M' and 'N') and the data. Commands of another model,
// malformed data and unknown letters are answered NAK; actions the machine
// cannot carry out now (stopped by an error, cassette out, not enough cash) BEL.
#include <algorithm>
#include <cmath>

#include "sim/answers.h"
#include "sim/engine_state.h"

namespace vexokrt::sim {
namespace {

using State = ChangerEngine::State;
using Data = std::span<const std::uint8_t>;

Outcome Reply(std::uint8_t control) { return Outcome::Reply(Answer::Byte(control)); }
Outcome Ack() { return Reply(kAck); }
Outcome Nak() { return Reply(kNak); }
Outcome Bel() { return Reply(kBel); }
Outcome Frame(Bytes data) { return Outcome::Reply(Answer::Data(std::move(data))); }

bool IsDigit(std::uint8_t c) { return c >= '0' && c <= '9'; }

bool Equals(Data data, const char* text) {
  std::size_t n = std::char_traits<char>::length(text);
  return data.size() == n && std::equal(data.begin(), data.end(), text);
}

bool AnyPieces(const CashCounts& counts, bool coins) {
  for (int i = 0; i < kDenominationCount; ++i) {
    if (IsCoinIndex(i) == coins && counts[i] > 0) return true;
  }
  return false;
}

bool Covers(const CashCounts& stock, const CashCounts& pieces) {
  for (int i = 0; i < kDenominationCount; ++i) {
    if (pieces[i] > stock[i]) return false;
  }
  return true;
}

// "???" takes everything of a denomination; ">>>" everything above the float
// the machine keeps for change (its near-empty level).
CashCounts Resolve(const State& s, const CountBlock& block) VEX_REQUIRES(s.mutex) {
  CashCounts pieces{};
  for (int i = 0; i < kDenominationCount; ++i) {
    int stock = s.inventory.stock()[i];
    switch (block[i].kind) {
      case CountField::Kind::kCount:
        pieces[i] = block[i].count;
        break;
      case CountField::Kind::kAll:
        pieces[i] = stock;
        break;
      case CountField::Kind::kKeyword:
        pieces[i] = std::max(0, stock - std::max(0, s.inventory.thresholds(i).near_empty));
        break;
    }
  }
  return pieces;
}

CashCounts Scaled(const CashCounts& pieces, double fraction) {
  CashCounts part{};
  for (int i = 0; i < kDenominationCount; ++i) part[i] = static_cast<int>(std::floor(pieces[i] * fraction));
  return part;
}

std::optional<Answer> EndAnswer(Ending ending) {
  switch (ending) {
    case Ending::kCompleted:
      return Answer::Byte(kAck);
    case Ending::kStopped:
      return Answer::Byte(kEtb);
    case Ending::kJammed:
      return Answer::Byte(kBel);
  }
  return Answer::Byte(kAck);
}

bool ValidClock(Data text, bool with_seconds) {
  std::size_t n = with_seconds ? 14 : 12;
  if (text.size() != n || !std::all_of(text.begin(), text.end(), IsDigit)) return false;
  auto num = [&text](std::size_t at, std::size_t len) { return static_cast<int>(*ParseDecimal(text.subspan(at, len))); };
  int month = num(4, 2);
  int day = num(6, 2);
  int hour = num(8, 2);
  int minute = num(10, 2);
  int second = with_seconds ? num(12, 2) : 0;
  return month >= 1 && month <= 12 && day >= 1 && day <= 31 && hour <= 23 && minute <= 59 && second <= 59;
}

// ---- deposit ---------------------------------------------------------------

// Books a finished deposit whose cash stays in the machine.
void BookDeposit(State& s) VEX_REQUIRES(s.mutex) {
  const CashCounts& counted = s.deposit.counted();
  s.last_deposit = counted;
  bool coins = AnyPieces(counted, true);
  bool bills = AnyPieces(counted, false);
  if (coins || bills) {
    if (s.memory.DepositCountOffset() >= 0) s.memory.AddToCounter(s.memory.DepositCountOffset(), 1);
    if (coins) s.memory.AddToCounter(s.memory.CoinDepositCountOffset(), 1);
    if (bills) s.memory.AddToCounter(s.memory.BillDepositCountOffset(), 1);
    for (int i = 0; i < kDenominationCount; ++i) {
      s.memory.AddToCounter(trading::kDepositPieces + 4 * (9 - i), static_cast<std::uint32_t>(counted[i]));
    }
  }
  s.LogOperation(State::Operation::kDeposit, CashAmount(counted), counted, true);
}

// How long the units still need to count what is in them.
int RemainingCountingMs(const State& s) VEX_REQUIRES(s.mutex) {
  std::optional<int64_t> ends = s.deposit.NextEventUs();
  if (!ends) return 0;
  return static_cast<int>(std::max<int64_t>(0, (*ends - s.Now() + 999) / 1000));
}

Outcome DepositMode(State& s, Data data) VEX_REQUIRES(s.mutex) {
  // One digit (bit 1: hold the intake) and "000". The first one opens a
  // deposit with the intake open; later ones close or reopen the intake.
  if (data.size() != 4 || data[0] < '0' || data[0] > '7' || !Equals(data.subspan(1), "000")) return Nak();
  if (s.Blocked()) return Bel();
  if (!s.deposit.open()) {
    s.deposit.Open();
    return Ack();
  }
  s.deposit.SetIntake(((data[0] - '0') & 2) == 0);
  return Ack();
}

Outcome EndDeposit(State& s, Data data) VEX_REQUIRES(s.mutex) {
  // '>' then '<' (keep the cash and pay the change owed), '=' (hand it all
  // back) or '>' (keep it, no change).
  if (data.size() != 2 || data[0] != '>' || (data[1] != '<' && data[1] != '=' && data[1] != '>')) return Nak();
  if (!s.deposit.open()) return Ack();
  if (s.jammed) return Bel();
  std::uint8_t how = data[1];
  Action action;
  action.command = 'I';
  action.busy_byte = kDc4;
  action.coin_side = true;
  action.bill_side = true;
  State* st = &s;
  action.finish = [st, how](Ending ending, double) VEX_REQUIRES(st->mutex) -> std::optional<Answer> {
    if (ending == Ending::kJammed) return Answer::Byte(kBel);
    st->deposit.Close();
    const CashCounts counted = st->deposit.counted();
    if (how == '=') {
      CashCounts taken = st->inventory.TakeBack(counted);
      st->returned = taken;
      st->HandOut(taken, false);
      st->LogOperation(State::Operation::kRepay, CashAmount(taken), taken, true);
      st->sale_amount = 0;
      return Answer::Byte(kAck);
    }
    BookDeposit(*st);
    long owed = how == '<' && st->sale_amount > 0 ? CashAmount(counted) - st->sale_amount : 0;
    st->sale_amount = 0;
    if (owed <= 0) return Answer::Byte(kAck);
    std::optional<CashCounts> plan = st->inventory.PlanChange(owed);
    if (!plan) {
      st->payout_refused = true;
      st->LogOperation(State::Operation::kChange, owed, CashCounts{}, false);
      return Answer::Byte(kBel);
    }
    st->inventory.TakeFromStock(*plan);
    st->HandOut(*plan, false);
    st->CountPayout(*plan);
    st->last_change = *plan;
    st->memory.AddToCounter(trading::kAmountPayouts + 4 * static_cast<int>(std::min<long>(owed / 1000, 10)), 1);
    st->LogOperation(State::Operation::kChange, owed, *plan, true);
    return Answer::Byte(kAck);
  };
  s.StartAction(std::move(action), s.options.durations.end_deposit_ms + RemainingCountingMs(s));
  return Outcome::Started();
}

Outcome Krt03Intake(State& s, Data data) VEX_REQUIRES(s.mutex) {
  // "20" opens a deposit (or its intake), "00" ends the intake and with it the deposit.
  if (Equals(data, "20")) {
    if (s.Blocked()) return Bel();
    if (!s.deposit.open()) {
      s.deposit.Open();
    } else {
      s.deposit.SetIntake(true);
    }
    return Ack();
  }
  if (!Equals(data, "00")) return Nak();
  if (!s.deposit.open()) return Ack();
  Action action;
  action.command = static_cast<char>('>');
  action.busy_byte = kDc4;
  State* st = &s;
  action.finish = [st](Ending ending, double) VEX_REQUIRES(st->mutex) -> std::optional<Answer> {
    if (ending == Ending::kJammed) return Answer::Byte(kBel);
    st->deposit.Close();
    BookDeposit(*st);
    return Answer::Byte(kAck);
  };
  s.StartAction(std::move(action), s.options.durations.stop_intake_ms + RemainingCountingMs(s));
  return Outcome::Started();
}

Outcome IntakeToggle(State& s) VEX_REQUIRES(s.mutex) {
  if (!s.deposit.open()) return Nak();
  if (s.jammed) return Bel();
  if (s.deposit.held()) {
    s.deposit.ReleaseHold();
    s.deposit.SetIntake(true);
  } else {
    s.deposit.SetIntake(!s.deposit.intake_open());
  }
  return Ack();
}

// ---- pay-outs and collections ----------------------------------------------

Outcome RefusePayout(State& s, State::Operation op, long amount) VEX_REQUIRES(s.mutex) {
  s.payout_refused = true;
  s.LogOperation(op, amount, CashCounts{}, false);
  return Bel();
}

Outcome Change(State& s, char command, Data digits) VEX_REQUIRES(s.mutex) {
  std::optional<long> amount = ParseDecimal(digits);
  if (!amount) return Nak();
  if (s.Blocked()) return Bel();
  std::optional<CashCounts> plan = s.inventory.PlanChange(*amount);
  if (!plan) return RefusePayout(s, State::Operation::kChange, *amount);
  if (*amount == 0) return Ack();
  return s.StartPayout(command, *plan, *amount);
}

Outcome Dispense(State& s, char command, const CashCounts& pieces) VEX_REQUIRES(s.mutex) {
  if (s.Blocked()) return Bel();
  if (!Covers(s.inventory.stock(), pieces)) return RefusePayout(s, State::Operation::kPayout, CashAmount(pieces));
  if (!AnyPieces(pieces, true) && !AnyPieces(pieces, false)) return Ack();
  return s.StartPayout(command, pieces, -1);
}

// Take-back: the named pieces leave the machine through the outlets for the
// operator; ".00" reports them afterwards.
Outcome TakeBack(State& s, char command, const CashCounts& pieces, bool into_box) VEX_REQUIRES(s.mutex) {
  if (s.Blocked()) return Bel();
  if (!Covers(s.inventory.stock(), pieces)) return RefusePayout(s, State::Operation::kTakeBack, CashAmount(pieces));
  Action action;
  action.command = command;
  action.stoppable = true;
  action.coin_side = AnyPieces(pieces, true);
  action.bill_side = AnyPieces(pieces, false);
  State* st = &s;
  action.finish = [st, pieces, into_box](Ending ending,
                                         double fraction) VEX_REQUIRES(st->mutex) -> std::optional<Answer> {
    CashCounts moved = ending == Ending::kCompleted ? pieces : Scaled(pieces, fraction);
    for (int i = 0; i < kDenominationCount; ++i) moved[i] = std::min(moved[i], st->inventory.stock()[i]);
    st->inventory.TakeFromStock(moved);
    if (into_box) {
      CashCounts box = st->inventory.box();
      for (int i = 0; i < kDenominationCount; ++i) box[i] += moved[i];
      st->inventory.SetBox(box);
    } else {
      st->HandOut(moved, false);
    }
    st->returned = moved;
    if (AnyPieces(moved, true)) st->memory.AddToCounter(trading::kCoinCollections, 1);
    if (AnyPieces(moved, false)) st->memory.AddToCounter(trading::kBillCollections, 1);
    for (int i = 0; i < kDenominationCount; ++i) {
      st->memory.AddToCounter(trading::kCollectedPieces + 4 * (9 - i), static_cast<std::uint32_t>(moved[i]));
      if (!IsCoinIndex(i)) st->lifetime_collected[i] += moved[i];
    }
    st->LogOperation(State::Operation::kTakeBack, CashAmount(moved), moved, ending == Ending::kCompleted);
    return EndAnswer(ending);
  };
  s.StartAction(std::move(action), s.options.durations.take_back_ms);
  return Outcome::Started();
}

Outcome DepositTable(State& s, Data data) VEX_REQUIRES(s.mutex) {
  // Count block, ">>>" or "000", then the mode: '0' and '3' pay the pieces out,
  // '4' moves them into the collection box, '8' names nothing to move.
  if (data.size() != 34) return Nak();
  std::optional<CountBlock> block = ParseCountBlock(data.first(30), 3, true);
  Data tail = data.subspan(30, 3);
  std::uint8_t mode = data[33];
  if (!block || !(Equals(tail, ">>>") || Equals(tail, "000")) ||
      (mode != '0' && mode != '3' && mode != '4' && mode != '8')) {
    return Nak();
  }
  if (s.Blocked()) return Bel();
  if (mode == '8') return Ack();
  CashCounts pieces = Resolve(s, *block);
  if (mode == '4') return TakeBack(s, 'p', pieces, true);
  if (!Covers(s.inventory.stock(), pieces)) return RefusePayout(s, State::Operation::kPayout, CashAmount(pieces));
  Outcome started = s.StartPayout('p', pieces, -1);
  return started;
}

Outcome CountCheck(State& s, char command, bool coins, bool bills) VEX_REQUIRES(s.mutex) {
  if (s.Blocked()) return Bel();
  Action action;
  action.command = command;
  action.stoppable = true;
  action.coin_side = coins;
  action.bill_side = bills;
  State* st = &s;
  action.finish = [st, coins, bills](Ending ending, double) VEX_REQUIRES(st->mutex) -> std::optional<Answer> {
    if (ending == Ending::kCompleted) st->discrepancy = 0;
    if (coins) st->memory.AddToCounter(trading::kCoinCountChecks, 1);
    if (bills) st->memory.AddToCounter(trading::kBillCountChecks, 1);
    st->LogOperation(State::Operation::kCountCheck, 0, st->inventory.stock(), ending == Ending::kCompleted);
    return EndAnswer(ending);
  };
  s.StartAction(std::move(action), s.options.durations.count_check_ms);
  return Outcome::Started();
}

Outcome Reset(State& s) VEX_REQUIRES(s.mutex) {
  Action action;
  action.command = '0';
  State* st = &s;
  action.finish = [st](Ending ending, double) VEX_REQUIRES(st->mutex) -> std::optional<Answer> {
    if (ending == Ending::kJammed) return Answer::Byte(kBel);
    if (st->jammed && st->jam_clears_on_reset) {
      st->jammed = false;
      st->error_number = 0;
    }
    st->payout_refused = false;
    st->memory.AddToCounter(trading::kResetCount, 1);
    st->LogOperation(State::Operation::kReset, 0, CashCounts{}, true);
    return Answer::Byte(kAck);
  };
  s.StartAction(std::move(action), s.options.durations.reset_ms);
  return Outcome::Started();
}

// ---- memory and settings ---------------------------------------------------

struct MemoryRequest {
  std::uint32_t address;
  std::size_t length;
};

std::optional<MemoryRequest> ParseMemoryRequest(Data data) {
  if (data.size() < 3) return std::nullopt;
  std::optional<std::uint32_t> address = ParseNibbles(data.first(data.size() - 2));
  std::optional<std::uint32_t> length = ParseNibbles(data.last(2));
  if (!address || !length || *length == 0) return std::nullopt;
  return MemoryRequest{*address, *length};
}

Outcome ReadRaw(State& s, Data data) VEX_REQUIRES(s.mutex) {
  std::optional<MemoryRequest> request = ParseMemoryRequest(data);
  if (!request) return Nak();
  return Frame(s.memory.Read(request->address, request->length, s.inventory));
}

Outcome ReadHexText(State& s, Data data) VEX_REQUIRES(s.mutex) {
  std::optional<MemoryRequest> request = ParseMemoryRequest(data);
  if (!request || request->length * 2 > kMaxAnswerData) return Nak();
  Bytes text;
  for (std::uint8_t b : s.memory.Read(request->address, request->length, s.inventory)) {
    text.push_back(NibbleChar(b >> 4));
    text.push_back(NibbleChar(b));
  }
  return Frame(std::move(text));
}

Outcome ReadSettingsPage(State& s, Data data) VEX_REQUIRES(s.mutex) {
  std::optional<int> page = data.size() == 1 ? NibbleValue(data[0]) : std::nullopt;
  if (!page) return Nak();
  Bytes text;
  for (int v : s.pages[static_cast<std::size_t>(*page)]) text.push_back(NibbleChar(v));
  return Frame(std::move(text));
}

Outcome WriteSettingsPage(State& s, Data data) VEX_REQUIRES(s.mutex) {
  if (data.size() != 6) return Nak();
  std::array<int, 6> values{};
  for (std::size_t i = 0; i < 6; ++i) {
    std::optional<int> v = NibbleValue(data[i]);
    if (!v) return Nak();
    values[i] = *v;
  }
  auto& page = s.pages[static_cast<std::size_t>(values[0])];
  std::copy(values.begin() + 1, values.end(), page.begin());
  return Ack();
}

// ---- program download --------------------------------------------------------

Outcome DownloadStart(State& s, const Bytes& body) VEX_REQUIRES(s.mutex) {
  // 0x11 'M' 0x01 0x01, the kind digit, the first 256 bytes of the file.
  if (body.size() != 4 + 257 || body[2] != 0x01 || body[3] != 0x01 || body[4] < '1' || body[4] > '4') {
    return Nak();
  }
  if (s.Blocked()) return Bel();
  s.download_kind = body[4] - '0';
  DownloadRecord& record = s.downloads[s.download_kind];
  record = DownloadRecord{};
  record.kind = s.download_kind;
  record.bytes.assign(body.begin() + 5, body.end());
  s.download_active = true;
  s.expected_serial = 0;
  // Accepted at once; then the flash is erased, and ENQ is answered SUB until that is done.
  s.Emit(Answer::Byte(kAck), 'M', s.Now());
  Action erase;
  erase.command = 'M';
  erase.silent_start = false;
  s.StartAction(std::move(erase), s.options.durations.download_erase_ms);
  return Outcome::Started();
}

Outcome DownloadBlock(State& s, const Bytes& body) VEX_REQUIRES(s.mutex) {
  // 0x11 'N', length (block + 2), serial number, the block.
  // A block holds 1 to 256 bytes (the frame decoder has matched the length field).
  if (!s.download_active || body.size() < 7 || body.size() > 6 + 256) return Nak();
  int serial = body[4] << 8 | body[5];
  if (serial == s.expected_serial) {
    DownloadRecord& record = s.downloads[s.download_kind];
    record.bytes.insert(record.bytes.end(), body.begin() + 6, body.end());
    ++record.blocks;
    ++s.expected_serial;
    return Ack();
  }
  // The host sends a block again when it missed our answer: take it as done.
  if (serial + 1 == s.expected_serial) return Ack();
  return Nak();
}

Outcome DownloadEnd(State& s) VEX_REQUIRES(s.mutex) {
  if (!s.download_active) return Nak();
  s.download_active = false;
  s.downloads[s.download_kind].finished = true;
  // The frame is acknowledged at once; then the program is written. Meanwhile
  // ENQ goes unanswered; the first ENQ after the write gets the end phase's
  // answer, ACK (a "fault sub" on 'O' makes it answer SUB instead while it lasts).
  s.Emit(Answer::Byte(kAck), 'O', s.Now());
  Action write;
  write.command = 'O';
  write.silent_start = false;
  write.busy_byte = std::nullopt;
  write.finish = [](Ending ending, double) -> std::optional<Answer> {
    return Answer::Byte(ending == Ending::kJammed ? kBel : kAck);
  };
  s.StartAction(std::move(write), s.options.durations.download_write_ms);
  return Outcome::Started();
}

// ---- line ------------------------------------------------------------------

Outcome ChangeSpeed(State& s, Data data) VEX_REQUIRES(s.mutex) {
  if (data.size() != 1) return Nak();
  bool newer = s.traits.family == Family::kKrt07And77;
  LineSettings next = s.line;
  if (data[0] == '2') {
    next.baud = 9600;
  } else if (data[0] == '6' && newer) {
    next.baud = 115200;
  } else {
    return Nak();
  }
  // The acknowledgement still goes out on the old speed.
  s.Emit(Answer::Byte(kAck), '}', s.Now());
  s.line = next;
  return Outcome::Started();
}

}  // namespace

Outcome ChangerEngine::State::StartPayout(char command, const CashCounts& pieces, long change_amount) {
  Action payout;
  payout.command = command;
  payout.stoppable = true;
  payout.coin_side = AnyPieces(pieces, true);
  payout.bill_side = AnyPieces(pieces, false);
  State* st = this;
  const int jam_after = jam_payout_after;
  jam_payout_after = -1;
  payout.finish = [st, pieces, change_amount, command, jam_after](Ending ending,
                                                                  double fraction)
                      VEX_REQUIRES(st->mutex) -> std::optional<Answer> {
    CashCounts paid = ending == Ending::kCompleted ? pieces : Scaled(pieces, fraction);
    if (jam_after >= 0 && ending == Ending::kCompleted) {
      // Jammed once |jam_after| pieces were out, largest first.
      int left = jam_after;
      for (int i = kDenominationCount - 1; i >= 0; --i) {
        paid[i] = std::min(pieces[i], left);
        left -= paid[i];
      }
      ending = Ending::kJammed;
      st->jammed = true;
      if (st->error_number == 0) st->error_number = 0x0521;
      st->jam_clears_on_reset = true;
      st->LogError(st->error_number);
    }
    for (int i = 0; i < kDenominationCount; ++i) paid[i] = std::min(paid[i], st->inventory.stock()[i]);
    st->inventory.TakeFromStock(paid);
    st->HandOut(paid, false);
    st->CountPayout(paid);
    st->last_payout = paid;
    if (command == 'p') st->returned = paid;
    st->payout_refused = false;
    bool complete = ending == Ending::kCompleted;
    if (change_amount >= 0) {
      st->last_change = paid;
      st->memory.AddToCounter(
          trading::kAmountPayouts + 4 * static_cast<int>(std::min<long>(change_amount / 1000, 10)), 1);
      st->LogOperation(Operation::kChange, change_amount, paid, complete);
    } else {
      st->memory.AddToCounter(trading::kCountPayouts, 1);
      st->LogOperation(Operation::kPayout, CashAmount(paid), paid, complete);
    }
    return EndAnswer(ending);
  };
  StartAction(std::move(payout), options.durations.dispense_ms);
  return Outcome::Started();
}

Outcome ChangerEngine::State::Dispatch(const Bytes& body) {
  if (body.size() < 4 || body[0] != kDc1) return Nak();
  const std::uint8_t letter = body[1];
  const Data data(body.data() + 4, body.size() - 4);
  const Data code(body.data() + 1, 3);
  // In communication mode B the KRT02 knows only how to identify itself and
  // how to leave mode B.
  if (!mode_a && letter != ':' && letter != '}' && letter != 0x7F) return Nak();
  if (letter != 'M' && letter != 'N') {
    std::optional<std::uint32_t> length = ParseNibbles(Data(body.data() + 2, 2));
    if (!length || *length != data.size()) return Nak();
  }
  const bool newer = traits.family == Family::kKrt07And77;
  const bool krt03 = traits.model == Model::kKrt03;
  const bool krt02 = !newer && !krt03;

  switch (letter) {
    // ---- reads ----
    case 'H':
    case 'i':
      if (letter != static_cast<std::uint8_t>(traits.status_command) || !data.empty()) return Nak();
      return Frame(Status());
    case '"':
      if (!data.empty()) return Nak();
      if (krt03) return Frame(CountsAnswerKrt03(inventory.stock()));
      return Frame(CountsAnswer(inventory.stock(), inventory.box(), discrepancy));
    case '&':
      if (!krt03 || !data.empty()) return Nak();
      return Frame(CountsAnswerKrt03(inventory.box()));
    case 'o':
      if (!data.empty()) return Nak();
      return Frame(DepositCountsAnswer(deposit.counted(), deposit.bill_rejects(), deposit.coin_rejects()));
    case ',':
      // The short deposit read is the older family's; KRT07 and KRT77 read "o00".
      if (newer || !data.empty()) return Nak();
      return Frame(DepositCountsShortAnswer(deposit.counted(), deposit.bill_rejects(), deposit.coin_rejects()));
    case '.':
      if (!data.empty()) return Nak();
      return Frame(ReturnedCountsAnswer(returned));
    case ':':
      if (!data.empty()) return Nak();
      return Frame(ModelNameAnswer(traits.model, mode_a));
    case 's':
      return ReadRaw(*this, data);
    case '6':
      return ReadHexText(*this, data);
    case 'W':
      if (!newer) return Nak();
      return ReadSettingsPage(*this, data);
    case '[':
      if (!newer || !data.empty()) return Nak();
      return Frame(CoinStateAnswer(inventory.stock(), coin_unit_busy_until > Now(), coin_warning_p, coin_warning_q));
    case ']':
      if (!newer || !data.empty()) return Nak();
      return Frame(CountTableAnswer(inventory.stock(), inventory.box(), lifetime_deposited, lifetime_collected));
    case 'Y':
      if (!newer || !data.empty()) return Nak();
      return Frame(CountSummaryAnswer(inventory.stock(), inventory.box(),
                                      deposit.bill_rejects() + deposit.coin_rejects()));
    case 'q':
      if (!newer || !data.empty()) return Nak();
      return Frame(LastChangeAnswer(last_change));
    case 'u':
      if (!newer || data.size() != 1 || (data[0] != '0' && data[0] != '1')) return Nak();
      if (data[0] == '0') {
        return Frame(TwoBlockAnswer(inventory.stock(), inventory.box(), CashAmount(inventory.stock()), 0));
      }
      return Frame(TwoBlockAnswer(last_deposit, last_payout, CashAmount(last_deposit), 1));
    case 'Z':
      if (!newer || !data.empty()) return Nak();
      return Frame(VersionAnswer(program_version));
    case 'l': {
      if (!krt02 || data.size() != 2 || data[0] != '0' || !IsDigit(data[1])) return Nak();
      int page = (data[0] - '0') * 10 + (data[1] - '0');
      Bytes text;
      for (std::uint8_t b : memory.Read(0x417000u + static_cast<std::uint32_t>(page) * 16, 16, inventory)) {
        text.push_back(NibbleChar(b >> 4));
        text.push_back(NibbleChar(b));
      }
      return Frame(std::move(text));
    }

    // ---- cash actions ----
    case '$': {
      if (newer || !Equals(code, "$14")) return Nak();
      std::optional<CountBlock> block = ParseCountBlock(data, 2, false);
      if (!block) return Nak();
      return Dispense(*this, '$', Resolve(*this, *block));
    }
    case 'n': {
      if (!newer || data.size() != 33 || !Equals(data.subspan(30), "000")) return Nak();
      std::optional<CountBlock> block = ParseCountBlock(data.first(30), 3, false);
      if (!block) return Nak();
      return Dispense(*this, 'n', Resolve(*this, *block));
    }
    case '!':
      if (newer ? data.size() != 6 : data.size() != 5) return Nak();
      return Change(*this, '!', data);
    case 'm':
      if (data.size() != 6) return Nak();
      return Change(*this, 'm', data);
    case '-': {
      if (krt02 && data.size() == 30) {
        std::optional<CountBlock> block = ParseCountBlock(data, 3, true);
        if (!block) return Nak();
        return TakeBack(*this, '-', Resolve(*this, *block), false);
      }
      if (krt03 && data.size() == 31 && data[30] >= '0' && data[30] <= '3') {
        std::optional<CountBlock> block = ParseCountBlock(data.first(30), 3, true);
        if (!block) return Nak();
        return TakeBack(*this, '-', Resolve(*this, *block), false);
      }
      return Nak();
    }
    case 'p':
      if (!newer) return Nak();
      return DepositTable(*this, data);
    case 'e':
      // The KRT02's count check; KRT07 and KRT77 count with "f01", the KRT03 not at all.
      if (!krt02 || !data.empty()) return Nak();
      return CountCheck(*this, 'e', true, true);
    case 'f':
      if (!newer || data.size() != 1 || data[0] < '0' || data[0] > '3') return Nak();
      return CountCheck(*this, 'f', data[0] != '2', data[0] != '3');
    case '0':
      if (!data.empty()) return Nak();
      return Reset(*this);
    case 'V':
      if (!newer || !data.empty()) return Nak();
      if (!action || !action->stoppable) return Nak();
      FinishAction(Ending::kStopped);
      return Ack();
    case 'E':
      if (!krt03 || !Equals(data, "0")) return Nak();
      return Ack();
    case '\\':
      if (!newer || !data.empty()) return Nak();
      if (Blocked()) return Bel();
      coin_unit_busy_until = Now() + static_cast<int64_t>(options.durations.coin_check_ms) * 1000;
      return Ack();

    // ---- deposit ----
    case '+':
      if (!data.empty()) return Nak();
      deposit.ClearCounts();
      return Ack();
    case '=':
    case '>':
      if (!krt03) return Nak();
      return Krt03Intake(*this, data);
    case 'F':
      if (krt03) return Nak();
      return DepositMode(*this, data);
    case 'I':
      if (krt03) return Nak();
      return EndDeposit(*this, data);
    case 'P':
      if (krt03 || !data.empty()) return Nak();
      return IntakeToggle(*this);

    // ---- settings, clock, counts ----
    case 'b':
      if (data.size() != 2 || (data[0] != '0' && data[0] != '1') || (data[1] != '0' && data[1] != '1')) return Nak();
      exit_flags = {data[0], data[1]};
      return Ack();
    case 'Q':
      if (!newer) return Nak();
      return WriteSettingsPage(*this, data);
    case 'G':
      if (!newer || data.size() != 1 || !IsDigit(data[0])) return Nak();
      operation_mode = data[0] - '0';
      return Ack();
    case '`':
      if (!newer || data.size() != 5 || (data[0] != '0' && data[0] != '1') ||
          !std::all_of(data.begin() + 1, data.end(), IsDigit)) {
        return Nak();
      }
      access_code.assign(data.begin(), data.end());
      return Ack();
    case '%':
      if (newer || !ValidClock(data, false)) return Nak();
      clock_text.assign(data.begin(), data.end());
      clock_set_us = Now();
      return Ack();
    case 'r':
      if (!newer || !ValidClock(data, true)) return Nak();
      clock_text.assign(data.begin(), data.end());
      clock_set_us = Now();
      return Ack();
    case 'S':
    case 'T':
    case '/': {
      if (!newer || data.size() != 33 || !Equals(data.subspan(30), "000")) return Nak();
      std::optional<CountBlock> block = ParseCountBlock(data.first(30), 3, false);
      if (!block) return Nak();
      CashCounts counts = Resolve(*this, *block);
      if (letter == '/') {
        reference_counts = counts;
      } else {
        inventory.SetStock(counts);
      }
      return Ack();
    }
    case '?': {
      if (!newer || data.size() != 13 || !std::all_of(data.begin(), data.begin() + 11, IsDigit) || !NibbleValue(data[11]) ||
          !NibbleValue(data[12])) {
        return Nak();
      }
      sale_amount = *ParseDecimal(data.first(6));
      return Ack();
    }
    case '^':
      if (!newer || data.size() != 1 || data[0] < '1' || data[0] > '4') return Nak();
      if (data[0] == '1' || data[0] >= '3') lifetime_deposited = {};
      if (data[0] >= '2') lifetime_collected = {};
      if (data[0] == '4') discrepancy = 0;
      return Ack();

    // ---- program download ----
    case 'M':
      if (!newer) return Nak();
      return DownloadStart(*this, body);
    case 'N':
      if (!newer) return Nak();
      return DownloadBlock(*this, body);
    case 'O':
      if (!newer || !data.empty()) return Nak();
      return DownloadEnd(*this);

    // ---- line ----
    case '}':
      return ChangeSpeed(*this, data);
    case 0x7F:
      if (!krt02 || !Equals(data, "0")) return Nak();
      // Acknowledged in mode B, then the machine speaks mode A.
      Emit(Answer::Byte(kAck), static_cast<char>(0x7F), Now());
      mode_a = true;
      return Outcome::Started();

    default:
      return Nak();
  }
}

}  // namespace vexokrt::sim
