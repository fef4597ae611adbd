# SPDX-License-Identifier: Apache-2.0
"""The UnifiedPOS CashChanger control for Python.

    import vexokrt
    cc = vexokrt.CashChanger()
    cc.open("Changer1")             # the device key written by `vexokrt config`
    cc.claim_device(3000)           # milliseconds, as the standard counts them
    cc.device_enabled = True
    text, discrepancy = cc.read_cash_counts()
    cc.dispense_change(1500)        # yen

Every failure raises PosError, with result_code, extended and their names.
The members of releases 1.8 to 1.11 (statistics, firmware, adjust_cash_counts
and their properties) reach only a service object that reports that release
in service_object_version; an older one gives PosError 104 (OPOS_E_NOSERVICE).
Events go to callables, on the thread that dispatches them:

    cc.on_status_update = lambda data: print(vexokrt.status_update_name(data))
    cc.on_data_event = lambda status: ...
    cc.on_direct_io = lambda number, data, text: None   # or a new data, or (data, text)
    cc.dispatch_events(0.5)         # waits up to half a second for at least one

or, in an asyncio loop, whenever the control's descriptor is readable:

    loop.add_reader(cc.event_fd, cc.dispatch_events)

A callback that raises is reported (to on_error, or as a traceback on
standard error) and the events go on. A CashChanger is used from the thread
that opens it.

The package is plain ctypes on the control's C interface (libvexokrt_control.so,
found beside the package's own install, or through VEXOKRT_CONTROL_LIBRARY).
"""

import ctypes
import math
import os
import sys
import traceback
import weakref
from ctypes import (CFUNCTYPE, POINTER, byref, c_bool, c_char_p, c_int, c_int32, c_size_t, c_void_p,
                    create_string_buffer)

__all__ = ["CashChanger", "PosError", "result_name", "result_text", "extended_name", "extended_text",
           "status_update_name", "status_update_text", "direct_io_event_name", "direct_io_event_text",
           "describe_result"]


def _library_path():
    given = os.environ.get("VEXOKRT_CONTROL_LIBRARY")
    if given:
        return given
    try:
        from . import _location  # written when the package is installed
    except ImportError:
        # Not installed by CMake: the dynamic loader's own search.
        return "libvexokrt_control.so.1"
    if "/" not in _location.LIBRARY:
        # A bare library name (the distribution's package): the dynamic
        # loader finds it where the system keeps its libraries.
        return _location.LIBRARY
    return os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), _location.LIBRARY))


_lib = ctypes.CDLL(_library_path())

_HANDLE = c_void_p
_DATA_FN = CFUNCTYPE(None, c_void_p, c_int32)
_STATUS_FN = CFUNCTYPE(None, c_void_p, c_int32)
_DIRECT_IO_FN = CFUNCTYPE(None, c_void_p, c_int32, POINTER(c_int32), POINTER(c_char_p))


def _declare(name, result, *arguments):
    function = getattr(_lib, name)
    function.restype = result
    function.argtypes = list(arguments)
    return function


_new = _declare("vexokrt_cc_new", c_int32, POINTER(_HANDLE))
_free = _declare("vexokrt_cc_free", None, POINTER(_HANDLE))
_open = _declare("vexokrt_cc_open", c_int32, _HANDLE, c_char_p)
_close = _declare("vexokrt_cc_close", c_int32, _HANDLE)
_open_result = _declare("vexokrt_cc_open_result", c_int32, _HANDLE, POINTER(c_int32))
_open_message = _declare("vexokrt_cc_open_message", c_int32, _HANDLE, POINTER(c_char_p))
_claim_device = _declare("vexokrt_cc_claim_device", c_int32, _HANDLE, c_int32)
_release_device = _declare("vexokrt_cc_release_device", c_int32, _HANDLE)
_check_health = _declare("vexokrt_cc_check_health", c_int32, _HANDLE, c_int32)
_clear_input = _declare("vexokrt_cc_clear_input", c_int32, _HANDLE)
_direct_io = _declare("vexokrt_cc_direct_io", c_int32, _HANDLE, c_int32, POINTER(c_int32), c_char_p,
                      POINTER(c_char_p))
