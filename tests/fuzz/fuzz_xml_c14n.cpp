// libFuzzer target, differential: the canonical form the XML library makes while reading a
// document must be byte for byte the one libxml2's canonicaliser makes from the parsed
// tree (exclusive, without comments, a ds:Signature left out), and the streamed way
// must never accept a document the tree refuses. Any difference stops the run.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "xml/document.h"
#include "xml/streamed.h"

namespace {

const char kDsig[] = "http://www.w3.org/2000/09/xmldsig#";

xmlNode* FirstSignature(xmlNode* node) {
  for (xmlNode* n = node; n != nullptr; n = n->next) {
    if (n->type != XML_ELEMENT_NODE) continue;
    if (vexorxml::Is(n, kDsig, "Signature")) return n;
    if (xmlNode* inner = FirstSignature(n->children)) return inner;
  }
  return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vexorxml;
  if (size == 0 || size > 1 << 20) return 0;
  const QuietErrors quiet;
  std::string streamed;
  StreamedCanonical skipped;
  if (!CanonicalizeStreamed(data, static_cast<int>(size), kDsig, "Signature",
                            [&](const char* p, int n) { return streamed.append(p, n), true; }, skipped))
    return 0;
  DocPtr doc = ParseDocument(data, static_cast<int>(size));
  if (!doc) abort();  // the tree refuses what the stream took
  NodeFilter filter;
  filter.excluded = FirstSignature(xmlDocGetRootElement(doc.get()));
  if ((filter.excluded != nullptr) != (skipped.skipped > 0) || (skipped.skipped > 0 && !skipped.first)) abort();
  if (skipped.skipped > 1) return 0;  // the stream leaves them all out, the library then uses the tree
  std::string tree;
  if (!Canonicalize(doc.get(), C14nMode::kExclusive, filter, [&](const char* p, int n) { return tree.append(p, n), true; }))
    return 0;  // libxml2's canonicaliser gives up on some namespace oddities the reader takes
  if (tree != streamed) abort();
  return 0;
}
