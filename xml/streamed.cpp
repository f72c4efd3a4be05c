#include "xml/streamed.h"

#include <libxml/parser.h>
#include <libxml/parserInternals.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace vexorxml {
namespace {

struct ContextFree {
  void operator()(xmlParserCtxt* c) const { xmlFreeParserCtxt(c); }
};
using ContextPtr = std::unique_ptr<xmlParserCtxt, ContextFree>;

const char* C(const xmlChar* s) { return reinterpret_cast<const char*>(s); }
const xmlChar* X(const char* s) { return reinterpret_cast<const xmlChar*>(s); }

struct Binding {
  std::string prefix;  // empty for the default namespace
  std::string uri;
};

bool Declares(xmlNode* node, const xmlChar* prefix) {
  for (xmlNs* d = node->nsDef; d != nullptr; d = d->next)
    if (xmlStrEqual(d->prefix, prefix)) return true;
  return false;
}

// An attribute as the parser hands it to the start tag's callback (valid during it only).
struct Attr {
  const char* ns;      // "" without a namespace
  const char* local;
  const char* prefix;  // null without one
  const char* value;
  size_t length;
};

class Writer {
 public:
  explicit Writer(const std::function<bool(const char*, int)>& sink) : sink_(sink) { out_.reserve(kChunk + 4096); }

