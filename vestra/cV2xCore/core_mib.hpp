// SPDX-License-Identifier: Apache-2.0
// MIB internals: its state beside the named table.
#ifndef VESTRA_CORE_MIB_HPP
#define VESTRA_CORE_MIB_HPP

#include <stdint.h>

#include "core_mib.h"

// Owned by the core object (core.cpp); read and written under the MIB's
// lock.
struct MibState {
    // The connection that registered each entry of the DSM service table
    // (0: a caller of the core itself), for the entry's removal with it.
    uint32_t wsmOwner[DOT3_TABLE_LEN] = {};
};
MibState& mib_state();

#endif
