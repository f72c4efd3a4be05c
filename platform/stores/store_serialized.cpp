// Reader and writer of the serialized store format. The reader treats its input as hostile:
// every length is checked against what remains, and nothing is added unless all of it parses.
#include "platform/stores/store_serialized.h"

#include <cstring>
#include <memory>

#include "der/der.h"
#include "platform/core/last_error.h"

namespace vexorcsp {
namespace {

constexpr BYTE kHeader[8] = {0, 0, 0, 0, 'C', 'E', 'R', 'T'};
constexpr size_t kElementHeader = 12;  // property id, marker 1, length

void PutDword(std::vector<BYTE>& out, DWORD v) { der::PutU32LE(out, v); }

// A little-endian word at a place the caller has checked to lie inside the buffer.
DWORD GetDword(const BYTE* p) { return der::LoadU32LE(p); }

void PutElement(std::vector<BYTE>& out, DWORD id, const BYTE* data, size_t size) {
  PutDword(out, id);
  PutDword(out, 1);
  PutDword(out, static_cast<DWORD>(size));
  out.insert(out.end(), data, data + size);
}

void PutGroup(std::vector<BYTE>& out, const ContextCore& core, DWORD context_id) {
  for (const auto& [id, value] : PersistedProperties(core))
    PutElement(out, id, value.data(), value.size());
  PutElement(out, context_id, core.encoded.data(), core.encoded.size());
}

DWORD Malformed() { return static_cast<DWORD>(CRYPT_E_FILE_ERROR); }

// Applies properties read from a file; stored hashes are recomputed, handles dropped.
template <typename Obj>
void ApplyProperties(Obj* c, std::map<DWORD, std::vector<BYTE>>& props) {
  for (auto& [id, value] : props) {
    if (!IsPersistedProperty(id)) continue;
    if (id == CERT_SHA1_HASH_PROP_ID) {
      c->core.props.Set(id, std::vector<BYTE>(c->core.sha1, c->core.sha1 + 20));
      continue;
    }
    if (id == CERT_KEY_PROV_INFO_PROP_ID) {
      size_t size = 0;
      if (!FlattenKeyProvInfo(value, nullptr, size)) continue;
    }
    c->core.props.Set(id, std::move(value));
  }
  props.clear();
}

void PutUtf16(std::vector<BYTE>& out, const WCHAR* s) {
  for (; *s != 0; ++s) {
    out.push_back(static_cast<BYTE>(*s & 0xFF));
    out.push_back(static_cast<BYTE>(*s >> 8));
  }
  out.push_back(0);
  out.push_back(0);
}

// Length in bytes (with the terminator) of a UTF-16LE text at `offset`, 0 when unterminated.
size_t Utf16Span(const std::vector<BYTE>& p, size_t offset) {
  for (size_t i = offset; i + 1 < p.size(); i += 2)
    if (p[i] == 0 && p[i + 1] == 0) return i + 2 - offset;
  return 0;
}

}  // namespace

bool LooksSerialized(const BYTE* data, size_t size) {
  return size >= sizeof kHeader && std::memcmp(data, kHeader, sizeof kHeader) == 0;
}

void SerializeStore(Store& store, std::vector<BYTE>& out) {
  std::lock_guard<std::recursive_mutex> lock(store.mutex());
  out.insert(out.end(), kHeader, kHeader + sizeof kHeader);
  for (const CertObject* c : store.certs()) PutGroup(out, c->core, CERT_CERT_PROP_ID);
  for (const CrlObject* c : store.crls()) PutGroup(out, c->core, CERT_CRL_PROP_ID);
  out.insert(out.end(), kElementHeader, 0);
}

DWORD LoadSerialized(const BYTE* data, size_t size, Store& into) {
  if (size == 0) return 0;
  if (data == nullptr || !LooksSerialized(data, size)) return Malformed();
  struct Deleter {
    void operator()(CertObject* c) const { Release(c); }
    void operator()(CrlObject* c) const { Release(c); }
  };
  std::vector<std::unique_ptr<CertObject, Deleter>> certs;
  std::vector<std::unique_ptr<CrlObject, Deleter>> crls;
  std::map<DWORD, std::vector<BYTE>> props;
  // Elements until the end marker (twelve zero bytes), which must close the file: a file cut
  // at an element boundary, or with a zeroed header inside, is corrupt, not a shorter store.
  der::Reader r(data + sizeof kHeader, size - sizeof kHeader);
  while (true) {
    DWORD id, marker, length;
    const BYTE* payload;
    if (!r.U32LE(id) || !r.U32LE(marker) || !r.U32LE(length)) return Malformed();
    if (id == 0) {
      if (marker != 0 || length != 0 || !r.ExpectEnd()) return Malformed();
      break;
    }
    if (marker != 1 || !r.Bytes(length, payload)) return Malformed();
    if (id == CERT_CERT_PROP_ID) {
      CertObject* c = NewCertObject(payload, length);
      if (c == nullptr) return GetLastError();
      certs.emplace_back(c);
      ApplyProperties(c, props);
    } else if (id == CERT_CRL_PROP_ID) {
      CrlObject* c = NewCrlObject(payload, length);
      if (c == nullptr) return GetLastError();
      crls.emplace_back(c);
      ApplyProperties(c, props);
    } else if (id == CERT_CTL_PROP_ID) {
      props.clear();  // trust lists are not kept; their properties go with them
    } else {
      props[id].assign(payload, payload + length);
    }
  }
  for (auto& c : certs) into.AddCert(c.release(), CERT_STORE_ADD_ALWAYS, nullptr);
  for (auto& c : crls) into.AddCrl(c.release(), CERT_STORE_ADD_ALWAYS, nullptr);
  return 0;
}

std::vector<BYTE> PersistKeyProvInfo(const CRYPT_KEY_PROV_INFO& info) {
  constexpr size_t kFixed = 28;
  const size_t params_size = static_cast<size_t>(info.cProvParam) * 16;
  std::vector<BYTE> tail;  // names and parameter data, placed after the parameter array
  const size_t tail_base = kFixed + params_size;
  DWORD container_off = 0, provider_off = 0;
  if (info.pwszContainerName != nullptr) {
    container_off = static_cast<DWORD>(tail_base + tail.size());
    PutUtf16(tail, info.pwszContainerName);
  }
  if (info.pwszProvName != nullptr) {
    provider_off = static_cast<DWORD>(tail_base + tail.size());
    PutUtf16(tail, info.pwszProvName);
  }
  std::vector<BYTE> params;
  for (DWORD i = 0; i < info.cProvParam; ++i) {
    const CRYPT_KEY_PROV_PARAM& p = info.rgProvParam[i];
    PutDword(params, p.dwParam);
    PutDword(params, p.cbData ? static_cast<DWORD>(tail_base + tail.size()) : 0);
    PutDword(params, p.cbData);
    PutDword(params, p.dwFlags);
    if (p.cbData) tail.insert(tail.end(), p.pbData, p.pbData + p.cbData);
  }
  std::vector<BYTE> out;
  PutDword(out, container_off);
  PutDword(out, provider_off);
  PutDword(out, info.dwProvType);
  PutDword(out, info.dwFlags);
  PutDword(out, info.cProvParam);
  PutDword(out, info.cProvParam ? static_cast<DWORD>(kFixed) : 0);
  PutDword(out, info.dwKeySpec);
  out.insert(out.end(), params.begin(), params.end());
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

bool FlattenKeyProvInfo(const std::vector<BYTE>& p, BYTE* out, size_t& size) {
  if (p.size() < 28) return false;
  const DWORD container_off = GetDword(&p[0]);
  const DWORD provider_off = GetDword(&p[4]);
  const DWORD count = GetDword(&p[16]);
  const DWORD params_off = GetDword(&p[20]);
  size_t container_len = 0, provider_len = 0;
  if (container_off != 0 && (container_off >= p.size() || !(container_len = Utf16Span(p, container_off))))
    return false;
  if (provider_off != 0 && (provider_off >= p.size() || !(provider_len = Utf16Span(p, provider_off))))
    return false;
  if (count > p.size() / 16) return false;
  if (count != 0 && (params_off > p.size() || p.size() - params_off < static_cast<size_t>(count) * 16))
    return false;
  size_t data_total = 0;
  for (DWORD i = 0; i < count; ++i) {
    const BYTE* e = &p[params_off + i * 16];
    const DWORD off = GetDword(e + 4), len = GetDword(e + 8);
    if (len != 0 && (off > p.size() || p.size() - off < len)) return false;
    data_total += len;
  }
  const size_t params_at = sizeof(CRYPT_KEY_PROV_INFO);
  const size_t names_at = params_at + count * sizeof(CRYPT_KEY_PROV_PARAM);
  const size_t data_at = names_at + container_len + provider_len;
  size = data_at + data_total;
  if (out == nullptr) return true;
  auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(out);
  std::memset(info, 0, sizeof *info);
  info->dwProvType = GetDword(&p[8]);
  info->dwFlags = GetDword(&p[12]);
  info->cProvParam = count;
  info->dwKeySpec = GetDword(&p[24]);
  BYTE* names = out + names_at;
  if (container_len) {
    std::memcpy(names, &p[container_off], container_len);
    info->pwszContainerName = reinterpret_cast<LPWSTR>(names);
    names += container_len;
  }
  if (provider_len) {
    std::memcpy(names, &p[provider_off], provider_len);
    info->pwszProvName = reinterpret_cast<LPWSTR>(names);
  }
  auto* params = reinterpret_cast<CRYPT_KEY_PROV_PARAM*>(out + params_at);
  info->rgProvParam = count ? params : nullptr;
  BYTE* data = out + data_at;
  for (DWORD i = 0; i < count; ++i) {
    const BYTE* e = &p[params_off + i * 16];
    const DWORD off = GetDword(e + 4), len = GetDword(e + 8);
    params[i].dwParam = GetDword(e);
    params[i].cbData = len;
    params[i].dwFlags = GetDword(e + 12);
    params[i].pbData = len ? data : nullptr;
    if (len) std::memcpy(data, &p[off], len);
    data += len;
  }
  return true;
}

}  // namespace vexorcsp
