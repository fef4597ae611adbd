// SPDX-License-Identifier: Apache-2.0
// vexokrt::CashChanger: the UnifiedPOS CashChanger control for Linux
// applications, doing what a Control Object does on Windows.
//
//   #include <vexokrt/cash_changer.h>        // c++ -std=c++20 $(pkg-config --cflags --libs vexokrt)
//   vexokrt::CashChanger cc;
//   if (cc.Open("Changer1") != 0) { ... cc.OpenResult(), cc.OpenMessage() ... }
//   cc.ClaimDevice(3000);
//   cc.SetDeviceEnabled(true);
//   std::string counts; bool discrepancy = false;
//   cc.ReadCashCounts(counts, discrepancy);
//   int32_t result = cc.DispenseChange(1500);   // 114: see cc.ResultCodeExtended()
//
// Open creates the service object of the device name through the registry
// (the device key, its programmatic identifier, the class's library),
// checks its version (major version 1; a service object of an older 1.x
// release is served only the members it has) and looks its members up
// once, and calls its OpenService with the control's own event sink.
//
// Results: every method returns an OPOS result code (0 success, 101 before
// Open or after Close, 104 a member the service object does not have, 114
// with the reason in ResultCodeExtended()); vexokrt/names.h names them.
// Property setters return the ResultCode they leave. A getter read before
// Open gives 0 (or an empty text) and leaves ResultCode 101.
//
// Releases: the members and properties added after 1.6 (statistics from
// 1.8, firmware from 1.9, AdjustCashCounts and the 13010-13013, 13510,
// 13511 properties from 1.11) reach only a service object whose
// ServiceObjectVersion reports that release or a later one. On an older
// one a method answers 104 without reaching it, a getter gives 0 and leaves
// ResultCode 104, and a setter answers 104.
//
// Events: DataEvent, StatusUpdateEvent and DirectIOEvent go to the listener
// on the application's thread while it dispatches them: an application with
// its own loop waits on EventFd() (poll, epoll, GLib, Qt, asyncio) and calls
// DispatchEvents() when it is readable; one without a loop calls
// WaitForEvents(timeout). A listener that throws is caught; the error goes to
// the error handler (standard error unless one is set) and the service
// object is not disturbed.
//
// Threads: a CashChanger is used from one thread, the one that opens it.
// The service object's events arrive through that thread's message queue.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "names.h"

namespace vexokrt {

// Receives the events of a CashChanger. Every member runs on the thread that
// dispatches, inside DispatchEvents() or WaitForEvents(); it may call the
// CashChanger (for example to read DepositAmount or set DataEventEnabled
// again), but not close or destroy it.
class CashChangerListener {
 public:
  virtual ~CashChangerListener() = default;
  // A deposit has been counted (DataEventEnabled turns false).
  virtual void DataEvent(int32_t /*status*/) {}
  // |data|: a CHAN_STATUS_* value or a power state (names.h).
  virtual void StatusUpdateEvent(int32_t /*data*/) {}
  // |data| and |text| are the service object's pData and pString: what the
  // listener leaves in them goes back to it (for event 1, the take-back
  // question, data 1 means try again).
  virtual void DirectIOEvent(int32_t /*event_number*/, int32_t& /*data*/, std::string& /*text*/) {}
};

class CashChanger {
 public:
  CashChanger();
  // Closes the control when it is open.
  ~CashChanger();
  CashChanger(const CashChanger&) = delete;
  CashChanger& operator=(const CashChanger&) = delete;

  // --- opening ----------------------------------------------------------------
  // 0, or: 106 when already open (OpenResult 301); 104 when the service
  // object cannot be found or created (302 no device key, 303 no service
  // object named in it, 304 not created), lacks a member (305) or has
  // another major version (307); the service object's own result when its
  // OpenService fails (OpenResult its GetOpenResult, 306 when it gave none).
  int32_t Open(std::string_view device_name);
  // 0; 101 when not open; 106 from inside a listener (the service object
  // is still delivering the event); the service object's refusal (113
  // while busy) leaves the control open.
  int32_t Close();
  // Why the last Open failed, for people; empty after a successful one.
  const std::string& OpenMessage() const;

  // --- methods ----------------------------------------------------------------
  int32_t ClaimDevice(int32_t timeout_ms);
  int32_t ReleaseDevice();
  int32_t CheckHealth(int32_t level);
  int32_t ClearInput();
  int32_t DirectIO(int32_t command, int32_t& data, std::string& text);
  int32_t ReadCashCounts(std::string& cash_counts, bool& discrepancy);
  int32_t DispenseCash(std::string_view cash_counts);
  int32_t DispenseChange(int32_t amount);
  int32_t BeginDeposit();
  int32_t FixDeposit();
  int32_t PauseDeposit(int32_t control);
  int32_t EndDeposit(int32_t success);
  // Release 1.8. |statistics_buffer| goes in as the request ("" all, "U_"
  // the UnifiedPOS ones, "M_" the manufacturer's, or names separated by
  // ',') and comes back as the statistics XML document.
  int32_t ResetStatistics(std::string_view statistics_buffer);
  int32_t RetrieveStatistics(std::string& statistics_buffer);
  // "Name=Value,Name=Value".
  int32_t UpdateStatistics(std::string_view statistics_buffer);
  // Release 1.9. |result|: an OPOS_CFV_FIRMWARE_* value (1 older, 2 same,
  // 3 newer, 4 different, 5 unknown). UpdateFirmware goes on in the
  // background; its progress arrives as StatusUpdateEvent 2101-2200
  // (OPOS_SUE_UF_PROGRESS + percent) or a failure 2201-2205.
  int32_t CompareFirmwareVersion(std::string_view file_name, int32_t& result);
  int32_t UpdateFirmware(std::string_view file_name);
  // Release 1.11: the counts as ReadCashCounts gives them.
  int32_t AdjustCashCounts(std::string_view cash_counts);

