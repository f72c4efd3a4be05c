#include "tools/vexor/json.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "text/text.h"
#include "tools/vexor/certificates.h"

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7f) {
      char esc[8];
      std::snprintf(esc, sizeof(esc), "\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

void JsonObject::Key(const char* key) {
  if (!members_.empty()) members_ += ", ";
  members_ += JsonString(key) + ": ";
}

JsonObject& JsonObject::Text(const char* key, const std::string& value) { return Raw(key, JsonString(value)); }

JsonObject& JsonObject::TextOrNull(const char* key, const std::string& value) {
  return Raw(key, value.empty() ? "null" : JsonString(value));
}

JsonObject& JsonObject::Bool(const char* key, bool value) { return Raw(key, value ? "true" : "false"); }

JsonObject& JsonObject::Number(const char* key, int64_t value) { return Raw(key, std::to_string(value)); }

JsonObject& JsonObject::Raw(const char* key, const std::string& json) {
  Key(key);
  members_ += json;
  return *this;
}

std::string JsonArray(const std::vector<std::string>& items) {
  if (items.empty()) return "[]";
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i == 0 ? "\n  " : ",\n  ") + items[i];
  return out + "\n]";
}

namespace {

std::string IsoFromTime(time_t t) {
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

}  // namespace

std::string IsoDate(const FILETIME& time) {
  const uint64_t ticks = (uint64_t(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  if (ticks == 0) return {};
  return IsoFromTime(static_cast<time_t>(ticks / 10000000ull) - 11644473600LL);
}

std::string IsoDate(DATE date) {
  if (date == 0) return {};
  return IsoFromTime(static_cast<time_t>(std::llround((date - 25569.0) * 86400.0)));
}

std::string SerialAsOpenssl(const std::string& stored_hex) {
  std::string hex;
  for (char c : stored_hex)
    if (std::isxdigit(static_cast<unsigned char>(c))) hex += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  // Byte pairs from the last; an odd first digit stands alone.
  std::string out;
  for (size_t i = hex.size(); i > 0; i = i >= 2 ? i - 2 : 0) {
    out += i >= 2 ? hex[i - 2] : '0';
    out += hex[i - 1];
  }
  while (out.size() > 2 && out.compare(0, 2, "00") == 0) out.erase(0, 2);
  return out;
}

JsonObject CertificateJson(PCCERT_CONTEXT cert) {
  char subject[2048] = {0};
  char issuer[2048] = {0};
  CertNameToStrA(X509_ASN_ENCODING, &cert->pCertInfo->Subject, CERT_X500_NAME_STR, subject, sizeof(subject));
  CertNameToStrA(X509_ASN_ENCODING, &cert->pCertInfo->Issuer, CERT_X500_NAME_STR, issuer, sizeof(issuer));
  std::string stored;
  const CRYPT_INTEGER_BLOB& serial = cert->pCertInfo->SerialNumber;
  for (DWORD i = 0; i < serial.cbData; ++i) {
    char two[3];
    std::snprintf(two, sizeof two, "%02X", serial.pbData[i]);
    stored += two;
  }
  JsonObject o;
  o.Text("subject", text::Cp1251ToUtf8(subject))
      .Text("issuer", text::Cp1251ToUtf8(issuer))
      .Text("serialNumber", SerialAsOpenssl(stored))
      .Text("serialNumberStored", stored)
      .Text("thumbprint", ThumbprintHex(cert))
      .Text("notBefore", IsoDate(cert->pCertInfo->NotBefore))
      .Text("notAfter", IsoDate(cert->pCertInfo->NotAfter))
      .Text("keyAlgorithm", KeyAlgorithmName(cert));
  return o;
}

std::string TaggedValue(const std::string& text, const std::string& key) {
  const std::string open = "<" + key + ">", close = "</" + key + ">";
  const size_t at = text.find(open);
  const size_t end = at == std::string::npos ? std::string::npos : text.find(close, at + open.size());
  return end == std::string::npos ? std::string() : text.substr(at + open.size(), end - at - open.size());
}

std::string LocalDateAsIso(const std::string& text) {
  std::tm tm{};
  int consumed = 0;
  if (std::sscanf(text.c_str(), "%2d.%2d.%4d %2d:%2d:%2d%n", &tm.tm_mday, &tm.tm_mon, &tm.tm_year, &tm.tm_hour,
                  &tm.tm_min, &tm.tm_sec, &consumed) != 6 ||
      static_cast<size_t>(consumed) != text.size())
    return text;
  tm.tm_mon -= 1;
  tm.tm_year -= 1900;
  tm.tm_isdst = -1;
  const time_t t = std::mktime(&tm);
  return t == static_cast<time_t>(-1) ? text : IsoFromTime(t);
}
