/* The simulated scanner shared by every harness (scanner_model.h). */
#include "tests/sim/scanner_model.h"

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
  if (fault == SCN_FAULT_FAIL) return 0;
  if (fault == SCN_FAULT_SHORT) return count ? count - 1 : 0;
  if (fault == SCN_FAULT_LONG) return count + 1;
  return count;
}

static void bulk_piece(scn_scanner *s, const uint8_t *data, uint32_t length,
                       scn_outcome *o) {
  const int first = s->bulk_armed != 0;
  int last;
  s->bulk_armed = 0;
  if (first) {
    s->exchanges[SCN_PHASE_BULK]++;
    s->in_bulk = 1;
    s->bulk_length = 0;
    s->bulk_crc = 0;
  }
  o->phase = SCN_PHASE_BULK;
  o->fault = fault_for(s, SCN_PHASE_BULK, SCN_STAGE_WRITE);
  last = s->bulk_length + length >= s->announced;
  if (!last && (o->fault == SCN_FAULT_SHORT || o->fault == SCN_FAULT_LONG))
    o->fault =
        SCN_FAULT_NONE; /* a count is off only on the piece that ends it */
  if (o->fault == SCN_FAULT_FAIL) {
    s->in_bulk = 0;
    o->count = 0;
    return;
  }
  if (first) {
    s->bulk_at = s->wire_length;
    put(s, 'B');
  }
  s->bulk_length += length;
  s->bulk_crc = scn_crc32(s->bulk_crc, data, length);
  if (last) s->in_bulk = 0;
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

void scn_read(scn_scanner *s, uint8_t *data, uint32_t length, scn_outcome *o) {
  const scn_record *rec = s->rec;
  const uint32_t phase = s->phase;
  uint32_t status = SCN_UNKNOWN_STATUS, filled, i, serial;
  s->phase = SCN_PHASE_OTHER;
  o->phase = phase;
  o->fault = fault_for(s, phase, SCN_STAGE_READ);
  o->count = 0;
  if (o->fault == SCN_FAULT_FAIL) return;
  if (phase == SCN_PHASE_READINESS)
    status = scripted(rec->readiness, rec->readiness_count, s->answered[phase]);
  else if (phase == SCN_PHASE_BURN)
    status = scripted(rec->burn, rec->burn_count, s->answered[phase]);
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

typedef struct {
  char *text;
  uint32_t size, used, problems;
} report;

static void say(report *r, const char *s) {
  while (*s) {
    if (r->used + 1 < r->size) r->text[r->used++] = *s;
    s++;
  }
  if (r->size) r->text[r->used < r->size ? r->used : r->size - 1] = 0;
}

static void say_number(report *r, uint32_t n) {
  char digits[12];
  int k = 0;
  do {
    digits[k++] = (char)('0' + n % 10);
    n /= 10;
  } while (n);
  while (k) {
    char one[2] = {digits[--k], 0};
    say(r, one);
  }
}

static void say_wire(report *r, const char *wire, uint32_t length) {
  uint32_t i;
  if (!length) say(r, "nothing");
  for (i = 0; i < length && i < SCN_MAX_WIRE; i++) {
    char one[2] = {wire[i], 0};
    say(r, one);
  }
}

static int same_wire(const scn_scanner *s, const scn_record *rec) {
  uint32_t i;
  if (s->wire_length != rec->wire_length) return 0;
  for (i = 0; i < s->wire_length && i < SCN_MAX_WIRE; i++)
    if (s->wire[i] != rec->wire[i]) return 0;
  return 1;
}

/* A failed or stalled bulk write may end early; any other must bring the
 * whole image. */
static int bulk_may_be_partial(const scn_record *rec) {
  uint32_t i;
  for (i = 0; i < rec->fault_count; i++)
    if (rec->faults[i].phase == SCN_PHASE_BULK &&
        (rec->faults[i].kind == SCN_FAULT_FAIL ||
         rec->faults[i].kind == SCN_FAULT_STALL))
      return 1;
  return 0;
}

uint32_t scn_check(const scn_record *rec, const scn_scanner *scanners,
                   uint32_t count, uint32_t checks, char *text, uint32_t size) {
  report r = {text, size, 0, 0};
  uint32_t i;
  if (size) text[0] = 0;
  checks &= rec->checks;
  if (count != rec->device_count) {
    say(&r, "the harness attached ");
    say_number(&r, count);
    say(&r, " devices, the scenario ");
    say_number(&r, rec->device_count);
    say(&r, "\n");
    return 1;
  }
  for (i = 0; i < count; i++) {
    const scn_scanner *s = &scanners[i];
    const scn_device *d = &rec->devices[i];
    const int target = (int32_t)i == rec->target;
    if (target && (checks & SCN_CHECK_WIRE) && !same_wire(s, rec)) {
      say(&r, "the scanner received ");
      say_wire(&r, s->wire, s->wire_length);
      say(&r, ", expected ");
      say_wire(&r, rec->wire, rec->wire_length);
      say(&r, "\n");
      r.problems++;
    }
    if (!target && s->wire_length) {
      say(&r, "device ");
      say_number(&r, d->index);
      say(&r, " is not the one to update but received ");
      say_wire(&r, s->wire, s->wire_length);
      say(&r, "\n");
      r.problems++;
    }
    if (s->exchanges[SCN_PHASE_BULK] && !bulk_may_be_partial(rec) &&
        (s->bulk_length != s->image_length || s->bulk_crc != s->image_crc)) {
      say(&r, "the bulk write was ");
      say_number(&r, s->bulk_length);
      say(&r, " bytes, not the whole image of ");
      say_number(&r, s->image_length);
      say(&r, s->bulk_length == s->image_length ? " (other bytes)\n" : "\n");
      r.problems++;
    }
    if ((checks & SCN_CHECK_OPENED) && s->opened != d->expect_opened) {
      say(&r, "device ");
      say_number(&r, d->index);
      say(&r, " was opened ");
      say_number(&r, s->opened);
      say(&r, " times, expected ");
      say_number(&r, d->expect_opened);
      say(&r, "\n");
      r.problems++;
    }
  }
  return r.problems;
}

const char *scn_state_name(uint32_t state) {
  static const char *const names[] = {
      "?", "running", "stopped", "paused", "absent", "denied", "no-manager"};
  return state < sizeof(names) / sizeof(names[0]) ? names[state] : "?";
}

const char *scn_start_name(uint32_t start) {
  return start == SCN_START_AUTO       ? "auto"
         : start == SCN_START_DEMAND   ? "demand"
         : start == SCN_START_DISABLED ? "disabled"
                                       : "?";
}
