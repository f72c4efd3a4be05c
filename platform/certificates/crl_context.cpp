// CRL contexts: decoding a certificate revocation list into CRL_INFO, reference counting,
// time validity and the serial-number lookup.
#include "platform/core/api_guard.h"
#include "platform/certificates/cert_context.h"

#include <openssl/err.h>
#include <openssl/sha.h>

#include "platform/codec/der.h"
#include "platform/core/last_error.h"

namespace vexorcsp {
namespace {

DWORD Corrupt() { return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT); }

bool ReadTime(der::Reader& r, FILETIME& out) {
  der::Tlv t;
  if (!r.Next(t)) return false;
  if (!DerTimeToFileTime(t.tag, t.value, t.length, out)) return r.Fail(der::kCorrupt);
  return true;
}

DWORD DecodeCrlInfo(CrlObject& c) {
  der::Reader top(c.core.encoded.data(), c.core.encoded.size());
  der::Reader list, tbs;
  if (!top.Enter(der::kSequence, list)) return top.error();
  if (!top.ExpectEnd()) return top.error();
  if (!list.Enter(der::kSequence, tbs)) return list.error();
  CRL_INFO& info = c.info;
  der::Tlv t;
  bool present = false;
  if (!tbs.Optional(der::kInteger, t, present) && tbs.error()) return tbs.error();
  if (present) {
    if (t.length != 1 || t.value[0] > 1) return Corrupt();
    info.dwVersion = t.value[0];
  }
  if (!tbs.Expect(der::kSequence, t)) return tbs.error();
  if (!DecodeAlgorithm(t.value, t.length, c.core.arena, info.SignatureAlgorithm)) return Corrupt();
  if (!tbs.Expect(der::kSequence, t)) return tbs.error();
  info.Issuer = {static_cast<DWORD>(t.size), const_cast<BYTE*>(t.start)};
  if (!ReadTime(tbs, info.ThisUpdate)) return tbs.error();
  const uint8_t next = tbs.PeekTag();
  if (next == der::kUtcTime || next == der::kGeneralizedTime) {
    if (!ReadTime(tbs, info.NextUpdate)) return tbs.error();
  }
  if (tbs.PeekTag() == der::kSequence) {
    der::Reader revoked;
    if (!tbs.Enter(der::kSequence, revoked)) return tbs.error();
    while (!revoked.empty()) {
      der::Reader entry;
      if (!revoked.Enter(der::kSequence, entry)) return revoked.error();
      CRL_ENTRY e{};
      der::Tlv serial;
      if (!entry.Expect(der::kInteger, serial) || serial.length == 0) return Corrupt();
      ReverseInteger(serial.value, serial.length, c.core.arena, e.SerialNumber);
      if (!ReadTime(entry, e.RevocationDate)) return Corrupt();
      if (!entry.empty()) {
        der::Tlv exts;
        if (!entry.Expect(der::kSequence, exts) || !entry.ExpectEnd()) return Corrupt();
        c.entry_extensions.emplace_back();
        if (!DecodeExtensions(exts.value, exts.length, c.core.arena, c.entry_extensions.back()))
          return Corrupt();
        e.cExtension = static_cast<DWORD>(c.entry_extensions.back().size());
        e.rgExtension = e.cExtension ? c.entry_extensions.back().data() : nullptr;
      }
      c.entries.push_back(e);
    }
  }
  if (tbs.Optional(0xA0, t, present) && present) {
    der::Reader wrapper = der::ContentsOf(t);
    der::Tlv exts;
    if (!wrapper.Expect(der::kSequence, exts) || !wrapper.empty() ||
        !DecodeExtensions(exts.value, exts.length, c.core.arena, c.extensions))
      return Corrupt();
  }
  if (tbs.error()) return tbs.error();
  if (!tbs.ExpectEnd()) return tbs.error();
  info.cCRLEntry = static_cast<DWORD>(c.entries.size());
  info.rgCRLEntry = c.entries.empty() ? nullptr : c.entries.data();
  info.cExtension = static_cast<DWORD>(c.extensions.size());
  info.rgExtension = c.extensions.empty() ? nullptr : c.extensions.data();
  return 0;
}

}  // namespace

