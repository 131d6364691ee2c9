/* vexsim.sys: the capture device's driver as a test stand-in, for running the
 * Windows program under Wine. Not for a real Windows machine.
 *
 * A root-enumerated PnP device that registers the capture device's interface
 * class and forwards every request on it to vexarhd-devsim.exe, which plays
 * the device (vexsim_protocol.h). The driver only keeps the requests:
 *  - a handle opened on the interface connects to the simulator's pipe (the
 *    open fails while no simulator serves);
 *  - stream transfers are left pending, with a cancel routine, until the
 *    simulator answers them; every other request is answered before the
 *    dispatch routine returns, as the device's control requests are;
 *  - a reader thread per handle completes requests from the answers, a
 *    writer thread per handle sends what the dispatch and cancel routines
 *    queue (a cancel routine may not wait on the pipe);
 *  - when the simulator goes away, every request ends with VXS_GONE and so
 *    does every later one. */
#include <ntifs.h>

#include "vexsim_protocol.h"

/* What the requests of a handle whose device has gone end with: the
 * program sees ERROR_GEN_FAILURE, as from a device unplugged mid-transfer. */
#define VXS_GONE STATUS_UNSUCCESSFUL

#define VXS_TAG 0x73786556u /* "Vexs" in a pool dump */

/* {96FCECA3-810E-4DA2-8E92-33E129FFC276}: the capture device's interface class. */
static const GUID vxsInterfaceClass = {
    0x96FCECA3, 0x810E, 0x4DA2, {0x8E, 0x92, 0x33, 0xE1, 0x29, 0xFF, 0xC2, 0x76}};

typedef struct
{
    PDEVICE_OBJECT lower;
    UNICODE_STRING interfaceName;
} VXS_DEVICE;

/* One opened handle: its connection to the simulator. */
typedef struct
{
    HANDLE pipe;
    HANDLE readEvent, writeEvent; /* for the pipe's asynchronous reads and writes */
    HANDLE reader, writer;        /* the threads */
    KSPIN_LOCK lock;              /* guards what follows */
    LIST_ENTRY waiting;           /* requests not yet answered (IRP Tail.Overlay.ListEntry) */
    LIST_ENTRY outbox;            /* VXS_OUTGOING, for the writer */
    KEVENT outboxReady;
    ULONG nextId;
    BOOLEAN broken;   /* the simulator has gone */
    BOOLEAN stopping; /* the handle is closing: the writer ends when the outbox is empty */
    UCHAR* inbox;     /* the reader's buffer for an answer's bytes */
} VXS_OPEN;

typedef struct
{
    LIST_ENTRY link;
    ULONG size; /* of message and what follows */
    struct vexsim_message message;
} VXS_OUTGOING;

/* The request's id and, for a request whose caller waits, the event. */
#define VXS_ID(irp) ((irp)->Tail.Overlay.DriverContext[0])
#define VXS_DONE(irp) ((irp)->Tail.Overlay.DriverContext[1])

DRIVER_INITIALIZE DriverEntry;

static NTSTATUS vxsFinish(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* Moves size bytes through the pipe, reading or writing. */
static NTSTATUS vxsPipeIo(VXS_OPEN* open, BOOLEAN write, void* data, ULONG size)
{
    UCHAR* at = data;
    while (size > 0)
    {
        IO_STATUS_BLOCK iosb;
        LARGE_INTEGER offset;
        HANDLE event = write ? open->writeEvent : open->readEvent;
        NTSTATUS status;
        offset.QuadPart = 0;
        iosb.Status = STATUS_PENDING;
        iosb.Information = 0;
        if (write)
            status = ZwWriteFile(open->pipe, event, NULL, NULL, &iosb, at, size, &offset, NULL);
        else
            status = ZwReadFile(open->pipe, event, NULL, NULL, &iosb, at, size, &offset, NULL);
        if (status == STATUS_PENDING)
        {
            ZwWaitForSingleObject(event, FALSE, NULL);
            status = iosb.Status;
        }
        if (!NT_SUCCESS(status))
            return status;
        if (iosb.Information == 0 || iosb.Information > size)
            return STATUS_PIPE_BROKEN;
        at += iosb.Information;
        size -= (ULONG)iosb.Information;
    }
    return STATUS_SUCCESS;
}

/* Hands a message to the writer. May run at DISPATCH_LEVEL. */
static void vxsQueueLocked(VXS_OPEN* open, VXS_OUTGOING* out)
{
    InsertTailList(&open->outbox, &out->link);
    KeSetEvent(&open->outboxReady, IO_NO_INCREMENT, FALSE);
}

static VXS_OUTGOING* vxsMessage(ULONG kind, ULONG id, ULONG carried)
{
    VXS_OUTGOING* out = ExAllocatePoolWithTag(NonPagedPool, sizeof *out + carried, VXS_TAG);
    if (!out)
        return NULL;
    RtlZeroMemory(out, sizeof *out);
    out->size = sizeof out->message + carried;
    out->message.kind = kind;
    out->message.id = id;
    out->message.carried = carried;
    return out;
}

/* Ends a request with the simulator's answer. */
static void vxsAnswer(PIRP irp, NTSTATUS status, ULONG returned, const UCHAR* data, ULONG size)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG room = stack->Parameters.DeviceIoControl.OutputBufferLength;
    KEVENT* done = VXS_DONE(irp);
    if (returned > room)
        returned = room;
    if (size > room)
        size = room;
    if (NT_SUCCESS(status) && size > 0)
        RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, data, size);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = NT_SUCCESS(status) ? returned : 0;
    if (done)
        KeSetEvent(done, IO_NO_INCREMENT, FALSE);
    else
        IoCompleteRequest(irp, IO_NO_INCREMENT);
}

