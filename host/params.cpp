// Launch parameters: the partition into JVM options, working directory and application
// arguments, and the TAB-separated form in which the service keeps them.
#include "host.h"

#include <stdlib.h>
#include <string.h>

namespace {

const char workingDirectoryPrefix[] = "wrkdir=";
const size_t workingDirectoryPrefixLength = sizeof(workingDirectoryPrefix) - 1;

bool isJvmOption(const char *parameter) {
    return (parameter[0] == '-' || parameter[0] == '/') &&
           (parameter[1] == 'D' || parameter[1] == 'X');
}

char lowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool hasWorkingDirectoryPrefix(const char *parameter) {
    for (size_t i = 0; i < workingDirectoryPrefixLength; ++i) {
        if (lowerAscii(parameter[i]) != workingDirectoryPrefix[i]) {
            return false;
        }
    }
    return true;
}

bool isAppArgument(const char *parameter) {
    return !isJvmOption(parameter) && !hasWorkingDirectoryPrefix(parameter);
}

char *copyText(const char *text, size_t length) {
    char *copy = static_cast<char *>(malloc(length + 1));
    if (copy != nullptr) {
        memcpy(copy, text, length);
        copy[length] = '\0';
    }
    return copy;
}

// Builds a list of `count` strings; piece(i) gives the text and length of string i. A list is
// built whole or not at all: when memory runs out, the result is the empty list.
template <typename Piece> ArgumentList buildList(unsigned count, Piece piece) {
    ArgumentList list = {0, nullptr};
    if (count == 0) {
        return list;
    }
    list.strings = static_cast<char **>(calloc(count, sizeof(char *)));
    if (list.strings == nullptr) {
        return list;
    }
    for (unsigned i = 0; i < count; ++i) {
        size_t length = 0;
        const char *text = piece(i, &length);
        list.strings[list.count] = copyText(text, length);
        if (list.strings[list.count] == nullptr) {
            releaseArgumentList(&list);
            return list;
        }
        ++list.count;
    }
    return list;
}

template <typename Test> ArgumentList collect(unsigned n, char *const *parameters, Test test) {
    unsigned count = 0;
    for (unsigned i = 0; i < n; ++i) {
        count += test(parameters[i]) ? 1 : 0;
    }
    unsigned next = 0;
    return buildList(count, [&](unsigned, size_t *length) {
        while (!test(parameters[next])) {
            ++next;
        }
        const char *text = parameters[next++];
        *length = strlen(text);
        return text;
    });
}

} // namespace

ArgumentList collectJvmOptions(unsigned n, char *const *parameters) {
    return collect(n, parameters, isJvmOption);
}

ArgumentList collectAppArguments(unsigned n, char *const *parameters) {
    return collect(n, parameters, isAppArgument);
}

const char *findWorkingDirectory(unsigned n, char *const *parameters) {
    for (unsigned i = 0; i < n; ++i) {
        if (hasWorkingDirectoryPrefix(parameters[i]) &&
            parameters[i][workingDirectoryPrefixLength] != '\0') {
            return parameters[i] + workingDirectoryPrefixLength;
        }
    }
    return nullptr;
}

ArgumentList splitAppParameters(const char *text) {
    unsigned count = 0;
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p != '\t' && (p == text || p[-1] == '\t')) {
            ++count;
        }
    }
    const char *next = text;
    return buildList(count, [&](unsigned, size_t *length) {
        while (*next == '\t') {
            ++next;
        }
        const char *token = next;
        while (*next != '\t' && *next != '\0') {
            ++next;
        }
        *length = static_cast<size_t>(next - token);
        return token;
    });
}

char *joinAppParameters(unsigned s, unsigned n, char *const *arguments, char *buffer) {
    if (s >= n) {
        return nullptr;
    }
    size_t used = 0;
    for (unsigned i = s; i < n; ++i) {
        size_t length = strlen(arguments[i]);
        size_t separator = i > s ? 1 : 0;
        if (length + separator >= appParametersCapacity - used) {
            return nullptr;
        }
        if (separator != 0) {
            buffer[used++] = '\t';
        }
        memcpy(buffer + used, arguments[i], length);
        used += length;
    }
    buffer[used] = '\0';
    return buffer;
}

void releaseArgumentList(ArgumentList *list) {
    for (unsigned i = 0; i < list->count; ++i) {
        free(list->strings[i]);
    }
    free(list->strings);
    list->count = 0;
    list->strings = nullptr;
}

ArgumentList copyArgumentList(const ArgumentList &list) {
    return buildList(list.count, [&](unsigned i, size_t *length) {
        *length = strlen(list.strings[i]);
        return list.strings[i];
    });
}
