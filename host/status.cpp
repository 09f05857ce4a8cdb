// Status reports to the service control manager, and the log routine.
#include "host.h"

#include <stdio.h>

SERVICE_STATUS serviceStatus;
SERVICE_STATUS_HANDLE statusHandle;
DWORD checkpointCounter = 1;

namespace {

SRWLOCK statusLock = SRWLOCK_INIT;

// Fills and sends one report; the caller holds statusLock.
BOOL sendReport(DWORD state, DWORD exitCode, DWORD waitHint) {
    serviceStatus.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP;
    serviceStatus.dwCurrentState = state;
    serviceStatus.dwWin32ExitCode = exitCode;
    serviceStatus.dwWaitHint = waitHint;
    if (state == SERVICE_RUNNING || state == SERVICE_STOPPED) {
        serviceStatus.dwCheckPoint = 0;
    } else {
        serviceStatus.dwCheckPoint = checkpointCounter++;
    }
    BOOL accepted = SetServiceStatus(statusHandle, &serviceStatus);
    if (!accepted) {
        logMessage("SetServiceStatus");
    }
    return accepted;
}

} // namespace

BOOL reportServiceStatus(DWORD state, DWORD exitCode, DWORD waitHint) {
    if (consoleMode) {
        return TRUE;
    }
    AcquireSRWLockExclusive(&statusLock);
    BOOL accepted = sendReport(state, exitCode, waitHint);
    ReleaseSRWLockExclusive(&statusLock);
    return accepted;
}

BOOL reportCurrentServiceStatus() {
    if (consoleMode) {
        return TRUE;
    }
    AcquireSRWLockExclusive(&statusLock);
    BOOL accepted = sendReport(serviceStatus.dwCurrentState, 0, 0);
    ReleaseSRWLockExclusive(&statusLock);
    return accepted;
}

BOOL reportStopPending() {
    if (consoleMode) {
        return TRUE;
    }
    AcquireSRWLockExclusive(&statusLock);
    // A run that another stop has ended already stays stopped.
    BOOL accepted = serviceStatus.dwCurrentState == SERVICE_STOPPED
                        ? TRUE
                        : sendReport(SERVICE_STOP_PENDING, 0, 0);
    ReleaseSRWLockExclusive(&statusLock);
    return accepted;
}

void logMessage(const char *text) {
    if (consoleMode) {
        printf("%s\n", text);
        fflush(stdout);
        return;
    }
    HANDLE source = RegisterEventSourceA(nullptr, serviceName);
    char entry[4096];
    snprintf(entry, sizeof entry, "%s: %s", serviceName, text);
    if (source != nullptr) {
        const char *strings[] = {entry};
        ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 0, logEventId, nullptr, 1, 0, strings,
                     nullptr);
        DeregisterEventSource(source);
    }
}
