/* Runs the real Linux scanfw against an emulated USB scanner.
 *
 * A umockdev testbed holds a root hub, an external hub and the devices of a
 * compiled scenario (tests/sim/scncc.py). Each device node answers the
 * usbfs ioctls that libusb makes (capabilities, claim, URB submit, reap and
 * discard); what the scanner makes of each URB is the scanner model's
 * (tests/sim/scanner_model.c). scanfw runs unmodified under the umockdev
 * preload library; its whole standard output is compared with NAME.out,
 * and what the devices received is judged by the model's checks.
 *
 * The URB layer is the testbed's own: the kernel's usbfs memory accounting
 * (see "usbfs memory" below), an unplugged device, and a scanner that
 * re-enumerates after its burn.
 *
 * Exit status: 0 passed, 1 failed, 77 a run as another user without root. */
#define _GNU_SOURCE /* nftw */
#include <errno.h>
#include <ftw.h>
#include <glib.h>
#include <linux/usbdevice_fs.h>
#include <locale.h>
#include <signal.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <umockdev.h>
#include <unistd.h>

#include "tests/sim/scanner_model.h"

#define SKIP 77
#define EP_BULK_IN 0x81
#define EP_BULK_OUT 0x02
#define EP_INTERRUPT_IN 0x83

static scn_record scenario;

/* One submitted URB, as the emulated device holds it until it is reaped. */
typedef struct {
  UMockdevIoctlData *urb;    /* the client's struct usbdevfs_urb */
  UMockdevIoctlData *buffer; /* its data buffer, NULL when empty */
  int status;
  int actual;
  guint64 charged; /* what usbfs counts for it until it is reaped */
  int leaves;      /* the burn's answer "done" from a scanner that then
                      re-enumerates, once it is reaped */
} Urb;

typedef struct Device {
  char devnode[64];
  char *syspath;
  char name[32]; /* in sysfs, under its parent */
  const struct Device *parent;
  int bus, address;
  int slot;   /* the scenario's device; -1 for a hub */
  int left;   /* it left the bus to re-enumerate */
  int reborn; /* the scanner back at a new address, never to be opened */
  int connections;
  int claimed;
  int ever_claimed;
  int submits_before_claim;
  int ioctls_before_claim; /* other than the capability query */
  int gone;                /* disconnected: only reaping still works */
  uint32_t bulk_urbs;
  GQueue done;    /* Urb*: completed, waiting to be reaped */
  GQueue stalled; /* Urb*: never completed unless discarded */
  scn_scanner model;
  gint64 bulk_started_us, bulk_reaped_us;
  GString *log;
} Device;

/* the scenario's devices, three hubs, and each scanner back after it
 * re-enumerated */
static Device devices[2 * SCN_MAX_DEVICES + 3];
static UMockdevTestbed *testbed;
static int device_total;
static guint32 capabilities;
static GMutex state_lock;
static uint32_t image_length, image_crc;
static volatile pid_t child_pid; /* scanfw, while it runs */
static gint64 child_ended_us;
/* When the first URB that a fault strikes arrived; 0: none yet. */
static gint64 fault_us;

/* --logind: the inhibitors that logind holds for scanfw, looked up as each
 * request reaches the scanner. */
static GDBusConnection *system_bus;
static GString *inhibitors;
static int logind_runs;

static int scanfw_inhibitors(void) {
  GVariant *reply = g_dbus_connection_call_sync(
      system_bus, "org.freedesktop.login1", "/org/freedesktop/login1",
      "org.freedesktop.login1.Manager", "ListInhibitors", NULL,
      G_VARIANT_TYPE("(a(ssssuu))"), G_DBUS_CALL_FLAGS_NONE, 5000, NULL, NULL);
  if (!reply) return -1;
  GVariantIter *list = NULL;
  const char *what, *who, *why, *mode;
  guint32 uid, pid;
  int held = 0;
  g_variant_get(reply, "(a(ssssuu))", &list);
  while (g_variant_iter_next(list, "(&s&s&s&suu)", &what, &who, &why, &mode,
                             &uid, &pid))
    if (!strcmp(what, "sleep:shutdown") && !strcmp(who, "scanfw") &&
        !strcmp(why, "Scanner firmware update in progress") &&
        !strcmp(mode, "block"))
      held++;
  g_variant_iter_free(list);
  g_variant_unref(reply);
  return held;
}

static int failed;
static void fail(const char *format, ...) {
  va_list args;
  va_start(args, format);
  printf("FAIL: ");
  vprintf(format, args);
  printf("\n");
  va_end(args);
  failed = 1;
}

/* ---- usbfs memory -------------------------------------------------------- */

/* The kernel refuses a URB (ENOMEM) when the buffers of the URBs submitted
 * and not yet reaped would pass usbfs_memory_mb (16 MiB unless changed; 0
 * means no limit); devio.c also counts its own records of each URB, about
 * this much. The accounting is the process's, over all its devices. */
#define USBFS_URB_RECORD 512u
/* What scanfw keeps submitted at most, in buffers: one image at a time, 4
 * MiB of it at most, and beside it (--all side by side) one command or
 * answer, 32 bytes at most, for each other scanner. */
#define SCANFW_MAX_OUTSTANDING (4u << 20)
#define SCANFW_COMMAND_BYTES 32u

static guint64 usbfs_charged, usbfs_buffers, usbfs_peak_buffers;
static int usbfs_refused;

/* Charges a URB of `length` bytes at submission; FALSE when the kernel
 * would refuse it. */
