#include "deliveries.h"

#include <fuzzer/FuzzedDataProvider.h>

#include "text/line_limit.h"

namespace harlo::fuzz {
namespace {

constexpr std::uint8_t escapeControl = 0xFF;
constexpr int maxFloods = 2;

void addChunk(Deliveries& deliveries, const std::string& chunk, std::size_t maxDelivery) {
  for (std::size_t at = 0; at < chunk.size(); at += maxDelivery) {
    deliveries.pieces.push_back(chunk.substr(at, maxDelivery));
  }
  deliveries.stream += chunk;
}

}  // namespace

Deliveries makeDeliveries(const std::uint8_t* data, std::size_t size, std::size_t maxDelivery) {
  FuzzedDataProvider input(data, size);
  Deliveries deliveries;
  int floods = 0;
  while (input.remaining_bytes() > 0) {
    const auto control = input.ConsumeIntegral<std::uint8_t>();
    if (control == 0) {
      addChunk(deliveries, input.ConsumeRemainingBytesAsString(), maxDelivery);
    } else if (control != escapeControl) {
      addChunk(deliveries, input.ConsumeBytesAsString(control), maxDelivery);
    } else if (const auto next = input.ConsumeIntegral<std::uint8_t>(); next != escapeControl) {
      addChunk(deliveries, input.ConsumeBytesAsString(next), maxDelivery);
    } else {
      const auto fill = static_cast<char>(input.ConsumeIntegral<std::uint8_t>());
      if (floods++ < maxFloods) addChunk(deliveries, std::string(maxLineBytes, fill), maxDelivery);
    }
  }
  return deliveries;
}

}  // namespace harlo::fuzz
