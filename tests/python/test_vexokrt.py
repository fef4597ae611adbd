# SPDX-License-Identifier: Apache-2.0
# The vexokrt Python package against the simulated device: the API of a
# sale, PosError with its names, callbacks that raise, the event
# descriptor in an asyncio loop, and the members of later releases.
import asyncio
import time

import pytest

import vexokrt


def wait_until(cc, done, limit=10.0):
    """Dispatches events until done() holds; the limit only ends a failing test."""
    until = time.monotonic() + limit
    while not done():
        left = until - time.monotonic()
        if left <= 0:
            return False
        cc.dispatch_events(min(left, 0.05))
    return True


def ready(device):
    cc = vexokrt.CashChanger()
    statuses = []
    cc.on_status_update = statuses.append
    cc.open(device)
    cc.claim_device(3000)
    cc.power_notify = 1
    cc.device_enabled = True
    assert wait_until(cc, lambda: vexokrt.OPOS_SUE_POWER_ONLINE in statuses)
    return cc, statuses


def test_sale_with_a_deposit_change_and_a_jammed_payout(device, sim):
    cc, statuses = ready(device)
    data_events, direct_io = [], []
    cc.on_data_event = data_events.append

    def answer(number, data, text):
        direct_io.append((number, data, text))
        return data, "seen"
    cc.on_direct_io = answer

    assert cc.device_name == "KRT07"
    assert cc.device_enabled is True
    assert cc.service_object_version == 1006312
    text, discrepancy = cc.read_cash_counts()
    assert text.startswith("0:20,1:60,") and discrepancy is False

    cc.data_event_enabled = True
    cc.begin_deposit()
    sim("insert 1000:2")
    assert wait_until(cc, lambda: data_events)
    assert cc.deposit_amount == 2000
    cc.fix_deposit()
    cc.end_deposit(vexokrt.CHAN_DEPOSIT_NOCHANGE)

    sim("fault jam-payout 1")
    with pytest.raises(vexokrt.PosError) as failed:
        cc.dispense_change(766)
    error = failed.value
    assert error.result_code != 0 and error.result_code == cc.result_code
    assert error.name == vexokrt.result_name(error.result_code) and error.name.startswith("OPOS_E_")
    assert str(error).startswith("dispense_change: %d %s" % (error.result_code, error.name))
    assert wait_until(cc, lambda: vexokrt.CHAN_STATUS_JAM in statuses and direct_io)
    assert direct_io[0] == (vexokrt.VEXOKRT_DIO_EVENT_PAYOUT_ENDED_EARLY, 500,
                            "1:0,5:0,10:0,50:0,100:0,500:1;1000:0,2000:0,5000:0,10000:0")
    sim("jam off")
    assert wait_until(cc, lambda: vexokrt.CHAN_STATUS_JAMOK in statuses)
    cc.dispense_change(266)

    with pytest.raises(vexokrt.PosError) as refused:
        cc.currency_code = "jpy"
    assert (refused.value.result_code, refused.value.name) == (106, "OPOS_E_ILLEGAL")
    assert refused.value.operation == "set currency_code"
    cc.device_enabled = False
    cc.release_device()
    cc.close()
    with pytest.raises(vexokrt.PosError) as closed:
        cc.close()
    assert closed.value.result_code == vexokrt.OPOS_E_CLOSED


def test_refusals_carry_their_codes_and_names():
    cc = vexokrt.CashChanger()
    with pytest.raises(vexokrt.PosError) as before_open:
        cc.claim_device(1000)
    assert (before_open.value.result_code, before_open.value.name) == (101, "OPOS_E_CLOSED")
    with pytest.raises(vexokrt.PosError):
        cc.device_enabled
    with pytest.raises(vexokrt.PosError) as unknown:
        cc.open("NoSuchDevice")
    error = unknown.value
    assert (error.result_code, error.open_result, error.name) == (104, 302, "OPOS_E_NOSERVICE")
    assert cc.open_result == 302
    assert '"NoSuchDevice"' in error.message and "OPOS_OR_REGBADNAME" in str(error)
    assert cc.state == 1

    extended = vexokrt.PosError("dispense_change", 114, 238)
    assert (extended.extended, extended.extended_name) == (238, "VEXOKRT_ECHAN_STOPPED")
    assert str(extended) == "dispense_change: 114 OPOS_E_EXTENDED extended=238 (%s)" % extended.extended_text
    device_error = vexokrt.PosError("dispense_change", 114, 0x1234)
    assert (device_error.extended_name, device_error.extended_text) == ("VEXOKRT_ECHAN_DEVICE_ERROR",
                                                                        "device error 0x1234")
    assert vexokrt.PosError("claim_device", 112, 238).extended == 0, "extended goes only with 114"


@pytest.mark.parametrize("name, code, function", [
    ("OPOS_SUCCESS", 0, vexokrt.result_name),
    ("OPOS_OR_BADVERSION", 307, vexokrt.result_name),
    ("OPOS_ECHAN_OVERDISPENSE", 201, vexokrt.extended_name),
    ("VEXOKRT_ECHAN_NOT_AT_CURRENT_EXIT", 237, vexokrt.extended_name),
    ("CHAN_STATUS_ASYNC", 91, vexokrt.status_update_name),
    ("OPOS_SUE_POWER_OFF_OFFLINE", 2004, vexokrt.status_update_name),
    ("VEXOKRT_DIO_EVENT_TAKE_BACK_QUESTION", 1, vexokrt.direct_io_event_name),
    ("OPOS_EFIRMWARE_BAD_FILE", 281, vexokrt.extended_name),
    ("OPOS_SUE_UF_PROGRESS", 2100, vexokrt.status_update_name),
    ("OPOS_SUE_UF_FAILED_DEV_UNKNOWN", 2204, vexokrt.status_update_name),
])
def test_names_and_constants_agree(name, code, function):
    assert function(code) == name
    assert getattr(vexokrt, name) == code


