// SPDX-License-Identifier: Apache-2.0
/* The CashChanger control from C, and from any language with a foreign-
 * function interface: a flat interface over vexokrt::CashChanger.
 *
 *   #include <vexokrt/cash_changer_c.h>      cc prog.c $(pkg-config --cflags --libs vexokrt-c)
 *
 * Rules that hold for every function here:
 * - A handle comes from vexokrt_cc_new and is freed with vexokrt_cc_free,
 *   which sets the caller's pointer to NULL: a second vexokrt_cc_free (or
 *   one with NULL) does nothing. Using a handle after it was freed is
 *   undefined behaviour.
 * - Every vexokrt_cc_* function returns an OPOS result code: 0 success,
 *   101 (OPOS_E_CLOSED) before open or after close, 104 a member the
 *   service object does not have, 106 (OPOS_E_ILLEGAL) for a NULL handle or
 *   out-pointer, 114 with the reason in vexokrt_cc_result_code_extended.
 *   Closing twice is safe: the second close gives 101.
 * - The members of releases after 1.6 (statistics 1.8, firmware 1.9,
 *   adjust cash counts and the 13010-13013, 13510, 13511 properties 1.11)
 *   reach only a service object of that release or a later one; on an
 *   older one they answer 104 without reaching it (a property read gives 0).
 * - No exception crosses this interface, and a callback must not throw or
 *   longjmp out of it.
 * - Texts are UTF-8. A text handed out through a const char ** stays valid
 *   until the next call with the same handle; copy it to keep it.
 * - A handle is used from one thread, the one that opens it. Events are
 *   delivered on that thread while it calls vexokrt_cc_dispatch_events or
 *   vexokrt_cc_wait_for_events; vexokrt_cc_event_fd is the descriptor to
 *   poll in a loop of one's own.
 *
 * The man page vexokrt_cash_changer(3) describes each function. */
#ifndef VEXOKRT_CASH_CHANGER_C_H
#define VEXOKRT_CASH_CHANGER_C_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct vexokrt_cash_changer vexokrt_cash_changer;

/* Property index numbers (the OPOS PIDX values). */
enum {
  VEXOKRT_PIDX_CLAIMED = 1,
  VEXOKRT_PIDX_DATA_EVENT_ENABLED = 2,
  VEXOKRT_PIDX_DEVICE_ENABLED = 3,
  VEXOKRT_PIDX_FREEZE_EVENTS = 4,
  VEXOKRT_PIDX_RESULT_CODE = 6,
  VEXOKRT_PIDX_RESULT_CODE_EXTENDED = 7,
  VEXOKRT_PIDX_SERVICE_OBJECT_VERSION = 8,
  VEXOKRT_PIDX_STATE = 9,
  VEXOKRT_PIDX_BINARY_CONVERSION = 11,
  VEXOKRT_PIDX_DATA_COUNT = 12,
  VEXOKRT_PIDX_POWER_NOTIFY = 13,
  VEXOKRT_PIDX_POWER_STATE = 14,
  VEXOKRT_PIDX_CAP_POWER_REPORTING = 501,
  VEXOKRT_PIDX_CAP_STATISTICS_REPORTING = 502,    /* release 1.8 */
  VEXOKRT_PIDX_CAP_UPDATE_STATISTICS = 503,       /* release 1.8 */
  VEXOKRT_PIDX_CAP_COMPARE_FIRMWARE_VERSION = 504, /* release 1.9 */
  VEXOKRT_PIDX_CAP_UPDATE_FIRMWARE = 505,          /* release 1.9 */
  VEXOKRT_PIDX_ASYNC_MODE = 13001,
  VEXOKRT_PIDX_ASYNC_RESULT_CODE = 13002,
  VEXOKRT_PIDX_ASYNC_RESULT_CODE_EXTENDED = 13003,
  VEXOKRT_PIDX_CURRENT_EXIT = 13004,
  VEXOKRT_PIDX_DEVICE_EXITS = 13005,
  VEXOKRT_PIDX_DEVICE_STATUS = 13006,
  VEXOKRT_PIDX_FULL_STATUS = 13007,
  VEXOKRT_PIDX_DEPOSIT_AMOUNT = 13008,
  VEXOKRT_PIDX_DEPOSIT_STATUS = 13009,
  VEXOKRT_PIDX_CURRENT_SERVICE = 13010,        /* release 1.11 */
  VEXOKRT_PIDX_REAL_TIME_DATA_ENABLED = 13011, /* release 1.11 */
  VEXOKRT_PIDX_SERVICE_COUNT = 13012,          /* release 1.11 */
  VEXOKRT_PIDX_SERVICE_INDEX = 13013,          /* release 1.11 */
  VEXOKRT_PIDX_CAP_DISCREPANCY = 13501,
  VEXOKRT_PIDX_CAP_EMPTY_SENSOR = 13502,
  VEXOKRT_PIDX_CAP_FULL_SENSOR = 13503,
  VEXOKRT_PIDX_CAP_NEAR_EMPTY_SENSOR = 13504,
  VEXOKRT_PIDX_CAP_NEAR_FULL_SENSOR = 13505,
  VEXOKRT_PIDX_CAP_DEPOSIT = 13506,
  VEXOKRT_PIDX_CAP_DEPOSIT_DATA_EVENT = 13507,
  VEXOKRT_PIDX_CAP_PAUSE_DEPOSIT = 13508,
  VEXOKRT_PIDX_CAP_REPAY_DEPOSIT = 13509,
  VEXOKRT_PIDX_CAP_JAM_SENSOR = 13510,     /* release 1.11 */
  VEXOKRT_PIDX_CAP_REAL_TIME_DATA = 13511, /* release 1.11 */
  VEXOKRT_PIDX_CHECK_HEALTH_TEXT = 1000001,
  VEXOKRT_PIDX_DEVICE_DESCRIPTION = 1000002,
  VEXOKRT_PIDX_DEVICE_NAME = 1000003,
  VEXOKRT_PIDX_SERVICE_OBJECT_DESCRIPTION = 1000004,
  VEXOKRT_PIDX_CURRENCY_CASH_LIST = 1013001,
  VEXOKRT_PIDX_CURRENCY_CODE = 1013002,
  VEXOKRT_PIDX_CURRENCY_CODE_LIST = 1013003,
  VEXOKRT_PIDX_EXIT_CASH_LIST = 1013004,
  VEXOKRT_PIDX_DEPOSIT_CASH_LIST = 1013005,
  VEXOKRT_PIDX_DEPOSIT_CODE_LIST = 1013006,
  VEXOKRT_PIDX_DEPOSIT_COUNTS = 1013007
};

