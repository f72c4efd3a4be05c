// Key agreement of the 2012 generation: VKO GOST R 34.10-2012 (RFC 7836 4.3) with 256- and
// 512-bit outputs, KDF_TREE_GOSTR3411_2012_256 (R 50.1.113-2016 4.5) and the KEG function
// the GOST engine uses for KExp15 key transport (R 1323565.1.020). The curve arithmetic is
// OpenSSL's over the group the engine put into the keys.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/provider/gost_engine.h"

namespace vexorcsp {

// KEK = H(LE(x) || LE(y)) of the point (cofactor * UKM * d) * Q, where d is own private key,
// Q the peer's public key (on the same curve), UKM the little-endian integer of ukm, and H
// GOST R 34.11-2012 with out_len (32 or 64) bytes of output.
bool Vko2012(EVP_PKEY* own, EVP_PKEY* peer, const uint8_t* ukm, size_t ukm_len, size_t out_len,
             uint8_t* out);

// The 64 bytes of KDF_TREE over HMAC GOST R 34.11-2012-256 with one-byte counters. The hashes
// here are the project's own Streebog.
bool KdfTree256(const uint8_t* key, size_t key_len, const uint8_t* label, size_t label_len,
                const uint8_t* seed, size_t seed_len, uint8_t out[64]);

// KEG: 64 bytes (K_mac || K_enc) from own key, the peer's key and the 32-byte transport UKM.
// A 512-bit key gives VKO-512 over the first 16 UKM bytes reversed; a 256-bit key gives
// VKO-256 expanded by KDF_TREE with the label "kdf tree" and UKM bytes 16..23 as the seed.
bool Keg(EVP_PKEY* own, EVP_PKEY* peer, const uint8_t ukm[32], uint8_t out[64]);

// The KEK of RFC 4490 key transport and agreement with an 8-byte UKM: VKO GOST R 34.10-2001
// for 2001 keys, VKO GOST R 34.10-2012 with the 256-bit hash for 2012 keys of either size
// (as the GOST engine computes it for -gost89 messages).
bool TransportKek(EVP_PKEY* own, EVP_PKEY* peer, const uint8_t ukm[8], uint8_t kek[32]);

// True for a GOST R 34.10-2012 key of either size.
bool Is2012Key(const EVP_PKEY* key);

// A new key on the curve and of the kind of the given one (the ephemeral key of a transport).
EvpPkeyPtr GenerateKeyLike(EVP_PKEY* key);

}  // namespace vexorcsp
