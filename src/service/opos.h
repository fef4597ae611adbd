// SPDX-License-Identifier: Apache-2.0
// The OPOS vocabulary as the service object's public header names it; the
// definitions live with the other bottom-layer vocabulary in opos/opos.h.
#pragma once

#include "opos/opos.h"
