// Events, threads, console control, the event log, modules, directories and message texts.
#include "internal.h"

#include <standin/control.h>

#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

using standin::detail::Kind;

namespace standin {
namespace detail {
namespace {

struct Event {
    std::mutex mutex;
    std::condition_variable changed;
    bool manualReset = true;
    bool signalled = false;

    void set() {
        std::lock_guard<std::mutex> lock(mutex);
        signalled = true;
        changed.notify_all();
    }

    // False on timeout.
    bool wait(DWORD milliseconds) {
        std::unique_lock<std::mutex> lock(mutex);
        auto ready = [this] { return signalled; };
        if (milliseconds == INFINITE) {
            changed.wait(lock, ready);
        } else if (!changed.wait_for(lock, std::chrono::milliseconds(milliseconds), ready)) {
            return false;
        }
        if (!manualReset) {
            signalled = false;
        }
        return true;
    }
};

struct Console {
    std::mutex mutex;
    std::vector<PHANDLER_ROUTINE> handlers;
    std::vector<std::thread> pending;
    bool allocated = false;
    // Console events whose handlers are still running; the process ends only after them, so
    // that each event's trace line is written.
    int running = 0;
    std::condition_variable idle;
};

Console &console() {
    static Console *instance = new Console;
    return *instance;
}

struct EventLog {
    std::mutex mutex;
    std::vector<EventRecord> records;
};

EventLog &eventLogState() {
    static EventLog *instance = new EventLog;
    return *instance;
}

struct Process {
    std::mutex mutex;
    std::string moduleFileName;
    bool virtualSleep = false;
    DWORD slept = 0;
    std::vector<std::string> calls;
    std::optional<std::string> dllDirectory;
};

Process &process() {
    static Process *instance = new Process;
    return *instance;
}

BOOL runConsoleHandlers(DWORD type) {
    std::vector<PHANDLER_ROUTINE> handlers;
    {
        std::lock_guard<std::mutex> lock(console().mutex);
        handlers = console().handlers;
        ++console().running;
    }
    BOOL handled = FALSE;
    for (auto handler = handlers.rbegin(); handler != handlers.rend() && !handled; ++handler) {
        handled = (*handler)(type);
    }
    trace("console " + std::to_string(type) + " handled=" + (handled ? "1" : "0"));
    std::lock_guard<std::mutex> lock(console().mutex);
    if (--console().running == 0) {
        console().idle.notify_all();
    }
    return handled;
}

BOOL fail(const char *name) {
    if (DWORD error = enter(name)) {
        setError(error);
        return TRUE;
    }
    return FALSE;
}

// fail() for a call that processCalls() lists: its line, "<name>" or "<name> <path>" ("(null)"
// for none), is recorded after the call's hook has run, as the registry records its calls.
BOOL failRecorded(const char *name, const std::string &line) {
    BOOL failing = fail(name);
    std::lock_guard<std::mutex> lock(process().mutex);
    process().calls.push_back(line);
    return failing;
}

BOOL failRecorded(const char *name) {
    return failRecorded(name, name);
}

BOOL failRecorded(const char *name, LPCSTR path) {
    return failRecorded(name, std::string(name) + " " + (path != nullptr ? path : "(null)"));
}

} // namespace

void resetConsoleState() {
    waitConsoleEvents();
    std::lock_guard<std::mutex> lock(console().mutex);
    console().handlers.clear();
    console().allocated = false;
}

void resetEventLog() {
    std::lock_guard<std::mutex> lock(eventLogState().mutex);
    eventLogState().records.clear();
}

void resetProcessState() {
    std::lock_guard<std::mutex> lock(process().mutex);
    process().moduleFileName.clear();
    process().virtualSleep = false;
    process().slept = 0;
    process().calls.clear();
    process().dllDirectory.reset();
}

} // namespace detail

BOOL raiseConsoleEvent(DWORD type) {
    BOOL handled = FALSE;
    std::thread([&] { handled = detail::runConsoleHandlers(type); }).join();
    return handled;
}

void raiseConsoleEventAsync(DWORD type) {
    std::lock_guard<std::mutex> lock(detail::console().mutex);
    detail::console().pending.emplace_back([type] { detail::runConsoleHandlers(type); });
}

void waitConsoleEvents() {
    std::vector<std::thread> pending;
    {
        std::lock_guard<std::mutex> lock(detail::console().mutex);
        pending.swap(detail::console().pending);
    }
    for (std::thread &thread : pending) {
        thread.join();
    }
}

int consoleHandlerCount() {
    std::lock_guard<std::mutex> lock(detail::console().mutex);
    return static_cast<int>(detail::console().handlers.size());
}

bool consoleAllocated() {
    std::lock_guard<std::mutex> lock(detail::console().mutex);
    return detail::console().allocated;
}

std::vector<EventRecord> eventLog() {
    std::lock_guard<std::mutex> lock(detail::eventLogState().mutex);
    return detail::eventLogState().records;
}

int openEventSources() {
    return detail::countHandles(Kind::eventSource);
}

void setModuleFileName(const std::string &path) {
    std::lock_guard<std::mutex> lock(detail::process().mutex);
    detail::process().moduleFileName = path;
}

void setVirtualSleep(bool on) {
    std::lock_guard<std::mutex> lock(detail::process().mutex);
    detail::process().virtualSleep = on;
}

DWORD sleptMilliseconds() {
    std::lock_guard<std::mutex> lock(detail::process().mutex);
    return detail::process().slept;
}

std::vector<std::string> processCalls() {
    std::lock_guard<std::mutex> lock(detail::process().mutex);
    return detail::process().calls;
}

std::optional<std::string> dllDirectory() {
    std::lock_guard<std::mutex> lock(detail::process().mutex);
    return detail::process().dllDirectory;
}

} // namespace standin

