// Installation and removal against the stand-in's service manager and registry.
#include "fixture.h"

namespace {

const char exePath[] = "C:\\Program Files\\Korvane\\repohost.exe";
const char serviceKey[] = "SYSTEM\\CurrentControlSet\\Services\\KorvaneRepository";
const char parametersKey[] = "SYSTEM\\CurrentControlSet\\Services\\KorvaneRepository\\Parameters";
const char eventSourceKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\KorvaneRepository";
const std::string pathLine = std::string("name of binary file:") + exePath + "\n";

class Install : public hosttest::HostTest {
  protected:
    void SetUp() override {
        hosttest::HostTest::SetUp();
        standin::setModuleFileName(exePath);
        standin::setVirtualSleep(true);
    }

    std::string run(std::vector<std::string> arguments) {
        std::vector<char *> argv;
        for (std::string &argument : arguments) {
            argv.push_back(&argument[0]);
        }
        argv.push_back(nullptr);
        testing::internal::CaptureStdout();
        EXPECT_EQ(hostMain(static_cast<int>(arguments.size()), argv.data()), 0);
        std::string output = testing::internal::GetCapturedStdout();
        EXPECT_EQ(standin::openKeyCount(), 0);
        EXPECT_EQ(standin::openServiceHandles(), 0);
        return output;
    }

