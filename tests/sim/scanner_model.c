/* The simulated scanner shared by every harness (scanner_model.h). */
#include "tests/sim/scanner_model.h"

#include <stdarg.h>

static const uint8_t kTag[4] = {0x20, 0x02, 0x00, 0x00};

static uint32_t le32(const uint8_t *p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 |
         (uint32_t)p[3] << 24;
}

int scn_record_valid(const void *bytes, uint32_t size) {
  const scn_record *rec = (const scn_record *)bytes;
  return size == sizeof(scn_record) && rec->magic == SCN_MAGIC &&
         rec->version == SCN_VERSION && rec->size == sizeof(scn_record) &&
         rec->device_count <= SCN_MAX_DEVICES &&
         rec->fault_count <= SCN_MAX_FAULTS && rec->readiness_count >= 1 &&
         rec->readiness_count <= SCN_MAX_ANSWERS && rec->burn_count >= 1 &&
         rec->burn_count <= SCN_MAX_ANSWERS &&
         rec->wire_length <= SCN_MAX_WIRE &&
         rec->target < (int32_t)rec->device_count;
}

int scn_find_device(const scn_record *rec, uint32_t index) {
  uint32_t i;
  for (i = 0; i < rec->device_count; i++)
    if (rec->devices[i].index == index) return (int)i;
  return -1;
}

void scn_scanner_init(scn_scanner *s, const scn_record *rec, uint32_t slot,
                      uint32_t image_length, uint32_t image_crc) {
  uint8_t *p = (uint8_t *)s;
  uint32_t i;
  for (i = 0; i < sizeof(*s); i++) p[i] = 0;
  s->rec = rec;
  s->device = &rec->devices[slot];
  s->image_length = image_length;
  s->image_crc = image_crc;
}

int scn_descriptor(const scn_scanner *s, uint8_t *out, uint32_t size) {
  const scn_device *d = s->device;
  const uint16_t fields[4] = {d->vendor, d->product, d->release, d->language};
  uint32_t filled = d->descriptor_bytes < 8 ? d->descriptor_bytes : 8, i;
  if (d->descriptor_fails) return -1;
  if (filled > size) filled = size;
  for (i = 0; i < filled; i++)
    out[i] = (uint8_t)(fields[i / 2] >> (8 * (i % 2)));
  return (int)filled;
}

/* By tag, opcode and parameter; the whole block decides only the letter. */
static uint32_t classify(const uint8_t *b, uint32_t length) {
  uint32_t i;
  if (length != 16) return SCN_PHASE_OTHER;
  for (i = 0; i < 4; i++)
    if (b[i] != kTag[i]) return SCN_PHASE_OTHER;
  if (b[4] == 0x12 && b[6] == 0x02) return SCN_PHASE_READINESS;
  if (b[4] == 0x2A && b[6] == 0x08) return SCN_PHASE_DOWNLOAD;
  if (b[4] == 0x12 && b[6] == 0x08) return SCN_PHASE_BURN;
  return SCN_PHASE_OTHER;
}

/* The letter of a command on the wire: its phase's only when every byte is
 * the one the protocol gives (the download's length: the image's). */
static char letter(const scn_scanner *s, uint32_t phase, const uint8_t *b) {
  uint32_t i, end = phase == SCN_PHASE_DOWNLOAD ? 12 : 16;
  if (phase == SCN_PHASE_OTHER) return '?';
  for (i = 5; i < end; i++) {
    uint8_t want = (i == 6)                                  ? b[6]
                   : (phase == SCN_PHASE_DOWNLOAD && i == 8) ? 4
                                                             : 0;
    if (b[i] != want) return '?';
  }
  if (phase == SCN_PHASE_DOWNLOAD)
    return le32(b + 12) == s->image_length ? 'D' : '?';
  return phase == SCN_PHASE_READINESS ? 'R' : 'S';
}

static void put(scn_scanner *s, char c) {
  if (s->wire_length < SCN_MAX_WIRE) s->wire[s->wire_length] = c;
  s->wire_length++;
}

