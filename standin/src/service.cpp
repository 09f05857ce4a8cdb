// The service control manager: the dispatcher side that a service process talks to, and the
// database of installed services that the installation code manages.
#include "internal.h"

#include <standin/control.h>

#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

using standin::detail::Kind;

namespace standin {
namespace detail {
namespace {

// Access rights of service handles that the checks below need.
const DWORD servicePauseContinue = 0x0040;
const DWORD serviceInterrogate = 0x0080;
const DWORD serviceUserDefinedControl = 0x0100;
const DWORD errorInvalidData = 13;
const DWORD errorServiceNeverStarted = 1077;

// ---- the service side ----

struct Control {
    DWORD code;
    bool done = false;
};

struct Dispatcher {
    std::mutex mutex;
    std::condition_variable changed;
    bool startedByManager = false;
    std::vector<std::string> startArguments;
    std::vector<SERVICE_STATUS> reports;

    // The run of StartServiceCtrlDispatcherA in progress.
    bool running = false;
    std::string name;
    LPHANDLER_FUNCTION handler = nullptr;
    bool registered = false;
    HANDLE statusHandle = nullptr;
    bool hasReport = false;
    SERVICE_STATUS current{};
    bool stopped = false;
    bool mainReturned = false;
    std::deque<std::shared_ptr<Control>> queue;

    // The argument vectors handed to service-main routines; kept, as a service may hold on to
    // them after its main routine has returned.
    std::vector<std::shared_ptr<std::vector<std::string>>> argumentStore;
    std::vector<std::shared_ptr<std::vector<char *>>> vectorStore;
};

Dispatcher &dispatcher() {
    static Dispatcher *instance = new Dispatcher;
    return *instance;
}

bool startedByEnvironment() {
    const char *service = getenv("STANDIN_SERVICE");
    return service != nullptr && service[0] != '\0' && strcmp(service, "0") != 0;
}

// The accept bit that a control needs; 0 for the user-defined controls, which need none.
// False for a control code that is not defined.
bool acceptBit(DWORD control, DWORD *bit) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
        *bit = SERVICE_ACCEPT_STOP;
        return true;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
        *bit = 0x2; // SERVICE_ACCEPT_PAUSE_CONTINUE
        return true;
    case SERVICE_CONTROL_SHUTDOWN:
        *bit = SERVICE_ACCEPT_SHUTDOWN;
        return true;
    case 6: // SERVICE_CONTROL_PARAMCHANGE
        *bit = 0x8;
        return true;
    case 7:
    case 8:
    case 9:
    case 10: // SERVICE_CONTROL_NETBIND*
        *bit = 0x10;
        return true;
    default:
        *bit = 0;
        return control >= 128 && control <= 255;
    }
}

// Whether a service in this status takes the control, as the manager judges it: 0, or the
// error that ControlService gives.
DWORD judge(bool active, const SERVICE_STATUS &status, DWORD control) {
    DWORD bit = 0;
    if (!acceptBit(control, &bit) && control != SERVICE_CONTROL_INTERROGATE) {
        return ERROR_INVALID_PARAMETER;
    }
    if (!active || status.dwCurrentState == SERVICE_STOPPED) {
        return ERROR_SERVICE_NOT_ACTIVE;
    }
    if (control == SERVICE_CONTROL_INTERROGATE) {
        return 0;
    }
    if (status.dwCurrentState == SERVICE_START_PENDING ||
        status.dwCurrentState == SERVICE_STOP_PENDING) {
        return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    }
    if (bit != 0 && (status.dwControlsAccepted & bit) == 0) {
        return ERROR_INVALID_SERVICE_CONTROL;
    }
    return 0;
}

std::string statusLine(const SERVICE_STATUS &s) {
    return "status " + std::to_string(s.dwCurrentState) + " " +
           std::to_string(s.dwControlsAccepted) + " " + std::to_string(s.dwWin32ExitCode) + " " +
           std::to_string(s.dwServiceSpecificExitCode) + " " + std::to_string(s.dwCheckPoint) +
           " " + std::to_string(s.dwWaitHint);
}

// ---- the database ----

struct Service {
    ServiceRecord record;
    SERVICE_STATUS status{};
    std::deque<DWORD> script;
    int handles = 0;
    bool removed = false;
};

struct ServiceHandle {
    std::shared_ptr<Service> service;
    DWORD access;
};

struct ManagerHandle {
    DWORD access;
};

struct Database {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<Service>> services; // by lower-case name
};

Database &database() {
    static Database *instance = new Database;
    return *instance;
}

// Takes the next scripted state, if any; the last one stays.
void advance(Service &service) {
    if (service.script.empty()) {
        return;
    }
    service.status.dwCurrentState = service.script.front();
    if (service.script.size() > 1) {
        service.script.pop_front();
    }
}

// Removes a service marked for deletion once it is stopped and no handle refers to it.
// Called with the database locked; the registry lock is taken inside.
void removeIfDone(const std::shared_ptr<Service> &service) {
    if (service->removed || !service->record.markedForDelete || service->handles > 0 ||
        service->status.dwCurrentState != SERVICE_STOPPED) {
        return;
    }
    service->removed = true;
    database().services.erase(lower(service->record.name));
    deleteServiceKey(service->record.name);
}

std::shared_ptr<Service> newService(const std::string &name) {
    auto service = std::make_shared<Service>();
    service->record.name = name;
    service->record.displayName = name;
    service->record.desiredAccess = SERVICE_ALL_ACCESS;
    service->record.serviceType = SERVICE_WIN32_OWN_PROCESS;
    service->record.startType = SERVICE_DEMAND_START;
    service->record.errorControl = SERVICE_ERROR_NORMAL;
    service->record.hasLoadOrderGroup = false;
    service->record.hasTagId = false;
    service->record.hasAccount = false;
    service->record.hasPassword = false;
    service->record.markedForDelete = false;
    service->status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    service->status.dwCurrentState = SERVICE_STOPPED;
    service->status.dwWin32ExitCode = errorServiceNeverStarted;
    return service;
}

} // namespace

