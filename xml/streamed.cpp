#include "xml/streamed.h"

#include <libxml/xmlreader.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace vexorxml {
namespace {

struct ReaderFree {
  void operator()(xmlTextReader* r) const { xmlFreeTextReader(r); }
};
using ReaderPtr = std::unique_ptr<xmlTextReader, ReaderFree>;

const char* C(const xmlChar* s) { return reinterpret_cast<const char*>(s); }
std::string S(const xmlChar* s) { return s == nullptr ? std::string() : std::string(C(s)); }

// Any error or warning of the reader (a namespace error included, which does not stop it)
// sends the document to the tree.
void NoteError(void* failed, xmlError*) { *static_cast<bool*>(failed) = true; }

struct Binding {
  std::string prefix;  // empty for the default namespace
  std::string uri;
};

struct Attr {
  std::string ns, local, qname, value;
};

class Writer {
 public:
  explicit Writer(const std::function<bool(const char*, int)>& sink) : sink_(sink) { out_.reserve(kChunk + 4096); }

  bool ok() const { return ok_; }
  void Raw(const char* s, size_t n) {
    out_.append(s, n);
    if (out_.size() >= kChunk) Flush();
  }
  void Raw(const std::string& s) { Raw(s.data(), s.size()); }
  // Character data: &, <, > and carriage returns as references.
  void Text(const char* s) {
    for (const char* run = s;; ++s) {
      const char* ref = nullptr;
      switch (*s) {
        case '&': ref = "&amp;"; break;
        case '<': ref = "&lt;"; break;
        case '>': ref = "&gt;"; break;
        case '\r': ref = "&#xD;"; break;
        case '\0': Raw(run, static_cast<size_t>(s - run)); return;
        default: continue;
      }
      Raw(run, static_cast<size_t>(s - run));
      Raw(ref, std::strlen(ref));
      run = s + 1;
    }
  }
  // Attribute values: &, <, " and the three whitespace controls as references.
  void Value(const std::string& v) {
    for (const char c : v) {
      switch (c) {
        case '&': Raw("&amp;", 5); break;
        case '<': Raw("&lt;", 4); break;
        case '"': Raw("&quot;", 6); break;
        case '\t': Raw("&#x9;", 5); break;
        case '\n': Raw("&#xA;", 5); break;
        case '\r': Raw("&#xD;", 5); break;
        default: out_.push_back(c);
      }
    }
    if (out_.size() >= kChunk) Flush();
  }
  bool Flush() {
    if (ok_ && !out_.empty()) ok_ = sink_(out_.data(), static_cast<int>(out_.size()));
    out_.clear();
    return ok_;
  }

 private:
  static constexpr size_t kChunk = 64 * 1024;
  const std::function<bool(const char*, int)>& sink_;
  std::string out_;
  bool ok_ = true;
};

// Namespace bindings as two stacks: those in scope, and those the canonical form has
// rendered on output ancestors; each element marks where its own begin.
class Namespaces {
 public:
  void Open() {
    scope_marks_.push_back(scope_.size());
    rendered_marks_.push_back(rendered_.size());
  }
  void Close() {
    scope_.resize(scope_marks_.back());
    rendered_.resize(rendered_marks_.back());
    scope_marks_.pop_back();
    rendered_marks_.pop_back();
  }
  void Declare(std::string prefix, std::string uri) { scope_.push_back({std::move(prefix), std::move(uri)}); }
  const std::string* InScope(const std::string& prefix) const { return Find(scope_, prefix); }
  const std::string* Rendered(const std::string& prefix) const { return Find(rendered_, prefix); }
  void Render(const Binding& b) { rendered_.push_back(b); }

 private:
  static const std::string* Find(const std::vector<Binding>& stack, const std::string& prefix) {
    for (auto it = stack.rbegin(); it != stack.rend(); ++it)
      if (it->prefix == prefix) return &it->uri;
    return nullptr;
  }
  std::vector<Binding> scope_, rendered_;
  std::vector<size_t> scope_marks_, rendered_marks_;
};

class Canonicalizer {
 public:
  Canonicalizer(xmlTextReader* reader, Writer& out) : r_(reader), out_(out) {}

