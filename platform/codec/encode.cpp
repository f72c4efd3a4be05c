// CryptEncodeObject / CryptDecodeObject for the structures the library uses (signing time,
// CRL distribution points, certificate policies, enhanced key usage), CertGetEnhancedKeyUsage
// and the algorithm-id <-> OID table.
#include <cstring>
#include <string>
#include <vector>

#include "platform/core/api_guard.h"
#include "platform/certificates/cert_context.h"
#include "platform/codec/der.h"
#include "platform/core/filetime.h"
#include "platform/core/flat_writer.h"
#include "platform/core/last_error.h"

namespace vexorcsp {
namespace {

enum class Kind { kUnknown, kUtcTime, kChoiceOfTime, kCrlDistPoints, kEnhKeyUsage, kPolicies };

Kind KindOf(LPCSTR type) {
  const auto n = reinterpret_cast<uintptr_t>(type);
  if (n <= 0xFFFF) {
    switch (n) {
      case 16: return Kind::kPolicies;
      case 17: return Kind::kUtcTime;
      case 30: return Kind::kChoiceOfTime;
      case 35: return Kind::kCrlDistPoints;
      case 36: return Kind::kEnhKeyUsage;
      default: return Kind::kUnknown;
    }
  }
  const std::string oid = type;
  if (oid == szOID_RSA_signingTime) return Kind::kUtcTime;
  if (oid == szOID_CRL_DIST_POINTS) return Kind::kCrlDistPoints;
  if (oid == szOID_ENHANCED_KEY_USAGE) return Kind::kEnhKeyUsage;
  if (oid == szOID_CERT_POLICIES) return Kind::kPolicies;
  return Kind::kUnknown;
}

DWORD BadTag() { return static_cast<DWORD>(CRYPT_E_ASN1_BADTAG); }
DWORD Corrupt() { return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT); }

// ---- Models between DER and the flat structures ----------------------------------------

struct AltEntry {
  DWORD choice = 0;
  std::u16string wide;      // RFC822, DNS, URL
  std::vector<BYTE> bytes;  // directory name (DER Name), IP address, other-name value
  std::string oid;          // registered id, other-name type
};

struct DistPoint {
  DWORD name_choice = CRL_DIST_POINT_NO_NAME;
  std::vector<AltEntry> full_name;
  std::vector<BYTE> reasons;
  DWORD reasons_unused = 0;
  std::vector<AltEntry> issuer;
};

struct Policy {
  std::string oid;
  std::vector<std::pair<std::string, std::vector<BYTE>>> qualifiers;
};

// ---- Decoding ----------------------------------------------------------------------------

bool ReadOid(der::Reader& r, std::string& out) {
  der::Tlv t;
  if (!r.Expect(der::kOid, t)) return false;
  if (!der::OidToText(t.value, t.length, out)) return r.Fail(der::kCorrupt);
  return true;
}

DWORD DecodeGeneralNames(const BYTE* p, size_t n, std::vector<AltEntry>& out) {
  der::Reader r(p, n);
  while (!r.empty()) {
    der::Tlv t;
    if (!r.Next(t)) return r.error();
    AltEntry e;
    const int choice = t.tag & 0x1F;
    if ((t.tag & 0xC0) != 0x80) return BadTag();
    e.choice = static_cast<DWORD>(choice) + 1;
    switch (choice) {
      case 1: case 2: case 6:
        for (size_t i = 0; i < t.length; ++i) {
          if (t.value[i] > 0x7F) return static_cast<DWORD>(CRYPT_E_INVALID_IA5_STRING);
          e.wide.push_back(t.value[i]);
        }
        break;
      case 4: {
        der::Reader inner = der::ContentsOf(t);
        der::Tlv name;
        if (!inner.Expect(der::kSequence, name) || !inner.ExpectEnd()) return Corrupt();
        e.bytes.assign(name.start, name.start + name.size);
        break;
      }
      case 7:
        e.bytes.assign(t.value, t.value + t.length);
        break;
      case 8:
        if (!der::OidToText(t.value, t.length, e.oid)) return Corrupt();
        break;
      case 0: {
        der::Reader inner = der::ContentsOf(t);
        der::Tlv value;
        if (!ReadOid(inner, e.oid) || !inner.Expect(0xA0, value)) return Corrupt();
        e.bytes.assign(value.value, value.value + value.length);
        break;
      }
      default:
        break;  // X.400 and EDI party names are kept as choices without data
    }
    out.push_back(std::move(e));
  }
  return 0;
}

DWORD DecodeDistPoints(const BYTE* p, size_t n, std::vector<DistPoint>& out) {
  der::Reader top(p, n), seq;
  if (!top.Enter(der::kSequence, seq)) return top.error();
  if (!top.ExpectEnd()) return top.error();
  while (!seq.empty()) {
    der::Reader dp;
    if (!seq.Enter(der::kSequence, dp)) return seq.error();
    DistPoint point;
    der::Tlv t;
    bool present;
    if (dp.Optional(0xA0, t, present) && present) {
      der::Reader name = der::ContentsOf(t);
      der::Tlv choice;
      if (!name.Next(choice) || !name.ExpectEnd()) return Corrupt();
      if (choice.tag == 0xA0) {
        point.name_choice = CRL_DIST_POINT_FULL_NAME;
        if (const DWORD e = DecodeGeneralNames(choice.value, choice.length, point.full_name)) return e;
      } else if (choice.tag == 0xA1) {
        point.name_choice = CRL_DIST_POINT_ISSUER_RDN_NAME;
      } else {
        return BadTag();
      }
    }
    if (dp.Optional(0x81, t, present) && present) {
      if (t.length < 1 || t.value[0] > 7) return Corrupt();
      point.reasons_unused = t.value[0];
      point.reasons.assign(t.value + 1, t.value + t.length);
    }
    if (dp.Optional(0xA2, t, present) && present) {
      if (const DWORD e = DecodeGeneralNames(t.value, t.length, point.issuer)) return e;
    }
    if (dp.error()) return dp.error();
    if (!dp.ExpectEnd()) return dp.error();
    out.push_back(std::move(point));
  }
  return 0;
}

DWORD DecodeOidSequence(const BYTE* p, size_t n, std::vector<std::string>& out) {
  der::Reader top(p, n), seq;
  if (!top.Enter(der::kSequence, seq)) return top.error();
  if (!top.ExpectEnd()) return top.error();
  while (!seq.empty()) {
    std::string oid;
    if (!ReadOid(seq, oid)) return seq.error();
    out.push_back(std::move(oid));
  }
  return 0;
}

DWORD DecodePolicies(const BYTE* p, size_t n, std::vector<Policy>& out) {
  der::Reader top(p, n), seq;
  if (!top.Enter(der::kSequence, seq)) return top.error();
  if (!top.ExpectEnd()) return top.error();
  while (!seq.empty()) {
    der::Reader info;
    Policy policy;
    if (!seq.Enter(der::kSequence, info) || !ReadOid(info, policy.oid))
      return seq.error() ? seq.error() : info.error();
    if (!info.empty()) {
      der::Reader quals;
      if (!info.Enter(der::kSequence, quals)) return info.error();
      while (!quals.empty()) {
        der::Reader q;
        std::string qid;
        if (!quals.Enter(der::kSequence, q) || !ReadOid(q, qid)) return Corrupt();
        std::vector<BYTE> value;
        if (!q.empty()) {
          der::Tlv v;
          if (!q.Next(v)) return q.error();
          value.assign(v.start, v.start + v.size);
        }
        if (!q.ExpectEnd()) return q.error();
        policy.qualifiers.emplace_back(std::move(qid), std::move(value));
      }
    }
    if (!info.ExpectEnd()) return info.error();
    out.push_back(std::move(policy));
  }
  return 0;
}

// ---- Flat filling -------------------------------------------------------------------------

void FillAltInfo(FlatWriter& w, const std::vector<AltEntry>& entries, CERT_ALT_NAME_INFO* info) {
  CERT_ALT_NAME_ENTRY* rg = entries.empty() ? nullptr : w.Alloc<CERT_ALT_NAME_ENTRY>(entries.size());
  if (info) {
    info->cAltEntry = static_cast<DWORD>(entries.size());
    info->rgAltEntry = rg;
  }
  for (size_t i = 0; i < entries.size(); ++i) {
    const AltEntry& e = entries[i];
    CERT_ALT_NAME_ENTRY* out = rg ? &rg[i] : nullptr;
    if (out) out->dwAltNameChoice = e.choice;
    switch (e.choice) {
      case CERT_ALT_NAME_RFC822_NAME:
      case CERT_ALT_NAME_DNS_NAME:
      case CERT_ALT_NAME_URL: {
        WCHAR* s = w.Wide(e.wide);
        if (out) out->pwszURL = s;
        break;
      }
      case CERT_ALT_NAME_DIRECTORY_NAME:
      case CERT_ALT_NAME_IP_ADDRESS: {
        BYTE* b = w.Bytes(e.bytes);
        if (out) out->IPAddress = {static_cast<DWORD>(e.bytes.size()), b};
        break;
      }
      case CERT_ALT_NAME_REGISTERED_ID: {
        char* s = w.Text(e.oid);
        if (out) out->pszRegisteredID = s;
        break;
      }
      case CERT_ALT_NAME_OTHER_NAME: {
        CERT_OTHER_NAME* other = w.Alloc<CERT_OTHER_NAME>();
        char* s = w.Text(e.oid);
        BYTE* b = w.Bytes(e.bytes);
        if (other) {
          other->pszObjId = s;
          other->Value = {static_cast<DWORD>(e.bytes.size()), b};
        }
        if (out) out->pOtherName = other;
        break;
      }
      default:
        break;
    }
  }
}

void FillDistPoints(FlatWriter& w, const std::vector<DistPoint>& points) {
  auto* info = w.Alloc<CRL_DIST_POINTS_INFO>();
  CRL_DIST_POINT* rg = points.empty() ? nullptr : w.Alloc<CRL_DIST_POINT>(points.size());
  if (info) {
    info->cDistPoint = static_cast<DWORD>(points.size());
    info->rgDistPoint = rg;
  }
  for (size_t i = 0; i < points.size(); ++i) {
    CRL_DIST_POINT* out = rg ? &rg[i] : nullptr;
    const DistPoint& p = points[i];
    if (out) out->DistPointName.dwDistPointNameChoice = p.name_choice;
    if (p.name_choice == CRL_DIST_POINT_FULL_NAME)
      FillAltInfo(w, p.full_name, out ? &out->DistPointName.FullName : nullptr);
    BYTE* reasons = w.Bytes(p.reasons);
    if (out) out->ReasonFlags = {static_cast<DWORD>(p.reasons.size()), reasons, p.reasons_unused};
    FillAltInfo(w, p.issuer, out ? &out->CRLIssuer : nullptr);
  }
}

void FillUsage(FlatWriter& w, const std::vector<std::string>& oids) {
  auto* usage = w.Alloc<CERT_ENHKEY_USAGE>();
  LPSTR* rg = oids.empty() ? nullptr : w.Alloc<LPSTR>(oids.size());
  if (usage) {
    usage->cUsageIdentifier = static_cast<DWORD>(oids.size());
    usage->rgpszUsageIdentifier = rg;
  }
  for (size_t i = 0; i < oids.size(); ++i) {
    char* s = w.Text(oids[i]);
    if (rg) rg[i] = s;
  }
}

void FillPolicies(FlatWriter& w, const std::vector<Policy>& policies) {
  auto* info = w.Alloc<CERT_POLICIES_INFO>();
  CERT_POLICY_INFO* rg = policies.empty() ? nullptr : w.Alloc<CERT_POLICY_INFO>(policies.size());
  if (info) {
    info->cPolicyInfo = static_cast<DWORD>(policies.size());
    info->rgPolicyInfo = rg;
  }
  for (size_t i = 0; i < policies.size(); ++i) {
    const Policy& p = policies[i];
    char* oid = w.Text(p.oid);
    CERT_POLICY_QUALIFIER_INFO* q =
        p.qualifiers.empty() ? nullptr : w.Alloc<CERT_POLICY_QUALIFIER_INFO>(p.qualifiers.size());
    if (rg) {
      rg[i].pszPolicyIdentifier = oid;
      rg[i].cPolicyQualifier = static_cast<DWORD>(p.qualifiers.size());
      rg[i].rgPolicyQualifier = q;
    }
    for (size_t j = 0; j < p.qualifiers.size(); ++j) {
      char* qid = w.Text(p.qualifiers[j].first);
      BYTE* value = w.Bytes(p.qualifiers[j].second);
      if (q) {
        q[j].pszPolicyQualifierId = qid;
        q[j].Qualifier = {static_cast<DWORD>(p.qualifiers[j].second.size()), value};
      }
    }
  }
}

// ---- Encoding -----------------------------------------------------------------------------

DWORD EncodeTime(const FILETIME& ft, bool allow_generalized, std::vector<BYTE>& out) {
  SYSTEMTIME st;
  if (!FileTimeToSystemTime(&ft, &st)) return static_cast<DWORD>(CRYPT_E_BAD_ENCODE);
  char text[32];
  const bool utc = st.wYear >= 1950 && st.wYear <= 2049;
  if (!utc && !allow_generalized) return static_cast<DWORD>(CRYPT_E_BAD_ENCODE);
  if (utc)
    std::snprintf(text, sizeof text, "%02u%02u%02u%02u%02u%02uZ", st.wYear % 100u, st.wMonth, st.wDay,
                  st.wHour, st.wMinute, st.wSecond);
  else
    std::snprintf(text, sizeof text, "%04u%02u%02u%02u%02u%02uZ", st.wYear, st.wMonth, st.wDay,
                  st.wHour, st.wMinute, st.wSecond);
  der::Put(out, utc ? der::kUtcTime : der::kGeneralizedTime, reinterpret_cast<const BYTE*>(text),
           std::strlen(text));
  return 0;
}

DWORD EncodeOid(const char* text, std::vector<BYTE>& out) {
  std::vector<BYTE> body;
  if (!der::OidFromText(text, body)) return static_cast<DWORD>(CRYPT_E_OID_FORMAT);
  der::Put(out, der::kOid, body);
  return 0;
}

DWORD EncodeIa5(uint8_t tag, const WCHAR* s, std::vector<BYTE>& out) {
  std::vector<BYTE> body;
  for (; s && *s; ++s) {
    if (*s > 0x7F) return static_cast<DWORD>(CRYPT_E_INVALID_IA5_STRING);
    body.push_back(static_cast<BYTE>(*s));
  }
  der::Put(out, tag, body);
  return 0;
}

DWORD EncodeGeneralNames(const CERT_ALT_NAME_INFO& info, std::vector<BYTE>& out) {
  for (DWORD i = 0; i < info.cAltEntry; ++i) {
    const CERT_ALT_NAME_ENTRY& e = info.rgAltEntry[i];
    switch (e.dwAltNameChoice) {
      case CERT_ALT_NAME_RFC822_NAME:
      case CERT_ALT_NAME_DNS_NAME:
      case CERT_ALT_NAME_URL:
        if (const DWORD err = EncodeIa5(static_cast<uint8_t>(0x80 | (e.dwAltNameChoice - 1)), e.pwszURL, out))
          return err;
        break;
      case CERT_ALT_NAME_DIRECTORY_NAME:
        der::Put(out, 0xA4, e.DirectoryName.pbData, e.DirectoryName.cbData);
        break;
      case CERT_ALT_NAME_IP_ADDRESS:
        der::Put(out, 0x87, e.IPAddress.pbData, e.IPAddress.cbData);
        break;
      case CERT_ALT_NAME_REGISTERED_ID: {
        std::vector<BYTE> body;
        if (!der::OidFromText(e.pszRegisteredID, body)) return static_cast<DWORD>(CRYPT_E_OID_FORMAT);
        der::Put(out, 0x88, body);
        break;
      }
      case CERT_ALT_NAME_OTHER_NAME: {
        if (e.pOtherName == nullptr) return static_cast<DWORD>(E_INVALIDARG);
        std::vector<BYTE> body;
        if (const DWORD err = EncodeOid(e.pOtherName->pszObjId, body)) return err;
        der::Put(body, 0xA0, e.pOtherName->Value.pbData, e.pOtherName->Value.cbData);
        der::Put(out, 0xA0, body);
        break;
      }
      default:
        return static_cast<DWORD>(E_INVALIDARG);
    }
  }
  return 0;
}

DWORD EncodeDistPoints(const CRL_DIST_POINTS_INFO& info, std::vector<BYTE>& out) {
  std::vector<BYTE> points;
  for (DWORD i = 0; i < info.cDistPoint; ++i) {
    const CRL_DIST_POINT& p = info.rgDistPoint[i];
    std::vector<BYTE> body;
    if (p.DistPointName.dwDistPointNameChoice == CRL_DIST_POINT_FULL_NAME) {
      std::vector<BYTE> names, full;
      if (const DWORD err = EncodeGeneralNames(p.DistPointName.FullName, names)) return err;
      der::Put(full, 0xA0, names);
      der::Put(body, 0xA0, full);
    } else if (p.DistPointName.dwDistPointNameChoice != CRL_DIST_POINT_NO_NAME) {
      return static_cast<DWORD>(E_INVALIDARG);
    }
    if (p.ReasonFlags.cbData) {
      std::vector<BYTE> bits{static_cast<BYTE>(p.ReasonFlags.cUnusedBits)};
      bits.insert(bits.end(), p.ReasonFlags.pbData, p.ReasonFlags.pbData + p.ReasonFlags.cbData);
      der::Put(body, 0x81, bits);
    }
    if (p.CRLIssuer.cAltEntry) {
      std::vector<BYTE> names;
      if (const DWORD err = EncodeGeneralNames(p.CRLIssuer, names)) return err;
      der::Put(body, 0xA2, names);
    }
    der::Put(points, der::kSequence, body);
  }
  der::Put(out, der::kSequence, points);
  return 0;
}

DWORD EncodeUsage(const CERT_ENHKEY_USAGE& usage, std::vector<BYTE>& out) {
  std::vector<BYTE> body;
  for (DWORD i = 0; i < usage.cUsageIdentifier; ++i)
    if (const DWORD err = EncodeOid(usage.rgpszUsageIdentifier[i], body)) return err;
  der::Put(out, der::kSequence, body);
  return 0;
}

DWORD EncodePolicies(const CERT_POLICIES_INFO& info, std::vector<BYTE>& out) {
  std::vector<BYTE> body;
  for (DWORD i = 0; i < info.cPolicyInfo; ++i) {
    const CERT_POLICY_INFO& p = info.rgPolicyInfo[i];
    std::vector<BYTE> one;
    if (const DWORD err = EncodeOid(p.pszPolicyIdentifier, one)) return err;
    if (p.cPolicyQualifier) {
      std::vector<BYTE> quals;
      for (DWORD j = 0; j < p.cPolicyQualifier; ++j) {
        std::vector<BYTE> q;
        if (const DWORD err = EncodeOid(p.rgPolicyQualifier[j].pszPolicyQualifierId, q)) return err;
        q.insert(q.end(), p.rgPolicyQualifier[j].Qualifier.pbData,
                 p.rgPolicyQualifier[j].Qualifier.pbData + p.rgPolicyQualifier[j].Qualifier.cbData);
        der::Put(quals, der::kSequence, q);
      }
      der::Put(one, der::kSequence, quals);
    }
    der::Put(body, der::kSequence, one);
  }
  der::Put(out, der::kSequence, body);
  return 0;
}

struct AlgOid {
  DWORD alg;
  const char* oid;
};

constexpr AlgOid kAlgOids[] = {
    {0x801E, "1.2.643.2.2.9"},       {0x8021, "1.2.643.7.1.1.2.2"}, {0x8022, "1.2.643.7.1.1.2.3"},
    {0x2E1E, "1.2.643.2.2.20"},      {0x2E23, "1.2.643.2.2.19"},    {0xAA24, "1.2.643.2.2.19"},    {0x2E49, "1.2.643.7.1.1.1.1"},
    {0x2E3D, "1.2.643.7.1.1.1.2"},   {0x661E, "1.2.643.2.2.21"},    {0x8004, "1.3.14.3.2.26"},
    {0x8003, "1.2.840.113549.2.5"},  {0xA400, "1.2.840.113549.1.1.1"},
    {0xAA24, "1.2.643.2.2.98"},  // a 2001 key under its agreement identifier
    {0x2400, "1.2.840.113549.1.1.1"}, {0x800C, "2.16.840.1.101.3.4.2.1"},
    {0xAA46, "1.2.643.7.1.1.1.1"},   {0xAA42, "1.2.643.7.1.1.1.2"},
};

}  // namespace

