#pragma once

#include <memory>

#include <nlohmann/json.hpp>

namespace vorn {

// Parsed playlist values are shared and never changed once parsed: an entry handed to a player
// item is an aliasing pointer into the accepted document, which it keeps alive.
using Json = nlohmann::json;
using JsonPtr = std::shared_ptr<const Json>;

}  // namespace vorn
