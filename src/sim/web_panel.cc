// SPDX-License-Identifier: Apache-2.0
#include "sim/web_panel.h"

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <charconv>
#include <condition_variable>
#include <deque>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>
#include <vector>

#include "platform/thread_annotations.h"
#include "sim/control_script.h"
#include "sim/frame_codec.h"
#include "sim/status_record.h"

namespace vexokrt::sim {
namespace {

using nlohmann::json;

// Event-stream messages kept for pages that read slowly; one that falls
// further behind is sent the whole picture again.
constexpr std::size_t kMaxMessages = 256;
constexpr std::size_t kMaxMessageBytes = 512 * 1024;
// Control lines shown to a page that opens later.
constexpr std::size_t kRecentLines = 20;
// An idle event stream gets a comment this often, so a closed page is noticed.
constexpr auto kKeepAlive = std::chrono::seconds(10);
// While something in the machine is scheduled (a counting phase, a long
// action) the publisher looks again when it is due, but at least this often.
constexpr int64_t kLongestNap = 1'000'000;
// What is already overdue is the serving thread's to take (answer bytes the
// host has not read); the publisher then looks again only after this long.
constexpr int64_t kOverdueNap = 200'000;
constexpr std::size_t kMaxLineLength = 512;

std::string RandomToken() {
  std::random_device random;
  std::string token;
  static const char kHex[] = "0123456789abcdef";
  for (int i = 0; i < 8; ++i) {
    std::uint32_t word = random();
    for (int j = 0; j < 8; ++j) {
      token += kHex[word & 0x0F];
      word >>= 4;
    }
  }
  return token;
}

// Compares without stopping at the first difference, so the time taken says
// nothing about how much of a guess was right.
bool SameToken(std::string_view given, std::string_view token) {
  if (given.size() != token.size()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < token.size(); ++i) diff |= static_cast<unsigned char>(given[i] ^ token[i]);
  return diff == 0;
}

const char* ControlName(std::uint8_t byte) {
  switch (byte) {
    case kStx: return "STX";
    case kEtx: return "ETX";
    case kEnq: return "ENQ";
    case kAck: return "ACK";
    case kBel: return "BEL";
    case kLf: return "LF";
    case kDle: return "DLE";
    case kDc1: return "DC1";
    case kDc3: return "DC3";
    case kDc4: return "DC4";
    case kNak: return "NAK";
    case kEtb: return "ETB";
    case kCan: return "CAN";
    case kEm: return "EM";
    case kSub: return "SUB";
    default: return nullptr;
  }
}

// What a command letter asks of the machine.
const char* CommandName(char letter) {
  switch (letter) {
    case 'H': case 'i': return "status";
    case '"': return "cash counts";
    case '&': return "cash counts, set B";
    case 'o': return "deposit counts";
    case ',': return "deposit counts, short";
    case '.': return "returned counts";
    case ':': return "model name";
    case 's': return "memory read";
    case '6': return "memory read as text";
    case 'W': case 'l': return "settings page read";
    case 'Q': return "settings page write";
    case '[': return "coin unit state";
    case ']': return "count table";
    case 'Y': return "count summary";
    case 'q': return "last change";
    case 'u': return "counts and amounts";
    case 'Z': return "program version";
    case '$': case 'n': return "dispense";
    case '!': case 'm': return "change";
    case '-': return "take-back";
    case 'p': return "take-back or collect";
    case 'e': case 'f': return "count check";
    case '0': return "reset";
    case 'V': return "stop";
    case '\\': return "coin check";
    case '+': return "clear deposit counts";
    case '=': case '>': return "deposit intake";
    case 'F': return "deposit";
    case 'I': return "end deposit";
    case 'P': return "resume intake";
    case 'b': return "exit select";
    case 'G': return "operation mode";
    case '`': return "access code";
    case '%': case 'r': return "set clock";
    case 'S': case 'T': return "set counts";
    case '/': return "reference counts";
    case '?': return "sale amount";
    case '^': return "clear lifetime counts";
    case 'M': return "download start";
    case 'N': return "download block";
    case 'O': return "download end";
    case '}': return "line speed";
    case 0x7F: return "communication mode";
    default: return nullptr;
  }
}

std::string Printable(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  for (std::uint8_t b : bytes) {
    if (b >= 0x20 && b < 0x7F) {
      text += static_cast<char>(b);
    } else if (const char* name = ControlName(b)) {
      text += std::string("<") + name + ">";
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "<%02X>", b);
      text += buf;
    }
  }
  return text;
}


const char* KindText(ReceivedFrame::Kind kind) {
  switch (kind) {
    case ReceivedFrame::Kind::kCommand: return "command";
    case ReceivedFrame::Kind::kEnquiry: return "enquiry";
    case ReceivedFrame::Kind::kBadFrame: return "bad frame";
    case ReceivedFrame::Kind::kNoise: return "noise";
    case ReceivedFrame::Kind::kLineMismatch: return "wrong line settings";
  }
  return "?";
}

std::string DecodedName(const LineRecord& record) {
  const std::vector<std::uint8_t>& b = record.bytes;
  if (record.direction == LineRecord::Direction::kReceived) {
    if (record.kind != ReceivedFrame::Kind::kCommand) return KindText(record.kind);
    // STX DC1 letter two-more ... ETX BCC: the command code is the three characters after DC1.
    if (b.size() >= 5 && b[1] == kDc1) {
      std::string code(b.begin() + 2, b.begin() + std::min<std::size_t>(5, b.size() - 2));
      const char* name = CommandName(static_cast<char>(b[2]));
      return Printable({code.begin(), code.end()}) + " " + (name != nullptr ? name : "command");
    }
    return "command";
  }
  std::string about;
  if (record.answers == static_cast<char>(kEnq)) {
    about = "to ENQ";
  } else if (record.answers == 0x01) {
    about = "unasked";
  } else if (record.answers == 0) {
    about = "to a refused frame";
  } else if (const char* name = CommandName(record.answers)) {
    about = std::string("to ") + name;
  }
  std::string what;
  if (b.size() == 1) {
    const char* name = ControlName(b[0]);
    what = name != nullptr ? name : Printable(b);
  } else if (b.size() >= 4 && b[0] == kDle && b[1] == kStx) {
    what = "data, " + std::to_string(b.size() - 6) + " bytes";
  } else {
    what = "bytes";
  }
  return about.empty() ? what : what + " " + about;
}

json CountsJson(const CashCounts& counts) { return json(std::vector<int>(counts.begin(), counts.end())); }

json StateJson(const EngineSnapshot& s) {
  json j;
  j["model"] = std::string(TraitsOf(s.model).display_name);
  j["line"] = FormatLineSettings(s.line);
  j["mode_a"] = s.mode_a;
  j["unplugged"] = s.unplugged;
  j["jammed"] = s.jammed;
  char number[8];
  std::snprintf(number, sizeof number, "%04X", s.error_number);
  j["error_number"] = s.jammed ? number : "";
  j["cassette_removed"] = s.cassette_removed;
  j["auto_take"] = s.auto_take;
  j["wire_timing"] = s.wire_timing;
  const char* action = s.action != 0 ? CommandName(s.action) : nullptr;
  j["action"] = s.action == 0 ? "" : action != nullptr ? action : "action";
  j["status"] = std::string(s.status.begin(), s.status.end());
  j["faces"] = json(std::vector<int>(kFaceValues.begin(), kFaceValues.end()));
  j["stock"] = CountsJson(s.stock);
  j["box"] = CountsJson(s.box);
  json thresholds = json::array();
  json bits = json::array();
  for (int i = 0; i < kDenominationCount; ++i) {
    const Thresholds& t = s.thresholds[static_cast<std::size_t>(i)];
    thresholds.push_back({t.empty, t.near_empty, t.near_full, t.full});
    GroupBit g = GroupBitOf(i);
    bits.push_back({g.offset, g.bit});
  }
  j["thresholds"] = thresholds;
  j["level_bits"] = bits;
  j["bill_box"] = {s.bill_box_near_full, s.bill_box_full};
  j["deposit"] = {{"open", s.deposit.open},
                  {"intake_open", s.deposit.intake_open},
                  {"held", s.deposit.held},
                  {"bill_counting", s.deposit.bill_counting},
                  {"coin_counting", s.deposit.coin_counting},
                  {"counted", CountsJson(s.deposit.counted)},
                  {"amount", CashAmount(s.deposit.counted)},
                  {"coin_rejects", s.deposit.coin_rejects},
                  {"bill_rejects", s.deposit.bill_rejects}};
  j["outlets"] = CountsJson(s.at_outlets);
  j["coin_tray"] = s.coin_tray;
  j["bill_outlet"] = s.bill_outlet;
  j["bill_entrance"] = s.bill_entrance;
  j["pending_faults"] = s.pending_faults;
  return j;
}

std::string SseMessage(const char* event, const std::string& data) {
  return std::string("event: ") + event + "\ndata: " + data + "\n\n";
}

// The address part of a Host header: "127.0.0.1:8080" -> "127.0.0.1", "[::1]:80" -> "::1".
std::string HostName(const std::string& host) {
  if (host.starts_with("[")) {
    std::size_t close = host.find(']');
    return close == std::string::npos ? host : host.substr(1, close - 1);
  }
  return host.substr(0, host.find(':'));
}

bool IsLoopbackName(const std::string& name) {
  return name == "localhost" || name == "::1" || name.starts_with("127.");
}

}  // namespace

