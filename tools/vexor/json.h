// The tool's JSON output (--json): one schema for every command, described in docs/json.md.
// Dates are ISO 8601 in UTC, serial numbers as openssl prints them with the stored order
// beside them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vexor/vexor.h"

// A text as a JSON string (UTF-8 passes through; control characters are escaped).
std::string JsonString(const std::string& text);

// The members of one object, in the order added; str() is "{...}" on one line.
class JsonObject {
 public:
  JsonObject& Text(const char* key, const std::string& value);
  // A text, or null when it is empty.
  JsonObject& TextOrNull(const char* key, const std::string& value);
  JsonObject& Bool(const char* key, bool value);
  JsonObject& Number(const char* key, int64_t value);
  // A value already in JSON (an object, an array, null).
  JsonObject& Raw(const char* key, const std::string& json);
  std::string str() const { return "{" + members_ + "}"; }

 private:
  void Key(const char* key);
  std::string members_;
};

// An array of JSON values, one to a line after the bracket.
std::string JsonArray(const std::vector<std::string>& items);

// Dates as ISO 8601 (2026-12-07T12:38:03Z); empty for a zero date.
std::string IsoDate(const FILETIME& time);
std::string IsoDate(DATE date);

// A serial number as the library stores it (hex, least significant byte first) as openssl
// prints it: most significant byte first, upper case, without the sign octet's leading zeros.
std::string SerialAsOpenssl(const std::string& stored_hex);

// A certificate: subject, issuer, serialNumber, serialNumberStored, thumbprint, notBefore,
// notAfter.
JsonObject CertificateJson(PCCERT_CONTEXT cert);

// The value between <key> and </key> in a tagged text of the library's listing.
std::string TaggedValue(const std::string& text, const std::string& key);
// A local "dd.mm.yyyy HH:MM:SS" of the library's listing as ISO 8601 in UTC; the text as it
// is when it has another shape.
std::string LocalDateAsIso(const std::string& text);
