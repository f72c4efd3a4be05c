// Helpers for the GOST provider tests: a fresh key home per test, hex, a reader of the
// known-answer files that fails on a field no test read, blob builders that use OpenSSL's
// own encoder, and running the openssl command.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/der_build.h"
#include "common/hex.h"
#include "common/holder.h"
#include "common/temp_dir.h"
#include "der/der.h"
#include "platform/test_pki.h"
#include "stores/auto_handle.h"
#include "vexor/platform.h"

namespace provider_test {

using Bytes = std::vector<uint8_t>;

using test_common::Unhex;
// The known-answer files write hex in lower case.
inline std::string Hex(const uint8_t* p, size_t n) { return test_common::Hex(p, n, test_common::HexCase::kLower); }
inline std::string Hex(const Bytes& b) { return Hex(b.data(), b.size()); }

inline Bytes Reversed(Bytes b) { return Bytes(b.rbegin(), b.rend()); }

using test_common::ScopedCspHome;

// One "Name = value" record of a vector file. Every field must be read (Get) or declared
// as commentary (Ignore); Unread() lists the rest.
class Record {
 public:
  void Add(const std::string& k, const std::string& v) { fields_[k] = v; }
  bool Has(const std::string& k) const { return fields_.count(k) != 0; }
  std::string Get(const std::string& k) {
    read_.insert(k);
    auto it = fields_.find(k);
    if (it == fields_.end()) {
      ADD_FAILURE() << "record " << fields_["Id"] << " has no " << k;
      return {};
    }
    return it->second;
  }
  Bytes GetHex(const std::string& k) { return Unhex(Get(k)); }
  // The object identifier at the start of a field like "1.2.643.2.2.31.1 (name)".
  std::string GetOid(const std::string& k) {
    const std::string v = Get(k);
    return v.substr(0, v.find(' '));
  }
  void Ignore(std::initializer_list<const char*> keys) {
    for (const char* k : keys) read_.insert(k);
  }
  // The record is not for this provider; every field counts as read.
  void NotApplicable() {
    for (const auto& f : fields_) read_.insert(f.first);
  }
  std::vector<std::string> Unread() const {
    std::vector<std::string> out;
    for (const auto& f : fields_)
      if (!read_.count(f.first)) out.push_back(f.first);
    return out;
  }
  std::string id() const {
    auto it = fields_.find("Id");
    return it == fields_.end() ? "?" : it->second;
  }

 private:
  std::map<std::string, std::string> fields_;
  std::set<std::string> read_;
};

inline std::vector<Record> ReadVectors(const std::string& name) {
  std::ifstream in(std::string(VEXOR_VECTORS) + "/" + name);
  EXPECT_TRUE(in.good()) << name;
  std::vector<Record> records;
  Record current;
  bool open = false;
  std::string line, last_key;
  while (std::getline(in, line)) {
    if (!line.empty() && line[0] == '#') continue;
    if (line.empty()) {
      if (open) records.push_back(current);
      current = Record();
      open = false;
      continue;
    }
    const size_t eq = line.find(" = ");
    if (eq == std::string::npos) {
      // A continuation line of the previous field (long Source texts).
      continue;
    }
    std::string value = line.substr(eq + 3);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\r')) value.pop_back();
    current.Add(line.substr(0, eq), value);
    open = true;
  }
  if (open) records.push_back(current);
  EXPECT_FALSE(records.empty()) << name;
  return records;
}

// Runs each record; a field left unread fails the record.
template <typename Fn>
void ForEachRecord(const std::string& file, Fn fn) {
  for (Record& r : ReadVectors(file)) {
    SCOPED_TRACE(file + ": " + r.id());
    r.Ignore({"Id", "Source", "Status", "Note"});
    fn(r);
    for (const std::string& k : r.Unread()) ADD_FAILURE() << "field never read: " << k;
  }
}

using test_common::Cat;
using test_common::Der;
inline Bytes OidDer(const std::string& dotted) { return test_common::Oid(dotted); }
inline Bytes Sequence(const Bytes& content) { return Der(der::kSequence, content); }

// A PUBLICKEYBLOB as GOST providers on Windows write it.
inline Bytes PublicKeyBlob(const std::string& curve, const Bytes& key64, uint32_t alg = 0xAA24) {
  Bytes blob = {0x06, 0x20, 0x00, 0x00};
  der::PutU32LE(blob, alg);
  der::PutU32LE(blob, 0x3147414D);
  der::PutU32LE(blob, 512);
  return Cat({blob, Sequence(Cat({OidDer(curve), OidDer("1.2.643.2.2.30.1")})), key64});
}

// A PLAINTEXTKEYBLOB of a GOST 28147-89 key.
inline Bytes PlainKeyBlob(const Bytes& key) {
  Bytes blob = {0x08, 0x02, 0x00, 0x00};
  der::PutU32LE(blob, 0x661E);
  der::PutU32LE(blob, uint32_t(key.size()));
  blob.insert(blob.end(), key.begin(), key.end());
  return blob;
}

// Shell commands and files as the shared test PKI runs and writes them.
using CommandResult = test_pki::RunResult;
inline CommandResult RunCommand(const std::string& command) { return test_pki::Run(command); }
using test_pki::ReadFile;
using test_pki::WriteFile;

inline std::string Base64Pem(const std::string& label, const std::string& body) {
  std::string pem = "-----BEGIN " + label + "-----\n";
  for (size_t i = 0; i < body.size(); i += 64) pem += body.substr(i, 64) + "\n";
  return pem + "-----END " + label + "-----\n";
}

// Owning holders for the handles a test makes.
using Prov = test_common::Holder<HCRYPTPROV, auto_handle_release::Provider>;
using Key = test_common::Holder<HCRYPTKEY, CryptDestroyKey>;
using Hash = test_common::Holder<HCRYPTHASH, CryptDestroyHash>;

inline void VerifyContext(Prov& p) {
  ASSERT_TRUE(CryptAcquireContextA(&p.h, nullptr, nullptr, PROV_GOST_2001_DH, CRYPT_VERIFYCONTEXT))
      << std::hex << GetLastError();
}

inline Bytes ExportBlob(HCRYPTKEY key, HCRYPTKEY exp, DWORD type) {
  DWORD len = 0;
  if (!CryptExportKey(key, exp, type, 0, nullptr, &len)) return {};
  Bytes out(len);
  if (!CryptExportKey(key, exp, type, 0, out.data(), &len)) return {};
  out.resize(len);
  return out;
}

}  // namespace provider_test