  // The element the reader stands on: its namespace declarations go in scope, those it
  // visibly uses and no output ancestor rendered with the same value are rendered (sorted
  // by prefix, the default first), then its attributes sorted by namespace and local name.
  bool StartElement() {
    ns_.Open();
    std::vector<Attr> attrs;
    for (int more = xmlTextReaderMoveToFirstAttribute(r_); more == 1; more = xmlTextReaderMoveToNextAttribute(r_)) {
      if (xmlTextReaderIsNamespaceDecl(r_) == 1) {
        const xmlChar* prefix = xmlTextReaderConstPrefix(r_);
        ns_.Declare(prefix == nullptr ? std::string() : S(xmlTextReaderConstLocalName(r_)),
                    S(xmlTextReaderConstValue(r_)));
      } else {
        const xmlChar* prefix = xmlTextReaderConstPrefix(r_);
        const xmlChar* uri = xmlTextReaderConstNamespaceUri(r_);
        if (prefix != nullptr && uri == nullptr) return false;
        attrs.push_back({S(uri), S(xmlTextReaderConstLocalName(r_)), S(xmlTextReaderConstName(r_)),
                         S(xmlTextReaderConstValue(r_))});
      }
    }
    xmlTextReaderMoveToElement(r_);

    const xmlChar* prefix = xmlTextReaderConstPrefix(r_);
    if (prefix != nullptr && xmlTextReaderConstNamespaceUri(r_) == nullptr) return false;
    std::vector<std::string> used{S(prefix)};
    for (int more = xmlTextReaderMoveToFirstAttribute(r_); more == 1; more = xmlTextReaderMoveToNextAttribute(r_)) {
      const xmlChar* p = xmlTextReaderConstPrefix(r_);
      if (xmlTextReaderIsNamespaceDecl(r_) != 1 && p != nullptr && std::strcmp(C(p), "xml") != 0)
        used.push_back(S(p));
    }
    xmlTextReaderMoveToElement(r_);
    std::sort(used.begin(), used.end());
    used.erase(std::unique(used.begin(), used.end()), used.end());

    std::vector<Binding> render;
    for (const std::string& p : used) {
      const std::string* uri = ns_.InScope(p);
      const std::string value = uri != nullptr ? *uri : std::string();
      if (uri == nullptr && !p.empty()) return false;
      const std::string* shown = ns_.Rendered(p);
      // The default namespace counts as rendered empty until an ancestor renders it.
      if (p.empty() ? value == (shown != nullptr ? *shown : std::string()) : shown != nullptr && *shown == value)
        continue;
      render.push_back({p, value});
    }

    name_ = S(xmlTextReaderConstName(r_));
    out_.Raw("<", 1);
    out_.Raw(name_);
    for (const Binding& b : render) {
      out_.Raw(b.prefix.empty() ? std::string(" xmlns=\"") : " xmlns:" + b.prefix + "=\"");
      out_.Value(b.uri);
      out_.Raw("\"", 1);
      ns_.Render(b);
    }
    std::sort(attrs.begin(), attrs.end(),
              [](const Attr& a, const Attr& b) { return a.ns != b.ns ? a.ns < b.ns : a.local < b.local; });
    for (const Attr& a : attrs) {
      out_.Raw(" ", 1);
      out_.Raw(a.qname);
      out_.Raw("=\"", 2);
      out_.Value(a.value);
      out_.Raw("\"", 1);
    }
    out_.Raw(">", 1);
    if (xmlTextReaderIsEmptyElement(r_) == 1) EndElement();
    return true;
  }

  void EndElement() {
    out_.Raw("</", 2);
    out_.Raw(C(xmlTextReaderConstName(r_)));
    out_.Raw(">", 1);
    ns_.Close();
  }

