// Text helpers shared inside the foundation.
#pragma once

#include <cstdint>

// Value 0..63 of c in the standard base64 alphabet, or -1 for any other byte.
// The two decoders differ in what they do with the -1 (the general decoder
// refuses it, the property-list reader skips it).
int QxLBase64Value(uint8_t c);
