#include "platform/provider/gost_vko2012.h"

#include "platform/provider/gost_key.h"
#include "platform/provider/streebog.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>

namespace vexorcsp {
namespace {

VEXORCSP_OSSL_PTR(BnCtxPtr, BN_CTX, BN_CTX_free);
VEXORCSP_OSSL_PTR(EcPointPtr, EC_POINT, EC_POINT_free);
VEXORCSP_OSSL_PTR(SecretBnPtr, BIGNUM, BN_clear_free);

// The engine's curve key inside a GOST key; null for any other kind of key.
const EC_KEY* EcKey(EVP_PKEY* key) {
  const int id = key != nullptr ? EVP_PKEY_get_base_id(key) : NID_undef;
  if (id != NID_id_GostR3410_2001 && id != NID_id_GostR3410_2012_256 &&
      id != NID_id_GostR3410_2012_512)
    return nullptr;
  return static_cast<const EC_KEY*>(EVP_PKEY_get0(key));
}

}  // namespace

bool Vko2012(EVP_PKEY* own, EVP_PKEY* peer, const uint8_t* ukm, size_t ukm_len, size_t out_len,
             uint8_t* out) {
  const EC_KEY* mine = EcKey(own);
  const EC_KEY* theirs = EcKey(peer);
  if (mine == nullptr || theirs == nullptr || (out_len != 32 && out_len != 64) || ukm_len == 0)
    return false;
  const EC_GROUP* group = EC_KEY_get0_group(mine);
  const BIGNUM* d = EC_KEY_get0_private_key(mine);
  const EC_POINT* q = EC_KEY_get0_public_key(theirs);
  const EC_GROUP* peer_group = EC_KEY_get0_group(theirs);
  BnCtxPtr ctx(BN_CTX_secure_new());
  if (group == nullptr || d == nullptr || q == nullptr || peer_group == nullptr || !ctx ||
      EC_GROUP_cmp(group, peer_group, ctx.get()) != 0)
    return false;
  const size_t half = size_t(BN_num_bytes(EC_GROUP_get0_order(group)));
  SecretBnPtr scalar(BN_secure_new());
  BignumPtr x(BN_new()), y(BN_new());
  BignumPtr u(BN_lebin2bn(ukm, int(ukm_len), nullptr));
  EcPointPtr point(EC_POINT_new(group));
  std::vector<uint8_t> xy(2 * half);
  const bool ok =
      scalar && x && y && u && point && half <= 64 &&
      BN_mod_mul(scalar.get(), d, u.get(), EC_GROUP_get0_order(group), ctx.get()) &&
      BN_mul(scalar.get(), scalar.get(), EC_GROUP_get0_cofactor(group), ctx.get()) &&
      EC_POINT_mul(group, point.get(), nullptr, q, scalar.get(), ctx.get()) &&
      !EC_POINT_is_at_infinity(group, point.get()) &&
      EC_POINT_get_affine_coordinates(group, point.get(), x.get(), y.get(), ctx.get()) &&
      BN_bn2lebinpad(x.get(), xy.data(), int(half)) == int(half) &&
      BN_bn2lebinpad(y.get(), xy.data() + half, int(half)) == int(half);
  if (ok) {
    streebog::Hash h(out_len);
    h.Update(xy.data(), xy.size());
    h.Final(out);
  }
  OPENSSL_cleanse(xy.data(), xy.size());
  if (!ok) {
    OPENSSL_cleanse(out, out_len);
    ERR_clear_error();
  }
  return ok;
}

bool KdfTree256(const uint8_t* key, size_t key_len, const uint8_t* label, size_t label_len,
                const uint8_t* seed, size_t seed_len, uint8_t out[64]) {
  // K(i) = HMAC(key, [i] || label || 0x00 || seed || [512]), [512] in its two bytes.
  std::vector<uint8_t> data;
  data.push_back(0);
  data.insert(data.end(), label, label + label_len);
  data.push_back(0);
  data.insert(data.end(), seed, seed + seed_len);
  data.push_back(0x02);
  data.push_back(0x00);
  for (uint8_t i = 1; i <= 2; ++i) {
    data[0] = i;
    streebog::Hmac(32, key, key_len, data.data(), data.size(), out + 32 * (i - 1));
  }
  return true;
}

bool Keg(EVP_PKEY* own, EVP_PKEY* peer, const uint8_t ukm[32], uint8_t out[64]) {
  // The first 16 bytes as a big-endian number (1 when they are all zero).
  uint8_t reversed[16];
  std::reverse_copy(ukm, ukm + 16, reversed);
  if (std::all_of(ukm, ukm + 16, [](uint8_t b) { return b == 0; })) reversed[15] = 1;
  const EC_KEY* mine = EcKey(own);
  if (mine == nullptr) return false;
  const int bits = EC_GROUP_order_bits(EC_KEY_get0_group(mine));
  if (bits > 256) return Vko2012(own, peer, reversed, sizeof(reversed), 64, out);
  uint8_t kek[32];
  static constexpr uint8_t kLabel[] = {'k', 'd', 'f', ' ', 't', 'r', 'e', 'e'};
  const bool ok = Vko2012(own, peer, reversed, sizeof(reversed), 32, kek) &&
                  KdfTree256(kek, sizeof(kek), kLabel, sizeof(kLabel), ukm + 16, 8, out);
  OPENSSL_cleanse(kek, sizeof(kek));
  return ok;
}

bool Is2012Key(const EVP_PKEY* key) {
  const int id = key != nullptr ? EVP_PKEY_get_base_id(key) : NID_undef;
  return id == NID_id_GostR3410_2012_256 || id == NID_id_GostR3410_2012_512;
}

bool TransportKek(EVP_PKEY* own, EVP_PKEY* peer, const uint8_t ukm[8], uint8_t kek[32]) {
  if (!Is2012Key(own)) return Vko(own, peer, ukm, kek);
  return Is2012Key(peer) && Vko2012(own, peer, ukm, 8, 32, kek);
}

EvpPkeyPtr GenerateKeyLike(EVP_PKEY* key) {
  EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, GostEngine()));
  EVP_PKEY* out = nullptr;
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) <= 0 || EVP_PKEY_keygen(ctx.get(), &out) <= 0) {
    ERR_clear_error();
    return nullptr;
  }
  return EvpPkeyPtr(out);
}

}  // namespace vexorcsp
