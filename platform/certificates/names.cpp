// Names: CertNameToStrA and CertGetNameStringA in the Windows-1251 code page.
#include "platform/core/api_guard.h"
#include "platform/certificates/names.h"

#include <algorithm>
#include <cstring>

#include "platform/certificates/cert_context.h"
#include "text/text.h"
#include "platform/codec/der.h"
#include "platform/core/last_error.h"

namespace vexorcsp {
namespace {

struct KeyName {
  const char* oid;
  const char* key;
};

// Keys CERT_X500_NAME_STR prints.
constexpr KeyName kKeys[] = {
    {"2.5.4.3", "CN"},       {"2.5.4.4", "SN"},           {"2.5.4.5", "SERIALNUMBER"},
    {"2.5.4.6", "C"},        {"2.5.4.7", "L"},            {"2.5.4.8", "S"},
    {"2.5.4.9", "STREET"},   {"2.5.4.10", "O"},           {"2.5.4.11", "OU"},
    {"2.5.4.12", "T"},       {"2.5.4.13", "Description"}, {"2.5.4.17", "PostalCode"},
    {"2.5.4.18", "POBox"},   {"2.5.4.20", "Phone"},       {"2.5.4.24", "X21Address"},
    {"2.5.4.42", "G"},       {"2.5.4.43", "I"},           {"2.5.4.46", "dnQualifier"},
    {"1.2.840.113549.1.9.1", "E"},
    {"0.9.2342.19200300.100.1.25", "DC"},
};

bool IsStringTag(uint8_t tag) {
  switch (tag) {
    case 0x0C: case 0x12: case 0x13: case 0x14: case 0x15: case 0x16:
    case 0x19: case 0x1A: case 0x1B: case 0x1C: case 0x1E:
      return true;
    default:
      return false;
  }
}

bool NeedsQuotes(const std::string& v) {
  if (v.empty()) return true;
  auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  if (space(v.front()) || space(v.back())) return true;
  return v.find_first_of(",+=\"\n<>#;") != std::string::npos;
}

std::string Hex(const BYTE* p, size_t n) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out.push_back(kDigits[p[i] >> 4]);
    out.push_back(kDigits[p[i] & 15]);
  }
  return out;
}

}  // namespace

bool ParseName(const BYTE* data, size_t size, std::vector<Rdn>& out, DWORD& error) {
  out.clear();
  der::Reader top(data, size), seq;
  if (!top.Enter(der::kSequence, seq)) {
    error = top.error();
    return false;
  }
  while (!seq.empty()) {
    der::Reader set;
    if (!seq.Enter(der::kSet, set)) {
      error = seq.error();
      return false;
    }
    Rdn rdn;
    while (!set.empty()) {
      der::Reader atv;
      der::Tlv oid, value;
      if (!set.Enter(der::kSequence, atv) || !atv.Expect(der::kOid, oid) || !atv.Next(value)) {
        error = set.error() ? set.error() : atv.error();
        return false;
      }
      NameAttr a;
      if (!der::OidToText(oid.value, oid.length, a.oid) || !atv.empty()) {
        error = static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
        return false;
      }
      a.tag = value.tag;
      // Non-string values keep their whole encoding, as Windows' encoded-blob values do.
      a.value = IsStringTag(value.tag) || value.tag == der::kOctetString ? value.value : value.start;
      a.length = IsStringTag(value.tag) || value.tag == der::kOctetString ? value.length : value.size;
      rdn.push_back(a);
    }
    out.push_back(std::move(rdn));
  }
  error = 0;
  return true;
}

DWORD RdnValueType(uint8_t tag) {
  switch (tag) {
    case 0x04: return CERT_RDN_OCTET_STRING;
    case 0x12: return CERT_RDN_NUMERIC_STRING;
    case 0x13: return CERT_RDN_PRINTABLE_STRING;
    case 0x14: return CERT_RDN_TELETEX_STRING;
    case 0x15: return CERT_RDN_VIDEOTEX_STRING;
    case 0x16: return CERT_RDN_IA5_STRING;
    case 0x19: return CERT_RDN_GRAPHIC_STRING;
    case 0x1A: return CERT_RDN_VISIBLE_STRING;
    case 0x1B: return CERT_RDN_GENERAL_STRING;
    case 0x1C: return CERT_RDN_UNIVERSAL_STRING;
    case 0x1E: return CERT_RDN_BMP_STRING;
    case 0x0C: return CERT_RDN_UTF8_STRING;
    default: return CERT_RDN_ENCODED_BLOB;
  }
}