std::optional<WebPanelOptions> ParseListenAddress(std::string_view text) {
  WebPanelOptions options;
  std::string_view port = text;
  if (text.starts_with("[")) {
    std::size_t close = text.find("]:");
    if (close == std::string_view::npos || close == 1) return std::nullopt;
    options.address = std::string(text.substr(1, close - 1));
    port = text.substr(close + 2);
  } else if (std::size_t colon = text.rfind(':'); colon != std::string_view::npos) {
    if (colon == 0 || text.substr(0, colon).find(':') != std::string_view::npos) return std::nullopt;
    options.address = std::string(text.substr(0, colon));
    port = text.substr(colon + 1);
  }
  int value = -1;
  auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
  if (port.empty() || ec != std::errc() || end != port.data() + port.size() || value < 0 || value > 65535) {
    return std::nullopt;
  }
  options.port = value;
  return options;
}

struct WebPanel::Inner {
  httplib::Server server;
  std::thread listen_thread;
  std::thread publish_thread;
  int port = 0;

  mutable platform::Mutex mutex;           // lock order: the engine's lock, then this one
  std::condition_variable work_cv;         // the publisher waits for work
  mutable std::condition_variable published_cv;  // event streams and WaitPublished wait for messages
  bool stopping VEX_GUARDED_BY(mutex) = false;
  bool listen_returned VEX_GUARDED_BY(mutex) = false;
  bool dirty VEX_GUARDED_BY(mutex) = true;                      // the machine may have changed
  bool publishing VEX_GUARDED_BY(mutex) = false;                // the publisher holds a batch it has not published yet
  std::deque<LineRecord> pending VEX_GUARDED_BY(mutex);         // observed, not yet published
  std::uint64_t seen VEX_GUARDED_BY(mutex) = 0;                 // frames observed
  std::uint64_t published VEX_GUARDED_BY(mutex) = 0;            // frames published
  std::deque<std::string> frame_log VEX_GUARDED_BY(mutex);      // JSON of the kept frames, oldest first
  std::size_t frame_log_bytes VEX_GUARDED_BY(mutex) = 0;
  struct Message {
    std::uint64_t seq;
    std::string text;
  };
  std::deque<Message> messages VEX_GUARDED_BY(mutex);
  std::size_t message_bytes VEX_GUARDED_BY(mutex) = 0;
  std::uint64_t next_seq VEX_GUARDED_BY(mutex) = 1;
  std::string state_json VEX_GUARDED_BY(mutex) = "{}";
  std::deque<std::string> recent_lines VEX_GUARDED_BY(mutex);   // JSON of the last control lines
  int streams VEX_GUARDED_BY(mutex) = 0;