// Decodes the EKU extension or property value for CertGetEnhancedKeyUsage.
DWORD DecodeUsage(const BYTE* p, size_t n, std::vector<std::string>& out) {
  return DecodeOidSequence(p, n, out);
}

}  // namespace vexorcsp

using namespace vexorcsp;

extern "C" {

BOOL CryptEncodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType, const void* pvStructInfo,
                       BYTE* pbEncoded, DWORD* pcbEncoded) {
  return ApiGuard([&]() -> BOOL {
    if (pcbEncoded == nullptr || pvStructInfo == nullptr || lpszStructType == nullptr)
      return Fail(static_cast<DWORD>(E_INVALIDARG));
    if (!(dwCertEncodingType & X509_ASN_ENCODING)) return Fail(ERROR_FILE_NOT_FOUND);
    std::vector<BYTE> out;
    DWORD err = 0;
    switch (KindOf(lpszStructType)) {
      case Kind::kUtcTime:
        err = EncodeTime(*static_cast<const FILETIME*>(pvStructInfo), false, out);
        break;
      case Kind::kChoiceOfTime:
        err = EncodeTime(*static_cast<const FILETIME*>(pvStructInfo), true, out);
        break;
      case Kind::kCrlDistPoints:
        err = EncodeDistPoints(*static_cast<const CRL_DIST_POINTS_INFO*>(pvStructInfo), out);
        break;
      case Kind::kEnhKeyUsage:
        err = EncodeUsage(*static_cast<const CERT_ENHKEY_USAGE*>(pvStructInfo), out);
        break;
      case Kind::kPolicies:
        err = EncodePolicies(*static_cast<const CERT_POLICIES_INFO*>(pvStructInfo), out);
        break;
      default:
        return Fail(ERROR_FILE_NOT_FOUND);
    }
    if (err != 0) return Fail(err);
    const DWORD have = *pcbEncoded;
    *pcbEncoded = static_cast<DWORD>(out.size());
    if (pbEncoded == nullptr) return TRUE;
    if (have < out.size()) return Fail(ERROR_MORE_DATA);
    std::memcpy(pbEncoded, out.data(), out.size());
    return TRUE;
  });
}

