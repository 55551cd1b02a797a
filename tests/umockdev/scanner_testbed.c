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
 * (see "usbfs memory" below) and an unplugged device.
 *
 * Exit status: 0 passed, 1 failed, 77 a run as another user without root. */
#define _GNU_SOURCE /* nftw */
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <glib.h>
#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
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
    gulong client_addr;
    int status;
    int actual;
    guint64 charged; /* what usbfs counts for it until it is reaped */
} Urb;

typedef struct {
    char devnode[64];
    int slot; /* the scenario's device; -1 for a hub */
    int connections;
    int claimed;
    int ever_claimed;
    int submits_before_claim;
    int ioctls_before_claim; /* other than the capability query */
    int gone;                /* disconnected: only reaping still works */
    uint32_t bulk_urbs;
    GQueue done;             /* Urb*: completed, waiting to be reaped */
    GQueue stalled;          /* Urb*: never completed unless discarded */
    scn_scanner model;
    gint64 bulk_started_us, bulk_reaped_us;
    GString *log;
} Device;

static Device devices[SCN_MAX_DEVICES + 3]; /* and three hubs */
static int device_total;
static guint32 capabilities;
static GMutex state_lock;
static uint32_t image_length, image_crc;
static volatile pid_t child_pid; /* scanfw, while it runs */

/* --logind: the inhibitors that logind holds for scanfw, looked up as each
 * request reaches the scanner. */
static GDBusConnection *system_bus;
static GString *inhibitors;

static int scanfw_inhibitors(void)
{
    GError *error = NULL;
    GVariant *reply = g_dbus_connection_call_sync(
        system_bus, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
        "ListInhibitors", NULL, G_VARIANT_TYPE("(a(ssssuu))"), G_DBUS_CALL_FLAGS_NONE, 5000, NULL, &error);
    if (!reply) {
        g_error_free(error);
        return -1;
    }
    GVariantIter *list = NULL;
    const char *what, *who, *why, *mode;
    guint32 uid, pid;
    int held = 0;
    g_variant_get(reply, "(a(ssssuu))", &list);
    while (g_variant_iter_next(list, "(&s&s&s&suu)", &what, &who, &why, &mode, &uid, &pid))
        if (!strcmp(what, "sleep:shutdown") && !strcmp(who, "scanfw") &&
            !strcmp(why, "Scanner firmware update in progress") && !strcmp(mode, "block"))
            held++;
    g_variant_iter_free(list);
    g_variant_unref(reply);
    return held;
}

/* ---- usbfs memory -------------------------------------------------------- */

/* The kernel refuses a URB (ENOMEM) when the buffers of the URBs submitted
 * and not yet reaped would pass usbfs_memory_mb (16 MiB unless changed; 0
 * means no limit); devio.c also counts its own records of each URB, about
 * this much. The accounting is the process's, over all its devices. */
#define USBFS_URB_RECORD 512u
/* What scanfw keeps submitted at most, in buffers. */
#define SCANFW_MAX_OUTSTANDING (4u << 20)

static guint64 usbfs_charged, usbfs_buffers, usbfs_peak_buffers;
static int usbfs_refused;

/* Charges a URB of `length` bytes at submission; FALSE when the kernel
 * would refuse it. */
