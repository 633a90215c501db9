#include "core/utf8.h"

namespace pelagon2 {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the valid sequence starting at `i`, or 0 with `consumed` set to the
// length of the maximal invalid subpart (at least 1).
std::size_t valid_sequence(std::string_view s, std::size_t i, std::size_t& consumed) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;  // nothing beyond U+10FFFF
  } else {
    consumed = 1;
    return 0;
  }
  for (std::size_t k = 1; k < length; ++k) {
    if (i + k >= s.size()) {
      consumed = k;
      return 0;
    }
    const unsigned char c = byte(i + k);
    const unsigned char min = k == 1 ? lo : 0x80;
    const unsigned char max = k == 1 ? hi : 0xBF;
    if (c < min || c > max) {
      consumed = k;
      return 0;
    }
  }
  return length;
}

}  // namespace

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t run_start = 0;
  std::size_t i = 0;
  while (i < bytes.size()) {
    std::size_t consumed = 0;
    const std::size_t length = valid_sequence(bytes, i, consumed);
    if (length > 0) {
      i += length;
      continue;
    }
    out.append(bytes.substr(run_start, i - run_start));
    out.append(kReplacement);
    i += consumed;
    run_start = i;
  }
  out.append(bytes.substr(run_start));
  return out;
}

bool is_valid_utf8(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    std::size_t consumed = 0;
    const std::size_t length = valid_sequence(bytes, i, consumed);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

std::u32string utf8_code_points(std::string_view bytes) {
  std::u32string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    std::size_t consumed = 0;
    const std::size_t length = valid_sequence(bytes, i, consumed);
    if (length == 0) {
      out.push_back(U'\uFFFD');
      i += consumed;
      continue;
    }
    const auto byte = [&](std::size_t k) { return static_cast<char32_t>(static_cast<unsigned char>(bytes[i + k])); };
    char32_t c = 0;
    switch (length) {
      case 1:
        c = byte(0);
        break;
      case 2:
        c = ((byte(0) & 0x1F) << 6) | (byte(1) & 0x3F);
        break;
      case 3:
        c = ((byte(0) & 0x0F) << 12) | ((byte(1) & 0x3F) << 6) | (byte(2) & 0x3F);
        break;
      default:
        c = ((byte(0) & 0x07) << 18) | ((byte(1) & 0x3F) << 12) | ((byte(2) & 0x3F) << 6) | (byte(3) & 0x3F);
        break;
    }
    out.push_back(c);
    i += length;
  }
  return out;
}

void append_utf8(std::string& out, char32_t c) {
  if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = 0xFFFD;
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

}  // namespace pelagon2