static gboolean usbfs_charge(Urb *urb, int length) {
  guint64 cost = (guint64)(length > 0 ? length : 0) + USBFS_URB_RECORD;
  if (scenario.usbfs_limit && usbfs_charged + cost > scenario.usbfs_limit) {
    usbfs_refused++;
    return FALSE;
  }
  urb->charged = cost;
  usbfs_charged += cost;
  usbfs_buffers += cost - USBFS_URB_RECORD;
  if (usbfs_buffers > usbfs_peak_buffers) usbfs_peak_buffers = usbfs_buffers;
  return TRUE;
}

static void usbfs_uncharge(Urb *urb) {
  usbfs_charged -= urb->charged;
  usbfs_buffers -= urb->charged - USBFS_URB_RECORD;
  urb->charged = 0;
}

static void usbfs_report(void) {
  printf("usbfs: at most %" G_GUINT64_FORMAT
         " bytes in submitted URBs, limit %u, %d submissions refused\n",
         usbfs_peak_buffers, scenario.usbfs_limit, usbfs_refused);
  const guint64 most =
      SCANFW_MAX_OUTSTANDING +
      (guint64)SCANFW_COMMAND_BYTES *
          (scenario.device_count ? scenario.device_count - 1 : 0);
  if (usbfs_peak_buffers > most)
    fail("more than %" G_GUINT64_FORMAT " bytes were submitted at once", most);
  if (usbfs_charged)
    fail("%" G_GUINT64_FORMAT " bytes still held in URBs never reaped",
         usbfs_charged);
  if (scenario.usbfs_refusals != SCN_USBFS_REFUSALS_UNCHECKED &&
      (usbfs_refused > 0) != (scenario.usbfs_refusals == SCN_USBFS_REFUSED))
    fail("the kernel was %s to refuse memory",
         scenario.usbfs_refusals == SCN_USBFS_REFUSED ? "expected"
                                                      : "not expected");
}

/* ---- descriptors --------------------------------------------------------- */

/* The sysfs "descriptors" file: the device descriptor, then the active
 * configuration with one vendor-specific interface whose endpoints are
 * listed interrupt first, so that picking "the first bulk endpoints" is
 * actually exercised. A hub has a hub interface and one interrupt pipe. */
static gsize build_descriptors(guint8 *d, unsigned vendor, unsigned product,
                               unsigned release, int hub) {
  static const guint8 scanner[] = {
      /* USB 2.0, 64-byte control pipe, release 1.00 as the fake and the
       * Wine driver report it (so that a listing reads the same on all
       * three), one configuration */
      18, 1, 0x00, 0x02, 0, 0, 0, 64, 0, 0, 0, 0, 0x00, 0x01, 0, 0, 0, 1,
      /* configuration 1 of 39 bytes: one interface, self-powered, 100 mA */
      9, 2, 39, 0, 1, 1, 0, 0xC0, 50,
      /* interface 0, vendor-specific, three endpoints */
      9, 4, 0, 0, 3, 0xFF, 0, 0, 0,
      /* interrupt in, 8 bytes every 12 frames */
      7, 5, EP_INTERRUPT_IN, 3, 8, 0, 12,
      /* bulk in and bulk out, 512 bytes */
      7, 5, EP_BULK_IN, 2, 0x00, 0x02, 0, 7, 5, EP_BULK_OUT, 2, 0x00, 0x02, 0};
  memcpy(d, scanner, sizeof scanner);
  d[8] = (guint8)vendor;
  d[9] = (guint8)(vendor >> 8);
  d[10] = (guint8)product;
  d[11] = (guint8)(product >> 8);
  d[12] = (guint8)release;
  d[13] = (guint8)(release >> 8);
  if (!hub) return sizeof scanner;
  /* hub class, a configuration of 25 bytes, one hub interface with only
   * the interrupt pipe */
  d[4] = 9;
  d[18 + 2] = 25;
  d[27 + 4] = 1;
  d[27 + 5] = 9;
  return 18 + 25;
}

/* ---- the scanner, on the model ------------------------------------------- */

/* A URB to the scanner, as the model makes of it; 1 when it is never to
 * complete. */
static int scanner_urb(Device *dev, int out, guint8 *data, int length,
                       Urb *urb) {
  scn_outcome o;
  const uint32_t letters = dev->model.wire_length;
  if (out) {
    /* The bytes that follow a download command are the image, as many as it
     * announced, in however many URBs they come. */
    if (dev->model.bulk_armed || dev->model.in_bulk) dev->bulk_urbs++;
    scn_write(&dev->model, data, (uint32_t)length, 1, &o);
  } else {
    memset(data, 0, (size_t)length);
    scn_read(&dev->model, data, (uint32_t)length,
             (uint32_t)(g_get_monotonic_time() / 1000), &o);
  }
  if (system_bus && dev->model.wire_length > letters &&
      letters < SCN_MAX_WIRE) {
    /* Held from the download command to the verdict, and only then: "R0 D1
     * B1 S1 S1" for a scanner ready at once; -1 where there is no logind. */
    const char c = dev->model.wire[letters];
    const int writing = memchr(dev->model.wire, 'D', letters + 1) != NULL;
    const int held = scanfw_inhibitors(), want = logind_runs ? writing : -1;
    g_string_append_printf(inhibitors, "%s%c%d", inhibitors->len ? " " : "", c,
                           held);
    if (held != want)
      fail("logind held %d inhibitors at %c %u, expected %d", held, c,
           letters + 1, want);
  }
  /* The scenario's signal, while scanfw waits for this request. */
  if (o.interrupt && child_pid > 0) {
    const char phase = "?RDBS"[o.phase];
    kill(child_pid, (int)o.interrupt);
    g_string_append_printf(dev->log, "signal %u sent at %c %u\n", o.interrupt,
                           phase, dev->model.exchanges[o.phase]);
  }
  /* fail: the device stalls the endpoint; gone: see device_gone */
  urb->status = o.fault == SCN_FAULT_FAIL   ? -EPIPE
                : o.fault == SCN_FAULT_GONE ? -ESHUTDOWN
                                            : 0;
  urb->actual = (int)o.count;
  if (o.fault != SCN_FAULT_NONE && !fault_us) fault_us = g_get_monotonic_time();
  if (!out && o.phase == SCN_PHASE_BURN && o.fault == SCN_FAULT_NONE &&
      o.count >= 6 && (data[4] == 0 || data[4] == 6) && data[5] == 0 &&
      dev->model.device->reenumerate && !dev->reborn)
    urb->leaves = 1;
  return o.fault == SCN_FAULT_STALL;
}

