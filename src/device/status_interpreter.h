// SPDX-License-Identifier: Apache-2.0
// The status interpreter: what one status record means for the service
// object, given what the previous records meant. A pure calculation: no
// line, no locks, no host. The device layer feeds it every status record,
// keeps its memory, and carries out the verdict in the verdict's order
// (deposit state and count re-read, jam update, deposit restart, EMPTY and
// FULL updates, take-back question).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "device/status_record.h"
#include "link/model_code.h"

namespace vexokrt {

// What the interpreter needs to know of the service object and the device
// besides the record.
struct StatusContext {
  ModelCode model = ModelCode::kUnknown;
  int32_t current_exit = 0;    // CurrentExit: which sides count for EMPTY/FULL
  bool jam_held = false;       // a waited KRT02 take-back hides the error stop
  bool deposit_open = false;   // DepositStatus 1 or 4
  bool device_enabled = true;  // DeviceEnabled
  bool direct_io_mode = false;  // DirectIoMode 1
};

// The interpreter's memory from one record to the next.
struct StatusMemory {
  bool jam = false;
  // The jam state the application was last told (31 or 32). A jam found
  // while its updates are held back (ClaimNonEvent 1, disabled) is told
  // once they are allowed; one the application already heard of is not
  // told again.
  bool jam_told = false;
  StatusConditions conditions;
  bool unit_counting = false;    // the deposit unit counted at the last record
  bool restart_pending = false;  // a KRT07 deposit restart failed and is due again
  bool operator==(const StatusMemory&) const = default;
};

// The deposit restart a record asks for.
enum class DepositRestart {
  kNone,
  kAfterJam,  // the jam cleared while a deposit is open
  kRetry,     // an earlier restart failed and is tried again
};

struct StatusVerdict {
  bool jam = false;
  StatusConditions conditions;
  int32_t device_status = 0;  // DeviceStatus: 31, 11, 12 or 0
  int32_t full_status = 0;    // FullStatus: 21, 22 or 0
  // The deposit unit counts (the deposit saw counting).
  bool unit_counting = false;
  // The DepositStatus to set (a deposit is open on a known model).
  std::optional<int32_t> deposit_status;
  // The deposit counts are to be read again and a change reported.
  bool reread_deposit_counts = false;
  // The jam status update to queue (31 or 32).
  std::optional<int32_t> jam_update;
  DepositRestart restart = DepositRestart::kNone;
  // The EMPTY/NEAREMPTY/EMPTYOK and FULL/NEARFULL/FULLOK updates, in order.
  std::vector<int32_t> level_updates;
  // KRT03 in DirectIoMode 1 waits with a take-back it cannot finish: the
  // application is asked whether to retry.
  bool ask_take_back = false;
  // The memory for the next record. Its restart_pending holds when no
  // restart runs; after a restart see RestartPendingAfter.
  StatusMemory next;
};

class StatusInterpreter {
 public:
  struct Settings {
    bool reread_at_every_status = false;  // DepositEVTset 1 (KRT07/KRT77)
    bool quiet_until_enabled = false;     // ClaimNonEvent 1: no jam update while disabled
  };

  explicit StatusInterpreter(Settings settings) : settings_(settings) {}

  StatusVerdict Interpret(std::span<const uint8_t> record, const StatusContext& context,
                          const StatusMemory& previous) const;

  // Whether a restart stays due after the restart |verdict| asked for ran
  // and |restarted| says how it went.
  static bool RestartPendingAfter(const StatusVerdict& verdict, ModelCode model, bool restarted);

 private:
  const Settings settings_;
};

}  // namespace vexokrt