static gboolean usbfs_charge(Urb *urb, int length)
{
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

/* Reaping gives the memory back. */
static void usbfs_uncharge(Urb *urb)
{
    usbfs_charged -= urb->charged;
    usbfs_buffers -= urb->charged - USBFS_URB_RECORD;
    urb->charged = 0;
}

static void usbfs_report(int *failed)
{
    printf("usbfs: at most %" G_GUINT64_FORMAT " bytes in submitted URBs, limit %u, %d submissions refused\n",
           usbfs_peak_buffers, scenario.usbfs_limit, usbfs_refused);
    if (usbfs_peak_buffers > SCANFW_MAX_OUTSTANDING) {
        printf("FAIL: more than %u bytes were submitted at once\n", SCANFW_MAX_OUTSTANDING);
        *failed = 1;
    }
    if (usbfs_charged) {
        printf("FAIL: %" G_GUINT64_FORMAT " bytes still held in URBs never reaped\n", usbfs_charged);
        *failed = 1;
    }
    if (scenario.usbfs_refusals != SCN_USBFS_REFUSALS_UNCHECKED &&
        (usbfs_refused > 0) != (scenario.usbfs_refusals == SCN_USBFS_REFUSED)) {
        printf("FAIL: the kernel was %s to refuse memory\n",
               scenario.usbfs_refusals == SCN_USBFS_REFUSED ? "expected" : "not expected");
        *failed = 1;
    }
}

/* ---- descriptors -------------------------------------------------------- */

static void put16(guint8 *p, unsigned v)
{
    p[0] = (guint8)(v & 0xFF);
    p[1] = (guint8)(v >> 8);
}

/* The sysfs "descriptors" file: the device descriptor, then the active
 * configuration with one vendor-specific interface whose endpoints are
 * listed interrupt first, so that picking "the first bulk endpoints" is
 * actually exercised. A hub has a hub interface and one interrupt pipe. */
static gsize build_descriptors(guint8 *d, unsigned vendor, unsigned product, int hub)
{
    memset(d, 0, 64);
    d[0] = 18; d[1] = 1; put16(d + 2, 0x0200);
    d[4] = hub ? 9 : 0; d[7] = 64;
    /* Release 1.00, as the fake and the Wine driver report it, so that a
     * listing reads the same on all three. */
    put16(d + 8, vendor); put16(d + 10, product); put16(d + 12, 0x0100);
    d[17] = 1;
    guint8 *c = d + 18;
    int endpoints = hub ? 1 : 3;
    unsigned total = 9 + 9 + 7u * (unsigned)endpoints;
    c[0] = 9; c[1] = 2; put16(c + 2, total); c[4] = 1; c[5] = 1; c[7] = 0xC0; c[8] = 50;
    guint8 *i = c + 9;
    i[0] = 9; i[1] = 4; i[4] = (guint8)endpoints; i[5] = hub ? 9 : 0xFF;
    guint8 *e = i + 9;
    e[0] = 7; e[1] = 5; e[2] = EP_INTERRUPT_IN; e[3] = 3; put16(e + 4, 8); e[6] = 12;
    if (!hub) {
        e += 7;
        e[0] = 7; e[1] = 5; e[2] = EP_BULK_IN; e[3] = 2; put16(e + 4, 512);
        e += 7;
        e[0] = 7; e[1] = 5; e[2] = EP_BULK_OUT; e[3] = 2; put16(e + 4, 512);
    }
    return 18 + total;
}

/* ---- the scanner, on the model ------------------------------------------ */

/* What the model made of the request, as usbfs reports it; 1 when the URB
 * is never to complete. */
static int as_urb(const scn_outcome *o, Urb *urb)
{
    /* fail: the device stalls the endpoint; gone: see device_gone */
    urb->status = o->fault == SCN_FAULT_FAIL ? -EPIPE : o->fault == SCN_FAULT_GONE ? -ESHUTDOWN : 0;
    urb->actual = (int)o->count;
    return o->fault == SCN_FAULT_STALL;
}

static int scanner_out(Device *dev, const guint8 *data, int length, unsigned flags, Urb *urb)
{
    scn_outcome o;
    const uint32_t letters = dev->model.wire_length;
    /* The bytes that follow a download command are the image, as many as it
     * announced, in however many URBs they come. */
    (void)flags;
    if (dev->model.bulk_armed || dev->model.in_bulk) dev->bulk_urbs++;
    scn_write(&dev->model, data, (uint32_t)length, 1, &o);
    if (system_bus && dev->model.wire_length > letters && letters < SCN_MAX_WIRE)
        g_string_append_printf(inhibitors, "%s%c%d", inhibitors->len ? " " : "", dev->model.wire[letters],
                               scanfw_inhibitors());
    /* The scenario's signal, while scanfw waits for this request. */
    if (o.interrupt && child_pid > 0) {
        kill(child_pid, (int)o.interrupt);
        g_string_append_printf(dev->log, "signal %u sent at %c %u\n", o.interrupt, "?RDBS"[o.phase],
                               dev->model.exchanges[o.phase]);
    }
    return as_urb(&o, urb);
}

static int scanner_in(Device *dev, guint8 *data, int length, Urb *urb)
{
    scn_outcome o;
    memset(data, 0, (size_t)length);
    scn_read(&dev->model, data, (uint32_t)length, &o);
    return as_urb(&o, urb);
}

/* ---- usbfs ---------------------------------------------------------------- */

static void free_urb(Urb *urb)
{
    if (urb->buffer) g_object_unref(urb->buffer);
    g_object_unref(urb->urb);
    g_free(urb);
}

/* The device is unplugged: what is still pending ends with ESHUTDOWN,
 * what had completed stays reapable, and every other request fails with
 * ENODEV, as devio.c answers after a disconnect. */
static void device_gone(Device *dev)
{
    dev->gone = 1;
    Urb *urb;
    while ((urb = g_queue_pop_head(&dev->stalled))) {
        urb->status = -ESHUTDOWN;
        urb->actual = 0;
        g_queue_push_tail(&dev->done, urb);
    }
    g_string_append(dev->log, "device gone\n");
}

static void submit_urb(Device *dev, UMockdevIoctlClient *client, UMockdevIoctlData *arg)
{
    GError *error = NULL;
    gint64 arrived = g_get_monotonic_time();
    UMockdevIoctlData *data = umockdev_ioctl_data_resolve(arg, 0, sizeof(struct usbdevfs_urb), &error);
    if (!data) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    struct usbdevfs_urb *u = (struct usbdevfs_urb *)data->data;
    UMockdevIoctlData *buffer = NULL;
    if (u->buffer_length > 0) {
        buffer = umockdev_ioctl_data_resolve(data, offsetof(struct usbdevfs_urb, buffer), (gsize)u->buffer_length,
                                             &error);
        if (!buffer) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return;
        }
    }
    if (!dev->claimed) dev->submits_before_claim++;
    if (u->type != USBDEVFS_URB_TYPE_BULK || (u->endpoint != EP_BULK_OUT && u->endpoint != EP_BULK_IN)) {
        g_string_append_printf(dev->log, "unexpected URB type %u endpoint 0x%02x\n", u->type, u->endpoint);
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    if (dev->gone) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return;
    }
    Urb *urb = g_new0(Urb, 1);
    if (!usbfs_charge(urb, u->buffer_length)) {
        g_free(urb);
        umockdev_ioctl_client_complete(client, -1, ENOMEM);
        return;
    }
    urb->urb = g_object_ref(data);
    urb->buffer = buffer ? g_object_ref(buffer) : NULL;
    urb->client_addr = data->client_addr;
    int stall;
    guint8 empty[1];
    if (dev->slot < 0) { /* a hub takes nothing */
        g_string_append(dev->log, "URB to a hub\n");
        stall = 0;
        urb->status = -EPIPE;
    } else if (u->endpoint == EP_BULK_OUT) {
        int first_of_bulk = dev->model.bulk_armed;
        stall = scanner_out(dev, buffer ? buffer->data : empty, u->buffer_length, u->flags, urb);
        if (first_of_bulk) dev->bulk_started_us = arrived;
    } else {
        stall = scanner_in(dev, buffer ? buffer->data : empty, u->buffer_length, urb);
    }
    g_queue_push_tail(stall ? &dev->stalled : &dev->done, urb);
    if (urb->status == -ESHUTDOWN) device_gone(dev);
    umockdev_ioctl_client_complete(client, 0, 0);
}

