// The JVM launcher: finds the JRE through the registry, loads its runtime library, creates the
// VM and runs the main class on the launcher thread.
#include "host.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

JavaVM *javaVm;
JNIEnv *launcherEnv;

namespace {

const unsigned maxJvmOptions = 20;
const DWORD versionCapacity = 1024;
const DWORD libraryCapacity = 1025;

constexpr size_t longestVendorKey() {
    size_t longest = 0;
    for (const char *key : jreVendorKeys) {
        size_t length = 0;
        while (key[length] != '\0') {
            ++length;
        }
        longest = length > longest ? length : longest;
    }
    return longest;
}

const char vendorKeyFormat[] = "SOFTWARE\\%s Runtime Environment";
const char versionKeyFormat[] = "SOFTWARE\\%s Runtime Environment\\%s";
// Key paths and messages hold their parts whole, whatever their length within capacity.
const size_t vendorKeyCapacity = sizeof vendorKeyFormat + longestVendorKey();
const size_t versionKeyCapacity = sizeof versionKeyFormat + longestVendorKey() + versionCapacity;
const size_t messageCapacity = 128 + libraryCapacity;

typedef jint(JNICALL *CreateJavaVmFunction)(JavaVM **, void **, void *);

// Logs a message with one text argument.
void logMessageWith(const char *format, const char *argument) {
    char message[messageCapacity];
    snprintf(message, sizeof message, format, argument);
    logMessage(message);
}

bool isSeparator(char c) {
    return c == '\\' || c == '/';
}

// The JRE's bin folder, where a JRE keeps the DLLs its runtime library imports (its C runtime
// among them): the folder above the library's own folder, as written in `library`, with either
// separator. A library without a folder above its own (jvm.dll, server\jvm.dll, C:\jvm.dll)
// gives "". `folder` holds at least as many bytes as `library`.
void findRuntimeBinFolder(const char *library, char *folder) {
    size_t end = strlen(library);
    while (end > 0 && !isSeparator(library[end - 1])) { // the file name
        --end;
    }
    while (end > 0 && isSeparator(library[end - 1])) {
        --end;
    }
    while (end > 0 && !isSeparator(library[end - 1])) { // the library's own folder
        --end;
    }
    if (end == 0) {
        folder[0] = '\0';
        return;
    }
    while (end > 0 && isSeparator(library[end - 1])) {
        --end;
    }
    // A root (\, C:\) keeps its separator: "C:" alone names the current directory of drive C.
    if (end == 0 || (end == 2 && library[1] == ':')) {
        ++end;
    }
    memcpy(folder, library, end);
    folder[end] = '\0';
}

bool failed(JNIEnv *env, const void *result, const char *message) {
    return checkPendingException(env, message) != 0 || checkNullResult(result, message) != 0;
}

// The String[] for main: one element per application argument, never null.
jobjectArray buildArgumentArray(JNIEnv *env, const ArgumentList &arguments) {
    const char *arrayMessage = arguments.count == 0
                                   ? "JNI error instantiating empty argument array."
                                   : "JNI error instantiating argument array.";
    jclass stringClass = env->FindClass("java/lang/String");
    if (failed(env, stringClass, arrayMessage)) {
        return nullptr;
    }
    jobjectArray array =
        env->NewObjectArray(static_cast<jsize>(arguments.count), stringClass, nullptr);
    if (failed(env, array, arrayMessage)) {
        return nullptr;
    }
    for (unsigned i = 0; i < arguments.count; ++i) {
        jstring argument = env->NewStringUTF(arguments.strings[i]);
        if (failed(env, argument, "JNI error instantiating argument.")) {
            return nullptr;
        }
        env->SetObjectArrayElement(array, static_cast<jsize>(i), argument);
        if (checkPendingException(env, "JNI error assigning argument.")) {
            return nullptr;
        }
    }
    return array;
}

void launch(const ArgumentList &options, const ArgumentList &arguments, const char *directory) {
    char vendorKey[vendorKeyCapacity] = "";
    char version[versionCapacity] = "";
    const char *vendor = nullptr;
    for (size_t i = 0; jreVendorKeys[i][0] != '\0' && vendor == nullptr; ++i) {
        snprintf(vendorKey, sizeof vendorKey, vendorKeyFormat, jreVendorKeys[i]);
        DWORD size = versionCapacity;
        if (readStringValue(version, &size, HKEY_LOCAL_MACHINE, vendorKey, "CurrentVersion") == 0) {
            vendor = jreVendorKeys[i];
        } else {
            version[0] = '\0';
        }
    }
    if (vendor == nullptr || version[0] == '\0') {
        logMessage(vendorKey);
        logMessage("Cannot locate JavaSoft or IBM registry information. Is the JRE properly "
                   "installed?");
        return;
    }

    char versionKey[versionKeyCapacity];
    snprintf(versionKey, sizeof versionKey, versionKeyFormat, vendor, version);
    char library[libraryCapacity];
    char microVersion[libraryCapacity];
    DWORD librarySize = libraryCapacity;
    DWORD microSize = libraryCapacity;
    if (readStringValue(library, &librarySize, HKEY_LOCAL_MACHINE, versionKey, "RuntimeLib") != 0 ||
        readStringValue(microVersion, &microSize, HKEY_LOCAL_MACHINE, versionKey, "MicroVersion") !=
            0) {
        logMessageWith("Cannot locate JRE %s registry information. Is the JRE properly installed?",
                       version);
        return;
    }

    if (directory != nullptr && !SetCurrentDirectoryA(directory)) {
        logMessage("Unable to change working directory.");
        return;
    }

    AllocConsole();

    // The runtime library's imports are looked for in the JRE's bin folder, and never in the
    // current directory, which SetDllDirectoryA takes out of the search. The setting stays for
    // the life of the process: the libraries that the VM and the Java program load later find
    // the JRE's DLLs the same way, and none by name in the working directory.
    char binFolder[libraryCapacity];
    findRuntimeBinFolder(library, binFolder);
    HMODULE runtime = SetDllDirectoryA(binFolder) ? LoadLibraryA(library) : nullptr;
    if (runtime == nullptr) {
        logMessageWith("Error loading: %s\n", library);
        return;
    }
    FARPROC createJavaVm = GetProcAddress(runtime, "JNI_CreateJavaVM");
    FARPROC defaultInitArgs = GetProcAddress(runtime, "JNI_GetDefaultJavaVMInitArgs");
    if (createJavaVm == nullptr || defaultInitArgs == nullptr) {
        logMessageWith("Cannot find JNI interfaces in: %s\n", library);
        return;
    }

    if (options.count > maxJvmOptions) {
        char message[64];
        snprintf(message, sizeof message, "Max. number of Java args (%d) exceeded.",
                 static_cast<int>(maxJvmOptions));
        logMessage(message);
        return;
    }
    JavaVMOption vmOptions[maxJvmOptions];
    for (unsigned i = 0; i < options.count; ++i) {
        vmOptions[i].optionString = options.strings[i];
        vmOptions[i].extraInfo = nullptr;
    }
    JavaVMInitArgs initArgs;
    initArgs.version = JNI_VERSION_1_2;
    initArgs.nOptions = static_cast<jint>(options.count);
    initArgs.options = vmOptions;
    initArgs.ignoreUnrecognized = JNI_TRUE;
    CreateJavaVmFunction create =
        reinterpret_cast<CreateJavaVmFunction>(reinterpret_cast<void *>(createJavaVm));
    if (create(&javaVm, reinterpret_cast<void **>(&launcherEnv), &initArgs) < 0) {
        logMessage("Cannot create Java VM.\n");
        return;
    }

    JNIEnv *env = launcherEnv;
    jclass mainClass = env->FindClass(mainClassName);
    if (failed(env, mainClass, "JNI error finding main class.")) {
        return;
    }
    jmethodID mainMethod = env->GetStaticMethodID(mainClass, "main", "([Ljava/lang/String;)V");
    if (failed(env, mainMethod, "JNI error finding main(String[]) method.")) {
        return;
    }
    jobjectArray argumentArray = buildArgumentArray(env, arguments);
    if (argumentArray == nullptr) {
        return;
    }

    setUpEventBridge();
    SetConsoleCtrlHandler(consoleControlHandler, TRUE);

    env->CallStaticVoidMethod(mainClass, mainMethod, argumentArray);
    checkPendingException(env, "Could not invoke main class");

    closeEventBridge();
    javaVm->DestroyJavaVM();
}

} // namespace

