// Enveloped XML-DSig signatures with GOST algorithms: the signature of the whole document
// (URI "", the enveloped-signature transform, exclusive canonicalisation) as the last child
// of the document element, and the verification of one signature in either identifier
// family (RFC 4051, cpxmlsec) with exclusive or inclusive canonicalisation.
#pragma once

#include "vexor/platform.h"
#include "xml/document.h"

namespace vexorxml {

// What the streamed variants answer for a document they leave to the tree (the parsed
// variants then give the proper answer).
constexpr int kUseTree = -1;

// 0 or a VEXORXML_ code; the signed document in `doc`, the new Signature element in
// `*signature`.
int SignDocument(xmlDoc* doc, PCCERT_CONTEXT signer, bool silent, xmlNode** signature);

// The same from the document's bytes without building its tree: the digest over the
// canonical form made while reading, the signature built on its own and spliced in. The key
// is asked for only once the document is known to suit; kUseTree (nothing asked) for a
// document the tree must serve.
int SignStreamed(const void* data, int length, PCCERT_CONTEXT signer, bool silent, void** out, int* out_length);

// The original bytes with the signature's text inserted before the document element's end
// tag, so the rest of the document stays byte for byte as it was. False (nothing made) for
// a document this cannot serve: an empty-element document element or an encoding that is
// not ASCII-compatible; the caller serialises the tree then.
bool SpliceSignature(const void* original, int length, xmlDoc* doc, xmlNode* signature, void** out, int* out_length);

// 0 with the signer's certificate (the caller frees it) and the verdict, or a code for a
// document that holds no single, readable signature of this document.
int VerifyDocument(xmlDoc* doc, PCCERT_CONTEXT* signer, bool& valid);

// The same from the document's bytes without its tree, for a signature of the whole
// document with exclusive canonicalisation throughout (what SignDocument writes).
int VerifyStreamed(const void* data, int length, PCCERT_CONTEXT* signer, bool& valid);

}  // namespace vexorxml