static void reap_urb(Device *dev, UMockdevIoctlClient *client, UMockdevIoctlData *arg)
{
    Urb *urb = g_queue_pop_head(&dev->done);
    if (!urb && dev->gone) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return;
    }
    if (!urb) {
        /* Nothing finished. The socket that stands for the device node is
         * always writable, so libusb polls again at once: slow it down. */
        g_mutex_unlock(&state_lock);
        g_usleep(200);
        g_mutex_lock(&state_lock);
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
        return;
    }
    usbfs_uncharge(urb);
    GError *error = NULL;
    UMockdevIoctlData *slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void *), &error);
    if (!slot) {
        free_urb(urb);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    struct usbdevfs_urb *u = (struct usbdevfs_urb *)urb->urb->data;
    u->status = urb->status;
    u->actual_length = urb->actual;
    umockdev_ioctl_data_set_ptr(slot, 0, urb->urb);
    if (u->endpoint == EP_BULK_OUT && urb->status == 0 && !dev->model.in_bulk && dev->bulk_started_us &&
        !dev->bulk_reaped_us && g_queue_is_empty(&dev->done) && dev->model.bulk_length >= dev->model.announced)
        dev->bulk_reaped_us = g_get_monotonic_time();
    umockdev_ioctl_client_complete(client, 0, 0);
    free_urb(urb);
}

static void discard_urb(Device *dev, UMockdevIoctlClient *client, UMockdevIoctlData *arg)
{
    gulong addr = *(gulong *)arg->data;
    for (GList *l = dev->stalled.head; l; l = l->next) {
        Urb *urb = l->data;
        if (urb->client_addr != addr) continue;
        g_queue_delete_link(&dev->stalled, l);
        urb->status = -ENOENT;
        urb->actual = 0;
        g_queue_push_tail(&dev->done, urb);
        g_string_append(dev->log, "URB discarded\n");
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    }
    umockdev_ioctl_client_complete(client, -1, EINVAL);
}

