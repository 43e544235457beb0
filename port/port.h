// SPDX-License-Identifier: MIT
// The serial port component: chief header.
#pragma once

#include "comport.h"
#include "enumerate.h"
#include "error.h"
#include "link.h"
#include "settings.h"
#include "types.h"
