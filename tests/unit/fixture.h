// Shared set-up of the host's tests: a clean stand-in, and a registered JRE whose runtime
// library is the test JVM library.
#pragma once

#include "host.h"

#include <standin/control.h>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace hosttest {

const char vendorKey[] = "SOFTWARE\\Korvane\\Halvex\\Server\\JavaSoft\\Java Runtime Environment";
const char versionKey[] =
    "SOFTWARE\\Korvane\\Halvex\\Server\\JavaSoft\\Java Runtime Environment\\17";

inline void registerJre(const std::string &library = TESTJVM_LIB) {
    standin::setString(HKEY_LOCAL_MACHINE, vendorKey, "CurrentVersion", "17");
    standin::setString(HKEY_LOCAL_MACHINE, versionKey, "RuntimeLib", library);
    standin::setString(HKEY_LOCAL_MACHINE, versionKey, "MicroVersion", "0");
}

// The texts of the event-log entries, without the source prefix, which is checked here.
inline std::vector<std::string> loggedLines() {
    std::vector<std::string> lines;
    const std::string prefix = std::string(serviceName) + ": ";
    for (const standin::EventRecord &record : standin::eventLog()) {
        EXPECT_EQ(record.strings.size(), 1u);
        if (record.strings.empty()) {
            continue;
        }
        const std::string &text = record.strings[0];
        EXPECT_EQ(text.compare(0, prefix.size(), prefix), 0) << text;
        lines.push_back(text.substr(prefix.size()));
    }
    return lines;
}

inline std::vector<std::string> fileLines(const std::string &path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// Lines of the test JVM library's call log that begin with `prefix`.
inline std::vector<std::string> jvmCalls(const std::string &log, const std::string &prefix) {
    std::vector<std::string> found;
    for (const std::string &line : fileLines(log)) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            found.push_back(line);
        }
    }
    return found;
}

// Runs `body` as the service-main routine of a dispatcher of the stand-in, with the host's
// control handler registered and its handle in statusHandle; a stopped report ends the run.
inline void runAsService(std::function<void()> body) {
    static std::function<void()> current;
    current = std::move(body);
    static SERVICE_TABLE_ENTRYA table[] = {
        {const_cast<LPSTR>(serviceName),
         [](DWORD, LPSTR *) {
             statusHandle = RegisterServiceCtrlHandlerA(serviceName, serviceControlHandler);
             current();
             SERVICE_STATUS stopped = {SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};
             SetServiceStatus(statusHandle, &stopped);
         }},
        {nullptr, nullptr}};
    standin::setStartedByServiceManager(true);
    EXPECT_TRUE(StartServiceCtrlDispatcherA(table));
}

class HostTest : public testing::Test {
  protected:
    void SetUp() override {
        standin::resetAll();
        // One log per test, named after it; the names of parameterised tests hold slashes.
        const testing::TestInfo *test = testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(test->test_suite_name()) + "." + test->name();
        for (char &c : name) {
            if (c == '/') {
                c = '_';
            }
        }
        jvmLog = testing::TempDir() + "testjvm-" + name + ".log";
        std::remove(jvmLog.c_str());
        setenv("TESTJVM_LOG", jvmLog.c_str(), 1);
        unsetenv("TESTJVM_FAIL");
        unsetenv("TESTJVM_MAIN");
    }

    std::string jvmLog;
};

} // namespace hosttest
