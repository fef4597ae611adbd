// SPDX-License-Identifier: Apache-2.0
/* The C interface from a C program, against the simulated device that
 * with_simulator.sh starts (VEXOKRT_DEVICE, VEXOKRT_SIM_CONTROL): handles,
 * refusals, a sale with a deposit and a jammed pay-out, events through the
 * descriptor and the names. With the argument "later-releases" it checks
 * instead the members of releases 1.8 to 1.11 against the release the
 * service object reports. Exit status 0 when every check held. */
#define _POSIX_C_SOURCE 200809L
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "control/cash_changer_c.h"

static int failures = 0;
#define CHECK(condition)                                                      \
  do {                                                                        \
    if (!(condition)) {                                                       \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      ++failures;                                                             \
    }                                                                         \
  } while (0)

struct seen {
  int data_events;
  int statuses[32];
  int status_count;
  int paid;  /* pData of direct I/O event 20, or -2 before it */
  char pieces[128];
};

static void on_data(void* user, int32_t status) {
  struct seen* s = user;
  (void)status;
  ++s->data_events;
}
static void on_status(void* user, int32_t data) {
  struct seen* s = user;
  if (s->status_count < 32) s->statuses[s->status_count++] = data;
}
static void on_direct_io(void* user, int32_t number, int32_t* data, const char** text) {
  struct seen* s = user;
  if (number == 20) {
    s->paid = *data;
    snprintf(s->pieces, sizeof s->pieces, "%s", *text);
    *text = "noted by the C test"; /* an answer text goes back, and is copied */
  }
}
static int has_status(const struct seen* s, int data) {
  for (int i = 0; i < s->status_count; ++i) {
    if (s->statuses[i] == data) return 1;
  }
  return 0;
}

static double now_seconds(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

/* Waits on the event descriptor, as a program with its own poll loop does,
 * until |done| holds; the limit only ends a failing run. */
static int await(vexokrt_cash_changer* cc, const struct seen* s, int (*done)(const struct seen*)) {
  int fd = -1;
  CHECK(vexokrt_cc_event_fd(cc, &fd) == 0 && fd >= 0);
  const double until = now_seconds() + 10.0;
  while (!done(s)) {
    if (now_seconds() > until) return 0;
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 50) > 0) CHECK(vexokrt_cc_dispatch_events(cc, NULL) == 0);
  }
  return 1;
}
static int online(const struct seen* s) { return has_status(s, 2001); }
static int data_seen(const struct seen* s) { return s->data_events > 0; }
static int jam_and_part(const struct seen* s) { return has_status(s, 31) && s->paid != -2; }
static int jam_cleared(const struct seen* s) { return has_status(s, 32); }

/* The lines the simulator has written so far: one for each control line it
 * has carried out. */
static int sim_replies(void) {
  FILE* replies = fopen(getenv("VEXOKRT_SIM_REPLIES"), "r");
  if (replies == NULL) return -1;
  int lines = 0;
  for (int c = fgetc(replies); c != EOF; c = fgetc(replies)) lines += c == '\n';
  fclose(replies);
  return lines;
}

/* Sends a control line and returns once the simulator has carried it out
 * (its reply is there), so that what the test does next meets it. */
static void sim(const char* line) {
  const int before = sim_replies();
  FILE* control = fopen(getenv("VEXOKRT_SIM_CONTROL"), "w");
  CHECK(control != NULL);
  if (control == NULL) return;
  fprintf(control, "%s\n", line);
  fclose(control);
  const struct timespec slice = {0, 10 * 1000 * 1000};
  for (int i = 0; i < 500 && sim_replies() <= before; ++i) nanosleep(&slice, NULL);
  CHECK(sim_replies() > before);
}

static void handles_and_refusals(void) {
  vexokrt_cash_changer* cc = NULL;
  int32_t value = -1;
  const char* text = NULL;
  CHECK(vexokrt_cc_new(&cc) == 0 && cc != NULL);
  CHECK(vexokrt_cc_claim_device(cc, 1000) == 101);
  CHECK(vexokrt_cc_get_number(cc, VEXOKRT_PIDX_DEVICE_ENABLED, &value) == 101);
  CHECK(vexokrt_cc_result_code(cc, &value) == 0 && value == 101);
  CHECK(vexokrt_cc_close(cc) == 101);
  CHECK(vexokrt_cc_open(cc, "NoSuchDevice") == 104);
  CHECK(vexokrt_cc_open_result(cc, &value) == 0 && value == 302);
  CHECK(vexokrt_cc_open_message(cc, &text) == 0 && strstr(text, "\"NoSuchDevice\"") != NULL);
  CHECK(vexokrt_cc_read_cash_counts(cc, NULL, NULL) == 106);
  vexokrt_cc_free(&cc);
  CHECK(cc == NULL);
  vexokrt_cc_free(&cc); /* a second free of the same variable does nothing */
  vexokrt_cc_free(NULL);
  CHECK(vexokrt_cc_claim_device(NULL, 1000) == 106);
  CHECK(vexokrt_cc_new(NULL) == 106);
}

