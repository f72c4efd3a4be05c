// The library as the host tests load it: dlopen of build/lib/libvexor.so, its three exports,
// operation objects destroyed through the library, the fixture of the tests that sign and
// verify, and small file helpers.
#pragma once

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/hex.h"
#include "common/temp_dir.h"
#include "library/test_certs.h"
#include "vexor/vexor.h"

namespace host {

struct Api {
  Api() {
    handle = dlopen(VEXOR_LIB_DIR "/libvexor.so", RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return;
    version = reinterpret_cast<PFN_GetIVersion>(dlsym(handle, "GetIVersion"));
    create = reinterpret_cast<PFN_CreateObjectInstance>(dlsym(handle, "CreateObjectInstance"));
    destroy = reinterpret_cast<PFN_DestroyObjectInstance>(dlsym(handle, "DestroyObjectInstance"));
  }
  ~Api() {
    if (handle != nullptr) dlclose(handle);
  }
  bool loaded() const { return version && create && destroy; }

  void* handle = nullptr;
  PFN_GetIVersion version = nullptr;
  PFN_CreateObjectInstance create = nullptr;
  PFN_DestroyObjectInstance destroy = nullptr;
};

inline Api& Lib() {
  static Api api;
  return api;
}

struct Destroy {
  void operator()(IVexor* p) const { Lib().destroy(&p); }
};
using Object = std::unique_ptr<IVexor, Destroy>;

// The call's code, with the exception's code (and text) when one came.
template <class F>
int32_t Call(F&& f, std::string* text = nullptr) {
  try {
    return f();
  } catch (const CryptoOperations::SystemException& e) {
    if (text != nullptr) *text = e.what();
    return e.code();
  }
}

// A signing party by common name.
inline CertPartyParam ByName(const std::string& utf8) {
  CertPartyParam p;
  p.subjectCN = test_certs::Cp1251(utf8);
  return p;
}

// The test PKI trusted and user A's key installed in a temporary platform home; the objects
// a test makes are initialised in a working folder of their own.
class PkiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(Lib().handle, nullptr) << dlerror();
    ASSERT_TRUE(test_pki::Pki::Get().ok()) << test_pki::Pki::Get().error;
    ASSERT_FALSE(dir_.path().empty());
    work_ = dir_.path();
    ASSERT_TRUE(test_certs::TrustTestPki());
    ASSERT_TRUE(test_pki::InstallWithKey(test_pki::Pki::Get().user_a, "host-user-a"));
  }
  Object NewObject(VexorCallBack* cb = nullptr) {
    IVexor* raw = nullptr;
    EXPECT_EQ(Lib().create(&raw), 0);
    Object obj(raw);
    EXPECT_EQ(obj->Init(work_.c_str(), cb, CERT_SYSTEM_STORE_CURRENT_USER), 0);
    return obj;
  }
  // Signs in PKCS#7; the code, with the exception's code (and text) when one came.
  static int32_t Sign(IVexor& obj, const CertPartyParam& party, const std::string& data, bool detached,
                      std::string& out, std::string* error_text = nullptr) {
    std::istringstream in(data);
    std::ostringstream sig;
    const int32_t rc = Call([&] {
      return detached ? obj.sign_stream_d(party, in, sig, VEXOR_FORMAT_PKCS7)
                      : obj.sign_stream_a(party, in, sig, VEXOR_FORMAT_PKCS7);
    }, error_text);
    out = sig.str();
    return rc;
  }

  test_pki::ScopedHome home_;
  test_common::TempDir dir_;
  std::filesystem::path work_;
};

// The library's log: in the user's state folder ($XDG_STATE_HOME/vexor, else
// ~/.local/state/vexor).
inline std::filesystem::path LogFile() {
  const char* state = std::getenv("XDG_STATE_HOME");
  const char* home = std::getenv("HOME");
  const std::filesystem::path folder = state != nullptr && state[0] == '/' ? std::filesystem::path(state)
                                       : std::filesystem::path(home != nullptr ? home : "") / ".local" / "state";
  return folder / "vexor" / "Vexor.log";
}

inline std::string ReadText(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The lines of a piece of the log written by this process ("[P:<pid>]"): other test programs
// running at the same time write into the same file.
inline std::string OwnLines(const std::string& log) {
  const std::string mark = "[P:" + std::to_string(getpid()) + "]";
  std::istringstream in(log);
  std::string line, own;
  while (std::getline(in, line))
    if (line.find(mark) != std::string::npos) own += line + "\n";
  return own;
}

inline void WriteText(const std::filesystem::path& p, const std::string& text) {
  std::ofstream(p, std::ios::binary) << text;
}

inline std::string Quote(const std::filesystem::path& p) { return "'" + p.string() + "'"; }

// The upper-case hex thumbprint the platform gives an encoded certificate; empty on failure.
inline std::string Thumb(const std::vector<uint8_t>& der) {
  PCCERT_CONTEXT c = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
  BYTE hash[20];
  DWORD len = sizeof hash;
  const bool ok = c != nullptr && CertGetCertificateContextProperty(c, CERT_HASH_PROP_ID, hash, &len);
  if (c != nullptr) CertFreeCertificateContext(c);
  return ok ? test_common::Hex(hash, len) : std::string();
}

}  // namespace host
