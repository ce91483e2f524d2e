// One libFuzzer target; V2X_FUZZ_ENTRY names the entry function.
#include <stddef.h>
#include <stdint.h>

#include "fuzz_entries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aipcData, size_t aicLen)
{
    return v2xfuzz::V2X_FUZZ_ENTRY(aipcData, aicLen);
}
