// The registry: a key tree below the predefined roots, with the REGEDIT4 text form, optionally
// kept in the file named by STANDIN_REGISTRY.
#include "internal.h"

#include <standin/control.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <mutex>
#include <sstream>

namespace standin {
namespace detail {
namespace {

struct Value {
    std::string name;
    DWORD type;
    std::string data;
};

struct Node {
    std::string name;
    std::string keyClass;
    std::map<std::string, std::shared_ptr<Node>> subkeys; // by lower-case name
    std::map<std::string, Value> values;                  // by lower-case name
    bool deleted = false;
};

struct KeyHandle {
    std::shared_ptr<Node> node;
    REGSAM access;
    std::string path; // "HKLM\..."
};

struct Root {
    uintptr_t value;
    const char *shortName;
    const char *longName;
};

const Root roots[] = {
    {0x80000002u, "HKLM", "HKEY_LOCAL_MACHINE"},
    {0x80000001u, "HKCU", "HKEY_CURRENT_USER"},
    {0x80000000u, "HKCR", "HKEY_CLASSES_ROOT"},
    {0x80000003u, "HKU", "HKEY_USERS"},
};

struct Registry {
    std::recursive_mutex mutex;
    std::map<uintptr_t, std::shared_ptr<Node>> trees;
    std::map<std::string, REGSAM> denied; // by lower-case full path
    std::vector<std::string> calls;
    bool loaded = false;
};

Registry &registry() {
    static Registry *instance = new Registry;
    return *instance;
}

const Root *rootOf(HKEY key) {
    for (const Root &root : roots) {
        if (reinterpret_cast<uintptr_t>(key) == root.value) {
            return &root;
        }
    }
    return nullptr;
}

std::shared_ptr<Node> tree(uintptr_t root) {
    std::shared_ptr<Node> &node = registry().trees[root];
    if (!node) {
        node = std::make_shared<Node>();
    }
    return node;
}

std::vector<std::string> components(const char *path) {
    std::vector<std::string> parts;
    std::string part;
    for (const char *p = path; p != nullptr && *p != '\0'; ++p) {
        if (*p == '\\') {
            if (!part.empty()) {
                parts.push_back(part);
            }
            part.clear();
        } else {
            part += *p;
        }
    }
    if (!part.empty()) {
        parts.push_back(part);
    }
    return parts;
}

bool loadText(const std::string &text, std::map<uintptr_t, std::shared_ptr<Node>> *trees);
std::string saveText();

void load() {
    Registry &r = registry();
    if (r.loaded) {
        return;
    }
    r.loaded = true;
    const char *path = getenv("STANDIN_REGISTRY");
    if (path == nullptr || path[0] == '\0') {
        return;
    }
    FILE *in = fopen(path, "rb");
    if (in == nullptr) {
        return;
    }
    std::string text;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, in)) > 0;) {
        text.append(buffer, n);
    }
    fclose(in);
    std::map<uintptr_t, std::shared_ptr<Node>> trees;
    if (loadText(text, &trees)) {
        r.trees = trees;
    } else {
        fprintf(stderr, "stand-in: %s is not a REGEDIT4 file\n", path);
    }
}

void persist() {
    const char *path = getenv("STANDIN_REGISTRY");
    if (path == nullptr || path[0] == '\0') {
        return;
    }
    std::string temporary = std::string(path) + ".tmp";
    FILE *out = fopen(temporary.c_str(), "wb");
    if (out == nullptr) {
        return;
    }
    std::string text = saveText();
    fwrite(text.data(), 1, text.size(), out);
    fclose(out);
    rename(temporary.c_str(), path);
}

// The key and path that a handle or root stands for: ERROR_INVALID_HANDLE for a handle that is
// not open, ERROR_KEY_DELETED for one whose key has been deleted since.
LSTATUS resolveBase(HKEY key, std::shared_ptr<Node> *node, std::string *path, REGSAM *access) {
    if (const Root *root = rootOf(key)) {
        *node = tree(root->value);
        *path = root->shortName;
        *access = KEY_ALL_ACCESS;
        return ERROR_SUCCESS;
    }
    std::shared_ptr<KeyHandle> handle =
        std::static_pointer_cast<KeyHandle>(findHandle(key, {Kind::key}));
    if (!handle) {
        return ERROR_INVALID_HANDLE;
    }
    *node = handle->node;
    *path = handle->path;
    *access = handle->access;
    return handle->node->deleted ? ERROR_KEY_DELETED : ERROR_SUCCESS;
}

