// Fuzz target: the device server's decoder of what a remote port control (Telnet, RFC 2217) client
// sends. The input is fed whole and again cut into pieces (the first byte chooses the cuts); every
// receive's data is never larger than the receive and every item lies inside it, both ways give
// the same items and data, and every request or complaint is well formed. The option negotiation
// answers each item, and the data the decoder passed on comes back unchanged through the encoder.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "rfc2217.h"

namespace {

using rfc2217::Item;

// Feeds one receive and appends what came out to `transcript` (data bytes as they are, other
// items as a tag and their fields), checking every item against the receive.
void FeedAndCheck(rfc2217::Decoder& decoder, rfc2217::Negotiation& negotiation,
                  const std::uint8_t* bytes, std::size_t size, std::string& transcript,
                  std::vector<std::uint8_t>& data) {
  decoder.Feed(bytes, size);
  std::size_t dataEnd = 0;
  for (const Item& item : decoder.Items()) {
    FUZZ_CHECK(item.offset == dataEnd);  // each item where the data before it ends
    switch (item.kind) {
      case Item::Kind::kData:
        FUZZ_CHECK(item.size > 0);
        dataEnd = item.offset + item.size;
        FUZZ_CHECK(dataEnd <= size);
        for (std::size_t i = item.offset; i < dataEnd; ++i) {
          const char byte = static_cast<char>(decoder.Data()[i]);
          if (byte == '\x01') transcript += '\x01';  // the tag byte of other items, doubled
          transcript += byte;
        }
        data.insert(data.end(), decoder.Data() + item.offset,
                    decoder.Data() + item.offset + item.size);
        break;
      case Item::Kind::kNegotiation: {
        FUZZ_CHECK(item.verb >= rfc2217::kWill && item.verb <= rfc2217::kDont);
        transcript += "\x01N" + std::to_string(item.verb) + "," + std::to_string(item.option);
        std::vector<std::uint8_t> answer;
        negotiation.Answer(item.verb, item.option, answer);
        FUZZ_CHECK(answer.size() == 0 || answer.size() == 3);
        break;
      }
      case Item::Kind::kRequest: {
        const auto command = static_cast<std::uint8_t>(item.request.command);
        FUZZ_CHECK(command <= static_cast<std::uint8_t>(rfc2217::Command::kPurgeData));
        FUZZ_CHECK(item.request.text.size() <= rfc2217::Decoder::kMaxSubnegotiation);
        if (item.request.command != rfc2217::Command::kSetBaudRate)
          FUZZ_CHECK(item.request.value <= 255);
        if (item.request.command != rfc2217::Command::kSignature)
          FUZZ_CHECK(item.request.text.empty());
        transcript += "\x01R" + std::to_string(command) + "," +
                      std::to_string(item.request.value) + "," + item.request.text;
        break;
      }
      case Item::Kind::kMalformed:
        FUZZ_CHECK(!item.text.empty());
        transcript += "\x01M" + item.text;
        break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t step = input[0] % 16 + 1;  // 1..16 bytes per receive in the cut run
  const std::uint8_t* bytes = input + 1;
  const std::size_t length = size - 1;

  rfc2217::Decoder whole;
  rfc2217::Negotiation negotiation;
  std::vector<std::uint8_t> firstOffer;
  negotiation.Offer(firstOffer);
  std::string wholeTranscript;
  std::vector<std::uint8_t> wholeData;
  FeedAndCheck(whole, negotiation, bytes, length, wholeTranscript, wholeData);

  rfc2217::Decoder cut;
  rfc2217::Negotiation ignored;
  std::string cutTranscript;
  std::vector<std::uint8_t> cutData;
  for (std::size_t from = 0; from < length; from += step) {
    const std::size_t piece = length - from < step ? length - from : step;
    FeedAndCheck(cut, ignored, bytes + from, piece, cutTranscript, cutData);
  }
  FUZZ_CHECK(cutTranscript == wholeTranscript);

  // The data passed on, sent back through the encoder, decodes to itself and nothing else.
  std::vector<std::uint8_t> encoded;
  rfc2217::EncodeData(wholeData.data(), wholeData.size(), encoded);
  FUZZ_CHECK(encoded.size() >= wholeData.size() && encoded.size() <= 2 * wholeData.size());
  rfc2217::Decoder again;
  again.Feed(encoded.data(), encoded.size());
  FUZZ_CHECK(again.Items().size() <= 1);
  if (!wholeData.empty()) {
    FUZZ_CHECK(again.Items().size() == 1 && again.Items()[0].kind == Item::Kind::kData &&
               again.Items()[0].size == wholeData.size());
    for (std::size_t i = 0; i < wholeData.size(); ++i) FUZZ_CHECK(again.Data()[i] == wholeData[i]);
  }
  return 0;
}