/* ---- usbfs --------------------------------------------------------------- */

/* Each request below returns the errno it fails with, 0 when it succeeds. */

static void free_urb(Urb *urb) {
  if (urb->buffer) g_object_unref(urb->buffer);
  g_object_unref(urb->urb);
  g_free(urb);
}

/* The device is unplugged: what is still pending ends with ESHUTDOWN,
 * what had completed stays reapable, and every other request fails with
 * ENODEV, as devio.c answers after a disconnect. */
static void device_gone(Device *dev) {
  dev->gone = 1;
  Urb *urb;
  while ((urb = g_queue_pop_head(&dev->stalled))) {
    urb->status = -ESHUTDOWN;
    urb->actual = 0;
    g_queue_push_tail(&dev->done, urb);
  }
  g_string_append(dev->log, "device gone\n");
}

static int submit_urb(Device *dev, UMockdevIoctlData *arg) {
  gint64 arrived = g_get_monotonic_time();
  UMockdevIoctlData *data =
      umockdev_ioctl_data_resolve(arg, 0, sizeof(struct usbdevfs_urb), NULL);
  if (!data) return EFAULT;
  struct usbdevfs_urb *u = (struct usbdevfs_urb *)data->data;
  UMockdevIoctlData *buffer = NULL;
  if (u->buffer_length > 0) {
    buffer =
        umockdev_ioctl_data_resolve(data, offsetof(struct usbdevfs_urb, buffer),
                                    (gsize)u->buffer_length, NULL);
    if (!buffer) return EFAULT;
  }
  if (!dev->claimed) dev->submits_before_claim++;
  if (u->type != USBDEVFS_URB_TYPE_BULK ||
      (u->endpoint != EP_BULK_OUT && u->endpoint != EP_BULK_IN)) {
    g_string_append_printf(dev->log, "unexpected URB type %u endpoint 0x%02x\n",
                           u->type, u->endpoint);
    return EINVAL;
  }
  if (dev->gone) return ENODEV;
  Urb *urb = g_new0(Urb, 1);
  if (!usbfs_charge(urb, u->buffer_length)) {
    g_free(urb);
    return ENOMEM;
  }
  urb->urb = g_object_ref(data);
  urb->buffer = buffer ? g_object_ref(buffer) : NULL;
  int stall = 0;
  guint8 empty[1];
  if (dev->slot < 0) { /* a hub takes nothing */
    g_string_append(dev->log, "URB to a hub\n");
    urb->status = -EPIPE;
  } else {
    const int out = u->endpoint == EP_BULK_OUT;
    const int first_of_bulk = out && dev->model.bulk_armed;
    stall = scanner_urb(dev, out, buffer ? buffer->data : empty,
                        u->buffer_length, urb);
    if (first_of_bulk) dev->bulk_started_us = arrived;
  }
  g_queue_push_tail(stall ? &dev->stalled : &dev->done, urb);
  if (urb->status == -ESHUTDOWN) device_gone(dev);
  return 0;
}

/* *reaped: the URB to free once the client has its answer. */
static int reap_urb(Device *dev, UMockdevIoctlData *arg, Urb **reaped) {
  Urb *urb = g_queue_pop_head(&dev->done);
  if (!urb && dev->gone) return ENODEV;
  if (!urb) {
    /* Nothing finished. The socket that stands for the device node is
     * always writable, so libusb polls again at once: slow it down. */
    g_mutex_unlock(&state_lock);
    g_usleep(200);
    g_mutex_lock(&state_lock);
    return EAGAIN;
  }
  usbfs_uncharge(urb);
  *reaped = urb;
  UMockdevIoctlData *slot =
      umockdev_ioctl_data_resolve(arg, 0, sizeof(void *), NULL);
  if (!slot) return EFAULT;
  struct usbdevfs_urb *u = (struct usbdevfs_urb *)urb->urb->data;
  u->status = urb->status;
  u->actual_length = urb->actual;
  umockdev_ioctl_data_set_ptr(slot, 0, urb->urb);
  if (u->endpoint == EP_BULK_OUT && urb->status == 0 && !dev->model.in_bulk &&
      dev->bulk_started_us && !dev->bulk_reaped_us &&
      g_queue_is_empty(&dev->done) &&
      dev->model.bulk_length >= dev->model.announced)
    dev->bulk_reaped_us = g_get_monotonic_time();
  return 0;
}

static int discard_urb(Device *dev, UMockdevIoctlData *arg) {
  gulong addr = *(gulong *)arg->data;
  for (GList *l = dev->stalled.head; l; l = l->next) {
    Urb *urb = l->data;
    if (urb->urb->client_addr != addr) continue;
    g_queue_delete_link(&dev->stalled, l);
    urb->status = -ENOENT;
    urb->actual = 0;
    g_queue_push_tail(&dev->done, urb);
    g_string_append(dev->log, "URB discarded\n");
    return 0;
  }
  return EINVAL;
}

