// SPDX-License-Identifier: Apache-2.0
/* pos_change_c: the sale of pos_change.cc, in C on the control's C
 * interface (vexokrt_cash_changer(3)).
 *
 *   pos_change_c DEVICE [PRICE]
 *
 * Opens the CashChanger DEVICE, claims and enables it, reads the counts,
 * takes the customer's cash for a sale of PRICE yen (default 1234) as a
 * deposit, pays the change and releases the device. A pay-out that ends
 * early (a jam) shows the part paid, waits until the jam is cleared and
 * pays the rest. The program waits for events in its own poll loop on the
 * control's descriptor.
 *
 * Try it against the simulator (as root, or with OPOS_REGISTRY_DIR naming a
 * folder of your own for the registry):
 *   vexokrt register
 *   vexokrt sim --model KRT07          # prints "slave: /dev/pts/N"; leave it running
 *   vexokrt config Changer1 --set Port=/dev/pts/N --set Port_Initialize_String=9600,E,8,1
 *   cc pos_change_c.c $(pkg-config --cflags --libs vexokrt-c) -o pos_change_c   # or: make
 *   ./pos_change_c Changer1
 * and type at the simulator what the program asks for: `insert 1000:2` when
 * it waits for the cash, and, to see a jam, `fault jam-payout 1` before the
 * change is paid and `jam off` when it asks for the jam to be cleared.
 *
 * Exit status: 0 when the sale went through and the change was paid in full. */
#define _POSIX_C_SOURCE 200809L
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <vexokrt/cash_changer_c.h>

enum { POWER_ONLINE = 2001, JAM = 31, JAM_CLEARED = 32, PAYOUT_ENDED_EARLY = 20, DEPOSIT_NOCHANGE = 2, DEPOSIT_REPAY = 3 };

/* What the events have told so far. */
struct sale {
  int online, counted, jammed, jam_cleared, part_told;
  int32_t part_paid; /* direct I/O event 20: the yen paid, or -1 when the machine cannot tell */
  char pieces[128];
};

static const char* name_of(vexokrt_names table, int32_t code) {
  const char* name = vexokrt_name(table, code);
  return name != NULL ? name : "?";
}

static void on_data_event(void* user, int32_t status) {
  struct sale* sale = user;
  printf("event DataEvent %d\n", status);
  sale->counted = 1;
}
static void on_status_update(void* user, int32_t data) {
  struct sale* sale = user;
  const char* text = vexokrt_text(VEXOKRT_NAMES_STATUS_UPDATE, data);
  printf("event StatusUpdateEvent %d %s (%s)\n", data, name_of(VEXOKRT_NAMES_STATUS_UPDATE, data), text ? text : "");
  if (data == POWER_ONLINE) sale->online = 1;
  if (data == JAM) sale->jammed = 1;
  if (data == JAM_CLEARED) sale->jam_cleared = 1;
}
static void on_direct_io(void* user, int32_t number, int32_t* data, const char** text) {
  struct sale* sale = user;
  printf("event DirectIOEvent %d %s pData %d pString \"%s\"\n", number, name_of(VEXOKRT_NAMES_DIRECT_IO_EVENT, number),
         *data, *text);
  if (number == PAYOUT_ENDED_EARLY) {
    sale->part_told = 1;
    sale->part_paid = *data;
    snprintf(sale->pieces, sizeof sale->pieces, "%s", *text);
  }
}

static double now_seconds(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

/* The application's loop: poll the control's descriptor (an application
 * would add its own descriptors) and dispatch, until *flag or |seconds|. */
static int await(vexokrt_cash_changer* cc, const int* flag, int seconds) {
  int fd = -1;
  vexokrt_cc_event_fd(cc, &fd);
  const double until = now_seconds() + seconds;
  vexokrt_cc_dispatch_events(cc, NULL);
  while (!*flag) {
    const double left = until - now_seconds();
    if (left <= 0) return 0;
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, (int)(left * 1000) + 1) > 0) vexokrt_cc_dispatch_events(cc, NULL);
  }
  return 1;
}

static void show(vexokrt_cash_changer* cc, const char* call, int32_t result) {
  int32_t extended = 0;
  char why[200];
  vexokrt_cc_result_code_extended(cc, &extended);
  vexokrt_describe_result(result, extended, why, sizeof why);
  printf("%s: %d %s\n", call, result, why);
}

static int32_t deposit_amount(vexokrt_cash_changer* cc) {
  int32_t amount = 0;
  vexokrt_cc_get_number(cc, VEXOKRT_PIDX_DEPOSIT_AMOUNT, &amount);
  return amount;
}

/* Pays |change|; after a pay-out that ended early, the rest once the jam is
 * cleared. 1 when all of it was paid. */
