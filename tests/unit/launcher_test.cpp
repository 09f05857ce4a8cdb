// The JVM launcher against the stand-in registry and the test JVM library: each failure line,
// what each ending leaves behind, and the registry string read.
#include "fixture.h"

#include <string.h>
#include <unistd.h>

namespace {

using hosttest::fileLines;
using hosttest::jvmCalls;
using hosttest::loggedLines;
using hosttest::registerJre;
using hosttest::versionKey;
using Lines = std::vector<std::string>;

class Launcher : public hosttest::HostTest {
  protected:
    // Runs the launcher on this thread with the given launch parameters.
    void launch(std::vector<std::string> parameters) {
        std::vector<char *> vector;
        for (std::string &parameter : parameters) {
            vector.push_back(&parameter[0]);
        }
        unsigned n = static_cast<unsigned>(vector.size());
        // The lists of an earlier launch in the same test go first.
        releaseArgumentList(&jvmOptions);
        releaseArgumentList(&appArguments);
        jvmOptions = collectJvmOptions(n, vector.data());
        appArguments = collectAppArguments(n, vector.data());
        workingDirectory = findWorkingDirectory(n, vector.data());
        launchJvm(nullptr);
    }
};

const char noJre[] = "Cannot locate JavaSoft or IBM registry information. Is the JRE properly "
                     "installed?";
const char noVersion17[] =
    "Cannot locate JRE 17 registry information. Is the JRE properly installed?";

TEST_F(Launcher, RunsMainWithTheOptionsAndArgumentsInOrder) {
    registerJre();
    launch({"-Xmx64m", "app1", "/Dk=v", "-i", ""});

    EXPECT_EQ(loggedLines(), Lines{});
    Lines calls = fileLines(jvmLog);
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(
        jvmCalls(jvmLog, "JNI_CreateJavaVM version=0x10002 nOptions=2 ignoreUnrecognized=1").size(),
        1u);
    Lines options = jvmCalls(jvmLog, "option ");
    ASSERT_EQ(options.size(), 2u);
    EXPECT_EQ(options[0].rfind("option -Xmx64m", 0), 0u);
    EXPECT_EQ(options[1].rfind("option /Dk=v", 0), 0u);
    Lines main = jvmCalls(jvmLog, "CallStaticVoidMethod ");
    ASSERT_EQ(main.size(), 1u);
    EXPECT_EQ(main[0].rfind("CallStaticVoidMethod main [app1,-i,]", 0), 0u) << main[0];
    EXPECT_EQ(jvmCalls(jvmLog, "FindClass com/korvane/repository/RepositoryImpl").size(), 1u);
    EXPECT_EQ(jvmCalls(jvmLog, "GetStaticMethodID main ([Ljava/lang/String;)V").size(), 1u);
    EXPECT_EQ(jvmCalls(jvmLog, "DestroyJavaVM").size(), 1u);
    EXPECT_EQ(standin::consoleHandlerCount(), 1);
    EXPECT_TRUE(standin::consoleAllocated());
    // The delivered build has no event manager: the bridge makes no JNI call.
    EXPECT_EQ(jvmCalls(jvmLog, "CallStaticObjectMethod").size(), 0u);
    EXPECT_EQ(jvmCalls(jvmLog, "NewGlobalRef").size(), 0u);
    EXPECT_EQ(standin::openKeyCount(), 0);
}

TEST_F(Launcher, WithoutAnEventManagerConsoleEventsDispatchNothing) {
    if (eventManagerClassName[0] != '\0') {
        GTEST_SKIP() << "built with an event manager";
    }
    registerJre();
    launch({});
    for (DWORD type : {CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT}) {
        EXPECT_TRUE(consoleControlHandler(type));
    }
    EXPECT_EQ(jvmCalls(jvmLog, "AttachCurrentThread").size(), 0u);
    EXPECT_EQ(loggedLines(), Lines{});
}

TEST_F(Launcher, GivesMainAnEmptyArrayWithoutArguments) {
    registerJre();
    launch({});
    EXPECT_EQ(loggedLines(), Lines{});
    EXPECT_EQ(jvmCalls(jvmLog, "NewObjectArray 0 java/lang/String").size(), 1u);
    Lines main = jvmCalls(jvmLog, "CallStaticVoidMethod ");
    ASSERT_EQ(main.size(), 1u);
    EXPECT_EQ(main[0].rfind("CallStaticVoidMethod main []", 0), 0u) << main[0];
    EXPECT_EQ(jvmCalls(jvmLog, "JNI_CreateJavaVM version=0x10002 nOptions=0").size(), 1u);
}

TEST_F(Launcher, PassesTwentyOptionsAndRefusesTwentyOneAfterLoadingTheLibrary) {
    registerJre();
    std::vector<std::string> twenty;
    for (int i = 0; i < 20; ++i) {
        twenty.push_back("-Dp" + std::to_string(i) + "=v");
    }
    launch(twenty);
    EXPECT_EQ(loggedLines(), Lines{});
    EXPECT_EQ(jvmCalls(jvmLog, "option ").size(), 20u);

    standin::resetAll();
    registerJre();
    std::remove(jvmLog.c_str());
    std::vector<std::string> twentyOne = twenty;
    twentyOne.push_back("-Xmx64m");
    launch(twentyOne);
    EXPECT_EQ(loggedLines(), Lines{"Max. number of Java args (20) exceeded."});
    EXPECT_EQ(standin::callCount("LoadLibraryA"), 1u);
    EXPECT_EQ(fileLines(jvmLog), Lines{});
}

struct RegistryCase {
    const char *name;
    void (*seed)();
    Lines lines;
};

void PrintTo(const RegistryCase &c, std::ostream *os) {
    *os << c.name;
}

class LauncherRegistry : public Launcher, public testing::WithParamInterface<RegistryCase> {};

TEST_P(LauncherRegistry, EndsBeforeLoadingTheLibrary) {
    GetParam().seed();
    launch({"wrkdir=/", "app"});
    EXPECT_EQ(loggedLines(), GetParam().lines);
    EXPECT_EQ(standin::callCount("LoadLibraryA"), 0u);
    EXPECT_EQ(standin::callCount("SetCurrentDirectoryA"), 0u);
    EXPECT_EQ(standin::callCount("SetDllDirectoryA"), 0u);
    EXPECT_FALSE(standin::consoleAllocated());
    EXPECT_EQ(standin::consoleHandlerCount(), 0);
    EXPECT_EQ(standin::openKeyCount(), 0);
}

const Lines missingJre = {hosttest::vendorKey, noJre};

INSTANTIATE_TEST_SUITE_P(
    Cases, LauncherRegistry,
    testing::Values(
        RegistryCase{"NoVendorKey", [] {}, missingJre},
        RegistryCase{"EmptyVersion",
                     [] {
                         registerJre();
                         standin::setString(HKEY_LOCAL_MACHINE, hosttest::vendorKey,
                                            "CurrentVersion", "");
                     },
                     missingJre},
        RegistryCase{"DwordVersion",
                     [] {
                         registerJre();
                         standin::setDword(HKEY_LOCAL_MACHINE, hosttest::vendorKey,
                                           "CurrentVersion", 17);
                     },
                     missingJre},
        RegistryCase{"VersionOf1024Characters",
                     [] {
                         registerJre();
                         standin::setString(HKEY_LOCAL_MACHINE, hosttest::vendorKey,
                                            "CurrentVersion", std::string(1024, '1'));
                     },
                     missingJre},
        RegistryCase{"VersionOf1024BytesWithoutTerminator",
                     [] {
                         registerJre();
                         standin::setValue(HKEY_LOCAL_MACHINE, hosttest::vendorKey,
                                           "CurrentVersion", REG_SZ, std::string(1024, '1'));
                     },
                     missingJre},
        RegistryCase{"VersionOf1023Characters",
                     [] {
                         registerJre();
                         standin::setString(HKEY_LOCAL_MACHINE, hosttest::vendorKey,
                                            "CurrentVersion", std::string(1023, '1'));
                     },
                     {"Cannot locate JRE " + std::string(1023, '1') +
                      " registry information. Is the JRE properly installed?"}},
        RegistryCase{"ExpandableVersionTakenAsStored",
                     [] {
                         registerJre();
                         standin::setValue(HKEY_LOCAL_MACHINE, hosttest::vendorKey,
                                           "CurrentVersion", REG_EXPAND_SZ,
                                           std::string("%JAVA%\0", 7));
                     },
                     {"Cannot locate JRE %JAVA% registry information. Is the JRE properly "
                      "installed?"}},
        RegistryCase{"NoRuntimeLib",
                     [] {
                         registerJre();
                         standin::setDword(HKEY_LOCAL_MACHINE, versionKey, "RuntimeLib", 1);
                     },
                     {noVersion17}},
        RegistryCase{"NoMicroVersion",
                     [] {
                         standin::setString(HKEY_LOCAL_MACHINE, hosttest::vendorKey,
                                            "CurrentVersion", "17");
                         standin::setString(HKEY_LOCAL_MACHINE, versionKey, "RuntimeLib",
                                            TESTJVM_LIB);
                     },
                     {noVersion17}}),
    [](const testing::TestParamInfo<RegistryCase> &info) { return info.param.name; });

TEST_F(Launcher, EndsWhenTheWorkingDirectoryCannotBeEntered) {
    registerJre();
    char before[4096];
    ASSERT_NE(getcwd(before, sizeof before), nullptr);
    launch({"wrkdir=/no/such/directory"});
    EXPECT_EQ(loggedLines(), Lines{"Unable to change working directory."});
    EXPECT_FALSE(standin::consoleAllocated());
    EXPECT_EQ(standin::callCount("SetDllDirectoryA"), 0u);
    EXPECT_EQ(standin::callCount("LoadLibraryA"), 0u);
    char after[4096];
    ASSERT_NE(getcwd(after, sizeof after), nullptr);
    EXPECT_STREQ(before, after);
}

TEST_F(Launcher, EntersTheWorkingDirectoryWithBlanks) {
    registerJre();
    std::string directory = testing::TempDir() + "work dir " + std::to_string(getpid());
    ASSERT_EQ(system(("mkdir -p '" + directory + "'").c_str()), 0);
    launch({"WRKDIR=" + directory});
    EXPECT_EQ(loggedLines(), Lines{});
    char now[4096];
    ASSERT_NE(getcwd(now, sizeof now), nullptr);
    char real[4096];
    ASSERT_NE(realpath(directory.c_str(), real), nullptr);
    EXPECT_STREQ(now, real);
}

TEST_F(Launcher, ReportsALibraryThatDoesNotLoadOrLacksAnExport) {
    registerJre("/no/such/libjvm.so");
    launch({});
    EXPECT_EQ(loggedLines(), Lines{"Error loading: /no/such/libjvm.so\n"});
    EXPECT_TRUE(standin::consoleAllocated());

    standin::resetAll();
    registerJre(TESTJVM_NOINIT_LIB);
    launch({});
    EXPECT_EQ(loggedLines(),
              Lines{std::string("Cannot find JNI interfaces in: ") + TESTJVM_NOINIT_LIB + "\n"});
}

// ---- the DLL search path of the runtime library ----

struct SearchCase {
    const char *name;
    std::string runtimeLib;
    std::string binFolder; // what SetDllDirectoryA is given
};

void PrintTo(const SearchCase &c, std::ostream *os) {
    *os << c.name;
}

class LauncherSearchPath : public Launcher, public testing::WithParamInterface<SearchCase> {};

TEST_P(LauncherSearchPath, SetsTheJresBinFolderAfterTheDirectoryAndConsoleBeforeTheLoad) {
    const SearchCase &c = GetParam();
    registerJre(c.runtimeLib);
    std::string directory = testing::TempDir();
    launch({"wrkdir=" + directory});
    // None of these libraries exists: the load fails after the search path has been set.
    EXPECT_EQ(loggedLines(), Lines{"Error loading: " + c.runtimeLib + "\n"});
    EXPECT_EQ(standin::processCalls(),
              (Lines{"SetCurrentDirectoryA " + directory, "AllocConsole",
                     "SetDllDirectoryA " + c.binFolder, "LoadLibraryA " + c.runtimeLib}));
    EXPECT_EQ(standin::dllDirectory(), std::optional<std::string>(c.binFolder));
}

const std::string longFolder = "C:\\" + std::string(1002, 'a');

INSTANTIATE_TEST_SUITE_P(
    Cases, LauncherSearchPath,
    testing::Values(
        SearchCase{"Server", "C:\\Program Files\\Java\\jre\\bin\\server\\jvm.dll",
                   "C:\\Program Files\\Java\\jre\\bin"},
        SearchCase{"ClientWithSlashes", "C:/jre/bin/client/jvm.dll", "C:/jre/bin"},
        SearchCase{"MixedSeparators", "C:\\jre/bin\\server/jvm.dll", "C:\\jre/bin"},
        SearchCase{"DoubledSeparators", "C:\\jre\\bin\\\\server\\\\jvm.dll", "C:\\jre\\bin"},
        SearchCase{"Unc", "\\\\host\\share\\jre\\bin\\server\\jvm.dll",
                   "\\\\host\\share\\jre\\bin"},
        SearchCase{"DriveRootAbove", "C:\\server\\jvm.dll", "C:\\"},
        SearchCase{"RootAbove", "\\server\\jvm.dll", "\\"},
        SearchCase{"LinuxRootAbove", "/server/libjvm.so", "/"},
        SearchCase{"RelativeKeptRelative", "bin\\server\\jvm.dll", "bin"},
        // Without a folder above the library's own: the current directory is only taken out.
        SearchCase{"InADriveRoot", "C:\\jvm.dll", ""}, SearchCase{"NameAlone", "jvm.dll", ""},
        SearchCase{"OneRelativeFolder", "server\\jvm.dll", ""},
        SearchCase{"DriveRelative", "C:server\\jvm.dll", ""},
        SearchCase{"Longest", longFolder + "\\bin\\server\\jvm.dll", longFolder + "\\bin"}),
    [](const testing::TestParamInfo<SearchCase> &info) { return info.param.name; });

TEST_F(Launcher, KeepsTheJresBinFolderInTheSearchPathAfterMain) {
    // A JRE laid out as on Linux, around the test JVM library.
    std::string jre = testing::TempDir() + "jre " + std::to_string(getpid());
    ASSERT_EQ(system(("mkdir -p '" + jre + "/lib/server'").c_str()), 0);
    std::string library = jre + "/lib/server/libjvm.so";
    std::remove(library.c_str());
    ASSERT_EQ(symlink(TESTJVM_LIB, library.c_str()), 0);
    registerJre(library);
    launch({});
    EXPECT_EQ(loggedLines(), Lines{});
    EXPECT_EQ(jvmCalls(jvmLog, "DestroyJavaVM").size(), 1u);
    EXPECT_EQ(standin::processCalls(), (Lines{"AllocConsole", "SetDllDirectoryA " + jre + "/lib",
                                              "LoadLibraryA " + library}));
    EXPECT_EQ(standin::dllDirectory(), std::optional<std::string>(jre + "/lib"));
}

TEST_F(Launcher, LoadsNothingWhenTheSearchPathCannotBeSet) {
    registerJre();
    standin::failCall("SetDllDirectoryA", ERROR_INVALID_PARAMETER);
    launch({});
    EXPECT_EQ(loggedLines(), Lines{std::string("Error loading: ") + TESTJVM_LIB + "\n"});
    EXPECT_EQ(standin::callCount("LoadLibraryA"), 0u);
    EXPECT_EQ(standin::dllDirectory(), std::nullopt);
    EXPECT_TRUE(standin::consoleAllocated());
    EXPECT_EQ(fileLines(jvmLog), Lines{});
}

struct JniCase {
    const char *name;
    const char *fail;
    std::vector<std::string> parameters;
    Lines lines;
    bool destroyed;
};

void PrintTo(const JniCase &c, std::ostream *os) {
    *os << c.name;
}

class LauncherJni : public Launcher, public testing::WithParamInterface<JniCase> {};

TEST_P(LauncherJni, LogsOneLinePerFailedStep) {
    registerJre();
    setenv("TESTJVM_FAIL", GetParam().fail, 1);
    launch(GetParam().parameters);
    EXPECT_EQ(loggedLines(), GetParam().lines);
    EXPECT_EQ(jvmCalls(jvmLog, "DestroyJavaVM").size(), GetParam().destroyed ? 1u : 0u);
    // main runs only when every step before it passed, and the handler comes just before it.
    bool mainCalled = !jvmCalls(jvmLog, "CallStaticVoidMethod").empty();
    EXPECT_EQ(mainCalled, GetParam().destroyed);
    EXPECT_EQ(standin::consoleHandlerCount(), mainCalled ? 1 : 0);
    // Every pending exception that was logged was cleared.
    EXPECT_EQ(jvmCalls(jvmLog, "ExceptionClear").size(),
              std::string(GetParam().fail).find("exception") != std::string::npos ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LauncherJni,
    testing::Values(
        JniCase{"CreateFails", "JNI_CreateJavaVM:-1", {}, {"Cannot create Java VM.\n"}, false},
        JniCase{"MainClassNull",
                "FindClass=com/korvane/repository/RepositoryImpl:null",
                {},
                {"JNI error finding main class."},
                false},
        JniCase{"MainClassException",
                "FindClass=com/korvane/repository/RepositoryImpl:nullexception",
                {},
                {"JNI error finding main class."},
                false},
        JniCase{"MainMethodNull",
                "GetStaticMethodID=main:null",
                {},
                {"JNI error finding main(String[]) method."},
                false},
        JniCase{"MainMethodException",
                "GetStaticMethodID=main:exception",
                {},
                {"JNI error finding main(String[]) method."},
                false},
        JniCase{"ArrayNull",
                "NewObjectArray:null",
                {"a"},
                {"JNI error instantiating argument array."},
                false},
        JniCase{"StringClassNull",
                "FindClass=java/lang/String:null",
                {"a"},
                {"JNI error instantiating argument array."},
                false},
        JniCase{"ArgumentNull",
                "NewStringUTF=b:null",
                {"a", "b"},
                {"JNI error instantiating argument."},
                false},
        JniCase{"ArgumentException",
                "NewStringUTF=a:exception",
                {"a", "b"},
                {"JNI error instantiating argument."},
                false},
        JniCase{"AssignException",
                "SetObjectArrayElement:exception",
                {"a"},
                {"JNI error assigning argument."},
                false},
        JniCase{"EmptyArrayException",
                "NewObjectArray:exception",
                {},
                {"JNI error instantiating empty argument array."},
                false},
        JniCase{"MainThrows",
                "CallStaticVoidMethod:exception",
                {},
                {"Could not invoke main class"},
                true}),
    [](const testing::TestParamInfo<JniCase> &info) { return info.param.name; });

TEST_F(Launcher, AfterAStopEndsWithoutTouchingAnything) {
    registerJre();
    std::string option = "-Xmx64m";
    char *parameters[] = {&option[0]};
    jvmOptions = collectJvmOptions(1, parameters);
    shutdownHost();
    EXPECT_EQ(jvmOptions.count, 0u);
    launchJvm(nullptr);
    EXPECT_EQ(standin::callCount("RegOpenKeyExA"), 0u);
    EXPECT_EQ(loggedLines(), Lines{});
}

// ---- the registry string read ----

struct ReadCase {
    const char *name;
    DWORD type;
    std::string stored;
    DWORD capacity;
    int result;
    std::string text;
};

void PrintTo(const ReadCase &c, std::ostream *os) {
    *os << c.name;
}

class ReadStringValue : public hosttest::HostTest, public testing::WithParamInterface<ReadCase> {};

TEST_P(ReadStringValue, TerminatesWithinTheCapacityOrFails) {
    const ReadCase &c = GetParam();
    standin::setValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Test", "Value", c.type, c.stored);
    char buffer[64];
    memset(buffer, 'Z', sizeof buffer);
    DWORD size = c.capacity;
    int result = readStringValue(buffer, &size, HKEY_LOCAL_MACHINE, "SOFTWARE\\Test", "Value");
    EXPECT_EQ(result, c.result);
    if (result == 0) {
        EXPECT_EQ(std::string(buffer), c.text);
    }
    for (size_t i = c.capacity; i < sizeof buffer; ++i) {
        ASSERT_EQ(buffer[i], 'Z') << "written past the capacity at " << i;
    }
    EXPECT_EQ(standin::openKeyCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadStringValue,
    testing::Values(
        ReadCase{"Terminated", REG_SZ, std::string("abc\0", 4), 8, 0, "abc"},
        ReadCase{"TerminatedAtCapacity", REG_SZ, std::string("abcdefg\0", 8), 8, 0, "abcdefg"},
        ReadCase{"UnterminatedWithRoom", REG_SZ, "abcdefg", 8, 0, "abcdefg"},
        ReadCase{"UnterminatedAtCapacity", REG_SZ, "abcdefgh", 8, 1, ""},
        ReadCase{"TooLarge", REG_SZ, std::string("abcdefgh\0", 9), 8, 1, ""},
        ReadCase{"Empty", REG_SZ, "", 8, 0, ""},
        ReadCase{"Expandable", REG_EXPAND_SZ, std::string("%PATH%\0", 7), 8, 0, "%PATH%"},
        ReadCase{"Dword", REG_DWORD, std::string("\1\0\0\0", 4), 8, 1, ""},
        ReadCase{"Binary", REG_BINARY, std::string("ab\0", 3), 8, 1, ""}),
    [](const testing::TestParamInfo<ReadCase> &info) { return info.param.name; });

class RegistryRead : public hosttest::HostTest {};

TEST_F(RegistryRead, FailsForAMissingKeyOrValue) {
    char buffer[8];
    DWORD size = sizeof buffer;
    EXPECT_EQ(readStringValue(buffer, &size, HKEY_LOCAL_MACHINE, "SOFTWARE\\None", "Value"), 1);
    standin::createKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Empty");
    size = sizeof buffer;
    EXPECT_EQ(readStringValue(buffer, &size, HKEY_LOCAL_MACHINE, "SOFTWARE\\Empty", "Value"), 1);
    EXPECT_EQ(standin::openKeyCount(), 0);
}

} // namespace
