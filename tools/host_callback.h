// A callback object for host programs: every slot answers neutrally (post-hooks keep the
// library's result), and log lines can be passed to a function of the host's.
#pragma once

#include <functional>
#include <string>

#include "vexor/vexor.h"

class HostCallback : public VexorCallBack {
 public:
  std::function<void(const char*)> onLog;  // sees every log message; null: keep quiet
  std::string workDir;                     // answer of the working-directory question

  int32_t OnInit(uint32_t) override { return 0; }
  int32_t OnSign(const CertPartyParam&, std::istream&, std::ostream&, int32_t rc) override { return rc; }
  int32_t OnCheck(std::istream&, std::istream*, void*, SignerCheckList&, uint32_t, int32_t rc) override { return rc; }
  int32_t OnEncrypt(std::istream&, std::ostream&, const CertPartyList&, int32_t rc) override { return rc; }
  int32_t OnDecrypt(std::istream&, std::ostream&, int32_t rc) override { return rc; }
  void Reserved6() override {}
  int32_t OnUnpack(std::istream&, std::ostream&, int32_t rc) override { return rc; }
  int32_t OnDeleteCertificate(const char*, int32_t rc) override { return rc; }
  std::string OnGetWorkDir() override { return workDir; }
  HCERTSTORE OnOpenStore() override { return nullptr; }
  void OnCloseStore(HCERTSTORE) override {}
  bool OnCertFindEx(_TAGCERTFINDPARAM*, PCCERT_CONTEXT* cert) override {
    if (cert != nullptr) *cert = nullptr;
    return false;
  }
  bool OnGetCRL(PCCERT_CONTEXT, PCCRL_CONTEXT* crl, uint32_t) override {
    if (crl != nullptr) *crl = nullptr;
    return false;
  }
  bool OnAddCertOrCRL(const CRYPT_DATA_BLOB&, uint32_t, uint32_t*) override { return false; }
  int32_t OnCertExpiry(PCCERT_CONTEXT) override { return 0; }
  bool OnFindSignerCert(PCERT_INFO, PCCERT_CONTEXT* cert) override {
    if (cert != nullptr) *cert = nullptr;
    return false;
  }
  void OnFreeSignerCert(PCCERT_CONTEXT) override {}
  void Reserved18() override {}
  void Reserved19() override {}
  bool OnLog(const char* text) override {
    if (onLog) onLog(text);
    return true;
  }
};