_read_cash_counts = _declare("vexokrt_cc_read_cash_counts", c_int32, _HANDLE, POINTER(c_char_p), POINTER(c_bool))
_dispense_cash = _declare("vexokrt_cc_dispense_cash", c_int32, _HANDLE, c_char_p)
_dispense_change = _declare("vexokrt_cc_dispense_change", c_int32, _HANDLE, c_int32)
_begin_deposit = _declare("vexokrt_cc_begin_deposit", c_int32, _HANDLE)
_fix_deposit = _declare("vexokrt_cc_fix_deposit", c_int32, _HANDLE)
_pause_deposit = _declare("vexokrt_cc_pause_deposit", c_int32, _HANDLE, c_int32)
_end_deposit = _declare("vexokrt_cc_end_deposit", c_int32, _HANDLE, c_int32)
_reset_statistics = _declare("vexokrt_cc_reset_statistics", c_int32, _HANDLE, c_char_p)
_retrieve_statistics = _declare("vexokrt_cc_retrieve_statistics", c_int32, _HANDLE, c_char_p, POINTER(c_char_p))
_update_statistics = _declare("vexokrt_cc_update_statistics", c_int32, _HANDLE, c_char_p)
_compare_firmware_version = _declare("vexokrt_cc_compare_firmware_version", c_int32, _HANDLE, c_char_p,
                                     POINTER(c_int32))
_update_firmware = _declare("vexokrt_cc_update_firmware", c_int32, _HANDLE, c_char_p)
_adjust_cash_counts = _declare("vexokrt_cc_adjust_cash_counts", c_int32, _HANDLE, c_char_p)
_result_code = _declare("vexokrt_cc_result_code", c_int32, _HANDLE, POINTER(c_int32))
_result_code_extended = _declare("vexokrt_cc_result_code_extended", c_int32, _HANDLE, POINTER(c_int32))
_get_number = _declare("vexokrt_cc_get_number", c_int32, _HANDLE, c_int32, POINTER(c_int32))
_set_number = _declare("vexokrt_cc_set_number", c_int32, _HANDLE, c_int32, c_int32)
_get_string = _declare("vexokrt_cc_get_string", c_int32, _HANDLE, c_int32, POINTER(c_char_p))
_set_string = _declare("vexokrt_cc_set_string", c_int32, _HANDLE, c_int32, c_char_p)
_on_data_event = _declare("vexokrt_cc_on_data_event", c_int32, _HANDLE, _DATA_FN, c_void_p)
_on_status_update = _declare("vexokrt_cc_on_status_update", c_int32, _HANDLE, _STATUS_FN, c_void_p)
_on_direct_io = _declare("vexokrt_cc_on_direct_io", c_int32, _HANDLE, _DIRECT_IO_FN, c_void_p)
_event_fd = _declare("vexokrt_cc_event_fd", c_int32, _HANDLE, POINTER(c_int))
_dispatch_events = _declare("vexokrt_cc_dispatch_events", c_int32, _HANDLE, POINTER(c_int32))
_wait_for_events = _declare("vexokrt_cc_wait_for_events", c_int32, _HANDLE, c_int32, POINTER(c_int32))
_name = _declare("vexokrt_name", c_char_p, c_int, c_int32)
_text = _declare("vexokrt_text", c_char_p, c_int, c_int32)
_name_at = _declare("vexokrt_name_at", c_int32, c_int, c_int32, POINTER(c_int32), POINTER(c_char_p), POINTER(c_char_p))
_extended_text = _declare("vexokrt_extended_text", c_size_t, c_int32, c_char_p, c_size_t)
_describe_result = _declare("vexokrt_describe_result", c_size_t, c_int32, c_int32, c_char_p, c_size_t)

_RESULT_CODES, _EXTENDED_CODES, _STATUS_UPDATES, _DIRECT_IO_EVENTS = range(4)


def _decode(raw):
    return raw.decode("utf-8", "replace") if raw is not None else None


def _formatted(function, *arguments):
    size = function(*arguments, None, 0) + 1
    buffer = create_string_buffer(size)
    function(*arguments, buffer, size)
    return buffer.value.decode("utf-8", "replace")


# --- names --------------------------------------------------------------------------------------