static void reenumerate(Device *dev);

static gboolean on_ioctl(UMockdevIoctlBase *handler,
                         UMockdevIoctlClient *client, gpointer user_data) {
  (void)handler;
  Device *dev = user_data;
  gulong request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
  UMockdevIoctlData *data;
  Urb *reaped = NULL;
  int error = 0;

  g_mutex_lock(&state_lock);
  if (!dev->ever_claimed && request != USBDEVFS_GET_CAPABILITIES &&
      request != USBDEVFS_DISCONNECT_CLAIM &&
      request != USBDEVFS_CLAIMINTERFACE)
    dev->ioctls_before_claim++;
  if (dev->gone && request != USBDEVFS_REAPURB &&
      request != USBDEVFS_REAPURBNDELAY)
    request = 0;
  switch (request) {
    case 0: /* a device that is gone */
      error = ENODEV;
      break;
    case USBDEVFS_GET_CAPABILITIES:
      data = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), NULL);
      if (data) memcpy(data->data, &capabilities, sizeof capabilities);
      error = data ? 0 : EFAULT;
      break;
    case USBDEVFS_DISCONNECT_CLAIM:
    case USBDEVFS_CLAIMINTERFACE:
      data = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned int), NULL);
      error = data && *(unsigned int *)data->data == 0 ? 0 : ENOENT;
      if (!error) {
        dev->claimed = dev->ever_claimed = 1;
        g_string_append(dev->log, "interface 0 claimed\n");
      }
      break;
    case USBDEVFS_RELEASEINTERFACE:
      dev->claimed = 0;
      g_string_append(dev->log, "interface 0 released\n");
      break;
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL: /* no kernel driver is bound to re-attach */
      error = ENODATA;
      break;
    case USBDEVFS_SUBMITURB:
      error = submit_urb(dev, arg);
      break;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
      error = reap_urb(dev, arg, &reaped);
      /* Gone before scanfw reads the answer: whatever it looks up next
       * already sees the scanner at its new address. */
      if (!error && reaped->leaves) reenumerate(dev);
      break;
    case USBDEVFS_DISCARDURB:
      error = discard_urb(dev, arg);
      break;
    case USBDEVFS_CLEAR_HALT:
      break;
    default:
      g_string_append_printf(dev->log, "unexpected ioctl 0x%lx\n", request);
      error = ENOTTY;
      break;
  }
  umockdev_ioctl_client_complete(client, error ? -1 : 0, error);
  if (reaped) free_urb(reaped);
  g_mutex_unlock(&state_lock);
  return TRUE;
}

static void on_connected(UMockdevIoctlBase *handler,
                         UMockdevIoctlClient *client, gpointer user_data) {
  (void)handler;
  (void)client;
  Device *dev = user_data;
  g_mutex_lock(&state_lock);
  dev->connections++;
  g_mutex_unlock(&state_lock);
}

/* ---- the testbed --------------------------------------------------------- */

static Device *add_usb_device(const char *name, const Device *parent, int bus,
                              int address, unsigned vendor, unsigned product,
                              int slot) {
  Device *dev = &devices[device_total++];
  const int hub = slot < 0;
  g_strlcpy(dev->name, name, sizeof dev->name);
  dev->parent = parent;
  dev->bus = bus;
  dev->address = address;
  char *devname = dev->devnode;
  snprintf(devname, sizeof dev->devnode, "/dev/bus/usb/%03d/%03d", bus,
           address);
  guint8 descriptors[64];
  /* The scenario's release, for --check; hubs keep 1.00. */
  const unsigned release = slot >= 0 ? scenario.devices[slot].release : 0x0100;
  gsize length = build_descriptors(descriptors, vendor, product, release, hub);
  g_autoptr(GString) hex = g_string_new(NULL);
  for (gsize i = 0; i < length; i++)
    g_string_append_printf(hex, "%02X", descriptors[i]);
  char *syspath = dev->syspath =
      parent ? g_strdup_printf("%s/%s", parent->syspath, name)
             : g_strdup_printf("/sys/devices/%s", name);
  /* The record format of umockdev-record; its N: line makes the device
   * node (usb_device nodes are char 189, numbered per bus). */
  g_autofree char *record = g_strdup_printf(
      "P: %s\nN: bus/usb/%03d/%03d\n"
      "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=%s\n"
      "E: BUSNUM=%03d\nE: DEVNUM=%03d\n"
      "A: busnum=%d\\n\nA: devnum=%d\\n\nA: speed=480\\n\n"
      "A: bConfigurationValue=1\\n\nA: idVendor=%04x\\n\nA: idProduct=%04x\\n\n"
      "A: bDeviceClass=%s\\n\nA: dev=189:%d\\n\nH: descriptors=%s\n",
      syspath + 4, bus, address, devname, bus, address, bus, address, vendor,
      product, hub ? "09" : "00", (bus - 1) * 128 + address - 1, hex->str);
  dev->slot = slot;
  if (slot >= 0)
    scn_scanner_init(&dev->model, &scenario, (uint32_t)slot, image_length,
                     image_crc);
  dev->log = g_string_new(NULL);
  g_queue_init(&dev->done);
  g_queue_init(&dev->stalled);
  UMockdevIoctlBase *handler = umockdev_ioctl_base_new();
  g_signal_connect(handler, "handle-ioctl", G_CALLBACK(on_ioctl), dev);
  g_signal_connect(handler, "client-connected", G_CALLBACK(on_connected), dev);
  GError *error = NULL;
  if (!umockdev_testbed_add_from_string(testbed, record, &error) ||
      !umockdev_testbed_attach_ioctl(testbed, devname, handler, &error)) {
    fprintf(stderr, "cannot emulate %s: %s\n", syspath, error->message);
    exit(1);
  }
  return dev;
}