static uint32_t fault_for(const scn_scanner *s, uint32_t phase,
                          uint32_t stage) {
  const scn_record *rec = s->rec;
  uint32_t i;
  if (phase == SCN_PHASE_OTHER) return SCN_FAULT_NONE;
  for (i = 0; i < rec->fault_count; i++) {
    const scn_fault *f = &rec->faults[i];
    if (f->phase == phase && f->stage == stage &&
        (f->occurrence == 0 || f->occurrence == s->exchanges[phase]))
      return f->kind;
  }
  return SCN_FAULT_NONE;
}

static uint32_t adjusted(uint32_t count, uint32_t fault) {
  if (fault == SCN_FAULT_FAIL || fault == SCN_FAULT_GONE) return 0;
  if (fault == SCN_FAULT_SHORT) return count ? count - 1 : 0;
  if (fault == SCN_FAULT_LONG) return count + 1;
  return count;
}

/* The scenario's interrupt falls on the request that begins the Nth
 * exchange of its phase (for the bulk write, its first piece). */
static uint32_t interrupt_for(const scn_scanner *s, uint32_t phase) {
  const scn_record *rec = s->rec;
  return rec->interrupt_phase == phase &&
                 rec->interrupt_occurrence == s->exchanges[phase]
             ? rec->interrupt_signal
             : 0;
}

static void bulk_piece(scn_scanner *s, const uint8_t *data, uint32_t length,
                       scn_outcome *o) {
  const int first = s->bulk_armed != 0;
  const uint32_t offset = s->rec->bulk_fault_offset;
  uint32_t start;
  s->bulk_armed = 0;
  if (first) {
    s->exchanges[SCN_PHASE_BULK]++;
    s->in_bulk = 1;
    s->bulk_length = 0;
    s->bulk_crc = 0;
  }
  start = s->bulk_length;
  o->phase = SCN_PHASE_BULK;
  o->interrupt = first ? interrupt_for(s, SCN_PHASE_BULK) : 0;
  o->fault = fault_for(s, SCN_PHASE_BULK, SCN_STAGE_WRITE);
  if (offset != SCN_NO_OFFSET) {
    /* From the piece that carries that byte on; a short count is that
     * piece's alone; behind a failed one the halted endpoint holds every
     * later piece until it is cancelled. */
    if (start + length <= offset)
      o->fault = SCN_FAULT_NONE;
    else if (start > offset && o->fault == SCN_FAULT_SHORT)
      o->fault = SCN_FAULT_NONE;
    else if (start > offset && o->fault == SCN_FAULT_FAIL)
      o->fault = SCN_FAULT_STALL;
  } else if (start + length < s->announced &&
             (o->fault == SCN_FAULT_SHORT || o->fault == SCN_FAULT_LONG)) {
    o->fault = SCN_FAULT_NONE; /* a count is off only on the last piece */
  }
  /* The letter stands for the write's start; the bytes count where they
   * fall, whatever the piece's fate. */
  if (first && o->fault != SCN_FAULT_FAIL && o->fault != SCN_FAULT_GONE)
    put(s, 'B');
  s->bulk_length += length;
  s->bulk_crc = scn_crc32(s->bulk_crc, data, length);
  if (s->bulk_length >= s->announced) s->in_bulk = 0;
  o->count = adjusted(length, o->fault);
}

void scn_write(scn_scanner *s, const uint8_t *data, uint32_t length,
               int continues, scn_outcome *o) {
  uint32_t phase;
  if (s->bulk_armed || (continues && s->in_bulk)) {
    bulk_piece(s, data, length, o);
    return;
  }
  s->in_bulk = 0;
  phase = classify(data, length);
  s->exchanges[phase]++;
  o->phase = phase;
  o->interrupt = phase == SCN_PHASE_OTHER ? 0 : interrupt_for(s, phase);
  o->fault = fault_for(s, phase, SCN_STAGE_WRITE);
  o->count = adjusted(length, o->fault);
  s->phase = SCN_PHASE_OTHER;
  if (o->fault == SCN_FAULT_FAIL) return; /* nothing arrived */
  put(s, letter(s, phase, data));
  s->phase = phase;
  if (phase == SCN_PHASE_DOWNLOAD) {
    s->announced = le32(data + 12);
    s->bulk_armed = 1;
  }
}

