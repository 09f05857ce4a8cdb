// Test control of the platform stand-in: seed and inspect the registry, inject failures,
// raise console events, read event-log entries and service status reports, drive the service
// manager. Tests include this; the host and the registration tool never do.
//
// A native executable linked with the stand-in is driven from outside through environment
// variables, read when the process starts:
//   STANDIN_REGISTRY  a REGEDIT4 file: the registry is loaded from it on first use (a missing
//                     file is an empty tree) and the whole file is rewritten (a temporary file,
//                     then renamed) after every change.
//   STANDIN_FAULTS    "Name:error[:skip[:times]],..." - failCall for each item (numbers in
//                     decimal, or hexadecimal with 0x; skip 0 and times 1 when left out).
//   STANDIN_SERVICE   any value but "" or "0": started by the service manager, so that
//                     StartServiceCtrlDispatcherA connects.
//   STANDIN_CONTROL   a FIFO (opened again after each writer closes it) or a regular file
//                     (followed as it grows) from which a background thread reads commands,
//                     one a line:
//                       console N   raiseConsoleEventAsync(N)
//                       service N   sendServiceControl(N), on a thread of its own
//   STANDIN_TRACE     a file to which one line is appended for each of these, in one write
//                     with O_APPEND (numbers decimal unless said otherwise):
//                       event <source> <id, 8 hex digits> <strings joined by |>
//                                              per ReportEventA
//                       status <state> <accepted> <exit> <specific> <checkpoint> <waithint>
//                                              per accepted SetServiceStatus
//                       console <type> handled=<0|1>
//                                              per console event raised
//                       control <code> <result>
//                                              per sendServiceControl, after the handler ran
//                       dispatcher-start, dispatcher-end
//                                              when StartServiceCtrlDispatcherA connects and
//                                              when it returns
#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace standin {

// ---- registry ----
// Paths are backslash-separated below a predefined root; names compare without regard to the
// case of ASCII letters, as on Windows. Value data is held as raw bytes.
struct RegValue {
    DWORD type;
    std::string data;
};
void resetRegistry();                               // empty tree below every root
void createKey(HKEY root, const std::string &path); // with any missing parents
bool keyExists(HKEY root, const std::string &path);
bool deleteKeyTree(HKEY root, const std::string &path);
void setValue(HKEY root, const std::string &path, const std::string &name, DWORD type,
              const std::string &data); // creates the key as needed
void setString(HKEY root, const std::string &path, const std::string &name,
               const std::string &text); // REG_SZ, text plus one NUL
void setDword(HKEY root, const std::string &path, const std::string &name, DWORD value);
std::optional<RegValue> getValue(HKEY root, const std::string &path, const std::string &name);
std::vector<std::string> valueNames(HKEY root, const std::string &path);
std::vector<std::string> subkeyNames(HKEY root, const std::string &path);
// The class string a key was created with ("" when created without one).
std::string keyClass(HKEY root, const std::string &path);
// Any open of this key (RegOpenKeyExA, RegCreateKeyExA) that asks for an access bit of `mask`
// fails with ERROR_ACCESS_DENIED; a mask of 0 lifts the denial.
void denyAccess(HKEY root, const std::string &path, REGSAM mask);
// Registry handles opened and not yet closed, and every use of a closed or unknown handle.
int openKeyCount();
int badHandleUses();
// The whole tree in the REGEDIT4 text format, and back. loadRegistryText replaces the tree.
std::string registryText();
bool loadRegistryText(const std::string &text);
// Every call of the registry API in order, failed ones included, one line each:
//   RegOpenKeyExA <path> <sam>                    e.g. "RegOpenKeyExA HKLM\SYSTEM 0x20019"
//   RegCreateKeyExA <path> <sam> class=<class>    class "(null)" when none was given
//   RegQueryValueExA <path> <value name>
//   RegSetValueExA <path> <value name> type=<type> size=<cbData>
//   RegDeleteKeyA <path>
//   RegCloseKey <path>
// <path> is the full path of the key below its root (HKLM, HKCU, HKCR, HKU), as named in the
// call; "<invalid handle>" stands in for a key handle that is not open. The default value is
// named "@". <sam> is lower-case hexadecimal with 0x, the other numbers decimal.
std::vector<std::string> registryCalls();
void clearRegistryCalls();