static void names(void) {
  char buffer[160];
  CHECK(strcmp(vexokrt_name(VEXOKRT_NAMES_RESULT_CODE, 114), "OPOS_E_EXTENDED") == 0);
  CHECK(strcmp(vexokrt_name(VEXOKRT_NAMES_RESULT_CODE, 307), "OPOS_OR_BADVERSION") == 0);
  CHECK(vexokrt_name(VEXOKRT_NAMES_RESULT_CODE, 115) == NULL);
  CHECK(strcmp(vexokrt_name(VEXOKRT_NAMES_EXTENDED_CODE, 0x1234), "VEXOKRT_ECHAN_DEVICE_ERROR") == 0);
  CHECK(strcmp(vexokrt_name(VEXOKRT_NAMES_STATUS_UPDATE, 31), "CHAN_STATUS_JAM") == 0);
  CHECK(strcmp(vexokrt_name(VEXOKRT_NAMES_DIRECT_IO_EVENT, 20), "VEXOKRT_DIO_EVENT_PAYOUT_ENDED_EARLY") == 0);
  CHECK(vexokrt_text(VEXOKRT_NAMES_STATUS_UPDATE, 32) != NULL);
  /* The same numbers name different things by table: 280 is a statistics
   * error among extended codes, 2137 the firmware update at 37 %. */
  CHECK(strcmp(vexokrt_name(VEXOKRT_NAMES_EXTENDED_CODE, 280), "OPOS_ESTATS_ERROR") == 0);
  CHECK(strcmp(vexokrt_name(VEXOKRT_NAMES_EXTENDED_CODE, 282), "OPOS_ESTATS_DEPENDENCY") == 0);
  CHECK(strcmp(vexokrt_name(VEXOKRT_NAMES_STATUS_UPDATE, 2137), "OPOS_SUE_UF_PROGRESS+37") == 0);
  CHECK(strstr(vexokrt_text(VEXOKRT_NAMES_STATUS_UPDATE, 2137), "37 %") != NULL);
  CHECK(strcmp(vexokrt_name(VEXOKRT_NAMES_STATUS_UPDATE, 2200), "OPOS_SUE_UF_COMPLETE") == 0);
  CHECK(strcmp(vexokrt_name(VEXOKRT_NAMES_STATUS_UPDATE, 2205), "OPOS_SUE_UF_COMPLETE_DEV_NOT_RESTORED") == 0);
  CHECK(vexokrt_name(VEXOKRT_NAMES_STATUS_UPDATE, 2206) == NULL);
  CHECK(vexokrt_name(VEXOKRT_NAMES_RESULT_CODE, 2137) == NULL);
  CHECK(vexokrt_name((vexokrt_names)9, 0) == NULL);
  CHECK(vexokrt_extended_text(0x1234, buffer, sizeof buffer) == strlen("device error 0x1234"));
  CHECK(strcmp(buffer, "device error 0x1234") == 0);
  /* Cut short like snprintf: the whole length comes back. */
  const size_t whole = vexokrt_describe_result(114, 238, buffer, 8);
  CHECK(strcmp(buffer, "OPOS_E_") == 0);
  CHECK(vexokrt_describe_result(114, 238, buffer, sizeof buffer) == whole);
  CHECK(strcmp(buffer, "OPOS_E_EXTENDED extended=238 (the machine has stopped with an error)") == 0);
  /* Every table lists its rows in ascending order, each named. */
  for (int table = 0; table < 4; ++table) {
    int32_t code = 0, previous = -1;
    const char* name = NULL;
    int rows = 0;
    while (vexokrt_name_at((vexokrt_names)table, rows, &code, &name, NULL) == 0) {
      CHECK(code > previous && name != NULL && strcmp(vexokrt_name((vexokrt_names)table, code), name) == 0);
      previous = code;
      ++rows;
    }
    CHECK(rows > 0);
  }
}

