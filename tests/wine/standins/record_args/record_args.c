/* Stands in for a program the DLL starts (the certificate utility, an old uninstaller): writes
   its raw command line, byte for byte and without a terminating NUL, to a file named after its
   own path with ".args" appended, e.g. C:\Old\uninst.exe.args, and exits with 0. */
#include <windows.h>

#include <string.h>

static const char kRecordSuffix[] = ".args";

int main(void) {
    char path[MAX_PATH + sizeof(kRecordSuffix)] = {0};
    const DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return 1;
    }
    memcpy(path + length, kRecordSuffix, sizeof(kRecordSuffix));

    const HANDLE file =
        CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return 1;
    }
    const char* commandLine = GetCommandLineA();
    const DWORD size = (DWORD)strlen(commandLine);
    DWORD written = 0;
    const BOOL ok = WriteFile(file, commandLine, size, &written, NULL) && written == size;
    CloseHandle(file);
    return ok ? 0 : 1;
}