void resetServiceManager() {
    {
        Dispatcher &d = dispatcher();
        std::lock_guard<std::mutex> lock(d.mutex);
        d.startedByManager = startedByEnvironment();
        d.startArguments.clear();
        d.reports.clear();
    }
    Database &db = database();
    std::lock_guard<std::mutex> lock(db.mutex);
    for (auto &entry : db.services) {
        entry.second->removed = true;
    }
    db.services.clear();
}

} // namespace detail

using detail::database;
using detail::Database;
using detail::Dispatcher;
using detail::dispatcher;

void setStartedByServiceManager(bool started) {
    std::lock_guard<std::mutex> lock(dispatcher().mutex);
    dispatcher().startedByManager = started;
}

void setServiceStartArguments(const std::vector<std::string> &args) {
    std::lock_guard<std::mutex> lock(dispatcher().mutex);
    dispatcher().startArguments = args;
}

std::vector<SERVICE_STATUS> statusReports() {
    std::lock_guard<std::mutex> lock(dispatcher().mutex);
    return dispatcher().reports;
}

DWORD sendServiceControl(DWORD control) {
    Dispatcher &d = dispatcher();
    std::unique_lock<std::mutex> lock(d.mutex);
    SERVICE_STATUS status = d.current;
    if (!d.hasReport) {
        // Until the service's first report the manager holds it as starting.
        status.dwCurrentState = SERVICE_START_PENDING;
        status.dwControlsAccepted = 0;
    }
    DWORD result = detail::judge(d.running, status, control);
    if (result == 0) {
        auto pending = std::make_shared<detail::Control>();
        pending->code = control;
        d.queue.push_back(pending);
        d.changed.notify_all();
        d.changed.wait(lock, [&] { return pending->done; });
    }
    lock.unlock();
    detail::trace("control " + std::to_string(control) + " " + std::to_string(result));
    return result;
}

