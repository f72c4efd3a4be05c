#include "xml/dsig.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "vexor/vexor_xml.h"
#include "xml/gost.h"

namespace vexorxml {
namespace {

const char kDsigNs[] = "http://www.w3.org/2000/09/xmldsig#";
const char kExcC14n[] = "http://www.w3.org/2001/10/xml-exc-c14n#";
const char kC14n[] = "http://www.w3.org/TR/2001/REC-xml-c14n-20010315";
const char kEnveloped[] = "http://www.w3.org/2000/09/xmldsig#enveloped-signature";
const char kSignatureMethod[] = "http://www.w3.org/2001/04/xmldsig-more#gostr34102001-gostr3411";
const char kDigestMethod[] = "http://www.w3.org/2001/04/xmldsig-more#gostr3411";
const char kCpSignatureMethod[] = "urn:ietf:params:xml:ns:cpxmlsec:algorithms:gostr34102001-gostr3411";
const char kCpDigestMethod[] = "urn:ietf:params:xml:ns:cpxmlsec:algorithms:gostr3411";

const xmlChar* X(const char* text) { return reinterpret_cast<const xmlChar*>(text); }

xmlNode* AddChild(xmlNode* parent, xmlNs* ns, const char* name, const char* algorithm = nullptr) {
  xmlNode* node = xmlNewChild(parent, ns, X(name), nullptr);
  if (node != nullptr && algorithm != nullptr) xmlNewProp(node, X("Algorithm"), X(algorithm));
  return node;
}

// Hashes the canonical form of the filtered nodes on the provider.
bool HashCanonical(Hasher& hasher, xmlDoc* doc, C14nMode mode, const NodeFilter& filter) {
  return hasher.ok() && Canonicalize(doc, mode, filter, [&](const char* p, int n) { return hasher.Update(p, n); });
}

bool C14nModeOf(const std::string& algorithm, C14nMode& mode) {
  if (algorithm == kExcC14n) mode = C14nMode::kExclusive;
  else if (algorithm == kC14n) mode = C14nMode::kInclusive;
  else return false;
  return true;
}

void CollectSignatures(xmlNode* node, std::vector<xmlNode*>& found) {
  for (xmlNode* n = node; n != nullptr; n = n->next) {
    if (n->type != XML_ELEMENT_NODE) continue;
    if (Is(n, kDsigNs, "Signature")) found.push_back(n);
    CollectSignatures(n->children, found);
  }
}

// The element whose Id (any spelling of the attribute name) is the value.
xmlNode* FindById(xmlNode* node, const std::string& id) {
  for (xmlNode* n = node; n != nullptr; n = n->next) {
    if (n->type != XML_ELEMENT_NODE) continue;
    for (xmlAttr* a = n->properties; a != nullptr; a = a->next) {
      const char* name = reinterpret_cast<const char*>(a->name);
      if ((std::strcmp(name, "Id") == 0 || std::strcmp(name, "ID") == 0 || std::strcmp(name, "id") == 0) &&
          TextOf(reinterpret_cast<xmlNode*>(a)) == id)
        return n;
    }
    if (xmlNode* inner = FindById(n->children, id)) return inner;
  }
  return nullptr;
}

}  // namespace

int SignDocument(xmlDoc* doc, PCCERT_CONTEXT signer, bool silent, xmlNode** signature_out) {
  xmlNode* root = xmlDocGetRootElement(doc);
  std::vector<xmlNode*> existing;
  CollectSignatures(root, existing);
  if (!existing.empty()) return VEXORXML_BAD_DOCUMENT;  // one signature per document

  HCRYPTPROV prov = 0;
  auto_prov owned;
  if (!AcquireSigningKey(signer, silent, prov, owned)) return VEXORXML_NO_PRIVATE_KEY;
  Hasher digest(prov);
  if (!HashCanonical(digest, doc, C14nMode::kExclusive, NodeFilter{})) return VEXORXML_HASH;
  const Bytes digest_value = digest.Value();
  if (digest_value.empty()) return VEXORXML_HASH;

  xmlNode* signature = xmlNewChild(root, nullptr, X("Signature"), nullptr);
  if (signature == nullptr) return VEXORXML_NO_MEMORY;
  xmlNs* ds = xmlNewNs(signature, X(kDsigNs), X("ds"));
  xmlSetNs(signature, ds);
  xmlNode* signed_info = AddChild(signature, ds, "SignedInfo");
  AddChild(signed_info, ds, "CanonicalizationMethod", kExcC14n);
  AddChild(signed_info, ds, "SignatureMethod", kSignatureMethod);
  xmlNode* reference = AddChild(signed_info, ds, "Reference");
  xmlNewProp(reference, X("URI"), X(""));
  xmlNode* transforms = AddChild(reference, ds, "Transforms");
  AddChild(transforms, ds, "Transform", kEnveloped);
  AddChild(transforms, ds, "Transform", kExcC14n);
  AddChild(reference, ds, "DigestMethod", kDigestMethod);
  xmlNewTextChild(reference, ds, X("DigestValue"), X(Base64Encode(digest_value).c_str()));

  Hasher info_hash(prov);
  NodeFilter only_info;
  only_info.only = signed_info;
  if (!HashCanonical(info_hash, doc, C14nMode::kExclusive, only_info)) return VEXORXML_HASH;
  const Bytes signature_value = SignHash(info_hash.handle());
  if (signature_value.empty()) return VEXORXML_HASH;
  xmlNewTextChild(signature, ds, X("SignatureValue"), X(Base64Encode(signature_value).c_str()));
  xmlNode* key_info = AddChild(signature, ds, "KeyInfo");
  xmlNode* x509 = AddChild(key_info, ds, "X509Data");
  const Bytes cert(signer->pbCertEncoded, signer->pbCertEncoded + signer->cbCertEncoded);
  xmlNewTextChild(x509, ds, X("X509Certificate"), X(Base64Encode(cert).c_str()));
  *signature_out = signature;
  return VEXORXML_OK;
}

bool SpliceSignature(const void* original, int length, xmlDoc* doc, xmlNode* signature, void** out, int* out_length) {
  const std::string_view text(static_cast<const char*>(original), static_cast<size_t>(length));
  // ASCII-compatible: the first non-blank byte (after a UTF-8 byte order mark) is '<'.
  size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  start = text.find_first_not_of(" \t\r\n", start);
  if (start == std::string_view::npos || text[start] != '<') return false;
  // Back over what may follow the document element: blanks, comments, processing
  // instructions.
  size_t end = text.size();
  for (;;) {
    while (end > 0 && std::strchr(" \t\r\n", text[end - 1]) != nullptr) --end;
    const std::string_view head = text.substr(0, end);
    if (head.size() >= 3 && head.substr(head.size() - 3) == "-->") {
      const size_t open = head.rfind("<!--");
      if (open == std::string_view::npos) return false;
      end = open;
    } else if (head.size() >= 2 && head.substr(head.size() - 2) == "?>") {
      const size_t open = head.rfind("<?");
      if (open == std::string_view::npos) return false;
      end = open;
    } else {
      break;
    }
  }
  if (end == 0 || text[end - 1] != '>') return false;
  const size_t tag = text.rfind("</", end - 1);
  if (tag == std::string_view::npos || text.find('<', tag + 1) < end) return false;  // an empty element

  xmlBuffer* buffer = xmlBufferCreate();
  if (buffer == nullptr) return false;
  const bool dumped = xmlNodeDump(buffer, doc, signature, 0, 0) > 0;
  const char* sig = reinterpret_cast<const char*>(xmlBufferContent(buffer));
  const size_t sig_len = dumped ? static_cast<size_t>(xmlBufferLength(buffer)) : 0;
  const size_t total = text.size() + sig_len;
  char* result = dumped && total <= static_cast<size_t>(INT32_MAX) ? static_cast<char*>(xmlMalloc(total)) : nullptr;
  if (result != nullptr) {
    std::memcpy(result, text.data(), tag);
    std::memcpy(result + tag, sig, sig_len);
    std::memcpy(result + tag + sig_len, text.data() + tag, text.size() - tag);
    *out = result;
    *out_length = static_cast<int>(total);
  }
  xmlBufferFree(buffer);
  return result != nullptr;
}

int VerifyDocument(xmlDoc* doc, PCCERT_CONTEXT* signer, bool& valid) {
  valid = false;
  *signer = nullptr;
  std::vector<xmlNode*> signatures;
  CollectSignatures(xmlDocGetRootElement(doc), signatures);
  if (signatures.size() != 1) return VEXORXML_BAD_DOCUMENT;
  xmlNode* signature = signatures.front();
  xmlNode* signed_info = ChildElement(signature, kDsigNs, "SignedInfo");
  xmlNode* signature_value = ChildElement(signature, kDsigNs, "SignatureValue");
  xmlNode* certificate =
      ChildElement(ChildElement(ChildElement(signature, kDsigNs, "KeyInfo"), kDsigNs, "X509Data"), kDsigNs,
                   "X509Certificate");
  if (signed_info == nullptr || signature_value == nullptr || certificate == nullptr) return VEXORXML_BAD_DOCUMENT;

  C14nMode info_mode;
  if (!C14nModeOf(Attribute(ChildElement(signed_info, kDsigNs, "CanonicalizationMethod"), "Algorithm"), info_mode))
    return VEXORXML_BAD_DOCUMENT;
  const std::string method = Attribute(ChildElement(signed_info, kDsigNs, "SignatureMethod"), "Algorithm");
  if (method != kSignatureMethod && method != kCpSignatureMethod) return VEXORXML_BAD_DOCUMENT;

  // Exactly one reference, to this document or an element of it.
  xmlNode* reference = ChildElement(signed_info, kDsigNs, "Reference");
  if (reference == nullptr) return VEXORXML_BAD_DOCUMENT;
  for (xmlNode* n = reference->next; n != nullptr; n = n->next)
    if (Is(n, kDsigNs, "Reference")) return VEXORXML_BAD_DOCUMENT;
  if (xmlHasProp(reference, X("URI")) == nullptr) return VEXORXML_BAD_DOCUMENT;
  const std::string uri = Attribute(reference, "URI");
  NodeFilter filter;
  if (!uri.empty()) {
    if (uri[0] != '#' || uri.size() == 1) return VEXORXML_BAD_DOCUMENT;  // another document
    filter.only = FindById(xmlDocGetRootElement(doc), uri.substr(1));
    if (filter.only == nullptr) return VEXORXML_BAD_DOCUMENT;
  }
  C14nMode reference_mode = C14nMode::kInclusive;  // a node set becomes octets by C14N 1.0
  for (xmlNode* t = ChildElement(ChildElement(reference, kDsigNs, "Transforms"), kDsigNs, "Transform"); t != nullptr;
       t = t->next) {
    if (t->type != XML_ELEMENT_NODE) continue;
    if (!Is(t, kDsigNs, "Transform")) return VEXORXML_BAD_DOCUMENT;
    const std::string algorithm = Attribute(t, "Algorithm");
    if (algorithm == kEnveloped) filter.excluded = signature;
    else if (!C14nModeOf(algorithm, reference_mode)) return VEXORXML_BAD_DOCUMENT;
  }
  const std::string digest_method = Attribute(ChildElement(reference, kDsigNs, "DigestMethod"), "Algorithm");
  if (digest_method != kDigestMethod && digest_method != kCpDigestMethod) return VEXORXML_BAD_DOCUMENT;
  Bytes expected_digest, signature_bytes, cert_der;
  if (!Base64Decode(TextOf(ChildElement(reference, kDsigNs, "DigestValue")), expected_digest) ||
      !Base64Decode(TextOf(signature_value), signature_bytes) || !Base64Decode(TextOf(certificate), cert_der))
    return VEXORXML_BAD_DOCUMENT;

  PCCERT_CONTEXT cert =
      CertCreateCertificateContext(X509_ASN_ENCODING, cert_der.data(), static_cast<DWORD>(cert_der.size()));
  if (cert == nullptr) return VEXORXML_BAD_DOCUMENT;
  auto_cert cert_owner(cert);

  auto_prov prov;
  if (!VerifyContext(prov)) return VEXORXML_HASH;
  Hasher digest(prov.get());
  if (!HashCanonical(digest, doc, reference_mode, filter)) return VEXORXML_HASH;
  const bool digest_matches = digest.Value() == expected_digest;

  Hasher info_hash(prov.get());
  NodeFilter only_info;
  only_info.only = signed_info;
  if (!HashCanonical(info_hash, doc, info_mode, only_info)) return VEXORXML_HASH;
  bool key_error = false;
  const bool signature_holds = VerifyHash(prov.get(), info_hash.handle(), cert, signature_bytes, key_error);
  if (key_error) return VEXORXML_PUBLIC_KEY;
  valid = digest_matches && signature_holds;
  *signer = cert_owner.release();
  return VEXORXML_OK;
}

}  // namespace vexorxml