std::u32string AttrText(const NameAttr& a) {
  std::u32string out;
  switch (a.tag) {
    case 0x0C:
      return text::DecodeUtf8(std::string(reinterpret_cast<const char*>(a.value), a.length));
    case 0x1E:
      for (size_t i = 0; i + 1 < a.length; i += 2) out.push_back(char32_t(a.value[i] << 8 | a.value[i + 1]));
      return out;
    case 0x1C:
      for (size_t i = 0; i + 3 < a.length; i += 4)
        out.push_back(char32_t(a.value[i]) << 24 | char32_t(a.value[i + 1]) << 16 |
                      char32_t(a.value[i + 2]) << 8 | a.value[i + 3]);
      return out;
    default:
      for (size_t i = 0; i < a.length; ++i) out.push_back(a.value[i]);
      return out;
  }
}

std::string AttrValueA(const NameAttr& a) {
  const DWORD type = RdnValueType(a.tag);
  if (type == CERT_RDN_ENCODED_BLOB || type == CERT_RDN_OCTET_STRING) return "#" + Hex(a.value, a.length);
  std::string out;
  for (char32_t cp : AttrText(a)) out.push_back(text::CodePointToCp1251(cp));
  return out;
}

std::u32string FoldCase(const std::u32string& s) {
  std::u32string out = s;
  for (char32_t& c : out) {
    if (c >= 'A' && c <= 'Z') c += 0x20;
    else if (c >= 0x0410 && c <= 0x042F) c += 0x20;
    else if (c >= 0x0400 && c <= 0x040F) c += 0x50;
  }
  return out;
}

bool FormatName(const BYTE* data, size_t size, DWORD str_type, std::string& out, DWORD& error) {
  out.clear();
  std::vector<Rdn> rdns;
  if (!ParseName(data, size, rdns, error)) return false;
  const DWORD type = str_type & 0xFFFF;
  std::string rdn_sep = ", ";
  if (str_type & CERT_NAME_STR_SEMICOLON_FLAG) rdn_sep = "; ";
  if (str_type & CERT_NAME_STR_CRLF_FLAG) rdn_sep = "\r\n";
  const std::string attr_sep = (str_type & CERT_NAME_STR_NO_PLUS_FLAG) ? " " : " + ";
  if (str_type & CERT_NAME_STR_REVERSE_FLAG) std::reverse(rdns.begin(), rdns.end());
  for (size_t i = 0; i < rdns.size(); ++i) {
    if (i) out += rdn_sep;
    for (size_t j = 0; j < rdns[i].size(); ++j) {
      const NameAttr& a = rdns[i][j];
      if (j) out += attr_sep;
      if (type == CERT_OID_NAME_STR) {
        out += a.oid + "=";
      } else if (type == CERT_X500_NAME_STR) {
        const char* key = nullptr;
        for (const KeyName& k : kKeys)
          if (a.oid == k.oid) key = k.key;
        out += key ? std::string(key) + "=" : "OID." + a.oid + "=";
      }
      std::string value = AttrValueA(a);
      const DWORD vt = RdnValueType(a.tag);
      const bool raw = vt == CERT_RDN_ENCODED_BLOB || vt == CERT_RDN_OCTET_STRING;
      if (!raw && !(str_type & CERT_NAME_STR_NO_QUOTING_FLAG) && NeedsQuotes(value)) {
        std::string quoted = "\"";
        for (char c : value) {
          if (c == '"') quoted += '"';
          quoted += c;
        }
        value = quoted + "\"";
      }
      out += value;
    }
  }
  error = 0;
  return true;
}