/* The scanner restarts on its new firmware: it leaves the bus, and the hub
 * enumerates it again on the same port at an address above any on the bus,
 * as the kernel hands addresses out. The old node keeps answering what a
 * node of an unplugged device answers. */
static void reenumerate(Device *dev) {
  int address = 0;
  for (int i = 0; i < device_total; i++)
    if (devices[i].bus == dev->bus && devices[i].address > address)
      address = devices[i].address;
  device_gone(dev);
  dev->left = 1;
  umockdev_testbed_uevent(testbed, dev->syspath, "remove");
  umockdev_testbed_remove_device(testbed, dev->syspath);
  const scn_device *d = &scenario.devices[dev->slot];
  Device *back = add_usb_device(dev->name, dev->parent, dev->bus, address + 1,
                                d->vendor, d->product, dev->slot);
  back->reborn = 1;
  umockdev_testbed_uevent(testbed, back->syspath, "add");
  g_string_append_printf(dev->log, "left the bus after its burn, back as %s\n",
                         back->devnode);
}

/* Root hub usb1 and an external hub 1-1, then the scenario's devices
 * behind the hub in scenario order. Their addresses increase with the
 * scenario's index while their port numbers (and so their sysfs names)
 * decrease: the order in which the system lists them is not the order
 * that the numbering must follow. With two devices or more, the last one
 * sits on a second bus at the lowest address of all, so that only the bus
 * number puts it last. */
static void build_testbed(void) {
  Device *root = add_usb_device("usb1", NULL, 1, 1, 0x1d6b, 2, -1);
  Device *hub = add_usb_device("1-1", root, 1, 2, 0x05e3, 0x0610, -1);
  int n = (int)scenario.device_count;
  for (int p = 0; p < n; p++) {
    const scn_device *d = &scenario.devices[p];
    if (n > 1 && p == n - 1) {
      root = add_usb_device("usb2", NULL, 2, 1, 0x1d6b, 3, -1);
      add_usb_device("2-1", root, 2, 2, d->vendor, d->product, p);
    } else {
      char name[32];
      snprintf(name, sizeof name, "1-1.%d", n - p);
      add_usb_device(name, hub, 1, 5 + 3 * p, d->vendor, d->product, p);
    }
  }
}

/* ---- running scanfw ------------------------------------------------------ */

/* For a run as another user: the testbed readable (and its sockets usable)
 * by everyone, the way sysfs is, while the USB device nodes stay root's
 * own, as they are on a machine without the udev rule. */
static int open_up(const char *path, const struct stat *st, int type,
                   struct FTW *ftw) {
  (void)ftw;
  /* udev monitors bind sockets in the folders */
  if (type == FTW_D || S_ISSOCK(st->st_mode))
    chmod(path, 0777);
  else if (type == FTW_F)
    chmod(path, 0644);
  return 0;
}

static void restrict_device_nodes(UMockdevTestbed *testbed) {
  char *root = umockdev_testbed_get_root_dir(testbed);
  nftw(root, open_up, 16, FTW_PHYS);
  for (int i = 0; i < device_total; i++) {
    char *node = g_strconcat(root, devices[i].devnode, NULL);
    chmod(node, 0600);
    g_free(node);
  }
  g_free(root);
}

/* Runs the program to its end (or kills it after `limit` seconds) and
 * returns its wait status; -1 when it could not be started, -2 when it was
 * killed. Its output goes to files, read once it has ended. */
static int run_program(char **argv, GString *out, GString *err, double limit,
                       double *seconds) {
  FILE *files[2] = {tmpfile(), tmpfile()};
  GString *into[2] = {out, err};
  int status = 0, killed = 0;
  if (!files[0] || !files[1]) return -1;
  gint64 started = g_get_monotonic_time();
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    dup2(fileno(files[0]), 1);
    dup2(fileno(files[1]), 2);
    if (scenario.run_as_nobody && (setgid(65534) || setuid(65534))) _exit(126);
    execv(argv[0], argv);
    _exit(127);
  }
  child_pid = pid;
  pid_t ended;
  while ((ended = waitpid(pid, &status, WNOHANG)) == 0 ||
         (ended < 0 && errno == EINTR)) {
    if (!killed && (g_get_monotonic_time() - started) / 1e6 > limit) {
      kill(pid, SIGKILL);
      killed = 1;
    }
    g_usleep(2000);
  }
  child_pid = 0;
  child_ended_us = g_get_monotonic_time();
  *seconds = (child_ended_us - started) / 1e6;
  for (int i = 0; i < 2; i++) {
    char chunk[4096];
    size_t n;
    rewind(files[i]);
    while ((n = fread(chunk, 1, sizeof chunk, files[i])) > 0)
      g_string_append_len(into[i], chunk, (gssize)n);
    fclose(files[i]);
  }
  return killed ? -2 : status;
}

/* The names usb_probe identifies, and the index each stands for (-1: not
 * the form of a candidate's name). */
static const struct {
  const char *name;
  int index;
} probe_names[] = {{"\\\\.\\usbscan0", 0},     {"\\\\.\\usbscan1", 1},
                   {"\\\\.\\usbscan2", 2},     {"\\\\.\\usbscan3", 3},
                   {"\\\\.\\usbscan4", 4},     {"\\\\.\\usbscan5", 5},
                   {"\\\\.\\usbscan255", 255}, {"\\\\.\\usbscan01", -1},
                   {"\\\\.\\usbscan", -1},     {"usbscan0", -1},
                   {"\\\\.\\usbscan-1", -1},   {"\\\\.\\USBSCAN0", 0}};

