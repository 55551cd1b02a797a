/* A simulated still-image USB scanner, as a kernel driver for Wine's
 * winedevice. It stands where the usbscan class driver stands on Windows:
 * \\.\usbscanN devices that answer the descriptor query, take 16-byte
 * command writes and bulk writes, and answer 32-byte reads. What each
 * request means and what the scanner answers is the scanner model's
 * (tests/sim/scanner_model.c); this driver maps IRPs onto it.
 *
 * The harness writes the compiled scenario and the image's length and
 * CRC-32 under this driver's service key and sends IOCTL_SIM_APPLY on the
 * control device \\.\scanfwsimctl; IOCTL_SIM_RECORD hands back a text
 * report: per device whether it was opened and what it received, the time
 * of the bulk write and the still-image service's stored start type at
 * that moment, and the model's checks of the run. */
#include <ntddk.h>

#include "tests/sim/scanner_model.h"

#define SIM_MAX_INDEX 256
#define SIM_REPORT_SIZE 16384
#define SIM_POOL_TAG 0x6d536653u /* "SfSm" */

/* The still-image driver's descriptor query (usbscan.h), as the wire knows it. */
#define IOCTL_GET_DEVICE_DESCRIPTOR 0x80002018
#define IOCTL_SIM_APPLY 0x80012400u
#define IOCTL_SIM_RECORD 0x80012404u

typedef struct {
    int index; /* -1: the control device */
} SIM_EXTENSION;

static PDEVICE_OBJECT sim_devices[SIM_MAX_INDEX];
static int sim_linked[SIM_MAX_INDEX];
static PDEVICE_OBJECT sim_control;
static UNICODE_STRING sim_registry_path;
static WCHAR sim_registry_buffer[512];

static scn_record sim_scenario;
static scn_scanner sim_scanners[SCN_MAX_DEVICES];
static ULONGLONG sim_bulk_time;
static ULONG sim_bulk_start;

static char sim_report[SIM_REPORT_SIZE];

/* ---- small helpers: no C library here ---- */

/* "\Device\ScanfwSim" or "\??\usbscan" followed by the decimal index. */
static void sim_name(WCHAR *buffer, const WCHAR *stem, int index, UNICODE_STRING *name)
{
    WCHAR digits[4];
    int n = 0, i = 0;
    while (stem[i]) {
        buffer[i] = stem[i];
        i++;
    }
    do {
        digits[n++] = (WCHAR)(L'0' + index % 10);
        index /= 10;
    } while (index);
    while (n)
        buffer[i++] = digits[--n];
    buffer[i] = 0;
    RtlInitUnicodeString(name, buffer);
}

static ULONG sim_query_value(HANDLE key, const WCHAR *name, void *out, ULONG size)
{
    UNICODE_STRING value_name;
    ULONG needed = 0, copied = 0;
    ULONG buffer_size = sizeof(KEY_VALUE_PARTIAL_INFORMATION) + size;
    KEY_VALUE_PARTIAL_INFORMATION *info;

    RtlInitUnicodeString(&value_name, name);
    info = ExAllocatePoolWithTag(PagedPool, buffer_size, SIM_POOL_TAG);
    if (!info)
        return 0;
    if (NT_SUCCESS(ZwQueryValueKey(key, &value_name, KeyValuePartialInformation, info, buffer_size,
                                   &needed))) {
        copied = info->DataLength < size ? info->DataLength : size;
        RtlCopyMemory(out, info->Data, copied);
    }
    ExFreePoolWithTag(info, SIM_POOL_TAG);
    return copied;
}

static HANDLE sim_open_key(UNICODE_STRING *path)
{
    OBJECT_ATTRIBUTES attributes;
    HANDLE key = NULL;
    InitializeObjectAttributes(&attributes, path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                               NULL);
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes)))
        return NULL;
    return key;
}

static NTSTATUS sim_create_device(PDRIVER_OBJECT driver, int index)
{
    WCHAR buffer[64];
    UNICODE_STRING name;
    PDEVICE_OBJECT device;
    NTSTATUS status;

    sim_name(buffer, L"\\Device\\ScanfwSim", index, &name);
    status = IoCreateDevice(driver, sizeof(SIM_EXTENSION), &name, FILE_DEVICE_UNKNOWN, 0, FALSE,
                            &device);
    if (!NT_SUCCESS(status))
        return status;
    ((SIM_EXTENSION *)device->DeviceExtension)->index = index;
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    sim_devices[index] = device;
    return STATUS_SUCCESS;
}