bool waitForServiceState(DWORD state, DWORD timeoutMs) {
    Dispatcher &d = dispatcher();
    std::unique_lock<std::mutex> lock(d.mutex);
    return d.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        for (const SERVICE_STATUS &report : d.reports) {
            if (report.dwCurrentState == state) {
                return true;
            }
        }
        return false;
    });
}

std::optional<ServiceRecord> service(const std::string &name) {
    std::lock_guard<std::mutex> lock(database().mutex);
    auto found = database().services.find(detail::lower(name));
    if (found == database().services.end()) {
        return std::nullopt;
    }
    return found->second->record;
}

std::vector<std::string> serviceNames() {
    std::lock_guard<std::mutex> lock(database().mutex);
    std::vector<std::string> names;
    for (const auto &entry : database().services) {
        names.push_back(entry.second->record.name);
    }
    return names;
}

void addService(const std::string &name, DWORD state) {
    {
        std::lock_guard<std::mutex> lock(database().mutex);
        std::shared_ptr<detail::Service> &slot = database().services[detail::lower(name)];
        if (slot) {
            slot->removed = true;
        }
        slot = detail::newService(name);
        slot->status.dwCurrentState = state;
        if (state != SERVICE_STOPPED) {
            slot->status.dwWin32ExitCode = 0;
        }
        if (state == SERVICE_RUNNING) {
            slot->status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
        }
    }
    detail::createServiceKey(name);
}

void scriptServiceStates(const std::string &name, const std::vector<DWORD> &states) {
    std::lock_guard<std::mutex> lock(database().mutex);
    auto found = database().services.find(detail::lower(name));
    if (found != database().services.end()) {
        found->second->script.assign(states.begin(), states.end());
    }
}

int openServiceHandles() {
    return detail::countHandles(Kind::manager) + detail::countHandles(Kind::service);
}

} // namespace standin

namespace {

using standin::detail::database;
using standin::detail::dispatcher;
using standin::detail::enter;
using standin::detail::lower;
using standin::detail::ManagerHandle;
using standin::detail::Service;
using standin::detail::ServiceHandle;
using standin::detail::setError;

BOOL failWith(DWORD error) {
    setError(error);
    return FALSE;
}

std::shared_ptr<ServiceHandle> serviceHandle(SC_HANDLE handle) {
    return std::static_pointer_cast<ServiceHandle>(
        standin::detail::findHandle(handle, {Kind::service}));
}

std::vector<std::string> splitList(LPCSTR list) {
    std::vector<std::string> items;
    if (list == nullptr) {
        return items;
    }
    for (const char *item = list; *item != '\0'; item += strlen(item) + 1) {
        items.push_back(item);
    }
    return items;
}

} // namespace