std::string hexText(unsigned long value, int width) {
    char text[32];
    snprintf(text, sizeof text, "0x%0*lx", width, value);
    return text;
}

void record(const std::string &call) {
    registry().calls.push_back(call);
}

bool accessDenied(const std::string &path, REGSAM sam) {
    auto found = registry().denied.find(lower(path));
    return found != registry().denied.end() && (found->second & sam) != 0;
}

HKEY openHandle(std::shared_ptr<Node> node, REGSAM sam, const std::string &path) {
    auto handle = std::make_shared<KeyHandle>();
    handle->node = std::move(node);
    handle->access = sam;
    handle->path = path;
    return static_cast<HKEY>(addHandle(Kind::key, handle));
}

std::shared_ptr<Node> find(uintptr_t root, const std::string &path) {
    std::shared_ptr<Node> node = tree(root);
    for (const std::string &part : components(path.c_str())) {
        auto found = node->subkeys.find(lower(part));
        if (found == node->subkeys.end()) {
            return nullptr;
        }
        node = found->second;
    }
    return node;
}

std::shared_ptr<Node> create(uintptr_t root, const std::string &path, const std::string &keyClass,
                             bool *created) {
    std::shared_ptr<Node> node = tree(root);
    for (const std::string &part : components(path.c_str())) {
        std::shared_ptr<Node> &child = node->subkeys[lower(part)];
        if (!child) {
            child = std::make_shared<Node>();
            child->name = part;
            child->keyClass = keyClass;
            if (created != nullptr) {
                *created = true;
            }
        }
        node = child;
    }
    return node;
}

void markDeleted(const std::shared_ptr<Node> &node) {
    node->deleted = true;
    for (auto &child : node->subkeys) {
        markDeleted(child.second);
    }
}

// ---- REGEDIT4 text ----

std::string quote(const std::string &text) {
    std::string result = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') {
            result += '\\';
        }
        result += c;
    }
    return result + "\"";
}

bool plainString(const Value &value) {
    if (value.type != REG_SZ || value.data.empty() || value.data.back() != '\0') {
        return false;
    }
    for (size_t i = 0; i + 1 < value.data.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(value.data[i]);
        if (c < 0x20 || c == 0x7f) {
            return false;
        }
    }
    return true;
}

void saveNode(std::ostringstream &out, const std::string &path, const Node &node, bool isRoot) {
    // A root has a section of its own only when it holds values.
    if (!isRoot || !node.values.empty()) {
        out << "[" << path << "]\r\n";
        for (const auto &entry : node.values) {
            const Value &value = entry.second;
            out << (value.name.empty() ? std::string("@") : quote(value.name)) << "=";
            if (plainString(value)) {
                out << quote(value.data.substr(0, value.data.size() - 1));
            } else if (value.type == REG_DWORD && value.data.size() == 4) {
                unsigned long number = 0;
                for (int i = 3; i >= 0; --i) {
                    number = number << 8 | static_cast<unsigned char>(value.data[i]);
                }
                char text[16];
                snprintf(text, sizeof text, "dword:%08lx", number);
                out << text;
            } else {
                char prefix[24];
                if (value.type == REG_BINARY) {
                    snprintf(prefix, sizeof prefix, "hex:");
                } else {
                    snprintf(prefix, sizeof prefix, "hex(%x):", static_cast<unsigned>(value.type));
                }
                out << prefix;
                for (size_t i = 0; i < value.data.size(); ++i) {
                    char byte[4];
                    snprintf(byte, sizeof byte, "%02x", static_cast<unsigned char>(value.data[i]));
                    out << (i > 0 ? "," : "") << byte;
                }
            }
            out << "\r\n";
        }
        out << "\r\n";
    }
    for (const auto &child : node.subkeys) {
        saveNode(out, path + "\\" + child.second->name, *child.second, false);
    }
}