// ---- fault injection ----
// The named API call (its Windows name, "RegSetValueExA", "SetServiceStatus", ...) fails with
// `error` after `skip` successful calls, for `times` calls (0: for ever). A function that
// returns a status returns the error; one that returns a handle or BOOL returns its failure
// value and sets the last error.
void failCall(const std::string &name, DWORD error, unsigned skip = 0, unsigned times = 1);
void clearFaults();
// Runs `hook` on the calling thread at the start of every call of the named API function,
// before the call does its work (and before any injected failure); null removes it. Lets a test
// act at an exact point of the code under test, e.g. send a control while the service reads
// its parameters.
void onCall(const std::string &name, std::function<void()> hook);
// How often a named API call has been made since the last reset.
unsigned callCount(const std::string &name);
// Back to the state at process start: faults, counters, event log, status reports, console
// handlers, the service database and the registry.
void resetAll();

// ---- console ----
// Runs the console control handlers for one event on a new thread, most recently registered
// first, until one returns TRUE; waits for that thread and returns whether a handler took the
// event. An event that no handler takes is only recorded: the process is not ended.
BOOL raiseConsoleEvent(DWORD type);
// The same without waiting; waitConsoleEvents waits for every event raised so far.
void raiseConsoleEventAsync(DWORD type);
void waitConsoleEvents();
int consoleHandlerCount();
bool consoleAllocated();

// ---- event log ----
struct EventRecord {
    std::string source;
    WORD type;
    WORD category;
    DWORD id;
    bool hasSid;
    std::vector<std::string> strings;
    DWORD dataSize;
};
std::vector<EventRecord> eventLog();
int openEventSources(); // registered and not yet deregistered

// ---- service manager, service side ----
// Whether StartServiceCtrlDispatcherA connects (as in a process that the service manager
// started) or fails at once with ERROR_FAILED_SERVICE_CONTROLLER_CONNECT (the default).
void setStartedByServiceManager(bool started);
// Start arguments handed to the service-main routine.
void setServiceStartArguments(const std::vector<std::string> &args);
// Every SetServiceStatus call that the manager accepted, whole, in order.
std::vector<SERVICE_STATUS> statusReports();
// Delivers a control to the running service's handler on the dispatcher thread and waits for
// the handler to return. Returns 0, or the error the real manager gives for a control the
// service's current status does not accept: ERROR_SERVICE_CANNOT_ACCEPT_CTRL while the state
// is pending, ERROR_INVALID_SERVICE_CONTROL when not accepted, ERROR_SERVICE_NOT_ACTIVE when
// stopped or when no service runs.
DWORD sendServiceControl(DWORD control);
// Waits until a report with this state has been accepted, up to `timeoutMs`.
bool waitForServiceState(DWORD state, DWORD timeoutMs);

// ---- service manager, management side ----
struct ServiceRecord {
    std::string name;
    std::string displayName;
    DWORD desiredAccess;
    DWORD serviceType;
    DWORD startType;
    DWORD errorControl;
    std::string binaryPath;
    bool hasLoadOrderGroup;
    bool hasTagId;
    std::vector<std::string> dependencies; // the double-NUL list, split
    bool hasAccount;
    bool hasPassword;
    bool markedForDelete;
};
std::optional<ServiceRecord> service(const std::string &name);
std::vector<std::string> serviceNames();
// Adds a service record as if created earlier, in the given state.
void addService(const std::string &name, DWORD state);
// The states that QueryServiceStatus and ControlService give for a service, one per call; the
// last one stays. A STOP control delivered to a running service moves it to the first state.
// (Without a script a delivered STOP stops the service at once.)
void scriptServiceStates(const std::string &name, const std::vector<DWORD> &states);
// Open service and manager handles not yet closed.
int openServiceHandles();

// ---- process ----
// What GetModuleFileNameA(NULL, ...) reports (default: the real path of the executable).
void setModuleFileName(const std::string &path);
// Sleep returns at once and adds to this counter instead (off by default).
void setVirtualSleep(bool on);
DWORD sleptMilliseconds();
// Every call of these, in order, failed ones included, one line each, with the path as given
// ("(null)" for none):
//   SetCurrentDirectoryA <path>
//   AllocConsole
//   SetDllDirectoryA <path>
//   LoadLibraryA <path>
std::vector<std::string> processCalls();
// The folder that SetDllDirectoryA put in the DLL search path: none while the default order
// holds (never set, or set to NULL); "" once the current directory is taken out of it alone.
std::optional<std::string> dllDirectory();

} // namespace standin