def result_name(code):
    """The name of a result code or open result ("OPOS_E_EXTENDED"); None when it has none."""
    return _decode(_name(_RESULT_CODES, code))


def result_text(code):
    """A short English text for a result code; None when it has none."""
    return _decode(_text(_RESULT_CODES, code))


def extended_name(code):
    """The name of an extended code; the machine's own error numbers are VEXOKRT_ECHAN_DEVICE_ERROR."""
    return _decode(_name(_EXTENDED_CODES, code))


def extended_text(code):
    """A short English text for an extended code ("device error 0x1234" for an error number)."""
    return _formatted(_extended_text, code)


def status_update_name(data):
    return _decode(_name(_STATUS_UPDATES, data))


def status_update_text(data):
    return _decode(_text(_STATUS_UPDATES, data))


def direct_io_event_name(number):
    return _decode(_name(_DIRECT_IO_EVENTS, number))


def direct_io_event_text(number):
    return _decode(_text(_DIRECT_IO_EVENTS, number))


def describe_result(result, extended=0):
    """A result as the shell prints it: "OPOS_E_EXTENDED extended=238 (the machine has stopped ...)"."""
    return _formatted(_describe_result, result, extended)


def _export_names():
    # OPOS_SUCCESS, OPOS_E_EXTENDED, CHAN_STATUS_JAM, VEXOKRT_DIO_EVENT_PAYOUT_ENDED_EARLY, ...
    # The firmware update's progress rows ("OPOS_SUE_UF_PROGRESS+37") are
    # not names Python can hold; their base OPOS_SUE_UF_PROGRESS is.
    for table in range(4):
        index = 0
        code, name = c_int32(), c_char_p()
        while _name_at(table, index, byref(code), byref(name), None) == 0:
            text = name.value.decode("ascii")
            if text.isidentifier():
                globals()[text] = code.value
                __all__.append(text)
            index += 1


_export_names()

# EndDeposit and PauseDeposit arguments, DepositStatus values.
CHAN_DEPOSIT_CHANGE = 1
CHAN_DEPOSIT_NOCHANGE = 2
CHAN_DEPOSIT_REPAY = 3
CHAN_DEPOSIT_PAUSE = 11
CHAN_DEPOSIT_RESTART = 12
CHAN_STATUS_DEPOSIT_START = 1
CHAN_STATUS_DEPOSIT_END = 2
CHAN_STATUS_DEPOSIT_NONE = 3
CHAN_STATUS_DEPOSIT_COUNT = 4
CHAN_STATUS_DEPOSIT_JAM = 5
# CompareFirmwareVersion results.
OPOS_CFV_FIRMWARE_OLDER = 1
OPOS_CFV_FIRMWARE_SAME = 2
OPOS_CFV_FIRMWARE_NEWER = 3
OPOS_CFV_FIRMWARE_DIFFERENT = 4
OPOS_CFV_FIRMWARE_UNKNOWN = 5
__all__ += ["CHAN_DEPOSIT_CHANGE", "CHAN_DEPOSIT_NOCHANGE", "CHAN_DEPOSIT_REPAY", "CHAN_DEPOSIT_PAUSE",
            "CHAN_DEPOSIT_RESTART", "CHAN_STATUS_DEPOSIT_START", "CHAN_STATUS_DEPOSIT_END",
            "CHAN_STATUS_DEPOSIT_NONE", "CHAN_STATUS_DEPOSIT_COUNT", "CHAN_STATUS_DEPOSIT_JAM",
            "OPOS_CFV_FIRMWARE_OLDER", "OPOS_CFV_FIRMWARE_SAME", "OPOS_CFV_FIRMWARE_NEWER",
            "OPOS_CFV_FIRMWARE_DIFFERENT", "OPOS_CFV_FIRMWARE_UNKNOWN"]


