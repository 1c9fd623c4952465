// SHA-256 of a byte range, as lowercase hex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace wave::test {

std::string Sha256Hex(const std::uint8_t* data, std::size_t size);

}  // namespace wave::test
