// SPDX-License-Identifier: Apache-2.0
// The C interface: each function runs the C++ control inside a guard, so no
// exception (an allocation that fails, a callback of C++ code that throws)
// ever leaves through it.
#include "control/cash_changer_c.h"

#include <cstring>
#include <new>
#include <string>

#include "control/cash_changer.h"
#include "control/names.h"

struct vexokrt_cash_changer final : vexokrt::CashChangerListener {
  vexokrt::CashChanger control;
  // What a const char ** hands out: valid until the next call.
  std::string text;
  vexokrt_data_event_fn data_event = nullptr;
  void* data_event_user = nullptr;
  vexokrt_status_update_fn status_update = nullptr;
  void* status_update_user = nullptr;
  vexokrt_direct_io_fn direct_io = nullptr;
  void* direct_io_user = nullptr;

  void DataEvent(int32_t status) override {
    if (data_event != nullptr) data_event(data_event_user, status);
  }
  void StatusUpdateEvent(int32_t data) override {
    if (status_update != nullptr) status_update(status_update_user, data);
  }
  void DirectIOEvent(int32_t event_number, int32_t& data, std::string& event_text) override {
    if (direct_io == nullptr) return;
    const char* answer = event_text.c_str();
    const char* given = answer;
    direct_io(direct_io_user, event_number, &data, &answer);
    if (answer != given) event_text = answer != nullptr ? answer : "";
  }
};

namespace {

constexpr int32_t kSuccess = 0;
constexpr int32_t kIllegal = 106;  // OPOS_E_ILLEGAL
constexpr int32_t kFailure = 111;  // OPOS_E_FAILURE

// Runs |body| for a handle; 106 without one, 111 when it threw.
template <typename Body>
int32_t Guard(vexokrt_cash_changer* cc, Body body) noexcept {
  if (cc == nullptr) return kIllegal;
  try {
    return body(*cc);
  } catch (...) {
    return kFailure;
  }
}

// Hands |value| out through |out| as the handle's text.
void HandOut(vexokrt_cash_changer& cc, std::string value, const char** out) {
  cc.text = std::move(value);
  if (out != nullptr) *out = cc.text.c_str();
}

vexokrt::NameTable Table(vexokrt_names table) {
  switch (table) {
    case VEXOKRT_NAMES_RESULT_CODE:
      return vexokrt::NameTable::kResultCode;
    case VEXOKRT_NAMES_EXTENDED_CODE:
      return vexokrt::NameTable::kExtendedCode;
    case VEXOKRT_NAMES_STATUS_UPDATE:
      return vexokrt::NameTable::kStatusUpdate;
    case VEXOKRT_NAMES_DIRECT_IO_EVENT:
      return vexokrt::NameTable::kDirectIoEvent;
  }
  return vexokrt::NameTable::kResultCode;
}
bool KnownTable(vexokrt_names table) {
  return table >= VEXOKRT_NAMES_RESULT_CODE && table <= VEXOKRT_NAMES_DIRECT_IO_EVENT;
}

size_t CopyOut(const std::string& text, char* buffer, size_t size) {
  if (buffer != nullptr && size > 0) {
    const size_t n = text.size() < size - 1 ? text.size() : size - 1;
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
  }
  return text.size();
}

}  // namespace

