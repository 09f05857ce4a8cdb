// Launch parameters from arbitrary bytes: the split of an AppParameters text, the partition of
// its tokens (and of arbitrary argument vectors) and the join back into the 8192-byte buffer.
#include "host.h"

#include "check.h"

#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <strings.h>

#include <string>
#include <vector>

namespace {

using Texts = std::vector<std::string>;

Texts texts(const ArgumentList &list) {
    FUZZ_CHECK((list.count == 0) == (list.strings == nullptr));
    Texts result;
    for (unsigned i = 0; i < list.count; ++i) {
        FUZZ_CHECK(list.strings[i] != nullptr);
        result.push_back(list.strings[i]);
    }
    return result;
}

std::vector<char *> vectorOf(Texts &parameters) {
    std::vector<char *> vector;
    for (std::string &parameter : parameters) {
        vector.push_back(&parameter[0]);
    }
    return vector;
}

// The tokens of `text`: the maximal runs of characters other than TAB.
Texts expectedTokens(const char *text) {
    Texts tokens;
    std::string token;
    for (const char *p = text;; ++p) {
        if (*p == '\t' || *p == '\0') {
            if (!token.empty()) {
                tokens.push_back(token);
            }
            token.clear();
            if (*p == '\0') {
                return tokens;
            }
        } else {
            token += *p;
        }
    }
}

bool jvmOption(const std::string &p) {
    return p.size() >= 2 && (p[0] == '-' || p[0] == '/') && (p[1] == 'D' || p[1] == 'X');
}

bool workingDirectoryForm(const std::string &p) {
    return strncasecmp(p.c_str(), "wrkdir=", 7) == 0;
}

// Each parameter is a JVM option, an application argument or of the form wrkdir=...; the
// lists keep the order of the parameters, and the working directory is the text after the
// first wrkdir= with something after it, inside that very parameter.
void checkPartition(Texts parameters) {
    const Texts before = parameters;
    std::vector<char *> vector = vectorOf(parameters);
    unsigned n = static_cast<unsigned>(vector.size());

    ArgumentList options = collectJvmOptions(n, vector.data());
    ArgumentList arguments = collectAppArguments(n, vector.data());
    const char *directory = findWorkingDirectory(n, vector.data());

    Texts expectedOptions, expectedArguments;
    const char *expectedDirectory = nullptr;
    size_t directoryForms = 0;
    for (unsigned i = 0; i < n; ++i) {
        const std::string &p = before[i];
        if (jvmOption(p)) {
            expectedOptions.push_back(p);
        } else if (workingDirectoryForm(p)) {
            ++directoryForms;
            if (expectedDirectory == nullptr && p.size() > 7) {
                expectedDirectory = vector[i] + 7;
            }
        } else {
            expectedArguments.push_back(p);
        }
    }
    FUZZ_CHECK(texts(options) == expectedOptions);
    FUZZ_CHECK(texts(arguments) == expectedArguments);
    FUZZ_CHECK(expectedOptions.size() + expectedArguments.size() + directoryForms == n);
    FUZZ_CHECK(directory == expectedDirectory);
    FUZZ_CHECK(parameters == before);

    releaseArgumentList(&options);
    releaseArgumentList(&arguments);
    FUZZ_CHECK(options.count == 0 && options.strings == nullptr);
    FUZZ_CHECK(arguments.count == 0 && arguments.strings == nullptr);
}

// Joins arguments s.. of `arguments` into a buffer of exactly the capacity, so that any write
// past it is a heap overflow. The text is refused, and the buffer left alone, exactly when it
// would not fit with its terminator.
void checkJoin(unsigned s, Texts arguments, bool roundTrip) {
    std::vector<char *> vector = vectorOf(arguments);
    unsigned n = static_cast<unsigned>(vector.size());
    std::string expected;
    for (unsigned i = s; i < n; ++i) {
        expected += (i > s ? "\t" : "") + arguments[i];
    }

    char *buffer = new char[appParametersCapacity];
    memset(buffer, 'x', appParametersCapacity);
    char *joined = joinAppParameters(s, n, vector.data(), buffer);
    if (s >= n || expected.size() >= appParametersCapacity) {
        FUZZ_CHECK(joined == nullptr);
    } else {
        FUZZ_CHECK(joined == buffer);
        FUZZ_CHECK(memchr(buffer, '\0', appParametersCapacity) == buffer + expected.size());
        FUZZ_CHECK(expected == buffer);
        if (roundTrip) {
            ArgumentList split = splitAppParameters(buffer);
            FUZZ_CHECK(texts(split) == Texts(arguments.begin() + s, arguments.end()));
            releaseArgumentList(&split);
        }
    }
    delete[] buffer;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);

    // The AppParameters text: up to the first NUL, as the service reads it.
    ArgumentList split = splitAppParameters(text.c_str());
    Texts tokens = texts(split);
    releaseArgumentList(&split);
    FUZZ_CHECK(split.count == 0 && split.strings == nullptr);
    FUZZ_CHECK(tokens == expectedTokens(text.c_str()));

    checkPartition(tokens);
    unsigned n = static_cast<unsigned>(tokens.size());
    checkJoin(0, tokens, true);
    checkJoin(static_cast<unsigned>(size % (n + 1)), tokens, true);

    // The same bytes as a console command line: NUL-separated arguments, empty ones and TABs
    // included. Such arguments do not come back whole from a split, so only the join is checked.
    Texts argv;
    for (size_t start = 0; start <= size;) {
        size_t end = text.find('\0', start);
        end = end == std::string::npos ? size : end;
        argv.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    checkPartition(argv);
    checkJoin(0, argv, false);
    return 0;
}
