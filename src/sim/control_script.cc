// SPDX-License-Identifier: Apache-2.0
#include "sim/control_script.h"

#include <charconv>
#include <cstdio>
#include <sstream>
#include <vector>

#include "sim/frame_codec.h"

namespace vexokrt::sim {
namespace {

std::vector<std::string> Words(std::string_view line) {
  std::vector<std::string> words;
  std::istringstream in{std::string(line)};
  std::string word;
  while (in >> word) words.push_back(word);
  return words;
}

std::optional<long> Number(std::string_view text, int base = 10) {
  if (base == 16 && (text.starts_with("0x") || text.starts_with("0X"))) text.remove_prefix(2);
  long value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

ControlReply Ok(std::string text = "ok") { return ControlReply{true, false, text + "\n"}; }
ControlReply Error(const std::string& text) { return ControlReply{false, false, "error: " + text + "\n"}; }


std::string Printable(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  char buf[8];
  for (std::uint8_t b : bytes) {
    if (b >= 0x20 && b < 0x7F) {
      text += static_cast<char>(b);
    } else {
      std::snprintf(buf, sizeof buf, "\\x%02X", b);
      text += buf;
    }
  }
  return text;
}

const char* KindName(ReceivedFrame::Kind kind) {
  switch (kind) {
    case ReceivedFrame::Kind::kCommand:
      return "command";
    case ReceivedFrame::Kind::kEnquiry:
      return "enq";
    case ReceivedFrame::Kind::kBadFrame:
      return "bad-frame";
    case ReceivedFrame::Kind::kNoise:
      return "noise";
    case ReceivedFrame::Kind::kLineMismatch:
      return "line-mismatch";
  }
  return "?";
}

std::optional<FaultKind> FaultKindNamed(const std::string& name) {
  static const std::pair<const char*, FaultKind> kNames[] = {
      {"nak", FaultKind::kAnswerNak},       {"can", FaultKind::kAnswerCan},
      {"em", FaultKind::kAnswerEm},         {"bel", FaultKind::kAnswerBel},
      {"sub", FaultKind::kAnswerSub},             {"bcc", FaultKind::kCorruptBcc},
      {"first-byte", FaultKind::kWrongFirstByte}, {"truncate", FaultKind::kTruncatedFrame},
      {"overlong", FaultKind::kOverlongFrame},    {"delay", FaultKind::kDelay},
      {"drop", FaultKind::kDrop},
  };
  for (const auto& [text, kind] : kNames) {
    if (name == text) return kind;
  }
  return std::nullopt;
}

ControlReply FaultCommand(ChangerEngine& engine, const std::vector<std::string>& w) {
  if (w.size() >= 2 && w[1] == "clear") {
    engine.ClearFaults();
    return Ok();
  }
  if (w.size() >= 2 && w[1] == "jam-payout") {
    std::optional<long> pieces = w.size() == 3 ? Number(w[2]) : std::nullopt;
    if (!pieces || *pieces < 0) return Error("fault jam-payout needs a number of pieces");
    engine.JamNextPayoutAfter(static_cast<int>(*pieces));
    return Ok();
  }
  if (w.size() < 2) return Error("fault what?");
  std::optional<FaultKind> kind = FaultKindNamed(w[1]);
  if (!kind) return Error("unknown fault '" + w[1] + "'");
  Fault fault;
  fault.kind = *kind;
  std::size_t at = 2;
  if (*kind == FaultKind::kAnswerSub || *kind == FaultKind::kDelay) {
    std::optional<long> ms = at < w.size() ? Number(w[at]) : std::nullopt;
    if (!ms || *ms < 0) return Error("fault " + w[1] + " needs a time in ms");
    fault.ms = static_cast<int>(*ms);
    ++at;
  }
  for (; at < w.size(); ++at) {
    if (w[at] == "next") {
      fault.times = 1;
    } else if (w[at] == "cmd" && at + 1 < w.size()) {
      const std::string& c = w[++at];
      if (c == "ENQ" || c == "enq") {
        fault.command = kEnquiryTarget;
      } else if (c.size() == 1) {
        fault.command = c[0];
      } else {
        return Error("cmd takes one command letter or ENQ");
      }
    } else if (std::optional<long> n = Number(w[at]); n && *n > 0) {
      fault.times = static_cast<int>(*n);
    } else {
      return Error("unexpected '" + w[at] + "'");
    }
  }
  engine.InjectFault(fault);
  return Ok();
}

ControlReply SetCommand(ChangerEngine& engine, const std::vector<std::string>& w) {
  if (w.size() < 2) return Error("set what?");
  const std::string& what = w[1];
  if (what == "wire-timing" || what == "auto-take" || what == "auto-answer" || what == "binary-length") {
    if (w.size() != 3 || (w[2] != "on" && w[2] != "off")) return Error("set " + what + " on|off");
    bool on = w[2] == "on";
    if (what == "wire-timing") {
      engine.SetWireTiming(on);
    } else if (what == "auto-take") {
      engine.SetAutoTake(on);
    } else if (what == "auto-answer") {
      engine.SetAutoAnswer(on);
    } else {
      engine.SetBinaryLength(on);
    }
    return Ok();
  }
  if (w.size() < 3) return Error("set what?");
  if (what == "stock" || what == "box") {
    std::optional<CashCounts> given = ParseCashList(w[2]);
    if (!given) return Error("bad cash list '" + w[2] + "'");
    // Only the listed denominations change.
    CashCounts counts = what == "stock" ? engine.Stock() : engine.Box();
    std::string text = w[2];
    for (int i = 0; i < kDenominationCount; ++i) {
      std::string key = std::to_string(kFaceValues[i]) + ":";
      bool listed = text.starts_with(key) || text.find("," + key) != std::string::npos ||
                    text.find(";" + key) != std::string::npos;
      if (listed) counts[i] = (*given)[i];
    }
    if (what == "stock") {
      engine.SetStock(counts);
    } else {
      engine.SetBox(counts);
    }
    return Ok();
  }
  if (what == "threshold") {
    if (w.size() != 7) return Error("set threshold <face> <empty> <near-empty> <near-full> <full>");
    std::optional<long> face = Number(w[2]);
    std::optional<int> index = face ? DenominationIndex(static_cast<int>(*face)) : std::nullopt;
    if (!index) return Error("no such denomination");
    long v[4];
    for (int i = 0; i < 4; ++i) {
      std::optional<long> n = Number(w[static_cast<std::size_t>(3 + i)]);
      if (!n) return Error("thresholds are numbers");
      v[i] = *n;
    }
    engine.SetThresholds(*index, Thresholds{static_cast<int>(v[0]), static_cast<int>(v[1]), static_cast<int>(v[2]),
                                            static_cast<int>(v[3])});
    return Ok();
  }
  if (what == "discrepancy") {
    std::optional<long> bits = Number(w[2]);
    if (!bits) return Error("set discrepancy <0-7>");
    engine.SetDiscrepancy(static_cast<int>(*bits));
    return Ok();
  }
  if (what == "duration") {
    if (w.size() != 4) return Error("set duration <name> <ms>");
    std::optional<long> ms = Number(w[3]);
    if (!ms || *ms < 0) return Error("duration in ms");
    ActionDurations d = engine.Durations();
    int value = static_cast<int>(*ms);
    const std::string& name = w[2];
    if (name == "dispense") d.dispense_ms = value;
    else if (name == "take-back") d.take_back_ms = value;
    else if (name == "count-check") d.count_check_ms = value;
    else if (name == "end-deposit") d.end_deposit_ms = value;
    else if (name == "stop-intake") d.stop_intake_ms = value;
    else if (name == "reset") d.reset_ms = value;
    else if (name == "counting") d.counting_ms = value;
    else if (name == "coin-check") d.coin_check_ms = value;
    else if (name == "download-erase") d.download_erase_ms = value;
    else if (name == "download-write") d.download_write_ms = value;
    else return Error("unknown duration '" + name + "'");
    engine.SetDurations(d);
    return Ok();
  }
  if (what == "version") {
    if (w[2].size() != 5) return Error("five characters");
    engine.SetProgramVersion(w[2]);
    return Ok();
  }
  if (what == "status") {
    if (w[2] == "clear") {
      engine.ClearStatusOverrides();
      return Ok();
    }
    if (w.size() != 4) return Error("set status <position> <character or 0xNN> | set status clear");
    std::optional<long> position = Number(w[2]);
    std::optional<long> value = w[3].size() == 1 ? std::optional<long>(static_cast<unsigned char>(w[3][0]))
                                                 : Number(w[3], 16);
    if (!position || !value || *value < 0 || *value > 255) return Error("bad position or value");
    engine.OverrideStatusByte(static_cast<int>(*position), static_cast<std::uint8_t>(*value));
    return Ok();
  }
  if (what == "history") {
    if (w.size() != 4) return Error("set history <pointer> <overwrites>");
    std::optional<long> p = Number(w[2]);
    std::optional<long> o = Number(w[3]);
    if (!p || !o || *p < 0 || *p > 0xFFFF || *o < 0 || *o > 0xFFFF) return Error("pointer and overwrites are 0-65535");
    engine.SetHistoryPointer(HistoryPointer{static_cast<std::uint16_t>(*p), static_cast<std::uint16_t>(*o)});
    return Ok();
  }
  return Error("unknown setting '" + what + "'");
}

ControlReply ShowCommand(ChangerEngine& engine, const std::vector<std::string>& w) {
  std::string what = w.size() >= 2 ? w[1] : "";
  std::string text;
  if (what == "counts") {
    text += "stock:   " + FormatCashList(engine.Stock()) + "\n";
    text += "box:     " + FormatCashList(engine.Box()) + "\n";
    text += "outlets: " + FormatCashList(engine.AtOutlets()) + "\n";
    return ControlReply{true, false, text};
  }
  if (what == "status") {
    text += "status:  " + Printable(engine.StatusRecord()) + "\n";
    return ControlReply{true, false, text};
  }
  if (what == "line") {
    text += "line:    " + FormatLineSettings(engine.CurrentLine()) + (engine.ModeA() ? " mode A" : " mode B") +
            (engine.Unplugged() ? " (unplugged)" : "") + "\n";
    return ControlReply{true, false, text};
  }
  if (what == "deposit") {
    DepositView d = engine.Deposit();
    text += std::string("deposit: ") + (d.open ? "open" : "closed") + (d.intake_open ? ", intake open" : "") +
            (d.held ? ", held" : "") + (d.bill_counting ? ", bills counting" : "") +
            (d.coin_counting ? ", coins counting" : "") + "\n";
    text += "counted: " + FormatCashList(d.counted) + " (" + std::to_string(CashAmount(d.counted)) + " yen)\n";
    text += "rejects: coins " + std::to_string(d.coin_rejects) + ", bills " + std::to_string(d.bill_rejects) + "\n";
    return ControlReply{true, false, text};
  }
  if (what == "history") {
    HistoryPointer p = engine.GetHistoryPointer();
    text += "history: pointer " + std::to_string(p.pointer) + ", overwrites " + std::to_string(p.overwrites) + " of " +
            std::to_string(engine.HistoryCapacity()) + " records\n";
    return ControlReply{true, false, text};
  }
  if (what == "frames") {
    std::size_t n = 20;
    if (w.size() >= 3) {
      std::optional<long> given = Number(w[2]);
      if (!given || *given <= 0) return Error("show frames [count]");
      n = static_cast<std::size_t>(*given);
    }
    std::vector<ReceivedFrame> frames = engine.ReceivedFrames();
    std::size_t start = frames.size() > n ? frames.size() - n : 0;
    for (std::size_t i = start; i < frames.size(); ++i) {
      const ReceivedFrame& f = frames[i];
      text += std::to_string(f.time_us / 1000) + " ms " + KindName(f.kind) + " [" + HexBytes(f.raw) + "]";
      if (!f.body.empty()) text += " " + Printable(f.body);
      if (!f.detail.empty()) text += " (" + f.detail + ")";
      text += "\n";
    }
    if (text.empty()) text = "no frames\n";
    return ControlReply{true, false, text};
  }
  if (what == "download") {
    // The last download, or the last one of the kind given (1-4).
    DownloadRecord d = engine.LastDownload();
    if (w.size() >= 3) {
      std::optional<long> kind = Number(w[2]);
      if (w.size() != 3 || !kind || *kind < 1 || *kind > 4) return Error("show download [kind 1-4]");
      d = engine.Download(static_cast<int>(*kind));
    }
    if (d.kind == 0) return ControlReply{true, false, "no download\n"};
    text += "download: kind " + std::to_string(d.kind) + ", " + std::to_string(d.bytes.size()) + " bytes, " +
            std::to_string(d.blocks) + " data blocks, " + (d.finished ? "finished" : "under way") + "\n";
    return ControlReply{true, false, text};
  }
  return Error("show counts|status|line|deposit|history|frames [n]|download [kind]");
}

}  // namespace

std::string HexBytes(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  char buf[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(buf, sizeof buf, i == 0 ? "%02X" : " %02X", bytes[i]);
    text += buf;
  }
  return text;
}

std::string ControlHelp() {
  return "insert <cash> [rejects=<coins>,<bills>]   cash into the open deposit, e.g. insert 1000:2,500:1\n"
         "take                                      take everything from the outlets\n"
         "hold                                      bill intake waits for P00 (the machine sends DC1)\n"
         "jam on [<hex error number>] | jam off\n"
         "cassette out | cassette in\n"
         "unplug | plug\n"
         "power-cycle\n"
         "fault nak|can|em|bel|bcc|first-byte|truncate|overlong|drop [next|<times>] [cmd <letter>|cmd ENQ]\n"
         "fault sub|delay <ms> [next|<times>] [cmd <letter>|cmd ENQ]\n"
         "fault jam-payout <pieces>    the next pay-out jams once that many pieces are out\n"
         "fault clear\n"
         "set stock|box <cash>                      only the listed denominations change\n"
         "set threshold <face> <empty> <near-empty> <near-full> <full>\n"
         "set discrepancy <bits>\n"
         "set duration dispense|take-back|count-check|end-deposit|stop-intake|reset|counting|coin-check|\n"
         "             download-erase|download-write <ms>\n"
         "set wire-timing|auto-take|auto-answer|binary-length on|off\n"
         "set version <5 characters>\n"
         "set status <position> <character or 0xNN> | set status clear\n"
         "set history <pointer> <overwrites>\n"
         "show counts|status|line|deposit|history|frames [n]|download [kind]\n"
         "help | quit\n";
}

ControlReply ExecuteControlLine(ChangerEngine& engine, std::string_view line) {
  std::vector<std::string> w = Words(line);
  if (w.empty() || w[0].starts_with("#")) return ControlReply{true, false, ""};
  const std::string& verb = w[0];
  if (verb == "help") return ControlReply{true, false, ControlHelp()};
  if (verb == "quit" || verb == "exit") return ControlReply{true, true, "bye\n"};
  if (verb == "insert") {
    if (w.size() < 2) return Error("insert <cash> [rejects=<coins>,<bills>]");
    std::optional<CashCounts> cash = ParseCashList(w[1]);
    int coin_rejects = 0;
    int bill_rejects = 0;
    std::size_t at = 2;
    if (!cash && w[1].starts_with("rejects=")) {
      cash = CashCounts{};
      at = 1;
    }
    if (!cash) return Error("bad cash list '" + w[1] + "'");
    if (at < w.size()) {
      std::string_view r = w[at];
      std::size_t comma = r.find(',');
      if (!r.starts_with("rejects=") || comma == std::string_view::npos) return Error("rejects=<coins>,<bills>");
      std::optional<long> c = Number(r.substr(8, comma - 8));
      std::optional<long> b = Number(r.substr(comma + 1));
      if (!c || !b || *c < 0 || *b < 0) return Error("rejects=<coins>,<bills>");
      coin_rejects = static_cast<int>(*c);
      bill_rejects = static_cast<int>(*b);
    }
    switch (engine.InsertCash(*cash, coin_rejects, bill_rejects).status) {
      case InsertResult::Status::kCounting:
        return Ok("ok counting");
      case InsertResult::Status::kNoDeposit:
        return Error("no deposit is open; the cash comes back");
      case InsertResult::Status::kIntakeClosed:
        return Error("the intake is closed; the cash comes back");
      case InsertResult::Status::kJammed:
        return Error("the machine is stopped by an error");
    }
    return Error("?");
  }
  if (verb == "take") {
    engine.TakeCash();
    return Ok();
  }
  if (verb == "hold") {
    engine.HoldBillIntake();
    return Ok();
  }
  if (verb == "jam") {
    if (w.size() >= 2 && w[1] == "off") {
      engine.SetJam(false);
      return Ok();
    }
    if (w.size() >= 2 && w[1] == "on") {
      std::uint16_t number = 0x0521;
      if (w.size() >= 3) {
        std::optional<long> n = Number(w[2], 16);
        if (!n || *n < 0 || *n > 0xFFFF) return Error("error number is four hex digits");
        number = static_cast<std::uint16_t>(*n);
      }
      engine.SetJam(true, number);
      return Ok();
    }
    return Error("jam on [<hex error number>] | jam off");
  }
  if (verb == "cassette") {
    if (w.size() >= 2 && (w[1] == "out" || w[1] == "in")) {
      engine.SetCassetteRemoved(w[1] == "out");
      return Ok();
    }
    return Error("cassette out | cassette in");
  }
  if (verb == "unplug" || verb == "plug") {
    engine.SetUnplugged(verb == "unplug");
    return Ok();
  }
  if (verb == "power-cycle") {
    engine.PowerCycle();
    return Ok();
  }
  if (verb == "fault") return FaultCommand(engine, w);
  if (verb == "set") return SetCommand(engine, w);
  if (verb == "show") return ShowCommand(engine, w);
  return Error("unknown command '" + verb + "' (try help)");
}

}  // namespace vexokrt::sim
