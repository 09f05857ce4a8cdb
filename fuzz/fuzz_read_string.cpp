// readStringValue against values of any type and content, read into a heap buffer of exactly
// the capacity given, so that any access past it is a heap overflow.
//
// Input: byte 0 picks the type, bytes 1-2 (little-endian) the capacity 1..8192, the rest is
// the stored data.
#include "host.h"

#include "check.h"

#include <standin/control.h>

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>

namespace {

const char subkey[] = "SOFTWARE\\Korvane\\Fuzz";
const char valueName[] = "CurrentVersion";

DWORD typeOf(uint8_t selector) {
    switch (selector & 7) {
    case 0:
    case 1:
    case 2:
        return REG_SZ;
    case 3:
    case 4:
        return REG_EXPAND_SZ;
    case 5:
        return REG_MULTI_SZ;
    case 6:
        return REG_BINARY;
    default:
        return selector >> 3; // 0..31: REG_NONE, REG_DWORD, types beyond the defined ones
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) {
        return 0;
    }
    const DWORD type = typeOf(data[0]);
    const DWORD capacity = 1 + (static_cast<DWORD>(data[1] | data[2] << 8) % appParametersCapacity);
    const std::string stored(reinterpret_cast<const char *>(data + 3), size - 3);

    standin::resetRegistry();
    standin::setValue(HKEY_LOCAL_MACHINE, subkey, valueName, type, stored);

    char *buffer = new char[capacity];
    memset(buffer, 0x5a, capacity);
    DWORD inOut = capacity;
    int result = readStringValue(buffer, &inOut, HKEY_LOCAL_MACHINE, subkey, valueName);

    // A string type that fits whole, with room for a terminator that the data lacks.
    const size_t n = stored.size();
    const bool stringType = type == REG_SZ || type == REG_EXPAND_SZ;
    const bool terminated = n > 0 && stored[n - 1] == '\0';
    const bool fits = n < capacity || (n == capacity && terminated);
    FUZZ_CHECK((result == 0) == (stringType && fits));
    if (result == 0) {
        FUZZ_CHECK(memchr(buffer, '\0', capacity) != nullptr);
        FUZZ_CHECK(memcmp(buffer, stored.data(), n) == 0);
        FUZZ_CHECK(terminated || buffer[n] == '\0');
    }
    FUZZ_CHECK(standin::openKeyCount() == 0);
    delete[] buffer;
    standin::clearRegistryCalls();
    return 0;
}
