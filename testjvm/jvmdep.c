// A companion of the test JVM for Windows, as a JRE's runtime library has its C runtime DLL in
// the JRE's bin folder: the jvm.dll variant built with TESTJVM_COMPANION imports it. When it is
// loaded it appends one line, "jvmdep loaded <its own full path>", to the file named by
// TESTJVM_LOG, so that a test sees which copy the loader took.
#include <windows.h>

__declspec(dllexport) int jvmdepPresent(void) {
    return 1;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason != DLL_PROCESS_ATTACH) {
        return TRUE;
    }
    char log[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("TESTJVM_LOG", log, sizeof log);
    if (length == 0 || length >= sizeof log) {
        return TRUE;
    }
    char line[MAX_PATH + 32] = "jvmdep loaded ";
    DWORD prefix = (DWORD)lstrlenA(line);
    DWORD path = GetModuleFileNameA(instance, line + prefix, MAX_PATH);
    if (path == 0 || path >= MAX_PATH) {
        return TRUE;
    }
    line[prefix + path] = '\n';
    HANDLE file = CreateFileA(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, line, prefix + path + 1, &written, NULL);
        CloseHandle(file);
    }
    return TRUE;
}
