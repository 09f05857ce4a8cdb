// A stand-in for the runtime library of a JRE (libjvm.so, jvm.dll) for runs where a real JVM
// cannot serve: failure injection, and Windows under Wine, where no Windows JRE exists.
//
// It knows three classes: com/korvane/repository/RepositoryImpl with static main(String[]),
// java/lang/String, and the event manager (TESTJVM_EVENT_MANAGER, by default
// com/korvane/test/EventManager) with static getInstance() and dispatchSCMEvent(int). FindClass
// of any other class fails with a pending NoClassDefFoundError, a missing method with a pending
// NoSuchMethodError, as in a real VM.
//
// Environment:
//   TESTJVM_LOG                 file to which every call appends one line (none: no log)
//   TESTJVM_FAIL                comma list of Function[=arg]:mode, mode null, exception,
//                               nullexception or a number (the jint result of an invocation
//                               function); arg is the class name (FindClass, NewObjectArray,
//                               NewGlobalRef, GetObjectClass), the method name (Get*MethodID,
//                               Call*Method), the text (NewStringUTF) or the index
//                               (SetObjectArrayElement)
//   TESTJVM_MAIN                return (default) or block: main blocks until the process ends
//   TESTJVM_DISPATCH_DELAY_MS   time dispatchSCMEvent takes (default 0)
//   TESTJVM_EVENT_MANAGER       class name of the event manager
// The environment is read by JNI_CreateJavaVM and JNI_GetDefaultJavaVMInitArgs.
//
// Built with TESTJVM_COMPANION (Windows), the library imports jvmdep.dll (jvmdep.c) and calls it
// from JNI_CreateJavaVM, as a JRE's runtime library depends on the C runtime DLL of its bin folder.
//
// A log line is `<Function> <details> tid=<thread id> env=<JNIEnv pointer>`. Misuse a real VM
// would punish (a JNIEnv on a thread it does not belong to, a call with an exception pending, a
// local reference after its deletion or on another thread, any call after DestroyJavaVM) gets a
// line of its own before the line of the call: wrong-thread, pending-exception, deleted-ref,
// foreign-local-ref, invalid-ref, after-destroy, each followed by the function name.
#define _JNI_IMPLEMENTATION_
#include <jni.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#endif

namespace {

// ---- platform ----

#ifdef _WIN32
class Mutex {
  public:
    void lock() { AcquireSRWLockExclusive(&lock_); }
    void unlock() { ReleaseSRWLockExclusive(&lock_); }

  private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};

unsigned long currentThreadId() {
    return GetCurrentThreadId();
}

void sleepMs(unsigned long ms) {
    Sleep(ms);
}

void appendToFile(const char *path, const std::string &line) {
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
}
#else
class Mutex {
  public:
    void lock() { pthread_mutex_lock(&lock_); }
    void unlock() { pthread_mutex_unlock(&lock_); }