  // A processing instruction; outside the document element a line feed separates it from
  // the element. One whose data holds a carriage return is left to the tree.
  bool Instruction(bool before_root, bool after_root) {
    const xmlChar* data = xmlTextReaderConstValue(r_);
    if (data != nullptr && std::strchr(C(data), '\r') != nullptr) return false;  // line ends as written
    if (after_root) out_.Raw("\n", 1);
    out_.Raw("<?", 2);
    out_.Raw(C(xmlTextReaderConstName(r_)));
    if (data != nullptr && *data != '\0') {
      out_.Raw(" ", 1);
      out_.Raw(C(data), std::strlen(C(data)));
    }
    out_.Raw("?>", 2);
    if (before_root) out_.Raw("\n", 1);
    return true;
  }

 private:
  xmlTextReader* r_;
  Writer& out_;
  Namespaces ns_;
  std::string name_;
};

bool Is(xmlTextReader* r, const char* ns, const char* name) {
  const xmlChar* uri = xmlTextReaderConstNamespaceUri(r);
  return uri != nullptr && std::strcmp(C(uri), ns) == 0 && std::strcmp(C(xmlTextReaderConstLocalName(r)), name) == 0;
}

// A copy of the subtree the reader stands on, as the document element of a new document.
DocPtr CopySubtree(xmlTextReader* r) {
  xmlNode* node = xmlTextReaderExpand(r);
  if (node == nullptr) return nullptr;
  DocPtr doc(xmlNewDoc(reinterpret_cast<const xmlChar*>("1.0")));
  if (!doc) return nullptr;
  // Namespaces declared on ancestors are declared again on the copy.
  xmlNode* copy = xmlDocCopyNode(node, doc.get(), 1);
  if (copy == nullptr) return nullptr;
  xmlDocSetRootElement(doc.get(), copy);
  return doc;
}

}  // namespace

bool CanonicalizeStreamed(const void* data, int length, const char* skip_ns, const char* skip_name,
                          const std::function<bool(const char*, int)>& sink, StreamedCanonical& out) {
  if (data == nullptr || length <= 0 || length > kMaxDocument || !WithinParserBounds(data, length)) return false;
  const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
  ReaderPtr reader(xmlReaderForMemory(static_cast<const char*>(data), length, nullptr, nullptr, options));
  if (!reader) return false;
  bool failed = false;
  xmlTextReaderSetStructuredErrorHandler(reader.get(), NoteError, &failed);
  xmlTextReader* r = reader.get();

  Writer writer(sink);
  Canonicalizer c14n(r, writer);
  bool root_seen = false, root_closed = false;
  int ret = xmlTextReaderRead(r);
  while (ret == 1 && !failed && writer.ok()) {
    const int depth = xmlTextReaderDepth(r);
    switch (xmlTextReaderNodeType(r)) {
      case XML_READER_TYPE_ELEMENT:
        if (depth == 0 && root_seen) return false;
        if (Is(r, skip_ns, skip_name)) {
          if (depth == 0) return false;
          if (++out.skipped == 1 && !(out.first = CopySubtree(r))) return false;
          ret = xmlTextReaderNext(r);
          continue;
        }
        if (!c14n.StartElement()) return false;
        if (depth == 0) {
          root_seen = true;
          root_closed = xmlTextReaderIsEmptyElement(r) == 1;
        }
        break;
      case XML_READER_TYPE_END_ELEMENT:
        c14n.EndElement();
        if (depth == 0) root_closed = true;
        break;
      case XML_READER_TYPE_CDATA:
        // The reader's push parser hands CDATA sections over as written (line ends not
        // normalised, characters not all checked): the tree reads them right.
        return false;
      case XML_READER_TYPE_TEXT:
      case XML_READER_TYPE_WHITESPACE:
      case XML_READER_TYPE_SIGNIFICANT_WHITESPACE:
        if (depth > 0 && xmlTextReaderConstValue(r) != nullptr) writer.Text(C(xmlTextReaderConstValue(r)));
        break;
      case XML_READER_TYPE_PROCESSING_INSTRUCTION:
        if (!c14n.Instruction(!root_seen, root_closed)) return false;
        break;
      case XML_READER_TYPE_COMMENT:
        break;
      default:  // a document type, entity references: the tree decides
        return false;
    }
    ret = xmlTextReaderRead(r);
  }
  if (ret != 0 || failed || !root_closed) return false;
  return writer.Flush();
}

}  // namespace vexorxml