extern "C" {

int32_t vexokrt_cc_new(vexokrt_cash_changer** cc) {
  if (cc == nullptr) return kIllegal;
  *cc = nullptr;
  try {
    auto* made = new vexokrt_cash_changer();
    made->control.SetListener(made);
    *cc = made;
    return kSuccess;
  } catch (...) {
    return kFailure;
  }
}

void vexokrt_cc_free(vexokrt_cash_changer** cc) {
  if (cc == nullptr || *cc == nullptr) return;
  vexokrt_cash_changer* doomed = *cc;
  *cc = nullptr;
  delete doomed;
}

int32_t vexokrt_cc_open(vexokrt_cash_changer* cc, const char* device_name) {
  if (device_name == nullptr) return kIllegal;
  return Guard(cc, [&](vexokrt_cash_changer& c) { return c.control.Open(device_name); });
}
int32_t vexokrt_cc_close(vexokrt_cash_changer* cc) {
  return Guard(cc, [](vexokrt_cash_changer& c) { return c.control.Close(); });
}
int32_t vexokrt_cc_open_result(vexokrt_cash_changer* cc, int32_t* open_result) {
  if (open_result == nullptr) return kIllegal;
  return Guard(cc, [&](vexokrt_cash_changer& c) {
    *open_result = c.control.OpenResult();
    return kSuccess;
  });
}
int32_t vexokrt_cc_open_message(vexokrt_cash_changer* cc, const char** message) {
  if (message == nullptr) return kIllegal;
  return Guard(cc, [&](vexokrt_cash_changer& c) {
    HandOut(c, c.control.OpenMessage(), message);
    return kSuccess;
  });
}

int32_t vexokrt_cc_claim_device(vexokrt_cash_changer* cc, int32_t timeout_ms) {
  return Guard(cc, [&](vexokrt_cash_changer& c) { return c.control.ClaimDevice(timeout_ms); });
}
int32_t vexokrt_cc_release_device(vexokrt_cash_changer* cc) {
  return Guard(cc, [](vexokrt_cash_changer& c) { return c.control.ReleaseDevice(); });
}
int32_t vexokrt_cc_check_health(vexokrt_cash_changer* cc, int32_t level) {
  return Guard(cc, [&](vexokrt_cash_changer& c) { return c.control.CheckHealth(level); });
}
int32_t vexokrt_cc_clear_input(vexokrt_cash_changer* cc) {
  return Guard(cc, [](vexokrt_cash_changer& c) { return c.control.ClearInput(); });
}
int32_t vexokrt_cc_direct_io(vexokrt_cash_changer* cc, int32_t command, int32_t* data, const char* text,
                             const char** text_out) {
  if (data == nullptr) return kIllegal;
  return Guard(cc, [&](vexokrt_cash_changer& c) {
    std::string value = text != nullptr ? text : "";
    const int32_t result = c.control.DirectIO(command, *data, value);
    HandOut(c, std::move(value), text_out);
    return result;
  });
}
int32_t vexokrt_cc_read_cash_counts(vexokrt_cash_changer* cc, const char** cash_counts, bool* discrepancy) {
  if (cash_counts == nullptr || discrepancy == nullptr) return kIllegal;
  return Guard(cc, [&](vexokrt_cash_changer& c) {
    std::string counts;
    bool found = false;
    const int32_t result = c.control.ReadCashCounts(counts, found);
    HandOut(c, std::move(counts), cash_counts);
    *discrepancy = found;
    return result;
  });
}
int32_t vexokrt_cc_dispense_cash(vexokrt_cash_changer* cc, const char* cash_counts) {
  if (cash_counts == nullptr) return kIllegal;
  return Guard(cc, [&](vexokrt_cash_changer& c) { return c.control.DispenseCash(cash_counts); });
}
int32_t vexokrt_cc_dispense_change(vexokrt_cash_changer* cc, int32_t amount) {
  return Guard(cc, [&](vexokrt_cash_changer& c) { return c.control.DispenseChange(amount); });
}
int32_t vexokrt_cc_begin_deposit(vexokrt_cash_changer* cc) {
  return Guard(cc, [](vexokrt_cash_changer& c) { return c.control.BeginDeposit(); });
}
int32_t vexokrt_cc_fix_deposit(vexokrt_cash_changer* cc) {
  return Guard(cc, [](vexokrt_cash_changer& c) { return c.control.FixDeposit(); });
}
int32_t vexokrt_cc_pause_deposit(vexokrt_cash_changer* cc, int32_t control) {
  return Guard(cc, [&](vexokrt_cash_changer& c) { return c.control.PauseDeposit(control); });
}
int32_t vexokrt_cc_end_deposit(vexokrt_cash_changer* cc, int32_t success) {
  return Guard(cc, [&](vexokrt_cash_changer& c) { return c.control.EndDeposit(success); });
}

int32_t vexokrt_cc_reset_statistics(vexokrt_cash_changer* cc, const char* names) {
  if (names == nullptr) return kIllegal;
  return Guard(cc, [&](vexokrt_cash_changer& c) { return c.control.ResetStatistics(names); });
}
int32_t vexokrt_cc_retrieve_statistics(vexokrt_cash_changer* cc, const char* names, const char** statistics) {
  if (statistics == nullptr) return kIllegal;
  return Guard(cc, [&](vexokrt_cash_changer& c) {
    std::string buffer = names != nullptr ? names : "";
    const int32_t result = c.control.RetrieveStatistics(buffer);
    HandOut(c, std::move(buffer), statistics);
    return result;
  });
}
int32_t vexokrt_cc_update_statistics(vexokrt_cash_changer* cc, const char* values) {
  if (values == nullptr) return kIllegal;
  return Guard(cc, [&](vexokrt_cash_changer& c) { return c.control.UpdateStatistics(values); });
}
int32_t vexokrt_cc_compare_firmware_version(vexokrt_cash_changer* cc, const char* file_name, int32_t* result) {
  if (file_name == nullptr || result == nullptr) return kIllegal;
  return Guard(cc, [&](vexokrt_cash_changer& c) { return c.control.CompareFirmwareVersion(file_name, *result); });
}
int32_t vexokrt_cc_update_firmware(vexokrt_cash_changer* cc, const char* file_name) {
  if (file_name == nullptr) return kIllegal;
  return Guard(cc, [&](vexokrt_cash_changer& c) { return c.control.UpdateFirmware(file_name); });
}
int32_t vexokrt_cc_adjust_cash_counts(vexokrt_cash_changer* cc, const char* cash_counts) {
  if (cash_counts == nullptr) return kIllegal;
  return Guard(cc, [&](vexokrt_cash_changer& c) { return c.control.AdjustCashCounts(cash_counts); });
}

int32_t vexokrt_cc_result_code(vexokrt_cash_changer* cc, int32_t* result_code) {
  if (result_code == nullptr) return kIllegal;
  return Guard(cc, [&](vexokrt_cash_changer& c) {
    *result_code = c.control.ResultCode();
    return kSuccess;
  });
}
int32_t vexokrt_cc_result_code_extended(vexokrt_cash_changer* cc, int32_t* extended) {
  if (extended == nullptr) return kIllegal;
  return Guard(cc, [&](vexokrt_cash_changer& c) {
    *extended = c.control.ResultCodeExtended();
    return kSuccess;
  });
}
int32_t vexokrt_cc_get_number(vexokrt_cash_changer* cc, int32_t index, int32_t* value) {
  if (value == nullptr) return kIllegal;
  return Guard(cc, [&](vexokrt_cash_changer& c) { return c.control.GetPropertyNumber(index, *value); });
}
int32_t vexokrt_cc_set_number(vexokrt_cash_changer* cc, int32_t index, int32_t value) {
  return Guard(cc, [&](vexokrt_cash_changer& c) { return c.control.SetPropertyNumber(index, value); });
}
int32_t vexokrt_cc_get_string(vexokrt_cash_changer* cc, int32_t index, const char** value) {
  if (value == nullptr) return kIllegal;
  return Guard(cc, [&](vexokrt_cash_changer& c) {
    std::string text;
    const int32_t result = c.control.GetPropertyString(index, text);
    HandOut(c, std::move(text), value);
    return result;
  });
}
int32_t vexokrt_cc_set_string(vexokrt_cash_changer* cc, int32_t index, const char* value) {
  if (value == nullptr) return kIllegal;
  return Guard(cc, [&](vexokrt_cash_changer& c) { return c.control.SetPropertyString(index, value); });
}

int32_t vexokrt_cc_on_data_event(vexokrt_cash_changer* cc, vexokrt_data_event_fn callback, void* user) {
  return Guard(cc, [&](vexokrt_cash_changer& c) {
    c.data_event = callback;
    c.data_event_user = user;
    return kSuccess;
  });
}
int32_t vexokrt_cc_on_status_update(vexokrt_cash_changer* cc, vexokrt_status_update_fn callback, void* user) {
  return Guard(cc, [&](vexokrt_cash_changer& c) {
    c.status_update = callback;
    c.status_update_user = user;
    return kSuccess;
  });
}
int32_t vexokrt_cc_on_direct_io(vexokrt_cash_changer* cc, vexokrt_direct_io_fn callback, void* user) {
  return Guard(cc, [&](vexokrt_cash_changer& c) {
    c.direct_io = callback;
    c.direct_io_user = user;
    return kSuccess;
  });
}
int32_t vexokrt_cc_event_fd(vexokrt_cash_changer* cc, int* fd) {
  if (fd == nullptr) return kIllegal;
  return Guard(cc, [&](vexokrt_cash_changer& c) {
    *fd = c.control.EventFd();
    return kSuccess;
  });
}
int32_t vexokrt_cc_dispatch_events(vexokrt_cash_changer* cc, int32_t* fired) {
  return Guard(cc, [&](vexokrt_cash_changer& c) {
    const int n = c.control.DispatchEvents();
    if (fired != nullptr) *fired = n;
    return kSuccess;
  });
}
int32_t vexokrt_cc_wait_for_events(vexokrt_cash_changer* cc, int32_t timeout_ms, int32_t* fired) {
  return Guard(cc, [&](vexokrt_cash_changer& c) {
    const int n = c.control.WaitForEvents(timeout_ms);
    if (fired != nullptr) *fired = n;
    return kSuccess;
  });
}

const char* vexokrt_name(vexokrt_names table, int32_t code) {
  return KnownTable(table) ? vexokrt::NameOf(Table(table), code) : nullptr;
}
const char* vexokrt_text(vexokrt_names table, int32_t code) {
  if (!KnownTable(table)) return nullptr;
  const vexokrt::CodeName* row = vexokrt::FindName(Table(table), code);
  return row != nullptr ? row->text : nullptr;
}
int32_t vexokrt_name_at(vexokrt_names table, int32_t index, int32_t* code, const char** name, const char** text) {
  if (!KnownTable(table) || index < 0) return kIllegal;
  const auto rows = vexokrt::Names(Table(table));
  if (static_cast<size_t>(index) >= rows.size()) return kIllegal;
  if (code != nullptr) *code = rows[static_cast<size_t>(index)].code;
  if (name != nullptr) *name = rows[static_cast<size_t>(index)].name;
  if (text != nullptr) *text = rows[static_cast<size_t>(index)].text;
  return kSuccess;
}
size_t vexokrt_extended_text(int32_t code, char* buffer, size_t size) {
  try {
    return CopyOut(vexokrt::ExtendedCodeText(code), buffer, size);
  } catch (...) {
    return CopyOut({}, buffer, size);
  }
}
size_t vexokrt_describe_result(int32_t result, int32_t extended, char* buffer, size_t size) {
  try {
    return CopyOut(vexokrt::DescribeResult(result, extended), buffer, size);
  } catch (...) {
    return CopyOut({}, buffer, size);
  }
}

}  // extern "C"
