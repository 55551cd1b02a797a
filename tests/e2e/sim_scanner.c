/* A simulated still-image USB scanner, as a kernel driver for Wine's
 * winedevice. It stands where the usbscan class driver stands on Windows:
 * \\.\usbscanN devices that answer the descriptor query, take 16-byte
 * command writes and bulk writes, and answer 32-byte reads.
 *
 * What the scanner does is data, not code: the harness writes it as values
 * under this driver's service key and sends IOCTL_SIM_APPLY on the control
 * device \\.\scanfwsimctl. Everything the devices receive is kept in a text
 * record that IOCTL_SIM_RECORD hands back. */
#include <ntddk.h>

#define SIM_MAX_DEVICES 256
#define SIM_MAX_ANSWERS 64
#define SIM_RECORD_SIZE (256 * 1024)
#define SIM_POOL_TAG 0x6d536653u /* "SfSm" */

/* The still-image driver's descriptor query (usbscan.h), as the wire knows it. */
#define IOCTL_GET_DEVICE_DESCRIPTOR 0x80002018
#define IOCTL_SIM_APPLY 0x80012400u
#define IOCTL_SIM_RECORD 0x80012404u

enum { PHASE_NONE, PHASE_READINESS, PHASE_DOWNLOAD, PHASE_BULK, PHASE_BURN, PHASE_COUNT };
enum { STAGE_WRITE, STAGE_READ };
enum { FAULT_NONE, FAULT_FAIL, FAULT_SHORT, FAULT_LONG };

/* One attached device as the harness describes it (SimDevices, 8 USHORTs). */
typedef struct {
    USHORT index, vendor, product, release, language, descriptor_fails, descriptor_bytes, pad;
} SIM_DEVICE_ENTRY;

/* The one fault of a scenario (SimFault, 4 ULONGs). */
typedef struct {
    ULONG phase, occurrence, stage, kind;
} SIM_FAULT;

typedef struct {
    int attached;
    SIM_DEVICE_ENTRY entry;
    ULONG exchanges[PHASE_COUNT]; /* how many of each phase so far */
    int last_phase;               /* decides what the next read answers */
} SIM_STATE;

typedef struct {
    int index; /* -1: the control device */
} SIM_EXTENSION;

static PDEVICE_OBJECT sim_devices[SIM_MAX_DEVICES];
static int sim_linked[SIM_MAX_DEVICES];
static SIM_STATE sim_state[SIM_MAX_DEVICES];
static PDEVICE_OBJECT sim_control;
static UNICODE_STRING sim_registry_path;
static WCHAR sim_registry_buffer[512];

static USHORT sim_readiness[SIM_MAX_ANSWERS], sim_burn[SIM_MAX_ANSWERS];
static ULONG sim_readiness_count, sim_burn_count, sim_download;
static SIM_FAULT sim_fault;

static char *sim_record;
static ULONG sim_record_length;
static ULONG sim_crc_table[256];

/* ---- small helpers: no C library here ---- */

static void sim_append(const char *text)
{
    while (*text && sim_record_length + 1 < SIM_RECORD_SIZE)
        sim_record[sim_record_length++] = *text++;
    sim_record[sim_record_length] = 0;
}

static void sim_append_number(ULONGLONG value)
{
    char digits[24];
    int n = 0;
    do {
        digits[n++] = (char)('0' + value % 10);
        value /= 10;
    } while (value);
    while (n) {
        char one[2] = {digits[--n], 0};
        sim_append(one);
    }
}

static void sim_append_hex(const UCHAR *bytes, ULONG length)
{
    static const char hex[] = "0123456789abcdef";
    ULONG i;
    for (i = 0; i < length; i++) {
        char two[3] = {hex[bytes[i] >> 4], hex[bytes[i] & 15], 0};
        sim_append(two);
    }
}

static void sim_crc_init(void)
{
    ULONG i, k;
    for (i = 0; i < 256; i++) {
        ULONG c = i;
        for (k = 0; k < 8; k++)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        sim_crc_table[i] = c;
    }
}