/* usb_probe's arguments after argv[0]: the scanner to make its one
 * readiness exchange with, then the names. Returns what it must print
 * against this testbed. */
static GString *probe_setup(char **argv, int *argc) {
  scenario.wire[0] = 'R';
  scenario.wire_length = 1;
  scenario.checks |= SCN_CHECK_WIRE;
  argv[(*argc)++] = g_strdup_printf("\\\\.\\usbscan%d",
                                    scenario.target < 0 ? 0 : scenario.target);
  GString *e = g_string_new(NULL);
  for (size_t i = 0; i < G_N_ELEMENTS(probe_names); i++) {
    const int index = probe_names[i].index;
    const scn_device *d = &scenario.devices[index < 0 ? 0 : index];
    argv[(*argc)++] = (char *)probe_names[i].name;
    if (index >= 0 && index < (int)scenario.device_count)
      g_string_append_printf(e, "%s %04x:%04x %04x %04x %u\n",
                             probe_names[i].name, d->vendor, d->product,
                             d->release, d->language, d->descriptor_bytes);
    else
      g_string_append_printf(e, "%s missing 2\n", probe_names[i].name);
  }
  /* The event is signalled once the request returns, and only once; the
   * completion query reports the count of the request last made. */
  g_string_append(e,
                  "before: 258\n"
                  "write: 1 16 0 258 1 16\n"
                  "read: 1 32 0 1 32 status 0\n"
                  "console signals taken by other threads: none\n");
  return e;
}

static void show_bytes(const char *label, const GString *s) {
  printf("---- %s (%zu bytes)\n", label, s->len);
  fwrite(s->str, 1, s->len, stdout);
  if (s->len && s->str[s->len - 1] != '\n') printf("\n");
}

static GString *load(const char *path) {
  gchar *bytes;
  gsize length;
  if (g_file_get_contents(path, &bytes, &length, NULL))
    return g_string_new_len(bytes, (gssize)length);
  fprintf(stderr, "cannot read %s\n", path);
  return NULL;
}

/* scanfw --verbose's standard error, read line by line: every line timed
 * English text; each line of the facts file (a regular expression, '#'
 * lines aside) matches a line after the one the previous fact matched. */
static void check_log(const GString *err, const char *facts_file) {
  GString *facts = load(facts_file);
  if (!facts) {
    fail("cannot read %s", facts_file);
    return;
  }
  if (err->len == 0 || err->str[err->len - 1] != '\n')
    fail("the log is empty or its last line is not ended");
  char **lines = g_strsplit(err->str, "\n", -1);
  guint count = g_strv_length(lines);
  if (count > 0) count--; /* what follows the last line end */
  for (guint i = 0; i < count; i++)
    if (!g_regex_match_simple("^[0-9]+ ms  [ -~]+$", lines[i], 0, 0))
      fail("not a timed English line: %s", lines[i]);
  char **wanted = g_strsplit(facts->str, "\n", -1);
  guint at = 0;
  for (char **fact = wanted; *fact; fact++) {
    if (**fact == '\0' || **fact == '#') continue;
    guint found = at;
    while (found < count && !g_regex_match_simple(*fact, lines[found], 0, 0))
      found++;
    if (found == count) {
      fail("no log line after line %u matches %s", at + 1, *fact);
    } else {
      at = found + 1;
    }
  }
  g_strfreev(wanted);
  g_strfreev(lines);
}

