#include "xml/document.h"

#include <libxml/globals.h>
#include <libxml/parser.h>
#include <libxml/xmlsave.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

namespace vexorxml {
namespace {

void InitOnce() {
  static std::once_flag once;
  std::call_once(once, [] { xmlInitParser(); });
}

// The element a node belongs to: namespace declarations hand over their element as
// `parent`, attributes have theirs as parent, everything else is itself.
xmlNode* OwnerElement(void* node, xmlNode* parent) {
  xmlNode* n = static_cast<xmlNode*>(node);
  if (n == nullptr || n->type == XML_NAMESPACE_DECL) return parent;
  if (n->type == XML_ATTRIBUTE_NODE) return n->parent;
  return n;
}

bool Within(xmlNode* node, xmlNode* root) {
  for (xmlNode* n = node; n != nullptr; n = n->parent)
    if (n == root) return true;
  return false;
}

int Visible(void* user_data, xmlNode* node, xmlNode* parent) {
  const NodeFilter& filter = *static_cast<const NodeFilter*>(user_data);
  xmlNode* owner = OwnerElement(node, parent);
  if (owner == nullptr) return filter.only == nullptr ? 1 : 0;
  if (filter.excluded != nullptr && Within(owner, filter.excluded)) return 0;
  if (filter.only != nullptr && !Within(owner, filter.only)) return 0;
  return 1;
}

struct SinkContext {
  const std::function<bool(const char*, int)>* sink;
};

int WriteToSink(void* context, const char* buffer, int len) {
  auto* c = static_cast<SinkContext*>(context);
  return (*c->sink)(buffer, len) ? len : -1;
}

int CloseSink(void*) { return 0; }

void Silent(void*, const char*, ...) {}
void SilentStructured(void*, xmlError*) {}

// The document's code units as the scan reads them: 1, 2 or 4 bytes, either byte order
// (the width fixed at compile time: the byte-wide scan runs over every byte of most
// documents).
template <size_t kWidth>
class Units {
 public:
  Units(const uint8_t* data, size_t length, bool big_endian)
      : data_(data), count_(length / kWidth), big_(big_endian) {}
  size_t size() const { return count_; }
  uint32_t operator[](size_t i) const {
    if constexpr (kWidth == 1) return data_[i];
    const uint8_t* p = data_ + i * kWidth;
    uint32_t v = 0;
    for (size_t k = 0; k < kWidth; ++k) v = v << 8 | p[big_ ? k : kWidth - 1 - k];
    return v;
  }
  // Whether the ASCII text stands at unit i.
  bool At(size_t i, const char* text) const {
    for (; *text != '\0'; ++text, ++i)
      if (i >= count_ || (*this)[i] != static_cast<uint8_t>(*text)) return false;
    return true;
  }
  // The unit after the next occurrence of the ASCII text from unit i; size() when none.
  size_t After(size_t i, const char* text) const {
    const size_t n = std::strlen(text);
    if constexpr (kWidth == 1) {
      const void* hit = memmem(data_ + i, count_ - std::min(i, count_), text, n);
      return hit == nullptr ? count_ : static_cast<size_t>(static_cast<const uint8_t*>(hit) - data_) + n;
    }
    for (; i < count_; ++i)
      if (At(i, text)) return i + n;
    return count_;
  }
  // The next unit c from unit i; size() when none.
  size_t Next(size_t i, uint8_t c) const {
    if constexpr (kWidth == 1) {
      const void* hit = std::memchr(data_ + i, c, count_ - std::min(i, count_));
      return hit == nullptr ? count_ : static_cast<size_t>(static_cast<const uint8_t*>(hit) - data_);
    }
    while (i < count_ && (*this)[i] != c) ++i;
    return i;
  }

