/* The simulated scanner, once for every harness: which command a request
 * carries, what the scanner answers, which request fails how, what it
 * received. C99 without the C library and without allocation, so that the
 * simulated driver links it too. Each harness maps its own world (fake
 * Win32 calls, IRPs, URBs) onto these calls. */
#ifndef SCANFW_SCANNER_MODEL_H
#define SCANFW_SCANNER_MODEL_H

#include "tests/sim/scenario_record.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The status answered to a command the scanner does not know. */
#define SCN_UNKNOWN_STATUS 0xFFFFu

/* What became of one request. */
typedef struct scn_outcome {
  uint32_t phase;     /* SCN_PHASE_* */
  uint32_t fault;     /* SCN_FAULT_*, the kind this request suffers */
  uint32_t count;     /* bytes to report as moved */
  uint32_t interrupt; /* the scenario's signal, due as this request arrives */
} scn_outcome;

/* One attached device and everything that has happened to it. */
typedef struct scn_scanner {
  const scn_record *rec;
  const scn_device *device;
  uint32_t image_length, image_crc; /* what a whole bulk write must be */
  uint32_t exchanges[SCN_PHASES];   /* requests begun, by phase */
  uint32_t answered[SCN_PHASES];    /* answers given: the next in the script */
  uint32_t phase;                   /* of the command that awaits its read */
  uint32_t bulk_armed, in_bulk;
  uint32_t announced; /* length the last download command gave */
  uint32_t bulk_length, bulk_crc;
  uint32_t opened;
  uint32_t responses;
  uint32_t burn_started, burn_start_ms; /* the first burn-status answer */
  uint32_t wire_length;
  char wire[SCN_MAX_WIRE]; /* R D B S, '?' for anything else */
} scn_scanner;

/* 1 when the bytes are a record of this layout and version. */
int scn_record_valid(const void *bytes, uint32_t size);
/* The slot of the device attached at index, or -1. */
int scn_find_device(const scn_record *rec, uint32_t index);
void scn_scanner_init(scn_scanner *s, const scn_record *rec, uint32_t slot,
                      uint32_t image_length, uint32_t image_crc);
/* The descriptor as the driver fills it, at most size bytes; the count
 * filled, or -1 when the query fails. */
int scn_descriptor(const scn_scanner *s, uint8_t *out, uint32_t size);
/* A write of length bytes; continues: it carries on a bulk write split into
 * pieces. */
void scn_write(scn_scanner *s, const uint8_t *data, uint32_t length,
               int continues, scn_outcome *o);
/* A read into data (length bytes): the response block. now_ms is the
 * harness's clock in milliseconds (any origin; it may wrap), which times a
 * burn that takes a given time. */
void scn_read(scn_scanner *s, uint8_t *data, uint32_t length, uint32_t now_ms,
              scn_outcome *o);
uint32_t scn_crc32(uint32_t crc, const uint8_t *data, uint32_t length);

/* Text written without the C library, cut to size. */
typedef struct scn_text {
  char *text;
  uint32_t size, used;
} scn_text;
/* Appends to t as printf would, for %s (text), %u (uint32_t), %U
 * (uint64_t) and %w (wire letters: the pointer, then a uint32_t count). */
void scn_say(scn_text *t, const char *format, ...);
/* "device INDEX opened=N answers=N wire=LETTERS bulk=LENGTH crc32=CRC
 * announced=LENGTH", the last the length of the last download command */
void scn_say_scanner(scn_text *t, const scn_scanner *s);

/* What the devices received against what the scenario rec expects:
 * scanners[i] is rec's device i. The checks of `checks` that rec asks for,
 * and always: nothing reached a device that does not receive (the target,
 * or with --all every scanner), and a bulk
 * write not cut short by a fault was the whole image. One line per problem
 * into t; returns the number of problems. */
uint32_t scn_check(const scn_record *rec, const scn_scanner *scanners,
                   uint32_t count, uint32_t checks, scn_text *t);
/* "running", "auto", ... as the scenario files name them; "?" otherwise. */
const char *scn_state_name(uint32_t state);
const char *scn_start_name(uint32_t start);

#ifdef __cplusplus
}
#endif

#endif
