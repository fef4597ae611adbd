// The serial link as the communication thread and the device layer use it:
// LineExchange over a SerialLink, with the link's thread control wired to the
// hooks that start, stop and drain the communication thread.
#pragma once

#include <memory>
#include <mutex>

#include "link/line_exchange.h"
#include "link/serial_link.h"

namespace vexokrt {

class SerialLineExchange final : public LineExchange, private link::CommThreadControl {
 public:
  explicit SerialLineExchange(std::unique_ptr<link::SerialLink> serial_link);
  ~SerialLineExchange() override;

  link::SerialLink& Link() { return *link_; }

  int OpenPort() override;
  int ClosePort() override;
  bool IsOpen() const override;
  void SetThreadHooks(ThreadHooks hooks) override;
  ModelCode Model() const override;
  int DetectModel() override;
  void SendFrame(std::span<const uint8_t> command) override;
  int32_t SendEnquiry(DeviceReply& reply, int32_t timeout_ms, bool suppress_follow_ups) override;
  int32_t ReceiveAnswer(DeviceReply& reply, int32_t timeout_ms, bool suppress_follow_ups,
                        bool alternative_bell_rule) override;
  void WriteBytes(std::span<const uint8_t> bytes) override;
  int32_t SwitchLineSpeed(int kind) override;
  int32_t ReadErrorNumber() override;
  int32_t ReadKrt07ErrorCode(Krt07Rule rule) override;

 private:
  // link::CommThreadControl
  bool Start() override;
  void Stop() override;
  void DiscardRequests() override;

  ThreadHooks Hooks() const;

  std::unique_ptr<link::SerialLink> link_;
  mutable std::mutex hooks_lock_;
  ThreadHooks hooks_;  // guarded by hooks_lock_
};

// A line over the configured serial port (|port_name|, |line_settings| such
// as "9600,E,8,1"); |trace| must outlive it.
std::unique_ptr<LineExchange> MakeSerialLine(diag::TraceLog& trace, std::string port_name, std::string line_settings,
                                             platform::Clock& clock = platform::SystemClock());

}  // namespace vexokrt
