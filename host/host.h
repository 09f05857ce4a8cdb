// The service host: its identity, its process-wide state and the routines of each group.
#pragma once

#include <windows.h>
#include <jni.h>

#include "identity.h"

// ---- identity, fixed at build time ----
static const char serviceName[] = REPOHOST_SERVICE_NAME;
static const char serviceDisplayName[] = REPOHOST_SERVICE_DISPLAY_NAME;
static const char serviceDependency[] = REPOHOST_SERVICE_DEPENDENCY;
static const char mainClassName[] = REPOHOST_MAIN_CLASS;
// Tried in order; the empty entry ends the list.
constexpr const char *jreVendorKeys[] = {REPOHOST_JRE_VENDOR_KEYS ""};
static const char eventManagerClassName[] = REPOHOST_EVENT_MANAGER_CLASS;

static_assert(sizeof(jreVendorKeys) / sizeof(jreVendorKeys[0]) >= 2,
              "at least one JRE vendor key is needed");
static_assert(sizeof(eventManagerClassName) <= 252,
              "the getInstance signature of the event manager must fit 256 bytes");

static const char parametersKeyFormat[] = "SYSTEM\\CurrentControlSet\\Services\\%s\\Parameters";
static const char eventSourceKeyFormat[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\%s";
static const DWORD logEventId = 0x40000001;

// Capacity of a launch parameter and of the AppParameters text, terminator included.
static const unsigned appParametersCapacity = 8192;

// ---- launch parameters ----
struct ArgumentList {
    unsigned count;
    char **strings;
};

ArgumentList collectJvmOptions(unsigned n, char *const *parameters);
ArgumentList collectAppArguments(unsigned n, char *const *parameters);
const char *findWorkingDirectory(unsigned n, char *const *parameters);
ArgumentList splitAppParameters(const char *text);
// Joins arguments s to n-1 with TABs into `buffer` (appParametersCapacity bytes). Returns the
// buffer, or null when s is not below n. Returns null as well when the text would not fit: a
// launch parameter is never cut.
char *joinAppParameters(unsigned s, unsigned n, char *const *arguments, char *buffer);
void releaseArgumentList(ArgumentList *list);

// ---- process-wide run state ----
extern int consoleMode;
extern HANDLE stopEvent;
extern ArgumentList jvmOptions;
extern ArgumentList appArguments;
extern const char *workingDirectory;

extern SERVICE_STATUS serviceStatus;
extern SERVICE_STATUS_HANDLE statusHandle;
extern DWORD checkpointCounter;

extern JavaVM *javaVm;
extern JNIEnv *launcherEnv;
extern jobject eventManager;

// ---- entry, run loop, status and log ----
void runConsole(int argc, char **argv);
void runHost(unsigned n, char *const *parameters);
void shutdownHost();
BOOL WINAPI consoleControlHandler(DWORD type);
BOOL reportServiceStatus(DWORD state, DWORD exitCode, DWORD waitHint);
// Reports the state of the latest report again, with exit code 0 and wait hint 0; the state
// is read under the report lock.
BOOL reportCurrentServiceStatus();
// Reports stop-pending unless the service has reported stopped already.
BOOL reportStopPending();
void logMessage(const char *text);

// The launcher's own copies of its inputs, taken under the run-state lock, so that a stop can
// release the lists (and the caller of runHost its parameters) at any time. False when a stop
// came first, or when memory ran out: the launch then ends without a word.
bool copyLaunchInputs(ArgumentList *options, ArgumentList *arguments, char **directory);
ArgumentList copyArgumentList(const ArgumentList &list);

// ---- JVM launcher ----
DWORD WINAPI launchJvm(LPVOID);
int readStringValue(char *buffer, DWORD *size, HKEY root, const char *subkey, const char *name);
int checkPendingException(JNIEnv *env, const char *message);
int checkNullResult(const void *result, const char *message);

// ---- control-event bridge ----
void setUpEventBridge();
bool eventBridgeActive();
void dispatchControlEvent(jint code);
// Called by the launcher after `main` has returned, before it destroys the VM: waits for
// dispatches in progress and keeps every later one away from the VM.
void closeEventBridge();

// ---- service control ----
void runService();
void WINAPI serviceMain(DWORD argc, LPSTR *argv);
void WINAPI serviceControlHandler(DWORD control);

// ---- installation ----
void installService(int argc, char **argv);
void removeService();
char *formatLastError(char *buffer, int capacity);
int writeStringValue(const char *data, DWORD size, HKEY root, const char *path, const char *name);
int createRegistryKey(HKEY root, const char *path);
int writeDwordValue(DWORD value, HKEY root, const char *path, const char *name);

// The whole entry point, for tests that run the program in-process.
int hostMain(int argc, char **argv);