int main(int argc, char **argv) {
  char *exe = NULL, *rec = NULL, *out_file = NULL, *preload = NULL,
       *image = NULL, *probe = NULL, *logind = NULL, *facts = NULL,
       **args = g_strdupv(argv);
  gboolean split = FALSE, show = FALSE, timing = FALSE;
  /* --probe runs usb_probe in scanfw's place and checks what it prints;
   * --logind held: logind runs, absent: the bus has no logind. */
  const GOptionEntry options[] = {
      {"exe", 0, 0, G_OPTION_ARG_FILENAME, &exe, "the scanfw to run", "FILE"},
      {"preload", 0, 0, G_OPTION_ARG_FILENAME, &preload, "umockdev's", "LIB"},
      {"record", 0, 0, G_OPTION_ARG_FILENAME, &rec, "its scenario", "FILE"},
      {"image", 0, 0, G_OPTION_ARG_FILENAME, &image, "its image", "FILE"},
      {"expected", 0, 0, G_OPTION_ARG_FILENAME, &out_file, "stdout", "FILE"},
      {"probe", 0, 0, G_OPTION_ARG_FILENAME, &probe, "usb_probe's", "FILE"},
      {"split-urbs", 0, 0, G_OPTION_ARG_NONE, &split, "16 KiB URBs", NULL},
      {"show", 0, 0, G_OPTION_ARG_NONE, &show, "print scanfw's output", NULL},
      {"timing", 0, 0, G_OPTION_ARG_NONE, &timing,
       "a benchmark's run: no expected output, whose burn lines vary", NULL},
      {"logind", 0, 0, G_OPTION_ARG_STRING, &logind, "logind", "held|absent"},
      {"verbose-facts", 0, 0, G_OPTION_ARG_FILENAME, &facts,
       "run with --verbose; the log's facts", "FILE"},
      {NULL, 0, 0, 0, NULL, NULL, NULL}};
  GOptionContext *context = g_option_context_new(NULL);
  g_option_context_add_main_entries(context, options, NULL);
  if (!g_option_context_parse(context, &argc, &argv, NULL) || !exe || !rec ||
      !preload || !image || (!out_file && !probe && !timing)) {
    fputs(g_option_context_get_help(context, TRUE, NULL), stderr);
    return 2;
  }
  const char *loaded = getenv("LD_PRELOAD");
  if (!loaded || !strstr(loaded, preload)) {
    /* The testbed checks the devices it builds through the paths that
     * the preload library redirects, so this process runs under it too. */
    setenv("LD_PRELOAD", preload, 1);
    execv("/proc/self/exe", args);
    perror("re-running under the umockdev preload library");
    return 1;
  }
  GString *bytes = load(rec), *expected;
  if (!bytes || !scn_record_valid(bytes->str, (uint32_t)bytes->len) ||
      !(((scn_record *)bytes->str)->harnesses & SCN_HARNESS_UMOCKDEV)) {
    fail("%s is not a compiled scenario that the umockdev testbed can run",
         rec);
    return 1;
  }
  memcpy(&scenario, bytes->str, sizeof scenario);
  char **child_argv = g_new0(char *, SCN_ARGS_BYTES + 3);
  int child_argc = 1; /* argv[0] once the program to run is known */
  expected = probe    ? probe_setup(child_argv, &child_argc)
             : timing ? g_string_new(NULL)
                      : load(out_file);
  if (!expected) return 1;
  if (facts && !probe) child_argv[child_argc++] = "--verbose";
  char *arg = scenario.args;
  for (uint32_t i = 0; !probe && i < scenario.argc; i++, arg += strlen(arg) + 1)
    child_argv[child_argc++] = arg;
  /* The scenario's language as the locale, which LC_ALL decides alone. An
   * ASan build wants its runtime first in the library list; the preload
   * library comes first on purpose. */
  setenv("LC_ALL",
         scenario.lang == 0x0404   ? "zh_TW.UTF-8"
         : scenario.lang == 0x0804 ? "zh_CN.UTF-8"
                                   : "en_US.UTF-8",
         1);
  /* The Linux program writes the locale's character set: NAME.out's Big5
   * arrives as UTF-8, which needs the locale to be there. */
  if (scenario.lang == 0x0404 && !probe) {
    if (!setlocale(LC_ALL, "zh_TW.UTF-8")) {
      fail("the zh_TW.UTF-8 locale is not installed (locale-gen)");
      return 1;
    }
    setlocale(LC_ALL, "C");
    gsize size = 0;
    char *utf8 = g_convert(expected->str, (gssize)expected->len, "UTF-8",
                           "BIG5", NULL, &size, NULL);
    if (!utf8) {
      fail("%s is not Big5", out_file);
      return 1;
    }
    g_string_truncate(expected, 0);
    g_string_append_len(expected, utf8, (gssize)size);
    g_free(utf8);
  }
  setenv(
      "ASAN_OPTIONS",
      g_strjoin(":", "verify_asan_link_order=0", getenv("ASAN_OPTIONS"), NULL),
      1);
  if (!(bytes = load(image))) return 1;
  image_length = (uint32_t)bytes->len;
  image_crc = scn_crc32(0, (const uint8_t *)bytes->str, image_length);
  /* {image-length} and {image-sha256} in NAME.out stand for the embedded
   * image's decimal length and lower-case hex SHA-256. */
  g_string_replace(expected, "{image-length}",
                   g_strdup_printf("%u", image_length), 0);
  g_string_replace(expected, "{image-sha256}",
                   g_compute_checksum_for_data(
                       G_CHECKSUM_SHA256, (guchar *)bytes->str, bytes->len),
                   0);

  /* A controller with scatter-gather takes the whole image as one URB;
   * without it libusb splits the transfer into 16 KiB URBs. */
  capabilities = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                 USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                 USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
  if (!split) capabilities |= USBDEVFS_CAP_BULK_SCATTER_GATHER;

  if (scenario.run_as_nobody && getuid() != 0) {
    printf("SKIP: running scanfw as another user needs root\n");
    return SKIP;
  }
  testbed = umockdev_testbed_new();
  build_testbed();
  if (scenario.run_as_nobody) restrict_device_nodes(testbed);

  /* The build tree may lie where another user cannot reach it (a home
   * folder of mode 700): the unprivileged run gets its own copy. */
  char *nobody_dir = NULL, *nobody_exe = NULL;
  if (scenario.run_as_nobody && !probe) {
    nobody_dir = g_mkdtemp_full(g_strdup("/tmp/scanfw-nobody.XXXXXX"), 0755);
    if (nobody_dir) nobody_exe = g_build_filename(nobody_dir, "scanfw", NULL);
    if (!nobody_exe || !(bytes = load(exe)) ||
        !g_file_set_contents_full(nobody_exe, bytes->str, (gssize)bytes->len,
                                  G_FILE_SET_CONTENTS_NONE, 0755, NULL)) {
      fail("cannot make a copy of scanfw for the unprivileged run");
      return 1;
    }
  }
  child_argv[0] = (char *)(probe ? probe : nobody_exe ? nobody_exe : exe);

  if (logind) {
    GError *error = NULL;
    system_bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, NULL, &error);
    if (!system_bus) {
      fail("no system bus for --logind: %s", error->message);
      return 1;
    }
    inhibitors = g_string_new(NULL);
    logind_runs = !strcmp(logind, "held");
  }

  GString *out = g_string_new(NULL), *err = g_string_new(NULL);
  double seconds = 0;
  double limit =
      scenario.elapsed_max_ms > 0 ? scenario.elapsed_max_ms / 1000.0 + 30 : 240;
  int status = run_program(child_argv, out, err, limit, &seconds);
  if (nobody_exe && (unlink(nobody_exe) || rmdir(nobody_dir)))
    fail("cannot remove the copy of scanfw");

  g_mutex_lock(&state_lock);
  printf("scanfw ran %.2f s, %s", seconds,
         status == -2   ? "killed after the time limit"
         : status == -1 ? "could not start"
                        : "ended");
  if (status >= 0 && WIFEXITED(status))
    printf(" with exit status %d", WEXITSTATUS(status));
  printf("\n");
  if (show) printf("---- standard output\n%s----\n", out->str);
  if (status < 0 || !WIFEXITED(status) ||
      WEXITSTATUS(status) != (int)scenario.expect_exit)
    fail("scanfw did not exit with status %u (wait status %d)",
         scenario.expect_exit, status);
  if (!timing && !g_string_equal(out, expected)) {
    fail("standard output differs from %s",
         probe ? "what the probe must print" : out_file);
    show_bytes("expected", expected);
    show_bytes("actual", out);
  }
  if (err->len) show_bytes("scanfw standard error", err);
  if (facts) check_log(err, facts);
  if ((scenario.checks & SCN_CHECK_STDERR) &&
      !strstr(err->str, scenario.expect_stderr))
    fail("standard error does not mention \"%s\"", scenario.expect_stderr);

  scn_scanner models[SCN_MAX_DEVICES];
  for (int i = 0; i < device_total; i++) {
    Device *dev = &devices[i];
    const scn_scanner *m = &dev->model;
    if (dev->log->len) printf("%s: %s", dev->devnode, dev->log->str);
    if (dev->slot >= 0 && !dev->reborn) models[dev->slot] = dev->model;
    /* Identity comes from sysfs: only the scanners updated (the one
     * discovery picks, or each with --all) are ever opened, and each only
     * at the address it had when it was updated. */
    const int updated =
        dev->slot >= 0 && !dev->reborn && scenario.devices[dev->slot].receives;
    if (dev->reborn && dev->connections)
      fail("%s, scanner %d back after its burn, was opened %d times",
           dev->devnode, scenario.devices[dev->slot].index, dev->connections);
    else if (!updated && dev->connections)
      fail("%s was opened %d times, not being the scanner discovery picks",
           dev->devnode, dev->connections);
    if (updated && m->device->reenumerate && !dev->left)
      fail("%s never left the bus: its burn did not answer done", dev->devnode);
    if (dev->submits_before_claim || dev->ioctls_before_claim)
      fail("%s was used unclaimed (%d URBs, %d other requests)", dev->devnode,
           dev->submits_before_claim, dev->ioctls_before_claim);
    if (dev->done.length || dev->stalled.length)
      fail("%s has %u URBs never reaped", dev->devnode,
           dev->done.length + dev->stalled.length);
    if (!updated && !(dev->reborn && dev->connections)) continue;
    if (probe && !strstr(dev->log->str, "interface 0 released"))
      fail("closing the handle did not release the claimed interface");
    printf("wire: %.*s\n", (int)m->wire_length, m->wire);
    if (m->exchanges[SCN_PHASE_BULK])
      printf("bulk write: %u of %u bytes announced, crc32 %08x\n",
             m->bulk_length, m->announced, m->bulk_crc);
    if (dev->bulk_reaped_us) {
      double s = (dev->bulk_reaped_us - dev->bulk_started_us) / 1e6;
      printf("bulk write throughput: %.1f MiB/s, %.3f s in %u URBs%s\n",
             m->bulk_length / 1048576.0 / s, s, dev->bulk_urbs,
             split ? " of 16 KiB" : "");
    }
  }
  usbfs_report();
  char problems[4096] = "";
  scn_text text = {problems, sizeof problems, 0};
  if (scn_check(&scenario, models, scenario.device_count, SCN_CHECK_WIRE,
                &text))
    fail("%.*s", (int)text.used - 1, problems); /* without its last line end */
  if (logind && scenario.target >= 0) {
    printf("inhibitors: %s\n", inhibitors->str);
    /* Let go at the end: logind sees the descriptor closed. */
    int left = -2;
    for (int i = 0; i < 50 && (left = scanfw_inhibitors()) > 0; i++)
      g_usleep(40000);
    if (left != (logind_runs ? 0 : -1))
      fail("%d inhibitors left after the run", left);
    if (err->len && !facts) fail("scanfw wrote to standard error");
  }
  /* From the fault: how soon scanfw gives up once the scanner fails, apart
   * from how fast a loaded machine moved the image up to there. */
  const double timed = !scenario.elapsed_from_fault ? seconds
                       : fault_us ? (child_ended_us - fault_us) / 1e6
                                  : -1;
  if (scenario.elapsed_from_fault && timed >= 0)
    printf("scanfw ended %.2f s after the fault\n", timed);
  if ((scenario.checks & SCN_CHECK_ELAPSED) && timed < 0)
    fail("no fault struck: the run cannot be timed from one");
  else if ((scenario.checks & SCN_CHECK_ELAPSED) &&
           (timed * 1000 < scenario.elapsed_min_ms ||
            timed * 1000 > scenario.elapsed_max_ms))
    fail("the run took %.2f s%s, expected %.1f to %.1f s", timed,
         scenario.elapsed_from_fault ? " from the fault" : "",
         scenario.elapsed_min_ms / 1000.0, scenario.elapsed_max_ms / 1000.0);
  g_mutex_unlock(&state_lock);
  printf("%s\n", failed ? "FAILED" : "passed");
  fflush(stdout);
  /* The testbed's worker thread may still hold client state; the process
   * ends here without tearing it down. */
  _exit(failed ? 1 : 0);
}
