// The simulator's own packet codec: any bytes as a packet the library sent; a packet
// the strict decoder accepts is exactly the encoding of its payload, and any payload
// encodes into a packet the decoder accepts.
#include "../support.h"
#include "rv270sim/codec.h"

using rv270sim::Bytes;
using rv270sim::DecodeResult;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Bytes payload;
  const DecodeResult decoded = rv270sim::DecodePacket(data, size, payload);
  RV270_FUZZ_CHECK(rv270sim::DecodeResultName(decoded) != nullptr);
  if (decoded == DecodeResult::kOk) {
    RV270_FUZZ_CHECK(payload.size() <= rv270sim::kMaxPayload);
    RV270_FUZZ_CHECK(rv270sim::EncodePacket(payload) == Bytes(data, data + size));
  }
  size_t announced = 0;
  if (rv270sim::ReadLengthField(data, size, announced)) RV270_FUZZ_CHECK(announced <= rv270sim::kMaxPayload);

  if (size <= rv270sim::kMaxPayload) {
    const Bytes packet = rv270sim::EncodePacket(data, size);
    RV270_FUZZ_CHECK(packet.size() == size + size + rv270sim::kPacketOverhead);
    Bytes back;
    RV270_FUZZ_CHECK(rv270sim::DecodePacket(packet, back) == DecodeResult::kOk);
    RV270_FUZZ_CHECK(back == Bytes(data, data + size));
  }
  return 0;
}
