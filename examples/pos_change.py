#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""pos_change.py: the sale of pos_change.cc, in Python with asyncio.

    pos_change.py DEVICE [PRICE]

Opens the CashChanger DEVICE, claims and enables it, reads the counts, takes
the customer's cash for a sale of PRICE yen (default 1234) as a deposit, pays
the change and releases the device. A pay-out that ends early (a jam) shows
the part paid, waits until the jam is cleared and pays the rest. The events
reach the program through the control's descriptor in the asyncio loop, so
the program could serve its screen and network meanwhile.

Try it against the simulator (as root, or with OPOS_REGISTRY_DIR naming a
folder of your own for the registry):
    vexokrt register
    vexokrt sim --model KRT07          # prints "slave: /dev/pts/N"; leave it running
    vexokrt config Changer1 --set Port=/dev/pts/N --set Port_Initialize_String=9600,E,8,1
    python3 pos_change.py Changer1
(with the vexokrt package on the path: it is installed in lib/python3/dist-packages
of the install prefix, so PYTHONPATH=PREFIX/lib/python3/dist-packages for a
prefix other than /usr) and type at the simulator what the program asks for:
`insert 1000:2` when it waits for the cash, and, to see a jam,
`fault jam-payout 1` before the change is paid and `jam off` when it asks for
the jam to be cleared.

Exit status: 0 when the sale went through and the change was paid in full.
"""

import asyncio
import sys

import vexokrt


class Sale:
    """The events as they come, and a way to wait for them in the loop."""

    def __init__(self, cc):
        self.cc = cc
        self.statuses = []
        self.counted = 0
        self.part_paid = None  # direct I/O event 20: the yen paid, or -1 when the machine cannot tell
        self.pieces = ""
        self.changed = asyncio.Event()
        cc.on_data_event = self.data_event
        cc.on_status_update = self.status_update
        cc.on_direct_io = self.direct_io

    def data_event(self, status):
        print("event DataEvent %d" % status)
        self.counted += 1
        self.changed.set()

    def status_update(self, data):
        print("event StatusUpdateEvent %d %s (%s)" % (data, vexokrt.status_update_name(data) or "?",
                                                      vexokrt.status_update_text(data) or ""))
        self.statuses.append(data)
        self.changed.set()

    def direct_io(self, number, data, text):
        print('event DirectIOEvent %d %s pData %d pString "%s"' % (number, vexokrt.direct_io_event_name(number) or "?",
                                                                  data, text))
        if number == vexokrt.VEXOKRT_DIO_EVENT_PAYOUT_ENDED_EARLY:
            self.part_paid, self.pieces = data, text
        self.changed.set()

    async def until(self, done, seconds):
        """Lets the loop run until done() holds, for at most |seconds|."""
        async def wait():
            while not done():
                self.changed.clear()
                await self.changed.wait()
        try:
            await asyncio.wait_for(wait(), seconds)
            return True
        except asyncio.TimeoutError:
            return False


async def pay_change(cc, sale, change):
    """Pays |change|; after a pay-out that ended early, the rest once the jam is cleared."""
    rest = change
    for _ in range(3):
        sale.part_paid = None
        sale.statuses.clear()
        try:
            cc.dispense_change(rest)
            print("DispenseChange(%d): 0 %s" % (rest, vexokrt.describe_result(0)))
            return True
        except vexokrt.PosError as error:
            print("DispenseChange(%d): %d %s" % (rest, error.result_code,
                                                 vexokrt.describe_result(error.result_code, error.extended)))
        # The part paid comes as direct I/O event 20, the jam as status update 31.
        if not await sale.until(lambda: sale.part_paid is not None, 5):
            print("nothing was paid")
            return False
        if sale.part_paid < 0:
            print("the machine cannot tell what it paid: count the cash at the outlet")
            return False
        print("part paid: %d yen, pieces %s" % (sale.part_paid, sale.pieces))
        rest -= sale.part_paid
        if not await sale.until(lambda: vexokrt.CHAN_STATUS_JAM in sale.statuses, 5):
            return False
        print("the machine is jammed: clear the jam (at the simulator: jam off)")
        if not await sale.until(lambda: vexokrt.CHAN_STATUS_JAMOK in sale.statuses, 120):
            return False
        print("jam cleared: paying the rest, %d yen" % rest)
        if rest <= 0:
            return True
    return False


async def main(device, price):
    cc = vexokrt.CashChanger()
    sale = Sale(cc)
    try:
        cc.open(device)
    except vexokrt.PosError as error:
        print("Open: %d %s" % (error.result_code, vexokrt.describe_result(error.result_code)))
        print("open result %d %s: %s" % (error.open_result, vexokrt.result_name(error.open_result), error.message))
        return 1
    loop = asyncio.get_running_loop()
    loop.add_reader(cc.event_fd, cc.dispatch_events)
    ok = False
    try:
        cc.claim_device(3000)
        cc.power_notify = 1
        cc.device_enabled = True
        await sale.until(lambda: vexokrt.OPOS_SUE_POWER_ONLINE in sale.statuses, 5)
        print("claimed %s: %s, service object %d" % (device, cc.device_description, cc.service_object_version))
        counts, discrepancy = cc.read_cash_counts()
        print("counts %s discrepancy %d" % (counts, discrepancy))

        # The customer pays: a deposit, counted by the machine, until it covers the price.
        cc.data_event_enabled = True
        cc.begin_deposit()
        print("sale %d yen: insert the cash at the simulator, for example: insert 1000:2" % price)
        while cc.deposit_amount < price:
            counted = sale.counted
            if not await sale.until(lambda: sale.counted > counted, 120):
                break
            print("deposit %d yen" % cc.deposit_amount)
            cc.data_event_enabled = True  # a data event turns it off
        amount = cc.deposit_amount
        cc.fix_deposit()
        if amount < price:
            print("not paid: %d yen handed back" % amount)
            cc.end_deposit(vexokrt.CHAN_DEPOSIT_REPAY)
        else:
            cc.end_deposit(vexokrt.CHAN_DEPOSIT_NOCHANGE)
            change = amount - price
            print("change %d yen" % change)
            ok = await pay_change(cc, sale, change)
            if ok:
                print("change paid: %d yen" % change)
        cc.device_enabled = False
        cc.release_device()
        print("ReleaseDevice: 0 %s" % vexokrt.describe_result(0))
        print("released")
    except vexokrt.PosError as error:
        print(error)
        ok = False
    finally:
        loop.remove_reader(cc.event_fd)
        if cc.state != 1:
            cc.close()
    return 0 if ok else 1


if __name__ == "__main__":
    if len(sys.argv) not in (2, 3):
        print("usage: pos_change.py DEVICE [PRICE]", file=sys.stderr)
        sys.exit(2)
    sys.stdout.reconfigure(line_buffering=True)  # the prompts show at once, also through a pipe
    sys.exit(asyncio.run(main(sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 1234)))
