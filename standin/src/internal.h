// Shared internals of the stand-in: fault injection, call hooks, the handle table, the trace.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <memory>
#include <string>

namespace standin {
namespace detail {

// Every API function starts with this: it runs the call's hook, counts the call and returns the
// error injected for it, or 0.
DWORD enter(const char *name);
void setError(DWORD error);

enum class Kind { key, event, thread, eventSource, statusHandle, manager, service };
HANDLE addHandle(Kind kind, std::shared_ptr<void> object);
// The object of an open handle of that kind; null (and a bad use counted) otherwise.
std::shared_ptr<void> findHandle(HANDLE handle, std::initializer_list<Kind> kinds);
// Removes an open handle of one of the kinds; false (and a bad use counted) for a bad handle.
bool removeHandle(HANDLE handle, std::initializer_list<Kind> kinds);
// Removes an open handle of one of the kinds and gives its object and kind; null (and a bad use
// counted) for a bad handle.
std::shared_ptr<void> takeHandle(HANDLE handle, std::initializer_list<Kind> kinds, Kind *kind);
int countHandles(Kind kind);

// Appends one line to the trace file, if there is one.
void trace(const std::string &line);
std::string lower(const std::string &text);

// The registry as the service manager keeps its records there.
void createServiceKey(const std::string &name);
void deleteServiceKey(const std::string &name);
void resetRegistryState();
void resetConsoleState();
void resetEventLog();
void resetServiceManager();
void resetProcessState();
void startChannel();

} // namespace detail
} // namespace standin