static gboolean on_ioctl(UMockdevIoctlBase *handler, UMockdevIoctlClient *client, gpointer user_data)
{
    (void)handler;
    Device *dev = user_data;
    gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    GError *error = NULL;
    UMockdevIoctlData *data;

    g_mutex_lock(&state_lock);
    if (!dev->ever_claimed && request != USBDEVFS_GET_CAPABILITIES && request != USBDEVFS_DISCONNECT_CLAIM &&
        request != USBDEVFS_CLAIMINTERFACE)
        dev->ioctls_before_claim++;

    if (dev->gone && request != USBDEVFS_REAPURB && request != USBDEVFS_REAPURBNDELAY) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        g_mutex_unlock(&state_lock);
        return TRUE;
    }
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES:
        data = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), &error);
        if (data) memcpy(data->data, &capabilities, sizeof capabilities);
        umockdev_ioctl_client_complete(client, data ? 0 : -1, data ? 0 : EFAULT);
        break;
    case USBDEVFS_DISCONNECT_CLAIM:
    case USBDEVFS_CLAIMINTERFACE:
        data = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned int), &error);
        if (data && *(unsigned int *)data->data == 0) {
            dev->claimed = dev->ever_claimed = 1;
            g_string_append(dev->log, "interface 0 claimed\n");
            umockdev_ioctl_client_complete(client, 0, 0);
        } else {
            umockdev_ioctl_client_complete(client, -1, ENOENT);
        }
        break;
    case USBDEVFS_RELEASEINTERFACE:
        dev->claimed = 0;
        g_string_append(dev->log, "interface 0 released\n");
        umockdev_ioctl_client_complete(client, 0, 0);
        break;
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL: /* no kernel driver is bound to re-attach */
        umockdev_ioctl_client_complete(client, -1, ENODATA);
        break;
    case USBDEVFS_SUBMITURB:
        submit_urb(dev, client, arg);
        break;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        reap_urb(dev, client, arg);
        break;
    case USBDEVFS_DISCARDURB:
        discard_urb(dev, client, arg);
        break;
    case USBDEVFS_CLEAR_HALT:
        umockdev_ioctl_client_complete(client, 0, 0);
        break;
    default:
        g_string_append_printf(dev->log, "unexpected ioctl 0x%lx\n", request);
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        break;
    }
    g_mutex_unlock(&state_lock);
    return TRUE;
}

static void on_connected(UMockdevIoctlBase *handler, UMockdevIoctlClient *client, gpointer user_data)
{
    (void)handler;
    (void)client;
    Device *dev = user_data;
    g_mutex_lock(&state_lock);
    dev->connections++;
    g_mutex_unlock(&state_lock);
}

/* ---- the testbed ------------------------------------------------------------ */

static char *add_usb_device(UMockdevTestbed *testbed, const char *name, const char *parent, int bus, int address,
                            unsigned vendor, unsigned product, int slot, Device *dev)
{
    const int hub = slot < 0;
    char devname[64];
    snprintf(devname, sizeof devname, "/dev/bus/usb/%03d/%03d", bus, address);
    guint8 descriptors[64];
    gsize length = build_descriptors(descriptors, vendor, product, hub);
    GString *hex = g_string_new(NULL);
    for (gsize i = 0; i < length; i++) g_string_append_printf(hex, "%02X", descriptors[i]);
    char *syspath = parent ? g_strdup_printf("%s/%s", parent, name) : g_strdup_printf("/sys/devices/%s", name);
    /* The record format of umockdev-record; its N: line makes the device
     * node (usb_device nodes are char 189, numbered per bus). */
    char *record = g_strdup_printf(
        "P: %s\n"
        "N: bus/usb/%03d/%03d\n"
        "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=%s\nE: BUSNUM=%03d\nE: DEVNUM=%03d\n"
        "A: busnum=%d\\n\nA: devnum=%d\\n\nA: speed=480\\n\nA: bConfigurationValue=1\\n\n"
        "A: idVendor=%04x\\n\nA: idProduct=%04x\\n\nA: bDeviceClass=%s\\n\nA: dev=189:%d\\n\n"
        "H: descriptors=%s\n",
        syspath + 4, bus, address, devname, bus, address, bus, address, vendor, product, hub ? "09" : "00",
        (bus - 1) * 128 + address - 1, hex->str);
    GError *error = NULL;
    if (!umockdev_testbed_add_from_string(testbed, record, &error)) {
        fprintf(stderr, "cannot add %s: %s\n", syspath, error->message);
        exit(1);
    }
    g_string_free(hex, TRUE);
    g_free(record);

    memset(dev, 0, sizeof *dev);
    g_strlcpy(dev->devnode, devname, sizeof dev->devnode);
    dev->slot = slot;
    if (slot >= 0) scn_scanner_init(&dev->model, &scenario, (uint32_t)slot, image_length, image_crc);
    dev->log = g_string_new(NULL);
    g_queue_init(&dev->done);
    g_queue_init(&dev->stalled);
    UMockdevIoctlBase *handler = umockdev_ioctl_base_new();
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(on_ioctl), dev);
    g_signal_connect(handler, "client-connected", G_CALLBACK(on_connected), dev);
    if (!umockdev_testbed_attach_ioctl(testbed, devname, handler, &error)) {
        fprintf(stderr, "cannot emulate %s: %s\n", devname, error->message);
        exit(1);
    }
    device_total++;
    return syspath;
}

/* Root hub usb1 and an external hub 1-1, then the scenario's devices
 * behind the hub in scenario order. Their addresses increase with the
 * scenario's index while their port numbers (and so their sysfs names)
 * decrease: the order in which the system lists them is not the order
 * that the numbering must follow. With two devices or more, the last one
 * sits on a second bus at the lowest address of all, so that only the bus
 * number puts it last. Returns the target's slot or -1. */
