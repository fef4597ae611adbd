// SPDX-License-Identifier: Apache-2.0
// pos_change: a sale at a point of sale with a cash changer, on the
// vexokrt::CashChanger control.
//
//   pos_change DEVICE [PRICE]
//
// Opens the CashChanger DEVICE, claims and enables it, reads the counts,
// takes the customer's cash for a sale of PRICE yen (default 1234) as a
// deposit, pays the change and releases the device. A pay-out that ends
// early (a jam) is handled as a till must: the part paid is shown, the
// operator clears the jam, and the rest is paid. Every event is printed
// with its name as it arrives.
//
// Try it against the simulator (as root, or with OPOS_REGISTRY_DIR naming a
// folder of your own for the registry):
//   vexokrt register
//   vexokrt sim --model KRT07          # prints "slave: /dev/pts/N"; leave it running
//   vexokrt config Changer1 --set Port=/dev/pts/N --set Port_Initialize_String=9600,E,8,1
//   c++ -std=c++20 pos_change.cc $(pkg-config --cflags --libs vexokrt) -o pos_change   # or: make
//   ./pos_change Changer1
// and type at the simulator what the program asks for: `insert 1000:2` when
// it waits for the cash, and, to see a jam, `fault jam-payout 1` before the
// change is paid and `jam off` when it asks for the jam to be cleared.
//
// Exit status: 0 when the sale went through and the change was paid in full.
#include <vexokrt/cash_changer.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr int32_t kPowerOnline = 2001;
constexpr int32_t kJam = 31;
constexpr int32_t kJamCleared = 32;
constexpr int32_t kPayoutEndedEarly = 20;
constexpr int32_t kDepositNoChange = 2;  // EndDeposit: keep the cash; the change is paid apart

const char* Name(vexokrt::NameTable table, int32_t code) {
  const char* name = vexokrt::NameOf(table, code);
  return name != nullptr ? name : "?";
}

// What the events have told so far.
class Sale final : public vexokrt::CashChangerListener {
 public:
  bool online = false;
  bool counted = false;
  bool jammed = false;
  bool jam_cleared = false;
  int32_t part_paid = -2;  // direct I/O event 20: -1 the machine cannot tell, -2 none yet
  std::string pieces;

  void DataEvent(int32_t status) override {
    std::printf("event DataEvent %d\n", status);
    counted = true;
  }
  void StatusUpdateEvent(int32_t data) override {
    const vexokrt::CodeName* row = vexokrt::FindName(vexokrt::NameTable::kStatusUpdate, data);
    std::printf("event StatusUpdateEvent %d %s (%s)\n", data, row ? row->name : "?", row ? row->text : "");
    online = online || data == kPowerOnline;
    jammed = jammed || data == kJam;
    jam_cleared = jam_cleared || data == kJamCleared;
  }
  void DirectIOEvent(int32_t number, int32_t& data, std::string& text) override {
    std::printf("event DirectIOEvent %d %s pData %d pString \"%s\"\n", number,
                Name(vexokrt::NameTable::kDirectIoEvent, number), data, text.c_str());
    if (number == kPayoutEndedEarly) {
      part_paid = data;
      pieces = text;
    }
  }
};

// Handles events until |done|, for at most |seconds|.
template <typename Done>
bool Await(vexokrt::CashChanger& cc, int seconds, Done done) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
    if (left <= 0) return false;
    cc.WaitForEvents(static_cast<int>(left));
  }
  return true;
}

void Show(vexokrt::CashChanger& cc, const char* call, int32_t result) {
  std::printf("%s: %d %s\n", call, result, vexokrt::DescribeResult(result, cc.ResultCodeExtended()).c_str());
}