  private:
    pthread_mutex_t lock_ = PTHREAD_MUTEX_INITIALIZER;
};

unsigned long currentThreadId() {
    return static_cast<unsigned long>(syscall(SYS_gettid));
}

void sleepMs(unsigned long ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void appendToFile(const char *path, const std::string &line) {
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    ssize_t written = write(fd, line.data(), line.size());
    (void)written;
    close(fd);
}
#endif

// ---- state ----

enum class Kind { Class, String, Array, Instance };

struct Object {
    Kind kind;
    std::string text; // class name, string text, element class name, class of the instance
    std::string message;
    std::vector<Object *> elements;
};

struct Env;

struct Ref {
    Object *object;
    bool global;
    Env *env;
    bool deleted;
};

struct Method {
    std::string className;
    std::string name;
    std::string signature;
    bool isStatic;
};

struct Env {
    JNIEnv_ jni;
    unsigned long tid;
    bool attached;
    bool daemon;
    Object *pending;
};
static_assert(std::is_standard_layout<Env>::value, "a JNIEnv* must convert to its Env");

enum class Mode { Null, Exception, NullException, Number };

struct Rule {
    std::string function;
    std::string arg;
    bool hasArg;
    Mode mode;
    jint number;
};

const char mainClassName[] = "com/korvane/repository/RepositoryImpl";
const char stringClassName[] = "java/lang/String";

struct State {
    Mutex mutex;
    // Read from the environment by the entry points.
    std::string logPath;
    std::vector<Rule> rules;
    bool blockMain = false;
    unsigned long dispatchDelayMs = 0;
    std::string eventManagerClass;

    bool created = false;
    bool destroyed = false;
    std::deque<Object> objects;
    std::deque<Ref> refs;
    std::set<const Ref *> refSet;
    std::deque<Method> methods;
    std::set<const Method *> methodSet;
    std::map<std::string, Object *> classes;
    std::deque<Env> envs;
    std::set<const Env *> envSet;
    std::map<unsigned long, Env *> threadEnvs;
};

State &state() {
    static State *instance = new State; // never destroyed: threads may call in during exit
    return *instance;
}

class Guard {
  public:
    Guard() { state().mutex.lock(); }
    ~Guard() { state().mutex.unlock(); }
    Guard(const Guard &) = delete;
    Guard &operator=(const Guard &) = delete;
    // For a wait that must not keep other threads out.
    void sleepUnlocked(unsigned long ms) {
        state().mutex.unlock();
        sleepMs(ms);
        state().mutex.lock();
    }
};

extern const JNINativeInterface_ nativeTable;
extern const JNIInvokeInterface_ invokeTable;
JavaVM_ theVm = {&invokeTable};

// ---- log ----

std::string hexText(uintptr_t value) {
    char text[32];
    snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

// Control characters would break the one-line-per-call format.
std::string printable(const std::string &text) {
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\x%02x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

void logLine(const void *env, const std::string &text) {
    State &s = state();
    if (s.logPath.empty()) {
        return;
    }
    std::string line = printable(text) + " tid=" + std::to_string(currentThreadId()) +
                       " env=" + hexText(reinterpret_cast<uintptr_t>(env)) + "\n";
    appendToFile(s.logPath.c_str(), line);
}

// ---- configuration ----

std::string environmentText(const char *name, const char *fallback) {
    const char *value = getenv(name);
    return value != nullptr ? value : fallback;
}

void parseRules(const std::string &text) {
    State &s = state();
    s.rules.clear();
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(',', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string item = text.substr(start, end - start);
        start = end + 1;
        if (item.empty()) {
            continue;
        }
        size_t colon = item.rfind(':');
        if (colon == std::string::npos) {
            logLine(nullptr, "bad-fail-rule " + item);
            continue;
        }
        Rule rule;
        std::string target = item.substr(0, colon);
        std::string mode = item.substr(colon + 1);
        size_t equals = target.find('=');
        rule.hasArg = equals != std::string::npos;
        rule.function = target.substr(0, equals);
        rule.arg = rule.hasArg ? target.substr(equals + 1) : std::string();
        rule.number = 0;
        char *rest = nullptr;
        long number = strtol(mode.c_str(), &rest, 0);
        if (mode == "null") {
            rule.mode = Mode::Null;
        } else if (mode == "exception") {
            rule.mode = Mode::Exception;
        } else if (mode == "nullexception") {
            rule.mode = Mode::NullException;
        } else if (!mode.empty() && *rest == '\0') {
            rule.mode = Mode::Number;
            rule.number = static_cast<jint>(number);
        } else {
            logLine(nullptr, "bad-fail-rule " + item);
            continue;
        }
        s.rules.push_back(rule);
    }
}

// A VM that is alive keeps the configuration it was created with.
void loadConfiguration() {
    State &s = state();
    if (s.created && !s.destroyed) {
        return;
    }
    s.logPath = environmentText("TESTJVM_LOG", "");
    std::string mainMode = environmentText("TESTJVM_MAIN", "return");
    s.blockMain = mainMode == "block";
    if (mainMode != "block" && mainMode != "return") {
        logLine(nullptr, "bad-main-mode " + mainMode);
    }
    s.dispatchDelayMs =
        strtoul(environmentText("TESTJVM_DISPATCH_DELAY_MS", "0").c_str(), nullptr, 10);
    s.eventManagerClass = environmentText("TESTJVM_EVENT_MANAGER", "com/korvane/test/EventManager");
    parseRules(environmentText("TESTJVM_FAIL", ""));
}

const Rule *findRule(const char *function, const std::string &arg) {
    for (const Rule &rule : state().rules) {
        if (rule.function == function && (!rule.hasArg || rule.arg == arg)) {
            return &rule;
        }
    }
    return nullptr;
}

bool makesNull(const Rule *rule) {
    return rule != nullptr && (rule->mode == Mode::Null || rule->mode == Mode::NullException);
}

bool throwsException(const Rule *rule) {
    return rule != nullptr && (rule->mode == Mode::Exception || rule->mode == Mode::NullException);
}

// ---- objects ----

Object *newObject(Kind kind, const std::string &text) {
    State &s = state();
    s.objects.push_back(Object{kind, text, std::string(), {}});
    return &s.objects.back();
}

Object *classObject(const std::string &name) {
    State &s = state();
    auto found = s.classes.find(name);
    if (found != s.classes.end()) {
        return found->second;
    }
    Object *cls = newObject(Kind::Class, name);
    s.classes[name] = cls;
    return cls;
}

bool isKnownClass(const std::string &name) {
    return name == mainClassName || name == stringClassName || name == state().eventManagerClass;
}

jobject newRef(Env *env, Object *object, bool global) {
    if (object == nullptr) {
        return nullptr;
    }
    State &s = state();
    s.refs.push_back(Ref{object, global, env, false});
    Ref *ref = &s.refs.back();
    s.refSet.insert(ref);
    return reinterpret_cast<jobject>(ref);
}

Ref *findRef(jobject handle) {
    Ref *ref = reinterpret_cast<Ref *>(handle);
    return state().refSet.count(ref) != 0 ? ref : nullptr;
}

// The object behind a reference, with a line for each misuse of the reference.
Object *deref(Env *env, jobject handle, const char *function) {
    if (handle == nullptr) {
        return nullptr;
    }
    Ref *ref = findRef(handle);
    if (ref == nullptr) {
        logLine(env, std::string("invalid-ref ") + function);
        return nullptr;
    }
    if (ref->deleted) {
        logLine(env, std::string("deleted-ref ") + function);
    } else if (!ref->global && ref->env != env) {
        logLine(env, std::string("foreign-local-ref ") + function);
    }
    return ref->object;
}

std::string classNameOf(const Object *object) {
    if (object == nullptr) {
        return "null";
    }
    switch (object->kind) {
    case Kind::Class:
        return "java/lang/Class";
    case Kind::String:
        return stringClassName;
    case Kind::Array:
        return "[L" + object->text + ";";
    case Kind::Instance:
        break;
    }
    return object->text;
}

// How a log line names an object.
std::string describe(const Object *object) {
    if (object == nullptr) {
        return "null";
    }
    switch (object->kind) {
    case Kind::Class:
        return "class " + object->text;
    case Kind::String:
        return "string " + object->text;
    case Kind::Array:
        return "array " + object->text;
    case Kind::Instance:
        break;
    }
    return "object " + object->text;
}

void throwNew(Env *env, const char *exceptionClass, const std::string &message) {
    if (env == nullptr) {
        return;
    }
    Object *exception = newObject(Kind::Instance, exceptionClass);
    exception->message = message;
    env->pending = exception;
}

void throwInjected(Env *env, const char *function) {
    throwNew(env, "java/lang/RuntimeException",
             std::string("injected by TESTJVM_FAIL in ") + function);
}

// ---- methods ----

void addMethod(const std::string &className, const char *name, const std::string &signature,
               bool isStatic) {
    State &s = state();
    s.methods.push_back(Method{className, name, signature, isStatic});
    s.methodSet.insert(&s.methods.back());
}

void defineMethods() {
    State &s = state();
    if (!s.methods.empty()) {
        // The event manager class may differ from the previous VM's.
        s.methods.clear();
        s.methodSet.clear();
    }
    addMethod(mainClassName, "main", "([Ljava/lang/String;)V", true);
    addMethod(s.eventManagerClass, "getInstance", "()L" + s.eventManagerClass + ";", true);
    addMethod(s.eventManagerClass, "dispatchSCMEvent", "(I)V", false);
}

const Method *findMethod(const std::string &className, const std::string &name,
                         const std::string &signature, bool isStatic) {
    for (const Method &method : state().methods) {
        if (method.className == className && method.name == name && method.signature == signature &&
            method.isStatic == isStatic) {
            return &method;
        }
    }
    return nullptr;
}

const Method *checkMethod(jmethodID id) {
    const Method *method = reinterpret_cast<const Method *>(id);
    return state().methodSet.count(method) != 0 ? method : nullptr;
}

// The arguments of a call, one per parameter of the signature.
std::vector<jvalue> argumentsFromList(const std::string &signature, va_list list) {
    std::vector<jvalue> values;
    for (size_t i = 1; i < signature.size() && signature[i] != ')'; ++i) {
        jvalue value;
        value.j = 0;
        char type = signature[i];
        if (type == 'L' || type == '[') {
            while (signature[i] == '[') {
                ++i;
            }
            if (signature[i] == 'L') {
                i = signature.find(';', i);
            }
            value.l = va_arg(list, jobject);
        } else if (type == 'J') {
            value.j = va_arg(list, jlong);
        } else if (type == 'F' || type == 'D') {
            value.d = va_arg(list, double);
        } else {
            value.i = va_arg(list, int);
        }
        values.push_back(value);
    }
    return values;
}

std::vector<jvalue> argumentsFromArray(const std::string &signature, const jvalue *array) {
    size_t count = 0;
    for (size_t i = 1; i < signature.size() && signature[i] != ')'; ++i, ++count) {
        while (signature[i] == '[') {
            ++i;
        }
        if (signature[i] == 'L') {
            i = signature.find(';', i);
        }
    }
    return std::vector<jvalue>(array, array + count);
}

// ---- environments ----

Env *currentEnv() {
    State &s = state();
    auto found = s.threadEnvs.find(currentThreadId());
    return found != s.threadEnvs.end() ? found->second : nullptr;
}

Env *attachCurrent(bool daemon) {
    State &s = state();
    s.envs.push_back(Env{{&nativeTable}, currentThreadId(), true, daemon, nullptr});
    Env *env = &s.envs.back();
    s.envSet.insert(env);
    s.threadEnvs[env->tid] = env;
    return env;
}

void detach(Env *env) {
    State &s = state();
    env->attached = false;
    s.threadEnvs.erase(env->tid);
    for (Ref &ref : s.refs) {
        if (!ref.global && ref.env == env) {
            ref.deleted = true;
        }
    }
}

bool callableWithPendingException(const char *function) {
    static const char *const allowed[] = {
        "ExceptionOccurred",     "ExceptionDescribe", "ExceptionClear", "ExceptionCheck",
        "ReleaseStringUTFChars", "DeleteLocalRef",    "DeleteGlobalRef"};
    for (const char *name : allowed) {
        if (strcmp(name, function) == 0) {
            return true;
        }
    }
    return false;
}

// Every call through a JNIEnv starts here: returns the Env, or null for a pointer that is no
// JNIEnv of this library.
Env *enter(JNIEnv *jni, const char *function) {
    State &s = state();
    Env *env = reinterpret_cast<Env *>(jni);
    if (s.destroyed) {
        logLine(jni, std::string("after-destroy ") + function);
    }
    if (s.envSet.count(env) == 0) {
        logLine(jni, std::string("unknown-env ") + function);
        return nullptr;
    }
    // After DestroyJavaVM every env is detached; after-destroy says it all.
    if (!s.destroyed && (!env->attached || env->tid != currentThreadId())) {
        logLine(jni, std::string("wrong-thread ") + function);
    }
    if (env->pending != nullptr && !callableWithPendingException(function)) {
        logLine(jni, std::string("pending-exception ") + function);
    }
    return env;
}

void enterVm(JavaVM *vm, const char *function) {
    State &s = state();
    if (s.destroyed) {
        logLine(currentEnv(), std::string("after-destroy ") + function);
    }
    if (vm != &theVm) {
        logLine(currentEnv(), std::string("unknown-vm ") + function);
    }
}

bool isSupportedVersion(jint version) {
    return version == JNI_VERSION_1_1 || version == JNI_VERSION_1_2 || version == JNI_VERSION_1_4 ||
           version == JNI_VERSION_1_6 || version == JNI_VERSION_1_8 || version == JNI_VERSION_9 ||
           version == JNI_VERSION_10;
}

// ---- functions that are not expected ----

void logUnexpected(const void *env, int slot);

template <int Slot, typename F> struct Unexpected;

template <int Slot, typename R, typename... A>
struct Unexpected<Slot, R(JNICALL *)(JNIEnv *, A...)> {
    static R JNICALL call(JNIEnv *env, A... rest) {
        ((void)rest, ...);
        logUnexpected(env, Slot);
        return R();
    }
};

template <int Slot, typename R, typename... A>
struct Unexpected<Slot, R(JNICALL *)(JNIEnv *, A..., ...)> {
    static R JNICALL call(JNIEnv *env, A... rest, ...) {
        ((void)rest, ...);
        logUnexpected(env, Slot);
        return R();
    }
};

// ---- the JNIEnv functions ----

jint JNICALL getVersion(JNIEnv *jni) {
    Guard guard;
    enter(jni, "GetVersion");
    logLine(jni, "GetVersion");
    return JNI_VERSION_10;
}

jclass JNICALL findClass(JNIEnv *jni, const char *name) {
    Guard guard;
    Env *env = enter(jni, "FindClass");
    std::string text = name != nullptr ? name : "(null)";
    logLine(jni, "FindClass " + text);
    const Rule *rule = findRule("FindClass", text);
    if (throwsException(rule)) {
        throwInjected(env, "FindClass");
    }
    if (makesNull(rule)) {
        return nullptr;
    }
    if (name == nullptr || !isKnownClass(text)) {
        throwNew(env, "java/lang/NoClassDefFoundError", text);
        return nullptr;
    }
    return static_cast<jclass>(newRef(env, classObject(text), false));
}

jmethodID lookUpMethod(JNIEnv *jni, jclass cls, const char *name, const char *signature,
                       bool isStatic) {
    const char *function = isStatic ? "GetStaticMethodID" : "GetMethodID";
    Env *env = enter(jni, function);
    std::string nameText = name != nullptr ? name : "(null)";
    std::string signatureText = signature != nullptr ? signature : "(null)";
    logLine(jni, std::string(function) + " " + nameText + " " + signatureText);
    Object *object = deref(env, cls, function);
    const Rule *rule = findRule(function, nameText);
    if (throwsException(rule)) {
        throwInjected(env, function);
    }
    if (makesNull(rule)) {
        return nullptr;
    }
    const Method *method = nullptr;
    if (object != nullptr && object->kind == Kind::Class) {
        method = findMethod(object->text, nameText, signatureText, isStatic);
    }
    if (method == nullptr) {
        throwNew(env, "java/lang/NoSuchMethodError", nameText);
        return nullptr;
    }
    return reinterpret_cast<jmethodID>(const_cast<Method *>(method));
}

jmethodID JNICALL getStaticMethodId(JNIEnv *jni, jclass cls, const char *name,
                                    const char *signature) {
    Guard guard;
    return lookUpMethod(jni, cls, name, signature, true);
}

jmethodID JNICALL getMethodId(JNIEnv *jni, jclass cls, const char *name, const char *signature) {
    Guard guard;
    return lookUpMethod(jni, cls, name, signature, false);
}

jobjectArray JNICALL newObjectArray(JNIEnv *jni, jsize length, jclass elementClass,
                                    jobject initial) {
    Guard guard;
    Env *env = enter(jni, "NewObjectArray");
    Object *cls = deref(env, elementClass, "NewObjectArray");
    Object *init = deref(env, initial, "NewObjectArray");
    std::string elementName = cls != nullptr ? cls->text : "null";
    logLine(jni, "NewObjectArray " + std::to_string(length) + " " + elementName);
    const Rule *rule = findRule("NewObjectArray", elementName);
    if (throwsException(rule)) {
        throwInjected(env, "NewObjectArray");
    }
    if (makesNull(rule)) {
        return nullptr;
    }
    if (cls == nullptr) {
        throwNew(env, "java/lang/NullPointerException", "element class");
        return nullptr;
    }
    if (length < 0) {
        throwNew(env, "java/lang/NegativeArraySizeException", std::to_string(length));
        return nullptr;
    }
    Object *array = newObject(Kind::Array, elementName);
    array->elements.assign(static_cast<size_t>(length), init);
    return static_cast<jobjectArray>(newRef(env, array, false));
}

Object *checkArray(Env *env, jobjectArray handle, const char *function) {
    Object *array = deref(env, handle, function);
    if (array == nullptr || array->kind != Kind::Array) {
        throwNew(env, "java/lang/NullPointerException", "array");
        return nullptr;
    }
    return array;
}

void JNICALL setObjectArrayElement(JNIEnv *jni, jobjectArray handle, jsize index, jobject value) {
    Guard guard;
    Env *env = enter(jni, "SetObjectArrayElement");
    logLine(jni, "SetObjectArrayElement " + std::to_string(index));
    Object *array = checkArray(env, handle, "SetObjectArrayElement");
    Object *element = deref(env, value, "SetObjectArrayElement");
    if (throwsException(findRule("SetObjectArrayElement", std::to_string(index)))) {
        throwInjected(env, "SetObjectArrayElement");
        return;
    }
    if (array == nullptr) {
        return;
    }
    if (index < 0 || static_cast<size_t>(index) >= array->elements.size()) {
        throwNew(env, "java/lang/ArrayIndexOutOfBoundsException", std::to_string(index));
        return;
    }
    array->elements[static_cast<size_t>(index)] = element;
}

jobject JNICALL getObjectArrayElement(JNIEnv *jni, jobjectArray handle, jsize index) {
    Guard guard;
    Env *env = enter(jni, "GetObjectArrayElement");
    logLine(jni, "GetObjectArrayElement " + std::to_string(index));
    Object *array = checkArray(env, handle, "GetObjectArrayElement");
    if (array == nullptr) {
        return nullptr;
    }
    if (index < 0 || static_cast<size_t>(index) >= array->elements.size()) {
        throwNew(env, "java/lang/ArrayIndexOutOfBoundsException", std::to_string(index));
        return nullptr;
    }
    return newRef(env, array->elements[static_cast<size_t>(index)], false);
}

jsize JNICALL getArrayLength(JNIEnv *jni, jarray handle) {
    Guard guard;
    Env *env = enter(jni, "GetArrayLength");
    Object *array = deref(env, handle, "GetArrayLength");
    jsize length = array != nullptr && array->kind == Kind::Array
                       ? static_cast<jsize>(array->elements.size())
                       : 0;
    logLine(jni, "GetArrayLength " + std::to_string(length));
    return length;
}

jstring JNICALL newStringUtf(JNIEnv *jni, const char *text) {
    Guard guard;
    Env *env = enter(jni, "NewStringUTF");
    std::string value = text != nullptr ? text : "(null)";
    logLine(jni, "NewStringUTF " + value);
    const Rule *rule = findRule("NewStringUTF", value);
    if (throwsException(rule)) {
        throwInjected(env, "NewStringUTF");
    }
    if (makesNull(rule) || text == nullptr) {
        return nullptr;
    }
    return static_cast<jstring>(newRef(env, newObject(Kind::String, value), false));
}

jsize JNICALL getStringUtfLength(JNIEnv *jni, jstring handle) {
    Guard guard;
    Env *env = enter(jni, "GetStringUTFLength");
    Object *string = deref(env, handle, "GetStringUTFLength");
    logLine(jni, "GetStringUTFLength " + describe(string));
    return string != nullptr ? static_cast<jsize>(string->text.size()) : 0;
}

const char *JNICALL getStringUtfChars(JNIEnv *jni, jstring handle, jboolean *isCopy) {
    Guard guard;
    Env *env = enter(jni, "GetStringUTFChars");
    Object *string = deref(env, handle, "GetStringUTFChars");
    logLine(jni, "GetStringUTFChars " + describe(string));
    if (string == nullptr || string->kind != Kind::String) {
        return nullptr;
    }
    if (isCopy != nullptr) {
        *isCopy = JNI_TRUE;
    }
    char *copy = static_cast<char *>(malloc(string->text.size() + 1));
    if (copy != nullptr) {
        memcpy(copy, string->text.c_str(), string->text.size() + 1);
    }
    return copy;
}

void JNICALL releaseStringUtfChars(JNIEnv *jni, jstring handle, const char *chars) {
    Guard guard;
    Env *env = enter(jni, "ReleaseStringUTFChars");
    logLine(jni, "ReleaseStringUTFChars " + describe(deref(env, handle, "ReleaseStringUTFChars")));
    free(const_cast<char *>(chars));
}

// The Java strings of a String[] as `[a,b]`.
std::string arrayText(const Object *array) {
    if (array == nullptr || array->kind != Kind::Array) {
        return describe(array);
    }
    std::string text = "[";
    for (size_t i = 0; i < array->elements.size(); ++i) {
        const Object *element = array->elements[i];
        text += i == 0 ? "" : ",";
        text += element == nullptr ? "null" : element->text;
    }
    return text + "]";
}

// Runs a method of the modelled classes; `function` names the call in the log whatever its
// variant (plain, V or A). Returns the result object of getInstance.
Object *invoke(Guard &guard, JNIEnv *jni, const char *function, jobject target, jmethodID id,
               const std::vector<jvalue> &arguments, bool expectStatic) {
    Env *env = enter(jni, function);
    const Method *method = checkMethod(id);
    Object *object = deref(env, target, function);
    if (method == nullptr) {
        logLine(jni, std::string(function) + " invalid-method");
        return nullptr;
    }
    std::string head = std::string(function) + " " + method->name;
    if (method->isStatic != expectStatic) {
        logLine(jni, "wrong-method-kind " + head);
    }
    if (!expectStatic && (object == nullptr || object->kind != Kind::Instance ||
                          object->text != method->className)) {
        logLine(jni, "wrong-receiver " + head + " " + describe(object));
    }
    const Rule *rule = findRule(function, method->name);
    if (method->name == "main") {
        Object *args = arguments.empty() ? nullptr : deref(env, arguments[0].l, function);
        logLine(jni, head + " " + arrayText(args));
        if (throwsException(rule)) {
            throwInjected(env, function);
            return nullptr;
        }
        while (state().blockMain) {
            guard.sleepUnlocked(1000);
        }
        return nullptr;
    }
    if (method->name == "dispatchSCMEvent") {
        std::string code = arguments.empty() ? "?" : std::to_string(arguments[0].i);
        logLine(jni, head + " " + code);
        bool throws = throwsException(rule); // the rules may be reloaded during the sleep
        guard.sleepUnlocked(state().dispatchDelayMs);
        if (throws) {
            throwInjected(env, function);
        }
        logLine(jni, std::string(function) + "-return " + method->name + " " + code);
        return nullptr;
    }
    logLine(jni, head);
    if (throwsException(rule)) {
        throwInjected(env, function);
    }
    if (makesNull(rule)) {
        return nullptr;
    }
    return newObject(Kind::Instance, method->className);
}

void JNICALL callStaticVoidMethodV(JNIEnv *jni, jclass cls, jmethodID id, va_list list) {
    Guard guard;
    const Method *method = checkMethod(id);
    std::vector<jvalue> arguments;
    if (method != nullptr) {
        arguments = argumentsFromList(method->signature, list);
    }
    invoke(guard, jni, "CallStaticVoidMethod", cls, id, arguments, true);
}

void JNICALL callStaticVoidMethod(JNIEnv *jni, jclass cls, jmethodID id, ...) {
    va_list list;
    va_start(list, id);
    callStaticVoidMethodV(jni, cls, id, list);
    va_end(list);
}

void JNICALL callStaticVoidMethodA(JNIEnv *jni, jclass cls, jmethodID id, const jvalue *array) {
    Guard guard;
    const Method *method = checkMethod(id);
    std::vector<jvalue> arguments;
    if (method != nullptr) {
        arguments = argumentsFromArray(method->signature, array);
    }
    invoke(guard, jni, "CallStaticVoidMethod", cls, id, arguments, true);
}

jobject JNICALL callStaticObjectMethodV(JNIEnv *jni, jclass cls, jmethodID id, va_list list) {
    Guard guard;
    const Method *method = checkMethod(id);
    std::vector<jvalue> arguments;
    if (method != nullptr) {
        arguments = argumentsFromList(method->signature, list);
    }
    Object *result = invoke(guard, jni, "CallStaticObjectMethod", cls, id, arguments, true);
    return newRef(reinterpret_cast<Env *>(jni), result, false);
}

jobject JNICALL callStaticObjectMethod(JNIEnv *jni, jclass cls, jmethodID id, ...) {
    va_list list;
    va_start(list, id);
    jobject result = callStaticObjectMethodV(jni, cls, id, list);
    va_end(list);
    return result;
}

jobject JNICALL callStaticObjectMethodA(JNIEnv *jni, jclass cls, jmethodID id,
                                        const jvalue *array) {
    Guard guard;
    const Method *method = checkMethod(id);
    std::vector<jvalue> arguments;
    if (method != nullptr) {
        arguments = argumentsFromArray(method->signature, array);
    }
    Object *result = invoke(guard, jni, "CallStaticObjectMethod", cls, id, arguments, true);
    return newRef(reinterpret_cast<Env *>(jni), result, false);
}

void JNICALL callVoidMethodV(JNIEnv *jni, jobject target, jmethodID id, va_list list) {
    Guard guard;
    const Method *method = checkMethod(id);
    std::vector<jvalue> arguments;
    if (method != nullptr) {
        arguments = argumentsFromList(method->signature, list);
    }
    invoke(guard, jni, "CallVoidMethod", target, id, arguments, false);
}

void JNICALL callVoidMethod(JNIEnv *jni, jobject target, jmethodID id, ...) {
    va_list list;
    va_start(list, id);
    callVoidMethodV(jni, target, id, list);
    va_end(list);
}

void JNICALL callVoidMethodA(JNIEnv *jni, jobject target, jmethodID id, const jvalue *array) {
    Guard guard;
    const Method *method = checkMethod(id);
    std::vector<jvalue> arguments;
    if (method != nullptr) {
        arguments = argumentsFromArray(method->signature, array);
    }
    invoke(guard, jni, "CallVoidMethod", target, id, arguments, false);
}

jboolean JNICALL exceptionCheck(JNIEnv *jni) {
    Guard guard;
    Env *env = enter(jni, "ExceptionCheck");
    bool pending = env != nullptr && env->pending != nullptr;
    logLine(jni, std::string("ExceptionCheck ") + (pending ? "1" : "0"));
    return pending ? JNI_TRUE : JNI_FALSE;
}

void JNICALL exceptionClear(JNIEnv *jni) {
    Guard guard;
    Env *env = enter(jni, "ExceptionClear");
    logLine(jni, "ExceptionClear");
    if (env != nullptr) {
        env->pending = nullptr;
    }
}

jthrowable JNICALL exceptionOccurred(JNIEnv *jni) {
    Guard guard;
    Env *env = enter(jni, "ExceptionOccurred");
    logLine(jni, "ExceptionOccurred");
    return env != nullptr ? static_cast<jthrowable>(newRef(env, env->pending, false)) : nullptr;
}

// Prints the pending exception to stderr and clears it, as a real VM does.
void JNICALL exceptionDescribe(JNIEnv *jni) {
    Guard guard;
    Env *env = enter(jni, "ExceptionDescribe");
    logLine(jni, "ExceptionDescribe");
    if (env != nullptr && env->pending != nullptr) {
        fprintf(stderr, "Exception in thread \"testjvm\" %s: %s\n", env->pending->text.c_str(),
                env->pending->message.c_str());
        fflush(stderr);
        env->pending = nullptr;
    }
}

jobject JNICALL newGlobalRef(JNIEnv *jni, jobject handle) {
    Guard guard;
    Env *env = enter(jni, "NewGlobalRef");
    Object *object = deref(env, handle, "NewGlobalRef");
    logLine(jni, "NewGlobalRef " + describe(object));
    const Rule *rule = findRule("NewGlobalRef", classNameOf(object));
    if (throwsException(rule)) {
        throwInjected(env, "NewGlobalRef");
    }
    if (makesNull(rule)) {
        return nullptr;
    }
    return newRef(env, object, true);
}

void deleteRef(JNIEnv *jni, jobject handle, bool global) {
    const char *function = global ? "DeleteGlobalRef" : "DeleteLocalRef";
    Env *env = enter(jni, function);
    Object *object = deref(env, handle, function);
    logLine(jni, std::string(function) + " " + describe(object));
    Ref *ref = findRef(handle);
    if (ref == nullptr) {
        return;
    }
    if (ref->global != global) {
        logLine(jni, std::string("wrong-ref-kind ") + function);
    }
    ref->deleted = true;
}

void JNICALL deleteLocalRef(JNIEnv *jni, jobject handle) {
    Guard guard;
    deleteRef(jni, handle, false);
}

void JNICALL deleteGlobalRef(JNIEnv *jni, jobject handle) {
    Guard guard;
    deleteRef(jni, handle, true);
}

jclass JNICALL getObjectClass(JNIEnv *jni, jobject handle) {
    Guard guard;
    Env *env = enter(jni, "GetObjectClass");
    Object *object = deref(env, handle, "GetObjectClass");
    std::string name = classNameOf(object);
    logLine(jni, "GetObjectClass " + name);
    const Rule *rule = findRule("GetObjectClass", name);
    if (throwsException(rule)) {
        throwInjected(env, "GetObjectClass");
    }
    if (makesNull(rule) || object == nullptr) {
        return nullptr;
    }
    return static_cast<jclass>(newRef(env, classObject(name), false));
}

// ---- the JavaVM functions ----

// Whether a rule asks an invocation function for a result of its choice.
bool injectsNumber(const Rule *rule, jint *result) {
    if (rule != nullptr && rule->mode == Mode::Number) {
        *result = rule->number;
        return true;
    }
    return false;
}

jint JNICALL destroyJavaVm(JavaVM *vm) {
    Guard guard;
    enterVm(vm, "DestroyJavaVM");
    State &s = state();
    logLine(currentEnv(), "DestroyJavaVM");
    jint injected = JNI_OK;
    if (injectsNumber(findRule("DestroyJavaVM", ""), &injected)) {
        return injected;
    }
    // As a real VM: waits until this is the last attached non-daemon thread.
    bool announced = false;
    for (;;) {
        size_t others = 0;
        for (const auto &entry : s.threadEnvs) {
            others += entry.first != currentThreadId() && !entry.second->daemon ? 1 : 0;
        }
        if (others == 0) {
            break;
        }
        if (!announced) {
            logLine(currentEnv(), "waiting DestroyJavaVM threads=" + std::to_string(others));
            announced = true;
        }
        guard.sleepUnlocked(10);
    }
    Env *env = currentEnv();
    if (env != nullptr) {
        detach(env);
    }
    s.destroyed = true;
    return JNI_OK;
}

jint attach(JavaVM *vm, void **penv, void *args, bool daemon) {
    const char *function = daemon ? "AttachCurrentThreadAsDaemon" : "AttachCurrentThread";
    enterVm(vm, function);
    std::string details = function;
    if (args != nullptr) {
        const JavaVMAttachArgs *attachArgs = static_cast<const JavaVMAttachArgs *>(args);
        details += " version=" + hexText(static_cast<uintptr_t>(attachArgs->version)) +
                   " name=" + (attachArgs->name != nullptr ? attachArgs->name : "(null)");
    }
    const Rule *rule = findRule(function, "");
    jint injected = JNI_OK;
    if (injectsNumber(rule, &injected) || makesNull(rule)) {
        logLine(nullptr, details);
        if (penv != nullptr) {
            *penv = nullptr;
        }
        return injected;
    }
    Env *env = currentEnv();
    if (env == nullptr) {
        env = attachCurrent(daemon);
    }
    logLine(env, details);
    if (penv != nullptr) {
        *penv = env;
    }
    return JNI_OK;
}

jint JNICALL attachCurrentThread(JavaVM *vm, void **penv, void *args) {
    Guard guard;
    return attach(vm, penv, args, false);
}

jint JNICALL attachCurrentThreadAsDaemon(JavaVM *vm, void **penv, void *args) {
    Guard guard;
    return attach(vm, penv, args, true);
}

jint JNICALL detachCurrentThread(JavaVM *vm) {
    Guard guard;
    enterVm(vm, "DetachCurrentThread");
    Env *env = currentEnv();
    logLine(env, "DetachCurrentThread");
    jint injected = JNI_OK;
    if (injectsNumber(findRule("DetachCurrentThread", ""), &injected)) {
        return injected;
    }
    if (env != nullptr) {
        detach(env);
    }
    return JNI_OK;
}

jint JNICALL getEnv(JavaVM *vm, void **penv, jint version) {
    Guard guard;
    enterVm(vm, "GetEnv");
    Env *env = currentEnv();
    logLine(env, "GetEnv version=" + hexText(static_cast<uintptr_t>(version)));
    if (penv != nullptr) {
        *penv = nullptr;
    }
    if (!isSupportedVersion(version)) {
        return JNI_EVERSION;
    }
    if (env == nullptr) {
        return JNI_EDETACHED;
    }
    if (penv != nullptr) {
        *penv = env;
    }
    return JNI_OK;
}

// ---- the tables ----

enum SlotIndex {
#define TESTJVM_SLOT(name) slot_##name,
#include "jni_slots.h"
#undef TESTJVM_SLOT
    slotCount
};

const char *const slotNames[] = {
#define TESTJVM_SLOT(name) #name,
#include "jni_slots.h"
#undef TESTJVM_SLOT
};

static_assert(sizeof(JNINativeInterface_) == (slotCount + 4) * sizeof(void *),
              "jni_slots.h must list every function of this jni.h");

void logUnexpected(const void *env, int slot) {
    Guard guard;
    if (state().destroyed) {
        logLine(env, std::string("after-destroy ") + slotNames[slot]);
    }
    logLine(env, std::string("unexpected ") + slotNames[slot]);
}

// mingw-w64 for x64 gives va_list an attribute that a template argument drops; the stubs
// never read their va_list, and x64 has a single calling convention.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wignored-attributes"
JNINativeInterface_ makeNativeTable() {
    JNINativeInterface_ table{};
    // Each slot first gets a stub of its own type: under __stdcall the callee pops the
    // arguments, so a stub must take exactly the arguments of its slot.
#define TESTJVM_SLOT(name) table.name = Unexpected<slot_##name, decltype(table.name)>::call;
#include "jni_slots.h"
#undef TESTJVM_SLOT
    table.GetVersion = getVersion;
    table.FindClass = findClass;
    table.GetStaticMethodID = getStaticMethodId;
    table.GetMethodID = getMethodId;
    table.NewObjectArray = newObjectArray;
    table.SetObjectArrayElement = setObjectArrayElement;
    table.GetObjectArrayElement = getObjectArrayElement;
    table.GetArrayLength = getArrayLength;
    table.NewStringUTF = newStringUtf;
    table.GetStringUTFLength = getStringUtfLength;
    table.GetStringUTFChars = getStringUtfChars;
    table.ReleaseStringUTFChars = releaseStringUtfChars;
    table.CallStaticVoidMethod = callStaticVoidMethod;
    table.CallStaticVoidMethodV = callStaticVoidMethodV;
    table.CallStaticVoidMethodA = callStaticVoidMethodA;
    table.CallStaticObjectMethod = callStaticObjectMethod;
    table.CallStaticObjectMethodV = callStaticObjectMethodV;
    table.CallStaticObjectMethodA = callStaticObjectMethodA;
    table.CallVoidMethod = callVoidMethod;
    table.CallVoidMethodV = callVoidMethodV;
    table.CallVoidMethodA = callVoidMethodA;
    table.ExceptionCheck = exceptionCheck;
    table.ExceptionClear = exceptionClear;
    table.ExceptionOccurred = exceptionOccurred;
    table.ExceptionDescribe = exceptionDescribe;
    table.NewGlobalRef = newGlobalRef;
    table.DeleteGlobalRef = deleteGlobalRef;
    table.DeleteLocalRef = deleteLocalRef;
    table.GetObjectClass = getObjectClass;
    return table;
}
#pragma GCC diagnostic pop

const JNINativeInterface_ nativeTable = makeNativeTable();

const JNIInvokeInterface_ invokeTable = {nullptr,
                                         nullptr,
                                         nullptr,
                                         destroyJavaVm,
                                         attachCurrentThread,
                                         detachCurrentThread,
                                         getEnv,
                                         attachCurrentThreadAsDaemon};

} // namespace

// ---- exports ----

extern "C" {

#ifdef TESTJVM_COMPANION
__declspec(dllimport) int jvmdepPresent(void);
#endif

#ifndef TESTJVM_NO_DEFAULT_INIT_ARGS
JNIEXPORT jint JNICALL JNI_GetDefaultJavaVMInitArgs(void *args) {
    Guard guard;
    loadConfiguration();
    JavaVMInitArgs *initArgs = static_cast<JavaVMInitArgs *>(args);
    jint version = initArgs != nullptr ? initArgs->version : 0;
    logLine(nullptr,
            "JNI_GetDefaultJavaVMInitArgs version=" + hexText(static_cast<uintptr_t>(version)));
    jint injected = JNI_OK;
    if (injectsNumber(findRule("JNI_GetDefaultJavaVMInitArgs", ""), &injected)) {
        return injected;
    }
    return isSupportedVersion(version) ? JNI_OK : JNI_ERR;
}
#endif

// Unlike a real VM this one can be created again after DestroyJavaVM, so that one process can
// run several cases in turn; the new VM starts afresh.
JNIEXPORT jint JNICALL JNI_CreateJavaVM(JavaVM **pvm, void **penv, void *args) {
    Guard guard;
    State &s = state();
    loadConfiguration();
#ifdef TESTJVM_COMPANION
    jvmdepPresent();
#endif
    const JavaVMInitArgs *initArgs = static_cast<const JavaVMInitArgs *>(args);
    std::vector<std::string> lines;
    jint version = 0;
    if (initArgs == nullptr) {
        lines.push_back("JNI_CreateJavaVM args=null");
    } else {
        version = initArgs->version;
        lines.push_back("JNI_CreateJavaVM version=" + hexText(static_cast<uintptr_t>(version)) +
                        " nOptions=" + std::to_string(initArgs->nOptions) +
                        " ignoreUnrecognized=" + std::to_string(initArgs->ignoreUnrecognized));
        for (jint i = 0; i < initArgs->nOptions && initArgs->options != nullptr; ++i) {
            const char *option = initArgs->options[i].optionString;
            lines.push_back(std::string("option ") + (option != nullptr ? option : "(null)"));
        }
    }
    if (pvm != nullptr) {
        *pvm = nullptr;
    }
    if (penv != nullptr) {
        *penv = nullptr;
    }

    jint result = JNI_OK;
    const Rule *rule = findRule("JNI_CreateJavaVM", "");
    Env *env = nullptr;
    if (s.created && !s.destroyed) {
        result = JNI_EEXIST;
    } else if (initArgs == nullptr || !isSupportedVersion(version)) {
        result = JNI_EVERSION;
    } else if (!injectsNumber(rule, &result)) {
        for (Env &old : s.envs) {
            old.attached = false;
        }
        s.threadEnvs.clear();
        for (Ref &ref : s.refs) {
            ref.deleted = true;
        }
        s.classes.clear();
        defineMethods();
        s.created = true;
        s.destroyed = false;
        env = attachCurrent(false);
        if (!makesNull(rule)) {
            if (pvm != nullptr) {
                *pvm = &theVm;
            }
            if (penv != nullptr) {
                *penv = env;
            }
        }
    }
    for (const std::string &line : lines) {
        logLine(env, line);
    }
    return result;
}

} // extern "C"