namespace {

using standin::detail::enter;
using standin::detail::Event;
using standin::detail::fail;
using standin::detail::failRecorded;
using standin::detail::setError;

struct SourceHandle {
    std::string name;
};

// The system's texts of the codes that the host meets, as Windows gives them in English.
const struct {
    DWORD code;
    const char *text;
} systemTexts[] = {
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {129, "The %1 application cannot be run in Win32 mode.\r\n"},
    {1052, "The requested control is not valid for this service.\r\n"},
    {1060, "The specified service does not exist as an installed service.\r\n"},
    {1061, "The service cannot accept control messages at this time.\r\n"},
    {1062, "The service has not been started.\r\n"},
    {1063, "The service process could not connect to the service controller.\r\n"},
    {1072, "The specified service has been marked for deletion.\r\n"},
    {1073, "The specified service already exists.\r\n"},
};

// Replaces the inserts %1 .. %99 of a message text by string arguments, taken from an array of
// pointers or from a va_list; %% is a percent sign. False when there are no arguments to take
// them from: Windows would read whatever lies where the arguments should be.
bool formatInserts(const char *text, bool array, va_list *arguments, std::string *out) {
    out->clear();
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p != '%') {
            *out += *p;
            continue;
        }
        if (p[1] == '%') {
            *out += '%';
            ++p;
            continue;
        }
        if (p[1] < '1' || p[1] > '9') {
            *out += *p;
            continue;
        }
        int number = p[1] - '0';
        ++p;
        if (p[1] >= '0' && p[1] <= '9') {
            number = number * 10 + (p[1] - '0');
            ++p;
        }
        if (arguments == nullptr) {
            return false;
        }
        const char *argument = nullptr;
        if (array) {
            argument = reinterpret_cast<const char *>(
                reinterpret_cast<const ULONG_PTR *>(arguments)[number - 1]);
        } else {
            va_list copy;
            va_copy(copy, *arguments);
            for (int i = 0; i < number; ++i) {
                argument = va_arg(copy, const char *);
            }
            va_end(copy);
        }
        *out += argument != nullptr ? argument : "(null)";
    }
    return true;
}

} // namespace