BOOL CryptDecodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType, const BYTE* pbEncoded,
                       DWORD cbEncoded, DWORD, void* pvStructInfo, DWORD* pcbStructInfo) {
  return ApiGuard([&]() -> BOOL {
    if (pcbStructInfo == nullptr || lpszStructType == nullptr) return Fail(static_cast<DWORD>(E_INVALIDARG));
    if (!(dwCertEncodingType & X509_ASN_ENCODING)) return Fail(ERROR_FILE_NOT_FOUND);
    if (pbEncoded == nullptr || cbEncoded == 0) return Fail(static_cast<DWORD>(CRYPT_E_ASN1_EOD));
    switch (KindOf(lpszStructType)) {
      case Kind::kUtcTime:
      case Kind::kChoiceOfTime: {
        der::Reader r(pbEncoded, cbEncoded);
        der::Tlv t;
        if (!r.Next(t)) return Fail(r.error());
        if (t.tag != der::kUtcTime && t.tag != der::kGeneralizedTime) return Fail(BadTag());
        FILETIME ft;
        if (!DerTimeToFileTime(t.tag, t.value, t.length, ft)) return Fail(Corrupt());
        return DeliverFlat(pvStructInfo, pcbStructInfo, [&ft](FlatWriter& w) {
          if (FILETIME* out = w.Alloc<FILETIME>()) *out = ft;
        });
      }
      case Kind::kCrlDistPoints: {
        std::vector<DistPoint> points;
        if (const DWORD err = DecodeDistPoints(pbEncoded, cbEncoded, points)) return Fail(err);
        return DeliverFlat(pvStructInfo, pcbStructInfo, [&points](FlatWriter& w) { FillDistPoints(w, points); });
      }
      case Kind::kEnhKeyUsage: {
        std::vector<std::string> oids;
        if (const DWORD err = DecodeOidSequence(pbEncoded, cbEncoded, oids)) return Fail(err);
        return DeliverFlat(pvStructInfo, pcbStructInfo, [&oids](FlatWriter& w) { FillUsage(w, oids); });
      }
      case Kind::kPolicies: {
        std::vector<Policy> policies;
        if (const DWORD err = DecodePolicies(pbEncoded, cbEncoded, policies)) return Fail(err);
        return DeliverFlat(pvStructInfo, pcbStructInfo,
                           [&policies](FlatWriter& w) { FillPolicies(w, policies); });
      }
      default:
        return Fail(ERROR_FILE_NOT_FOUND);
    }
  });
}

