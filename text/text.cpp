// Windows-1251 <-> Unicode with the full code page table, and the UTF-8/UTF-16 forms.
#include "text/text.h"

#include <array>
#include <cstdint>

namespace text {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Code points of the bytes 0x80-0xBF; 0xC0-0xFF are U+0410-U+044F in order.
constexpr std::array<char16_t, 64> kHigh = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
};

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Calls `emit` with each code point of the UTF-8 text, U+FFFD for each bad byte.
template <typename Emit>
void ForEachUtf8(std::string_view utf8, Emit emit) {
  const size_t n = utf8.size();
  size_t i = 0;
  while (i < n) {
    const uint8_t lead = static_cast<uint8_t>(utf8[i]);
    if (lead < 0x80) {
      emit(char32_t(lead));
      ++i;
      continue;
    }
    size_t len = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      len = 2; cp = lead & 0x1F; min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      len = 3; cp = lead & 0x0F; min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      len = 4; cp = lead & 0x07; min = 0x10000;
    }
    bool ok = len != 0 && i + len <= n;
    for (size_t k = 1; ok && k < len; ++k) {
      const uint8_t cont = static_cast<uint8_t>(utf8[i + k]);
      if ((cont & 0xC0) != 0x80) {
        ok = false;
      } else {
        cp = (cp << 6) | (cont & 0x3F);
      }
    }
    if (ok && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
    if (!ok) {
      emit(kReplacement);
      ++i;
      continue;
    }
    emit(cp);
    i += len;
  }
}

template <typename Emit>
void ForEachUtf16(std::u16string_view utf16, Emit emit) {
  for (size_t i = 0; i < utf16.size(); ++i) {
    const char32_t unit = utf16[i];
    if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] < 0xE000) {
      emit(0x10000 + ((unit - 0xD800) << 10) + (utf16[++i] - 0xDC00));
    } else if (unit >= 0xD800 && unit < 0xE000) {
      emit(kReplacement);
    } else {
      emit(unit);
    }
  }
}

}  // namespace

char32_t Cp1251ToCodePoint(unsigned char c) {
  if (c < 0x80) return c;
  if (c >= 0xC0) return 0x0410 + (c - 0xC0);
  return kHigh[c - 0x80];
}

char CodePointToCp1251(char32_t cp) {
  if (cp < 0x80) return static_cast<char>(cp);
  if (cp >= 0x0410 && cp <= 0x044F) return static_cast<char>(0xC0 + (cp - 0x0410));
  for (size_t i = 0; i < kHigh.size(); ++i) {
    if (kHigh[i] == cp) return static_cast<char>(0x80 + i);
  }
  return '?';
}

std::u32string DecodeUtf8(std::string_view utf8) {
  std::u32string out;
  out.reserve(utf8.size());
  ForEachUtf8(utf8, [&](char32_t cp) { out.push_back(cp); });
  return out;
}

std::string EncodeUtf8(std::u32string_view code_points) {
  std::string out;
  out.reserve(code_points.size());
  for (char32_t cp : code_points) AppendUtf8(out, cp);
  return out;
}

std::u32string DecodeUtf16(std::u16string_view utf16) {
  std::u32string out;
  out.reserve(utf16.size());
  ForEachUtf16(utf16, [&](char32_t cp) { out.push_back(cp); });
  return out;
}

std::string Utf8ToCp1251(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  ForEachUtf8(utf8, [&](char32_t cp) { out.push_back(CodePointToCp1251(cp)); });
  return out;
}

std::string Cp1251ToUtf8(std::string_view cp1251) {
  std::string out;
  out.reserve(cp1251.size() * 2);
  for (char c : cp1251) AppendUtf8(out, Cp1251ToCodePoint(static_cast<unsigned char>(c)));
  return out;
}

std::string Utf16ToCp1251(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  ForEachUtf16(utf16, [&](char32_t cp) { out.push_back(CodePointToCp1251(cp)); });
  return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  ForEachUtf16(utf16, [&](char32_t cp) { AppendUtf8(out, cp); });
  return out;
}

}  // namespace text