/* --- handles ---------------------------------------------------------------- */
/* A new, closed control in *cc. 0, or 111 (OPOS_E_FAILURE) when it cannot be
 * made (then *cc is NULL). */
int32_t vexokrt_cc_new(vexokrt_cash_changer** cc);
/* Closes the control if it is open, frees it and sets *cc to NULL. */
void vexokrt_cc_free(vexokrt_cash_changer** cc);

/* --- opening --------------------------------------------------------------- */
/* Creates the service object of |device_name| through the registry and opens
 * it. Failures: 106 already open (open result 301); 104 no device key (302),
 * no service object named (303), not created (304), a member missing (305),
 * another major version (307); the service object's own result otherwise
 * (open result its own, or 306). */
int32_t vexokrt_cc_open(vexokrt_cash_changer* cc, const char* device_name);
int32_t vexokrt_cc_close(vexokrt_cash_changer* cc);
/* The outcome of the last open (0 or an OPOS_OR_* / OPOS_ORS_* code) and,
 * for people, why it failed (empty after success). */
int32_t vexokrt_cc_open_result(vexokrt_cash_changer* cc, int32_t* open_result);
int32_t vexokrt_cc_open_message(vexokrt_cash_changer* cc, const char** message);

/* --- methods --------------------------------------------------------------- */
int32_t vexokrt_cc_claim_device(vexokrt_cash_changer* cc, int32_t timeout_ms);
int32_t vexokrt_cc_release_device(vexokrt_cash_changer* cc);
int32_t vexokrt_cc_check_health(vexokrt_cash_changer* cc, int32_t level);
int32_t vexokrt_cc_clear_input(vexokrt_cash_changer* cc);
/* *data is read and written; |text| (may be NULL: empty) is pString's value
 * going in, *text_out (may be NULL) its value coming back. */
int32_t vexokrt_cc_direct_io(vexokrt_cash_changer* cc, int32_t command, int32_t* data, const char* text,
                             const char** text_out);
int32_t vexokrt_cc_read_cash_counts(vexokrt_cash_changer* cc, const char** cash_counts, bool* discrepancy);
int32_t vexokrt_cc_dispense_cash(vexokrt_cash_changer* cc, const char* cash_counts);
int32_t vexokrt_cc_dispense_change(vexokrt_cash_changer* cc, int32_t amount);
int32_t vexokrt_cc_begin_deposit(vexokrt_cash_changer* cc);
int32_t vexokrt_cc_fix_deposit(vexokrt_cash_changer* cc);
int32_t vexokrt_cc_pause_deposit(vexokrt_cash_changer* cc, int32_t control);
int32_t vexokrt_cc_end_deposit(vexokrt_cash_changer* cc, int32_t success);
/* Release 1.8. |names| is the request: "" every statistic, "U_" the
 * UnifiedPOS ones, "M_" the manufacturer's, or names separated by ','
 * (retrieving with NULL asks for every one); *statistics is the XML
 * document, whole, however long it is. */
int32_t vexokrt_cc_reset_statistics(vexokrt_cash_changer* cc, const char* names);
int32_t vexokrt_cc_retrieve_statistics(vexokrt_cash_changer* cc, const char* names, const char** statistics);
/* "Name=Value,Name=Value". */
int32_t vexokrt_cc_update_statistics(vexokrt_cash_changer* cc, const char* values);
/* Release 1.9. *result: 1 older, 2 same, 3 newer, 4 different, 5 unknown.
 * An update goes on in the background: its progress arrives as status
 * updates 2100 + percent, then 2200 complete or 2201-2205 failed. */
