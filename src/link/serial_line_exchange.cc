#include "link/serial_line_exchange.h"

namespace vexokrt {

SerialLineExchange::SerialLineExchange(std::unique_ptr<link::SerialLink> serial_link) : link_(std::move(serial_link)) {
  link_->SetCommThreadControl(this);
}

SerialLineExchange::~SerialLineExchange() {
  link_->ClosePort();
  link_->SetCommThreadControl(nullptr);
}

int SerialLineExchange::OpenPort() { return link_->OpenPort(); }
int SerialLineExchange::ClosePort() { return link_->ClosePort(); }
bool SerialLineExchange::IsOpen() const { return link_->IsOpen(); }

void SerialLineExchange::SetThreadHooks(ThreadHooks hooks) {
  std::lock_guard<std::mutex> lock(hooks_lock_);
  hooks_ = std::move(hooks);
}

ThreadHooks SerialLineExchange::Hooks() const {
  std::lock_guard<std::mutex> lock(hooks_lock_);
  return hooks_;
}

ModelCode SerialLineExchange::Model() const { return link_->Model(); }
int SerialLineExchange::DetectModel() { return link_->DetectModel(); }
void SerialLineExchange::SendFrame(std::span<const uint8_t> command) { link_->SendFrame(command); }

int32_t SerialLineExchange::SendEnquiry(DeviceReply& reply, int32_t timeout_ms, bool suppress_follow_ups) {
  return link_->SendEnquiry(reply, timeout_ms, suppress_follow_ups);
}

int32_t SerialLineExchange::ReceiveAnswer(DeviceReply& reply, int32_t timeout_ms, bool suppress_follow_ups,
                                          bool alternative_bell_rule) {
  return link_->ReceiveAnswer(reply, timeout_ms, suppress_follow_ups, alternative_bell_rule);
}

void SerialLineExchange::WriteBytes(std::span<const uint8_t> bytes) { link_->WriteBytes(bytes); }
int32_t SerialLineExchange::SwitchLineSpeed(int kind) { return link_->SwitchLineSpeed(kind); }
int32_t SerialLineExchange::ReadErrorNumber() { return link_->ReadErrorNumber(); }

int32_t SerialLineExchange::ReadKrt07ErrorCode(Krt07Rule rule) {
  switch (rule) {
    case Krt07Rule::kA:
      return link_->ReadKrt07ErrorCode(link::Krt07ErrorRule::kA);
    case Krt07Rule::kB:
      return link_->ReadKrt07ErrorCode(link::Krt07ErrorRule::kB);
    case Krt07Rule::kC:
      return link_->ReadKrt07ErrorCode(link::Krt07ErrorRule::kC);
  }
  return 0;
}

bool SerialLineExchange::Start() {
  const ThreadHooks hooks = Hooks();
  return !hooks.start || hooks.start() == 0;
}

void SerialLineExchange::Stop() {
  const ThreadHooks hooks = Hooks();
  if (hooks.stop) hooks.stop();
}

void SerialLineExchange::DiscardRequests() {
  const ThreadHooks hooks = Hooks();
  if (hooks.discard) hooks.discard();
}

std::unique_ptr<LineExchange> MakeSerialLine(diag::TraceLog& trace, std::string port_name, std::string line_settings,
                                             platform::Clock& clock) {
  return std::make_unique<SerialLineExchange>(
      std::make_unique<link::SerialLink>(trace, std::move(port_name), std::move(line_settings),
                                         link::SerialLink::PortOpener{}, clock));
}

}  // namespace vexokrt
