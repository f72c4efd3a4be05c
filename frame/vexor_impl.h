// The operation object: implements every slot of the public interface and holds the state
// shared by the calls made on it.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "certs/crl_check_cache.h"
#include "certs/signer_cache.h"
#include "certs/valid_certs_cache.h"
#include "call/call_context.h"
#include "call/temp_files.h"
#include "certs/instance_context.h"
#include "stores/sst_accessor.h"
#include "support/log.h"
#include "support/tsa.h"
#include "vexor/vexor.h"

class IVexorImpl : public IVexor, public CallLog {
 public:
  IVexorImpl();
  ~IVexorImpl() override;
  IVexorImpl(const IVexorImpl&) = delete;
  IVexorImpl& operator=(const IVexorImpl&) = delete;

  // IVexorStream
  void Release() override;
  std::string GetErrorText(int32_t code) override;
  int32_t sign_stream_a(const CertPartyParam& party, std::istream& in, std::ostream& out, int32_t format) override;
  int32_t sign_stream_d(const CertPartyParam& party, std::istream& in, std::ostream& out, int32_t format) override;
  int32_t check_stream_a(std::istream& signedData, SignerCheckList& signers, int32_t format) override;
  int32_t check_stream_a(std::istream& signedData, SignerCheckList& signers, std::ostream& content,
                         uint32_t passThrough, int32_t format) override;
  int32_t check_stream_a(std::istream& signedData, SignerCheckList& signers, uint32_t passThrough,
                         int32_t format) override;
  int32_t check_stream_d(std::istream& signedData, std::istream& content, SignerCheckList& signers,
                         int32_t format) override;
  int32_t check_stream_d(std::istream& signedData, std::istream& content, SignerCheckList& signers,
                         uint32_t passThrough, int32_t format) override;
  int32_t unpack_signed_stream(std::istream& signedData, std::ostream& content, int32_t format) override;
  int32_t encrypt_stream(std::istream& in, std::ostream& out, const CertPartyList& parties, int32_t format) override;
  int32_t decrypt_stream(std::istream& in, std::ostream& out, int32_t format) override;
  int32_t extract_signers(std::istream& signedData, std::istream& content, SignerCheckList& signers) override;

  // IVexor
  int32_t Init(const char* workDir, VexorCallBack* callback, uint32_t storeLocation) override;
  BOOL IsInitialized() override;
  int32_t GetCertList(CertList& certs) override;
  int32_t CertUpdateCRLs() override;
  int32_t AddCertOrCRLToFile(const char* file, const CertEncoded& cert) override;
  int32_t AddCertOrCRLToFile(const char* file, const CertFile& cert) override;
  int32_t AddCertOrCRLToFile(const char* file, const CrlEncoded& crl) override;
  int32_t AddCertOrCRLToFile(const char* file, const CrlFile& crl) override;
  int32_t AddCertOrCRLToStore(const CertEncoded& cert) override;
  int32_t AddCertOrCRLToStore(const CertFile& cert) override;
  int32_t AddCertOrCRLToStore(const CrlEncoded& crl) override;
  int32_t AddCertOrCRLToStore(const CrlFile& crl) override;
  int32_t DeleteCertificate(const char* identifier) override;
  int32_t FindCertificate(const char* identifier, CRYPT_DATA_BLOB* cert) override;
  void FreeBuffer(CRYPT_DATA_BLOB* blob) override;
  int32_t FindCertificateByThumb(const char* thumbHex, PCCERT_CONTEXT* cert) override;
  int32_t CheckCertificate(PCCERT_CONTEXT* cert) override;
  int32_t GetFileParties(const char* path, FileParties* parties) override;
  uint32_t SetFlags(uint32_t flags, uint32_t replace) override;

  // Slot 33: one log line naming the provider (or saying there is none).
  virtual void ReportProvider(HCRYPTPROV provider);

  // --- Inside the library ---

  VexorCallBack* callback() const { return callback_.load(); }
  uint32_t storeLocation() const { return store_location_.load(); }
  bool isFamilyHost() const { return family_.load(); }
  uint32_t runtimeFlags();
  // A copy of the options, taken under the object lock.
  OptionBlock optionsSnapshot();

  // The working-directory rule: the callback's answer wins; a candidate is taken only while
  // no directory is stored. Returns the directory now in force.
  std::string EstablishWorkDir(const std::string& candidate);

  // The log sink of the calls: OffLogFile, LogExtended and the host's log hook decide
  // whether a line reaches the log; logging never fails an operation.
  void WriteLine(const std::string& text, bool extended) noexcept override;
  CLogAccessor& traceLog() override { return log_; }
  CLogAccessor& logAccessor() { return log_; }

  // What a call of this object gets: the services record, the state its calls share (the
  // caches and the store file) and a new per-call context (the working directory in force
  // and a snapshot of the options).
  CallServices services();
  SharedState sharedState();
  InstanceContext NewCall();

  // The guard of the store file certstore.sst.
  SSTAccessor& sstAccessor() { return sst_; }
  // Temporary files of the calls.
  TempFileRegistry& tempFiles() { return temp_files_; }
  // Certificates found valid in the last minutes, shared by every call on this object.
  ValidCertsCache& validCertsCache() { return valid_certs_; }

 private:
  // Runs a message slot: trace scope, dispatch (nullopt = format not served, result 1,
  // no post-hook), then the callback's post-hook, whose answer becomes the result.
  int32_t RunMessageSlot(const char* method, const std::function<std::optional<int32_t>()>& operation,
                         const std::function<int32_t(VexorCallBack&, int32_t)>& postHook);

  std::atomic<VexorCallBack*> callback_{nullptr};
  std::atomic<uint32_t> store_location_{CERT_SYSTEM_STORE_CURRENT_USER};
  SSTAccessor sst_;
  CStringTSA work_dir_;
  std::atomic<bool> family_{false};
  uint32_t runtime_flags_ = 0;
  OptionBlock options_;
  std::recursive_mutex lock_;  // the object lock
  TempFileRegistry temp_files_{lock_};
  CLogAccessor log_;
  CStringTSA issuer_;  // no interface operation sets it
  ValidCertsCache valid_certs_;
  CrlCheckCache crl_cache_;
  SignerCache signers_;
};
