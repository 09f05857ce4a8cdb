// Tarnwick run in-process against the stand-in registry.
#include "tarnwick.h"

#include <standin/control.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

const char servicesPath[] = "SYSTEM\\CurrentControlSet\\Services";
const char servicePath[] = "SYSTEM\\CurrentControlSet\\Services\\KorvaneRMIRegistry";
const char parametersPath[] = "SYSTEM\\CurrentControlSet\\Services\\KorvaneRMIRegistry\\Parameters";

const char usageText[] =
    "\nFormat: Tarnwick RMIRegistryPath\nexample: Tarnwick c:\\jdk1.4\\bin\\rmiregistry";
const char finishedText[] = "\nTarnwick is finished.";
const char failedText[] = "\nCreate Registry Item failed.";

const char *const registryFunctions[] = {"RegOpenKeyExA",    "RegCreateKeyExA", "RegSetValueExA",
                                         "RegQueryValueExA", "RegDeleteKeyA",   "RegCloseKey"};

struct Outcome {
    int status;
    std::string output;
};

// Runs the tool with these arguments after the program name.
Outcome runWith(const std::vector<std::string> &arguments) {
    std::vector<std::string> words = {"Tarnwick"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (std::string &word : words) {
        argv.push_back(&word[0]);
    }
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    int status = runTarnwick(static_cast<int>(words.size()), argv.data());
    return {status, testing::internal::GetCapturedStdout()};
}

std::string sz(const std::string &text) {
    return text + std::string(1, '\0');
}

unsigned registryCallCount() {
    unsigned count = 0;
    for (const char *name : registryFunctions) {
        count += standin::callCount(name);
    }
    return count;
}

class TarnwickTest : public testing::Test {
  protected:
    void SetUp() override {
        standin::resetAll();
        standin::createKey(HKEY_LOCAL_MACHINE, servicePath);
        standin::setString(HKEY_LOCAL_MACHINE, servicePath, "ImagePath", "rmiregistry.exe");
        standin::clearRegistryCalls();
    }

    void expectAllKeysClosed() {
        EXPECT_EQ(standin::openKeyCount(), 0);
        EXPECT_EQ(standin::badHandleUses(), 0);
    }
};

// ---- the command line ----

class UsageTest : public TarnwickTest,
                  public testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(UsageTest, PrintsUsageAndLeavesTheRegistryAlone) {
    const std::string before = standin::registryText();
    Outcome run = runWith(GetParam());
    EXPECT_EQ(run.output, usageText);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(registryCallCount(), 0u);
    EXPECT_TRUE(standin::registryCalls().empty());
    EXPECT_EQ(standin::registryText(), before);
}

INSTANTIATE_TEST_SUITE_P(ArgumentCounts, UsageTest,
                         testing::Values(std::vector<std::string>{},
                                         std::vector<std::string>{"c:\\jdk\\bin\\rmiregistry", "x"},
                                         std::vector<std::string>{"a", "b", "c"}),
                         [](const testing::TestParamInfo<std::vector<std::string>> &info) {
                             return "Arguments" + std::to_string(info.param.size());
                         });

// ---- storing the path ----

class StoreTest : public TarnwickTest, public testing::WithParamInterface<const char *> {};

TEST_P(StoreTest, StoresTheArgumentBytesAndOneNul) {
    const std::string path = GetParam();
    Outcome run = runWith({path});
    EXPECT_EQ(run.output, finishedText);
    EXPECT_EQ(run.status, 0);
    auto value = standin::getValue(HKEY_LOCAL_MACHINE, parametersPath, "Application");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(value->data, sz(path));
    EXPECT_EQ(value->data.size(), path.size() + 1);
    expectAllKeysClosed();
}

INSTANTIATE_TEST_SUITE_P(Paths, StoreTest,
                         testing::Values("c:\\jdk1.4\\bin\\rmiregistry",
                                         "C:\\Program Files\\Java\\jdk 17\\bin\\rmiregistry.exe",
                                         "",                              // a one-byte value
                                         "D:\\J\xe4va\\bin\\rmiregistry", // a byte above 0x7f
                                         "\"quoted\" %PATH% ;x"));

TEST_F(TarnwickTest, WalksDownOneLevelAtATimeAndClosesEachKeyWhenTheNextIsOpen) {
    Outcome run = runWith({"c:\\rmi"});
    ASSERT_EQ(run.status, 0);
    const std::string hklm = "HKLM\\";
    const std::string service = hklm + servicePath;
    const std::vector<std::string> expected = {
        "RegOpenKeyExA HKLM\\SYSTEM 0x20019",
        "RegOpenKeyExA HKLM\\SYSTEM\\CurrentControlSet 0x20019",
        "RegCloseKey HKLM\\SYSTEM",
        "RegOpenKeyExA HKLM\\SYSTEM\\CurrentControlSet\\Services 0x20019",
        "RegCloseKey HKLM\\SYSTEM\\CurrentControlSet",
        "RegOpenKeyExA " + service + " 0x20019",
        "RegCloseKey HKLM\\SYSTEM\\CurrentControlSet\\Services",
        "RegCreateKeyExA " + service + "\\Parameters 0xf003f class=LocalSystem",
        "RegCloseKey " + service,
        "RegSetValueExA " + service + "\\Parameters Application type=1 size=7",
        "RegCloseKey " + service + "\\Parameters",
    };
    EXPECT_EQ(standin::registryCalls(), expected);
    EXPECT_EQ(standin::keyClass(HKEY_LOCAL_MACHINE, parametersPath), "LocalSystem");
}

TEST_F(TarnwickTest, ChangesOnlyApplicationInAnExistingParametersKey) {
    standin::setString(HKEY_LOCAL_MACHINE, parametersPath, "Application", "c:\\old\\rmiregistry");
    standin::setString(HKEY_LOCAL_MACHINE, parametersPath, "Other", "kept");
    standin::setDword(HKEY_LOCAL_MACHINE, parametersPath, "Port", 1099);
    Outcome run = runWith({"c:\\new\\rmiregistry"});
    EXPECT_EQ(run.output, finishedText);
    EXPECT_EQ(standin::getValue(HKEY_LOCAL_MACHINE, parametersPath, "Application")->data,
              sz("c:\\new\\rmiregistry"));
    EXPECT_EQ(standin::getValue(HKEY_LOCAL_MACHINE, parametersPath, "Other")->data, sz("kept"));
    auto port = standin::getValue(HKEY_LOCAL_MACHINE, parametersPath, "Port");
    ASSERT_TRUE(port.has_value());
    EXPECT_EQ(port->type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(port->data, std::string("\x4b\x04\0\0", 4));
    EXPECT_EQ(standin::valueNames(HKEY_LOCAL_MACHINE, parametersPath).size(), 3u);
    EXPECT_EQ(standin::valueNames(HKEY_LOCAL_MACHINE, servicePath),
              std::vector<std::string>{"ImagePath"});
    expectAllKeysClosed();
}

TEST_F(TarnwickTest, ASecondRunReplacesThePathOfTheFirst) {
    ASSERT_EQ(runWith({"c:\\first path\\rmiregistry"}).status, 0);
    Outcome run = runWith({"c:\\second\\rmiregistry"});
    EXPECT_EQ(run.output, finishedText);
    EXPECT_EQ(standin::getValue(HKEY_LOCAL_MACHINE, parametersPath, "Application")->data,
              sz("c:\\second\\rmiregistry"));
    EXPECT_EQ(standin::valueNames(HKEY_LOCAL_MACHINE, parametersPath),
              std::vector<std::string>{"Application"});
    expectAllKeysClosed();
}

TEST_F(TarnwickTest, FailsWithoutTheServiceKeyAndCreatesNothing) {
    standin::deleteKeyTree(HKEY_LOCAL_MACHINE, servicePath);
    standin::createKey(HKEY_LOCAL_MACHINE, std::string(servicesPath) + "\\OtherService");
    const std::string before = standin::registryText();
    Outcome run = runWith({"c:\\rmi"});
    EXPECT_EQ(run.output, failedText);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(standin::registryText(), before);
    EXPECT_EQ(standin::registryText().find("Parameters"), std::string::npos);
    EXPECT_EQ(standin::callCount("RegCreateKeyExA"), 0u);
    expectAllKeysClosed();
}

// ---- a registry step refused ----

struct Refusal {
    const char *name;
    std::function<void()> arrange;
    bool parametersStays; // "Parameters" exists after the failed run
};

void PrintTo(const Refusal &c, std::ostream *os) {
    *os << c.name;
}

class RefusalTest : public TarnwickTest, public testing::WithParamInterface<Refusal> {};

TEST_P(RefusalTest, FailsAndClosesEveryKey) {
    GetParam().arrange();
    Outcome run = runWith({"c:\\rmi"});
    EXPECT_EQ(run.output, failedText);
    EXPECT_EQ(run.status, 1);
    expectAllKeysClosed();
    EXPECT_EQ(standin::keyExists(HKEY_LOCAL_MACHINE, parametersPath), GetParam().parametersStays);
    EXPECT_FALSE(standin::getValue(HKEY_LOCAL_MACHINE, parametersPath, "Application").has_value());
}

void denyRead(const std::string &path) {
    standin::denyAccess(HKEY_LOCAL_MACHINE, path, KEY_READ);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, RefusalTest,
    testing::Values(
        Refusal{"OpenSystem", [] { denyRead("SYSTEM"); }, false},
        Refusal{"OpenCurrentControlSet", [] { denyRead("SYSTEM\\CurrentControlSet"); }, false},
        Refusal{"OpenServices", [] { denyRead(servicesPath); }, false},
        Refusal{"OpenServiceKey", [] { denyRead(servicePath); }, false},
        Refusal{"CreateParameters",
                [] { standin::denyAccess(HKEY_LOCAL_MACHINE, parametersPath, KEY_ALL_ACCESS); },
                false},
        Refusal{"SetApplication", [] { standin::failCall("RegSetValueExA", ERROR_ACCESS_DENIED); },
                true}),
    [](const testing::TestParamInfo<Refusal> &info) { return std::string(info.param.name); });

} // namespace