static void sim_set_link(int index, int wanted)
{
    WCHAR link_buffer[64], target_buffer[64];
    UNICODE_STRING link, target;

    if (sim_linked[index] == wanted)
        return;
    sim_name(link_buffer, L"\\??\\usbscan", index, &link);
    if (wanted) {
        sim_name(target_buffer, L"\\Device\\ScanfwSim", index, &target);
        if (NT_SUCCESS(IoCreateSymbolicLink(&link, &target)))
            sim_linked[index] = 1;
    } else {
        IoDeleteSymbolicLink(&link);
        sim_linked[index] = 0;
    }
}

/* Reads the scenario, attaches exactly its devices, starts a new record. */
static NTSTATUS sim_apply(PDRIVER_OBJECT driver)
{
    ULONG image[2] = {0, 0}, got, i;
    HANDLE key = sim_open_key(&sim_registry_path);

    if (!key)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    RtlZeroMemory(&sim_scenario, sizeof(sim_scenario));
    got = sim_query_value(key, L"SimRecord", &sim_scenario, sizeof(sim_scenario));
    sim_query_value(key, L"SimImage", image, sizeof(image));
    ZwClose(key);
    if (!scn_record_valid(&sim_scenario, got))
        sim_scenario.device_count = 0;

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
    return scn_record_valid(&sim_scenario, got) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

/* ---- the devices ---- */

static NTSTATUS sim_complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* A transfer as the model decided it: failed, or the count it reports. */
static NTSTATUS sim_finish(PIRP irp, const scn_outcome *o, ULONG limit)
{
    if (o->fault == SCN_FAULT_FAIL)
        return sim_complete(irp, STATUS_UNSUCCESSFUL, 0);
    /* A count beyond the buffer would make the system copy past it. */
    return sim_complete(irp, STATUS_SUCCESS, o->count < limit ? o->count : limit);
}

/* The time of the bulk write, and the still-image service's start type as
 * the service manager stored it at that moment (-1: not installed). */
static void sim_note_bulk(void)
{
    static const WCHAR path[] =
        L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\STISVC";
    UNICODE_STRING key_path;
    LARGE_INTEGER now;
    HANDLE key;

    KeQuerySystemTime(&now);
    sim_bulk_time = (ULONGLONG)now.QuadPart;
    RtlInitUnicodeString(&key_path, path);
    key = sim_open_key(&key_path);
    if (key) {
        sim_query_value(key, L"Start", &sim_bulk_start, sizeof(sim_bulk_start));
        ZwClose(key);
    }
}

static NTSTATUS sim_transfer(scn_scanner *scanner, PIRP irp, PIO_STACK_LOCATION stack)
{
    UCHAR *data = irp->AssociatedIrp.SystemBuffer;
    scn_outcome o;

    if (stack->MajorFunction == IRP_MJ_WRITE) {
        ULONG length = stack->Parameters.Write.Length;
        int first_bulk = scanner->bulk_armed;
        scn_write(scanner, data, length, 0, &o);
        if (first_bulk && scanner - sim_scanners == sim_scenario.target && !sim_bulk_time)
            sim_note_bulk();
        return sim_finish(irp, &o, o.count);
    }
    RtlZeroMemory(data, stack->Parameters.Read.Length);
    scn_read(scanner, data, stack->Parameters.Read.Length, &o);
    return sim_finish(irp, &o, stack->Parameters.Read.Length);
}

static NTSTATUS sim_descriptor(scn_scanner *scanner, PIRP irp, PIO_STACK_LOCATION stack)
{
    int filled = scn_descriptor(scanner, irp->AssociatedIrp.SystemBuffer,
                                stack->Parameters.DeviceIoControl.OutputBufferLength);
    if (filled < 0)
        return sim_complete(irp, STATUS_UNSUCCESSFUL, 0);
    return sim_complete(irp, STATUS_SUCCESS, (ULONG)filled);
}

static ULONG sim_make_report(void)
{
    scn_text t = {sim_report, sizeof(sim_report), 0};
    ULONG i;
    sim_report[0] = 0;
    for (i = 0; i < sim_scenario.device_count; i++)
        scn_say_scanner(&t, &sim_scanners[i]);
    if (sim_bulk_time && sim_bulk_start == 0xFFFFFFFFu)
        scn_say(&t, "bulk time=%U stisvc-start=none\n", (uint64_t)sim_bulk_time);
    else if (sim_bulk_time)
        scn_say(&t, "bulk time=%U stisvc-start=%u\n", (uint64_t)sim_bulk_time, sim_bulk_start);
    scn_say(&t, "checks\n");
    scn_check(&sim_scenario, sim_scanners, sim_scenario.device_count,
              SCN_CHECK_WIRE | SCN_CHECK_OPENED, &t);
    return t.used + 1;
}

static NTSTATUS sim_control_ioctl(PDEVICE_OBJECT device, PIRP irp, PIO_STACK_LOCATION stack)
{
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG out_length = stack->Parameters.DeviceIoControl.OutputBufferLength;

    if (code == IOCTL_SIM_APPLY)
        return sim_complete(irp, sim_apply(device->DriverObject), 0);
    if (code == IOCTL_SIM_RECORD) {
        ULONG n = sim_make_report();
        if (n > out_length)
            n = out_length;
        RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, sim_report, n);
        return sim_complete(irp, STATUS_SUCCESS, n);
    }
    return sim_complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static NTSTATUS WINAPI sim_dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    int index = ((SIM_EXTENSION *)device->DeviceExtension)->index;
    int slot = index < 0 ? -1 : scn_find_device(&sim_scenario, index);
    scn_scanner *scanner = slot < 0 ? NULL : &sim_scanners[slot];

    if (index < 0) {
        if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL)
            return sim_control_ioctl(device, irp, stack);
        return sim_complete(irp, STATUS_SUCCESS, 0);
    }
    if (!scanner)
        return sim_complete(irp, STATUS_NO_SUCH_DEVICE, 0);
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
        scanner->opened++;
        return sim_complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_DEVICE_CONTROL:
        if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_GET_DEVICE_DESCRIPTOR)
            return sim_descriptor(scanner, irp, stack);
        return sim_complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    case IRP_MJ_WRITE:
    case IRP_MJ_READ:
        return sim_transfer(scanner, irp, stack);
    default: /* close, cleanup */
        return sim_complete(irp, STATUS_SUCCESS, 0);
    }
}