/* The same CRC-32 as zlib's, so the harness can check it with one call. */
static ULONG sim_crc32(const UCHAR *data, ULONG length)
{
    ULONG c = 0xFFFFFFFFu;
    while (length--)
        c = sim_crc_table[(c ^ *data++) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

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

/* ---- the scenario, from the registry ---- */

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
    if (NT_SUCCESS(ZwQueryValueKey(key, &value_name, KeyValuePartialInformation, info,
                                   buffer_size, &needed))) {
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
    InitializeObjectAttributes(&attributes, path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
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
    status = IoCreateDevice(driver, sizeof(SIM_EXTENSION), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
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

/* Reads the scenario, attaches exactly its devices, clears the record. */
static NTSTATUS sim_apply(PDRIVER_OBJECT driver)
{
    SIM_DEVICE_ENTRY entries[SIM_MAX_DEVICES];
    ULONG count, i;
    HANDLE key = sim_open_key(&sim_registry_path);

    if (!key)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    RtlZeroMemory(entries, sizeof(entries));
    count = sim_query_value(key, L"SimDevices", entries, sizeof(entries)) / sizeof(SIM_DEVICE_ENTRY);
    RtlZeroMemory(sim_readiness, sizeof(sim_readiness));
    RtlZeroMemory(sim_burn, sizeof(sim_burn));
    sim_readiness_count = sim_query_value(key, L"SimReadiness", sim_readiness, sizeof(sim_readiness)) / 2;
    sim_burn_count = sim_query_value(key, L"SimBurn", sim_burn, sizeof(sim_burn)) / 2;
    sim_download = 0;
    sim_query_value(key, L"SimDownload", &sim_download, sizeof(sim_download));
    RtlZeroMemory(&sim_fault, sizeof(sim_fault));
    sim_query_value(key, L"SimFault", &sim_fault, sizeof(sim_fault));
    ZwClose(key);

    RtlZeroMemory(sim_state, sizeof(sim_state));
    for (i = 0; i < count; i++) {
        int index = entries[i].index;
        if (index >= SIM_MAX_DEVICES)
            continue;
        if (!sim_devices[index] && !NT_SUCCESS(sim_create_device(driver, index)))
            continue;
        sim_state[index].attached = 1;
        sim_state[index].entry = entries[i];
    }
    for (i = 0; i < SIM_MAX_DEVICES; i++)
        sim_set_link(i, sim_state[i].attached);

    sim_record_length = 0;
    sim_record[0] = 0;
    sim_append("apply ");
    sim_append_number(count);
    sim_append("\n");
    return STATUS_SUCCESS;
}

/* ---- the devices ---- */

static NTSTATUS sim_complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static const char *sim_phase_name(int phase)
{
    switch (phase) {
    case PHASE_READINESS: return "readiness";
    case PHASE_DOWNLOAD: return "download";
    case PHASE_BULK: return "bulk";
    case PHASE_BURN: return "burn";
    default: return "other";
    }
}

/* The fault this request suffers, if the scenario names it. */
static ULONG sim_fault_for(SIM_STATE *state, int phase, ULONG stage)
{
    if (sim_fault.kind == FAULT_NONE || sim_fault.phase != (ULONG)phase || sim_fault.stage != stage)
        return FAULT_NONE;
    if (state->exchanges[phase] != sim_fault.occurrence)
        return FAULT_NONE;
    return sim_fault.kind;
}

static const char *sim_fault_name(ULONG kind)
{
    switch (kind) {
    case FAULT_FAIL: return " fault=fail";
    case FAULT_SHORT: return " fault=short";
    case FAULT_LONG: return " fault=long";
    default: return "";
    }
}

/* A transfer's outcome under a fault: the request fails, or reports one byte
 * fewer or more than it moved. */
static NTSTATUS sim_finish(PIRP irp, ULONG kind, ULONG length)
{
    if (kind == FAULT_FAIL)
        return sim_complete(irp, STATUS_UNSUCCESSFUL, 0);
    if (kind == FAULT_SHORT)
        return sim_complete(irp, STATUS_SUCCESS, length ? length - 1 : 0);
    if (kind == FAULT_LONG)
        return sim_complete(irp, STATUS_SUCCESS, length + 1);
    return sim_complete(irp, STATUS_SUCCESS, length);
}

static void sim_record_bulk_context(void)
{
    static const WCHAR path[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\STISVC";
    UNICODE_STRING key_path;
    LARGE_INTEGER now;
    ULONG start = 0xFFFFFFFFu;
    HANDLE key;

    KeQuerySystemTime(&now);
    RtlInitUnicodeString(&key_path, path);
    key = sim_open_key(&key_path);
    if (key) {
        sim_query_value(key, L"Start", &start, sizeof(start));
        ZwClose(key);
    }
    /* The still-image service's start type as the service manager stored it
     * at this moment (-1: not installed), and the system time. */
    sim_append(" time=");
    sim_append_number((ULONGLONG)now.QuadPart);
    sim_append(" stisvc-start=");
    if (start == 0xFFFFFFFFu)
        sim_append("none");
    else
        sim_append_number(start);
}

static NTSTATUS sim_write(int index, PIRP irp, PIO_STACK_LOCATION stack)
{
    SIM_STATE *state = &sim_state[index];
    const UCHAR *data = irp->AssociatedIrp.SystemBuffer;
    ULONG length = stack->Parameters.Write.Length;
    int phase;
    ULONG kind;

    if (state->last_phase == PHASE_DOWNLOAD) {
        /* The write that follows a download command carries the image. */
        phase = PHASE_BULK;
    } else if (length == 16 && data[0] == 0x20 && data[1] == 0x02 && data[4] == 0x12 && data[6] == 0x02) {
        phase = PHASE_READINESS;
    } else if (length == 16 && data[0] == 0x20 && data[1] == 0x02 && data[4] == 0x2A) {
        phase = PHASE_DOWNLOAD;
    } else if (length == 16 && data[0] == 0x20 && data[1] == 0x02 && data[4] == 0x12 && data[6] == 0x08) {
        phase = PHASE_BURN;
    } else {
        phase = PHASE_NONE;
    }
    state->exchanges[phase]++;
    state->last_phase = phase;
    kind = sim_fault_for(state, phase, STAGE_WRITE);

    if (phase == PHASE_BULK) {
        sim_append("bulk ");
        sim_append_number(index);
        sim_append(" length=");
        sim_append_number(length);
        sim_append(" crc32=");
        sim_append_number(length ? sim_crc32(data, length) : 0);
        sim_record_bulk_context();
    } else {
        sim_append("command ");
        sim_append_number(index);
        sim_append(" ");
        sim_append(sim_phase_name(phase));
        sim_append(" ");
        sim_append_hex(data, length < 64 ? length : 64);
    }
    sim_append(sim_fault_name(kind));
    sim_append("\n");
    return sim_finish(irp, kind, length);
}

static USHORT sim_answer(SIM_STATE *state)
{
    ULONG n;
    switch (state->last_phase) {
    case PHASE_READINESS:
        n = state->exchanges[PHASE_READINESS];
        if (!sim_readiness_count)
            return 0;
        return sim_readiness[n <= sim_readiness_count ? n - 1 : sim_readiness_count - 1];
    case PHASE_DOWNLOAD:
        return (USHORT)sim_download;
    case PHASE_BURN:
        n = state->exchanges[PHASE_BURN];
        if (!sim_burn_count)
            return 0;
        return sim_burn[n <= sim_burn_count ? n - 1 : sim_burn_count - 1];
    default:
        return 0;
    }
}

static NTSTATUS sim_read(int index, PIRP irp, PIO_STACK_LOCATION stack)
{
    SIM_STATE *state = &sim_state[index];
    UCHAR *data = irp->AssociatedIrp.SystemBuffer;
    ULONG length = stack->Parameters.Read.Length;
    USHORT status = sim_answer(state);
    ULONG kind = sim_fault_for(state, state->last_phase, STAGE_READ);
    ULONG filled = length < 32 ? length : 32;

    RtlZeroMemory(data, length);
    if (filled >= 6) {
        data[4] = (UCHAR)(status & 0xFF);
        data[5] = (UCHAR)(status >> 8);
    }
    sim_append("read ");
    sim_append_number(index);
    sim_append(" ");
    sim_append(sim_phase_name(state->last_phase));
    sim_append(" length=");
    sim_append_number(length);
    sim_append(" status=");
    sim_append_number(status);
    sim_append(sim_fault_name(kind));
    sim_append("\n");
    /* A long count on a read would make the system copy past the caller's
     * buffer; report it only up to what the buffer holds. */
    if (kind == FAULT_LONG && filled + 1 > length)
        kind = FAULT_NONE;
    return sim_finish(irp, kind, filled);
}

static NTSTATUS sim_descriptor(int index, PIRP irp, PIO_STACK_LOCATION stack)
{
    SIM_STATE *state = &sim_state[index];
    UCHAR *data = irp->AssociatedIrp.SystemBuffer;
    ULONG out_length = stack->Parameters.DeviceIoControl.OutputBufferLength;
    USHORT fields[4];
    ULONG bytes = state->entry.descriptor_bytes;

    sim_append("descriptor ");
    sim_append_number(index);
    if (state->entry.descriptor_fails) {
        sim_append(" fails\n");
        return sim_complete(irp, STATUS_UNSUCCESSFUL, 0);
    }
    sim_append("\n");
    fields[0] = state->entry.vendor;
    fields[1] = state->entry.product;
    fields[2] = state->entry.release;
    fields[3] = state->entry.language;
    if (bytes > sizeof(fields))
        bytes = sizeof(fields);
    if (bytes > out_length)
        bytes = out_length;
    RtlCopyMemory(data, fields, bytes);
    return sim_complete(irp, STATUS_SUCCESS, bytes);
}

static NTSTATUS sim_control_ioctl(PDEVICE_OBJECT device, PIRP irp, PIO_STACK_LOCATION stack)
{
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG out_length = stack->Parameters.DeviceIoControl.OutputBufferLength;

    if (code == IOCTL_SIM_APPLY)
        return sim_complete(irp, sim_apply(device->DriverObject), 0);
    if (code == IOCTL_SIM_RECORD) {
        ULONG n = sim_record_length + 1 < out_length ? sim_record_length + 1 : out_length;
        RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, sim_record, n);
        return sim_complete(irp, STATUS_SUCCESS, n);
    }
    return sim_complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static NTSTATUS WINAPI sim_dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    int index = ((SIM_EXTENSION *)device->DeviceExtension)->index;

    if (index < 0) {
        if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL)
            return sim_control_ioctl(device, irp, stack);
        return sim_complete(irp, STATUS_SUCCESS, 0);
    }

    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
        if (!sim_state[index].attached)
            return sim_complete(irp, STATUS_NO_SUCH_DEVICE, 0);
        sim_append("open ");
        sim_append_number(index);
        sim_append("\n");
        return sim_complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_DEVICE_CONTROL:
        if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_GET_DEVICE_DESCRIPTOR)
            return sim_descriptor(index, irp, stack);
        return sim_complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    case IRP_MJ_WRITE:
        return sim_write(index, irp, stack);
    case IRP_MJ_READ:
        return sim_read(index, irp, stack);
    default: /* close, cleanup */
        return sim_complete(irp, STATUS_SUCCESS, 0);
    }
}

static void WINAPI sim_unload(PDRIVER_OBJECT driver)
{
    UNICODE_STRING link;
    int i;
    (void)driver;
    for (i = 0; i < SIM_MAX_DEVICES; i++) {
        sim_set_link(i, 0);
        if (sim_devices[i])
            IoDeleteDevice(sim_devices[i]);
    }
    RtlInitUnicodeString(&link, L"\\??\\scanfwsimctl");
    IoDeleteSymbolicLink(&link);
    if (sim_control)
        IoDeleteDevice(sim_control);
    ExFreePoolWithTag(sim_record, SIM_POOL_TAG);
}

NTSTATUS WINAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry)
{
    UNICODE_STRING name, link;
    NTSTATUS status;
    USHORT n;

    sim_crc_init();
    sim_record = ExAllocatePoolWithTag(NonPagedPool, SIM_RECORD_SIZE, SIM_POOL_TAG);
    if (!sim_record)
        return STATUS_NO_MEMORY;
    sim_record[0] = 0;

    n = registry->Length < sizeof(sim_registry_buffer) - sizeof(WCHAR) ? registry->Length
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
    status = IoCreateDevice(driver, sizeof(SIM_EXTENSION), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &sim_control);
    if (!NT_SUCCESS(status))
        return status;
    ((SIM_EXTENSION *)sim_control->DeviceExtension)->index = -1;
    sim_control->Flags |= DO_BUFFERED_IO;
    sim_control->Flags &= ~DO_DEVICE_INITIALIZING;
    RtlInitUnicodeString(&link, L"\\??\\scanfwsimctl");
    return IoCreateSymbolicLink(&link, &name);
}
