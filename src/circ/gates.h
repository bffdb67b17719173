// The built-in gate table that every registry starts with (handles 0-22).
#pragma once

#include <vector>

#include "circ/gate.h"

namespace larkspan {

std::vector<GateData> builtin_gates();

}  // namespace larkspan
