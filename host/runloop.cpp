// The run loop that console mode and service mode share, the shutdown in which every stop
// path ends, and the console control handler.
#include "host.h"

#include <stdlib.h>
#include <string.h>

int consoleMode;
HANDLE stopEvent;
ArgumentList jvmOptions;
ArgumentList appArguments;
const char *workingDirectory;

namespace {

// Guards stopEvent, the two lists, workingDirectory and stopRequested against the threads
// that stop the run while the launcher takes its inputs.
SRWLOCK runLock = SRWLOCK_INIT;
bool stopRequested;

} // namespace

void runHost(unsigned n, char *const *parameters) {
    if (!reportServiceStatus(SERVICE_START_PENDING, 0, 3000)) {
        return;
    }
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) {
        return;
    }
    AcquireSRWLockExclusive(&runLock);
    // No stop can precede the run: the manager accepts none before the running report, and
    // the console handler is installed by the launcher.
    stopRequested = false;
    stopEvent = event;
    jvmOptions = collectJvmOptions(n, parameters);
    appArguments = collectAppArguments(n, parameters);
    workingDirectory = findWorkingDirectory(n, parameters);
    ReleaseSRWLockExclusive(&runLock);

    if (reportServiceStatus(SERVICE_RUNNING, 0, 0)) {
        HANDLE launcher = CreateThread(nullptr, 0, launchJvm, nullptr, 0, nullptr);
        if (launcher != nullptr) {
            CloseHandle(launcher);
        }
        WaitForSingleObject(event, INFINITE);
    }

    AcquireSRWLockExclusive(&runLock);
    CloseHandle(stopEvent);
    stopEvent = nullptr;
    ReleaseSRWLockExclusive(&runLock);
}

bool copyLaunchInputs(ArgumentList *options, ArgumentList *arguments, char **directory) {
    AcquireSRWLockExclusive(&runLock);
    bool copied = !stopRequested;
    if (copied) {
        *options = copyArgumentList(jvmOptions);
        *arguments = copyArgumentList(appArguments);
        *directory = nullptr;
        if (workingDirectory != nullptr) {
            size_t size = strlen(workingDirectory) + 1;
            *directory = static_cast<char *>(malloc(size));
            if (*directory != nullptr) {
                memcpy(*directory, workingDirectory, size);
            }
        }
        copied = options->count == jvmOptions.count && arguments->count == appArguments.count &&
                 (workingDirectory == nullptr || *directory != nullptr);
    }
    ReleaseSRWLockExclusive(&runLock);
    return copied;
}

void shutdownHost() {
    if (eventBridgeActive()) {
        dispatchControlEvent(1);
    }
    AcquireSRWLockExclusive(&runLock);
    stopRequested = true;
    releaseArgumentList(&jvmOptions);
    releaseArgumentList(&appArguments);
    if (stopEvent != nullptr) {
        SetEvent(stopEvent);
    }
    ReleaseSRWLockExclusive(&runLock);
}

BOOL WINAPI consoleControlHandler(DWORD type) {
    jint code = 0;
    bool stopsInEitherMode = false;
    switch (type) {
    case CTRL_C_EVENT:
        break;
    case CTRL_CLOSE_EVENT:
        code = 3;
        break;
    case CTRL_LOGOFF_EVENT:
        code = 4;
        break;
    case CTRL_SHUTDOWN_EVENT:
        code = 2;
        stopsInEitherMode = true;
        break;
    default:
        return FALSE;
    }
    if (code != 0 && eventBridgeActive()) {
        dispatchControlEvent(code);
    }
    if (consoleMode || stopsInEitherMode) {
        shutdownHost();
    }
    return TRUE;
}