bool ParseGeneralNames(const BYTE* data, size_t size, std::vector<GeneralName>& out) {
  out.clear();
  der::Reader top(data, size), seq;
  if (!top.Enter(der::kSequence, seq) || !top.ExpectEnd()) return false;
  while (!seq.empty()) {
    der::Tlv t;
    if (!seq.Next(t)) return false;
    if ((t.tag & 0xC0) != 0x80) return false;  // context-specific only
    GeneralName g;
    g.choice = t.tag & 0x1F;
    g.value = t.value;
    g.length = t.length;
    out.push_back(g);
  }
  return true;
}

namespace {

// Writes a result with the A-function conventions: the size with the terminator; a buffer
// too small gets an empty string and the result 1.
DWORD Deliver(const std::string& text, LPSTR out, DWORD cch) {
  const DWORD needed = static_cast<DWORD>(text.size() + 1);
  if (out == nullptr || cch == 0) return needed;
  if (cch < needed) {
    out[0] = '\0';
    return 1;
  }
  std::memcpy(out, text.data(), text.size());
  out[text.size()] = '\0';
  return needed;
}

std::string Ia5ToA(const GeneralName& g) {
  std::string out;
  for (size_t i = 0; i < g.length; ++i) out.push_back(text::CodePointToCp1251(g.value[i]));
  return out;
}

// The names of the alternative-name extension (subject or issuer), if any.
bool AltNames(const CERT_INFO& info, bool issuer, std::vector<GeneralName>& out) {
  const char* oids[2] = {issuer ? "2.5.29.18" : "2.5.29.17", issuer ? "2.5.29.8" : "2.5.29.7"};
  for (const char* oid : oids) {
    for (DWORD i = 0; i < info.cExtension; ++i) {
      if (std::strcmp(info.rgExtension[i].pszObjId, oid) == 0)
        return ParseGeneralNames(info.rgExtension[i].Value.pbData, info.rgExtension[i].Value.cbData, out);
    }
  }
  return false;
}

const NameAttr* FirstAttr(const std::vector<Rdn>& rdns, const char* oid) {
  for (const Rdn& rdn : rdns)
    for (const NameAttr& a : rdn)
      if (a.oid == oid) return &a;
  return nullptr;
}

}  // namespace

}  // namespace vexorcsp

using namespace vexorcsp;

extern "C" {

DWORD CertNameToStrA(DWORD dwCertEncodingType, PCERT_NAME_BLOB pName, DWORD dwStrType, LPSTR psz,
                     DWORD csz) {
  return ApiGuard<DWORD>(0, [&]() -> DWORD {
    std::string text;
    DWORD error = 0;
    if (!(dwCertEncodingType & X509_ASN_ENCODING) && dwCertEncodingType != 0) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return Deliver("", psz, csz);
    }
    if (pName == nullptr || !FormatName(pName->pbData, pName->cbData, dwStrType, text, error)) {
      if (psz != nullptr && csz != 0) psz[0] = '\0';
      SetLastError(pName == nullptr ? static_cast<DWORD>(E_INVALIDARG) : error);
      return 1;
    }
    SetLastError(0);
    return Deliver(text, psz, csz);
  });
}

