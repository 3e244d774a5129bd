// VERSION negotiation: the client's capabilities (a JSON object) read by a small bounded
// parser, and our own reply.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vfu {

// What we use of the client's capabilities, with the protocol's defaults when absent.
struct ClientCaps {
  uint64_t max_msg_fds = 1;
  uint64_t max_data_xfer_size = 1048576;
};

// `json` is the version data without its NUL. Checks it is one well-formed JSON value (nesting
// and length bounded) and takes capabilities.max_msg_fds and .max_data_xfer_size, which must
// be non-negative integers when present. False with *why on anything else.
bool ParseClientCaps(const char* json, size_t len, ClientCaps* caps, std::string* why);

// Our capabilities, NUL-terminated as the reply carries them. No write_multiple (so the client
// never sends REGION_WRITE_MULTI) and no migration.
std::string ServerCapsJson();

}  // namespace vfu
