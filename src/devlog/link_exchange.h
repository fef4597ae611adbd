// The memory-read exchange that goes straight to the serial link.
#pragma once

#include "devlog/memory_read.h"
#include "link/serial_link.h"

namespace vexokrt::devlog {

// Frames the command, then receives the answer with the given time-out and
// the link's follow-up reads allowed (normal rule), so a BEL from a KRT07 or
// KRT77 comes back with its error code. Only for the thread that owns the
// line: the communication thread, or a caller that has paused the watch.
class LinkMemoryReads : public MemoryReadExchange {
 public:
  explicit LinkMemoryReads(link::SerialLink& link) : link_(link) {}

  DeviceReply Exchange(std::span<const uint8_t> command, int32_t timeout_ms) override {
    DeviceReply reply;
    const int sent = link_.SendFrame(command);
    if (sent != 0) {
      // The port would not take the frame; no answer can follow.
      reply.status = sent;
      return reply;
    }
    link_.ReceiveAnswer(reply, timeout_ms, /*suppress_follow_ups=*/false, /*alternative_bell_rule=*/false);
    return reply;
  }

 private:
  link::SerialLink& link_;
};

}  // namespace vexokrt::devlog
