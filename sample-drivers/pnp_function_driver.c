/* The sample plug-and-play function driver: the image of the virtual and LAN root devices and
   of the USB interfaces. It attaches one device object to each device's stack, takes the device
   through start and removal, and passes every other request down unchanged. It reads no
   hardware; a device it drives only shows as started.

   Every request holds the device's remove lock while it is in this driver (Microsoft's "Using
   Remove Locks"): the removal waits for those in flight, and one that arrives after it is
   refused, so that no request reaches the device object after it is deleted. */
#include <wdm.h>

typedef enum { DeviceAdded, DeviceStarted, DeviceRemoved } DEVICE_STATE;

typedef struct {
    PDEVICE_OBJECT lower;
    DEVICE_STATE state;
    IO_REMOVE_LOCK removeLock;
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

/* The remove lock's tag: "Zelk" as a tool reads its bytes. */
#define REMOVE_LOCK_TAG 0x6B6C655AUL

static PDEVICE_EXTENSION ExtensionOf(PDEVICE_OBJECT device) {
    return (PDEVICE_EXTENSION)device->DeviceExtension;
}

/* A request that comes once the removal has begun: the device is going. */
static NTSTATUS Refuse(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* Passes the request down and lets go of the remove lock its caller took: once the request is
   with the driver below, this device object is no longer needed for it. */
static NTSTATUS PassDownAndRelease(PDEVICE_OBJECT device, PIRP irp) {
    PDEVICE_EXTENSION extension = ExtensionOf(device);
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(extension->lower, irp);
    IoReleaseRemoveLock(&extension->removeLock, irp);
    return status;
}

static NTSTATUS NTAPI SignalCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(irp);
    KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
    /* The IRP is ours again: the start routine completes it after the wait. */
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/* A function driver starts only after the drivers below it have started the device. */
static NTSTATUS StartDevice(PDEVICE_OBJECT device, PIRP irp) {
    KEVENT lowerDone;
    KeInitializeEvent(&lowerDone, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalCompletion, &lowerDone, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(ExtensionOf(device)->lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&lowerDone, Executive, KernelMode, FALSE, NULL);
        status = irp->IoStatus.Status;
    }
    if (NT_SUCCESS(status)) {
        ExtensionOf(device)->state = DeviceStarted;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    IoReleaseRemoveLock(&ExtensionOf(device)->removeLock, irp);
    return status;
}

/* The removal first waits until no other request holds the remove lock (and refuses any that
   comes later); the device object goes only after the request has gone down, so that the
   drivers below see the removal while this one is still attached. */
static NTSTATUS RemoveDevice(PDEVICE_OBJECT device, PIRP irp) {
    PDEVICE_EXTENSION extension = ExtensionOf(device);
    extension->state = DeviceRemoved;
    IoReleaseRemoveLockAndWait(&extension->removeLock, irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(extension->lower, irp);
    IoDetachDevice(extension->lower);
    IoDeleteDevice(device);
    return status;
}

static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    NTSTATUS locked = IoAcquireRemoveLock(&ExtensionOf(device)->removeLock, irp);
    if (!NT_SUCCESS(locked)) {
        return Refuse(irp, locked);
    }
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
        case IRP_MN_START_DEVICE:
            return StartDevice(device, irp);
        case IRP_MN_REMOVE_DEVICE:
            return RemoveDevice(device, irp);
        /* Nothing holds the device: stopping and removing it are always agreed to. */
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
            irp->IoStatus.Status = STATUS_SUCCESS;
            return PassDownAndRelease(device, irp);
        default:
            return PassDownAndRelease(device, irp);
    }
}

static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    PDEVICE_EXTENSION extension = ExtensionOf(device);
    NTSTATUS status = IoAcquireRemoveLock(&extension->removeLock, irp);
    if (!NT_SUCCESS(status)) {
        PoStartNextPowerIrp(irp);
        return Refuse(irp, status);
    }
    IoSkipCurrentIrpStackLocation(irp);
    status = PoCallDriver(extension->lower, irp);
    IoReleaseRemoveLock(&extension->removeLock, irp);
    return status;
}

/* Requests this driver has no business with (system control among them) belong to the
   drivers below. */
static NTSTATUS NTAPI DispatchOther(PDEVICE_OBJECT device, PIRP irp) {
    NTSTATUS locked = IoAcquireRemoveLock(&ExtensionOf(device)->removeLock, irp);
    if (!NT_SUCCESS(locked)) {
        return Refuse(irp, locked);
    }
    return PassDownAndRelease(device, irp);
}

static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physical) {
    PDEVICE_OBJECT device = NULL;
    NTSTATUS status = IoCreateDevice(driver, sizeof(DEVICE_EXTENSION), NULL, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PDEVICE_EXTENSION extension = ExtensionOf(device);
    extension->state = DeviceAdded;
    IoInitializeRemoveLock(&extension->removeLock, REMOVE_LOCK_TAG, 0, 0);
    extension->lower = IoAttachDeviceToDeviceStack(device, physical);
    if (extension->lower == NULL) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    /* Power requests may come at passive level only, as for the device below. */
    device->Flags |= extension->lower->Flags & DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

/* Every device object is gone by the time of the unload: each removal deletes its own. */
static VOID NTAPI UnloadDriver(PDRIVER_OBJECT driver) {
    UNREFERENCED_PARAMETER(driver);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    UNREFERENCED_PARAMETER(registryPath);
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        driver->MajorFunction[major] = DispatchOther;
    }
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = UnloadDriver;
    return STATUS_SUCCESS;
}
