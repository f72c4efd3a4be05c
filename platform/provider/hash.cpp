// Hash objects: GOST R 34.11-94 (CryptoPro parameters, the provider's own), GOST R 34.11-2012
// of 256 and 512 bits, the GOST 28147-89 MAC under a session key, and GOST R 34.10
// signatures over the hash value.
#include <algorithm>
#include <cstring>
#include <optional>

#include <openssl/err.h>

#include "platform/core/handle_table.h"
#include "platform/provider/gost_hash.h"
#include "platform/provider/streebog.h"
#include "platform/provider/key.h"
#include "platform/core/api_guard.h"
#include "platform/core/last_error.h"
#include "platform/core/out_param.h"
#include "vexor/platform_prov.h"

namespace vexorcsp {
namespace {

constexpr size_t kMaxHashSize = 64;

bool IsStreebog(ALG_ID alg) {
  return alg == CALG_GR3411_2012_256 || alg == CALG_GR3411_2012_512;
}

struct Hash {
  ALG_ID alg = 0;
  ProviderRef provider;
  std::mutex mu;  // guards what follows
  std::optional<gost94::Hash> gost94;      // CALG_GR3411
  std::optional<streebog::Hash> streebog;  // CALG_GR3411_2012_256 / _512
  std::optional<gost89::ImitStream> imit;  // CALG_G28147_IMIT
  bool finished = false;                   // the value is fixed; no more data
  std::array<uint8_t, kMaxHashSize> value{};
  size_t value_len = 0;
};
using Hashes = HandleTable<Hash>;

size_t ValueSize(const Hash& h) {
  switch (h.alg) {
    case CALG_GR3411:
    case CALG_GR3411_2012_256:
      return 32;
    case CALG_GR3411_2012_512:
      return 64;
    default:
      return 4;
  }
}

// Fixes the value on first request, as CryptoAPI does.
bool Finish(Hash& h) {
  if (h.finished) return true;
  if (h.alg == CALG_GR3411) {
    h.gost94->Final(h.value.data());
    h.value_len = gost94::kSize;
  } else if (IsStreebog(h.alg)) {
    h.streebog->Final(h.value.data());
    h.value_len = h.streebog->size();
  } else {
    const gost89::Iv state = h.imit->Final();
    std::memcpy(h.value.data(), state.data(), 4);
    h.value_len = 4;
  }
  h.finished = true;
  return true;
}

}  // namespace
}  // namespace vexorcsp

using namespace vexorcsp;

extern "C" {

BOOL CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                     HCRYPTHASH* phHash) {
  return ApiGuard([&]() -> BOOL {
    if (phHash == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    ProviderRef provider = LookupProvider(hProv);
    if (!provider) return Fail(DWORD(NTE_BAD_UID));
    if (dwFlags != 0) return Fail(DWORD(NTE_BAD_FLAGS));
    auto hash = std::make_shared<Hash>();
    hash->alg = Algid;
    hash->provider = provider;
    if (Algid == CALG_GR3411) {
      if (hKey != 0) return Fail(DWORD(NTE_BAD_KEY));
      hash->gost94.emplace();
    } else if (IsStreebog(Algid)) {
      if (hKey != 0) return Fail(DWORD(NTE_BAD_KEY));
      hash->streebog.emplace(Algid == CALG_GR3411_2012_256 ? 32 : 64);
    } else if (Algid == CALG_G28147_IMIT) {
      KeyRef key = LookupKey(hKey);
      if (!key || key->kind != KeyKind::kSession) return Fail(DWORD(NTE_BAD_KEY));
      std::lock_guard<std::mutex> lock(key->mu);
      const gost89::ParamSet* params = gost89::FindParamSet(key->cipher_oid);
      if (params == nullptr) return Fail(DWORD(NTE_BAD_ALGID));
      const uint8_t zero[gost89::kBlock] = {};
      hash->imit.emplace(*params, key->secret.data(), zero);
    } else {
      return Fail(DWORD(NTE_BAD_ALGID));
    }
    *phHash = Hashes::Instance().Add(std::move(hash));
    return TRUE;
  });
}

BOOL CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD dwFlags) {
  return ApiGuard([&]() -> BOOL {
    std::shared_ptr<Hash> hash = Hashes::Instance().Get(hHash);
    if (!hash) return Fail(DWORD(NTE_BAD_HASH));
    if (dwFlags != 0) return Fail(DWORD(NTE_BAD_FLAGS));
    if (pbData == nullptr && dwDataLen != 0) return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> lock(hash->mu);
    if (hash->finished) return Fail(DWORD(NTE_BAD_HASH_STATE));
    if (dwDataLen == 0) return TRUE;
    if (hash->alg == CALG_GR3411) {
      hash->gost94->Update(pbData, dwDataLen);
    } else if (hash->streebog) {
      hash->streebog->Update(pbData, dwDataLen);
    } else {
      hash->imit->Update(pbData, dwDataLen);
    }
    return TRUE;
  });
}

