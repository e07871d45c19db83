// The payload resources compiled into the launcher, looked up by id as the
// original platform looks up resources of type "ZZZ" in a program's own module.
// The build generates the one definition (see LatchkinPayload.cmake), so a test
// build can link the same launcher code against a payload of its own.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace latchkin {

// The bytes of resource id, or nothing when this build carries no such resource.
std::optional<std::span<const uint8_t>> findResource(int id);

} // namespace latchkin
