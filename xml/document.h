// The XML side of the sibling library: documents parsed with no network, no DTD and bounded
// depth and size; canonical forms of chosen nodes; Base64; the result buffers handed out.
#pragma once

#include <libxml/c14n.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "vexor/vexor_xml.h"

namespace vexorxml {

struct DocFree {
  void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};
using DocPtr = std::unique_ptr<xmlDoc, DocFree>;

// Keeps libxml2's error messages (malformed canonical input, bad namespaces) off the host's
// standard error while it lives: the thread's handlers are swapped and restored.
class QuietErrors {
 public:
  QuietErrors();
  ~QuietErrors();
  QuietErrors(const QuietErrors&) = delete;
  QuietErrors& operator=(const QuietErrors&) = delete;

 private:
  xmlGenericErrorFunc generic_;
  void* generic_context_;
  xmlStructuredErrorFunc structured_;
  void* structured_context_;
};

// Largest document taken; libxml2's own limit on nesting (256 levels) applies too.
constexpr int kMaxDocument = VEXORXML_MAX_DOCUMENT;

// Bounds on what libxml2 2.9 parses in time that grows faster than the document: it compares
// each attribute of an element with every one before it, and looks prefixes up through every
// namespace declaration in scope (so does the canonical form). A document beyond them is
// refused as a hostile one, before libxml2 sees it.
constexpr int kMaxAttributes = 1024;          // per element, namespace declarations included
constexpr int kMaxNamespacesInScope = 128;    // declarations on an element and its ancestors

// Whether the document stays within those bounds, found by a scan of its markup (comments,
// processing instructions, CDATA sections and quoted values skipped) in one pass. UTF-16 and
// UCS-4 are read by their code units; a document in another encoding whose markup bytes are
// not ASCII (EBCDIC, UTF-7, ISO-2022) is refused, as is any document type declaration.
bool WithinParserBounds(const void* data, int length);

// Parses the bytes without fetching anything and without substituting entities; a document
// with a document type declaration (where entity bombs and external entities live) or beyond
// the parser bounds is refused. Null when the document is refused or not well-formed.
DocPtr ParseDocument(const void* data, int length);

// The document serialised in its own encoding (UTF-8 when it declares none), as a buffer
// for the caller to release with xmlFree. False when libxml2 cannot serialise it.
bool SerializeDocument(xmlDoc* doc, void** out, int* out_length);

enum class C14nMode { kExclusive, kInclusive };

// Which nodes a canonical form holds: all of the document but the subtree of `excluded`
// (when given), and only the subtree of `only` (when given).
struct NodeFilter {
  xmlNode* excluded = nullptr;
  xmlNode* only = nullptr;
};

// Hands the canonical form of the filtered nodes to the sink in pieces (comments only when
// asked for); false when libxml2 fails or the sink refuses a piece.
bool Canonicalize(xmlDoc* doc, C14nMode mode, const NodeFilter& filter,
                  const std::function<bool(const char*, int)>& sink, bool with_comments = false);

// Base64 of the bytes without line breaks; decoding skips whitespace and refuses anything
// else that is not Base64.
std::string Base64Encode(const std::vector<uint8_t>& bytes);
bool Base64Decode(const std::string& text, std::vector<uint8_t>& bytes);

// An element's text content, and its child elements of a namespace and name (first one or
// null).
std::string TextOf(xmlNode* node);
xmlNode* ChildElement(xmlNode* parent, const char* ns, const char* name);
// The attribute's value, empty when absent.
std::string Attribute(xmlNode* node, const char* name);
// Whether the element has the namespace and local name.
bool Is(xmlNode* node, const char* ns, const char* name);

}  // namespace vexorxml