int32_t vexokrt_cc_compare_firmware_version(vexokrt_cash_changer* cc, const char* file_name, int32_t* result);
int32_t vexokrt_cc_update_firmware(vexokrt_cash_changer* cc, const char* file_name);
/* Release 1.11: the counts as vexokrt_cc_read_cash_counts gives them. */
int32_t vexokrt_cc_adjust_cash_counts(vexokrt_cash_changer* cc, const char* cash_counts);

/* --- properties ------------------------------------------------------------ */
/* The result code of the last call (101 before open) and ResultCodeExtended. */
int32_t vexokrt_cc_result_code(vexokrt_cash_changer* cc, int32_t* result_code);
int32_t vexokrt_cc_result_code_extended(vexokrt_cash_changer* cc, int32_t* extended);
/* Any property by its VEXOKRT_PIDX_* index; booleans are 0 and 1. A setter
 * returns the ResultCode it leaves. FreezeEvents is held by the service
 * object through COFreezeEvents. */
int32_t vexokrt_cc_get_number(vexokrt_cash_changer* cc, int32_t index, int32_t* value);
int32_t vexokrt_cc_set_number(vexokrt_cash_changer* cc, int32_t index, int32_t value);
int32_t vexokrt_cc_get_string(vexokrt_cash_changer* cc, int32_t index, const char** value);
int32_t vexokrt_cc_set_string(vexokrt_cash_changer* cc, int32_t index, const char* value);

/* --- events ---------------------------------------------------------------- */
typedef void (*vexokrt_data_event_fn)(void* user, int32_t status);
typedef void (*vexokrt_status_update_fn)(void* user, int32_t data);
/* *data is pData: what the callback leaves there goes back to the service
 * object. *text is pString, valid during the call; to answer another text,
 * point *text at one that stays valid until the callback returns (it is
 * copied then). */
typedef void (*vexokrt_direct_io_fn)(void* user, int32_t event_number, int32_t* data, const char** text);

/* Each callback (NULL: none) receives |user| unchanged. */
int32_t vexokrt_cc_on_data_event(vexokrt_cash_changer* cc, vexokrt_data_event_fn callback, void* user);
int32_t vexokrt_cc_on_status_update(vexokrt_cash_changer* cc, vexokrt_status_update_fn callback, void* user);
int32_t vexokrt_cc_on_direct_io(vexokrt_cash_changer* cc, vexokrt_direct_io_fn callback, void* user);
/* The descriptor that is readable while events may be waiting. */
int32_t vexokrt_cc_event_fd(vexokrt_cash_changer* cc, int* fd);
/* Fires what has arrived without waiting; *fired (may be NULL) is the number
 * of events. */
int32_t vexokrt_cc_dispatch_events(vexokrt_cash_changer* cc, int32_t* fired);
/* Waits up to |timeout_ms| (-1: without limit) for at least one event; *fired
 * 0 means the time ran out. */
int32_t vexokrt_cc_wait_for_events(vexokrt_cash_changer* cc, int32_t timeout_ms, int32_t* fired);

/* --- names ----------------------------------------------------------------- */
typedef enum {
  VEXOKRT_NAMES_RESULT_CODE = 0,     /* result codes and open results */
  VEXOKRT_NAMES_EXTENDED_CODE = 1,   /* ResultCodeExtended with 114 */
  VEXOKRT_NAMES_STATUS_UPDATE = 2,   /* StatusUpdateEvent data */
  VEXOKRT_NAMES_DIRECT_IO_EVENT = 3  /* DirectIOEvent numbers */
} vexokrt_names;

/* The name ("OPOS_E_EXTENDED") and short English text of |code|; NULL when
 * the table has none. An extended code from 1 to 0xFFFF outside the table
 * is the machine's own error number: its name is
 * "VEXOKRT_ECHAN_DEVICE_ERROR" and its text, from vexokrt_extended_text,
 * "device error 0x1234". The strings are static. */
const char* vexokrt_name(vexokrt_names table, int32_t code);
const char* vexokrt_text(vexokrt_names table, int32_t code);
/* The |index|th row of |table| (from 0): 0, or 106 past the end. */
int32_t vexokrt_name_at(vexokrt_names table, int32_t index, int32_t* code, const char** name, const char** text);
/* Like snprintf: writes at most |size| bytes (ended by a zero byte) into
 * |buffer| and returns the length of the whole text. The text of an
 * extended code; and a result as the shell prints it, "OPOS_E_EXTENDED
 * extended=238 (the machine has stopped with an error)". */
size_t vexokrt_extended_text(int32_t code, char* buffer, size_t size);
size_t vexokrt_describe_result(int32_t result, int32_t extended, char* buffer, size_t size);

#ifdef __cplusplus
}
#endif

#endif /* VEXOKRT_CASH_CHANGER_C_H */
