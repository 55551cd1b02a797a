/* Runs the real Linux scanfw against an emulated USB scanner.
 *
 * A umockdev testbed holds a root hub, an external hub and the devices of a
 * scenario file (tests/scenarios/NAME.scn). Each device node answers the
 * usbfs ioctls that libusb makes (capabilities, claim, URB submit, reap and
 * discard) as the scanner would: 16-byte commands out, 32-byte answers in,
 * the image as bulk data. scanfw runs unmodified under the umockdev preload
 * library; its whole standard output is compared with NAME.out, and what the
 * scanner received with the scenario's expect-wire line.
 *
 * Besides the shared directives it reads some that only a real device
 * needs: the fault kinds "stall" (the device never completes the request,
 * so only the transfer's own time bound ends it) and "gone" (the device
 * disappears), "elapsed: MIN MAX", the run's duration in seconds, and the
 * kernel's usbfs memory accounting (see "usbfs memory" below).
 * Of the shared expectations it checks NAME.out (with the embedded image's
 * {image-length} and {image-sha256} put in, given --image), expect-wire and
 * expect-exit.
 *
 * Exit status: 0 passed, 1 failed, 77 the scenario needs something that a
 * real device cannot be made to do here (CTest reports it as skipped). */
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

#define SKIP 77
#define MAX_DEVICES 16
#define MAX_ANSWERS 64
#define TARGET_VENDOR 0x3A7C
#define TARGET_PRODUCT 0x4E21
#define EP_BULK_IN 0x81
#define EP_BULK_OUT 0x02
#define EP_INTERRUPT_IN 0x83
#define SPLIT_URB_BYTES 16384

enum { PHASE_NONE, PHASE_READINESS, PHASE_DOWNLOAD, PHASE_BULK, PHASE_BURN, PHASE_COUNT };
enum { STAGE_WRITE, STAGE_READ };
enum { FAULT_NONE, FAULT_FAIL, FAULT_SHORT, FAULT_STALL, FAULT_GONE };

typedef struct {
    int index;
    unsigned vendor, product;
} ScenarioDevice;

typedef struct {
    char *args;
    char *lang;
    ScenarioDevice devices[MAX_DEVICES];
    int device_count;
    unsigned readiness[MAX_ANSWERS], burn[MAX_ANSWERS], download;
    int readiness_count, burn_count;
    int fault_phase, fault_occurrence, fault_stage, fault_kind;
    char *expect_wire; /* NULL: not checked */
    char *expect_stderr; /* NULL: not checked; else a text it must hold */
    int expect_exit;     /* the exit status; 0 unless expect-exit says */
    int run_as_nobody;
    double elapsed_min, elapsed_max; /* < 0: not checked */
    int interrupt_signal, interrupt_phase, interrupt_occurrence; /* signal 0: none */
    char *skip_reason;
    /* usbfs memory: the limit (0: none), where in the image a bulk fault
     * strikes (-1: from its first URB), whether refusals must be seen. */
    guint64 usbfs_limit;
    gint64 fault_offset;
    int expect_refused; /* -1: not checked */
} Scenario;

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
    int is_target; /* the scanner that discovery must pick */
    int connections;
    int claimed;
    int ever_claimed;
    int submits_before_claim;
    int ioctls_before_claim; /* other than the capability query */
    int gone;                /* disconnected: only reaping still works */
    GQueue done;             /* Urb*: completed, waiting to be reaped */
    GQueue stalled;          /* Urb*: never completed unless discarded */
    /* What the scanner makes of the commands. */
    int last_phase;
    int exchanges[PHASE_COUNT];
    int next_out_is_bulk;
    int in_bulk;
    uint32_t bulk_expected, bulk_received, bulk_crc, bulk_urbs;
    gint64 bulk_started_us, bulk_reaped_us;
    GString *wire;
    GString *log;
} Device;

static Scenario scenario;
static Device devices[MAX_DEVICES + 2];
static int device_total;
static guint32 capabilities;
static GMutex state_lock;
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