class PosError(Exception):
    """A call the control or the service object refused.

    result_code   the OPOS result code (114: see extended)
    extended      ResultCodeExtended with 114, else 0
    name, text    result_name / result_text of result_code
    extended_name, extended_text   the same of extended (None without 114)
    open_result   for open: the OpenResult (302 no device key, 307 another version, ...)
    operation     what was called ("dispense_change", "set device_enabled")
    """

    def __init__(self, operation, result_code, extended=0, open_result=0, message=""):
        self.operation = operation
        self.result_code = result_code
        self.extended = extended if result_code == OPOS_E_EXTENDED else 0
        self.name = result_name(result_code)
        self.text = result_text(result_code)
        self.extended_name = extended_name(self.extended) if result_code == OPOS_E_EXTENDED else None
        self.extended_text = extended_text(self.extended) if result_code == OPOS_E_EXTENDED else None
        self.open_result = open_result
        self.message = message
        line = "%s: %d %s" % (operation, result_code, describe_result(result_code, self.extended))
        if open_result:
            line += "; open result %d %s" % (open_result, result_name(open_result) or "")
        if message:
            line += "; " + message
        super().__init__(line)


def _number_property(index, kind, writable):
    def get(self):
        value = c_int32()
        self._check("get " + get.__name__, _get_number(self._handle(), index, byref(value)))
        return kind(value.value)

    def put(self, value):
        self._check("set " + get.__name__, _set_number(self._handle(), index, int(value)))

    return get, (put if writable else None)


def _string_property(index, writable):
    def get(self):
        value = c_char_p()
        self._check("get " + get.__name__, _get_string(self._handle(), index, byref(value)))
        return _decode(value.value)

    def put(self, value):
        self._check("set " + get.__name__, _set_string(self._handle(), index, value.encode("utf-8")))

    return get, (put if writable else None)


# name, index, Python type, writable
_NUMBER_PROPERTIES = [
    ("claimed", 1, bool, False), ("data_event_enabled", 2, bool, True), ("device_enabled", 3, bool, True),
    ("freeze_events", 4, bool, True), ("service_object_version", 8, int, False),
    ("binary_conversion", 11, int, True), ("data_count", 12, int, False), ("power_notify", 13, int, True),
    ("power_state", 14, int, False), ("cap_power_reporting", 501, int, False), ("async_mode", 13001, bool, True),
    ("async_result_code", 13002, int, False), ("async_result_code_extended", 13003, int, False),
    ("current_exit", 13004, int, True), ("device_exits", 13005, int, False), ("device_status", 13006, int, False),
    ("full_status", 13007, int, False), ("deposit_amount", 13008, int, False),
    ("deposit_status", 13009, int, False), ("cap_discrepancy", 13501, bool, False),
    ("cap_empty_sensor", 13502, bool, False), ("cap_full_sensor", 13503, bool, False),
    ("cap_near_empty_sensor", 13504, bool, False), ("cap_near_full_sensor", 13505, bool, False),
    ("cap_deposit", 13506, bool, False), ("cap_deposit_data_event", 13507, bool, False),
    ("cap_pause_deposit", 13508, bool, False), ("cap_repay_deposit", 13509, bool, False),
    # Release 1.8.
    ("cap_statistics_reporting", 502, bool, False), ("cap_update_statistics", 503, bool, False),
    # Release 1.9.
    ("cap_compare_firmware_version", 504, bool, False), ("cap_update_firmware", 505, bool, False),
    # Release 1.11.
    ("current_service", 13010, int, True), ("real_time_data_enabled", 13011, bool, True),
    ("service_count", 13012, int, False), ("service_index", 13013, int, False),
    ("cap_jam_sensor", 13510, bool, False), ("cap_real_time_data", 13511, bool, False),
]
_STRING_PROPERTIES = [
    ("check_health_text", 1000001, False), ("device_description", 1000002, False),
    ("device_name", 1000003, False), ("service_object_description", 1000004, False),
    ("currency_cash_list", 1013001, False), ("currency_code", 1013002, True),
    ("currency_code_list", 1013003, False), ("exit_cash_list", 1013004, False),
    ("deposit_cash_list", 1013005, False), ("deposit_code_list", 1013006, False),
    ("deposit_counts", 1013007, False),
]


