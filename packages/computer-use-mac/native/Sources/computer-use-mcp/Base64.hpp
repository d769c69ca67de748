#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace computeruse::mcp {

// Standard alphabet with padding, as MCP image content expects.
std::string base64Encode(const std::vector<std::uint8_t>& bytes);

}  // namespace computeruse::mcp