std::string saveText() {
    std::ostringstream out;
    out << "REGEDIT4\r\n\r\n";
    for (const Root &root : roots) {
        auto found = registry().trees.find(root.value);
        if (found != registry().trees.end()) {
            saveNode(out, root.longName, *found->second, true);
        }
    }
    return out.str();
}

bool parseQuoted(const std::string &line, size_t *at, std::string *text) {
    if (*at >= line.size() || line[*at] != '"') {
        return false;
    }
    text->clear();
    for (size_t i = *at + 1; i < line.size(); ++i) {
        char c = line[i];
        if (c == '\\') {
            if (++i >= line.size()) {
                return false;
            }
            *text += line[i];
        } else if (c == '"') {
            *at = i + 1;
            return true;
        } else {
            *text += c;
        }
    }
    return false;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool parseData(const std::string &text, DWORD *type, std::string *data) {
    if (!text.empty() && text[0] == '"') {
        size_t at = 0;
        if (!parseQuoted(text, &at, data) || at != text.size()) {
            return false;
        }
        *type = REG_SZ;
        *data += '\0';
        return true;
    }
    if (text.compare(0, 6, "dword:") == 0) {
        std::string digits = text.substr(6);
        if (digits.empty() || digits.size() > 8) {
            return false;
        }
        unsigned long number = 0;
        for (char c : digits) {
            int d = hexDigit(c);
            if (d < 0) {
                return false;
            }
            number = number << 4 | static_cast<unsigned long>(d);
        }
        *type = REG_DWORD;
        data->clear();
        for (int i = 0; i < 4; ++i) {
            *data += static_cast<char>((number >> (8 * i)) & 0xff);
        }
        return true;
    }
    size_t colon;
    if (text.compare(0, 4, "hex:") == 0) {
        *type = REG_BINARY;
        colon = 3;
    } else if (text.compare(0, 4, "hex(") == 0) {
        size_t close = text.find("):", 4);
        if (close == std::string::npos || close == 4 || close > 12) {
            return false;
        }
        unsigned long number = 0;
        for (size_t i = 4; i < close; ++i) {
            int d = hexDigit(text[i]);
            if (d < 0) {
                return false;
            }
            number = number << 4 | static_cast<unsigned long>(d);
        }
        *type = static_cast<DWORD>(number);
        colon = close + 1;
    } else {
        return false;
    }
    data->clear();
    std::string bytes = text.substr(colon + 1);
    if (bytes.empty()) {
        return true;
    }
    size_t i = 0;
    for (;;) {
        while (i < bytes.size() && (bytes[i] == ' ' || bytes[i] == '\t')) {
            ++i;
        }
        if (i + 2 > bytes.size() || hexDigit(bytes[i]) < 0 || hexDigit(bytes[i + 1]) < 0) {
            return false;
        }
        *data += static_cast<char>(hexDigit(bytes[i]) << 4 | hexDigit(bytes[i + 1]));
        i += 2;
        while (i < bytes.size() && (bytes[i] == ' ' || bytes[i] == '\t')) {
            ++i;
        }
        if (i == bytes.size()) {
            return true;
        }
        if (bytes[i] != ',') {
            return false;
        }
        ++i;
    }
}

// As on Windows, a key tree is at most this deep.
const size_t maxDepth = 512;

bool loadText(const std::string &text, std::map<uintptr_t, std::shared_ptr<Node>> *trees) {
    // Logical lines: CR LF or LF ends a line; a trailing backslash after a hex list continues it.
    std::vector<std::string> lines;
    std::string current;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '\n') {
            if (!current.empty() && current.back() == '\r') {
                current.pop_back();
            }
            if (i < text.size() && !current.empty() && current.back() == '\\' &&
                current.find("=hex") != std::string::npos) {
                current.pop_back();
                continue;
            }
            lines.push_back(current);
            current.clear();
        } else {
            current += text[i];
        }
    }
    if (lines.empty() || lines[0] != "REGEDIT4") {
        return false;
    }
    std::shared_ptr<Node> key;
    for (size_t n = 1; n < lines.size(); ++n) {
        std::string line = lines[n];
        size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == ';') {
            continue;
        }
        line = line.substr(start);
        if (line[0] == '[') {
            if (line.back() != ']' || line.size() < 3) {
                return false;
            }
            std::string path = line.substr(1, line.size() - 2);
            size_t slash = path.find('\\');
            std::string rootName = path.substr(0, slash);
            const Root *root = nullptr;
            for (const Root &r : roots) {
                if (lower(rootName) == lower(r.longName) || lower(rootName) == lower(r.shortName)) {
                    root = &r;
                }
            }
            if (root == nullptr) {
                return false;
            }
            std::shared_ptr<Node> &top = (*trees)[root->value];
            if (!top) {
                top = std::make_shared<Node>();
            }
            key = top;
            if (slash != std::string::npos) {
                std::vector<std::string> parts = components(path.c_str() + slash);
                if (parts.size() > maxDepth) {
                    return false;
                }
                for (const std::string &part : parts) {
                    std::shared_ptr<Node> &child = key->subkeys[lower(part)];
                    if (!child) {
                        child = std::make_shared<Node>();
                        child->name = part;
                    }
                    key = child;
                }
            }
            continue;
        }
        if (!key) {
            return false;
        }
        std::string name;
        size_t at = 0;
        if (line[0] == '@') {
            at = 1;
        } else if (!parseQuoted(line, &at, &name)) {
            return false;
        }
        if (at >= line.size() || line[at] != '=') {
            return false;
        }
        Value value;
        value.name = name;
        if (!parseData(line.substr(at + 1), &value.type, &value.data)) {
            return false;
        }
        key->values[lower(name)] = value;
    }
    return true;
}