static void note_inhibitors(const char *token)
{
    if (!system_bus) return;
    g_string_append_printf(inhibitors, "%s%s%d", inhibitors->len ? " " : "", token, scanfw_inhibitors());
}

/* ---- usbfs memory -------------------------------------------------------- */

/* The kernel refuses a URB (ENOMEM) when the buffers of the URBs submitted
 * and not yet reaped would pass usbfs_memory_mb (16 MiB unless changed; 0
 * means no limit); devio.c also counts its own records of each URB, about
 * this much. The accounting is the process's, over all its devices. */
#define USBFS_DEFAULT_LIMIT (16u << 20)
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
    printf("usbfs: at most %" G_GUINT64_FORMAT " bytes in submitted URBs, limit %" G_GUINT64_FORMAT
           ", %d submissions refused\n",
           usbfs_peak_buffers, scenario.usbfs_limit, usbfs_refused);
    if (usbfs_peak_buffers > SCANFW_MAX_OUTSTANDING) {
        printf("FAIL: more than %u bytes were submitted at once\n", SCANFW_MAX_OUTSTANDING);
        *failed = 1;
    }
    if (usbfs_charged) {
        printf("FAIL: %" G_GUINT64_FORMAT " bytes still held in URBs never reaped\n", usbfs_charged);
        *failed = 1;
    }
    if (scenario.expect_refused >= 0 && (usbfs_refused > 0) != scenario.expect_refused) {
        printf("FAIL: the kernel was %s to refuse memory\n", scenario.expect_refused ? "expected" : "not expected");
        *failed = 1;
    }
}

/* The directives of this accounting, and of faults within the image. */
static gboolean parse_usbfs_directive(const char *key, char **words, int w)
{
    if (!strcmp(key, "usbfs-limit") && w >= 1) {
        scenario.usbfs_limit = g_ascii_strtoull(words[0], NULL, 10);
        if (w >= 2) scenario.expect_refused = !strcmp(words[1], "refused");
    } else if (!strcmp(key, "fault-offset") && w >= 1) {
        scenario.fault_offset = g_ascii_strtoll(words[0], NULL, 10);
    } else {
        return FALSE;
    }
    return TRUE;
}

/* ---- scenario files ---------------------------------------------------- */

static int phase_from_name(const char *name)
{
    if (!strcmp(name, "readiness")) return PHASE_READINESS;
    if (!strcmp(name, "download")) return PHASE_DOWNLOAD;
    if (!strcmp(name, "bulk")) return PHASE_BULK;
    if (!strcmp(name, "burn")) return PHASE_BURN;
    return -1;
}

static void skip_because(const char *reason)
{
    if (!scenario.skip_reason) scenario.skip_reason = g_strdup(reason);
}

static int parse_numbers(char **words, unsigned *out, int base)
{
    int n = 0;
    for (; words[n] && n < MAX_ANSWERS; n++) out[n] = (unsigned)strtoul(words[n], NULL, base);
    return n;
}