static void build_testbed(UMockdevTestbed *testbed)
{
    char *root = add_usb_device(testbed, "usb1", NULL, 1, 1, 0x1d6b, 0x0002, -1, &devices[device_total]);
    char *hub = add_usb_device(testbed, "1-1", root, 1, 2, 0x05e3, 0x0610, -1, &devices[device_total]);
    char *root2 = NULL;
    int n = (int)scenario.device_count;
    for (int p = 0; p < n; p++) {
        const scn_device *d = &scenario.devices[p];
        if (n > 1 && p == n - 1) {
            root2 = add_usb_device(testbed, "usb2", NULL, 2, 1, 0x1d6b, 0x0003, -1, &devices[device_total]);
            g_free(add_usb_device(testbed, "2-1", root2, 2, 2, d->vendor, d->product, p, &devices[device_total]));
        } else {
            char name[32];
            snprintf(name, sizeof name, "1-1.%d", n - p);
            g_free(add_usb_device(testbed, name, hub, 1, 5 + 3 * p, d->vendor, d->product, p,
                                  &devices[device_total]));
        }
    }
    g_free(root);
    g_free(root2);
    g_free(hub);
}

/* ---- running scanfw ------------------------------------------------------- */

/* For a run as another user: the testbed readable (and its sockets usable)
 * by everyone, the way sysfs is, while the USB device nodes stay root's
 * own, as they are on a machine without the udev rule. */
static int open_up(const char *path, const struct stat *st, int type, struct FTW *ftw)
{
    (void)ftw;
    if (type == FTW_D) chmod(path, 0777); /* udev monitors bind sockets here */
    else if (S_ISSOCK(st->st_mode)) chmod(path, 0777);
    else if (type == FTW_F) chmod(path, 0644);
    return 0;
}

static void restrict_device_nodes(UMockdevTestbed *testbed)
{
    char *root = umockdev_testbed_get_root_dir(testbed);
    nftw(root, open_up, 16, FTW_PHYS);
    for (int i = 0; i < device_total; i++) {
        char *node = g_strconcat(root, devices[i].devnode, NULL);
        chmod(node, 0600);
        g_free(node);
    }
    g_free(root);
}


static const char *locale_for(uint32_t lang)
{
    return lang == 0x0404 ? "zh_TW.UTF-8" : lang == 0x0804 ? "zh_CN.UTF-8" : "en_US.UTF-8";
}

static void drain(int fd, GString *into, int *open_fds)
{
    char chunk[4096];
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n > 0) g_string_append_len(into, chunk, n);
    else if (n == 0 || errno != EINTR) (*open_fds)--;
}

/* Runs the program to its end (or kills it after `limit` seconds) and
 * returns its wait status; -1 when it could not be started. */
static int run_program(char **argv, char **envp, GString *out, GString *err, double limit, double *seconds)
{
    int out_pipe[2], err_pipe[2];
    if (pipe(out_pipe) || pipe(err_pipe)) return -1;
    gint64 started = g_get_monotonic_time();
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        close(out_pipe[0]);
        close(err_pipe[0]);
        if (scenario.run_as_nobody && (setgid(65534) || setuid(65534))) _exit(126);
        execve(argv[0], argv, envp);
        _exit(127);
    }
    child_pid = pid;
    close(out_pipe[1]);
    close(err_pipe[1]);
    struct pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    int open_fds = 2, killed = 0;
    while (open_fds > 0) {
        int r = poll(fds, 2, 500);
        if (r < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
                int before = open_fds;
                drain(fds[i].fd, i == 0 ? out : err, &open_fds);
                if (open_fds != before) {
                    close(fds[i].fd);
                    fds[i].fd = -1;
                }
            }
        }
        if (!killed && (g_get_monotonic_time() - started) / 1e6 > limit) {
            kill(pid, SIGKILL);
            killed = 1;
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    child_pid = 0;
    *seconds = (g_get_monotonic_time() - started) / 1e6;
    return killed ? -2 : status;
}

static char **child_environment(const char *preload)
{
    char **env = g_get_environ();
    const char *old = g_environ_getenv(env, "LD_PRELOAD");
    char *value = old && strstr(old, preload) ? g_strdup(old)
                  : old && *old             ? g_strconcat(preload, ":", old, NULL)
                                            : g_strdup(preload);
    env = g_environ_setenv(env, "LD_PRELOAD", value, TRUE);
    g_free(value);
    env = g_environ_unsetenv(env, "LC_MESSAGES");
    env = g_environ_unsetenv(env, "LANG");
    env = g_environ_setenv(env, "LC_ALL", locale_for(scenario.lang), TRUE);
    /* An ASan build wants its runtime first in the library list; the
     * preload library comes first here on purpose. */
    const char *asan = g_environ_getenv(env, "ASAN_OPTIONS");
    char *asan_value = g_strconcat(asan && *asan ? asan : "", asan && *asan ? ":" : "", "verify_asan_link_order=0",
                                   NULL);
    env = g_environ_setenv(env, "ASAN_OPTIONS", asan_value, TRUE);
    g_free(asan_value);
    return env;
}

