// Meter values as text: a 32-bit float in the fewest digits that read back as the same float,
// so that 51.6 shows as "51.6" and not as the double it widens to (51.599998474121094).
#pragma once

#include <string>

namespace host::text {

// The shortest text that reads back as `value` (as a float): "51.6", "0.91", "1e+06", "-0";
// "nan", "inf" and "-inf" for the values that are not numbers.
std::string FloatText(float value);

// The double that `FloatText(value)` names. A writer that prints doubles in their own shortest
// form (a JSON library, a double formatter) then prints the float's shortest text: a decimal
// of at most nine digits reads back from a double unchanged. NaN and infinities pass as they are.
double FloatAsDecimal(float value);

}  // namespace host::text
