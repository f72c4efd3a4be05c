#include "xml/dsig.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "vexor/vexor_xml.h"
#include "xml/gost.h"
#include "xml/streamed.h"

namespace vexorxml {
namespace {

const char kDsigNs[] = "http://www.w3.org/2000/09/xmldsig#";
const char kExcC14n[] = "http://www.w3.org/2001/10/xml-exc-c14n#";
const char kC14n[] = "http://www.w3.org/TR/2001/REC-xml-c14n-20010315";
const char kEnveloped[] = "http://www.w3.org/2000/09/xmldsig#enveloped-signature";
#define CPXMLSEC "urn:ietf:params:xml:ns:cpxmlsec:algorithms:"

// The signature and digest methods, by the kind of key they go with; a signature is made
// with the first row of its signer's kind, verification reads them all.
struct Methods {
  KeyKind kind;
  const char* signature;
  const char* digest;
};
const Methods kMethods[] = {
    {KeyKind::k2001, "http://www.w3.org/2001/04/xmldsig-more#gostr34102001-gostr3411",
     "http://www.w3.org/2001/04/xmldsig-more#gostr3411"},
    {KeyKind::k2012_256, CPXMLSEC "gostr34102012-gostr34112012-256", CPXMLSEC "gostr34112012-256"},
    {KeyKind::k2012_512, CPXMLSEC "gostr34102012-gostr34112012-512", CPXMLSEC "gostr34112012-512"},
    {KeyKind::k2001, CPXMLSEC "gostr34102001-gostr3411", CPXMLSEC "gostr3411"},
};

const Methods& MethodsFor(KeyKind kind) {
  for (const Methods& m : kMethods)
    if (m.kind == kind) return m;
  return kMethods[0];
}

bool KindOfSignatureMethod(const std::string& uri, KeyKind& kind) {
  for (const Methods& m : kMethods)
    if (uri == m.signature) {
      kind = m.kind;
      return true;
    }
  return false;
}

bool KindOfDigestMethod(const std::string& uri, KeyKind& kind) {
  for (const Methods& m : kMethods)
    if (uri == m.digest) {
      kind = m.kind;
      return true;
    }
  return false;
}

// The digest a document made while reading most likely needs: the one of the last
// GOST R 34.11-2012 digest method named in its bytes (an enveloped signature usually stands
// at the end), else GOST R 34.11-94. A wrong guess costs the tree.
KeyKind GuessDigestKind(const void* data, int length) {
  // One forward pass for the part the 2012 identifiers share; each occurrence is then told
  // apart.
  static const char kShared[] = CPXMLSEC "gostr34112012-";
  const char* at = static_cast<const char*>(data);
  const char* const end = at + length;
  KeyKind kind = KeyKind::k2001;
  while (const void* hit = memmem(at, static_cast<size_t>(end - at), kShared, sizeof kShared - 1)) {
    at = static_cast<const char*>(hit);
    const std::string_view rest(at, static_cast<size_t>(end - at));
    for (const Methods& m : kMethods)
      if (m.kind != KeyKind::k2001 && rest.compare(0, std::strlen(m.digest), m.digest) == 0) kind = m.kind;
    ++at;
  }
  return kind;
}

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

// The digest (the one that goes with keys of the kind) of the document's exclusive canonical
// form made while reading, ds:Signature elements left out; kUseTree when the parser leaves
// the document to the tree.
int DigestStreamed(const void* data, int length, KeyKind kind, StreamedCanonical& streamed, Bytes& digest_value) {
  auto_prov prov;
  if (!VerifyContext(prov)) return VEXORXML_HASH;
  Hasher digest(prov.get(), kind);
  if (!digest.ok()) return VEXORXML_HASH;
  if (!CanonicalizeStreamed(data, length, kDsigNs, "Signature",
                            [&](const char* p, int n) { return digest.Update(p, static_cast<size_t>(n)); }, streamed))
    return kUseTree;
  digest_value = digest.Value();
  return digest_value.empty() ? VEXORXML_HASH : VEXORXML_OK;
}

// Fills the empty Signature element in: SignedInfo over the digest, its signature with the
// key on `prov` (of the kind), the signer's certificate.
int CompleteSignature(xmlDoc* doc, xmlNode* signature, HCRYPTPROV prov, KeyKind kind, const Bytes& digest_value,
                      PCCERT_CONTEXT signer) {
  const Methods& methods = MethodsFor(kind);
  xmlNs* ds = xmlNewNs(signature, X(kDsigNs), X("ds"));
  xmlSetNs(signature, ds);
  xmlNode* signed_info = AddChild(signature, ds, "SignedInfo");
  AddChild(signed_info, ds, "CanonicalizationMethod", kExcC14n);
  AddChild(signed_info, ds, "SignatureMethod", methods.signature);
  xmlNode* reference = AddChild(signed_info, ds, "Reference");
  xmlNewProp(reference, X("URI"), X(""));
  xmlNode* transforms = AddChild(reference, ds, "Transforms");
  AddChild(transforms, ds, "Transform", kEnveloped);
  AddChild(transforms, ds, "Transform", kExcC14n);
  AddChild(reference, ds, "DigestMethod", methods.digest);
  xmlNewTextChild(reference, ds, X("DigestValue"), X(Base64Encode(digest_value).c_str()));

  Hasher info_hash(prov, kind);
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
  return VEXORXML_OK;
}

// Where the signature goes in the original bytes: before the document element's end tag.
// npos for a document this cannot serve (see SpliceSignature).
size_t SplicePoint(std::string_view text) {
  // ASCII-compatible: the first non-blank byte (after a UTF-8 byte order mark) is '<'.
  size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  start = text.find_first_not_of(" \t\r\n", start);
  if (start == std::string_view::npos || text[start] != '<') return std::string_view::npos;
  // Back over what may follow the document element: blanks, comments, processing
  // instructions.
  size_t end = text.size();
  for (;;) {
    while (end > 0 && std::strchr(" \t\r\n", text[end - 1]) != nullptr) --end;
    const std::string_view head = text.substr(0, end);
    if (head.size() >= 3 && head.substr(head.size() - 3) == "-->") {
      const size_t open = head.rfind("<!--");
      if (open == std::string_view::npos) return std::string_view::npos;
      end = open;
    } else if (head.size() >= 2 && head.substr(head.size() - 2) == "?>") {
      const size_t open = head.rfind("<?");
      if (open == std::string_view::npos) return std::string_view::npos;
      end = open;
    } else {
      break;
    }
  }
  if (end == 0 || text[end - 1] != '>') return std::string_view::npos;
  const size_t tag = text.rfind("</", end - 1);
  if (tag == std::string_view::npos || text.find('<', tag + 1) < end) return std::string_view::npos;  // empty element
  return tag;
}

}  // namespace

int SignDocument(xmlDoc* doc, PCCERT_CONTEXT signer, bool silent, xmlNode** signature_out) {
  xmlNode* root = xmlDocGetRootElement(doc);
  std::vector<xmlNode*> existing;
  CollectSignatures(root, existing);
  if (!existing.empty()) return VEXORXML_BAD_DOCUMENT;  // one signature per document

  KeyKind kind;
  if (!KindOfKey(signer, kind)) return VEXORXML_PUBLIC_KEY;
  HCRYPTPROV prov = 0;
  auto_prov owned;
  if (!AcquireSigningKey(signer, silent, prov, owned)) return VEXORXML_NO_PRIVATE_KEY;
  Hasher digest(prov, kind);
  if (!HashCanonical(digest, doc, C14nMode::kExclusive, NodeFilter{})) return VEXORXML_HASH;
  const Bytes digest_value = digest.Value();
  if (digest_value.empty()) return VEXORXML_HASH;

  xmlNode* signature = xmlNewChild(root, nullptr, X("Signature"), nullptr);
  if (signature == nullptr) return VEXORXML_NO_MEMORY;
  if (const int rc = CompleteSignature(doc, signature, prov, kind, digest_value, signer)) return rc;
  *signature_out = signature;
  return VEXORXML_OK;
}

int SignStreamed(const void* data, int length, PCCERT_CONTEXT signer, bool silent, void** out, int* out_length) {
  if (data == nullptr || length <= 0 ||
      SplicePoint(std::string_view(static_cast<const char*>(data), static_cast<size_t>(length))) ==
          std::string_view::npos)
    return kUseTree;
  KeyKind kind;
  if (!KindOfKey(signer, kind)) return VEXORXML_PUBLIC_KEY;
  // The document's digest needs no key: it is asked for once the document is known to suit.
  StreamedCanonical streamed;
  Bytes digest_value;
  if (const int rc = DigestStreamed(data, length, kind, streamed, digest_value)) return rc;
  if (streamed.skipped != 0) return VEXORXML_BAD_DOCUMENT;  // one signature per document
  HCRYPTPROV prov = 0;
  auto_prov owned;
  if (!AcquireSigningKey(signer, silent, prov, owned)) return VEXORXML_NO_PRIVATE_KEY;

  // The signature is built on its own: its exclusive canonical form does not depend on
  // where it stands.
  DocPtr doc(xmlNewDoc(X("1.0")));
  xmlNode* signature = doc ? xmlNewDocNode(doc.get(), nullptr, X("Signature"), nullptr) : nullptr;
  if (signature == nullptr) return VEXORXML_NO_MEMORY;
  xmlDocSetRootElement(doc.get(), signature);
  if (const int rc = CompleteSignature(doc.get(), signature, prov, kind, digest_value, signer)) return rc;
  return SpliceSignature(data, length, doc.get(), signature, out, out_length) ? VEXORXML_OK : VEXORXML_NO_MEMORY;
}

bool SpliceSignature(const void* original, int length, xmlDoc* doc, xmlNode* signature, void** out, int* out_length) {
  const std::string_view text(static_cast<const char*>(original), static_cast<size_t>(length));
  const size_t tag = SplicePoint(text);
  if (tag == std::string_view::npos) return false;

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

namespace {

// A digest of the document made while reading, and the kind of key its hash goes with.
struct StreamedDigest {
  KeyKind kind;
  Bytes value;
};

// Checks the one signature of the document. With `streamed_digest` the document is the
// signature alone and the digest of the rest was made while reading: only a signature of
// the whole document with exclusive canonicalisation throughout and that digest method can
// use it (kUseTree otherwise). A signature method of another kind of key than the
// certificate's is an invalid signature.
int VerifySignature(xmlDoc* doc, xmlNode* signature, const StreamedDigest* streamed_digest, PCCERT_CONTEXT* signer,
                    bool& valid) {
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
  KeyKind signature_kind;
  if (!KindOfSignatureMethod(method, signature_kind)) return VEXORXML_BAD_DOCUMENT;

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
  KeyKind digest_kind;
  if (!KindOfDigestMethod(Attribute(ChildElement(reference, kDsigNs, "DigestMethod"), "Algorithm"), digest_kind))
    return VEXORXML_BAD_DOCUMENT;
  if (streamed_digest != nullptr &&
      (!uri.empty() || filter.excluded == nullptr || reference_mode != C14nMode::kExclusive ||
       info_mode != C14nMode::kExclusive || streamed_digest->kind != digest_kind))
    return kUseTree;
  Bytes expected_digest, signature_bytes, cert_der;
  if (!Base64Decode(TextOf(ChildElement(reference, kDsigNs, "DigestValue")), expected_digest) ||
      !Base64Decode(TextOf(signature_value), signature_bytes) || !Base64Decode(TextOf(certificate), cert_der))
    return VEXORXML_BAD_DOCUMENT;

  PCCERT_CONTEXT cert =
      CertCreateCertificateContext(X509_ASN_ENCODING, cert_der.data(), static_cast<DWORD>(cert_der.size()));
  if (cert == nullptr) return VEXORXML_BAD_DOCUMENT;
  auto_cert cert_owner(cert);

  KeyKind cert_kind;
  if (!KindOfKey(cert, cert_kind)) return VEXORXML_PUBLIC_KEY;
  if (cert_kind != signature_kind) {  // the method names another kind of key: it cannot hold
    *signer = cert_owner.release();
    return VEXORXML_OK;
  }

  auto_prov prov;
  if (!VerifyContext(prov)) return VEXORXML_HASH;
  bool digest_matches = false;
  if (streamed_digest != nullptr) {
    digest_matches = streamed_digest->value == expected_digest;
  } else {
    Hasher digest(prov.get(), digest_kind);
    if (!HashCanonical(digest, doc, reference_mode, filter)) return VEXORXML_HASH;
    digest_matches = digest.Value() == expected_digest;
  }

  Hasher info_hash(prov.get(), signature_kind);
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

}  // namespace

int VerifyDocument(xmlDoc* doc, PCCERT_CONTEXT* signer, bool& valid) {
  valid = false;
  *signer = nullptr;
  std::vector<xmlNode*> signatures;
  CollectSignatures(xmlDocGetRootElement(doc), signatures);
  if (signatures.size() != 1) return VEXORXML_BAD_DOCUMENT;
  return VerifySignature(doc, signatures.front(), nullptr, signer, valid);
}

int VerifyStreamed(const void* data, int length, PCCERT_CONTEXT* signer, bool& valid) {
  valid = false;
  *signer = nullptr;
  StreamedCanonical streamed;
  StreamedDigest digest{GuessDigestKind(data, length), {}};
  if (const int rc = DigestStreamed(data, length, digest.kind, streamed, digest.value)) return rc;
  if (streamed.skipped != 1) return kUseTree;
  xmlNode* signature = xmlDocGetRootElement(streamed.first.get());
  std::vector<xmlNode*> nested;
  CollectSignatures(signature->children, nested);
  if (!nested.empty()) return kUseTree;
  return VerifySignature(streamed.first.get(), signature, &digest, signer, valid);
}

}  // namespace vexorxml