static uint16_t scripted(const uint16_t *answers, uint32_t count, uint32_t n) {
  return answers[n < count ? n : count - 1];
}

/* A burn that takes its time answers 7 until that much has passed since the
 * first burn-status answer, then as the script ends. */
static uint32_t burn_answer(scn_scanner *s, uint32_t now_ms) {
  const scn_record *rec = s->rec;
  if (rec->burn_time_ms) {
    if (!s->burn_started) {
      s->burn_started = 1;
      s->burn_start_ms = now_ms;
    }
    if (now_ms - s->burn_start_ms < rec->burn_time_ms) return 7;
    if (!s->device->own_burn) return rec->burn[rec->burn_count - 1];
  }
  if (s->device->own_burn) return s->device->burn;
  return scripted(rec->burn, rec->burn_count, s->answered[SCN_PHASE_BURN]);
}

void scn_read(scn_scanner *s, uint8_t *data, uint32_t length, uint32_t now_ms,
              scn_outcome *o) {
  const scn_record *rec = s->rec;
  const uint32_t phase = s->phase;
  uint32_t status = SCN_UNKNOWN_STATUS, filled, i, serial;
  s->phase = SCN_PHASE_OTHER;
  o->phase = phase;
  o->fault = fault_for(s, phase, SCN_STAGE_READ);
  o->count = 0;
  o->interrupt = 0;
  if (o->fault == SCN_FAULT_FAIL) return;
  if (phase == SCN_PHASE_READINESS)
    status = scripted(rec->readiness, rec->readiness_count, s->answered[phase]);
  else if (phase == SCN_PHASE_BURN)
    status = burn_answer(s, now_ms);
  else if (phase == SCN_PHASE_DOWNLOAD)
    status = rec->download;
  s->answered[phase]++;
  /* Every byte but the status is junk that changes from one response to
   * the next, so that nothing may depend on it. */
  serial = ++s->responses;
  o->count = adjusted(length < 32 ? length : 32, o->fault);
  filled = o->count < length ? o->count : length;
  if (filled > 32) filled = 32;
  for (i = 0; i < filled; i++)
    data[i] = (uint8_t)(0x80 | ((i * 29 + serial * 7) & 0x7F));
  if (filled >= 6) {
    data[4] = (uint8_t)(status & 0xFF);
    data[5] = (uint8_t)(status >> 8);
  }
}