DWORD WINAPI launchJvm(LPVOID) {
    ArgumentList options = {0, nullptr};
    ArgumentList arguments = {0, nullptr};
    char *directory = nullptr;
    if (copyLaunchInputs(&options, &arguments, &directory)) {
        launch(options, arguments, directory);
    }
    releaseArgumentList(&options);
    releaseArgumentList(&arguments);
    free(directory);
    return 0;
}

int readStringValue(char *buffer, DWORD *size, HKEY root, const char *subkey, const char *name) {
    DWORD capacity = *size;
    HKEY key;
    if (RegOpenKeyExA(root, subkey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return 1;
    }
    DWORD type = REG_NONE;
    LONG result =
        RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(buffer), size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) {
        return 1;
    }
    // A string stored without its terminator is terminated here, if the buffer has room.
    if (*size > 0 && *size <= capacity && buffer[*size - 1] == '\0') {
        return 0;
    }
    if (*size < capacity) {
        buffer[*size] = '\0';
        return 0;
    }
    return 1;
}

int checkPendingException(JNIEnv *env, const char *message) {
    if (env->ExceptionCheck() == JNI_TRUE) {
        logMessage(message);
        env->ExceptionClear();
        return 1;
    }
    return 0;
}

int checkNullResult(const void *result, const char *message) {
    if (result == nullptr) {
        logMessage(message);
        return 1;
    }
    return 0;
}