  void AddMessage(const char* event, const std::string& data) VEX_REQUIRES(mutex) {
    messages.push_back({next_seq++, SseMessage(event, data)});
    message_bytes += messages.back().text.size();
    while (messages.size() > kMaxMessages || (message_bytes > kMaxMessageBytes && messages.size() > 1)) {
      message_bytes -= messages.front().text.size();
      messages.pop_front();
    }
  }

  // Everything a page needs to start from.
  std::string Hello(std::size_t max_frames) const VEX_REQUIRES(mutex) {
    std::string frames = "[";
    for (const std::string& f : frame_log) {
      if (frames.size() > 1) frames += ",";
      frames += f;
    }
    frames += "]";
    std::string lines = "[";
    for (const std::string& l : recent_lines) {
      if (lines.size() > 1) lines += ",";
      lines += l;
    }
    lines += "]";
    return SseMessage("hello", "{\"max_frames\":" + std::to_string(max_frames) + ",\"state\":" + state_json +
                                   ",\"frames\":" + frames + ",\"lines\":" + lines + "}");
  }
};

WebPanel::WebPanel(ChangerEngine& engine, WebPanelOptions options)
    : engine_(engine), options_(std::move(options)), token_(RandomToken()), inner_(std::make_unique<Inner>()) {
  if (options_.max_frames == 0) options_.max_frames = 1;
}

