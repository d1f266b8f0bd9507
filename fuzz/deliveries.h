// Deliveries: how the stream fuzz targets turn one fuzzer input into a byte
// stream cut into pieces, so that the fuzzer chooses both the bytes and where
// each read or delivery ends.
//
// The input is consumed from both ends, as FuzzedDataProvider does: control
// bytes from the back, content bytes from the front. Each control byte c
// makes one chunk:
// - c == 0: all content bytes left, as one chunk;
// - 1 <= c <= 0xFE: the next c content bytes (fewer when fewer are left);
// - c == 0xFF: an escape. When the next control byte is 0xFF too, a flood of
//   maxLineBytes copies of one fill byte (the control byte after it), so that
//   lines at and just past the line limit are reachable from a small input;
//   an input makes at most two floods, a later one only consumes its bytes.
//   Any other next control byte k takes the next k content bytes. Floods cost
//   far more than anything else, so a random input rarely asks for one.
// Every chunk is then cut into deliveries of at most `maxDelivery` bytes.
// No delivery is empty.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace harlo::fuzz {

struct Deliveries {
  std::vector<std::string> pieces;  // in order, none empty
  std::string stream;               // all pieces joined
};

Deliveries makeDeliveries(const std::uint8_t* data, std::size_t size, std::size_t maxDelivery);

}  // namespace harlo::fuzz
