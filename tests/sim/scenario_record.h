/* A compiled scenario: one run of scanfw as tests/sim/scncc.py resolves it
 * from a .scn file. Fixed layout, little-endian, no pointers and no
 * padding, so that the same bytes serve the fake platform (C++), the
 * umockdev testbed (C) and the simulated scanner driver (freestanding C).
 *
 * The compiler reads this header to learn the layout: keep one field a
 * line, types from <stdint.h>, arrays sized by the SCN_ constants below. */
#ifndef SCANFW_SCENARIO_RECORD_H
#define SCANFW_SCENARIO_RECORD_H

#include <stdint.h>

#define SCN_MAGIC 0x52434E53u /* "SNCR" */
#define SCN_VERSION 4u
#define SCN_MAX_DEVICES 16
#define SCN_MAX_ANSWERS 64
#define SCN_MAX_FAULTS 8
#define SCN_MAX_WIRE 2048
#define SCN_ARGS_BYTES 256
#define SCN_TEXT_BYTES 128

/* Which exchange of the update a request belongs to. */
#define SCN_PHASE_OTHER 0u
#define SCN_PHASE_READINESS 1u
#define SCN_PHASE_DOWNLOAD 2u
#define SCN_PHASE_BULK 3u
#define SCN_PHASE_BURN 4u
#define SCN_PHASES 5u

#define SCN_STAGE_WRITE 0u
#define SCN_STAGE_READ 1u

/* How a request fails; each harness makes the kinds it can. */
#define SCN_FAULT_NONE 0u
#define SCN_FAULT_FAIL 1u       /* the request fails */
#define SCN_FAULT_SHORT 2u      /* one byte fewer reported */
#define SCN_FAULT_LONG 3u       /* one byte more reported */
#define SCN_FAULT_TIMEOUT 4u    /* the completion is never signalled */
#define SCN_FAULT_WAITFAIL 5u   /* the wait for it fails */
#define SCN_FAULT_OVERLAPPED 6u /* the completion query fails */
#define SCN_FAULT_STALL 7u      /* the device never completes it */
#define SCN_FAULT_GONE 8u       /* the device is unplugged */

#define SCN_SERVICE_RUNNING 1u
#define SCN_SERVICE_STOPPED 2u
#define SCN_SERVICE_PAUSED 3u
#define SCN_SERVICE_ABSENT 4u
#define SCN_SERVICE_DENIED 5u
#define SCN_SERVICE_NO_MANAGER 6u
/* States a run may leave the service in, besides the ones above. */
#define SCN_SERVICE_START_PENDING 7u
#define SCN_SERVICE_STOP_PENDING 8u
#define SCN_SERVICE_CONTINUE_PENDING 9u
#define SCN_SERVICE_PAUSE_PENDING 10u

/* Start types as the service manager numbers them. */
#define SCN_START_AUTO 2u
#define SCN_START_DEMAND 3u
#define SCN_START_DISABLED 4u

#define SCN_SERVICE_STOP_REFUSED 1u
#define SCN_SERVICE_START_REFUSED 2u

#define SCN_IMAGE_OK 0u
#define SCN_IMAGE_FIND 1u
#define SCN_IMAGE_LOAD 2u
#define SCN_IMAGE_LOCK 3u
#define SCN_IMAGE_EMPTY 4u

/* The signals an interrupt: directive sends, as Linux numbers them. */
#define SCN_SIGNAL_SIGHUP 1u
#define SCN_SIGNAL_SIGINT 2u
#define SCN_SIGNAL_SIGTERM 15u

/* What the scenario expects besides the output. */
#define SCN_CHECK_WIRE 1u
#define SCN_CHECK_OPENED 2u
#define SCN_CHECK_SERVICE 4u
#define SCN_CHECK_SERVICE_DURING 8u
#define SCN_CHECK_STDERR 16u
#define SCN_CHECK_ELAPSED 32u
#define SCN_CHECK_NO_SERVICE_CALLS 64u
#define SCN_CHECK_LOG 128u