// Runs a modifying call under the registry lock, then writes the file.
template <typename Body> LSTATUS change(Body body) {
    Registry &r = registry();
    std::lock_guard<std::recursive_mutex> lock(r.mutex);
    load();
    LSTATUS status = body();
    if (status == ERROR_SUCCESS) {
        persist();
    }
    return status;
}

} // namespace

void createServiceKey(const std::string &name) {
    change([&] {
        create(0x80000002u, "SYSTEM\\CurrentControlSet\\Services\\" + name, "", nullptr);
        return ERROR_SUCCESS;
    });
}

void deleteServiceKey(const std::string &name) {
    deleteKeyTree(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\" + name);
}

void resetRegistryState() {
    Registry &r = registry();
    std::lock_guard<std::recursive_mutex> lock(r.mutex);
    r.loaded = true;
    for (auto &entry : r.trees) {
        markDeleted(entry.second);
    }
    r.trees.clear();
    r.denied.clear();
    r.calls.clear();
}

} // namespace detail

// ---- test control ----

using detail::registry;
using detail::Registry;

static uintptr_t rootValue(HKEY root) {
    return reinterpret_cast<uintptr_t>(root);
}

void resetRegistry() {
    detail::resetRegistryState();
}

void createKey(HKEY root, const std::string &path) {
    detail::change([&] {
        detail::create(rootValue(root), path, "", nullptr);
        return ERROR_SUCCESS;
    });
}

bool keyExists(HKEY root, const std::string &path) {
    std::lock_guard<std::recursive_mutex> lock(registry().mutex);
    detail::load();
    return detail::find(rootValue(root), path) != nullptr;
}

bool deleteKeyTree(HKEY root, const std::string &path) {
    return detail::change([&]() -> LSTATUS {
               std::vector<std::string> parts = detail::components(path.c_str());
               if (parts.empty()) {
                   return ERROR_INVALID_PARAMETER;
               }
               std::string parentPath;
               for (size_t i = 0; i + 1 < parts.size(); ++i) {
                   parentPath += parts[i] + "\\";
               }
               std::shared_ptr<detail::Node> parent = detail::find(rootValue(root), parentPath);
               if (!parent) {
                   return ERROR_FILE_NOT_FOUND;
               }
               auto found = parent->subkeys.find(detail::lower(parts.back()));
               if (found == parent->subkeys.end()) {
                   return ERROR_FILE_NOT_FOUND;
               }
               detail::markDeleted(found->second);
               parent->subkeys.erase(found);
               return ERROR_SUCCESS;
           }) == ERROR_SUCCESS;
}

