#include "xml/document.h"

#include <libxml/globals.h>
#include <libxml/parser.h>
#include <libxml/xmlsave.h>
#include <openssl/evp.h>

#include <cstring>
#include <mutex>

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

}  // namespace

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
  if (data == nullptr || length <= 0 || length > kMaxDocument) return nullptr;
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