BOOL CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                       DWORD dwFlags) {
  return ApiGuard([&]() -> BOOL {
    std::shared_ptr<Hash> hash = Hashes::Instance().Get(hHash);
    if (!hash) return Fail(DWORD(NTE_BAD_HASH));
    if (dwFlags != 0) return Fail(DWORD(NTE_BAD_FLAGS));
    std::lock_guard<std::mutex> lock(hash->mu);
    switch (dwParam) {
      case HP_ALGID: {
        const DWORD alg = hash->alg;
        return CopyOut(&alg, sizeof(alg), pbData, pdwDataLen);
      }
      case HP_HASHSIZE: {
        const DWORD size = DWORD(ValueSize(*hash));
        return CopyOut(&size, sizeof(size), pbData, pdwDataLen);
      }
      case HP_HASHVAL: {
        // A size query (or a short buffer) leaves the hash open for more data.
        const size_t need = ValueSize(*hash);
        if (pbData == nullptr || pdwDataLen == nullptr || *pdwDataLen < need) {
          const uint8_t none[kMaxHashSize] = {};
          return CopyOut(none, need, pbData, pdwDataLen);
        }
        if (!Finish(*hash)) return Fail(DWORD(NTE_FAIL));
        return CopyOut(hash->value.data(), hash->value_len, pbData, pdwDataLen);
      }
      default:
        return Fail(DWORD(NTE_BAD_TYPE));
    }
  });
}

BOOL CryptSetHashParam(HCRYPTHASH hHash, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
  return ApiGuard([&]() -> BOOL {
    std::shared_ptr<Hash> hash = Hashes::Instance().Get(hHash);
    if (!hash) return Fail(DWORD(NTE_BAD_HASH));
    if (dwFlags != 0) return Fail(DWORD(NTE_BAD_FLAGS));
    if (pbData == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (dwParam != HP_HASHVAL) return Fail(DWORD(NTE_BAD_TYPE));
    std::lock_guard<std::mutex> lock(hash->mu);
    if (hash->alg != CALG_GR3411 && !IsStreebog(hash->alg)) return Fail(DWORD(NTE_BAD_HASH));
    std::memcpy(hash->value.data(), pbData, ValueSize(*hash));
    hash->value_len = ValueSize(*hash);
    hash->finished = true;
    return TRUE;
  });
}

BOOL CryptDestroyHash(HCRYPTHASH hHash) {
  return ApiGuard([&]() -> BOOL {
    if (!Hashes::Instance().Remove(hHash)) return Fail(DWORD(NTE_BAD_HASH));
    return TRUE;
  });
}

BOOL CryptSignHashA(HCRYPTHASH hHash, DWORD dwKeySpec, LPCSTR, DWORD dwFlags, BYTE* pbSignature,
                    DWORD* pdwSigLen) {
  return ApiGuard([&]() -> BOOL {
    std::shared_ptr<Hash> hash = Hashes::Instance().Get(hHash);
    if (!hash) return Fail(DWORD(NTE_BAD_HASH));
    if (dwFlags != 0) return Fail(DWORD(NTE_BAD_FLAGS));
    if (hash->alg != CALG_GR3411 && !IsStreebog(hash->alg)) return Fail(DWORD(NTE_BAD_ALGID));
    if (dwKeySpec != AT_KEYEXCHANGE) return Fail(DWORD(NTE_NO_KEY));
    // A signature is twice the hash value; the key must be of the hash's family.
    const size_t sig_len = 2 * ValueSize(*hash);
    uint8_t signature[2 * kMaxHashSize] = {};
    if (pbSignature == nullptr || pdwSigLen == nullptr || *pdwSigLen < sig_len)
      return CopyOut(signature, sig_len, pbSignature, pdwSigLen);
    DWORD error = 0;
    EvpPkeyPtr key = ContainerKey(*hash->provider, error);
    if (!key) return Fail(error);
    KeyFamily family;
    if (!FamilyOfKey(key.get(), family) || FamilyHashAlg(family) != hash->alg)
      return Fail(DWORD(NTE_BAD_ALGID));
    std::lock_guard<std::mutex> lock(hash->mu);
    if (!Finish(*hash)) return Fail(DWORD(NTE_FAIL));
    if (!SignDigest(key.get(), hash->value.data(), signature)) return Fail(DWORD(NTE_FAIL));
    return CopyOut(signature, sig_len, pbSignature, pdwSigLen);
  });
}

BOOL CryptVerifySignatureA(HCRYPTHASH hHash, const BYTE* pbSignature, DWORD dwSigLen,
                           HCRYPTKEY hPubKey, LPCSTR, DWORD dwFlags) {
  return ApiGuard([&]() -> BOOL {
    std::shared_ptr<Hash> hash = Hashes::Instance().Get(hHash);
    if (!hash) return Fail(DWORD(NTE_BAD_HASH));
    if (dwFlags != 0) return Fail(DWORD(NTE_BAD_FLAGS));
    if (hash->alg != CALG_GR3411 && !IsStreebog(hash->alg)) return Fail(DWORD(NTE_BAD_ALGID));
    KeyRef key = LookupKey(hPubKey);
    if (!key || (key->kind != KeyKind::kPublic && key->kind != KeyKind::kPrivate))
      return Fail(DWORD(NTE_BAD_KEY));
    std::lock_guard<std::mutex> key_lock(key->mu);
    KeyFamily family;
    if (!FamilyOfKey(key->pkey.get(), family) || FamilyHashAlg(family) != hash->alg)
      return Fail(DWORD(NTE_BAD_ALGID));
    if (pbSignature == nullptr || dwSigLen != 2 * ValueSize(*hash))
      return Fail(DWORD(NTE_BAD_SIGNATURE));
    std::lock_guard<std::mutex> lock(hash->mu);
    if (!Finish(*hash)) return Fail(DWORD(NTE_FAIL));
    if (!VerifyDigest(key->pkey.get(), hash->value.data(), pbSignature))
      return Fail(DWORD(NTE_BAD_SIGNATURE));
    return TRUE;
  });
}

}  // extern "C"