extern "C" {

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR) {
    if (fail("CreateEventA")) {
        return nullptr;
    }
    auto event = std::make_shared<Event>();
    event->manualReset = bManualReset != FALSE;
    event->signalled = bInitialState != FALSE;
    return standin::detail::addHandle(Kind::event, event);
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
    if (fail("SetEvent")) {
        return FALSE;
    }
    auto event =
        std::static_pointer_cast<Event>(standin::detail::findHandle(hEvent, {Kind::event}));
    if (!event) {
        setError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->set();
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
    if (fail("ResetEvent")) {
        return FALSE;
    }
    auto event =
        std::static_pointer_cast<Event>(standin::detail::findHandle(hEvent, {Kind::event}));
    if (!event) {
        setError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(event->mutex);
    event->signalled = false;
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    if (DWORD error = enter("WaitForSingleObject")) {
        setError(error);
        return WAIT_FAILED;
    }
    std::shared_ptr<void> object =
        standin::detail::findHandle(hHandle, {Kind::event, Kind::thread});
    if (!object) {
        setError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return static_cast<Event *>(object.get())->wait(dwMilliseconds) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
    if (fail("CloseHandle")) {
        return FALSE;
    }
    if (standin::detail::removeHandle(hObject, {Kind::event, Kind::thread})) {
        return TRUE;
    }
    setError(ERROR_INVALID_HANDLE);
    return FALSE;
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE lpStartAddress,
                           LPVOID lpParameter, DWORD, LPDWORD lpThreadId) {
    if (fail("CreateThread")) {
        return nullptr;
    }
    // The thread's handle is an event that is signalled when the routine returns.
    auto done = std::make_shared<Event>();
    HANDLE handle = standin::detail::addHandle(Kind::thread, done);
    std::thread([lpStartAddress, lpParameter, done] {
        lpStartAddress(lpParameter);
        done->set();
    }).detach();
    if (lpThreadId != nullptr) {
        *lpThreadId = static_cast<DWORD>(reinterpret_cast<uintptr_t>(handle));
    }
    return handle;
}

void WINAPI Sleep(DWORD dwMilliseconds) {
    enter("Sleep");
    {
        std::lock_guard<std::mutex> lock(standin::detail::process().mutex);
        if (standin::detail::process().virtualSleep) {
            standin::detail::process().slept += dwMilliseconds;
            return;
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add) {
    if (fail("SetConsoleCtrlHandler")) {
        return FALSE;
    }
    if (HandlerRoutine == nullptr) {
        return TRUE;
    }
    std::lock_guard<std::mutex> lock(standin::detail::console().mutex);
    std::vector<PHANDLER_ROUTINE> &handlers = standin::detail::console().handlers;
    if (Add) {
        handlers.push_back(HandlerRoutine);
        return TRUE;
    }
    for (auto handler = handlers.rbegin(); handler != handlers.rend(); ++handler) {
        if (*handler == HandlerRoutine) {
            handlers.erase(std::next(handler).base());
            return TRUE;
        }
    }
    setError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

BOOL WINAPI AllocConsole(void) {
    if (failRecorded("AllocConsole")) {
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(standin::detail::console().mutex);
    if (standin::detail::console().allocated) {
        setError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    standin::detail::console().allocated = true;
    return TRUE;
}

HANDLE WINAPI RegisterEventSourceA(LPCSTR, LPCSTR lpSourceName) {
    if (fail("RegisterEventSourceA")) {
        return nullptr;
    }
    auto source = std::make_shared<SourceHandle>();
    source->name = lpSourceName != nullptr ? lpSourceName : "";
    return standin::detail::addHandle(Kind::eventSource, source);
}

BOOL WINAPI ReportEventA(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID,
                         PSID lpUserSid, WORD wNumStrings, DWORD dwDataSize, LPCSTR *lpStrings,
                         LPVOID) {
    if (fail("ReportEventA")) {
        return FALSE;
    }
    auto source = std::static_pointer_cast<SourceHandle>(
        standin::detail::findHandle(hEventLog, {Kind::eventSource}));
    if (!source) {
        setError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    standin::EventRecord record{source->name,         wType, wCategory, dwEventID,
                                lpUserSid != nullptr, {},    dwDataSize};
    std::string joined;
    if (wNumStrings > 0 && lpStrings == nullptr) {
        setError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    for (WORD i = 0; i < wNumStrings; ++i) {
        record.strings.push_back(lpStrings[i] != nullptr ? lpStrings[i] : "");
        joined += (i > 0 ? "|" : "") + record.strings.back();
    }
    {
        std::lock_guard<std::mutex> lock(standin::detail::eventLogState().mutex);
        standin::detail::eventLogState().records.push_back(record);
    }
    char id[16];
    snprintf(id, sizeof id, "%08lx", static_cast<unsigned long>(dwEventID));
    standin::detail::trace("event " + source->name + " " + id + " " + joined);
    return TRUE;
}

BOOL WINAPI DeregisterEventSource(HANDLE hEventLog) {
    if (fail("DeregisterEventSource")) {
        return FALSE;
    }
    if (!standin::detail::removeHandle(hEventLog, {Kind::eventSource})) {
        setError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
    if (failRecorded("LoadLibraryA", lpLibFileName)) {
        return nullptr;
    }
    if (lpLibFileName == nullptr || lpLibFileName[0] == '\0') {
        setError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    void *module = dlopen(lpLibFileName, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        setError(ERROR_MOD_NOT_FOUND);
    }
    return static_cast<HMODULE>(module);
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    if (fail("GetProcAddress")) {
        return nullptr;
    }
    if (hModule == nullptr) {
        setError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (lpProcName == nullptr) {
        setError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    void *symbol = dlsym(hModule, lpProcName);
    if (symbol == nullptr) {
        setError(ERROR_PROC_NOT_FOUND);
    }
    return reinterpret_cast<FARPROC>(symbol);
}

DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    if (fail("GetModuleFileNameA")) {
        return 0;
    }
    if (hModule != nullptr) {
        setError(ERROR_INVALID_HANDLE);
        return 0;
    }
    std::string path;
    {
        std::lock_guard<std::mutex> lock(standin::detail::process().mutex);
        path = standin::detail::process().moduleFileName;
    }
    if (path.empty()) {
        char buffer[4096];
        ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
        if (length < 0) {
            setError(ERROR_FILE_NOT_FOUND);
            return 0;
        }
        path.assign(buffer, static_cast<size_t>(length));
    }
    if (nSize == 0) {
        setError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() >= nSize) {
        memcpy(lpFilename, path.data(), nSize - 1);
        lpFilename[nSize - 1] = '\0';
        setError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    memcpy(lpFilename, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}

BOOL WINAPI SetCurrentDirectoryA(LPCSTR lpPathName) {
    if (failRecorded("SetCurrentDirectoryA", lpPathName)) {
        return FALSE;
    }
    if (lpPathName == nullptr) {
        setError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (chdir(lpPathName) != 0) {
        setError(errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}

// Kept and recorded, and nothing more: the libraries that LoadLibraryA opens find their
// dependencies as the system's dynamic loader finds them.
BOOL WINAPI SetDllDirectoryA(LPCSTR lpPathName) {
    if (failRecorded("SetDllDirectoryA", lpPathName)) {
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(standin::detail::process().mutex);
    if (lpPathName == nullptr) {
        standin::detail::process().dllDirectory.reset();
    } else {
        standin::detail::process().dllDirectory = lpPathName;
    }
    return TRUE;
}

DWORD WINAPI GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer) {
    if (fail("GetCurrentDirectoryA")) {
        return 0;
    }
    char buffer[4096];
    if (getcwd(buffer, sizeof buffer) == nullptr) {
        setError(ERROR_PATH_NOT_FOUND);
        return 0;
    }
    DWORD length = static_cast<DWORD>(strlen(buffer));
    if (length >= nBufferLength) {
        return length + 1;
    }
    memcpy(lpBuffer, buffer, length + 1);
    return length;
}

void WINAPI ExitProcess(UINT uExitCode) {
    {
        // A handler that has stopped the run may still be returning: let it finish.
        std::unique_lock<std::mutex> lock(standin::detail::console().mutex);
        standin::detail::console().idle.wait_for(
            lock, std::chrono::seconds(10), [] { return standin::detail::console().running == 0; });
    }
    fflush(nullptr);
    _exit(static_cast<int>(uExitCode));
}

DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID, DWORD dwMessageId, DWORD, LPSTR lpBuffer,
                            DWORD nSize, va_list *Arguments) {
    if (fail("FormatMessageA")) {
        return 0;
    }
    if ((dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) == 0) {
        setError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const char *text = nullptr;
    for (const auto &entry : systemTexts) {
        if (entry.code == dwMessageId) {
            text = entry.text;
        }
    }
    if (text == nullptr) {
        setError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    if (lpBuffer == nullptr) {
        setError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string message;
    if (dwFlags & FORMAT_MESSAGE_IGNORE_INSERTS) {
        message = text;
    } else if (!formatInserts(text, (dwFlags & FORMAT_MESSAGE_ARGUMENT_ARRAY) != 0, Arguments,
                              &message)) {
        setError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    DWORD length = static_cast<DWORD>(message.size());
    const char *formatted = message.c_str();
    if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        char *copy = static_cast<char *>(malloc(length + 1));
        if (copy == nullptr) {
            setError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        memcpy(copy, formatted, length + 1);
        *reinterpret_cast<char **>(lpBuffer) = copy;
        return length;
    }
    if (length + 1 > nSize) {
        setError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(lpBuffer, formatted, length + 1);
    return length;
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
    free(hMem);
    return nullptr;
}

int WINAPI lstrlenA(LPCSTR lpString) {
    return lpString == nullptr ? 0 : static_cast<int>(strlen(lpString));
}

} // extern "C"
