// SPDX-License-Identifier: Apache-2.0
// WebPanel: the simulated machine in a browser. One page, built into the
// program, shows every tube and cassette with its fill level, the collection
// box, the deposit, the outlets, the status record and the line traffic, and
// offers every control-language action as a button. Each button sends one
// control line (the page shows the line), carried out by ExecuteControlLine
// exactly as if it had been typed; nothing else changes the machine.
//
// The page is kept up to date by Server-Sent Events (GET /events): a snapshot
// of the machine whenever it changed, and the frames as they cross the line.
// Actions are POST /line requests with a JSON body {"line": "..."}.
//
// Safety: the panel listens on 127.0.0.1 unless told otherwise. Every request
// but the page itself must carry the per-run random token that is built into
// the page (header X-Panel-Token, or ?token= for the event stream), so another
// web site open in the same browser cannot drive or watch the machine (it
// cannot read the page, so it never learns the token); requests without it get
// 403. On a loopback address the Host header must name the loopback too, which
// keeps a rebound DNS name from reaching the page. No file is served from disk.
//
// Memory: the panel keeps the last |max_frames| frames (and the page shows no
// more), so a line busy for hours costs no more than a quiet one.
//
// Start, Stop and the accessors may be called from any thread; the engine must
// outlive the panel. The panel installs the engine's line observer for its
// lifetime.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "sim/changer_engine.h"

namespace vexokrt::sim {

struct WebPanelOptions {
  std::string address = "127.0.0.1";
  int port = 0;                    // 0: any free port (see WebPanel::Port)
  std::size_t max_frames = 500;    // frames kept for the log
  int max_event_streams = 4;       // open pages at once; more are refused (503)
};

// Parses "[ADDR:]PORT" ("8080", "0", "127.0.0.1:0", "0.0.0.0:8080", "[::1]:8080").
// Without an address the panel stays on 127.0.0.1. Nothing on a malformed text
// or a port outside 0-65535.
std::optional<WebPanelOptions> ParseListenAddress(std::string_view text);

class WebPanel {
 public:
  WebPanel(ChangerEngine& engine, WebPanelOptions options);
  ~WebPanel();
  WebPanel(const WebPanel&) = delete;
  WebPanel& operator=(const WebPanel&) = delete;

  // Binds the address and starts serving. The error names what failed.
  struct StartResult {
    bool ok = false;
    std::string error;
  };
  StartResult Start();
  // Stops serving: open event streams end, the threads are joined, the line
  // observer is removed. Safe to call more than once.
  void Stop();

  // The port actually bound (the chosen one when the options said 0); 0 before Start.
  int Port() const;
  // "http://ADDRESS:PORT/".
  std::string Url() const;
  // The token every request but the page must carry.
  const std::string& Token() const { return token_; }

  // Frames kept for the log now (at most max_frames), and all frames seen.
  std::size_t FramesKept() const;
  std::uint64_t FramesSeen() const;
  // Bytes held by the kept frames and the queued event-stream messages; stays
  // bounded however long the line is busy.
  std::size_t BytesHeld() const;
  // Waits (real time) until every frame seen so far has been published to the
  // event streams; false on time-out.
  bool WaitPublished(int timeout_ms) const;

  struct Inner;

 private:
  // The publishing thread: turns observed frames and machine changes into
  // event-stream messages.
  void Publish();

  ChangerEngine& engine_;
  WebPanelOptions options_;
  std::string token_;
  std::unique_ptr<Inner> inner_;
};

// The page, with "{{TOKEN}}" where the token goes.
std::string_view WebPanelPage();

}  // namespace vexokrt::sim
