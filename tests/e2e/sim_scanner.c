/* A simulated still-image USB scanner, as a kernel driver for Wine's
 * winedevice: \\.\usbscanN devices in place of the usbscan class driver's,
 * whose IRPs it maps onto the scanner model (tests/sim/scanner_model.c). The
 * control device \\.\scanfwsimctl takes the scenario (IOCTL_SIM_APPLY) and
 * hands back the text report of the run (IOCTL_SIM_RECORD). */
#include <ntddk.h>

#include "tests/sim/scanner_model.h"

#define SIM_MAX_INDEX 256
#define SIM_CONTROL SIM_MAX_INDEX /* the index of the control device */
/* Room for every scanner of a bench: each line carries up to SCN_MAX_WIRE
   letters of what it received. */
#define SIM_REPORT_SIZE (16 * (SCN_MAX_WIRE + 256))

/* The still-image driver's descriptor query (usbscan.h). */
#define IOCTL_GET_DEVICE_DESCRIPTOR 0x80002018
#define IOCTL_SIM_APPLY 0x80012400u
#define IOCTL_SIM_RECORD 0x80012404u

/* By index, the control device last; each one's extension holds its index. */
static PDEVICE_OBJECT sim_devices[SIM_MAX_INDEX + 1];
static int sim_linked[SIM_MAX_INDEX + 1];

static scn_record sim_scenario;
static scn_scanner sim_scanners[SCN_MAX_DEVICES];
static ULONGLONG sim_bulk_time;
static ULONG sim_bulk_start;

typedef VOID(NTAPI *sim_clock_routine)(PLARGE_INTEGER);
static sim_clock_routine sim_clock;

static char sim_report[SIM_REPORT_SIZE];

/* ---- small helpers: no C library here ---- */

/* "\Device\ScanfwSim" or "\??\usbscan" followed by the decimal index. */
static void sim_name(WCHAR *buffer, const WCHAR *stem, int index,
                     UNICODE_STRING *name) {
  WCHAR digits[8];
  UNICODE_STRING number = {0, sizeof(digits), digits};
  name->Buffer = buffer;
  name->Length = 0;
  name->MaximumLength = 64 * sizeof(WCHAR);
  RtlAppendUnicodeToString(name, stem);
  RtlIntegerToUnicodeString((ULONG)index, 10, &number);
  RtlAppendUnicodeStringToString(name, &number);
}