DWORD CertGetNameStringA(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags, void* pvTypePara,
                         LPSTR pszNameString, DWORD cchNameString) {
  return ApiGuard<DWORD>(0, [&]() -> DWORD {
    if (pCertContext == nullptr) {
      SetLastError(static_cast<DWORD>(E_INVALIDARG));
      return Deliver("", pszNameString, cchNameString);
    }
    const CERT_INFO& info = *pCertContext->pCertInfo;
    const bool issuer = dwFlags & CERT_NAME_ISSUER_FLAG;
    const CERT_NAME_BLOB& name = issuer ? info.Issuer : info.Subject;
    std::vector<Rdn> rdns;
    DWORD error = 0;
    if (!ParseName(name.pbData, name.cbData, rdns, error)) rdns.clear();
    std::vector<GeneralName> alt;
    AltNames(info, issuer, alt);
    auto first_alt = [&alt](int choice) -> const GeneralName* {
      for (const GeneralName& g : alt)
        if (g.choice == choice) return &g;
      return nullptr;
    };
    std::string result;
    switch (dwType) {
      case CERT_NAME_EMAIL_TYPE:
        if (const GeneralName* g = first_alt(1)) result = Ia5ToA(*g);
        else if (const NameAttr* a = FirstAttr(rdns, szOID_RSA_emailAddr)) result = AttrValueA(*a);
        break;
      case CERT_NAME_RDN_TYPE: {
        const DWORD str_type = pvTypePara ? *static_cast<DWORD*>(pvTypePara) : CERT_SIMPLE_NAME_STR;
        FormatName(name.pbData, name.cbData, str_type, result, error);
        break;
      }
      case CERT_NAME_ATTR_TYPE: {
        const NameAttr* a = nullptr;
        if (pvTypePara != nullptr) {
          a = FirstAttr(rdns, static_cast<const char*>(pvTypePara));
        } else {
          for (const char* oid : {szOID_RSA_emailAddr, "2.5.4.3", "2.5.4.11", "2.5.4.10"})
            if ((a = FirstAttr(rdns, oid)) != nullptr) break;
        }
        if (a != nullptr) result = AttrValueA(*a);
        break;
      }
      case CERT_NAME_FRIENDLY_DISPLAY_TYPE: {
        std::vector<BYTE> friendly;
        if (!issuer && AsObject(pCertContext)->core.props.Get(CERT_FRIENDLY_NAME_PROP_ID, friendly) &&
            friendly.size() >= 2) {
          std::u16string w;
          for (size_t i = 0; i + 1 < friendly.size(); i += 2) {
            const char16_t ch = static_cast<char16_t>(friendly[i] | friendly[i + 1] << 8);
            if (ch == 0) break;
            w.push_back(ch);
          }
          result = text::Utf16ToCp1251(w);
          break;
        }
        [[fallthrough]];
      }
      case CERT_NAME_SIMPLE_DISPLAY_TYPE: {
        const NameAttr* a = nullptr;
        for (const char* oid : {"2.5.4.3", "2.5.4.11", "2.5.4.10", szOID_RSA_emailAddr})
          if ((a = FirstAttr(rdns, oid)) != nullptr) break;
        if (a != nullptr) result = AttrValueA(*a);
        else if (const GeneralName* g = first_alt(1)) result = Ia5ToA(*g);
        else if (const GeneralName* d = first_alt(2)) result = Ia5ToA(*d);
        break;
      }
      case CERT_NAME_DNS_TYPE: {
        if (dwFlags & CERT_NAME_SEARCH_ALL_NAMES_FLAG) {
          std::string multi;
          for (const GeneralName& g : alt)
            if (g.choice == 2) multi += Ia5ToA(g) + '\0';
          if (multi.empty()) {
            if (const NameAttr* a = FirstAttr(rdns, "2.5.4.3")) multi = AttrValueA(*a) + '\0';
          }
          result = multi;  // Deliver adds the final terminator
          break;
        }
        if (const GeneralName* g = first_alt(2)) result = Ia5ToA(*g);
        else if (const NameAttr* a = FirstAttr(rdns, "2.5.4.3")) result = AttrValueA(*a);
        break;
      }
      case CERT_NAME_URL_TYPE:
        if (const GeneralName* g = first_alt(6)) result = Ia5ToA(*g);
        break;
      case CERT_NAME_UPN_TYPE:
        for (const GeneralName& g : alt) {
          if (g.choice != 0) continue;
          der::Reader r(g.value, g.length);
          der::Tlv oid, wrapped, utf8;
          std::string text;
          if (!r.Expect(der::kOid, oid) || !der::OidToText(oid.value, oid.length, text) ||
              text != "1.3.6.1.4.1.311.20.2.3" || !r.Expect(0xA0, wrapped))
            continue;
          der::Reader inner = der::ContentsOf(wrapped);
          if (!inner.Expect(der::kUtf8String, utf8)) continue;
          result = text::Utf8ToCp1251(std::string(reinterpret_cast<const char*>(utf8.value), utf8.length));
          break;
        }
        break;
      default:
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return Deliver("", pszNameString, cchNameString);
    }
    return Deliver(result, pszNameString, cchNameString);
  });
}

}  // extern "C"
