// The built-in cards the end-to-end tests recover.
#pragma once
#include "tools/mkcard_card.h"

#include <string>

namespace mkcard {

std::vector<std::string> scenario_names();

// 1 and `out` filled when `name` is a built-in scenario.
int scenario_plan(const std::string& name, CardPlan* out);

// A recording of `frames` frames made `index` slots after the base time.
CardRecording plain_recording(uint32_t index, uint32_t frames);

} // namespace mkcard