/* Takes the request off the waiting list, unless its cancel routine owns it.
 * Caller holds the lock. */
static BOOLEAN vxsTakeLocked(PIRP irp)
{
    if (!VXS_DONE(irp) && !IoSetCancelRoutine(irp, NULL))
        return FALSE;
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    return TRUE;
}

static VOID vxsCancel(PDEVICE_OBJECT device, PIRP irp)
{
    VXS_OPEN* open = IoGetCurrentIrpStackLocation(irp)->FileObject->FsContext;
    VXS_OUTGOING* notice = vxsMessage(VEXSIM_CANCEL, (ULONG)(ULONG_PTR)VXS_ID(irp), 0);
    KIRQL irql;
    (void)device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&open->lock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    if (notice && !open->broken)
    {
        vxsQueueLocked(open, notice);
        notice = NULL;
    }
    KeReleaseSpinLock(&open->lock, irql);
    if (notice)
        ExFreePoolWithTag(notice, VXS_TAG);
    vxsFinish(irp, STATUS_CANCELLED, 0);
}

static VOID vxsReader(PVOID context)
{
    VXS_OPEN* open = context;
    LIST_ENTRY ended;
    KIRQL irql;
    for (;;)
    {
        struct vexsim_answer answer;
        LIST_ENTRY* entry;
        PIRP irp = NULL;
        if (!NT_SUCCESS(vxsPipeIo(open, FALSE, &answer, sizeof answer)) || answer.carried > VEXSIM_MAX_OUTPUT)
            break;
        if (answer.carried > 0 && !NT_SUCCESS(vxsPipeIo(open, FALSE, open->inbox, answer.carried)))
            break;
        KeAcquireSpinLock(&open->lock, &irql);
        for (entry = open->waiting.Flink; entry != &open->waiting; entry = entry->Flink)
        {
            PIRP candidate = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
            if ((ULONG)(ULONG_PTR)VXS_ID(candidate) != answer.id)
                continue;
            if (vxsTakeLocked(candidate))
                irp = candidate;
            break;
        }
        KeReleaseSpinLock(&open->lock, irql);
        if (irp)
            vxsAnswer(irp, answer.status, answer.returned, open->inbox, answer.carried);
    }

    /* The simulator has gone: so has the device, for this handle. */
    InitializeListHead(&ended);
    KeAcquireSpinLock(&open->lock, &irql);
    open->broken = TRUE;
    /* A request whose cancel routine owns it stays: the routine takes it off. */
    for (LIST_ENTRY* entry = open->waiting.Flink; entry != &open->waiting;)
    {
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        entry = entry->Flink;
        if (vxsTakeLocked(irp))
            InsertTailList(&ended, &irp->Tail.Overlay.ListEntry);
    }
    KeReleaseSpinLock(&open->lock, irql);
    while (!IsListEmpty(&ended))
    {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&ended), IRP, Tail.Overlay.ListEntry);
        vxsAnswer(irp, VXS_GONE, 0, NULL, 0);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

