// Installation and removal of the service, and the registry writers they use.
#include "host.h"

#include <stdio.h>
#include <string.h>

namespace {

char errorTextBuffer[256];
const DWORD pathCapacity = 512;
// The dependency list: each name ends in a NUL, and one more NUL ends the list.
const char dependencies[] = REPOHOST_SERVICE_DEPENDENCY "\0";

const char *lastErrorText() {
    return formatLastError(errorTextBuffer, sizeof errorTextBuffer);
}

int writeValue(HKEY root, const char *path, const char *name, DWORD type, const BYTE *data,
               DWORD size) {
    HKEY key;
    if (RegOpenKeyExA(root, path, 0, KEY_WRITE, &key) != ERROR_SUCCESS) {
        return 1;
    }
    LONG result = RegSetValueExA(key, name, 0, type, data, size);
    RegCloseKey(key);
    return result == ERROR_SUCCESS ? 0 : 1;
}

} // namespace

char *formatLastError(char *buffer, int capacity) {
    DWORD code = GetLastError();
    if (capacity <= 0) {
        return buffer;
    }
    buffer[0] = '\0';
    char *text = nullptr;
    // Inserts are left as written: there are no arguments to fill them from.
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    if (length != 0 && text != nullptr &&
        static_cast<long>(capacity) >= static_cast<long>(length) + 14) {
        // System texts end in a line break; it is cut off.
        for (int cut = 0;
             cut < 2 && length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r');
             ++cut) {
            text[--length] = '\0';
        }
        snprintf(buffer, static_cast<size_t>(capacity), "%s (0x%lx)", text,
                 static_cast<unsigned long>(code));
    }
    if (text != nullptr) {
        LocalFree(text);
    }
    return buffer;
}

int writeStringValue(const char *data, DWORD size, HKEY root, const char *path, const char *name) {
    return writeValue(root, path, name, REG_SZ, reinterpret_cast<const BYTE *>(data), size);
}

int writeDwordValue(DWORD value, HKEY root, const char *path, const char *name) {
    const BYTE data[4] = {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8),
                          static_cast<BYTE>(value >> 16), static_cast<BYTE>(value >> 24)};
    return writeValue(root, path, name, REG_DWORD, data, sizeof data);
}

int createRegistryKey(HKEY root, const char *path) {
    HKEY key;
    DWORD disposition;
    char keyClass[] = "LocalSystem";
    if (RegCreateKeyExA(root, path, 0, keyClass, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                        &key, &disposition) != ERROR_SUCCESS) {
        return 1;
    }
    RegCloseKey(key);
    return 0;
}

void installService(int argc, char **argv) {
    char parametersKey[sizeof parametersKeyFormat + sizeof serviceName];
    snprintf(parametersKey, sizeof parametersKey, parametersKeyFormat, serviceName);

    char path[pathCapacity];
    DWORD length = GetModuleFileNameA(nullptr, path, pathCapacity);
    if (length == 0 || length >= pathCapacity) {
        printf("Unable to install %s - %s\n", serviceDisplayName, lastErrorText());
        return;
    }
    printf("name of binary file:%s\n", path);

    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        printf("OpenSCManager failed - %s\n", lastErrorText());
        return;
    }
    // Quoted, so that the service manager never takes a path with blanks apart.
    char command[pathCapacity + 2];
    snprintf(command, sizeof command, "\"%s\"", path);
    SC_HANDLE service =
        CreateServiceA(manager, serviceName, serviceDisplayName, SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command,
                       nullptr, nullptr, dependencies, nullptr, nullptr);
    if (service == nullptr) {
        printf("CreateService failed - %s\n", lastErrorText());
        CloseServiceHandle(manager);
        return;
    }
    printf("%s installed.\n", serviceDisplayName);
    CloseServiceHandle(service);

    char sourceKey[sizeof eventSourceKeyFormat + sizeof serviceName];
    snprintf(sourceKey, sizeof sourceKey, eventSourceKeyFormat, serviceName);
    if (createRegistryKey(HKEY_LOCAL_MACHINE, sourceKey) != 0) {
        printf("The EventLog subkey could not be created.\n");
    }
    if (writeStringValue(path, length + 1, HKEY_LOCAL_MACHINE, sourceKey, "EventMessageFile") !=
        0) {
        printf("The Message File value could\nnot be assigned.\n");
    }
    if (writeDwordValue(EVENTLOG_INFORMATION_TYPE, HKEY_LOCAL_MACHINE, sourceKey,
                        "TypesSupported") != 0) {
        printf("The Types Supported value could\nnot be assigned.\n");
    }
    if (createRegistryKey(HKEY_LOCAL_MACHINE, parametersKey) != 0) {
        printf("Could not create Parameters subkey.\n");
    } else {
        static char joined[appParametersCapacity];
        if (joinAppParameters(2, static_cast<unsigned>(argc), argv, joined) == nullptr) {
            printf("Could not create AppParameters string.\n");
        } else if (writeStringValue(joined, static_cast<DWORD>(strlen(joined) + 1),
                                    HKEY_LOCAL_MACHINE, parametersKey, "AppParameters") != 0) {
            printf("Could not save AppParameters value.\n");
        }
    }
    CloseServiceHandle(manager);
}

void removeService() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        printf("OpenSCManager failed - %s\n", lastErrorText());
        return;
    }
    SC_HANDLE service = OpenServiceA(manager, serviceName, SERVICE_ALL_ACCESS);
    if (service == nullptr) {
        printf("OpenService failed - %s\n", lastErrorText());
        CloseServiceHandle(manager);
        return;
    }
    SERVICE_STATUS status;
    if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        printf("Stopping %s.", serviceDisplayName);
        fflush(stdout);
        Sleep(1000);
        while (QueryServiceStatus(service, &status) &&
               status.dwCurrentState == SERVICE_STOP_PENDING) {
            printf(".");
            fflush(stdout);
            Sleep(1000);
        }
        if (status.dwCurrentState == SERVICE_STOPPED) {
            printf("\n%s stopped.\n", serviceDisplayName);
        } else {
            printf("\n%s failed to stop.\n", serviceDisplayName);
        }
    }
    if (DeleteService(service)) {
        printf("%s removed.\n", serviceDisplayName);
        char sourceKey[sizeof eventSourceKeyFormat + sizeof serviceName];
        snprintf(sourceKey, sizeof sourceKey, eventSourceKeyFormat, serviceName);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, sourceKey);
    } else {
        printf("DeleteService failed - %s\n", lastErrorText());
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}