void setValue(HKEY root, const std::string &path, const std::string &name, DWORD type,
              const std::string &data) {
    detail::change([&] {
        std::shared_ptr<detail::Node> node = detail::create(rootValue(root), path, "", nullptr);
        node->values[detail::lower(name)] = {name, type, data};
        return ERROR_SUCCESS;
    });
}

void setString(HKEY root, const std::string &path, const std::string &name,
               const std::string &text) {
    setValue(root, path, name, REG_SZ, text + std::string(1, '\0'));
}

void setDword(HKEY root, const std::string &path, const std::string &name, DWORD value) {
    std::string data;
    for (int i = 0; i < 4; ++i) {
        data += static_cast<char>((value >> (8 * i)) & 0xff);
    }
    setValue(root, path, name, REG_DWORD, data);
}

std::optional<RegValue> getValue(HKEY root, const std::string &path, const std::string &name) {
    std::lock_guard<std::recursive_mutex> lock(registry().mutex);
    detail::load();
    std::shared_ptr<detail::Node> node = detail::find(rootValue(root), path);
    if (!node) {
        return std::nullopt;
    }
    auto found = node->values.find(detail::lower(name));
    if (found == node->values.end()) {
        return std::nullopt;
    }
    return RegValue{found->second.type, found->second.data};
}

std::vector<std::string> valueNames(HKEY root, const std::string &path) {
    std::lock_guard<std::recursive_mutex> lock(registry().mutex);
    detail::load();
    std::vector<std::string> names;
    if (std::shared_ptr<detail::Node> node = detail::find(rootValue(root), path)) {
        for (const auto &entry : node->values) {
            names.push_back(entry.second.name);
        }
    }
    return names;
}

std::vector<std::string> subkeyNames(HKEY root, const std::string &path) {
    std::lock_guard<std::recursive_mutex> lock(registry().mutex);
    detail::load();
    std::vector<std::string> names;
    if (std::shared_ptr<detail::Node> node = detail::find(rootValue(root), path)) {
        for (const auto &entry : node->subkeys) {
            names.push_back(entry.second->name);
        }
    }
    return names;
}

std::string keyClass(HKEY root, const std::string &path) {
    std::lock_guard<std::recursive_mutex> lock(registry().mutex);
    detail::load();
    std::shared_ptr<detail::Node> node = detail::find(rootValue(root), path);
    return node ? node->keyClass : std::string();
}

void denyAccess(HKEY root, const std::string &path, REGSAM mask) {
    std::lock_guard<std::recursive_mutex> lock(registry().mutex);
    const detail::Root *r = detail::rootOf(root);
    if (r == nullptr) {
        return;
    }
    std::string full = r->shortName;
    for (const std::string &part : detail::components(path.c_str())) {
        full += "\\" + part;
    }
    if (mask == 0) {
        registry().denied.erase(detail::lower(full));
    } else {
        registry().denied[detail::lower(full)] = mask;
    }
}

int openKeyCount() {
    return detail::countHandles(detail::Kind::key);
}

std::string registryText() {
    std::lock_guard<std::recursive_mutex> lock(registry().mutex);
    detail::load();
    return detail::saveText();
}

bool loadRegistryText(const std::string &text) {
    std::map<uintptr_t, std::shared_ptr<detail::Node>> trees;
    if (!detail::loadText(text, &trees)) {
        return false;
    }
    std::lock_guard<std::recursive_mutex> lock(registry().mutex);
    detail::load();
    for (auto &entry : registry().trees) {
        detail::markDeleted(entry.second);
    }
    registry().trees = trees;
    return true;
}

std::vector<std::string> registryCalls() {
    std::lock_guard<std::recursive_mutex> lock(registry().mutex);
    return registry().calls;
}

void clearRegistryCalls() {
    std::lock_guard<std::recursive_mutex> lock(registry().mutex);
    registry().calls.clear();
}

} // namespace standin

// ---- the API ----