    std::optional<std::string> value(const char *key, const char *name, DWORD type = REG_SZ) {
        std::optional<standin::RegValue> v = standin::getValue(HKEY_LOCAL_MACHINE, key, name);
        if (!v) {
            return std::nullopt;
        }
        EXPECT_EQ(v->type, type) << name;
        return v->data;
    }
};

TEST_F(Install, CreatesTheServiceRecordEventSourceAndParameters) {
    EXPECT_EQ(run({"repohost", "-i", "-Xmx256m", "wrkdir=C:\\srv", "start"}),
              pathLine + "Korvane Repository installed.\n");

    std::optional<standin::ServiceRecord> record = standin::service("KorvaneRepository");
    ASSERT_TRUE(record);
    EXPECT_EQ(record->displayName, "Korvane Repository");
    EXPECT_EQ(record->desiredAccess, 0xF01FFu);
    EXPECT_EQ(record->serviceType, 0x10u);
    EXPECT_EQ(record->startType, 2u);
    EXPECT_EQ(record->errorControl, 1u);
    // Quoted, so that a path with blanks is never taken apart.
    EXPECT_EQ(record->binaryPath, std::string("\"") + exePath + "\"");
    EXPECT_FALSE(record->hasLoadOrderGroup);
    EXPECT_FALSE(record->hasTagId);
    EXPECT_EQ(record->dependencies, std::vector<std::string>{"KorvaneRMIRegistry"});
    EXPECT_FALSE(record->hasAccount);
    EXPECT_FALSE(record->hasPassword);

    // The message file is a file name, not a command line: the plain path, with its NUL.
    EXPECT_EQ(value(eventSourceKey, "EventMessageFile"), std::string(exePath) + '\0');
    EXPECT_EQ(value(eventSourceKey, "TypesSupported", REG_DWORD), std::string("\4\0\0\0", 4));
    EXPECT_EQ(standin::valueNames(HKEY_LOCAL_MACHINE, eventSourceKey).size(), 2u);
    EXPECT_EQ(standin::keyClass(HKEY_LOCAL_MACHINE, eventSourceKey), "LocalSystem");

    EXPECT_EQ(value(parametersKey, "AppParameters"),
              std::string("-Xmx256m\twrkdir=C:\\srv\tstart") + '\0');
    EXPECT_EQ(standin::valueNames(HKEY_LOCAL_MACHINE, parametersKey).size(), 1u);
    EXPECT_EQ(standin::keyClass(HKEY_LOCAL_MACHINE, parametersKey), "LocalSystem");
}

TEST_F(Install, WithoutLaunchParametersWritesNoAppParameters) {
    EXPECT_EQ(run({"repohost", "/I"}), pathLine + "Korvane Repository installed.\n" +
                                           "Could not create AppParameters string.\n");
    EXPECT_TRUE(standin::service("KorvaneRepository"));
    EXPECT_TRUE(standin::keyExists(HKEY_LOCAL_MACHINE, parametersKey));
    EXPECT_FALSE(value(parametersKey, "AppParameters"));
    EXPECT_TRUE(value(eventSourceKey, "EventMessageFile"));
}

TEST_F(Install, RefusesLaunchParametersAboveTheCapacity) {
    EXPECT_EQ(run({"repohost", "-i", std::string(4096, 'a'), std::string(4095, 'b')}),
              pathLine + "Korvane Repository installed.\n" +
                  "Could not create AppParameters string.\n");
    EXPECT_FALSE(value(parametersKey, "AppParameters"));
    run({"repohost", "-r"});
    EXPECT_EQ(run({"repohost", "-i", std::string(4095, 'a'), std::string(4095, 'b')}),
              pathLine + "Korvane Repository installed.\n");
    EXPECT_EQ(value(parametersKey, "AppParameters")->size(), 8192u);
}

TEST_F(Install, ASecondInstallFailsAndChangesNothing) {
    run({"repohost", "-i", "first"});
    std::string before = standin::registryText();
    EXPECT_EQ(run({"repohost", "-i", "second"}),
              pathLine + "CreateService failed - The specified service already exists. (0x431)\n");
    EXPECT_EQ(standin::registryText(), before);
}

TEST_F(Install, WithoutRightsEndsAfterTheManagerOpen) {
    standin::failCall("OpenSCManagerA", ERROR_ACCESS_DENIED, 0, 0);
    EXPECT_EQ(run({"repohost", "-i", "x"}),
              pathLine + "OpenSCManager failed - Access is denied. (0x5)\n");
    EXPECT_EQ(run({"repohost", "-r"}), "OpenSCManager failed - Access is denied. (0x5)\n");
    EXPECT_TRUE(standin::serviceNames().empty());
    EXPECT_FALSE(standin::keyExists(HKEY_LOCAL_MACHINE, eventSourceKey));
}

TEST_F(Install, ReportsAPathThatDoesNotFitItsBuffer) {
    standin::setModuleFileName("C:\\" + std::string(600, 'p') + ".exe");
    EXPECT_EQ(run({"repohost", "-i"}),
              "Unable to install Korvane Repository - The data area passed to a system call is "
              "too small. (0x7a)\n");
    EXPECT_TRUE(standin::serviceNames().empty());
}

struct WriteFailure {
    const char *name;
    const char *call;
    unsigned skip;
    std::string messages;
    bool eventSourceValues, appParameters;
};

void PrintTo(const WriteFailure &c, std::ostream *os) {
    *os << c.name;
}

class InstallWrite : public Install, public testing::WithParamInterface<WriteFailure> {};

TEST_P(InstallWrite, ReportsTheStepAndGoesOn) {
    const WriteFailure &f = GetParam();
    standin::failCall(f.call, ERROR_ACCESS_DENIED, f.skip);
    EXPECT_EQ(run({"repohost", "-i", "a"}),
              pathLine + "Korvane Repository installed.\n" + f.messages);
    EXPECT_TRUE(standin::service("KorvaneRepository"));
    EXPECT_EQ(bool(value(eventSourceKey, "EventMessageFile")) &&
                  bool(value(eventSourceKey, "TypesSupported", REG_DWORD)),
              f.eventSourceValues);
    EXPECT_EQ(bool(value(parametersKey, "AppParameters")), f.appParameters);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InstallWrite,
    testing::Values(WriteFailure{"EventLogKey", "RegCreateKeyExA", 0,
                                 "The EventLog subkey could not be created.\n"
                                 "The Message File value could\nnot be assigned.\n"
                                 "The Types Supported value could\nnot be assigned.\n",
                                 false, true},
                    WriteFailure{"MessageFile", "RegSetValueExA", 0,
                                 "The Message File value could\nnot be assigned.\n", false, true},
                    WriteFailure{"TypesSupported", "RegSetValueExA", 1,
                                 "The Types Supported value could\nnot be assigned.\n", false,
                                 true},
                    WriteFailure{"ParametersKey", "RegCreateKeyExA", 1,
                                 "Could not create Parameters subkey.\n", true, false},
                    WriteFailure{"AppParameters", "RegSetValueExA", 2,
                                 "Could not save AppParameters value.\n", true, false}),
    [](const testing::TestParamInfo<WriteFailure> &info) { return info.param.name; });

TEST_F(Install, RemoveOfAServiceThatIsNotInstalled) {
    std::string before = standin::registryText();
    EXPECT_EQ(run({"repohost", "-r", "ignored"}),
              "OpenService failed - The specified service does not exist as an installed "
              "service. (0x424)\n");
    EXPECT_EQ(standin::registryText(), before);
}

TEST_F(Install, RemoveOfAStoppedService) {
    run({"repohost", "-i", "a"});
    EXPECT_EQ(run({"repohost", "-R"}), "Korvane Repository removed.\n");
    EXPECT_FALSE(standin::service("KorvaneRepository"));
    EXPECT_FALSE(standin::keyExists(HKEY_LOCAL_MACHINE, eventSourceKey));
    EXPECT_FALSE(standin::keyExists(HKEY_LOCAL_MACHINE, serviceKey));
    EXPECT_EQ(standin::sleptMilliseconds(), 0u);
}

TEST_F(Install, RemoveOfARunningServicePollsWhileItStops) {
    standin::addService("KorvaneRepository", SERVICE_RUNNING);
    standin::createKey(HKEY_LOCAL_MACHINE, eventSourceKey);
    // The stop moves it to stop-pending; two polls still find it there, the third stopped.
    standin::scriptServiceStates("KorvaneRepository", {SERVICE_STOP_PENDING, SERVICE_STOP_PENDING,
                                                       SERVICE_STOP_PENDING, SERVICE_STOPPED});
    EXPECT_EQ(run({"repohost", "-r"}), "Stopping Korvane Repository...\n"
                                       "Korvane Repository stopped.\n"
                                       "Korvane Repository removed.\n");
    EXPECT_EQ(standin::sleptMilliseconds(), 3000u);
    EXPECT_FALSE(standin::keyExists(HKEY_LOCAL_MACHINE, eventSourceKey));
}

TEST_F(Install, RemoveOfAServiceThatFailsToStopStillDeletesIt) {
    standin::addService("KorvaneRepository", SERVICE_RUNNING);
    standin::scriptServiceStates("KorvaneRepository", {SERVICE_STOP_PENDING, SERVICE_RUNNING});
    EXPECT_EQ(run({"repohost", "-r"}), "Stopping Korvane Repository.\n"
                                       "Korvane Repository failed to stop.\n"
                                       "Korvane Repository removed.\n");
    std::optional<standin::ServiceRecord> record = standin::service("KorvaneRepository");
    ASSERT_TRUE(record);
    EXPECT_TRUE(record->markedForDelete);
}

TEST_F(Install, RemoveWhileStartPendingMarksForDeletionAndBlocksAReinstall) {
    standin::addService("KorvaneRepository", SERVICE_START_PENDING);
    EXPECT_EQ(run({"repohost", "-r"}), "Korvane Repository removed.\n");
    std::optional<standin::ServiceRecord> record = standin::service("KorvaneRepository");
    ASSERT_TRUE(record);
    EXPECT_TRUE(record->markedForDelete);
    std::string before = standin::registryText();
    EXPECT_EQ(run({"repohost", "-i", "a"}),
              pathLine +
                  "CreateService failed - The specified service has been marked for deletion. "
                  "(0x430)\n");
    EXPECT_EQ(standin::registryText(), before);
}

TEST_F(Install, RemoveKeepsTheEventSourceWhenTheDeletionFails) {
    run({"repohost", "-i", "a"});
    standin::failCall("DeleteService", ERROR_ACCESS_DENIED);
    EXPECT_EQ(run({"repohost", "-r"}), "DeleteService failed - Access is denied. (0x5)\n");
    EXPECT_TRUE(standin::keyExists(HKEY_LOCAL_MACHINE, eventSourceKey));
    EXPECT_TRUE(standin::service("KorvaneRepository"));
}

TEST_F(Install, FormatsTheLastErrorWithinItsCapacity) {
    struct Case {
        DWORD code;
        int capacity;
        std::string text;
    } cases[] = {
        {ERROR_ACCESS_DENIED, 256, "Access is denied. (0x5)"},
        // "Access is denied.\r\n" is 19 characters: 33 bytes are needed.
        {ERROR_ACCESS_DENIED, 33, "Access is denied. (0x5)"},
        {ERROR_ACCESS_DENIED, 32, ""},
        {ERROR_SERVICE_EXISTS, 256, "The specified service already exists. (0x431)"},
        {0xDEAD, 256, ""},
        // A system text with an insert comes back with the insert as written.
        {129, 256, "The %1 application cannot be run in Win32 mode. (0x81)"},
    };
    for (const Case &c : cases) {
        char buffer[300];
        memset(buffer, 'Z', sizeof buffer);
        SetLastError(c.code);
        EXPECT_EQ(formatLastError(buffer, c.capacity), buffer);
        EXPECT_EQ(std::string(buffer), c.text) << c.code << " in " << c.capacity;
        EXPECT_EQ(buffer[c.capacity], 'Z');
    }
}

} // namespace
