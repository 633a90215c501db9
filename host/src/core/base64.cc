#include "core/base64.h"

#include <array>

namespace pelagon2 {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kInvalid = 0xFF;

constexpr std::array<std::uint8_t, 256> make_decode_table() {
  std::array<std::uint8_t, 256> table{};
  for (auto& v : table) v = kInvalid;
  for (std::uint8_t i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
  return table;
}
constexpr auto kDecode = make_decode_table();

std::string invalid_symbol(unsigned char byte, std::size_t offset) {
  return "Invalid symbol " + std::to_string(byte) + ", offset " + std::to_string(offset) + ".";
}

}  // namespace

std::string base64_encode(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.resize((bytes.size() + 2) / 3 * 4);
  char* dst = out.data();
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t v = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    *dst++ = kAlphabet[(v >> 18) & 63];
    *dst++ = kAlphabet[(v >> 12) & 63];
    *dst++ = kAlphabet[(v >> 6) & 63];
    *dst++ = kAlphabet[v & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t v = std::uint32_t{bytes[i]} << 16;
    if (rest == 2) v |= std::uint32_t{bytes[i + 1]} << 8;
    *dst++ = kAlphabet[(v >> 18) & 63];
    *dst++ = kAlphabet[(v >> 12) & 63];
    *dst++ = rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    *dst++ = '=';
  }
  return out;
}

Expected<std::vector<std::uint8_t>> base64_decode(std::string_view text) {
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t length = text.size();

  // The symbols run up to the first '='; after it only '=' may follow.
  std::size_t symbols = 0;
  while (symbols < length && kDecode[in[symbols]] != kInvalid) ++symbols;
  if (symbols < length && in[symbols] != '=') return make_error(invalid_symbol(in[symbols], symbols));
  for (std::size_t i = symbols; i < length; ++i) {
    if (in[i] == '=') continue;
    // A symbol after padding: the padding stood in the middle of the text.
    if (kDecode[in[i]] != kInvalid) return make_error(invalid_symbol('=', symbols));
    return make_error(invalid_symbol(in[i], i));
  }

  const std::size_t tail = symbols % 4;
  const std::size_t padding = length - symbols;
  if (tail == 1) return make_error("Invalid input length: " + std::to_string(length));
  // Padding can only complete a group of two or three symbols.
  if (tail == 0 && padding > 0) return make_error(invalid_symbol('=', symbols));
  if (tail != 0 && padding != 4 - tail) return make_error(std::string("Invalid padding"));

  if (tail != 0) {
    const std::uint8_t last = kDecode[in[symbols - 1]];
    const std::uint8_t spare_bits_mask = tail == 2 ? 0x0F : 0x03;
    if ((last & spare_bits_mask) != 0) {
      return make_error("Invalid last symbol " + std::to_string(in[symbols - 1]) + ", offset " +
                        std::to_string(symbols - 1) + ".");
    }
  }

  std::vector<std::uint8_t> out(symbols / 4 * 3 + (tail == 0 ? 0 : tail - 1));
  std::uint8_t* dst = out.data();
  std::size_t i = 0;
  for (; i + 4 <= symbols; i += 4) {
    const std::uint32_t v = (std::uint32_t{kDecode[in[i]]} << 18) | (std::uint32_t{kDecode[in[i + 1]]} << 12) |
                            (std::uint32_t{kDecode[in[i + 2]]} << 6) | kDecode[in[i + 3]];
    *dst++ = static_cast<std::uint8_t>(v >> 16);
    *dst++ = static_cast<std::uint8_t>(v >> 8);
    *dst++ = static_cast<std::uint8_t>(v);
  }
  if (tail >= 2) {
    std::uint32_t v = (std::uint32_t{kDecode[in[i]]} << 18) | (std::uint32_t{kDecode[in[i + 1]]} << 12);
    if (tail == 3) v |= std::uint32_t{kDecode[in[i + 2]]} << 6;
    *dst++ = static_cast<std::uint8_t>(v >> 16);
    if (tail == 3) *dst++ = static_cast<std::uint8_t>(v >> 8);
  }
  return out;
}

}  // namespace pelagon2