static gboolean load_scenario(const char *path)
{
    char *text = NULL;
    GError *error = NULL;
    if (!g_file_get_contents(path, &text, NULL, &error)) {
        fprintf(stderr, "cannot read %s: %s\n", path, error->message);
        return FALSE;
    }
    scenario.elapsed_min = scenario.elapsed_max = -1;
    scenario.usbfs_limit = USBFS_DEFAULT_LIMIT;
    scenario.fault_offset = -1;
    scenario.expect_refused = -1;
    scenario.lang = g_strdup("0409");
    scenario.args = g_strdup("");
    char **lines = g_strsplit(text, "\n", -1);
    for (char **line = lines; *line; line++) {
        char *l = g_strstrip(*line);
        if (!*l || *l == '#') continue;
        char *colon = strchr(l, ':');
        if (!colon) continue;
        *colon = '\0';
        const char *key = l;
        char *value = g_strstrip(colon + 1);
        char **words = g_strsplit_set(value, " \t", -1);
        /* drop empty words from runs of blanks */
        int w = 0;
        for (int r = 0; words[r]; r++) {
            if (*words[r]) words[w++] = words[r];
            else g_free(words[r]);
        }
        words[w] = NULL;

        if (!strcmp(key, "args")) {
            g_free(scenario.args);
            scenario.args = g_strdup(value);
        } else if (!strcmp(key, "lang")) {
            g_free(scenario.lang);
            scenario.lang = g_strdup(value);
        } else if (!strcmp(key, "device") && w >= 3 && scenario.device_count < MAX_DEVICES) {
            ScenarioDevice *d = &scenario.devices[scenario.device_count++];
            d->index = atoi(words[0]);
            d->vendor = (unsigned)strtoul(words[1], NULL, 16);
            d->product = (unsigned)strtoul(words[2], NULL, 16);
            if (w > 3)
                skip_because("a descriptor that cannot be read, or is short, cannot be emulated: "
                             "the identity is the kernel's copy of the device descriptor");
        } else if (!strcmp(key, "readiness")) {
            scenario.readiness_count = parse_numbers(words, scenario.readiness, 10);
        } else if (!strcmp(key, "burn")) {
            scenario.burn_count = parse_numbers(words, scenario.burn, 10);
        } else if (!strcmp(key, "download") && w >= 1) {
            scenario.download = (unsigned)strtoul(words[0], NULL, 10);
        } else if (!strcmp(key, "fault") && w >= 4) {
            scenario.fault_phase = phase_from_name(words[0]);
            scenario.fault_occurrence = atoi(words[1]);
            scenario.fault_stage = !strcmp(words[2], "read") ? STAGE_READ : STAGE_WRITE;
            if (!strcmp(words[3], "fail")) scenario.fault_kind = FAULT_FAIL;
            else if (!strcmp(words[3], "short")) scenario.fault_kind = FAULT_SHORT;
            else if (!strcmp(words[3], "stall")) scenario.fault_kind = FAULT_STALL;
            else if (!strcmp(words[3], "gone")) scenario.fault_kind = FAULT_GONE;
            else skip_because("this fault kind is made by the fake platform only");
        } else if (!strcmp(key, "wine") && w >= 1 && !strcmp(words[0], "no")) {
            skip_because("the scenario needs the fake platform (virtual clock or a fault of the fake)");
        } else if (!strcmp(key, "image") && w >= 1 && strcmp(words[0], "ok")) {
            skip_because("a missing image is made by the fake platform only");
        } else if (!strcmp(key, "clock") || !strcmp(key, "request-ms")) {
            skip_because("the scenario needs the virtual clock");
        } else if (!strcmp(key, "expect-wire")) {
            GString *wire = g_string_new(NULL);
            for (int i = 0; words[i]; i++) {
                char *star = strchr(words[i], '*');
                int times = star ? atoi(star + 1) : 1;
                if (star) *star = '\0';
                for (int t = 0; t < times; t++) g_string_append_printf(wire, "%s%s", wire->len ? " " : "", words[i]);
            }
            g_free(scenario.expect_wire);
            scenario.expect_wire = g_string_free(wire, FALSE);
        } else if (!strcmp(key, "run-as") && w >= 1 && !strcmp(words[0], "nobody")) {
            scenario.run_as_nobody = 1;
        } else if (!strcmp(key, "expect-exit") && w >= 1) {
            scenario.expect_exit = atoi(words[0]);
        } else if (!strcmp(key, "expect-stderr")) {
            g_free(scenario.expect_stderr);
            scenario.expect_stderr = g_strdup(value);
        } else if (!strcmp(key, "interrupt") && w >= 3) {
            /* interrupt: SIGNAL PHASE N: the signal goes to scanfw as the
             * scanner receives the Nth request of PHASE. */
            scenario.interrupt_signal = !strcmp(words[0], "SIGINT")    ? SIGINT
                                        : !strcmp(words[0], "SIGTERM") ? SIGTERM
                                        : !strcmp(words[0], "SIGHUP")  ? SIGHUP
                                                                       : 0;
            scenario.interrupt_phase = phase_from_name(words[1]);
            scenario.interrupt_occurrence = atoi(words[2]);
            if (!scenario.interrupt_signal || scenario.interrupt_phase < 0)
                skip_because("an interrupt this testbed does not know");
        } else if (!strcmp(key, "elapsed") && w >= 2) {
            scenario.elapsed_min = g_ascii_strtod(words[0], NULL);
            scenario.elapsed_max = g_ascii_strtod(words[1], NULL);
        } else {
            parse_usbfs_directive(key, words, w);
        }
        /* title, service and the other expectations concern the fake and
         * Windows: Linux has no still-image service, and the output does
         * not depend on it. */
        g_strfreev(words);
    }
    g_strfreev(lines);
    g_free(text);
    return TRUE;
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

/* ---- the emulated scanner ------------------------------------------------ */

static guint32 crc32_update(guint32 crc, const guint8 *p, gsize n)
{
    static guint32 table[256];
    if (!table[1]) {
        for (guint32 i = 0; i < 256; i++) {
            guint32 c = i;
            for (int k = 0; k < 8; k++) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[i] = c;
        }
    }
    crc = ~crc;
    while (n--) crc = table[(crc ^ *p++) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

static int fault_for(Device *dev, int phase, int stage)
{
    if (scenario.fault_kind == FAULT_NONE || scenario.fault_phase != phase || scenario.fault_stage != stage)
        return FAULT_NONE;
    return dev->exchanges[phase] == scenario.fault_occurrence ? scenario.fault_kind : FAULT_NONE;
}

static void wire(Device *dev, const char *token)
{
    g_string_append_printf(dev->wire, "%s%s", dev->wire->len ? " " : "", token);
}

/* The scenario's signal, while scanfw waits for this request. */
static void maybe_interrupt(Device *dev, int phase)
{
    if (!scenario.interrupt_signal || phase != scenario.interrupt_phase ||
        dev->exchanges[phase] != scenario.interrupt_occurrence || child_pid <= 0)
        return;
    kill(child_pid, scenario.interrupt_signal);
    g_string_append_printf(dev->log, "signal %d sent at %s %d\n", scenario.interrupt_signal,
                           (const char *[]){"?", "readiness", "download", "bulk", "burn"}[phase],
                           dev->exchanges[phase]);
}

static unsigned answer_for(Device *dev)
{
    int n;
    switch (dev->last_phase) {
    case PHASE_READINESS:
        n = dev->exchanges[PHASE_READINESS];
        if (!scenario.readiness_count) return 0;
        return scenario.readiness[n <= scenario.readiness_count ? n - 1 : scenario.readiness_count - 1];
    case PHASE_DOWNLOAD:
        return scenario.download;
    case PHASE_BURN:
        n = dev->exchanges[PHASE_BURN];
        if (!scenario.burn_count) return 0;
        return scenario.burn[n <= scenario.burn_count ? n - 1 : scenario.burn_count - 1];
    default:
        return 0;
    }
}

static int apply_fault(int kind, int length, Urb *urb)
{
    switch (kind) {
    case FAULT_FAIL: /* the device stalls the endpoint */
        urb->status = -EPIPE;
        urb->actual = 0;
        return 0;
    case FAULT_SHORT:
        urb->actual = length > 0 ? length - 1 : 0;
        return 0;
    case FAULT_STALL: /* the request never completes */
        return 1;
    case FAULT_GONE: /* see device_gone */
        urb->status = -ESHUTDOWN;
        urb->actual = 0;
        return 0;
    default:
        return 0;
    }
}

/* Returns 1 when the URB is to stall. */
static int scanner_out(Device *dev, const guint8 *data, int length, unsigned flags, Urb *urb)
{
    urb->actual = length;
    (void)flags;
    if (dev->next_out_is_bulk || dev->in_bulk) {
        /* The bytes that follow a download command are the image, as many
         * as it announced, in however many URBs they come. */
        if (dev->next_out_is_bulk) {
            dev->next_out_is_bulk = 0;
            dev->in_bulk = 1;
            dev->exchanges[PHASE_BULK]++;
            dev->bulk_received = 0;
            dev->bulk_crc = 0;
            dev->bulk_started_us = g_get_monotonic_time();
            wire(dev, "B");
            note_inhibitors("B");
            maybe_interrupt(dev, PHASE_BULK);
        }
        uint32_t start = dev->bulk_received;
        dev->bulk_urbs++;
        dev->bulk_received += (uint32_t)length;
        dev->bulk_crc = crc32_update(dev->bulk_crc, data, (gsize)length);
        int last = dev->bulk_received >= dev->bulk_expected;
        int kind = fault_for(dev, PHASE_BULK, STAGE_WRITE);
        if (scenario.fault_offset >= 0) {
            /* From the URB that carries that byte on; a short one is that
             * URB alone; behind a stalled one the halted endpoint holds
             * every later URB until it is cancelled. */
            if ((gint64)dev->bulk_received <= scenario.fault_offset) kind = FAULT_NONE;
            else if (kind == FAULT_SHORT && (gint64)start > scenario.fault_offset) kind = FAULT_NONE;
            else if (kind == FAULT_FAIL && (gint64)start > scenario.fault_offset) kind = FAULT_STALL;
        } else if (kind == FAULT_SHORT && !last) {
            kind = FAULT_NONE;
        }
        if (last) dev->in_bulk = 0;
        return apply_fault(kind, length, urb);
    }
    dev->in_bulk = 0;
    int phase = PHASE_NONE;
    if (length == 16 && data[0] == 0x20 && data[1] == 0x02 && data[2] == 0 && data[3] == 0) {
        if (data[4] == 0x12 && data[6] == 0x02) phase = PHASE_READINESS;
        else if (data[4] == 0x2A) phase = PHASE_DOWNLOAD;
        else if (data[4] == 0x12 && data[6] == 0x08) phase = PHASE_BURN;
    }
    dev->exchanges[phase]++;
    dev->last_phase = phase;
    static const char *const tokens[PHASE_COUNT] = {"?", "R", "D", "B", "S"};
    wire(dev, tokens[phase]);
    note_inhibitors(tokens[phase]);
    maybe_interrupt(dev, phase);
    if (phase == PHASE_DOWNLOAD) {
        dev->bulk_expected = (uint32_t)data[12] | (uint32_t)data[13] << 8 | (uint32_t)data[14] << 16 |
                             (uint32_t)data[15] << 24;
        dev->next_out_is_bulk = 1;
    }
    return apply_fault(fault_for(dev, phase, STAGE_WRITE), length, urb);
}

static int scanner_in(Device *dev, guint8 *data, int length, Urb *urb)
{
    unsigned status = answer_for(dev);
    int filled = length < 32 ? length : 32;
    memset(data, 0, (size_t)length);
    if (filled >= 6) {
        data[4] = (guint8)(status & 0xFF);
        data[5] = (guint8)(status >> 8);
    }
    urb->actual = filled;
    return apply_fault(fault_for(dev, dev->last_phase, STAGE_READ), filled, urb);
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
    if (u->endpoint == EP_BULK_OUT) {
        int first_of_bulk = dev->next_out_is_bulk;
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
    if (u->endpoint == EP_BULK_OUT && urb->status == 0 && !dev->in_bulk && dev->bulk_started_us && !dev->bulk_reaped_us &&
        g_queue_is_empty(&dev->done) && dev->bulk_received >= dev->bulk_expected)
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
                            unsigned vendor, unsigned product, int hub, Device *dev)
{
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
    dev->wire = g_string_new(NULL);
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
static int build_testbed(UMockdevTestbed *testbed)
{
    char *root = add_usb_device(testbed, "usb1", NULL, 1, 1, 0x1d6b, 0x0002, 1, &devices[device_total]);
    char *hub = add_usb_device(testbed, "1-1", root, 1, 2, 0x05e3, 0x0610, 1, &devices[device_total]);
    char *root2 = NULL;
    int target = -1;
    int n = scenario.device_count;
    for (int p = 0; p < n; p++) {
        const ScenarioDevice *d = &scenario.devices[p];
        Device *dev = &devices[device_total];
        if (n > 1 && p == n - 1) {
            root2 = add_usb_device(testbed, "usb2", NULL, 2, 1, 0x1d6b, 0x0003, 1, &devices[device_total]);
            dev = &devices[device_total];
            g_free(add_usb_device(testbed, "2-1", root2, 2, 2, d->vendor, d->product, 0, dev));
        } else {
            char name[32];
            snprintf(name, sizeof name, "1-1.%d", n - p);
            g_free(add_usb_device(testbed, name, hub, 1, 5 + 3 * p, d->vendor, d->product, 0, dev));
        }
        if (target < 0 && d->vendor == TARGET_VENDOR && d->product == TARGET_PRODUCT) {
            dev->is_target = 1;
            target = (int)(dev - devices);
        }
    }
    g_free(root);
    g_free(root2);
    g_free(hub);
    return target;
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


static const char *locale_for(const char *lang)
{
    if (!g_ascii_strcasecmp(lang, "0404")) return "zh_TW.UTF-8";
    if (!g_ascii_strcasecmp(lang, "0804")) return "zh_CN.UTF-8";
    return "en_US.UTF-8";
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

/* The position of the scenario's first scanner among the numbered
 * devices: hubs are not numbered, the rest follow bus and address. */
static int probe_target_position(void)
{
    for (int p = 0; p < scenario.device_count; p++)
        if (scenario.devices[p].vendor == TARGET_VENDOR && scenario.devices[p].product == TARGET_PRODUCT) return p;
    return 0;
}

/* What usb_probe must print against this testbed. */
static char *probe_expectation(const char *unused)
{
    (void)unused;
    GString *e = g_string_new(NULL);
    for (int i = 0; i < 6; i++) {
        if (i < scenario.device_count)
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
static gboolean substitute_image_facts(char **expected, gsize *expected_len, const char *image)
{
    gchar *bytes = NULL;
    gsize len = 0;
    if (!image || !g_file_get_contents(image, &bytes, &len, NULL)) {
        printf("SKIP: the expected output names the embedded image, and no --image file was given\n");
        return FALSE;
    }
    gchar *sha = g_compute_checksum_for_data(G_CHECKSUM_SHA256, (const guchar *)bytes, len);
    gchar *length = g_strdup_printf("%" G_GSIZE_FORMAT, len);
    GString *text = g_string_new_len(*expected, (gssize)*expected_len);
    g_string_replace(text, "{image-length}", length, 0);
    g_string_replace(text, "{image-sha256}", sha, 0);
    g_free(bytes);
    g_free(sha);
    g_free(length);
    g_free(*expected);
    *expected_len = text->len;
    *expected = g_string_free(text, FALSE);
    return TRUE;
}

static void show_bytes(const char *label, const GString *s)
{
    printf("---- %s (%zu bytes)\n", label, s->len);
    fwrite(s->str, 1, s->len, stdout);
    if (s->len && s->str[s->len - 1] != '\n') printf("\n");
}

int main(int argc, char **argv)
{
    const char *exe = NULL, *scn = NULL, *expected_path = NULL, *preload = NULL, *image = NULL, *probe = NULL;
    const char *logind = NULL; /* "held": logind runs; "absent": the bus has no logind */
    int split = 0;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--exe") && i + 1 < argc) exe = argv[++i];
        else if (!strcmp(argv[i], "--scenario") && i + 1 < argc) scn = argv[++i];
        else if (!strcmp(argv[i], "--expected") && i + 1 < argc) expected_path = argv[++i];
        else if (!strcmp(argv[i], "--preload") && i + 1 < argc) preload = argv[++i];
        else if (!strcmp(argv[i], "--image") && i + 1 < argc) image = argv[++i];
        else if (!strcmp(argv[i], "--split-urbs")) split = 1;
        else if (!strcmp(argv[i], "--probe") && i + 1 < argc) probe = argv[++i];
        else if (!strcmp(argv[i], "--logind") && i + 1 < argc) logind = argv[++i];
        else {
            fprintf(stderr, "usage: %s --exe SCANFW --preload LIBUMOCKDEV_PRELOAD --scenario NAME.scn "
                            "[--expected NAME.out] [--image FILE] [--split-urbs] [--probe USB_PROBE] "
                            "[--logind held|absent]\n", argv[0]);
            return 2;
        }
    }
    if (!exe || !scn || !preload) return 2;
    const char *loaded = getenv("LD_PRELOAD");
    if (!loaded || !strstr(loaded, preload)) {
        /* The testbed checks the devices it builds through the paths that
         * the preload library redirects, so this process runs under it too. */
        setenv("LD_PRELOAD", preload, 1);
        execv("/proc/self/exe", argv);
        perror("re-running under the umockdev preload library");
        return 1;
    }
    if (!load_scenario(scn)) return 1;
    if (probe) { /* the probe makes one readiness exchange */
        g_free(scenario.expect_wire);
        scenario.expect_wire = g_strdup("R");
    }
    if (scenario.skip_reason) {
        printf("SKIP: %s\n", scenario.skip_reason);
        return SKIP;
    }
    char *expected = NULL;
    gsize expected_len = 0;
    char *out_path = expected_path ? g_strdup(expected_path) : NULL;
    if (!out_path) {
        GString *p = g_string_new(scn);
        if (g_str_has_suffix(p->str, ".scn")) g_string_truncate(p, p->len - 4);
        g_string_append(p, ".out");
        out_path = g_string_free(p, FALSE);
    }
    if (probe) {
        expected = probe_expectation(out_path);
        expected_len = strlen(expected);
    } else if (!g_file_get_contents(out_path, &expected, &expected_len, NULL)) {
        fprintf(stderr, "cannot read %s\n", out_path);
        return 1;
    } else if (strstr(expected, "{image-")) {
        if (!substitute_image_facts(&expected, &expected_len, image)) return SKIP;
    }

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
    int target = build_testbed(testbed);
    if (scenario.run_as_nobody) restrict_device_nodes(testbed);

    /* The build tree may lie where another user cannot reach it (a home
     * folder of mode 700): the unprivileged run gets its own copy. */
    char *nobody_dir = NULL, *nobody_exe = NULL;
    if (scenario.run_as_nobody && !probe) {
        gchar *bytes = NULL;
        gsize length = 0;
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

    char **child_argv = g_new0(char *, 64);
    int child_argc = 0;
    child_argv[child_argc++] = g_strdup(probe ? probe : nobody_exe ? nobody_exe : exe);
    if (probe) {
        g_free(scenario.args);
        scenario.args = g_strdup_printf("\\\\.\\usbscan%d", probe_target_position());
    }
    char **words = g_strsplit_set(scenario.args, " \t", -1);
    for (char **w = words; *w && child_argc < 63; w++)
        if (**w) child_argv[child_argc++] = g_strdup(*w);
    g_strfreev(words);
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
    double limit = scenario.elapsed_max > 0 ? scenario.elapsed_max + 30 : 240;
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
    if (status < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != scenario.expect_exit) {
        printf("FAIL: scanfw did not exit with status %d (wait status %d)\n", scenario.expect_exit, status);
        failed = 1;
    }
    if (out->len != expected_len || memcmp(out->str, expected, expected_len) != 0) {
        printf("FAIL: standard output differs from %s\n", out_path);
        show_bytes("expected", &(GString){expected, expected_len, 0});
        show_bytes("actual", out);
        failed = 1;
    }
    if (err->len) show_bytes("scanfw standard error", err);
    if (scenario.expect_stderr && !strstr(err->str, scenario.expect_stderr)) {
        printf("FAIL: standard error does not mention \"%s\"\n", scenario.expect_stderr);
        failed = 1;
    }

    for (int i = 0; i < device_total; i++) {
        Device *dev = &devices[i];
        if (dev->log->len) printf("%s: %s", dev->devnode, dev->log->str);
        if (!dev->is_target && dev->connections) {
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
    }
    usbfs_report(&failed);
    if (target >= 0 && probe && !strstr(devices[target].log->str, "interface 0 released")) {
        printf("FAIL: closing the handle did not release the claimed interface\n");
        failed = 1;
    }
    if (target >= 0) {
        Device *dev = &devices[target];
        printf("wire: %s\n", dev->wire->str);
        if (scenario.expect_wire && strcmp(scenario.expect_wire, dev->wire->str)) {
            printf("FAIL: the scanner received \"%s\", expected \"%s\"\n", dev->wire->str, scenario.expect_wire);
            failed = 1;
        }
        if (dev->bulk_started_us) {
            printf("bulk write: %u of %u bytes announced, crc32 %08x\n", dev->bulk_received, dev->bulk_expected,
                   dev->bulk_crc);
            if (dev->bulk_reaped_us) {
                double s = (dev->bulk_reaped_us - dev->bulk_started_us) / 1e6;
                printf("bulk write throughput: %u bytes in %.3f s = %.1f MiB/s (%u URBs, %s)\n", dev->bulk_received,
                       s, dev->bulk_received / 1048576.0 / s, dev->bulk_urbs,
                       split ? "libusb cuts transfers into 16 KiB URBs" : "a transfer is one URB");
            }
            if (scenario.fault_kind == FAULT_NONE && dev->bulk_received != dev->bulk_expected) {
                printf("FAIL: the image was not received whole\n");
                failed = 1;
            }
            if (image && scenario.fault_kind == FAULT_NONE) {
                char *bytes = NULL;
                gsize len = 0;
                if (!g_file_get_contents(image, &bytes, &len, NULL)) {
                    printf("FAIL: cannot read %s\n", image);
                    failed = 1;
                } else if (len != dev->bulk_received ||
                           crc32_update(0, (const guint8 *)bytes, len) != dev->bulk_crc) {
                    printf("FAIL: the bytes received are not those of %s\n", image);
                    failed = 1;
                }
                g_free(bytes);
            }
        }
    }
    if (logind) {
        /* Held from the download command to the verdict, and only then:
         * "R0 D1 B1 S1 S1" for a scanner ready at once. */
        GString *want = g_string_new(NULL);
        int writing = 0;
        char **tokens = g_strsplit(target >= 0 ? devices[target].wire->str : "", " ", -1);
        for (char **t = tokens; *t && **t; t++) {
            if (!strcmp(*t, "D")) writing = 1;
            g_string_append_printf(want, "%s%s%d", want->len ? " " : "", *t,
                                   strcmp(logind, "held") ? -1 : writing);
        }
        g_strfreev(tokens);
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
    if (scenario.elapsed_min >= 0 && (seconds < scenario.elapsed_min || seconds > scenario.elapsed_max)) {
        printf("FAIL: the run took %.2f s, expected %.0f to %.0f s\n", seconds, scenario.elapsed_min,
               scenario.elapsed_max);
        failed = 1;
    }
    g_mutex_unlock(&state_lock);
    printf("%s\n", failed ? "FAILED" : "passed");
    fflush(stdout);
    /* The testbed's worker thread may still hold client state; the process
     * ends here without tearing it down. */
    _exit(failed ? 1 : 0);
}
