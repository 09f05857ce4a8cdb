// Service control: the dispatcher connection, the service-main routine and its control
// handler.
#include "host.h"

#include <stdio.h>

namespace {

SERVICE_TABLE_ENTRYA serviceTable[] = {
    {const_cast<LPSTR>(serviceName), serviceMain},
    {nullptr, nullptr},
};

const char dispatcherFailed[] = "StartServiceControlDispatcher failed!";

} // namespace

void runService() {
    printf("\nNo arguments in command line...");
    printf("\nCalling StartServiceCtrlDispatcher...please wait.\n");
    fflush(stdout);
    if (!StartServiceCtrlDispatcherA(serviceTable)) {
        printf("\n%s\n", dispatcherFailed);
        fflush(stdout);
        logMessage(dispatcherFailed);
    }
}

void WINAPI serviceMain(DWORD, LPSTR *) {
    char parametersKey[sizeof parametersKeyFormat + sizeof serviceName];
    snprintf(parametersKey, sizeof parametersKey, parametersKeyFormat, serviceName);
    statusHandle = RegisterServiceCtrlHandlerA(serviceName, serviceControlHandler);
    if (statusHandle == nullptr) {
        return;
    }
    serviceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    serviceStatus.dwServiceSpecificExitCode = 0;
    if (reportServiceStatus(SERVICE_START_PENDING, 0, 3000)) {
        static char text[appParametersCapacity];
        DWORD size = sizeof text;
        ArgumentList parameters = {0, nullptr};
        if (readStringValue(text, &size, HKEY_LOCAL_MACHINE, parametersKey, "AppParameters") == 0) {
            parameters = splitAppParameters(text);
        }
        runHost(parameters.count, parameters.strings);
        releaseArgumentList(&parameters);
    }
    reportServiceStatus(SERVICE_STOPPED, 0, 0);
}

void WINAPI serviceControlHandler(DWORD control) {
    if (control == SERVICE_CONTROL_STOP) {
        reportStopPending();
        shutdownHost();
    } else {
        reportCurrentServiceStatus();
    }
}
