/* A kernel driver that loads and unloads and does nothing else: the image the kernel-service
   tests register, start and stop. */
#include <ntddk.h>

/* Without an unload routine the driver cannot be stopped, and a stop request never completes. */
static VOID NTAPI UnloadDriver(PDRIVER_OBJECT driver) {
    UNREFERENCED_PARAMETER(driver);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    UNREFERENCED_PARAMETER(registryPath);
    driver->DriverUnload = UnloadDriver;
    return STATUS_SUCCESS;
}