  bool ok() const { return ok_; }
  void Raw(const char* s, size_t n) {
    out_.append(s, n);
    if (out_.size() >= kChunk) Flush();
  }
  void Raw(const char* s) { Raw(s, std::strlen(s)); }
  void Raw(const std::string& s) { Raw(s.data(), s.size()); }
  // A qualified name from its parts.
  void Name(const xmlChar* prefix, const xmlChar* local) {
    if (prefix != nullptr) {
      Raw(C(prefix));
      Raw(":", 1);
    }
    Raw(C(local));
  }
  // Character data: &, <, > and carriage returns as references.
  void Text(const char* s, size_t n) {
    const char* run = s;
    for (const char* end = s + n; s != end; ++s) {
      const char* ref = kTextRefs[static_cast<unsigned char>(*s)];
      if (ref == nullptr) continue;
      Raw(run, static_cast<size_t>(s - run));
      Raw(ref);
      run = s + 1;
    }
    Raw(run, static_cast<size_t>(s - run));
  }
  // Attribute values: &, <, " and the three whitespace controls as references.
  void Value(const char* v, size_t n) {
    for (const char* end = v + n; v != end; ++v) {
      switch (*v) {
        case '&': out_.append("&amp;", 5); break;
        case '<': out_.append("&lt;", 4); break;
        case '"': out_.append("&quot;", 6); break;
        case '\t': out_.append("&#x9;", 5); break;
        case '\n': out_.append("&#xA;", 5); break;
        case '\r': out_.append("&#xD;", 5); break;
        default: out_.push_back(*v);
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
  static constexpr std::array<const char*, 256> kTextRefs = [] {
    std::array<const char*, 256> refs{};
    refs['&'] = "&amp;";
    refs['<'] = "&lt;";
    refs['>'] = "&gt;";
    refs['\r'] = "&#xD;";
    return refs;
  }();
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
  void Declare(const xmlChar* prefix, const xmlChar* uri) {
    scope_.push_back({prefix == nullptr ? std::string() : C(prefix), uri == nullptr ? std::string() : C(uri)});
  }
  const std::string* InScope(const char* prefix) const { return Find(scope_, prefix); }
  const std::string* Rendered(const char* prefix) const { return Find(rendered_, prefix); }
  void Render(const Binding& b) { rendered_.push_back(b); }
  const std::vector<Binding>& scope() const { return scope_; }

 private:
  static const std::string* Find(const std::vector<Binding>& stack, const char* prefix) {
    for (auto it = stack.rbegin(); it != stack.rend(); ++it)
      if (it->prefix == prefix) return &it->uri;
    return nullptr;
  }
  std::vector<Binding> scope_, rendered_;
  std::vector<size_t> scope_marks_, rendered_marks_;
};

// The parser's callbacks: the canonical form of everything outside the left-out elements,
// and a small tree of the first of those.
class Stream {
 public:
  Stream(xmlParserCtxt* ctxt, Writer& out, const char* skip_ns, const char* skip_name, StreamedCanonical& result)
      : ctxt_(ctxt), out_(out), skip_ns_(skip_ns), skip_name_(skip_name), result_(result) {}

  bool done() const { return !failed_ && root_closed_ && out_.ok(); }

  static xmlSAXHandler Handler() {
    xmlSAXHandler h{};
    h.initialized = XML_SAX2_MAGIC;
    h.startElementNs = [](void* s, const xmlChar* local, const xmlChar* prefix, const xmlChar* uri, int nb_ns,
                          const xmlChar** ns, int nb_attrs, int, const xmlChar** attrs) {
      static_cast<Stream*>(s)->StartElement(local, prefix, uri, nb_ns, ns, nb_attrs, attrs);
    };
    h.endElementNs = [](void* s, const xmlChar* local, const xmlChar* prefix, const xmlChar*) {
      static_cast<Stream*>(s)->EndElement(local, prefix);
    };
    h.characters = [](void* s, const xmlChar* text, int n) { static_cast<Stream*>(s)->Characters(text, n); };
    h.ignorableWhitespace = h.characters;
    h.processingInstruction = [](void* s, const xmlChar* target, const xmlChar* data) {
      static_cast<Stream*>(s)->Instruction(target, data);
    };
    // CDATA sections, entity references and document types: the tree decides.
    h.cdataBlock = [](void* s, const xmlChar*, int) { static_cast<Stream*>(s)->Fail(); };
    h.reference = [](void* s, const xmlChar*) { static_cast<Stream*>(s)->Fail(); };
    h.internalSubset = [](void* s, const xmlChar*, const xmlChar*, const xmlChar*) {
      static_cast<Stream*>(s)->Fail();
    };
    h.externalSubset = h.internalSubset;
    // Any error or warning (a namespace error included, which does not stop the parser)
    // sends the document to the tree.
    h.serror = [](void* s, xmlError*) { static_cast<Stream*>(s)->Fail(); };
    return h;
  }

 private:
  // The rest of the document is still read (stopping the parser inside its own error
  // report is not safe in every libxml2), but nothing more is handed over.
  void Fail() {
    failed_ = true;
    ctxt_->disableSAX = 1;
  }

  void StartElement(const xmlChar* local, const xmlChar* prefix, const xmlChar* uri, int nb_ns, const xmlChar** ns,
                    int nb_attrs, const xmlChar** attrs) {
    if (failed_) return;
    if (copy_ != nullptr) return CopyStart(local, prefix, uri, nb_ns, ns, nb_attrs, attrs);
    if (skipping_ > 0) {
      ++skipping_;
      return;
    }
    if (uri != nullptr && std::strcmp(C(uri), skip_ns_) == 0 && std::strcmp(C(local), skip_name_) == 0) {
      if (depth_ == 0) return Fail();
      if (++result_.skipped > 1) {
        skipping_ = 1;
        return;
      }
      result_.first.reset(xmlNewDoc(X("1.0")));
      if (!result_.first) return Fail();
      return CopyStart(local, prefix, uri, nb_ns, ns, nb_attrs, attrs);
    }
    if (!Render(local, prefix, uri, nb_ns, ns, nb_attrs, attrs)) return Fail();
    if (depth_++ == 0) root_seen_ = true;
  }

  void EndElement(const xmlChar* local, const xmlChar* prefix) {
    if (failed_) return;
    if (copy_ != nullptr) {
      copy_ = copy_->parent->type == XML_ELEMENT_NODE ? copy_->parent : nullptr;
      return;
    }
    if (skipping_ > 0) {
      --skipping_;
      return;
    }
    out_.Raw("</", 2);
    out_.Name(prefix, local);
    out_.Raw(">", 1);
    ns_.Close();
    if (--depth_ == 0) root_closed_ = true;
  }

  void Characters(const xmlChar* text, int n) {
    if (failed_ || n <= 0) return;
    if (copy_ != nullptr) {
      if (xmlAddChild(copy_, xmlNewDocTextLen(copy_->doc, text, n)) == nullptr) Fail();
    } else if (skipping_ == 0 && depth_ > 0) {
      out_.Text(C(text), static_cast<size_t>(n));
    }
  }

  // A processing instruction; outside the document element a line feed separates it from
  // the element. One whose data holds a carriage return is left to the tree.
  void Instruction(const xmlChar* target, const xmlChar* data) {
    if (failed_) return;
    if (copy_ != nullptr) {
      if (xmlAddChild(copy_, xmlNewDocPI(copy_->doc, target, data)) == nullptr) Fail();
      return;
    }
    if (skipping_ > 0) return;
    if (data != nullptr && std::strchr(C(data), '\r') != nullptr) return Fail();  // line ends as written
    if (root_closed_) out_.Raw("\n", 1);
    out_.Raw("<?", 2);
    out_.Raw(C(target));
    if (data != nullptr && *data != '\0') {
      out_.Raw(" ", 1);
      out_.Raw(C(data));
    }
    out_.Raw("?>", 2);
    if (!root_seen_) out_.Raw("\n", 1);
  }

  // The element's start tag: its namespace declarations go in scope, those it visibly uses
  // and no output ancestor rendered with the same value are rendered (sorted by prefix, the
  // default first), then its attributes sorted by namespace and local name.
  bool Render(const xmlChar* local, const xmlChar* prefix, const xmlChar* uri, int nb_ns, const xmlChar** ns,
              int nb_attrs, const xmlChar** attrs) {
    if (prefix != nullptr && uri == nullptr) return false;
    ns_.Open();
    for (int i = 0; i < nb_ns; ++i) ns_.Declare(ns[2 * i], ns[2 * i + 1]);
    attrs_.clear();
    used_.assign(1, prefix == nullptr ? "" : C(prefix));
    for (int i = 0; i < nb_attrs; ++i) {
      const xmlChar** a = attrs + 5 * i;
      if (a[1] != nullptr && a[2] == nullptr) return false;
      attrs_.push_back({a[2] == nullptr ? "" : C(a[2]), C(a[0]), C(a[1]), C(a[3]), static_cast<size_t>(a[4] - a[3])});
      if (a[1] != nullptr && std::strcmp(C(a[1]), "xml") != 0) used_.push_back(C(a[1]));
    }
    if (used_.size() > 1) {
      std::sort(used_.begin(), used_.end(), [](const char* a, const char* b) { return std::strcmp(a, b) < 0; });
      used_.erase(std::unique(used_.begin(), used_.end(), [](const char* a, const char* b) { return std::strcmp(a, b) == 0; }),
                  used_.end());
    }

    out_.Raw("<", 1);
    out_.Name(prefix, local);
    static const std::string kNone;
    for (const char* p : used_) {
      const std::string* bound = ns_.InScope(p);
      if (bound == nullptr && *p != '\0') return false;
      const std::string& value = bound != nullptr ? *bound : kNone;
      const std::string* shown = ns_.Rendered(p);
      // The default namespace counts as rendered empty until an ancestor renders it.
      if (*p == '\0' ? value == (shown != nullptr ? *shown : kNone) : shown != nullptr && *shown == value) continue;
      // libxml2's canonicaliser writes a namespace name as it stands, an '&' unescaped:
      // such a document goes to the tree, so that it has one canonical form either way.
      if (value.find_first_of("&<\"\t\n\r") != std::string::npos) return false;
      if (*p == '\0') {
        out_.Raw(" xmlns=\"", 8);
      } else {
        out_.Raw(" xmlns:", 7);
        out_.Raw(p);
        out_.Raw("=\"", 2);
      }
      out_.Raw(value);
      out_.Raw("\"", 1);
      ns_.Render({p, value});
    }
    std::sort(attrs_.begin(), attrs_.end(), [](const Attr& a, const Attr& b) {
      const int by_ns = std::strcmp(a.ns, b.ns);
      return by_ns != 0 ? by_ns < 0 : std::strcmp(a.local, b.local) < 0;
    });
    for (const Attr& a : attrs_) {
      out_.Raw(" ", 1);
      out_.Name(X(a.prefix), X(a.local));
      out_.Raw("=\"", 2);
      out_.Value(a.value, a.length);
      out_.Raw("\"", 1);
    }
    out_.Raw(">", 1);
    return true;
  }

  // An element of the copied subtree. Its top element declares again every namespace in
  // scope where it stood, so the copy reads alone.
  void CopyStart(const xmlChar* local, const xmlChar* prefix, const xmlChar* uri, int nb_ns, const xmlChar** ns,
                 int nb_attrs, const xmlChar** attrs) {
    xmlDoc* doc = result_.first.get();
    xmlNode* node = xmlNewDocNode(doc, nullptr, local, nullptr);
    if (node == nullptr) return Fail();
    if (copy_ == nullptr) {
      xmlDocSetRootElement(doc, node);
    } else if (xmlAddChild(copy_, node) == nullptr) {
      xmlFreeNode(node);
      return Fail();
    }
    copy_ = node;
    for (int i = 0; i < nb_ns; ++i)
      if (xmlNewNs(node, ns[2 * i + 1], ns[2 * i]) == nullptr) return Fail();
    if (node->parent->type != XML_ELEMENT_NODE) {
      // Each prefix's innermost binding where the element stood, unless the element
      // binds it itself; an undeclared default namespace needs nothing.
      const std::vector<Binding>& scope = ns_.scope();
      for (auto it = scope.rbegin(); it != scope.rend(); ++it) {
        if (it->uri.empty() ||
            std::any_of(scope.rbegin(), it, [&](const Binding& inner) { return inner.prefix == it->prefix; }))
          continue;
        const xmlChar* p = it->prefix.empty() ? nullptr : X(it->prefix.c_str());
        if (Declares(node, p)) continue;
        if (xmlNewNs(node, X(it->uri.c_str()), p) == nullptr) return Fail();
      }
    }
    if (uri != nullptr) {
      xmlNs* own = xmlSearchNs(doc, node, prefix);
      if (own == nullptr) return Fail();
      xmlSetNs(node, own);
    }
    for (int i = 0; i < nb_attrs; ++i) {
      const xmlChar** a = attrs + 5 * i;
      xmlNs* attr_ns = nullptr;
      if (a[1] != nullptr && (attr_ns = xmlSearchNs(doc, node, a[1])) == nullptr) return Fail();
      const std::string value(C(a[3]), static_cast<size_t>(a[4] - a[3]));
      if (xmlNewNsProp(node, attr_ns, a[0], X(value.c_str())) == nullptr) return Fail();
    }
  }

  xmlParserCtxt* ctxt_;
  Writer& out_;
  const char* skip_ns_;
  const char* skip_name_;
  StreamedCanonical& result_;
  Namespaces ns_;
  std::vector<Attr> attrs_;
  std::vector<const char*> used_;  // prefixes visibly used, "" for the default namespace
  xmlNode* copy_ = nullptr;  // the open element of the copy
  int skipping_ = 0;         // open elements of a left-out subtree not copied
  int depth_ = 0;            // open output elements
  bool root_seen_ = false, root_closed_ = false, failed_ = false;
};

}  // namespace

bool CanonicalizeStreamed(const void* data, int length, const char* skip_ns, const char* skip_name,
                          const std::function<bool(const char*, int)>& sink, StreamedCanonical& out) {
  if (data == nullptr || length <= 0 || length > kMaxDocument || !WithinParserBounds(data, length)) return false;
  ContextPtr ctxt(xmlCreateMemoryParserCtxt(static_cast<const char*>(data), length));
  if (!ctxt || ctxt->sax == nullptr) return false;
  Writer writer(sink);
  Stream stream(ctxt.get(), writer, skip_ns, skip_name, out);
  *ctxt->sax = Stream::Handler();
  ctxt->userData = &stream;
  // Entities replaced: without a document type only the predefined ones exist, and the
  // values then come as the tree holds them.
  xmlCtxtUseOptions(ctxt.get(), XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOENT);
  xmlParseDocument(ctxt.get());
  if (ctxt->myDoc != nullptr) {
    xmlFreeDoc(ctxt->myDoc);
    ctxt->myDoc = nullptr;
  }
  if (!stream.done() || !ctxt->wellFormed || !ctxt->nsWellFormed) return false;
  return writer.Flush();
}

}  // namespace vexorxml