BOOL CertGetEnhancedKeyUsage(PCCERT_CONTEXT pCertContext, DWORD dwFlags, PCERT_ENHKEY_USAGE pUsage,
                             DWORD* pcbUsage) {
  return ApiGuard([&]() -> BOOL {
    if (pCertContext == nullptr || pcbUsage == nullptr) return Fail(static_cast<DWORD>(E_INVALIDARG));
    std::vector<BYTE> encoded;
    bool found = false;
    if (!(dwFlags & CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG))
      found = AsObject(pCertContext)->core.props.Get(CERT_ENHKEY_USAGE_PROP_ID, encoded);
    if (!found && !(dwFlags & CERT_FIND_PROP_ONLY_ENHKEY_USAGE_FLAG)) {
      const CERT_INFO* info = pCertContext->pCertInfo;
      for (DWORD i = 0; i < info->cExtension && !found; ++i) {
        if (std::strcmp(info->rgExtension[i].pszObjId, szOID_ENHANCED_KEY_USAGE) == 0) {
          encoded.assign(info->rgExtension[i].Value.pbData,
                         info->rgExtension[i].Value.pbData + info->rgExtension[i].Value.cbData);
          found = true;
        }
      }
    }
    std::vector<std::string> oids;
    if (!found) {
      // No usage anywhere means "valid for every use": an empty list with CRYPT_E_NOT_FOUND.
      if (dwFlags & (CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG | CERT_FIND_PROP_ONLY_ENHKEY_USAGE_FLAG))
        return Fail(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
      const BOOL ok = DeliverFlat(pUsage, pcbUsage, [&oids](FlatWriter& w) { FillUsage(w, oids); });
      if (ok) SetLastError(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
      return ok;
    }
    if (const DWORD err = DecodeOidSequence(encoded.data(), encoded.size(), oids)) return Fail(err);
    const BOOL ok = DeliverFlat(pUsage, pcbUsage, [&oids](FlatWriter& w) { FillUsage(w, oids); });
    if (ok) SetLastError(0);
    return ok;
  });
}

LPCSTR CertAlgIdToOID(DWORD dwAlgId) {
  return ApiGuard<LPCSTR>(nullptr, [&]() -> LPCSTR {
    for (const AlgOid& a : kAlgOids)
      if (a.alg == dwAlgId) return a.oid;
    return nullptr;
  });
}

DWORD CertOIDToAlgId(LPCSTR pszObjId) {
  return ApiGuard<DWORD>(0, [&]() -> DWORD {
    if (pszObjId == nullptr) return 0;
    for (const AlgOid& a : kAlgOids)
      if (std::strcmp(a.oid, pszObjId) == 0) return a.alg;
    return 0;
  });
}

}  // extern "C"