static void sale(void) {
  vexokrt_cash_changer* cc = NULL;
  struct seen s;
  memset(&s, 0, sizeof s);
  s.paid = -2;
  const char* text = NULL;
  bool discrepancy = true;
  int32_t value = 0;
  char why[160];
  CHECK(vexokrt_cc_new(&cc) == 0);
  CHECK(vexokrt_cc_on_data_event(cc, on_data, &s) == 0);
  CHECK(vexokrt_cc_on_status_update(cc, on_status, &s) == 0);
  CHECK(vexokrt_cc_on_direct_io(cc, on_direct_io, &s) == 0);
  CHECK(vexokrt_cc_open(cc, getenv("VEXOKRT_DEVICE")) == 0);
  CHECK(vexokrt_cc_open(cc, getenv("VEXOKRT_DEVICE")) == 106);
  CHECK(vexokrt_cc_open_result(cc, &value) == 0 && value == 301);
  CHECK(vexokrt_cc_claim_device(cc, 3000) == 0);
  CHECK(vexokrt_cc_set_number(cc, VEXOKRT_PIDX_POWER_NOTIFY, 1) == 0);
  CHECK(vexokrt_cc_set_number(cc, VEXOKRT_PIDX_DEVICE_ENABLED, 1) == 0);
  CHECK(vexokrt_cc_set_number(cc, VEXOKRT_PIDX_DATA_EVENT_ENABLED, 1) == 0);
  CHECK(await(cc, &s, online));
  CHECK(vexokrt_cc_get_string(cc, VEXOKRT_PIDX_DEVICE_NAME, &text) == 0 && strcmp(text, "KRT07") == 0);
  CHECK(vexokrt_cc_set_string(cc, VEXOKRT_PIDX_CURRENCY_CODE, "jpy") == 106);
  CHECK(vexokrt_cc_read_cash_counts(cc, &text, &discrepancy) == 0);
  CHECK(strncmp(text, "0:20,1:60,", 10) == 0 && !discrepancy);

  CHECK(vexokrt_cc_begin_deposit(cc) == 0);
  sim("insert 1000:2");
  CHECK(await(cc, &s, data_seen));
  CHECK(vexokrt_cc_get_number(cc, VEXOKRT_PIDX_DEPOSIT_AMOUNT, &value) == 0 && value == 2000);
  CHECK(vexokrt_cc_fix_deposit(cc) == 0);
  CHECK(vexokrt_cc_end_deposit(cc, 2) == 0);

  sim("fault jam-payout 1");
  const int32_t failed = vexokrt_cc_dispense_change(cc, 766);
  CHECK(failed != 0 && vexokrt_name(VEXOKRT_NAMES_RESULT_CODE, failed) != NULL);
  CHECK(vexokrt_cc_result_code(cc, &value) == 0 && value == failed);
  vexokrt_describe_result(failed, 0, why, sizeof why);
  printf("jammed pay-out: %d %s\n", failed, why);
  CHECK(await(cc, &s, jam_and_part));
  CHECK(s.paid == 500);
  CHECK(strcmp(s.pieces, "1:0,5:0,10:0,50:0,100:0,500:1;1000:0,2000:0,5000:0,10000:0") == 0);
  sim("jam off");
  CHECK(await(cc, &s, jam_cleared));
  CHECK(vexokrt_cc_dispense_change(cc, 266) == 0);

  int32_t data = 0;
  CHECK(vexokrt_cc_direct_io(cc, 5, &data, "", &text) == 106);
  CHECK(vexokrt_cc_set_number(cc, VEXOKRT_PIDX_DEVICE_ENABLED, 0) == 0);
  CHECK(vexokrt_cc_release_device(cc) == 0);
  CHECK(vexokrt_cc_close(cc) == 0);
  CHECK(vexokrt_cc_close(cc) == 101);
  vexokrt_cc_free(&cc);
}

/* The members of releases after 1.6 reach the service object only when it
 * reports their release; otherwise they answer 104 and hand back what went
 * in. */
