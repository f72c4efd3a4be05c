// The exclusive canonical form (without comments) of a whole document produced while the
// document is read, without building its tree: libxml2's parser hands each start tag, text
// run and end tag to callbacks that write the canonical text at once, so no node is made,
// memory stays small and no time goes to allocating and first touching a tree many times
// the document's size. The enveloped-signature transform is built in:
// elements of a chosen name are left out with their subtrees, and the first of them is
// handed back in a small document of its own.
#pragma once

#include <functional>

#include "xml/document.h"

namespace vexorxml {

struct StreamedCanonical {
  int skipped = 0;  // elements left out (outermost ones only)
  DocPtr first;     // copy of the first of them, the namespaces in scope declared on it
};

// Hands the canonical bytes to the sink in pieces. False when the parser meets anything the
// tree parser would refuse or treat specially (malformed input, a DTD, a namespace error or
// warning, CDATA, a skipped document element, a document over kMaxDocument or beyond the
// parser bounds) or the sink refuses a piece: the caller then uses the tree, which gives the
// proper answer.
bool CanonicalizeStreamed(const void* data, int length, const char* skip_ns, const char* skip_name,
                          const std::function<bool(const char*, int)>& sink, StreamedCanonical& out);

}  // namespace vexorxml