static void WINAPI sim_unload(PDRIVER_OBJECT driver)
{
    UNICODE_STRING link;
    int i;
    (void)driver;
    for (i = 0; i < SIM_MAX_INDEX; i++) {
        sim_set_link(i, 0);
        if (sim_devices[i])
            IoDeleteDevice(sim_devices[i]);
    }
    RtlInitUnicodeString(&link, L"\\??\\scanfwsimctl");
    IoDeleteSymbolicLink(&link);
    if (sim_control)
        IoDeleteDevice(sim_control);
}

NTSTATUS WINAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry)
{
    UNICODE_STRING name, link;
    NTSTATUS status;
    USHORT n = registry->Length < sizeof(sim_registry_buffer) - sizeof(WCHAR)
                   ? registry->Length
                   : sizeof(sim_registry_buffer) - sizeof(WCHAR);

    RtlCopyMemory(sim_registry_buffer, registry->Buffer, n);
    sim_registry_buffer[n / sizeof(WCHAR)] = 0;
    RtlInitUnicodeString(&sim_registry_path, sim_registry_buffer);

    driver->MajorFunction[IRP_MJ_CREATE] = sim_dispatch;
    driver->MajorFunction[IRP_MJ_CLOSE] = sim_dispatch;
    driver->MajorFunction[IRP_MJ_CLEANUP] = sim_dispatch;
    driver->MajorFunction[IRP_MJ_READ] = sim_dispatch;
    driver->MajorFunction[IRP_MJ_WRITE] = sim_dispatch;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = sim_dispatch;
    driver->DriverUnload = sim_unload;

    RtlInitUnicodeString(&name, L"\\Device\\ScanfwSimCtl");
    status = IoCreateDevice(driver, sizeof(SIM_EXTENSION), &name, FILE_DEVICE_UNKNOWN, 0, FALSE,
                            &sim_control);
    if (!NT_SUCCESS(status))
        return status;
    ((SIM_EXTENSION *)sim_control->DeviceExtension)->index = -1;
    sim_control->Flags |= DO_BUFFERED_IO;
    sim_control->Flags &= ~DO_DEVICE_INITIALIZING;
    RtlInitUnicodeString(&link, L"\\??\\scanfwsimctl");
    return IoCreateSymbolicLink(&link, &name);
}
