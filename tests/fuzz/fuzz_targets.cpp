// SPDX-License-Identifier: Apache-2.0
// The table of fuzz entries, by corpus folder name.
#include "fuzz_entries.h"

namespace v2xfuzz {

const Target kTargets[] = {
    {"air_frame", air_frame},         {"app_stream", app_stream}, {"client_reader", client_reader},
    {"sys_reader", sys_reader},       {"base64", base64},         {"aes_cbc", aes_cbc},
    {"sec_data", sec_data},           {"sec_cert", sec_cert},
};
const size_t kTargetCount = sizeof(kTargets) / sizeof(kTargets[0]);

}  // namespace v2xfuzz