static NTSTATUS sim_create_device(PDRIVER_OBJECT driver, int index) {
  WCHAR buffer[64];
  UNICODE_STRING name;
  PDEVICE_OBJECT device;
  NTSTATUS status;

  sim_name(buffer, L"\\Device\\ScanfwSim", index, &name);
  status = IoCreateDevice(driver, sizeof(int), &name, FILE_DEVICE_UNKNOWN, 0,
                          FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  *(int *)device->DeviceExtension = index;
  device->Flags |= DO_BUFFERED_IO;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  sim_devices[index] = device;
  return STATUS_SUCCESS;
}

static void sim_set_link(int index, int wanted) {
  WCHAR link_buffer[64], target_buffer[64];
  UNICODE_STRING link, target;

  if (sim_linked[index] == wanted) return;
  sim_name(link_buffer, L"\\??\\usbscan", index, &link);
  if (wanted) {
    sim_name(target_buffer, L"\\Device\\ScanfwSim", index, &target);
    if (NT_SUCCESS(IoCreateSymbolicLink(&link, &target))) sim_linked[index] = 1;
  } else {
    IoDeleteSymbolicLink(&link);
    sim_linked[index] = 0;
  }
}

/* Takes the scenario (the record, then the image's length and CRC-32),
 * attaches exactly its devices, starts a new record. */
static NTSTATUS sim_apply(PDRIVER_OBJECT driver, const UCHAR *input,
                          ULONG length) {
  const ULONG *image = (const ULONG *)(input + sizeof(scn_record));
  const int valid = length == sizeof(scn_record) + 2 * sizeof(ULONG) &&
                    scn_record_valid(input, sizeof(scn_record));
  ULONG i;

  RtlZeroMemory(&sim_scenario, sizeof(sim_scenario));
  if (valid) RtlCopyMemory(&sim_scenario, input, sizeof(sim_scenario));
  for (i = 0; i < sim_scenario.device_count; i++) {
    int index = sim_scenario.devices[i].index;
    if (!sim_devices[index] && !NT_SUCCESS(sim_create_device(driver, index)))
      return STATUS_INSUFFICIENT_RESOURCES;
    scn_scanner_init(&sim_scanners[i], &sim_scenario, i, image[0], image[1]);
  }
  for (i = 0; i < SIM_MAX_INDEX; i++)
    sim_set_link(i, scn_find_device(&sim_scenario, i) >= 0);
  sim_bulk_time = 0;
  sim_bulk_start = 0xFFFFFFFFu;
  return valid ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

/* ---- the devices ---- */

static NTSTATUS sim_complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

/* A transfer as the model decided it: failed, or the count it reports. */
static NTSTATUS sim_finish(PIRP irp, const scn_outcome *o, ULONG limit) {
  if (o->fault == SCN_FAULT_FAIL)
    return sim_complete(irp, STATUS_UNSUCCESSFUL, 0);
  /* A count beyond the buffer would make the system copy past it. */
  return sim_complete(irp, STATUS_SUCCESS, o->count < limit ? o->count : limit);
}

/* On x86-64 the DDK header makes KeQuerySystemTime a read of the shared user
   page, which Wine refreshes only when its server wakes: the exported
   function is the live clock. */
static ULONGLONG sim_now(void) {
  LARGE_INTEGER now;
  if (sim_clock)
    sim_clock(&now);
  else
    KeQuerySystemTime(&now);
  return (ULONGLONG)now.QuadPart;
}

/* The time of the bulk write, and the still-image service's start type as
 * the service manager stored it at that moment (-1: not installed). */
static void sim_note_bulk(void) {
  static const WCHAR path[] =
      L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\STISVC";
  union {
    KEY_VALUE_PARTIAL_INFORMATION info;
    UCHAR bytes[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
  } value;
  UNICODE_STRING key_path, name;
  OBJECT_ATTRIBUTES attributes;
  HANDLE key;
  ULONG needed;

  sim_bulk_time = sim_now();
  RtlInitUnicodeString(&key_path, path);
  RtlInitUnicodeString(&name, L"Start");
  InitializeObjectAttributes(&attributes, &key_path,
                             OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                             NULL);
  if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) return;
  if (NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, &value,
                                 sizeof(value), &needed)) &&
      value.info.DataLength == sizeof(ULONG))
    RtlCopyMemory(&sim_bulk_start, value.info.Data, sizeof(ULONG));
  ZwClose(key);
}

static NTSTATUS sim_transfer(scn_scanner *scanner, PIRP irp,
                             PIO_STACK_LOCATION stack) {
  UCHAR *data = irp->AssociatedIrp.SystemBuffer;
  scn_outcome o;

  if (stack->MajorFunction == IRP_MJ_WRITE) {
    ULONG length = stack->Parameters.Write.Length;
    int first_bulk = scanner->bulk_armed;
    scn_write(scanner, data, length, 0, &o);
    /* The first image any scanner receives: with --all the first scanner
       found may be one its release leaves alone. */
    if (first_bulk && !sim_bulk_time) sim_note_bulk();
    return sim_finish(irp, &o, o.count);
  }
  RtlZeroMemory(data, stack->Parameters.Read.Length);
  /* The system time, in 100-ns units, as milliseconds. */
  scn_read(scanner, data, stack->Parameters.Read.Length,
           (uint32_t)(sim_now() / 10000), &o);
  return sim_finish(irp, &o, stack->Parameters.Read.Length);
}

static ULONG sim_make_report(void) {
  scn_text t = {sim_report, sizeof(sim_report), 0};
  ULONG i;
  sim_report[0] = 0;
  for (i = 0; i < sim_scenario.device_count; i++)
    scn_say_scanner(&t, &sim_scanners[i]);
  if (sim_bulk_time)
    scn_say(&t,
            sim_bulk_start == 0xFFFFFFFFu ? "bulk time=%U stisvc-start=none\n"
                                          : "bulk time=%U stisvc-start=%u\n",
            (uint64_t)sim_bulk_time, sim_bulk_start);
  scn_say(&t, "checks\n");
  scn_check(&sim_scenario, sim_scanners, sim_scenario.device_count,
            SCN_CHECK_WIRE | SCN_CHECK_OPENED, &t);
  return t.used + 1;
}