extern "C" {

BOOL WINAPI StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA *lpServiceStartTable) {
    if (DWORD error = enter("StartServiceCtrlDispatcherA")) {
        return failWith(error);
    }
    standin::detail::Dispatcher &d = dispatcher();
    std::unique_lock<std::mutex> lock(d.mutex);
    if (!d.startedByManager) {
        return failWith(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    }
    if (lpServiceStartTable == nullptr || lpServiceStartTable[0].lpServiceName == nullptr ||
        lpServiceStartTable[0].lpServiceProc == nullptr) {
        return failWith(ERROR_INVALID_PARAMETER);
    }
    if (d.running) {
        return failWith(ERROR_SERVICE_ALREADY_RUNNING);
    }
    d.running = true;
    d.name = lpServiceStartTable[0].lpServiceName;
    d.handler = nullptr;
    d.registered = false;
    d.statusHandle = nullptr;
    d.hasReport = false;
    d.current = SERVICE_STATUS{};
    d.stopped = false;
    d.mainReturned = false;
    d.queue.clear();

    auto arguments = std::make_shared<std::vector<std::string>>();
    arguments->push_back(d.name);
    arguments->insert(arguments->end(), d.startArguments.begin(), d.startArguments.end());
    auto vector = std::make_shared<std::vector<char *>>();
    for (std::string &argument : *arguments) {
        vector->push_back(&argument[0]);
    }
    vector->push_back(nullptr);
    d.argumentStore.push_back(arguments);
    d.vectorStore.push_back(vector);
    LPSERVICE_MAIN_FUNCTIONA serviceMain = lpServiceStartTable[0].lpServiceProc;
    lock.unlock();

    standin::detail::trace("dispatcher-start");
    std::thread mainThread([serviceMain, vector, &d] {
        serviceMain(static_cast<DWORD>(vector->size() - 1), vector->data());
        std::lock_guard<std::mutex> guard(d.mutex);
        d.mainReturned = true;
        d.changed.notify_all();
    });

    lock.lock();
    for (;;) {
        if (!d.queue.empty()) {
            std::shared_ptr<standin::detail::Control> control = d.queue.front();
            d.queue.pop_front();
            LPHANDLER_FUNCTION handler = d.handler;
            lock.unlock();
            if (handler != nullptr) {
                handler(control->code);
            }
            lock.lock();
            control->done = true;
            d.changed.notify_all();
            continue;
        }
        if (d.mainReturned && (d.stopped || !d.registered)) {
            break;
        }
        d.changed.wait(lock);
    }
    d.running = false;
    d.handler = nullptr;
    HANDLE statusHandle = d.statusHandle;
    d.statusHandle = nullptr;
    lock.unlock();
    mainThread.join();
    if (statusHandle != nullptr) {
        standin::detail::removeHandle(statusHandle, {Kind::statusHandle});
    }
    standin::detail::trace("dispatcher-end");
    return TRUE;
}

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerA(LPCSTR lpServiceName,
                                                         LPHANDLER_FUNCTION lpHandlerProc) {
    if (DWORD error = enter("RegisterServiceCtrlHandlerA")) {
        setError(error);
        return nullptr;
    }
    standin::detail::Dispatcher &d = dispatcher();
    std::lock_guard<std::mutex> lock(d.mutex);
    if (!d.running || lpServiceName == nullptr || lower(lpServiceName) != lower(d.name)) {
        setError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    if (lpHandlerProc == nullptr) {
        setError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    d.handler = lpHandlerProc;
    d.registered = true;
    if (d.statusHandle == nullptr) {
        d.statusHandle =
            standin::detail::addHandle(Kind::statusHandle, std::make_shared<std::string>(d.name));
    }
    return static_cast<SERVICE_STATUS_HANDLE>(d.statusHandle);
}

BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus,
                             LPSERVICE_STATUS lpServiceStatus) {
    if (DWORD error = enter("SetServiceStatus")) {
        return failWith(error);
    }
    if (!standin::detail::findHandle(hServiceStatus, {Kind::statusHandle})) {
        return failWith(ERROR_INVALID_HANDLE);
    }
    if (lpServiceStatus == nullptr) {
        return failWith(ERROR_INVALID_PARAMETER);
    }
    SERVICE_STATUS status = *lpServiceStatus;
    if (status.dwCurrentState < SERVICE_STOPPED || status.dwCurrentState > 7) {
        return failWith(standin::detail::errorInvalidData);
    }
    {
        standin::detail::Dispatcher &d = dispatcher();
        std::lock_guard<std::mutex> lock(d.mutex);
        d.reports.push_back(status);
        d.current = status;
        d.hasReport = true;
        if (status.dwCurrentState == SERVICE_STOPPED) {
            d.stopped = true;
        }
        d.changed.notify_all();
    }
    standin::detail::trace(standin::detail::statusLine(status));
    return TRUE;
}

SC_HANDLE WINAPI OpenSCManagerA(LPCSTR, LPCSTR, DWORD dwDesiredAccess) {
    if (DWORD error = enter("OpenSCManagerA")) {
        setError(error);
        return nullptr;
    }
    auto manager = std::make_shared<ManagerHandle>();
    manager->access = dwDesiredAccess;
    return static_cast<SC_HANDLE>(standin::detail::addHandle(Kind::manager, manager));
}

SC_HANDLE WINAPI CreateServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, LPCSTR lpDisplayName,
                                DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType,
                                DWORD dwErrorControl, LPCSTR lpBinaryPathName,
                                LPCSTR lpLoadOrderGroup, LPDWORD lpdwTagId, LPCSTR lpDependencies,
                                LPCSTR lpServiceStartName, LPCSTR lpPassword) {
    if (DWORD error = enter("CreateServiceA")) {
        setError(error);
        return nullptr;
    }
    auto manager = std::static_pointer_cast<ManagerHandle>(
        standin::detail::findHandle(hSCManager, {Kind::manager}));
    if (!manager) {
        setError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if ((manager->access & SC_MANAGER_CREATE_SERVICE) == 0) {
        setError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    if (lpServiceName == nullptr || lpServiceName[0] == '\0' || strlen(lpServiceName) > 256 ||
        strchr(lpServiceName, '\\') != nullptr || strchr(lpServiceName, '/') != nullptr) {
        setError(ERROR_INVALID_NAME);
        return nullptr;
    }
    if (lpBinaryPathName == nullptr || lpBinaryPathName[0] == '\0') {
        setError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::shared_ptr<Service> service;
    {
        std::lock_guard<std::mutex> lock(database().mutex);
        auto found = database().services.find(lower(lpServiceName));
        if (found != database().services.end()) {
            setError(found->second->record.markedForDelete ? ERROR_SERVICE_MARKED_FOR_DELETE
                                                           : ERROR_SERVICE_EXISTS);
            return nullptr;
        }
        service = standin::detail::newService(lpServiceName);
        standin::ServiceRecord &record = service->record;
        record.displayName = lpDisplayName != nullptr ? lpDisplayName : "";
        record.desiredAccess = dwDesiredAccess;
        record.serviceType = dwServiceType;
        record.startType = dwStartType;
        record.errorControl = dwErrorControl;
        record.binaryPath = lpBinaryPathName;
        record.hasLoadOrderGroup = lpLoadOrderGroup != nullptr;
        record.hasTagId = lpdwTagId != nullptr;
        record.dependencies = splitList(lpDependencies);
        record.hasAccount = lpServiceStartName != nullptr;
        record.hasPassword = lpPassword != nullptr;
        service->status.dwServiceType = dwServiceType;
        service->handles = 1;
        database().services[lower(lpServiceName)] = service;
    }
    standin::detail::createServiceKey(lpServiceName);
    if (lpdwTagId != nullptr) {
        *lpdwTagId = 0;
    }
    auto handle = std::make_shared<ServiceHandle>();
    handle->service = service;
    handle->access = dwDesiredAccess;
    return static_cast<SC_HANDLE>(standin::detail::addHandle(Kind::service, handle));
}

SC_HANDLE WINAPI OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess) {
    if (DWORD error = enter("OpenServiceA")) {
        setError(error);
        return nullptr;
    }
    if (!standin::detail::findHandle(hSCManager, {Kind::manager})) {
        setError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (lpServiceName == nullptr) {
        setError(ERROR_INVALID_NAME);
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(database().mutex);
    auto found = database().services.find(lower(lpServiceName));
    if (found == database().services.end()) {
        setError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    auto handle = std::make_shared<ServiceHandle>();
    handle->service = found->second;
    handle->access = dwDesiredAccess;
    ++found->second->handles;
    return static_cast<SC_HANDLE>(standin::detail::addHandle(Kind::service, handle));
}

BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
    if (DWORD error = enter("ControlService")) {
        return failWith(error);
    }
    std::shared_ptr<ServiceHandle> handle = serviceHandle(hService);
    if (!handle) {
        return failWith(ERROR_INVALID_HANDLE);
    }
    DWORD needed = standin::detail::serviceUserDefinedControl;
    switch (dwControl) {
    case SERVICE_CONTROL_STOP:
        needed = SERVICE_STOP;
        break;
    case SERVICE_CONTROL_INTERROGATE:
        needed = standin::detail::serviceInterrogate;
        break;
    default:
        if (dwControl < 128) {
            needed = standin::detail::servicePauseContinue;
        }
    }
    if ((handle->access & needed) != needed) {
        return failWith(ERROR_ACCESS_DENIED);
    }
    std::lock_guard<std::mutex> lock(database().mutex);
    Service &service = *handle->service;
    DWORD result = standin::detail::judge(true, service.status, dwControl);
    if (result == ERROR_INVALID_PARAMETER) {
        return failWith(result);
    }
    if (result == 0 && dwControl == SERVICE_CONTROL_STOP) {
        // The service takes the stop: it goes to its next scripted state, or stops at once.
        if (service.script.empty()) {
            service.status.dwCurrentState = SERVICE_STOPPED;
            service.status.dwControlsAccepted = 0;
        } else {
            standin::detail::advance(service);
        }
        standin::detail::removeIfDone(handle->service);
    }
    if (lpServiceStatus != nullptr) {
        *lpServiceStatus = service.status;
    }
    if (result != 0) {
        return failWith(result);
    }
    return TRUE;
}

BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
    if (DWORD error = enter("QueryServiceStatus")) {
        return failWith(error);
    }
    std::shared_ptr<ServiceHandle> handle = serviceHandle(hService);
    if (!handle) {
        return failWith(ERROR_INVALID_HANDLE);
    }
    if ((handle->access & SERVICE_QUERY_STATUS) == 0) {
        return failWith(ERROR_ACCESS_DENIED);
    }
    if (lpServiceStatus == nullptr) {
        return failWith(ERROR_INVALID_PARAMETER);
    }
    std::lock_guard<std::mutex> lock(database().mutex);
    standin::detail::advance(*handle->service);
    *lpServiceStatus = handle->service->status;
    standin::detail::removeIfDone(handle->service);
    return TRUE;
}

BOOL WINAPI DeleteService(SC_HANDLE hService) {
    if (DWORD error = enter("DeleteService")) {
        return failWith(error);
    }
    std::shared_ptr<ServiceHandle> handle = serviceHandle(hService);
    if (!handle) {
        return failWith(ERROR_INVALID_HANDLE);
    }
    if ((handle->access & DELETE) == 0) {
        return failWith(ERROR_ACCESS_DENIED);
    }
    std::lock_guard<std::mutex> lock(database().mutex);
    if (handle->service->record.markedForDelete) {
        return failWith(ERROR_SERVICE_MARKED_FOR_DELETE);
    }
    handle->service->record.markedForDelete = true;
    return TRUE;
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject) {
    if (DWORD error = enter("CloseServiceHandle")) {
        return failWith(error);
    }
    std::lock_guard<std::mutex> lock(database().mutex);
    Kind kind;
    std::shared_ptr<void> object =
        standin::detail::takeHandle(hSCObject, {Kind::manager, Kind::service}, &kind);
    if (!object) {
        return failWith(ERROR_INVALID_HANDLE);
    }
    if (kind == Kind::service) {
        std::shared_ptr<Service> service = std::static_pointer_cast<ServiceHandle>(object)->service;
        --service->handles;
        standin::detail::removeIfDone(service);
    }
    return TRUE;
}

} // extern "C"