WebPanel::~WebPanel() { Stop(); }

WebPanel::StartResult WebPanel::Start() {
  Inner& in = *inner_;
  if (in.listen_thread.joinable()) return {false, "already started"};
  httplib::Server& server = in.server;
  server.set_payload_max_length(4096);
  // Event-stream messages are small writes one after another; waiting for the
  // page's acknowledgement of each (Nagle's algorithm against delayed ACKs)
  // would hold every message back by tens of milliseconds.
  server.set_tcp_nodelay(true);
  const bool loopback_only = IsLoopbackName(options_.address);

  // Every request: the Host must be ours when we listen on the loopback, and
  // everything but the page needs the token.
  server.set_pre_routing_handler([this, loopback_only](const httplib::Request& req, httplib::Response& res) {
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Cache-Control", "no-store");
    if (loopback_only && !IsLoopbackName(HostName(req.get_header_value("Host")))) {
      res.status = 403;
      res.set_content("forbidden: not a loopback host name\n", "text/plain");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (req.path == "/" && req.method == "GET") return httplib::Server::HandlerResponse::Unhandled;
    std::string given = req.has_header("X-Panel-Token") ? req.get_header_value("X-Panel-Token")
                                                        : req.get_param_value("token");
    if (!SameToken(given, token_)) {
      res.status = 403;
      res.set_content("forbidden: this request needs the panel's token\n", "text/plain");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });

  server.Get("/", [this](const httplib::Request&, httplib::Response& res) {
    std::string page(WebPanelPage());
    std::size_t at = page.find("{{TOKEN}}");
    if (at != std::string::npos) page.replace(at, 9, token_);
    res.set_header("Content-Security-Policy",
                   "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                   "connect-src 'self'; img-src data:; frame-ancestors 'none'; form-action 'none'");
    res.set_header("X-Frame-Options", "DENY");
    res.set_content(page, "text/html; charset=utf-8");
  });

  server.Post("/line", [this](const httplib::Request& req, httplib::Response& res) {
    json body = json::parse(req.body, nullptr, false);
    if (body.is_discarded() || !body.is_object() || !body.contains("line") || !body["line"].is_string()) {
      res.status = 400;
      res.set_content("{\"ok\":false,\"reply\":\"error: the body is {\\\"line\\\": \\\"...\\\"}\\n\"}",
                      "application/json");
      return;
    }
    std::string line = body["line"].get<std::string>();
    ControlReply reply;
    const std::size_t start = std::min(line.size(), line.find_first_not_of(" \t"));
    const std::string first = line.substr(start, line.find_first_of(" \t", start) - start);
    if (line.size() > kMaxLineLength || line.find_first_of("\r\n") != std::string::npos) {
      reply = ControlReply{false, false, "error: one line, at most 512 characters\n"};
    } else if (first == "quit" || first == "exit") {
      reply = ControlReply{false, false, "error: the program is ended where it was started, not from the panel\n"};
    } else {
      reply = ExecuteControlLine(engine_, line);
    }
    json answer = {{"line", line}, {"ok", reply.ok}, {"reply", reply.text}};
    std::string text = answer.dump(-1, ' ', false, json::error_handler_t::replace);
    {
      platform::MutexLock lock(inner_->mutex);
      inner_->recent_lines.push_back(text);
      if (inner_->recent_lines.size() > kRecentLines) inner_->recent_lines.pop_front();
      inner_->AddMessage("line", text);
      inner_->dirty = true;
    }
    inner_->work_cv.notify_one();
    inner_->published_cv.notify_all();
    res.set_content(text, "application/json");
  });

  server.Get("/events", [this](const httplib::Request&, httplib::Response& res) {
    Inner& inner = *inner_;
    {
      platform::MutexLock lock(inner.mutex);
      if (inner.streams >= options_.max_event_streams) {
        res.status = 503;
        res.set_content("too many open panels\n", "text/plain");
        return;
      }
      ++inner.streams;
    }
    // 0: the page has not been sent its starting picture yet.
    auto cursor = std::make_shared<std::uint64_t>(0);
    const std::size_t max_frames = options_.max_frames;
    res.set_chunked_content_provider(
        "text/event-stream",
        [&inner, cursor, max_frames](std::size_t, httplib::DataSink& sink) {
          std::string out;
          {
            platform::MutexLock lock(inner.mutex);
            auto behind = [&]() VEX_REQUIRES(inner.mutex) { return inner.next_seq - 1 > *cursor; };
            if (*cursor != 0 && !inner.stopping && !behind()) {
              inner.published_cv.wait_for(lock.native(), kKeepAlive,
                                          [&]() VEX_REQUIRES(inner.mutex) { return inner.stopping || behind(); });
            }
            if (inner.stopping) {
              lock.Unlock();
              sink.done();
              return false;
            }
            bool lost = !inner.messages.empty() && inner.messages.front().seq > *cursor + 1;
            if (*cursor == 0 || lost) {
              out = inner.Hello(max_frames);
            } else if (behind()) {
              for (const Inner::Message& m : inner.messages) {
                if (m.seq > *cursor) out += m.text;
              }
            } else {
              out = ": still here\n\n";
            }
            *cursor = inner.next_seq - 1;
          }
          return sink.write(out.data(), out.size());
        },
        [&inner](bool) {
          platform::MutexLock lock(inner.mutex);
          --inner.streams;
        });
  });

  int port = options_.port == 0 ? server.bind_to_any_port(options_.address)
                                : (server.bind_to_port(options_.address, options_.port) ? options_.port : -1);
  if (port < 0) {
    return {false, "cannot listen on " + options_.address + ":" + std::to_string(options_.port)};
  }
  in.port = port;
  engine_.SetLineObserver([&in, max = options_.max_frames](const LineRecord& record) {
    {
      platform::MutexLock lock(in.mutex);
      in.pending.push_back(record);
      // A page shows no more than |max| frames, so more are never worth keeping.
      if (in.pending.size() > max) in.pending.pop_front();
      ++in.seen;
    }
    in.work_cv.notify_one();
  });
  in.publish_thread = std::thread([this] { Publish(); });
  in.listen_thread = std::thread([&in] {
    in.server.listen_after_bind();
    platform::MutexLock lock(in.mutex);
    in.listen_returned = true;
    in.published_cv.notify_all();
  });
  return {true, ""};
}

void WebPanel::Stop() {
  Inner& in = *inner_;
  if (!in.listen_thread.joinable()) return;
  engine_.SetLineObserver({});
  {
    platform::MutexLock lock(in.mutex);
    in.stopping = true;
  }
  in.work_cv.notify_all();
  in.published_cv.notify_all();
  // The listening thread may not have begun to listen yet, and a stop before
  // that is not remembered: ask again until it has returned.
  {
    platform::MutexLock lock(in.mutex);
    while (!in.listen_returned) {
      lock.Unlock();
      in.server.stop();
      lock.Lock();
      in.published_cv.wait_for(lock.native(), std::chrono::milliseconds(20),
                               [&]() VEX_REQUIRES(in.mutex) { return in.listen_returned; });
    }
  }
  in.listen_thread.join();
  in.publish_thread.join();
}

void WebPanel::Publish() {
  Inner& in = *inner_;
  std::optional<int64_t> wake_at_us;
  while (true) {
    std::deque<LineRecord> batch;
    {
      platform::MutexLock lock(in.mutex);
      auto ready = [&]() VEX_REQUIRES(in.mutex) { return in.stopping || in.dirty || !in.pending.empty(); };
      if (wake_at_us) {
        int64_t ahead = *wake_at_us - engine_.clock().NowUs();
        ahead = ahead <= 0 ? kOverdueNap : std::min(ahead, kLongestNap);
        in.work_cv.wait_for(lock.native(), std::chrono::microseconds(ahead), ready);
      } else {
        in.work_cv.wait(lock.native(), ready);
      }
      if (in.stopping) return;
      batch.swap(in.pending);
      in.dirty = false;
      in.publishing = true;
    }
    // Outside our lock: the engine's lock comes first.
    EngineSnapshot snapshot = engine_.Snapshot();
    wake_at_us = snapshot.next_event_us;
    std::string state = StateJson(snapshot).dump(-1, ' ', false, json::error_handler_t::replace);
    // Wall-clock time of each frame, from the engine's clock.
    const int64_t wall_now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::system_clock::now().time_since_epoch())
                                    .count();
    std::vector<std::string> frames;
    frames.reserve(batch.size());
    for (const LineRecord& record : batch) {
      json f = {{"t", wall_now_ms - (snapshot.time_us - record.time_us) / 1000},
                {"dir", record.direction == LineRecord::Direction::kReceived ? "rx" : "tx"},
                {"text", Printable(record.bytes)},
                {"hex", HexBytes(record.bytes)},
                {"name", DecodedName(record)},
                {"detail", record.detail}};
      frames.push_back(f.dump(-1, ' ', false, json::error_handler_t::replace));
    }
    {
      platform::MutexLock lock(in.mutex);
      std::string array = "[";
      for (std::string& f : frames) {
        if (array.size() > 1) array += ",";
        array += f;
        in.frame_log_bytes += f.size();
        in.frame_log.push_back(std::move(f));
        if (in.frame_log.size() > options_.max_frames) {
          in.frame_log_bytes -= in.frame_log.front().size();
          in.frame_log.pop_front();
        }
      }
      array += "]";
      in.published += batch.size();
      in.publishing = false;
      if (!batch.empty()) in.AddMessage("frames", array);
      if (state != in.state_json) {
        in.state_json = state;
        in.AddMessage("state", state);
      }
    }
    in.published_cv.notify_all();
  }
}

int WebPanel::Port() const { return inner_->port; }

std::string WebPanel::Url() const {
  bool v6 = options_.address.find(':') != std::string::npos;
  return "http://" + (v6 ? "[" + options_.address + "]" : options_.address) + ":" + std::to_string(Port()) + "/";
}

std::size_t WebPanel::FramesKept() const {
  platform::MutexLock lock(inner_->mutex);
  return inner_->frame_log.size();
}

std::uint64_t WebPanel::FramesSeen() const {
  platform::MutexLock lock(inner_->mutex);
  return inner_->seen;
}

std::size_t WebPanel::BytesHeld() const {
  platform::MutexLock lock(inner_->mutex);
  std::size_t bytes = inner_->frame_log_bytes + inner_->message_bytes + inner_->state_json.size();
  for (const LineRecord& r : inner_->pending) bytes += r.bytes.size() + r.detail.size();
  for (const std::string& l : inner_->recent_lines) bytes += l.size();
  return bytes;
}

bool WebPanel::WaitPublished(int timeout_ms) const {
  platform::MutexLock lock(inner_->mutex);
  return inner_->published_cv.wait_for(lock.native(), std::chrono::milliseconds(timeout_ms),
                                       [&]() VEX_REQUIRES(inner_->mutex) {
                                         return inner_->pending.empty() && !inner_->publishing && !inner_->dirty;
                                       });
}

}  // namespace vexokrt::sim
