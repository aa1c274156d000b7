/* Stands in for a program the DLL starts (the certificate utility, an old uninstaller). It
   writes two records beside its own path and exits with 0:
   - "<path>.args": its raw command line, byte for byte, without a terminating NUL, e.g.
     C:\Old\uninst.exe.args;
   - "<path>.argv": its arguments as the C runtime parsed them, argv[0] first, each followed by
     a NUL byte: what a program that reads argv, as the certificate utility does, is given. */
#include <windows.h>

#include <string.h>

static const char kCommandLineSuffix[] = ".args";
static const char kArgumentsSuffix[] = ".argv";

/* Creates "<program path><suffix>" for writing; INVALID_HANDLE_VALUE when it cannot. */
static HANDLE CreateRecord(const char* suffix) {
    char path[MAX_PATH + 8] = {0};
    const DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return INVALID_HANDLE_VALUE;
    }
    memcpy(path + length, suffix, strlen(suffix) + 1);
    return CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
}

static BOOL WriteAll(HANDLE file, const char* bytes, DWORD size) {
    DWORD written = 0;
    return WriteFile(file, bytes, size, &written, NULL) && written == size;
}

static BOOL RecordCommandLine(void) {
    const HANDLE file = CreateRecord(kCommandLineSuffix);
    if (file == INVALID_HANDLE_VALUE) {
        return FALSE;
    }
    const char* commandLine = GetCommandLineA();
    const BOOL ok = WriteAll(file, commandLine, (DWORD)strlen(commandLine));
    CloseHandle(file);
    return ok;
}

static BOOL RecordArguments(int argc, char** argv) {
    const HANDLE file = CreateRecord(kArgumentsSuffix);
    if (file == INVALID_HANDLE_VALUE) {
        return FALSE;
    }
    BOOL ok = TRUE;
    for (int i = 0; i < argc && ok; ++i) {
        ok = WriteAll(file, argv[i], (DWORD)strlen(argv[i]) + 1);
    }
    CloseHandle(file);
    return ok;
}

int main(int argc, char** argv) {
    const BOOL commandLineRecorded = RecordCommandLine();
    const BOOL argumentsRecorded = RecordArguments(argc, argv);
    return commandLineRecorded && argumentsRecorded ? 0 : 1;
}
