#include "xml/xenc.h"

#include <string>

#include "vexor/vexor_xml.h"
#include "xml/gost.h"

namespace vexorxml {
namespace {

const char kEncNs[] = "http://www.w3.org/2001/04/xmlenc#";
const char kDsigNs[] = "http://www.w3.org/2000/09/xmldsig#";
const char kElementType[] = "http://www.w3.org/2001/04/xmlenc#Element";
const char kGost28147[] = "urn:ietf:params:xml:ns:cpxmlsec:algorithms:gost28147";

// The key transport methods, by the kind of the recipient's key.
struct Transport {
  KeyKind kind;
  const char* uri;
};
const Transport kTransports[] = {
    {KeyKind::k2001, "urn:ietf:params:xml:ns:cpxmlsec:algorithms:transport-gost2001"},
    {KeyKind::k2012_256, "urn:ietf:params:xml:ns:cpxmlsec:algorithms:transport-gost2012-256"},
    {KeyKind::k2012_512, "urn:ietf:params:xml:ns:cpxmlsec:algorithms:transport-gost2012-512"},
};

const char* TransportUri(KeyKind kind) {
  for (const Transport& t : kTransports)
    if (t.kind == kind) return t.uri;
  return kTransports[0].uri;
}

bool KindOfTransport(const std::string& uri, KeyKind& kind) {
  for (const Transport& t : kTransports)
    if (uri == t.uri) {
      kind = t.kind;
      return true;
    }
  return false;
}

const xmlChar* X(const char* text) { return reinterpret_cast<const xmlChar*>(text); }

xmlNode* AddChild(xmlNode* parent, xmlNs* ns, const char* name, const char* algorithm = nullptr) {
  xmlNode* node = xmlNewChild(parent, ns, X(name), nullptr);
  if (node != nullptr && algorithm != nullptr) xmlNewProp(node, X("Algorithm"), X(algorithm));
  return node;
}

// The certificate of My that is the given one (so it carries its key's place), null when My
// does not hold it.
PCCERT_CONTEXT InstalledCopy(PCCERT_CONTEXT cert) {
  auto_store my(CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "My"));
  if (!my) return nullptr;
  return CertFindCertificateInStore(my.get(), X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, cert, nullptr);
}

}  // namespace

int EncryptDocument(xmlDoc* doc, PCCERT_CONTEXT recipient) {
  xmlNode* root = xmlDocGetRootElement(doc);
  // The element as UTF-8 text with every namespace it uses declared on it, comments kept.
  Bytes plain;
  NodeFilter element;
  element.only = root;
  if (!Canonicalize(doc, C14nMode::kInclusive, element,
                    [&](const char* p, int n) {
                      plain.insert(plain.end(), p, p + n);
                      return true;
                    },
                    true))
    return VEXORXML_BAD_DOCUMENT;
  KeyKind kind;
  if (!KindOfKey(recipient, kind)) return VEXORXML_PUBLIC_KEY;
  Bytes transport, cipher;
  if (const int rc = EncryptContent(recipient, plain, transport, cipher)) return rc;

  xmlNode* data = xmlNewDocNode(doc, nullptr, X("EncryptedData"), nullptr);
  if (data == nullptr) return VEXORXML_NO_MEMORY;
  xmlNs* xenc = xmlNewNs(data, X(kEncNs), X("xenc"));
  xmlSetNs(data, xenc);
  xmlNewProp(data, X("Type"), X(kElementType));
  AddChild(data, xenc, "EncryptionMethod", kGost28147);
  xmlNode* key_info = xmlNewChild(data, nullptr, X("KeyInfo"), nullptr);
  xmlNs* ds = xmlNewNs(key_info, X(kDsigNs), X("ds"));
  xmlSetNs(key_info, ds);
  xmlNode* encrypted_key = AddChild(key_info, xenc, "EncryptedKey");
  AddChild(encrypted_key, xenc, "EncryptionMethod", TransportUri(kind));
  xmlNode* x509 = AddChild(AddChild(encrypted_key, ds, "KeyInfo"), ds, "X509Data");
  const Bytes cert(recipient->pbCertEncoded, recipient->pbCertEncoded + recipient->cbCertEncoded);
  xmlNewTextChild(x509, ds, X("X509Certificate"), X(Base64Encode(cert).c_str()));
  xmlNewTextChild(AddChild(encrypted_key, xenc, "CipherData"), xenc, X("CipherValue"),
                  X(Base64Encode(transport).c_str()));
  xmlNewTextChild(AddChild(data, xenc, "CipherData"), xenc, X("CipherValue"), X(Base64Encode(cipher).c_str()));
  xmlFreeNode(xmlDocSetRootElement(doc, data));
  return VEXORXML_OK;
}

int DecryptDocument(xmlDoc* doc) {
  xmlNode* data = xmlDocGetRootElement(doc);
  if (!Is(data, kEncNs, "EncryptedData") || Attribute(data, "Type") != kElementType ||
      Attribute(ChildElement(data, kEncNs, "EncryptionMethod"), "Algorithm") != kGost28147)
    return VEXORXML_BAD_DOCUMENT;
  Bytes cipher;
  if (!Base64Decode(TextOf(ChildElement(ChildElement(data, kEncNs, "CipherData"), kEncNs, "CipherValue")), cipher))
    return VEXORXML_BAD_DOCUMENT;

  // The first EncryptedKey whose recipient's certificate is installed.
  int result = VEXORXML_CERT_NOT_FOUND;
  Bytes plain;
  xmlNode* key_info = ChildElement(data, kDsigNs, "KeyInfo");
  for (xmlNode* key = key_info != nullptr ? key_info->children : nullptr; key != nullptr; key = key->next) {
    KeyKind kind;
    if (!Is(key, kEncNs, "EncryptedKey") ||
        !KindOfTransport(Attribute(ChildElement(key, kEncNs, "EncryptionMethod"), "Algorithm"), kind))
      continue;
    Bytes cert_der, transport;
    xmlNode* cert_node = ChildElement(ChildElement(ChildElement(key, kDsigNs, "KeyInfo"), kDsigNs, "X509Data"),
                                      kDsigNs, "X509Certificate");
    if (!Base64Decode(TextOf(cert_node), cert_der) ||
        !Base64Decode(TextOf(ChildElement(ChildElement(key, kEncNs, "CipherData"), kEncNs, "CipherValue")), transport))
      return VEXORXML_BAD_DOCUMENT;
    auto_cert named(
        CertCreateCertificateContext(X509_ASN_ENCODING, cert_der.data(), static_cast<DWORD>(cert_der.size())));
    if (!named) return VEXORXML_BAD_DOCUMENT;
    auto_cert installed(InstalledCopy(named.get()));
    if (!installed) continue;
    result = DecryptContent(installed.get(), kind, transport, cipher, plain);
    break;
  }
  if (result != VEXORXML_OK) return result;

  DocPtr element = ParseDocument(plain.data(), static_cast<int>(plain.size()));
  if (!element) return VEXORXML_DECRYPT;  // what came out is not an element
  xmlNode* copy = xmlDocCopyNode(xmlDocGetRootElement(element.get()), doc, 1);
  if (copy == nullptr) return VEXORXML_NO_MEMORY;
  xmlFreeNode(xmlDocSetRootElement(doc, copy));
  return VEXORXML_OK;
}

}  // namespace vexorxml