static NTSTATUS sim_control_ioctl(PDEVICE_OBJECT device, PIRP irp,
                                  PIO_STACK_LOCATION stack) {
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  ULONG out_length = stack->Parameters.DeviceIoControl.OutputBufferLength;

  if (code == IOCTL_SIM_APPLY)
    return sim_complete(
        irp,
        sim_apply(device->DriverObject, irp->AssociatedIrp.SystemBuffer,
                  stack->Parameters.DeviceIoControl.InputBufferLength),
        0);
  if (code == IOCTL_SIM_RECORD) {
    ULONG n = sim_make_report();
    if (n > out_length) n = out_length;
    RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, sim_report, n);
    return sim_complete(irp, STATUS_SUCCESS, n);
  }
  return sim_complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static NTSTATUS WINAPI sim_dispatch(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  int index = *(int *)device->DeviceExtension, filled;
  int slot = scn_find_device(&sim_scenario, index); /* -1 for the control */
  scn_scanner *scanner = slot < 0 ? NULL : &sim_scanners[slot];

  if (index == SIM_CONTROL) {
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL)
      return sim_control_ioctl(device, irp, stack);
    return sim_complete(irp, STATUS_SUCCESS, 0);
  }
  if (!scanner) return sim_complete(irp, STATUS_NO_SUCH_DEVICE, 0);
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
      scanner->opened++;
      return sim_complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_DEVICE_CONTROL:
      if (stack->Parameters.DeviceIoControl.IoControlCode !=
          IOCTL_GET_DEVICE_DESCRIPTOR)
        return sim_complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
      filled =
          scn_descriptor(scanner, irp->AssociatedIrp.SystemBuffer,
                         stack->Parameters.DeviceIoControl.OutputBufferLength);
      if (filled < 0) return sim_complete(irp, STATUS_UNSUCCESSFUL, 0);
      return sim_complete(irp, STATUS_SUCCESS, (ULONG)filled);
    case IRP_MJ_WRITE:
    case IRP_MJ_READ:
      return sim_transfer(scanner, irp, stack);
    default: /* close, cleanup */
      return sim_complete(irp, STATUS_SUCCESS, 0);
  }
}

static void WINAPI sim_unload(PDRIVER_OBJECT driver) {
  UNICODE_STRING link;
  int i;
  (void)driver;
  RtlInitUnicodeString(&link, L"\\??\\scanfwsimctl");
  IoDeleteSymbolicLink(&link);
  for (i = 0; i <= SIM_MAX_INDEX; i++) {
    sim_set_link(i, 0);
    if (sim_devices[i]) IoDeleteDevice(sim_devices[i]);
  }
}

NTSTATUS WINAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry) {
  static const UCHAR majors[] = {IRP_MJ_CREATE,  IRP_MJ_CLOSE,
                                 IRP_MJ_CLEANUP, IRP_MJ_READ,
                                 IRP_MJ_WRITE,   IRP_MJ_DEVICE_CONTROL};
  WCHAR buffer[64];
  UNICODE_STRING name, link;
  NTSTATUS status;
  ULONG i;

  (void)registry;
  RtlInitUnicodeString(&name, L"KeQuerySystemTime");
  sim_clock = (sim_clock_routine)MmGetSystemRoutineAddress(&name);
  for (i = 0; i < sizeof(majors); i++)
    driver->MajorFunction[majors[i]] = sim_dispatch;
  driver->DriverUnload = sim_unload;

  status = sim_create_device(driver, SIM_CONTROL);
  if (!NT_SUCCESS(status)) return status;
  sim_name(buffer, L"\\Device\\ScanfwSim", SIM_CONTROL, &name);
  RtlInitUnicodeString(&link, L"\\??\\scanfwsimctl");
  return IoCreateSymbolicLink(&link, &name);
}