def test_a_callback_that_raises_is_reported_and_events_go_on(device, sim):
    cc, statuses = ready(device)
    reports = []
    cc.on_error = lambda callback, error: reports.append((callback, str(error)))

    def fragile(data):
        statuses.append(data)
        if data == vexokrt.CHAN_STATUS_JAM:
            raise RuntimeError("the till is on fire")
    cc.on_status_update = fragile
    sim("jam on")
    assert wait_until(cc, lambda: vexokrt.CHAN_STATUS_JAM in statuses)
    assert reports == [("on_status_update", "the till is on fire")]
    sim("jam off")
    assert wait_until(cc, lambda: vexokrt.CHAN_STATUS_JAMOK in statuses)
    assert cc.read_cash_counts()[0]
    cc.close()


def test_events_through_the_descriptor_in_an_asyncio_loop(device, sim):
    cc, _ = ready(device)

    async def session():
        loop = asyncio.get_running_loop()
        jam = loop.create_future()
        cc.on_status_update = lambda data: data == vexokrt.CHAN_STATUS_JAM and not jam.done() and jam.set_result(data)
        loop.add_reader(cc.event_fd, cc.dispatch_events)
        try:
            sim("jam on")
            return await asyncio.wait_for(jam, 10)
        finally:
            loop.remove_reader(cc.event_fd)

    assert asyncio.run(session()) == vexokrt.CHAN_STATUS_JAM
    sim("jam off")
    with cc:
        pass
    assert cc.state == 1, "leaving the with-block closes the control"


# Each member and property of a later release: the release that added it,
# the call, and what a service object serving that release answers on a
# claimed, enabled KRT07: None for success, or the refusal's result code
# and extended code; and what the value must be when it succeeds.
LATER_RELEASES = [
    (8, "reset_statistics", lambda cc: cc.reset_statistics("U_"), None, None),
    (8, "retrieve_statistics", lambda cc: cc.retrieve_statistics("U_"), None,
     lambda value: "<Name>HoursPoweredCount</Name>" in value and value.rstrip().endswith("</UPOSStat>")),
    (8, "update_statistics", lambda cc: cc.update_statistics("CommunicationErrorCount=0"), None, None),
    (8, "reset_statistics", lambda cc: cc.reset_statistics("HoursPoweredCount"),
     (vexokrt.OPOS_E_EXTENDED, 280), None),
    (9, "compare_firmware_version", lambda cc: cc.compare_firmware_version("firmware.bin"),
     (vexokrt.OPOS_E_EXTENDED, 281), None),
    (9, "update_firmware", lambda cc: cc.update_firmware("firmware.bin"), (vexokrt.OPOS_E_EXTENDED, 281), None),
    (11, "adjust_cash_counts", lambda cc: cc.adjust_cash_counts("1000:10"), None, None),
    (11, "adjust_cash_counts", lambda cc: cc.adjust_cash_counts("1000:-1"), (vexokrt.OPOS_E_ILLEGAL, 0), None),
    (8, "get cap_statistics_reporting", lambda cc: cc.cap_statistics_reporting, None, lambda value: value),
    (8, "get cap_update_statistics", lambda cc: cc.cap_update_statistics, None, lambda value: value),
    (9, "get cap_compare_firmware_version", lambda cc: cc.cap_compare_firmware_version, None, lambda value: value),
    (9, "get cap_update_firmware", lambda cc: cc.cap_update_firmware, None, lambda value: value),
    (11, "get cap_jam_sensor", lambda cc: cc.cap_jam_sensor, None, lambda value: value),
    (11, "get cap_real_time_data", lambda cc: cc.cap_real_time_data, None, lambda value: value),
    (11, "get real_time_data_enabled", lambda cc: cc.real_time_data_enabled, None, lambda value: not value),
    (11, "get current_service", lambda cc: cc.current_service, None, lambda value: value == 0),
    (11, "get service_count", lambda cc: cc.service_count, None, lambda value: value == 0),
    (11, "get service_index", lambda cc: cc.service_index, None, lambda value: value == 0),
    (11, "set current_service", lambda cc: setattr(cc, "current_service", 0), None, None),
    (11, "set real_time_data_enabled", lambda cc: setattr(cc, "real_time_data_enabled", True), None, None),
]


def test_members_of_later_releases_follow_the_service_objects_release(device):
    # Without UposVersion the service object reports 1.6 and every row is
    # refused by the control; with it (ControlPythonPackageLaterReleases)
    # the rows of its release reach it and answer as it does.
    cc = vexokrt.CashChanger()
    cc.open(device)
    minor = cc.service_object_version // 1000 % 1000
    cc.claim_device(3000)
    cc.device_enabled = True
    for since, operation, call, refusal, check in LATER_RELEASES:
        if since <= minor and refusal is None:
            value = call(cc)
            assert check is None or check(value), (operation, value)
            continue
        expected = refusal if since <= minor else (vexokrt.OPOS_E_NOSERVICE, 0)
        with pytest.raises(vexokrt.PosError) as refused:
            call(cc)
        assert (refused.value.result_code, refused.value.extended, refused.value.operation) == (*expected, operation)
    assert vexokrt.status_update_name(2137) == "OPOS_SUE_UF_PROGRESS+37"
    assert "37 %" in vexokrt.status_update_text(2137)
    cc.close()
