/* The sample plug-and-play function driver: the image of the virtual and LAN root devices and
   of the USB interfaces. It attaches one device object to each device's stack, takes the device
   through start and removal, and passes every other request down unchanged. It reads no
   hardware; a device it drives only shows as started. */
#include <wdm.h>

typedef enum { DeviceAdded, DeviceStarted, DeviceRemoved } DEVICE_STATE;

typedef struct {
    PDEVICE_OBJECT lower;
    DEVICE_STATE state;
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

static PDEVICE_EXTENSION ExtensionOf(PDEVICE_OBJECT device) {
    return (PDEVICE_EXTENSION)device->DeviceExtension;
}

static NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ExtensionOf(device)->lower, irp);
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
    return status;
}

/* The device object goes only after the request has gone down, so that the drivers below
   see the removal while this one is still attached. */
static NTSTATUS RemoveDevice(PDEVICE_OBJECT device, PIRP irp) {
    PDEVICE_EXTENSION extension = ExtensionOf(device);
    extension->state = DeviceRemoved;
    irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = PassDown(device, irp);
    IoDetachDevice(extension->lower);
    IoDeleteDevice(device);
    return status;
}

static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
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
            return PassDown(device, irp);
        default:
            return PassDown(device, irp);
    }
}

static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(ExtensionOf(device)->lower, irp);
}

/* Requests this driver has no business with (system control among them) belong to the
   drivers below. */
static NTSTATUS NTAPI DispatchOther(PDEVICE_OBJECT device, PIRP irp) {
    return PassDown(device, irp);
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