 private:
  const uint8_t* data_;
  size_t count_;
  bool big_;
};

bool Blank(uint32_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// An encoding a declaration may name for a document read byte by byte: one whose bytes for
// markup (<, >, =, quotes, blanks) mean those characters wherever they stand.
bool MarkupIsAscii(std::string name) {
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  static const char* const kPrefixes[] = {"utf-8", "utf8", "us-ascii", "ascii", "iso-8859-", "iso8859-", "iso_8859-",
                                          "latin", "windows-", "cp125", "cp866", "ibm866", "koi8", "shift_jis",
                                          "sjis", "euc-", "gb2312", "gbk", "gb18030", "big5"};
  for (const char* prefix : kPrefixes)
    if (name.compare(0, std::strlen(prefix), prefix) == 0) return true;
  return false;
}

// The encoding the XML declaration names, empty without one.
template <size_t kWidth>
std::string DeclaredEncoding(const Units<kWidth>& u) {
  if (!u.At(0, "<?xml")) return std::string();
  const size_t end = std::min(u.After(0, "?>"), u.size());
  for (size_t i = 5; i + 8 < end; ++i) {
    if (!u.At(i, "encoding")) continue;
    size_t j = i + 8;
    while (j < end && (Blank(u[j]) || u[j] == '=')) ++j;
    if (j >= end || (u[j] != '"' && u[j] != '\'')) return std::string();
    const uint32_t quote = u[j];
    std::string name;
    for (++j; j < end && u[j] != quote && name.size() < 64; ++j) name += static_cast<char>(u[j] & 0x7F);
    return name;
  }
  return std::string();
}

template <size_t kWidth>
bool ScanMarkup(const Units<kWidth>& u) {
  constexpr size_t kMaxDepth = 4096;  // beyond libxml2's own limit; keeps the scan's stack small
  std::vector<int> declared;           // namespace declarations of each open element
  int in_scope = 0;
  for (size_t i = u.Next(0, '<'); i < u.size(); i = u.Next(i, '<')) {
    if (u.At(i, "<!--")) {
      i = u.After(i + 4, "-->");
    } else if (u.At(i, "<![CDATA[")) {
      i = u.After(i + 9, "]]>");
    } else if (u.At(i, "<!")) {
      return false;  // a document type declaration
    } else if (u.At(i, "<?")) {
      i = u.After(i + 2, "?>");
    } else if (u.At(i, "</")) {
      if (!declared.empty()) {
        in_scope -= declared.back();
        declared.pop_back();
      }
      i = u.After(i + 2, ">");
    } else {
      // A start tag: an attribute for every '=' outside quoted values; a declaration when
      // its name is xmlns or starts with xmlns:.
      int attributes = 0, namespaces = 0;
      bool name_is_xmlns = false, empty = false;
      size_t name_start = 0;
      bool in_name = false;
      for (++i; i < u.size(); ++i) {
        const uint32_t c = u[i];
        if (c == '"' || c == '\'') {
          i = u.Next(i + 1, static_cast<uint8_t>(c));
          continue;
        }
        if (c == '>') break;
        empty = c == '/';
        if (c == '=') {
          if (++attributes > kMaxAttributes) return false;
          if (name_is_xmlns) ++namespaces;
          in_name = false;
        } else if (Blank(c)) {
          in_name = false;
        } else if (!in_name) {
          in_name = true;
          name_start = i;
          name_is_xmlns = u.At(name_start, "xmlns") && (name_start + 5 >= u.size() || u[name_start + 5] == ':' ||
                                                       u[name_start + 5] == '=' || Blank(u[name_start + 5]));
        }
      }
      if (in_scope + namespaces > kMaxNamespacesInScope) return false;
      if (!empty) {
        if (declared.size() >= kMaxDepth) return false;
        declared.push_back(namespaces);
        in_scope += namespaces;
      }
    }
  }
  return true;
}

}  // namespace

bool WithinParserBounds(const void* data, int length) {
  if (data == nullptr || length <= 0) return false;
  const auto* b = static_cast<const uint8_t*>(data);
  const size_t n = static_cast<size_t>(length);
  auto starts = [&](std::initializer_list<uint8_t> bytes) {
    return n >= bytes.size() && std::equal(bytes.begin(), bytes.end(), b);
  };
  // How the first bytes tell the encoding family (as XML's own autodetection does).
  if (starts({0x00, 0x00, 0xFE, 0xFF}) || starts({0x00, 0x00, 0x00, 0x3C})) return ScanMarkup(Units<4>(b, n, true));
  if (starts({0xFF, 0xFE, 0x00, 0x00}) || starts({0x3C, 0x00, 0x00, 0x00})) return ScanMarkup(Units<4>(b, n, false));
  if (starts({0xFE, 0xFF}) || starts({0x00, 0x3C, 0x00, 0x3F})) return ScanMarkup(Units<2>(b, n, true));
  if (starts({0xFF, 0xFE}) || starts({0x3C, 0x00, 0x3F, 0x00})) return ScanMarkup(Units<2>(b, n, false));
  const size_t bom = starts({0xEF, 0xBB, 0xBF}) ? 3 : 0;
  const Units<1> bytes(b + bom, n - bom, false);
  const std::string encoding = DeclaredEncoding(bytes);
  if (!encoding.empty() && !MarkupIsAscii(encoding)) return false;
  if (bytes.size() > 0 && bytes[0] != '<' && !Blank(bytes[0])) return false;  // EBCDIC and the like
  return ScanMarkup(bytes);
}

QuietErrors::QuietErrors()
    : generic_(xmlGenericError),
      generic_context_(xmlGenericErrorContext),
      structured_(xmlStructuredError),
      structured_context_(xmlStructuredErrorContext) {
  xmlSetGenericErrorFunc(nullptr, Silent);
  xmlSetStructuredErrorFunc(nullptr, SilentStructured);
}

QuietErrors::~QuietErrors() {
  xmlSetGenericErrorFunc(generic_context_, generic_);
  xmlSetStructuredErrorFunc(structured_context_, structured_);
}

DocPtr ParseDocument(const void* data, int length) {
  InitOnce();
  if (data == nullptr || length <= 0 || length > kMaxDocument || !WithinParserBounds(data, length)) return nullptr;
  const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_COMPACT;
  DocPtr doc(xmlReadMemory(static_cast<const char*>(data), length, nullptr, nullptr, options));
  if (!doc || doc->intSubset != nullptr || doc->extSubset != nullptr) return nullptr;
  if (xmlDocGetRootElement(doc.get()) == nullptr) return nullptr;
  return doc;
}

bool SerializeDocument(xmlDoc* doc, void** out, int* out_length) {
  xmlChar* buffer = nullptr;
  int size = 0;
  const char* encoding = doc->encoding != nullptr ? reinterpret_cast<const char*>(doc->encoding) : "UTF-8";
  xmlDocDumpMemoryEnc(doc, &buffer, &size, encoding);
  if (buffer == nullptr) return false;
  *out = buffer;
  *out_length = size;
  return true;
}

bool Canonicalize(xmlDoc* doc, C14nMode mode, const NodeFilter& filter,
                  const std::function<bool(const char*, int)>& sink, bool with_comments) {
  SinkContext context{&sink};
  xmlOutputBuffer* buffer = xmlOutputBufferCreateIO(WriteToSink, CloseSink, &context, nullptr);
  if (buffer == nullptr) return false;
  const int mode_value = mode == C14nMode::kExclusive ? XML_C14N_EXCLUSIVE_1_0 : XML_C14N_1_0;
  const int written = xmlC14NExecute(doc, Visible, const_cast<NodeFilter*>(&filter), mode_value, nullptr, with_comments ? 1 : 0, buffer);
  const int closed = xmlOutputBufferClose(buffer);
  return written >= 0 && closed >= 0;
}

std::string Base64Encode(const std::vector<uint8_t>& bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(), static_cast<int>(bytes.size()));
  text.resize(static_cast<size_t>(n));
  return text;
}

bool Base64Decode(const std::string& text, std::vector<uint8_t>& bytes) {
  std::string compact;
  compact.reserve(text.size());
  for (char c : text)
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') compact += c;
  if (compact.size() % 4 != 0) return false;
  bytes.assign(compact.size() / 4 * 3, 0);
  if (compact.empty()) return true;
  const int n = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(compact.data()),
                                static_cast<int>(compact.size()));
  if (n < 0) return false;
  size_t padding = 0;
  if (compact.back() == '=') ++padding;
  if (compact.size() >= 2 && compact[compact.size() - 2] == '=') ++padding;
  bytes.resize(static_cast<size_t>(n) - padding);
  return true;
}

std::string TextOf(xmlNode* node) {
  xmlChar* text = xmlNodeGetContent(node);
  std::string value = text != nullptr ? reinterpret_cast<const char*>(text) : "";
  xmlFree(text);
  return value;
}

bool Is(xmlNode* node, const char* ns, const char* name) {
  return node != nullptr && node->type == XML_ELEMENT_NODE && node->ns != nullptr &&
         std::strcmp(reinterpret_cast<const char*>(node->ns->href), ns) == 0 &&
         std::strcmp(reinterpret_cast<const char*>(node->name), name) == 0;
}

xmlNode* ChildElement(xmlNode* parent, const char* ns, const char* name) {
  if (parent == nullptr) return nullptr;
  for (xmlNode* c = parent->children; c != nullptr; c = c->next)
    if (Is(c, ns, name)) return c;
  return nullptr;
}

std::string Attribute(xmlNode* node, const char* name) {
  xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
  std::string text = value != nullptr ? reinterpret_cast<const char*>(value) : "";
  xmlFree(value);
  return text;
}

}  // namespace vexorxml
