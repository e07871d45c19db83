// MD5 as published in RFC 1321: the seal of a maker's configuration table and
// the login digest the controller compares. Small and self-contained on purpose.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace flashemu {

std::array<uint8_t, 16> md5(const uint8_t *data, size_t length);

} // namespace flashemu
