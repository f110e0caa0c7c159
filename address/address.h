// Gate addressing: parse a ten-character gate address (operation 3) and check a gate
// definition against its memory type (operation 4).
#pragma once

#include <cstdint>

#include "vpi_records.h"

namespace address {

// Operation 3. Reads the GateAddressRecord's addressText (at most eleven characters of it)
// and valueType, and decodes the text into plcAddress, memtype and index, setting
// fixedValue255 and fixedValue32 whenever the text matches an address form. Returns VpiDone,
// or VpiRefused for a null or over-long text, a text that matches no form (record untouched),
// a decoding or range failure, or a valueType other than 3. Logs each refusal the address
// itself explains with severity Gate ("gate adress string %s parse faild", "parse fail for
// gate ...", "gate type suppose to be float"); no-match refusals are silent. Keeps no state
// between calls and may run on several threads at once.
std::int32_t VpiParseAddress(const VpiCall& call);

// Operation 4. Parses as operation 3 without the value-type test (same outputs, same lines),
// then requires index 1 and the element count of the memory type, except for EX gates.
// Returns VpiDone or VpiRefused; the index and count refusals are silent.
std::int32_t VpiCheckGate(const VpiCall& call);

}  // namespace address
