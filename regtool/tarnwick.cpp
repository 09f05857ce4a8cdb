// Tarnwick stores its one argument, the path of the RMI registry program, as the REG_SZ value
// "Application" of HKLM\SYSTEM\CurrentControlSet\Services\KorvaneRMIRegistry\Parameters.
// The service key must exist already; "Parameters" is created below it when absent.
//
// Exit status: 0 when the value was stored, 1 when a registry step failed, 2 when the command
// line did not hold exactly one argument (the usage text is printed; the registry is untouched).
#include "tarnwick.h"

#include <windows.h>

#include <stdio.h>
#include <string.h>

namespace {

const int exitStored = 0;
const int exitRegistryFailed = 1;
const int exitUsage = 2;

const char usageText[] = "\nFormat: Tarnwick RMIRegistryPath"
                         "\nexample: Tarnwick c:\\jdk1.4\\bin\\rmiregistry";
const char finishedText[] = "\nTarnwick is finished.";
const char failedText[] = "\nCreate Registry Item failed.";

// The service key, one level at a time below HKEY_LOCAL_MACHINE.
const char *const serviceKeyNames[] = {"SYSTEM", "CurrentControlSet", "Services",
                                       "KorvaneRMIRegistry"};
const char parametersKeyName[] = "Parameters";
const char applicationValueName[] = "Application";
char parametersKeyClass[] = "LocalSystem";

void printText(const char *text) {
    fputs(text, stdout);
    fflush(stdout);
}

// Opens the service key for reading, each level from the one above it; a level is closed as
// soon as the one below it is open. On failure no key is left open.
bool openServiceKey(HKEY *serviceKey) {
    HKEY parent = HKEY_LOCAL_MACHINE;
    for (const char *name : serviceKeyNames) {
        HKEY child = NULL;
        LONG status = RegOpenKeyExA(parent, name, 0, KEY_READ, &child);
        if (parent != HKEY_LOCAL_MACHINE) {
            RegCloseKey(parent);
        }
        if (status != 0) {
            return false;
        }
        parent = child;
    }
    *serviceKey = parent;
    return true;
}

// Creates or opens "Parameters" below the service key and closes the service key.
bool openParametersKey(HKEY serviceKey, HKEY *parametersKey) {
    LONG status =
        RegCreateKeyExA(serviceKey, parametersKeyName, 0, parametersKeyClass,
                        REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL, parametersKey, NULL);
    RegCloseKey(serviceKey);
    return status == 0;
}

// Stores the path, its bytes and one NUL, and closes "Parameters".
bool storeApplication(HKEY parametersKey, const char *path) {
    LONG status =
        RegSetValueExA(parametersKey, applicationValueName, 0, REG_SZ,
                       reinterpret_cast<const BYTE *>(path), static_cast<DWORD>(strlen(path) + 1));
    RegCloseKey(parametersKey);
    return status == 0;
}

bool recordPath(const char *path) {
    HKEY serviceKey = NULL;
    if (!openServiceKey(&serviceKey)) {
        return false;
    }
    HKEY parametersKey = NULL;
    if (!openParametersKey(serviceKey, &parametersKey)) {
        return false;
    }
    return storeApplication(parametersKey, path);
}

} // namespace

int runTarnwick(int argc, char **argv) {
    if (argc != 2) {
        printText(usageText);
        return exitUsage;
    }
    if (!recordPath(argv[1])) {
        printText(failedText);
        return exitRegistryFailed;
    }
    printText(finishedText);
    return exitStored;
}