static int pay_change(vexokrt_cash_changer* cc, struct sale* sale, int32_t change) {
  int32_t rest = change;
  for (int attempt = 0; attempt < 3 && rest > 0; ++attempt) {
    char call[48];
    sale->part_told = sale->jammed = sale->jam_cleared = 0;
    const int32_t result = vexokrt_cc_dispense_change(cc, rest);
    snprintf(call, sizeof call, "DispenseChange(%d)", rest);
    show(cc, call, result);
    if (result == 0) return 1;
    /* The part paid comes as direct I/O event 20, the jam as status update 31. */
    if (!await(cc, &sale->part_told, 5)) {
      printf("nothing was paid\n");
      return 0;
    }
    if (sale->part_paid < 0) {
      printf("the machine cannot tell what it paid: count the cash at the outlet\n");
      return 0;
    }
    printf("part paid: %d yen, pieces %s\n", sale->part_paid, sale->pieces);
    rest -= sale->part_paid;
    if (!await(cc, &sale->jammed, 5)) return 0;
    printf("the machine is jammed: clear the jam (at the simulator: jam off)\n");
    if (!await(cc, &sale->jam_cleared, 120)) return 0;
    printf("jam cleared: paying the rest, %d yen\n", rest);
  }
  return rest == 0;
}

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: pos_change_c DEVICE [PRICE]\n");
    return 2;
  }
  setvbuf(stdout, NULL, _IOLBF, 0); /* the prompts show at once, also through a pipe */
  const char* device = argv[1];
  const int32_t price = argc > 2 ? atoi(argv[2]) : 1234;
  struct sale sale;
  memset(&sale, 0, sizeof sale);
  vexokrt_cash_changer* cc = NULL;
  if (vexokrt_cc_new(&cc) != 0) return 1;
  vexokrt_cc_on_data_event(cc, on_data_event, &sale);
  vexokrt_cc_on_status_update(cc, on_status_update, &sale);
  vexokrt_cc_on_direct_io(cc, on_direct_io, &sale);

  int32_t result = vexokrt_cc_open(cc, device);
  if (result != 0) {
    int32_t open_result = 0;
    const char* message = "";
    show(cc, "Open", result);
    vexokrt_cc_open_result(cc, &open_result);
    vexokrt_cc_open_message(cc, &message);
    printf("open result %d %s: %s\n", open_result, name_of(VEXOKRT_NAMES_RESULT_CODE, open_result), message);
    vexokrt_cc_free(&cc);
    return 1;
  }
  result = vexokrt_cc_claim_device(cc, 3000);
  if (result != 0) {
    show(cc, "ClaimDevice", result);
    vexokrt_cc_free(&cc);
    return 1;
  }
  vexokrt_cc_set_number(cc, VEXOKRT_PIDX_POWER_NOTIFY, 1);
  result = vexokrt_cc_set_number(cc, VEXOKRT_PIDX_DEVICE_ENABLED, 1);
  if (result != 0) show(cc, "DeviceEnabled", result);
  await(cc, &sale.online, 5);
  const char* description = "";
  int32_t version = 0;
  vexokrt_cc_get_string(cc, VEXOKRT_PIDX_DEVICE_DESCRIPTION, &description);
  vexokrt_cc_get_number(cc, VEXOKRT_PIDX_SERVICE_OBJECT_VERSION, &version);
  printf("claimed %s: %s, service object %d\n", device, description, version);

  const char* counts = NULL;
  bool discrepancy = false;
  result = vexokrt_cc_read_cash_counts(cc, &counts, &discrepancy);
  if (result == 0) {
    printf("counts %s discrepancy %d\n", counts, discrepancy ? 1 : 0);
  } else {
    show(cc, "ReadCashCounts", result);
  }

  /* The customer pays: a deposit, counted by the machine, until it covers the price. */
  int ok = 0;
  vexokrt_cc_set_number(cc, VEXOKRT_PIDX_DATA_EVENT_ENABLED, 1);
  result = vexokrt_cc_begin_deposit(cc);
  if (result != 0) {
    show(cc, "BeginDeposit", result);
  } else {
    printf("sale %d yen: insert the cash at the simulator, for example: insert 1000:2\n", price);
    while (deposit_amount(cc) < price) {
      sale.counted = 0;
      if (!await(cc, &sale.counted, 120)) break;
      printf("deposit %d yen\n", deposit_amount(cc));
      vexokrt_cc_set_number(cc, VEXOKRT_PIDX_DATA_EVENT_ENABLED, 1); /* a data event turns it off */
    }
    const int32_t amount = deposit_amount(cc);
    vexokrt_cc_fix_deposit(cc);
    if (amount < price) {
      printf("not paid: %d yen handed back\n", amount);
      vexokrt_cc_end_deposit(cc, DEPOSIT_REPAY);
    } else if ((result = vexokrt_cc_end_deposit(cc, DEPOSIT_NOCHANGE)) != 0) {
      show(cc, "EndDeposit", result);
    } else {
      const int32_t change = amount - price;
      printf("change %d yen\n", change);
      ok = pay_change(cc, &sale, change);
      if (ok) printf("change paid: %d yen\n", change);
    }
  }

  vexokrt_cc_set_number(cc, VEXOKRT_PIDX_DEVICE_ENABLED, 0);
  result = vexokrt_cc_release_device(cc);
  show(cc, "ReleaseDevice", result);
  vexokrt_cc_close(cc);
  vexokrt_cc_free(&cc);
  if (result == 0) printf("released\n");
  return ok && result == 0 ? 0 : 1;
}