/* scn_record.bulk_fault_offset when a bulk fault strikes from the start. */
#define SCN_NO_OFFSET 0xFFFFFFFFu
/* scn_record.usbfs_refusals: what the kernel's refusals must have been. */
#define SCN_USBFS_REFUSALS_UNCHECKED 0u
#define SCN_USBFS_REFUSED 1u
#define SCN_USBFS_NEVER_REFUSED 2u

/* The harnesses, as bits of scn_record.harnesses. */
#define SCN_HARNESS_FAKE 1u
#define SCN_HARNESS_WINE 2u
#define SCN_HARNESS_UMOCKDEV 4u

typedef struct scn_device {
  uint16_t index;
  uint16_t vendor;
  uint16_t product;
  uint16_t release;
  uint16_t language;
  uint8_t descriptor_fails;
  uint8_t descriptor_bytes;
  uint8_t expect_opened;
  uint8_t receives; /* commands reach it: the scanner updated (each, --all) */
  uint8_t own_burn; /* 1: it answers burn below to every burn-status query */
  uint8_t reenumerate; /* 1: once its burn answers done, it leaves the bus
                         and comes back at a higher address (umockdev) */
  uint16_t burn;
} scn_device;

typedef struct scn_fault {
  uint8_t phase;
  uint8_t stage;
  uint8_t kind;
  uint8_t reserved;
  uint32_t occurrence; /* 1 = the first exchange of the phase; 0 = every one */
} scn_fault;

typedef struct scn_service {
  uint32_t state;
  uint32_t start;
  uint32_t wait_hint;
  uint32_t flags;
  uint32_t config_error; /* 0: the configuration query answers */
  uint32_t status_fails; /* the Nth status query of the run fails; 0: none */
} scn_service;

typedef struct scn_record {
  uint32_t magic;
  uint32_t version;
  uint32_t size;
  uint32_t harnesses;
  uint32_t checks;
  uint32_t lang;
  uint32_t clock;
  uint32_t request_ms;
  uint32_t burn_time_ms; /* burn-status answers 7 until this long after the
                           first; 0: burn: alone decides */
  uint32_t image;
  uint32_t download;
  uint32_t readiness_count;
  uint32_t burn_count;
  uint32_t device_count;
  uint32_t fault_count;
  int32_t target; /* slot of the device discovery settles on; -1: none */
  uint32_t wire_length;
  uint32_t elapsed_min_ms;
  uint32_t elapsed_max_ms;
  uint32_t elapsed_from_fault; /* 1: timed from the first URB a fault strikes */
  uint32_t run_as_nobody;
  uint32_t bulk_fault_offset; /* the image byte a bulk fault strikes from */
  uint32_t usbfs_limit;       /* bytes usbfs may hold in URBs; 0: no limit */
  uint32_t usbfs_refusals;
  uint32_t expect_exit;      /* the process exit status */
  uint32_t interrupt_signal; /* 0: none; else sent at the request below */
  uint32_t interrupt_phase;
  uint32_t interrupt_occurrence;
  uint32_t argc;
  int32_t firmware_release; /* what the executable knows; -1: unknown */
  scn_service service;
  scn_service expect_service;
  scn_service expect_service_during;
  uint16_t readiness[SCN_MAX_ANSWERS];
  uint16_t burn[SCN_MAX_ANSWERS];
  scn_device devices[SCN_MAX_DEVICES];
  scn_fault faults[SCN_MAX_FAULTS];
  char args[SCN_ARGS_BYTES];
  char expect_stderr[SCN_TEXT_BYTES];
  char wire[SCN_MAX_WIRE];
} scn_record;

#ifdef __cplusplus
#define SCN_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#define SCN_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif
SCN_STATIC_ASSERT(sizeof(scn_device) == 18, "scn_device has no padding");
SCN_STATIC_ASSERT(sizeof(scn_fault) == 8, "scn_fault has no padding");
SCN_STATIC_ASSERT(sizeof(scn_record) % 4 == 0,
                  "scn_record keeps 32-bit alignment");

#endif