static void later_releases(void) {
  vexokrt_cash_changer* cc = NULL;
  const char* text = NULL;
  int32_t value = -1;
  CHECK(vexokrt_cc_new(&cc) == 0);
  CHECK(vexokrt_cc_retrieve_statistics(cc, "", NULL) == 106);
  CHECK(vexokrt_cc_compare_firmware_version(cc, "firmware.bin", NULL) == 106);
  CHECK(vexokrt_cc_reset_statistics(cc, NULL) == 106);
  CHECK(vexokrt_cc_retrieve_statistics(cc, "", &text) == 101);
  CHECK(vexokrt_cc_open(cc, getenv("VEXOKRT_DEVICE")) == 0);
  CHECK(vexokrt_cc_get_number(cc, VEXOKRT_PIDX_SERVICE_OBJECT_VERSION, &value) == 0);
  const int32_t minor = value / 1000 % 1000;
  printf("later releases: the service object reports %d, release 1.%d\n", value, minor);
  const int32_t statistics = minor >= 8 ? 0 : 104;
  /* The statistics are the machine's: it is claimed and enabled. */
  CHECK(vexokrt_cc_claim_device(cc, 3000) == 0);
  CHECK(vexokrt_cc_set_number(cc, VEXOKRT_PIDX_DEVICE_ENABLED, 1) == 0);
  CHECK(vexokrt_cc_get_number(cc, VEXOKRT_PIDX_CAP_STATISTICS_REPORTING, &value) == statistics);
  CHECK(vexokrt_cc_retrieve_statistics(cc, "U_", &text) == statistics);
  if (minor >= 8) {
    /* The whole document, however long. */
    CHECK(text != NULL && strstr(text, "UPOSStat") != NULL);
  } else {
    CHECK(text != NULL && strcmp(text, "U_") == 0);
    CHECK(vexokrt_cc_reset_statistics(cc, "") == 104);
    CHECK(vexokrt_cc_update_statistics(cc, "U_HoursPoweredCount=0") == 104);
  }
  if (minor >= 9) {
    /* A name that is no firmware file of the machine: refused by the
     * service object with the firmware's extended code. */
    value = -1;
    CHECK(vexokrt_cc_compare_firmware_version(cc, "firmware.bin", &value) == 114 && value == -1);
    CHECK(vexokrt_cc_result_code_extended(cc, &value) == 0 && value == 281);
    CHECK(vexokrt_cc_get_number(cc, VEXOKRT_PIDX_CAP_UPDATE_FIRMWARE, &value) == 0 && value == 1);
  }
  if (minor >= 11) {
    CHECK(vexokrt_cc_adjust_cash_counts(cc, "1000:10") == 0);
    CHECK(vexokrt_cc_adjust_cash_counts(cc, "1000:1000") == 106);
  }
  if (minor < 9) {
    value = -1;
    CHECK(vexokrt_cc_compare_firmware_version(cc, "firmware.bin", &value) == 104 && value == -1);
    CHECK(vexokrt_cc_update_firmware(cc, "firmware.bin") == 104);
    CHECK(vexokrt_cc_get_number(cc, VEXOKRT_PIDX_CAP_UPDATE_FIRMWARE, &value) == 104 && value == 0);
  }
  if (minor < 11) {
    CHECK(vexokrt_cc_adjust_cash_counts(cc, "1000:10") == 104);
    CHECK(vexokrt_cc_set_number(cc, VEXOKRT_PIDX_CURRENT_SERVICE, 1) == 104);
    CHECK(vexokrt_cc_get_number(cc, VEXOKRT_PIDX_SERVICE_COUNT, &value) == 104 && value == 0);
    CHECK(vexokrt_cc_result_code(cc, &value) == 0 && value == 104);
  } else {
    CHECK(vexokrt_cc_get_number(cc, VEXOKRT_PIDX_SERVICE_COUNT, &value) == 0);
  }
  CHECK(vexokrt_cc_release_device(cc) == 0);
  CHECK(vexokrt_cc_close(cc) == 0);
  vexokrt_cc_free(&cc);
}

int main(int argc, char** argv) {
  if (argc > 1 && strcmp(argv[1], "later-releases") == 0) {
    later_releases();
    if (failures != 0) {
      fprintf(stderr, "%d check(s) failed\n", failures);
      return 1;
    }
    printf("C interface, later releases: all checks passed\n");
    return 0;
  }
  handles_and_refusals();
  names();
  sale();
  if (failures != 0) {
    fprintf(stderr, "%d check(s) failed\n", failures);
    return 1;
  }
  printf("C interface: all checks passed\n");
  return 0;
}