CrlObject* NewCrlObject(const BYTE* data, size_t size) {
  if (data == nullptr || size == 0) return FailNull<CrlObject>(static_cast<DWORD>(CRYPT_E_ASN1_EOD));
  auto c = std::make_unique<CrlObject>();
  c->core.encoded.assign(data, data + size);
  if (const DWORD err = DecodeCrlInfo(*c); err != 0) return FailNull<CrlObject>(err);
  GostEngine();
  const BYTE* p = c->core.encoded.data();
  c->crl.reset(d2i_X509_CRL(nullptr, &p, static_cast<long>(size)));
  if (!c->crl || p != c->core.encoded.data() + size) {
    ERR_clear_error();
    return FailNull<CrlObject>(Corrupt());
  }
  if (!Sha1(c->core.encoded.data(), size, c->core.sha1)) return FailNull<CrlObject>(static_cast<DWORD>(NTE_FAIL));
  c->dwCertEncodingType = X509_ASN_ENCODING;
  c->pbCrlEncoded = c->core.encoded.data();
  c->cbCrlEncoded = static_cast<DWORD>(size);
  c->pCrlInfo = &c->info;
  c->hCertStore = nullptr;
  return c.release();
}

}  // namespace vexorcsp

using namespace vexorcsp;

extern "C" {

PCCRL_CONTEXT CertCreateCRLContext(DWORD dwCertEncodingType, const BYTE* pbCrlEncoded,
                                   DWORD cbCrlEncoded) {
  return ApiGuard<PCCRL_CONTEXT>(nullptr, [&]() -> PCCRL_CONTEXT {
    if (!(dwCertEncodingType & X509_ASN_ENCODING))
      return FailNull<const CRL_CONTEXT>(static_cast<DWORD>(E_INVALIDARG));
    return NewCrlObject(pbCrlEncoded, cbCrlEncoded);
  });
}

PCCRL_CONTEXT CertDuplicateCRLContext(PCCRL_CONTEXT pCrlContext) {
  return ApiGuard<PCCRL_CONTEXT>(nullptr, [&]() -> PCCRL_CONTEXT {
    if (pCrlContext == nullptr) return nullptr;
    AddRef(AsObject(pCrlContext));
    return pCrlContext;
  });
}

BOOL CertFreeCRLContext(PCCRL_CONTEXT pCrlContext) {
  return ApiGuard([&]() -> BOOL {
    if (pCrlContext != nullptr) Release(AsObject(pCrlContext));
    return TRUE;
  });
}

LONG CertVerifyCRLTimeValidity(LPFILETIME pTimeToVerify, PCRL_INFO pCrlInfo) {
  return ApiGuard<LONG>(0, [&]() -> LONG {
    FILETIME now;
    if (pTimeToVerify == nullptr) {
      GetSystemTimeAsFileTime(&now);
      pTimeToVerify = &now;
    }
    if (CompareFileTime(pTimeToVerify, &pCrlInfo->ThisUpdate) < 0) return -1;
    // A list without a next update never expires.
    const FILETIME zero{0, 0};
    if (CompareFileTime(&pCrlInfo->NextUpdate, &zero) == 0) return 0;
    if (CompareFileTime(pTimeToVerify, &pCrlInfo->NextUpdate) > 0) return 1;
    return 0;
  });
}

BOOL CertFindCertificateInCRL(PCCERT_CONTEXT pCert, PCCRL_CONTEXT pCrlContext, DWORD dwFlags,
                              void*, PCRL_ENTRY* ppCrlEntry) {
  return ApiGuard([&]() -> BOOL {
    if (pCert == nullptr || pCrlContext == nullptr || ppCrlEntry == nullptr || dwFlags != 0)
      return Fail(static_cast<DWORD>(E_INVALIDARG));
    *ppCrlEntry = nullptr;
    const CRL_INFO* info = pCrlContext->pCrlInfo;
    for (DWORD i = 0; i < info->cCRLEntry; ++i) {
      if (CertCompareIntegerBlob(&info->rgCRLEntry[i].SerialNumber,
                                 &pCert->pCertInfo->SerialNumber)) {
        *ppCrlEntry = &info->rgCRLEntry[i];
        break;
      }
    }
    return TRUE;
  });
}

}  // extern "C"
