// Last error, fault injection, call hooks, the handle table, the trace and the process channel.
#include "internal.h"

#include <standin/control.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace standin {
namespace detail {
namespace {

thread_local DWORD lastError;

struct Fault {
    DWORD error;
    unsigned skip;
    unsigned times; // 0: for ever
};

struct Calls {
    std::mutex mutex;
    std::map<std::string, std::vector<Fault>> faults;
    std::map<std::string, unsigned> counts;
    std::map<std::string, std::shared_ptr<std::function<void()>>> hooks;
};

Calls &calls() {
    static Calls *instance = new Calls;
    return *instance;
}

struct Handles {
    std::mutex mutex;
    uintptr_t next = 0x1000;
    std::map<uintptr_t, std::pair<Kind, std::shared_ptr<void>>> open;
    int badUses = 0;
};

Handles &handles() {
    static Handles *instance = new Handles;
    return *instance;
}

void parseFaults(const char *text) {
    // Name:error[:skip[:times]],...
    std::string all = text;
    size_t start = 0;
    while (start < all.size()) {
        size_t end = all.find(',', start);
        std::string item =
            all.substr(start, end == std::string::npos ? std::string::npos : end - start);
        std::vector<std::string> parts;
        size_t from = 0;
        for (size_t colon; (colon = item.find(':', from)) != std::string::npos; from = colon + 1) {
            parts.push_back(item.substr(from, colon - from));
        }
        parts.push_back(item.substr(from));
        if (parts.size() >= 2 && !parts[0].empty()) {
            failCall(parts[0], static_cast<DWORD>(strtoul(parts[1].c_str(), nullptr, 0)),
                     parts.size() > 2 ? static_cast<unsigned>(atoi(parts[2].c_str())) : 0,
                     parts.size() > 3 ? static_cast<unsigned>(atoi(parts[3].c_str())) : 1);
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
}

struct Startup {
    Startup() {
        if (const char *faults = getenv("STANDIN_FAULTS")) {
            parseFaults(faults);
        }
        const char *service = getenv("STANDIN_SERVICE");
        if (service != nullptr && strcmp(service, "0") != 0 && service[0] != '\0') {
            setStartedByServiceManager(true);
        }
        startChannel();
    }
};

} // namespace

DWORD enter(const char *name) {
    Calls &c = calls();
    std::shared_ptr<std::function<void()>> hook;
    {
        std::lock_guard<std::mutex> lock(c.mutex);
        auto found = c.hooks.find(name);
        if (found != c.hooks.end()) {
            hook = found->second;
        }
    }
    if (hook) {
        (*hook)();
    }
    std::lock_guard<std::mutex> lock(c.mutex);
    ++c.counts[name];
    auto found = c.faults.find(name);
    if (found == c.faults.end()) {
        return 0;
    }
    for (auto fault = found->second.begin(); fault != found->second.end(); ++fault) {
        if (fault->skip > 0) {
            --fault->skip;
            continue;
        }
        DWORD error = fault->error;
        if (fault->times == 1) {
            found->second.erase(fault);
        } else if (fault->times > 1) {
            --fault->times;
        }
        return error;
    }
    return 0;
}

void setError(DWORD error) {
    lastError = error;
}

HANDLE addHandle(Kind kind, std::shared_ptr<void> object) {
    Handles &h = handles();
    std::lock_guard<std::mutex> lock(h.mutex);
    uintptr_t value = h.next;
    h.next += 4;
    h.open[value] = {kind, std::move(object)};
    return reinterpret_cast<HANDLE>(value);
}

namespace {

bool oneOf(Kind kind, std::initializer_list<Kind> kinds) {
    for (Kind k : kinds) {
        if (k == kind) {
            return true;
        }
    }
    return false;
}

} // namespace

namespace {

// The open handle of one of `kinds`, or the end of the table, counted as a bad use; the caller
// holds the table's mutex.
auto lookUp(Handles &h, HANDLE handle, std::initializer_list<Kind> kinds) {
    auto found = h.open.find(reinterpret_cast<uintptr_t>(handle));
    if (found == h.open.end() || !oneOf(found->second.first, kinds)) {
        ++h.badUses;
        return h.open.end();
    }
    return found;
}

} // namespace

std::shared_ptr<void> findHandle(HANDLE handle, std::initializer_list<Kind> kinds) {
    Handles &h = handles();
    std::lock_guard<std::mutex> lock(h.mutex);
    auto found = lookUp(h, handle, kinds);
    return found == h.open.end() ? nullptr : found->second.second;
}

bool removeHandle(HANDLE handle, std::initializer_list<Kind> kinds) {
    Handles &h = handles();
    std::lock_guard<std::mutex> lock(h.mutex);
    auto found = lookUp(h, handle, kinds);
    if (found == h.open.end()) {
        return false;
    }
    h.open.erase(found);
    return true;
}

std::shared_ptr<void> takeHandle(HANDLE handle, std::initializer_list<Kind> kinds, Kind *kind) {
    Handles &h = handles();
    std::lock_guard<std::mutex> lock(h.mutex);
    auto found = lookUp(h, handle, kinds);
    if (found == h.open.end()) {
        return nullptr;
    }
    *kind = found->second.first;
    std::shared_ptr<void> object = std::move(found->second.second);
    h.open.erase(found);
    return object;
}

int countHandles(Kind kind) {
    Handles &h = handles();
    std::lock_guard<std::mutex> lock(h.mutex);
    int count = 0;
    for (const auto &entry : h.open) {
        count += entry.second.first == kind ? 1 : 0;
    }
    return count;
}

void trace(const std::string &line) {
    static const char *path = getenv("STANDIN_TRACE");
    if (path == nullptr || path[0] == '\0') {
        return;
    }
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    std::string text = line + "\n";
    ssize_t written = write(fd, text.data(), text.size());
    (void)written;
    close(fd);
}

std::string lower(const std::string &text) {
    std::string result = text;
    for (char &c : result) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return result;
}

void runChannelCommand(const char *line) {
    char command[32];
    unsigned long value = 0;
    if (sscanf(line, "%31s %lu", command, &value) != 2) {
        return;
    }
    DWORD code = static_cast<DWORD>(value);
    if (strcmp(command, "console") == 0) {
        raiseConsoleEventAsync(code);
    } else if (strcmp(command, "service") == 0) {
        // The sender waits for the handler; the channel goes on reading meanwhile.
        std::thread([code] { sendServiceControl(code); }).detach();
    }
}

// Reads commands from a FIFO (opened anew after each writer has gone) or from a regular file
// (followed as it grows).
void readChannel(const std::string &path) {
    struct stat info;
    bool fifo = stat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
    for (;;) {
        FILE *in = fopen(path.c_str(), "r");
        if (in == nullptr) {
            return;
        }
        std::string line;
        for (;;) {
            int c = fgetc(in);
            if (c == EOF) {
                if (fifo) {
                    break;
                }
                clearerr(in);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                continue;
            }
            if (c == '\n') {
                runChannelCommand(line.c_str());
                line.clear();
            } else if (line.size() < 256) {
                line += static_cast<char>(c);
            }
        }
        if (!line.empty()) {
            runChannelCommand(line.c_str());
        }
        fclose(in);
    }
}

void startChannel() {
    const char *path = getenv("STANDIN_CONTROL");
    if (path == nullptr || path[0] == '\0') {
        return;
    }
    std::string channel = path;
    std::thread([channel] { readChannel(channel); }).detach();
}

Startup startup;

} // namespace detail

void failCall(const std::string &name, DWORD error, unsigned skip, unsigned times) {
    detail::Calls &c = detail::calls();
    std::lock_guard<std::mutex> lock(c.mutex);
    c.faults[name].push_back({error, skip, times});
}

void clearFaults() {
    detail::Calls &c = detail::calls();
    std::lock_guard<std::mutex> lock(c.mutex);
    c.faults.clear();
}

void onCall(const std::string &name, std::function<void()> hook) {
    detail::Calls &c = detail::calls();
    std::lock_guard<std::mutex> lock(c.mutex);
    if (hook) {
        c.hooks[name] = std::make_shared<std::function<void()>>(std::move(hook));
    } else {
        c.hooks.erase(name);
    }
}

unsigned callCount(const std::string &name) {
    detail::Calls &c = detail::calls();
    std::lock_guard<std::mutex> lock(c.mutex);
    auto found = c.counts.find(name);
    return found == c.counts.end() ? 0 : found->second;
}

int badHandleUses() {
    detail::Handles &h = detail::handles();
    std::lock_guard<std::mutex> lock(h.mutex);
    return h.badUses;
}

void resetAll() {
    {
        detail::Calls &c = detail::calls();
        std::lock_guard<std::mutex> lock(c.mutex);
        c.faults.clear();
        c.counts.clear();
        c.hooks.clear();
    }
    {
        detail::Handles &h = detail::handles();
        std::lock_guard<std::mutex> lock(h.mutex);
        h.badUses = 0;
    }
    detail::resetRegistryState();
    detail::resetConsoleState();
    detail::resetEventLog();
    detail::resetServiceManager();
    detail::resetProcessState();
}

} // namespace standin

extern "C" {

DWORD WINAPI GetLastError(void) {
    return standin::detail::lastError;
}

void WINAPI SetLastError(DWORD dwErrCode) {
    standin::detail::lastError = dwErrCode;
}

} // extern "C"
