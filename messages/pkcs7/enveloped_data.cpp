#include "messages/pkcs7/enveloped_data.h"

#include <memory>
#include <sstream>
#include <stdexcept>

#include "asn1/asn1_long_data.h"
#include "der/der.h"

namespace {

constexpr char kEnvelopedDataOid[] = "1.2.840.113549.1.7.3";
constexpr char kDataOid[] = "1.2.840.113549.1.7.1";
// Blob offsets of the provider's key blobs.
constexpr size_t kBlobAlgorithm = 4;
constexpr size_t kPublicKeyBits = 12;
constexpr size_t kPublicKeyParams = 16;
constexpr size_t kWrappedKey = 24;
constexpr size_t kWrappedKeySize = 32;
constexpr size_t kKeyMac = 56;
constexpr size_t kKeyMacSize = 4;
constexpr size_t kCipherParams = 60;
constexpr uint32_t kStreamBlockCopy = 4096;

std::unique_ptr<CASN1Value> Sequence() { return std::make_unique<CASN1Value>(CASN1Value::Constructed{CASN1Value::kSequence}); }
std::unique_ptr<CASN1Value> Tagged0() { return std::make_unique<CASN1Value>(CASN1Value::Constructed{CASN1Value::ContextSpecific(0)}); }
std::unique_ptr<CASN1Value> Oid(const std::string& dotted) {
  return std::make_unique<CASN1Value>(CASN1Value::kObjectIdentifier, dotted);
}
std::unique_ptr<CASN1Value> Octets(const uint8_t* data, size_t length) {
  return std::make_unique<CASN1Value>(CASN1Value::kOctetString, std::string(reinterpret_cast<const char*>(data), length));
}

uint32_t LoadU32LE(const std::vector<uint8_t>& blob, size_t at) {
  if (blob.size() < at + 4) throw std::runtime_error("PKCS7EnvData: The key blob is too short.");
  return der::LoadU32LE(blob.data() + at);
}

// The DER element that starts at `at` in the blob, parsed over exactly its own extent.
std::unique_ptr<CASN1Value> ElementAt(const std::vector<uint8_t>& blob, size_t at) {
  if (blob.size() < at + 2) throw std::runtime_error("PKCS7EnvData: The key blob is too short.");
  der::Reader r(blob.data() + at, blob.size() - at);
  der::Tlv element;
  if (!r.Next(element)) throw std::runtime_error("PKCS7EnvData: The key blob is malformed.");
  return std::make_unique<CASN1Value>(element.start, element.size);
}

// The provider names an ephemeral or exchange GOST R 34.10-2001 key by its agreement
// algorithm; in certificates and CMS the same key is a GOST R 34.10-2001 public key.
ALG_ID PublicKeyAlgorithm(ALG_ID blob_alg) {
  switch (blob_alg) {
    case CALG_GR3410:
    case CALG_GR3410EL:
      return blob_alg;
    case CALG_DH_EL_SF:
    case CALG_DH_EL_EPHEM:
      return CALG_GR3410EL;
    default:
      throw std::runtime_error("PKCS7EnvData: Not implemented for non-GOST algorithms.");
  }
}

std::string OidOfAlgorithm(ALG_ID alg) {
  const char* oid = CertAlgIdToOID(alg);
  if (oid == nullptr) throw std::runtime_error("PKCS7EnvData: Not implemented for non-GOST algorithms.");
  return oid;
}

}  // namespace

CPKCS7Info::CPKCS7Info(const char* content_type) : CASN1Value(Constructed{kSequence}) {
  AddSubvalue(Oid(content_type));
}

CPKCS7Info::CIssuerAndSerialNumber::CIssuerAndSerialNumber(PCCERT_CONTEXT cert) : CASN1Value(Constructed{kSequence}) {
  const CERT_INFO& info = *cert->pCertInfo;
  AddSubvalue(std::make_unique<CASN1Value>(info.Issuer.pbData, info.Issuer.cbData));
  // The platform keeps the serial number least significant byte first.
  static const char kHex[] = "0123456789ABCDEF";
  std::string hex;
  for (DWORD i = info.SerialNumber.cbData; i > 0; --i) {
    const uint8_t b = info.SerialNumber.pbData[i - 1];
    hex += kHex[b >> 4];
    hex += kHex[b & 15];
  }
  AddSubvalue(std::make_unique<CASN1Value>(kInteger, hex));
}