/* What usb_probe must print against this testbed. */
static char *probe_expectation(void)
{
    GString *e = g_string_new(NULL);
    for (int i = 0; i < 6; i++) {
        if (i < (int)scenario.device_count)
            g_string_append_printf(e, "\\\\.\\usbscan%d %04x:%04x 0100 0000 8\n", i, scenario.devices[i].vendor,
                                   scenario.devices[i].product);
        else
            g_string_append_printf(e, "\\\\.\\usbscan%d missing 2\n", i);
    }
    g_string_append(e, "\\\\.\\usbscan255 missing 2\n"
                       "\\\\.\\usbscan01 missing 2\n"
                       "\\\\.\\usbscan missing 2\n"
                       "usbscan0 missing 2\n"
                       "\\\\.\\usbscan-1 missing 2\n");
    if (scenario.device_count > 0)
        g_string_append_printf(e, "\\\\.\\USBSCAN0 %04x:%04x 0100 0000 8\n", scenario.devices[0].vendor,
                               scenario.devices[0].product);
    /* The event is signalled once the request returns, and only once; the
     * completion query reports the count of the request last made. */
    g_string_append(e, "before: 258\n"
                       "write: 1 16 0 258 1 16\n"
                       "read: 1 32 0 1 32 status 0\n");
    return g_string_free(e, FALSE);
}

/* {image-length} and {image-sha256} in NAME.out stand for the embedded
 * image's decimal length and lower-case hex SHA-256. */
static void substitute_image_facts(char **expected, gsize *expected_len, const gchar *bytes, gsize len)
{
    gchar *sha = g_compute_checksum_for_data(G_CHECKSUM_SHA256, (const guchar *)bytes, len);
    gchar *length = g_strdup_printf("%" G_GSIZE_FORMAT, len);
    GString *text = g_string_new_len(*expected, (gssize)*expected_len);
    g_string_replace(text, "{image-length}", length, 0);
    g_string_replace(text, "{image-sha256}", sha, 0);
    g_free(sha);
    g_free(length);
    g_free(*expected);
    *expected_len = text->len;
    *expected = g_string_free(text, FALSE);
}

static void show_bytes(const char *label, const GString *s)
{
    printf("---- %s (%zu bytes)\n", label, s->len);
    fwrite(s->str, 1, s->len, stdout);
    if (s->len && s->str[s->len - 1] != '\n') printf("\n");
}

static gboolean load(const char *path, gchar **bytes, gsize *length)
{
    if (g_file_get_contents(path, bytes, length, NULL)) return TRUE;
    fprintf(stderr, "cannot read %s\n", path);
    return FALSE;
}