// Pays |change|; after a pay-out that ended early, the rest once the jam is
// cleared. True when all of it was paid.
bool PayChange(vexokrt::CashChanger& cc, Sale& sale, int32_t change) {
  int32_t rest = change;
  for (int attempt = 0; attempt < 3 && rest > 0; ++attempt) {
    sale.part_paid = -2;
    sale.jammed = sale.jam_cleared = false;
    const int32_t result = cc.DispenseChange(rest);
    Show(cc, ("DispenseChange(" + std::to_string(rest) + ")").c_str(), result);
    if (result == 0) return true;
    // The part paid comes as direct I/O event 20, the jam as status update 31.
    if (!Await(cc, 5, [&] { return sale.part_paid != -2; })) {
      std::printf("nothing was paid\n");
      return false;
    }
    if (sale.part_paid < 0) {
      std::printf("the machine cannot tell what it paid: count the cash at the outlet\n");
      return false;
    }
    std::printf("part paid: %d yen, pieces %s\n", sale.part_paid, sale.pieces.c_str());
    rest -= sale.part_paid;
    if (!Await(cc, 5, [&] { return sale.jammed; })) return false;
    std::printf("the machine is jammed: clear the jam (at the simulator: jam off)\n");
    if (!Await(cc, 120, [&] { return sale.jam_cleared; })) return false;
    std::printf("jam cleared: paying the rest, %d yen\n", rest);
  }
  return rest == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: pos_change DEVICE [PRICE]\n");
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // the prompts show at once, also through a pipe
  const char* device = argv[1];
  const int32_t price = argc > 2 ? std::atoi(argv[2]) : 1234;
  vexokrt::CashChanger cc;
  Sale sale;
  cc.SetListener(&sale);

  int32_t result = cc.Open(device);
  if (result != 0) {
    Show(cc, "Open", result);
    std::printf("open result %d %s: %s\n", cc.OpenResult(), Name(vexokrt::NameTable::kResultCode, cc.OpenResult()),
                cc.OpenMessage().c_str());
    return 1;
  }
  result = cc.ClaimDevice(3000);
  if (result != 0) {
    Show(cc, "ClaimDevice", result);
    return 1;
  }
  cc.SetPowerNotify(1);
  result = cc.SetDeviceEnabled(true);
  if (result != 0) Show(cc, "DeviceEnabled", result);
  Await(cc, 5, [&] { return sale.online; });
  std::printf("claimed %s: %s, service object %d\n", device, cc.DeviceDescription().c_str(),
              cc.ServiceObjectVersion());

  std::string counts;
  bool discrepancy = false;
  result = cc.ReadCashCounts(counts, discrepancy);
  if (result == 0) {
    std::printf("counts %s discrepancy %d\n", counts.c_str(), discrepancy ? 1 : 0);
  } else {
    Show(cc, "ReadCashCounts", result);
  }

  // The customer pays: a deposit, counted by the machine, until it covers the price.
  bool ok = false;
  cc.SetDataEventEnabled(true);
  result = cc.BeginDeposit();
  if (result != 0) {
    Show(cc, "BeginDeposit", result);
  } else {
    std::printf("sale %d yen: insert the cash at the simulator, for example: insert 1000:2\n", price);
    while (cc.DepositAmount() < price) {
      sale.counted = false;
      if (!Await(cc, 120, [&] { return sale.counted; })) break;
      std::printf("deposit %d yen\n", cc.DepositAmount());
      cc.SetDataEventEnabled(true);  // a data event turns it off
    }
    const int32_t amount = cc.DepositAmount();
    cc.FixDeposit();
    if (amount < price) {
      std::printf("not paid: %d yen handed back\n", amount);
      cc.EndDeposit(3);  // CHAN_DEPOSIT_REPAY
    } else if (result = cc.EndDeposit(kDepositNoChange); result != 0) {
      Show(cc, "EndDeposit", result);
    } else {
      const int32_t change = amount - price;
      std::printf("change %d yen\n", change);
      ok = PayChange(cc, sale, change);
      if (ok) std::printf("change paid: %d yen\n", change);
    }
  }

  cc.SetDeviceEnabled(false);
  result = cc.ReleaseDevice();
  Show(cc, "ReleaseDevice", result);
  cc.Close();
  if (result == 0) std::printf("released\n");
  return ok && result == 0 ? 0 : 1;
}