class CashChanger:
    """One CashChanger control. Properties and methods spell the standard's names in snake_case."""

    def __init__(self):
        handle = _HANDLE()
        result = _new(byref(handle))
        if result != 0:
            raise PosError("CashChanger", result)
        self._cc = handle
        self.on_data_event = None
        self.on_status_update = None
        self.on_direct_io = None
        # Receives (callback name, exception) for a callback that raised;
        # None: the traceback goes to standard error.
        self.on_error = None
        self._answer = None
        # The C side calls these; they hold the control only weakly, so a
        # control that is dropped is freed.
        me = weakref.ref(self)
        self._data_fn = _DATA_FN(lambda _user, status: CashChanger._fire(me, "on_data_event", status))
        self._status_fn = _STATUS_FN(lambda _user, data: CashChanger._fire(me, "on_status_update", data))
        self._direct_io_fn = _DIRECT_IO_FN(lambda _user, number, data, text: CashChanger._fire_direct_io(me, number,
                                                                                                       data, text))
        _on_data_event(handle, self._data_fn, None)
        _on_status_update(handle, self._status_fn, None)
        _on_direct_io(handle, self._direct_io_fn, None)

    def __del__(self):
        cc = getattr(self, "_cc", None)
        if cc is not None and cc.value is not None and _free is not None:
            _free(byref(cc))  # closes an open control first

    def __enter__(self):
        return self

    def __exit__(self, kind, value, trace):
        if self.state != 1:  # OPOS_S_CLOSED
            result = _close(self._handle())
            if kind is None:
                self._check("close", result)

    # --- opening ----------------------------------------------------------------
    def open(self, device_name):
        result = _open(self._handle(), device_name.encode("utf-8"))
        if result != 0:
            open_result = c_int32()
            message = c_char_p()
            _open_result(self._handle(), byref(open_result))
            _open_message(self._handle(), byref(message))
            raise PosError("open", result, 0, open_result.value, _decode(message.value))

    def close(self):
        self._check("close", _close(self._handle()))

    @property
    def open_result(self):
        value = c_int32()
        _open_result(self._handle(), byref(value))
        return value.value

    # --- methods ------------------------------------------------------------------
    def claim_device(self, timeout_ms):
        self._check("claim_device", _claim_device(self._handle(), timeout_ms))

    def release_device(self):
        self._check("release_device", _release_device(self._handle()))

    def check_health(self, level):
        self._check("check_health", _check_health(self._handle(), level))

    def clear_input(self):
        self._check("clear_input", _clear_input(self._handle()))

    def direct_io(self, command, data=0, text=""):
        """DirectIO(command, pData, pString); returns (pData, pString) as the service object left them."""
        value = c_int32(data)
        out = c_char_p()
        self._check("direct_io", _direct_io(self._handle(), command, byref(value), text.encode("utf-8"), byref(out)))
        return value.value, _decode(out.value)

    def read_cash_counts(self):
        """(cash counts text, discrepancy)."""
        counts = c_char_p()
        discrepancy = c_bool()
        self._check("read_cash_counts", _read_cash_counts(self._handle(), byref(counts), byref(discrepancy)))
        return _decode(counts.value), bool(discrepancy.value)

    def dispense_cash(self, cash_counts):
        self._check("dispense_cash", _dispense_cash(self._handle(), cash_counts.encode("utf-8")))

    def dispense_change(self, amount):
        self._check("dispense_change", _dispense_change(self._handle(), amount))

    def begin_deposit(self):
        self._check("begin_deposit", _begin_deposit(self._handle()))

    def fix_deposit(self):
        self._check("fix_deposit", _fix_deposit(self._handle()))

    def pause_deposit(self, control):
        self._check("pause_deposit", _pause_deposit(self._handle(), control))

    def end_deposit(self, success):
        self._check("end_deposit", _end_deposit(self._handle(), success))

    # Release 1.8. names: "" every statistic, "U_" the UnifiedPOS ones, "M_" the manufacturer's,
    # or names separated by ","; values: "Name=Value,Name=Value".
    def reset_statistics(self, names):
        self._check("reset_statistics", _reset_statistics(self._handle(), names.encode("utf-8")))

    def retrieve_statistics(self, names=""):
        """The statistics XML document of |names|, whole."""
        document = c_char_p()
        self._check("retrieve_statistics", _retrieve_statistics(self._handle(), names.encode("utf-8"),
                                                                byref(document)))
        return _decode(document.value)

    def update_statistics(self, values):
        self._check("update_statistics", _update_statistics(self._handle(), values.encode("utf-8")))

    # Release 1.9.
    def compare_firmware_version(self, file_name):
        """OPOS_CFV_FIRMWARE_*: 1 older, 2 same, 3 newer, 4 different, 5 unknown."""
        result = c_int32()
        self._check("compare_firmware_version", _compare_firmware_version(self._handle(), file_name.encode("utf-8"),
                                                                          byref(result)))
        return result.value

    def update_firmware(self, file_name):
        """Starts the update; its progress arrives at on_status_update (OPOS_SUE_UF_PROGRESS + percent,
        then OPOS_SUE_UF_COMPLETE or one of the OPOS_SUE_UF_FAILED_* values)."""
        self._check("update_firmware", _update_firmware(self._handle(), file_name.encode("utf-8")))

    # Release 1.11.
    def adjust_cash_counts(self, cash_counts):
        self._check("adjust_cash_counts", _adjust_cash_counts(self._handle(), cash_counts.encode("utf-8")))

    # --- the control's own properties -------------------------------------------------
    @property
    def result_code(self):
        value = c_int32()
        _result_code(self._handle(), byref(value))
        return value.value

    @property
    def result_code_extended(self):
        value = c_int32()
        _result_code_extended(self._handle(), byref(value))
        return value.value

    @property
    def state(self):
        """OPOS_S_CLOSED (1) before open, else the service object's State."""
        value = c_int32()
        _get_number(self._handle(), 9, byref(value))
        return value.value

    # --- events -------------------------------------------------------------------
    @property
    def event_fd(self):
        """The descriptor that is readable while events may be waiting (for select, poll, asyncio)."""
        fd = c_int()
        _event_fd(self._handle(), byref(fd))
        return fd.value

    def dispatch_events(self, timeout=0.0):
        """Fires the events that have arrived, waiting up to |timeout| seconds (None: without limit)
        for at least one. Returns the number fired (0: the time ran out)."""
        fired = c_int32()
        if timeout is not None and timeout <= 0:
            _dispatch_events(self._handle(), byref(fired))
        else:
            ms = -1 if timeout is None else min(int(math.ceil(timeout * 1000)), 2 ** 31 - 1)
            _wait_for_events(self._handle(), ms, byref(fired))
        return fired.value

    # --- internals ----------------------------------------------------------------
    def _handle(self):
        return self._cc

    def _check(self, operation, result):
        if result != 0:
            extended = 0
            if result == OPOS_E_EXTENDED:
                value = c_int32()
                _result_code_extended(self._handle(), byref(value))
                extended = value.value
            raise PosError(operation, result, extended)

    def _report(self, callback, error):
        if self.on_error is not None:
            try:
                self.on_error(callback, error)
                return
            except Exception:  # the reporter's own failure ends up below
                pass
        print("vexokrt: %s raised:" % callback, file=sys.stderr)
        traceback.print_exception(type(error), error, error.__traceback__, file=sys.stderr)

    @staticmethod
    def _fire(me, callback, number):
        self = me()
        if self is None:
            return
        handler = getattr(self, callback)
        if handler is None:
            return
        try:
            handler(number)
        except Exception as error:
            self._report(callback, error)

    @staticmethod
    def _fire_direct_io(me, number, data, text):
        self = me()
        if self is None or self.on_direct_io is None:
            return
        given = _decode(text[0]) or ""
        try:
            answer = self.on_direct_io(number, data[0], given)
        except Exception as error:
            self._report("on_direct_io", error)
            return
        if answer is None:
            return
        if isinstance(answer, tuple):
            new_data, new_text = answer
        else:
            new_data, new_text = answer, given
        data[0] = int(new_data)
        if new_text != given:
            # Kept until the next answer: the C side copies it once we return.
            self._answer = new_text.encode("utf-8")
            text[0] = self._answer


for _property in _NUMBER_PROPERTIES:
    _get, _put = _number_property(_property[1], _property[2], _property[3])
    _get.__name__ = _property[0]
    setattr(CashChanger, _property[0], property(_get, _put))
for _property in _STRING_PROPERTIES:
    _get, _put = _string_property(_property[1], _property[2])
    _get.__name__ = _property[0]
    setattr(CashChanger, _property[0], property(_get, _put))
del _property, _get, _put