int main(int argc, char **argv)
{
    const char *exe = NULL, *rec = NULL, *expected_path = NULL, *preload = NULL, *image = NULL, *probe = NULL;
    const char *logind = NULL; /* "held": logind runs; "absent": the bus has no logind */
    int split = 0;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--exe") && i + 1 < argc) exe = argv[++i];
        else if (!strcmp(argv[i], "--record") && i + 1 < argc) rec = argv[++i];
        else if (!strcmp(argv[i], "--expected") && i + 1 < argc) expected_path = argv[++i];
        else if (!strcmp(argv[i], "--preload") && i + 1 < argc) preload = argv[++i];
        else if (!strcmp(argv[i], "--image") && i + 1 < argc) image = argv[++i];
        else if (!strcmp(argv[i], "--split-urbs")) split = 1;
        else if (!strcmp(argv[i], "--probe") && i + 1 < argc) probe = argv[++i];
        else if (!strcmp(argv[i], "--logind") && i + 1 < argc) logind = argv[++i];
        else break;
    }
    if (!exe || !rec || !preload || !image || (!expected_path && !probe)) {
        fprintf(stderr, "usage: %s --exe SCANFW --preload LIBUMOCKDEV_PRELOAD --record NAME.rec --image FILE "
                        "(--expected NAME.out | --probe USB_PROBE) [--split-urbs] [--logind held|absent]\n", argv[0]);
        return 2;
    }
    const char *loaded = getenv("LD_PRELOAD");
    if (!loaded || !strstr(loaded, preload)) {
        /* The testbed checks the devices it builds through the paths that
         * the preload library redirects, so this process runs under it too. */
        setenv("LD_PRELOAD", preload, 1);
        execv("/proc/self/exe", argv);
        perror("re-running under the umockdev preload library");
        return 1;
    }
    gchar *bytes = NULL, *expected = NULL;
    gsize length = 0, expected_len = 0;
    if (!load(rec, &bytes, &length)) return 1;
    if (!scn_record_valid(bytes, (uint32_t)length) || !(((scn_record *)bytes)->harnesses & SCN_HARNESS_UMOCKDEV)) {
        printf("FAIL: %s is not a compiled scenario that the umockdev testbed can run\n", rec);
        return 1;
    }
    memcpy(&scenario, bytes, sizeof scenario);
    g_free(bytes);
    if (probe) { /* the probe makes one readiness exchange */
        scenario.wire[0] = 'R';
        scenario.wire_length = 1;
        scenario.checks |= SCN_CHECK_WIRE;
        expected = probe_expectation();
        expected_len = strlen(expected);
    } else if (!load(expected_path, &expected, &expected_len)) {
        return 1;
    }
    if (!load(image, &bytes, &length)) return 1;
    image_length = (uint32_t)length;
    image_crc = scn_crc32(0, (const uint8_t *)bytes, (uint32_t)length);
    substitute_image_facts(&expected, &expected_len, bytes, length);
    g_free(bytes);

    /* A controller with scatter-gather takes the whole image as one URB;
     * without it libusb splits the transfer into 16 KiB URBs. */
    capabilities = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                   USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
    if (!split) capabilities |= USBDEVFS_CAP_BULK_SCATTER_GATHER;

    if (scenario.run_as_nobody && getuid() != 0) {
        printf("SKIP: running scanfw as another user needs root\n");
        return SKIP;
    }
    UMockdevTestbed *testbed = umockdev_testbed_new();
    build_testbed(testbed);
    if (scenario.run_as_nobody) restrict_device_nodes(testbed);

    /* The build tree may lie where another user cannot reach it (a home
     * folder of mode 700): the unprivileged run gets its own copy. */
    char *nobody_dir = NULL, *nobody_exe = NULL;
    if (scenario.run_as_nobody && !probe) {
        nobody_dir = g_strdup("/tmp/scanfw-nobody.XXXXXX");
        if (!g_mkdtemp_full(nobody_dir, 0755) || !g_file_get_contents(exe, &bytes, &length, NULL)) {
            printf("FAIL: cannot make a copy of scanfw for the unprivileged run\n");
            return 1;
        }
        nobody_exe = g_build_filename(nobody_dir, "scanfw", NULL);
        gboolean written = g_file_set_contents(nobody_exe, bytes, (gssize)length, NULL);
        g_free(bytes);
        if (!written || chmod(nobody_exe, 0755) != 0) {
            printf("FAIL: cannot make a copy of scanfw for the unprivileged run\n");
            return 1;
        }
    }

    char **child_argv = g_new0(char *, SCN_ARGS_BYTES + 2);
    int child_argc = 0;
    child_argv[child_argc++] = g_strdup(probe ? probe : nobody_exe ? nobody_exe : exe);
    if (probe) {
        child_argv[child_argc++] = g_strdup_printf("\\\\.\\usbscan%d", scenario.target < 0 ? 0 : scenario.target);
    } else {
        const char *arg = scenario.args;
        for (uint32_t i = 0; i < scenario.argc; i++, arg += strlen(arg) + 1) child_argv[child_argc++] = g_strdup(arg);
    }
    char **env = child_environment(preload);

    if (logind) {
        GError *error = NULL;
        system_bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, NULL, &error);
        if (!system_bus) {
            printf("FAIL: no system bus for --logind: %s\n", error->message);
            return 1;
        }
        inhibitors = g_string_new(NULL);
    }

    GString *out = g_string_new(NULL), *err = g_string_new(NULL);
    double seconds = 0;
    double limit = scenario.elapsed_max_ms > 0 ? scenario.elapsed_max_ms / 1000.0 + 30 : 240;
    int status = run_program(child_argv, env, out, err, limit, &seconds);
    if (nobody_exe) {
        unlink(nobody_exe);
        rmdir(nobody_dir);
        g_free(nobody_exe);
        g_free(nobody_dir);
    }

    int failed = 0;
    g_mutex_lock(&state_lock);
    printf("scanfw ran %.2f s, %s\n", seconds,
           status == -2 ? "killed after the time limit" : status == -1 ? "could not start" : "ended");
    if (status < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != (int)scenario.expect_exit) {
        printf("FAIL: scanfw did not exit with status %u (wait status %d)\n", scenario.expect_exit, status);
        failed = 1;
    }
    if (out->len != expected_len || memcmp(out->str, expected, expected_len) != 0) {
        printf("FAIL: standard output differs from %s\n", probe ? "what the probe must print" : expected_path);
        show_bytes("expected", &(GString){expected, expected_len, 0});
        show_bytes("actual", out);
        failed = 1;
    }
    if (err->len) show_bytes("scanfw standard error", err);
    if ((scenario.checks & SCN_CHECK_STDERR) && !strstr(err->str, scenario.expect_stderr)) {
        printf("FAIL: standard error does not mention \"%s\"\n", scenario.expect_stderr);
        failed = 1;
    }

    scn_scanner models[SCN_MAX_DEVICES];
    for (int i = 0; i < device_total; i++) {
        Device *dev = &devices[i];
        if (dev->log->len) printf("%s: %s", dev->devnode, dev->log->str);
        if (dev->slot >= 0) models[dev->slot] = dev->model;
        /* Identity comes from sysfs: only the scanner is ever opened. */
        if (dev->slot != scenario.target && dev->connections) {
            printf("FAIL: %s was opened %d times although it is not the scanner that discovery picks\n",
                   dev->devnode, dev->connections);
            failed = 1;
        }
        if (dev->submits_before_claim || dev->ioctls_before_claim) {
            printf("FAIL: %s was used before its interface was claimed (%d URBs, %d other requests)\n",
                   dev->devnode, dev->submits_before_claim, dev->ioctls_before_claim);
            failed = 1;
        }
        if (dev->done.length || dev->stalled.length) {
            printf("FAIL: %s has %u URBs never reaped\n", dev->devnode, dev->done.length + dev->stalled.length);
            failed = 1;
        }
        if (probe && dev->slot == scenario.target && !strstr(dev->log->str, "interface 0 released")) {
            printf("FAIL: closing the handle did not release the claimed interface\n");
            failed = 1;
        }
        if (dev->slot == scenario.target) {
            const scn_scanner *m = &dev->model;
            printf("wire: %.*s\n", (int)m->wire_length, m->wire);
            if (m->exchanges[SCN_PHASE_BULK])
                printf("bulk write: %u of %u bytes announced, crc32 %08x\n", m->bulk_length, m->announced,
                       m->bulk_crc);
            if (dev->bulk_reaped_us) {
                double s = (dev->bulk_reaped_us - dev->bulk_started_us) / 1e6;
                printf("bulk write throughput: %u bytes in %.3f s = %.1f MiB/s (%u URBs, %s)\n", m->bulk_length, s,
                       m->bulk_length / 1048576.0 / s, dev->bulk_urbs,
                       split ? "libusb cuts transfers into 16 KiB URBs" : "a transfer is one URB");
            }
        }
    }
    usbfs_report(&failed);
    char problems[4096] = "";
    scn_text text = {problems, sizeof problems, 0};
    if (scn_check(&scenario, models, scenario.device_count, SCN_CHECK_WIRE, &text)) {
        printf("FAIL: %s", problems);
        failed = 1;
    }
    if (logind && scenario.target >= 0) {
        /* Held from the download command to the verdict, and only then:
         * "R0 D1 B1 S1 S1" for a scanner ready at once. */
        const scn_scanner *m = &models[scenario.target];
        GString *want = g_string_new(NULL);
        int writing = 0;
        for (uint32_t i = 0; i < m->wire_length && i < SCN_MAX_WIRE; i++) {
            writing |= m->wire[i] == 'D';
            g_string_append_printf(want, "%s%c%d", want->len ? " " : "", m->wire[i],
                                   strcmp(logind, "held") ? -1 : writing);
        }
        printf("inhibitors: %s\n", inhibitors->str);
        if (strcmp(want->str, inhibitors->str)) {
            printf("FAIL: logind inhibitors \"%s\", expected \"%s\" (-1: no logind)\n", inhibitors->str, want->str);
            failed = 1;
        }
        /* Let go at the end: logind sees the descriptor closed. */
        int left = -2;
        for (int i = 0; i < 50 && (left = scanfw_inhibitors()) > 0; i++) g_usleep(40000);
        if (left != (strcmp(logind, "held") ? -1 : 0)) {
            printf("FAIL: %d inhibitors left after the run\n", left);
            failed = 1;
        }
        if (err->len) {
            printf("FAIL: scanfw wrote to standard error\n");
            failed = 1;
        }
        g_string_free(want, TRUE);
    }
    if ((scenario.checks & SCN_CHECK_ELAPSED) &&
        (seconds * 1000 < scenario.elapsed_min_ms || seconds * 1000 > scenario.elapsed_max_ms)) {
        printf("FAIL: the run took %.2f s, expected %.1f to %.1f s\n", seconds, scenario.elapsed_min_ms / 1000.0,
               scenario.elapsed_max_ms / 1000.0);
        failed = 1;
    }
    g_mutex_unlock(&state_lock);
    printf("%s\n", failed ? "FAILED" : "passed");
    fflush(stdout);
    /* The testbed's worker thread may still hold client state; the process
     * ends here without tearing it down. */
    _exit(failed ? 1 : 0);
}
