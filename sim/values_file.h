// The values file: pinned values of the simulated meters, one setting per line.
#pragma once

#include <string>

#include "model.h"

namespace sim {

// Reads a values file into the meters. Lines are "key = value", optionally prefixed with a
// meter address ("07:plain.0 = 230"), "#" starts a comment. Without a prefix a line applies
// to every meter. Throws std::runtime_error naming the file and line on any error.
void LoadValues(const std::string& path, MeterSet& meters);
// The same for text already in memory; `origin` names it in errors.
void LoadValuesText(const std::string& text, const std::string& origin, MeterSet& meters);

}  // namespace sim