static VOID vxsWriter(PVOID context)
{
    VXS_OPEN* open = context;
    BOOLEAN failed = FALSE;
    for (;;)
    {
        BOOLEAN stop = FALSE;
        KeWaitForSingleObject(&open->outboxReady, Executive, KernelMode, FALSE, NULL);
        for (;;)
        {
            VXS_OUTGOING* out = NULL;
            KIRQL irql;
            KeAcquireSpinLock(&open->lock, &irql);
            if (IsListEmpty(&open->outbox))
                stop = open->stopping;
            else
                out = CONTAINING_RECORD(RemoveHeadList(&open->outbox), VXS_OUTGOING, link);
            KeReleaseSpinLock(&open->lock, irql);
            if (!out)
                break;
            if (!failed && !NT_SUCCESS(vxsPipeIo(open, TRUE, &out->message, out->size)))
                failed = TRUE; /* the reader sees the pipe gone too */
            ExFreePoolWithTag(out, VXS_TAG);
        }
        if (stop)
            break;
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

static void vxsWaitThread(HANDLE* thread)
{
    LARGE_INTEGER timeout;
    if (!*thread)
        return;
    timeout.QuadPart = -5LL * 10000000; /* 5 s */
    ZwWaitForSingleObject(*thread, FALSE, &timeout);
    ZwClose(*thread);
    *thread = NULL;
}

static void vxsFreeOpen(VXS_OPEN* open)
{
    if (open->pipe)
        ZwClose(open->pipe);
    if (open->readEvent)
        ZwClose(open->readEvent);
    if (open->writeEvent)
        ZwClose(open->writeEvent);
    if (open->inbox)
        ExFreePoolWithTag(open->inbox, VXS_TAG);
    ExFreePoolWithTag(open, VXS_TAG);
}

static NTSTATUS vxsCreate(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    UNICODE_STRING pipeName;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK iosb;
    NTSTATUS status;
    VXS_OPEN* open = ExAllocatePoolWithTag(NonPagedPool, sizeof *open, VXS_TAG);
    (void)device;
    if (!open)
        return vxsFinish(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    RtlZeroMemory(open, sizeof *open);
    KeInitializeSpinLock(&open->lock);
    InitializeListHead(&open->waiting);
    InitializeListHead(&open->outbox);
    KeInitializeEvent(&open->outboxReady, SynchronizationEvent, FALSE);
    open->inbox = ExAllocatePoolWithTag(NonPagedPool, VEXSIM_MAX_OUTPUT, VXS_TAG);

    RtlInitUnicodeString(&pipeName, VEXSIM_PIPE_KERNEL_NAME);
    InitializeObjectAttributes(&attributes, &pipeName, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL, NULL);
    status = open->inbox ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    if (NT_SUCCESS(status))
        status = ZwCreateFile(&open->pipe, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes, &iosb,
                              NULL, 0, 0, FILE_OPEN, 0, NULL, 0);
    if (!NT_SUCCESS(status))
    {
        open->pipe = NULL;
        vxsFreeOpen(open);
        /* No simulator serving: no device to open. */
        return vxsFinish(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    }
    InitializeObjectAttributes(&attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    status = ZwCreateEvent(&open->readEvent, EVENT_ALL_ACCESS, &attributes, NotificationEvent, FALSE);
    if (NT_SUCCESS(status))
        status = ZwCreateEvent(&open->writeEvent, EVENT_ALL_ACCESS, &attributes, NotificationEvent, FALSE);
    if (NT_SUCCESS(status))
        status =
            PsCreateSystemThread(&open->reader, THREAD_ALL_ACCESS, &attributes, NULL, NULL, vxsReader, open);
    if (NT_SUCCESS(status))
        status =
            PsCreateSystemThread(&open->writer, THREAD_ALL_ACCESS, &attributes, NULL, NULL, vxsWriter, open);
    if (!NT_SUCCESS(status))
    {
        open->stopping = TRUE;
        KeSetEvent(&open->outboxReady, IO_NO_INCREMENT, FALSE);
        vxsWaitThread(&open->writer);
        ZwClose(open->pipe); /* ends the reader */
        open->pipe = NULL;
        vxsWaitThread(&open->reader);
        vxsFreeOpen(open);
        return vxsFinish(irp, status, 0);
    }
    stack->FileObject->FsContext = open;
    return vxsFinish(irp, STATUS_SUCCESS, 0);
}

/* Every request has ended by now (the handle's last reference is gone). */
static NTSTATUS vxsClose(PDEVICE_OBJECT device, PIRP irp)
{
    VXS_OPEN* open = IoGetCurrentIrpStackLocation(irp)->FileObject->FsContext;
    (void)device;
    if (open)
    {
        VXS_OUTGOING* bye = vxsMessage(VEXSIM_CLOSE, 0, 0);
        KIRQL irql;
        KeAcquireSpinLock(&open->lock, &irql);
        if (bye)
            vxsQueueLocked(open, bye);
        open->stopping = TRUE;
        KeSetEvent(&open->outboxReady, IO_NO_INCREMENT, FALSE);
        KeReleaseSpinLock(&open->lock, irql);
        vxsWaitThread(&open->writer);
        vxsWaitThread(&open->reader); /* the simulator disconnects on VEXSIM_CLOSE */
        vxsFreeOpen(open);
        IoGetCurrentIrpStackLocation(irp)->FileObject->FsContext = NULL;
    }
    return vxsFinish(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS vxsDeviceControl(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    VXS_OPEN* open = stack->FileObject ? stack->FileObject->FsContext : NULL;
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG inSize = stack->Parameters.DeviceIoControl.InputBufferLength;
    const UCHAR* input = irp->AssociatedIrp.SystemBuffer;
    BOOLEAN stream = code == VEXSIM_IOCTL_TRANSFER && inSize >= VEXSIM_HEADER_SIZE && input &&
                     input[VEXSIM_ENDPOINT_OFFSET] == VEXSIM_STREAM_ENDPOINT;
    ULONG carried = stream ? VEXSIM_HEADER_SIZE : inSize;
    VXS_OUTGOING* out;
    KEVENT done;
    KIRQL irql;
    NTSTATUS status;
    (void)device;
    if (!open || (code & 3) != METHOD_BUFFERED)
        return vxsFinish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    if (carried > VEXSIM_MAX_INPUT)
        return vxsFinish(irp, STATUS_INVALID_PARAMETER, 0);
    out = vxsMessage(VEXSIM_REQUEST, 0, carried);
    if (!out)
        return vxsFinish(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    out->message.code = code;
    out->message.inSize = inSize;
    out->message.outSize = stack->Parameters.DeviceIoControl.OutputBufferLength;
    if (carried > 0)
        RtlCopyMemory(&out->message + 1, input, carried);

    VXS_DONE(irp) = NULL;
    if (!stream)
    {
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        VXS_DONE(irp) = &done;
    }
    KeAcquireSpinLock(&open->lock, &irql);
    if (open->broken)
    {
        KeReleaseSpinLock(&open->lock, irql);
        ExFreePoolWithTag(out, VXS_TAG);
        return vxsFinish(irp, VXS_GONE, 0);
    }
    out->message.id = ++open->nextId;
    VXS_ID(irp) = (PVOID)(ULONG_PTR)out->message.id;
    if (stream)
    {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, vxsCancel);
        if (irp->Cancel && IoSetCancelRoutine(irp, NULL))
        { /* cancelled before it was queued */
            KeReleaseSpinLock(&open->lock, irql);
            ExFreePoolWithTag(out, VXS_TAG);
            vxsFinish(irp, STATUS_CANCELLED, 0);
            return STATUS_PENDING;
        }
    }
    InsertTailList(&open->waiting, &irp->Tail.Overlay.ListEntry);
    vxsQueueLocked(open, out);
    KeReleaseSpinLock(&open->lock, irql);
    if (stream)
        return STATUS_PENDING;

    /* The caller gets its answer from this call, as from the device. */
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS vxsPnp(PDEVICE_OBJECT device, PIRP irp)
{
    VXS_DEVICE* ext = device->DeviceExtension;
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    NTSTATUS status;
    if (minor == IRP_MN_START_DEVICE)
        IoSetDeviceInterfaceState(&ext->interfaceName, TRUE);
    if (minor == IRP_MN_REMOVE_DEVICE)
        IoSetDeviceInterfaceState(&ext->interfaceName, FALSE);
    IoSkipCurrentIrpStackLocation(irp);
    status = IoCallDriver(ext->lower, irp);
    if (minor == IRP_MN_REMOVE_DEVICE)
    {
        IoDetachDevice(ext->lower);
        RtlFreeUnicodeString(&ext->interfaceName);
        IoDeleteDevice(device);
    }
    return status;
}

static NTSTATUS vxsAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT device;
    VXS_DEVICE* ext;
    NTSTATUS status = IoCreateDevice(driver, sizeof(VXS_DEVICE), NULL, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    ext = device->DeviceExtension;
    RtlZeroMemory(ext, sizeof *ext);
    status = IoRegisterDeviceInterface(pdo, &vxsInterfaceClass, NULL, &ext->interfaceName);
    if (!NT_SUCCESS(status))
    {
        IoDeleteDevice(device);
        return status;
    }
    ext->lower = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static VOID vxsUnload(PDRIVER_OBJECT driver)
{
    (void)driver;
}

NTSTATUS WINAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    (void)registryPath;
    driver->MajorFunction[IRP_MJ_CREATE] = vxsCreate;
    driver->MajorFunction[IRP_MJ_CLOSE] = vxsClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = vxsDeviceControl;
    driver->MajorFunction[IRP_MJ_PNP] = vxsPnp;
    driver->DriverExtension->AddDevice = vxsAddDevice;
    driver->DriverUnload = vxsUnload;
    return STATUS_SUCCESS;
}