CPKCS7EnvelopedData::CRecipientInfo::CRecipientInfo(PCCERT_CONTEXT cert, IEncryptor& encryptor)
    : CASN1Value(Constructed{kSequence}) {
  AddSubvalue(std::make_unique<CASN1Value>(uint32_t{0}));
  AddSubvalue(std::make_unique<CIssuerAndSerialNumber>(cert));

  std::vector<uint8_t> simple, sender, ukm;
  bool ephemeral = false;
  encryptor.ExportKeys(cert, simple, sender, ukm, ephemeral);
  const ALG_ID key_alg = PublicKeyAlgorithm(LoadU32LE(sender, kBlobAlgorithm));
  if (simple.size() < kCipherParams) throw std::runtime_error("PKCS7EnvData: The key blob is too short.");

  // keyEncryptionAlgorithm: the sender key's algorithm and its parameters.
  auto algorithm = Sequence();
  algorithm->AddSubvalue(Oid(OidOfAlgorithm(key_alg)));
  algorithm->AddSubvalue(ElementAt(sender, kPublicKeyParams));
  const size_t key_bytes = LoadU32LE(sender, kPublicKeyBits) / 8;
  if (key_bytes == 0 || key_bytes > sender.size() - kPublicKeyParams)
    throw std::runtime_error("PKCS7EnvData: The key blob is malformed.");

  // GostR3410-KeyTransport.
  auto session_key = Sequence();
  session_key->AddSubvalue(Octets(simple.data() + kWrappedKey, kWrappedKeySize));
  session_key->AddSubvalue(Octets(simple.data() + kKeyMac, kKeyMacSize));

  const std::unique_ptr<CASN1Value> cipher_params = ElementAt(simple, kCipherParams);
  if (cipher_params->children().empty()) throw std::runtime_error("PKCS7EnvData: The key blob is malformed.");
  const CASN1Value& param_set = *cipher_params->children().front();
  if (param_set.identifier() == kObjectIdentifier) param_set.GetOID(param_set_);

  std::string public_key_der;
  {
    std::ostringstream der;
    CASN1Value(kOctetString, std::string(reinterpret_cast<const char*>(sender.data() + sender.size() - key_bytes),
                                         key_bytes))
        .Write(der);
    public_key_der = der.str();  // the BIT STRING adds its unused-bits octet
  }
  auto ephemeral_key = Tagged0();
  ephemeral_key->AddSubvalue(std::make_unique<CASN1Value>(*algorithm));
  ephemeral_key->AddSubvalue(std::make_unique<CASN1Value>(kBitString, public_key_der));

  auto transport_params = Tagged0();
  transport_params->AddSubvalue(std::make_unique<CASN1Value>(param_set));
  transport_params->AddSubvalue(std::move(ephemeral_key));
  transport_params->AddSubvalue(Octets(ukm.data(), ukm.size()));

  CASN1Value transport(Constructed{kSequence});
  transport.AddSubvalue(std::move(session_key));
  transport.AddSubvalue(std::move(transport_params));
  std::ostringstream encoded;
  transport.Write(encoded);

  AddSubvalue(std::move(algorithm));
  AddSubvalue(std::make_unique<CASN1Value>(kOctetString, encoded.str()));
}

CASN1Value& CPKCS7EnvelopedData::BuildHead(const PCCERT_CONTEXT* certs, size_t count, IEncryptor* encryptor) {
  if (certs == nullptr || count == 0) throw std::invalid_argument("PKCS7EnvData: Certificates must NOT be empty.");
  if (encryptor == nullptr) throw std::invalid_argument("PKCS7EnvData: Signer object must NOT be empty.");
  auto wrapper = Tagged0();
  auto enveloped = Sequence();
  enveloped->AddSubvalue(std::make_unique<CASN1Value>(uint32_t{0}));
  auto recipients = std::make_unique<CASN1Value>(Constructed{kSet});

  encryptor->GenerateKeys(nullptr);
  std::vector<uint32_t> param_set;
  for (size_t i = 0; i < count; ++i) {
    auto recipient = std::make_unique<CRecipientInfo>(certs[i], *encryptor);
    if (i == 0) param_set = recipient->param_set();
    recipients->AddSubvalue(std::move(recipient));
  }

  auto content_info = Sequence();
  content_info->AddSubvalue(Oid(kDataOid));
  ALG_ID content_alg = 0;
  std::vector<uint8_t> iv;
  encryptor->GetContentAlgorithm(content_alg, iv);
  auto algorithm = Sequence();
  algorithm->AddSubvalue(Oid(OidOfAlgorithm(content_alg)));
  auto params = Sequence();
  params->AddSubvalue(Octets(iv.data(), iv.size()));
  params->AddSubvalue(std::make_unique<CASN1Value>(param_set));
  algorithm->AddSubvalue(std::move(params));
  content_info->AddSubvalue(std::move(algorithm));

  CASN1Value& content_slot = *content_info;
  enveloped->AddSubvalue(std::move(recipients));
  enveloped->AddSubvalue(std::move(content_info));
  wrapper->AddSubvalue(std::move(enveloped));
  AddSubvalue(std::move(wrapper));
  return content_slot;
}

CPKCS7EnvelopedData::CPKCS7EnvelopedData(const PCCERT_CONTEXT* certs, size_t count, const uint8_t* data,
                                         uint32_t length, IEncryptor* encryptor)
    : CPKCS7Info(kEnvelopedDataOid) {
  CASN1Value& content_info = BuildHead(certs, count, encryptor);
  std::vector<uint8_t> ciphertext;
  encryptor->Encrypt(data, length, true, ciphertext);
  content_info.AddSubvalue(std::make_unique<CASN1Value>(ContextSpecific(0), ciphertext));
}

CPKCS7EnvelopedData::CPKCS7EnvelopedData(const PCCERT_CONTEXT* certs, size_t count, IData& source,
                                         IEncryptor* encryptor)
    : CPKCS7Info(kEnvelopedDataOid) {
  CASN1Value& content_info = BuildHead(certs, count, encryptor);
  auto ciphertext = std::make_unique<CASN1ValueLongData>(ContextSpecific(0), kStreamBlockCopy);
  std::vector<uint8_t> block_out;
  for (;;) {
    const uint8_t* block = nullptr;
    uint32_t length = 0;
    bool last = false;
    source.GetNextBlock(block, length, last);
    if (length == 0 && !last) throw std::runtime_error("PKCS7EnvData: The input ended before its measured size.");
    if (length > 0 || last) {
      encryptor->Encrypt(block, length, last, block_out);
      ciphertext->AppendData(block_out.data(), block_out.size());
    }
    if (last) break;
  }
  content_info.AddSubvalue(std::move(ciphertext));
}
