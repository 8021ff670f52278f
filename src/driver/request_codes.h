// The request codes now live with the rest of the wire layouts.
#pragma once

#include "nuvex_wire.h"
