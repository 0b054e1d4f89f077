// The pipe protocol between ZULSetupAdmin and its parent, and the names of
// the installer's message kinds used in the log.
//
// Message (helper to parent), little-endian:
//   offset 0  4 bytes  installer message type, exactly as received
//   offset 4  n+1      message text with its NUL; absent without a text
// Reply (parent to helper): 4 bytes, signed, the handler's return value
// (1 OK, 2 Cancel, 3 Abort, 6 Yes, 7 No, 0 not handled).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace setupadmin {

std::vector<uint8_t> EncodePipeMessage(uint32_t type, const char* text);
// Splits a received message; false when it is shorter than 4 bytes.
bool DecodePipeMessage(const std::vector<uint8_t>& bytes, uint32_t& type, bool& hasText,
                       std::string& text);
int32_t DecodeReply(const uint8_t bytes[4]);
void EncodeReply(int32_t reply, uint8_t bytes[4]);

// "INSTALLMESSAGE_..." for the type without its button, icon and
// default-button bits; "Unknown Message" otherwise.
const char* MessageKindName(uint32_t type);

constexpr uint32_t kMessageFilter = 0x7FDF;  // every kind but files-in-use

}  // namespace setupadmin