namespace {

using standin::detail::Kind;
using standin::detail::lower;
using standin::detail::Node;
using standin::detail::registry;

// The registry lock, with the tree loaded.
struct Locked {
    std::lock_guard<std::recursive_mutex> lock{registry().mutex};
    Locked() { standin::detail::load(); }
};

// What a call works on: the key its handle stands for, and the full path of the subkey named.
struct Target {
    LSTATUS status;
    std::shared_ptr<Node> base;
    REGSAM access;
    std::string path;
    std::vector<std::string> parts;
};

Target target(HKEY key, LPCSTR subKey) {
    Target t;
    t.status = standin::detail::resolveBase(key, &t.base, &t.path, &t.access);
    if (t.status == ERROR_INVALID_HANDLE) {
        t.path = "<invalid handle>";
    }
    t.parts = standin::detail::components(subKey);
    for (const std::string &part : t.parts) {
        t.path += "\\" + part;
    }
    return t;
}

std::string valueLabel(LPCSTR name) {
    return name == nullptr || name[0] == '\0' ? std::string("@") : std::string(name);
}

} // namespace

extern "C" {

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired,
                             PHKEY phkResult) {
    DWORD fault = standin::detail::enter("RegOpenKeyExA");
    Locked locked;
    Target t = target(hKey, lpSubKey);
    standin::detail::record("RegOpenKeyExA " + t.path + " " +
                            standin::detail::hexText(samDesired, 0));
    if (fault != 0) {
        return static_cast<LSTATUS>(fault);
    }
    if (t.status != ERROR_SUCCESS) {
        return t.status;
    }
    if (phkResult == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    std::shared_ptr<Node> node = t.base;
    for (const std::string &part : t.parts) {
        auto found = node->subkeys.find(lower(part));
        if (found == node->subkeys.end()) {
            return ERROR_FILE_NOT_FOUND;
        }
        node = found->second;
    }
    if (standin::detail::accessDenied(t.path, samDesired)) {
        return ERROR_ACCESS_DENIED;
    }
    *phkResult = standin::detail::openHandle(node, samDesired, t.path);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR lpClass, DWORD,
                               REGSAM samDesired, const LPSECURITY_ATTRIBUTES, PHKEY phkResult,
                               LPDWORD lpdwDisposition) {
    DWORD fault = standin::detail::enter("RegCreateKeyExA");
    return standin::detail::change([&]() -> LSTATUS {
        Target t = target(hKey, lpSubKey);
        standin::detail::record("RegCreateKeyExA " + t.path + " " +
                                standin::detail::hexText(samDesired, 0) +
                                " class=" + (lpClass != nullptr ? lpClass : "(null)"));
        if (fault != 0) {
            return static_cast<LSTATUS>(fault);
        }
        if (t.status != ERROR_SUCCESS) {
            return t.status;
        }
        if (phkResult == nullptr) {
            return ERROR_INVALID_PARAMETER;
        }
        if (standin::detail::accessDenied(t.path, samDesired)) {
            return ERROR_ACCESS_DENIED;
        }
        std::shared_ptr<Node> node = t.base;
        bool created = false;
        for (const std::string &part : t.parts) {
            std::shared_ptr<Node> &child = node->subkeys[lower(part)];
            if (!child) {
                child = std::make_shared<Node>();
                child->name = part;
                child->keyClass = lpClass != nullptr ? lpClass : "";
                created = true;
            }
            node = child;
        }
        if (lpdwDisposition != nullptr) {
            *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
        }
        *phkResult = standin::detail::openHandle(node, samDesired, t.path);
        return ERROR_SUCCESS;
    });
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType,
                                LPBYTE lpData, LPDWORD lpcbData) {
    DWORD fault = standin::detail::enter("RegQueryValueExA");
    Locked locked;
    Target t = target(hKey, nullptr);
    standin::detail::record("RegQueryValueExA " + t.path + " " + valueLabel(lpValueName));
    if (fault != 0) {
        return static_cast<LSTATUS>(fault);
    }
    if (t.status != ERROR_SUCCESS) {
        return t.status;
    }
    if ((t.access & KEY_QUERY_VALUE) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    if (lpData != nullptr && lpcbData == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    auto found = t.base->values.find(lower(lpValueName != nullptr ? lpValueName : ""));
    if (found == t.base->values.end()) {
        return ERROR_FILE_NOT_FOUND;
    }
    const standin::detail::Value &value = found->second;
    if (lpType != nullptr) {
        *lpType = value.type;
    }
    DWORD size = static_cast<DWORD>(value.data.size());
    if (lpcbData == nullptr) {
        return ERROR_SUCCESS;
    }
    if (lpData != nullptr) {
        if (size > *lpcbData) {
            *lpcbData = size;
            return ERROR_MORE_DATA;
        }
        memcpy(lpData, value.data.data(), size);
    }
    *lpcbData = size;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType,
                              const BYTE *lpData, DWORD cbData) {
    DWORD fault = standin::detail::enter("RegSetValueExA");
    return standin::detail::change([&]() -> LSTATUS {
        Target t = target(hKey, nullptr);
        standin::detail::record("RegSetValueExA " + t.path + " " + valueLabel(lpValueName) +
                                " type=" + std::to_string(dwType) +
                                " size=" + std::to_string(cbData));
        if (fault != 0) {
            return static_cast<LSTATUS>(fault);
        }
        if (t.status != ERROR_SUCCESS) {
            return t.status;
        }
        if ((t.access & KEY_SET_VALUE) == 0) {
            return ERROR_ACCESS_DENIED;
        }
        if (lpData == nullptr && cbData != 0) {
            return ERROR_INVALID_PARAMETER;
        }
        std::string name = lpValueName != nullptr ? lpValueName : "";
        t.base->values[lower(name)] = {
            name, dwType,
            std::string(reinterpret_cast<const char *>(lpData), lpData != nullptr ? cbData : 0)};
        return ERROR_SUCCESS;
    });
}

LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    DWORD fault = standin::detail::enter("RegDeleteKeyA");
    return standin::detail::change([&]() -> LSTATUS {
        Target t = target(hKey, lpSubKey);
        standin::detail::record("RegDeleteKeyA " + t.path);
        if (fault != 0) {
            return static_cast<LSTATUS>(fault);
        }
        if (t.status != ERROR_SUCCESS) {
            return t.status;
        }
        if (lpSubKey == nullptr) {
            return ERROR_INVALID_PARAMETER;
        }
        if (t.parts.empty()) {
            // The key of the handle itself, or a root: never deleted this way here.
            return ERROR_ACCESS_DENIED;
        }
        std::shared_ptr<Node> node = t.base;
        for (size_t i = 0; i + 1 < t.parts.size(); ++i) {
            auto found = node->subkeys.find(lower(t.parts[i]));
            if (found == node->subkeys.end()) {
                return ERROR_FILE_NOT_FOUND;
            }
            node = found->second;
        }
        auto found = node->subkeys.find(lower(t.parts.back()));
        if (found == node->subkeys.end()) {
            return ERROR_FILE_NOT_FOUND;
        }
        if (!found->second->subkeys.empty()) {
            return ERROR_ACCESS_DENIED;
        }
        found->second->deleted = true;
        node->subkeys.erase(found);
        return ERROR_SUCCESS;
    });
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
    DWORD fault = standin::detail::enter("RegCloseKey");
    Locked locked;
    if (standin::detail::rootOf(hKey) != nullptr) {
        standin::detail::record("RegCloseKey " +
                                std::string(standin::detail::rootOf(hKey)->shortName));
        return static_cast<LSTATUS>(fault);
    }
    Kind kind;
    std::shared_ptr<standin::detail::KeyHandle> handle;
    if (fault == 0) {
        handle = std::static_pointer_cast<standin::detail::KeyHandle>(
            standin::detail::takeHandle(hKey, {Kind::key}, &kind));
    } else {
        handle = std::static_pointer_cast<standin::detail::KeyHandle>(
            standin::detail::findHandle(hKey, {Kind::key}));
    }
    standin::detail::record("RegCloseKey " + (handle ? handle->path : "<invalid handle>"));
    if (fault != 0) {
        return static_cast<LSTATUS>(fault);
    }
    return handle ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

} // extern "C"