uint32_t scn_crc32(uint32_t crc, const uint8_t *data, uint32_t length) {
  static uint32_t table[256];
  uint32_t i, k;
  if (!table[1]) {
    for (i = 0; i < 256; i++) {
      uint32_t c = i;
      for (k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[i] = c;
    }
  }
  crc = ~crc;
  while (length--) crc = table[(crc ^ *data++) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

/* ---- the checks, as text without the C library ---- */

static void put_text(scn_text *t, const char *s, uint32_t length) {
  for (; length-- && *s; s++)
    if (t->used + 1 < t->size) t->text[t->used++] = *s;
  if (t->size) t->text[t->used] = 0;
}

void scn_say(scn_text *t, const char *format, ...) {
  va_list args;
  va_start(args, format);
  for (; *format; format++) {
    char digits[24];
    int k = 0;
    uint64_t n;
    if (*format != '%') {
      put_text(t, format, 1);
      continue;
    }
    switch (*++format) {
      case 's':
        put_text(t, va_arg(args, const char *), 0xFFFFFFFFu);
        break;
      case 'w': {
        const char *wire = va_arg(args, const char *);
        uint32_t length = va_arg(args, uint32_t);
        /* A long burn's polls are told by their number: a bench of
           scanners keeps the report within what one read brings back. */
        if (length > 64) {
          uint32_t k = 0;
          char digits[12];
          uint32_t left = length;
          put_text(t, wire, 48);
          put_text(t, "...", 3);
          do digits[k++] = (char)('0' + left % 10);
          while ((left /= 10) != 0);
          while (k) put_text(t, &digits[--k], 1);
          put_text(t, "-letters", 8);
          break;
        }
        put_text(t, length ? wire : "nothing", length ? length : 7);
        break;
      }
      default: /* u: uint32_t, U: uint64_t, in decimal */
        n = *format == 'U' ? va_arg(args, uint64_t) : va_arg(args, uint32_t);
        do digits[k++] = (char)('0' + n % 10);
        while (n /= 10);
        while (k) put_text(t, &digits[--k], 1);
    }
  }
  va_end(args);
}

void scn_say_scanner(scn_text *t, const scn_scanner *s) {
  scn_say(t,
          "device %u opened=%u answers=%u wire=%w bulk=%u crc32=%u "
          "announced=%u\n",
          s->device->index, s->opened,
          s->answered[SCN_PHASE_READINESS] + s->answered[SCN_PHASE_DOWNLOAD] +
              s->answered[SCN_PHASE_BURN],
          s->wire, s->wire_length, s->bulk_length, s->bulk_crc, s->announced);
}

static int same_wire(const scn_scanner *s, const scn_record *rec) {
  uint32_t i;
  if (s->wire_length != rec->wire_length) return 0;
  for (i = 0; i < s->wire_length && i < SCN_MAX_WIRE; i++)
    if (s->wire[i] != rec->wire[i]) return 0;
  return 1;
}

/* A bulk write that fails, stalls, loses its device or is struck part way
 * may end early; any other must bring the whole image. */
static int bulk_may_be_partial(const scn_record *rec) {
  uint32_t i;
  for (i = 0; i < rec->fault_count; i++)
    if (rec->faults[i].phase == SCN_PHASE_BULK &&
        (rec->faults[i].kind == SCN_FAULT_FAIL ||
         rec->faults[i].kind == SCN_FAULT_STALL ||
         rec->faults[i].kind == SCN_FAULT_GONE ||
         rec->bulk_fault_offset != SCN_NO_OFFSET))
      return 1;
  return 0;
}

uint32_t scn_check(const scn_record *rec, const scn_scanner *scanners,
                   uint32_t count, uint32_t checks, scn_text *t) {
  uint32_t i, problems = 0;
  checks &= rec->checks;
  if (count != rec->device_count) {
    scn_say(t, "the harness attached %u devices, the scenario %u\n", count,
            rec->device_count);
    return 1;
  }
  for (i = 0; i < count; i++) {
    const scn_scanner *s = &scanners[i];
    const scn_device *d = &rec->devices[i];
    if (d->receives && (checks & SCN_CHECK_WIRE) && !same_wire(s, rec) &&
        ++problems)
      scn_say(t, "the scanner received %w, expected %w\n", s->wire,
              s->wire_length, rec->wire, rec->wire_length);
    if (!d->receives && s->wire_length && ++problems)
      scn_say(t, "device %u is not the one to update but received %w\n",
              d->index, s->wire, s->wire_length);
    if (s->exchanges[SCN_PHASE_BULK] && !bulk_may_be_partial(rec) &&
        (s->bulk_length != s->image_length || s->bulk_crc != s->image_crc) &&
        ++problems)
      scn_say(
          t, "the bulk write was %u bytes, CRC-32 %u, not the image's %u, %u\n",
          s->bulk_length, s->bulk_crc, s->image_length, s->image_crc);
    if ((checks & SCN_CHECK_OPENED) && s->opened != d->expect_opened &&
        ++problems)
      scn_say(t, "device %u was opened %u times, expected %u\n", d->index,
              s->opened, (uint32_t)d->expect_opened);
  }
  return problems;
}

const char *scn_state_name(uint32_t state) {
  static const char *const names[] = {
      "running",          "stopped",      "paused",        "absent",
      "denied",           "no-manager",   "start-pending", "stop-pending",
      "continue-pending", "pause-pending"};
  /* From SCN_SERVICE_RUNNING, 1; 0 wraps round and is "?" too. */
  return state - 1u < sizeof(names) / sizeof(names[0]) ? names[state - 1u]
                                                       : "?";
}

const char *scn_start_name(uint32_t start) {
  return start == SCN_START_AUTO       ? "auto"
         : start == SCN_START_DEMAND   ? "demand"
         : start == SCN_START_DISABLED ? "disabled"
                                       : "?";
}
