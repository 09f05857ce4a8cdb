// The stand-in's REGEDIT4 reader on arbitrary text: a text it takes, written back, is taken
// again and written back the same; a text it refuses leaves the tree as it was.
#include "check.h"

#include <standin/control.h>

#include <stddef.h>
#include <stdint.h>

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);

    standin::resetRegistry();
    const std::string empty = standin::registryText();
    if (!standin::loadRegistryText(text)) {
        FUZZ_CHECK(standin::registryText() == empty);
        return 0;
    }
    const std::string first = standin::registryText();
    FUZZ_CHECK(standin::loadRegistryText(first));
    const std::string second = standin::registryText();
    if (second != first) {
        fprintf(stderr, "first:\n%s\nsecond:\n%s\n", first.c_str(), second.c_str());
    }
    FUZZ_CHECK(second == first);
    return 0;
}
