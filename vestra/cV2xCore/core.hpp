// SPDX-License-Identifier: Apache-2.0
// Core internals: the wiring of the layers' upward hand-overs.
#ifndef VESTRA_CORE_HPP
#define VESTRA_CORE_HPP

#include "core.h"

// Points the data path's upward hand-overs at the layer above each: the
// radio link's and the access layer's received frames to the adaptation
// layer, its decoded frames to the DSM layer and its AID filter to the MIB.
// The core wires them at start and clears them at stop (the hand-overs to
// the daemon server and the management entity with them); tests that drive
// the layers without a core wire them here.
void core_wire_stack(void);
void core_unwire_stack(void);

#endif