  // --- the control's own properties -----------------------------------------------
  // The result of the last call; 101 before Open.
  int32_t ResultCode() const;
  int32_t ResultCodeExtended() const;
  // The outcome of the last Open (0 or an OPOS_OR_* / OPOS_ORS_* code).
  int32_t OpenResult() const;
  // OPOS_S_CLOSED (1) before Open, else the service object's State.
  int32_t State() const;
  int32_t ControlObjectVersion() const;
  std::string ControlObjectDescription() const;
  // Held by the service object through COFreezeEvents while true.
  bool FreezeEvents() const;
  int32_t SetFreezeEvents(bool freeze);

  // --- the service object's properties ---------------------------------------------
  bool Claimed() const;
  bool DataEventEnabled() const;
  int32_t SetDataEventEnabled(bool enabled);
  bool DeviceEnabled() const;
  int32_t SetDeviceEnabled(bool enabled);
  int32_t ServiceObjectVersion() const;
  int32_t BinaryConversion() const;
  int32_t SetBinaryConversion(int32_t conversion);
  int32_t DataCount() const;
  int32_t PowerNotify() const;
  int32_t SetPowerNotify(int32_t notify);
  int32_t PowerState() const;
  int32_t CapPowerReporting() const;
  bool AsyncMode() const;
  int32_t SetAsyncMode(bool async);
  int32_t AsyncResultCode() const;
  int32_t AsyncResultCodeExtended() const;
  int32_t CurrentExit() const;
  int32_t SetCurrentExit(int32_t exit);
  int32_t DeviceExits() const;
  int32_t DeviceStatus() const;
  int32_t FullStatus() const;
  int32_t DepositAmount() const;
  int32_t DepositStatus() const;
  bool CapDiscrepancy() const;
  bool CapEmptySensor() const;
  bool CapFullSensor() const;
  bool CapNearEmptySensor() const;
  bool CapNearFullSensor() const;
  bool CapDeposit() const;
  bool CapDepositDataEvent() const;
  bool CapPauseDeposit() const;
  bool CapRepayDeposit() const;
  // Release 1.8.
  bool CapStatisticsReporting() const;
  bool CapUpdateStatistics() const;
  // Release 1.9.
  bool CapCompareFirmwareVersion() const;
  bool CapUpdateFirmware() const;
  // Release 1.11.
  bool CapJamSensor() const;
  bool CapRealTimeData() const;
  bool RealTimeDataEnabled() const;
  int32_t SetRealTimeDataEnabled(bool enabled);
  int32_t CurrentService() const;
  int32_t SetCurrentService(int32_t service);
  int32_t ServiceCount() const;
  int32_t ServiceIndex() const;
  std::string CheckHealthText() const;
  std::string DeviceDescription() const;
  std::string DeviceName() const;
  std::string ServiceObjectDescription() const;
  std::string CurrencyCashList() const;
  std::string CurrencyCode() const;
  int32_t SetCurrencyCode(std::string_view code);
  std::string CurrencyCodeList() const;
  std::string ExitCashList() const;
  std::string DepositCashList() const;
  std::string DepositCodeList() const;
  std::string DepositCounts() const;

  // Any property by its index number (service/properties.h): the result
  // code of the read (0, 101 before Open, 104 for a property of a later
  // release than the service object's) and the value in |value|.
  // FreezeEvents, ResultCode and State give the control's values.
  int32_t GetPropertyNumber(int32_t index, int32_t& value) const;
  int32_t GetPropertyString(int32_t index, std::string& value) const;
  int32_t SetPropertyNumber(int32_t index, int32_t value);
  int32_t SetPropertyString(int32_t index, std::string_view value);

  // --- events -----------------------------------------------------------------
  // |listener| (may be null) must outlive its use; it is called only while
  // this thread dispatches.
  void SetListener(CashChangerListener* listener);
  // Receives the message of a listener that threw ("StatusUpdateEvent
  // listener failed: ..."); empty: standard error.
  void SetErrorHandler(std::function<void(const std::string&)> handler);
  // Readable while events may be waiting: the opening thread's message
  // queue (the calling thread's before Open). Owned by the queue.
  int EventFd() const;
  // Fires every event that has arrived, without waiting. The number fired.
  int DispatchEvents();
  // Waits up to |timeout_ms| (-1: without limit) until at least one event
  // has been fired, firing every event that arrives meanwhile. The number
  // fired; 0 when the time ran out.
  int WaitForEvents(int timeout_ms);

 private:
  class Connection;
  std::unique_ptr<Connection> connection_;
};

}  // namespace vexokrt
