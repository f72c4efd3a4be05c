// The public message operations: each runs through one wrapper that writes the trace pair,
// dispatches on the format and hands the result to the host's post-hook.
#include "frame/vexor_impl.h"

#include "frame/result_codes.h"
#include "messages/sign.h"
#include "messages/signers.h"
#include "messages/verify.h"

using Operation = std::function<std::optional<int32_t>()>;
using PostHook = std::function<int32_t(VexorCallBack&, int32_t)>;

int32_t IVexorImpl::RunMessageSlot(const char* method, const Operation& operation, const PostHook& postHook) {
  CTraceScope scope(log_, std::string("IVexorImpl::") + method);
  const std::optional<int32_t> result = operation();
  if (!result) return RC_CRYPTO_INIT;  // a format this slot does not serve
  VexorCallBack* cb = callback();
  return cb != nullptr ? postHook(*cb, *result) : *result;
}

namespace {

// A slot with no operation for any format yet.
std::optional<int32_t> NotServed() { return std::nullopt; }

// The operation of a slot that serves the standard PKCS#7 format only.
template <typename Run>
std::optional<int32_t> StandardFormatOnly(int32_t format, Run&& run) {
  if (format == VEXOR_FORMAT_PKCS7) return run();
  return std::nullopt;
}

}  // namespace

int32_t IVexorImpl::sign_stream_a(const CertPartyParam& party, std::istream& in, std::ostream& out,
                                  int32_t format) {
  const auto operation = [&] { return StandardFormatOnly(format, [&] { return SignStream(*this, party, in, out, false); }); };
  return RunMessageSlot("sign_stream_a", operation,
                        [&](VexorCallBack& cb, int32_t rc) { return cb.OnSign(party, in, out, rc); });
}

int32_t IVexorImpl::sign_stream_d(const CertPartyParam& party, std::istream& in, std::ostream& out,
                                  int32_t format) {
  const auto operation = [&] { return StandardFormatOnly(format, [&] { return SignStream(*this, party, in, out, true); }); };
  return RunMessageSlot("sign_stream_d", operation,
                        [&](VexorCallBack& cb, int32_t rc) { return cb.OnSign(party, in, out, rc); });
}

int32_t IVexorImpl::check_stream_a(std::istream& signedData, SignerCheckList& signers, int32_t format) {
  const auto operation = [&] { return StandardFormatOnly(format, [&] { return CheckBySubject(*this, signedData, nullptr, signers, false); }); };
  return RunMessageSlot("check_stream_a", operation, [&](VexorCallBack& cb, int32_t rc) {
    return cb.OnCheck(signedData, nullptr, nullptr, signers, 0, rc);
  });
}

int32_t IVexorImpl::check_stream_a(std::istream& signedData, SignerCheckList& signers, std::ostream& content,
                                   uint32_t passThrough, int32_t format) {
  const auto operation = [&] { return StandardFormatOnly(format, [&] { return CheckByCertificate(*this, signedData, nullptr, &content, signers, false); }); };
  return RunMessageSlot("check_stream_a", operation, [&](VexorCallBack& cb, int32_t rc) {
    return cb.OnCheck(signedData, nullptr, nullptr, signers, passThrough, rc);
  });
}

int32_t IVexorImpl::check_stream_a(std::istream& signedData, SignerCheckList& signers, uint32_t passThrough,
                                   int32_t format) {
  const auto operation = [&] { return StandardFormatOnly(format, [&] { return CheckByCertificate(*this, signedData, nullptr, nullptr, signers, false); }); };
  return RunMessageSlot("check_stream_a", operation, [&](VexorCallBack& cb, int32_t rc) {
    return cb.OnCheck(signedData, nullptr, nullptr, signers, passThrough, rc);
  });
}

int32_t IVexorImpl::check_stream_d(std::istream& signedData, std::istream& content, SignerCheckList& signers,
                                   int32_t format) {
  const auto operation = [&] { return StandardFormatOnly(format, [&] { return CheckBySubject(*this, signedData, &content, signers, true); }); };
  return RunMessageSlot("check_stream_d", operation, [&](VexorCallBack& cb, int32_t rc) {
    return cb.OnCheck(signedData, &content, nullptr, signers, 0, rc);
  });
}

int32_t IVexorImpl::check_stream_d(std::istream& signedData, std::istream& content, SignerCheckList& signers,
                                   uint32_t passThrough, int32_t format) {
  const auto operation = [&] { return StandardFormatOnly(format, [&] { return CheckByCertificate(*this, signedData, &content, nullptr, signers, true); }); };
  return RunMessageSlot("check_stream_d", operation, [&](VexorCallBack& cb, int32_t rc) {
    return cb.OnCheck(signedData, &content, nullptr, signers, passThrough, rc);
  });
}

int32_t IVexorImpl::unpack_signed_stream(std::istream& signedData, std::ostream& content, int32_t format) {
  const auto operation = [&] { return StandardFormatOnly(format, [&] { return UnpackSignedStream(*this, signedData, content); }); };
  return RunMessageSlot("unpack_signed_stream", operation,
                        [&](VexorCallBack& cb, int32_t rc) { return cb.OnUnpack(signedData, content, rc); });
}

int32_t IVexorImpl::encrypt_stream(std::istream& in, std::ostream& out, const CertPartyList& parties, int32_t) {
  return RunMessageSlot("encrypt_stream", NotServed,
                        [&](VexorCallBack& cb, int32_t rc) { return cb.OnEncrypt(in, out, parties, rc); });
}

int32_t IVexorImpl::decrypt_stream(std::istream& in, std::ostream& out, int32_t) {
  return RunMessageSlot("decrypt_stream", NotServed,
                        [&](VexorCallBack& cb, int32_t rc) { return cb.OnDecrypt(in, out, rc); });
}

int32_t IVexorImpl::extract_signers(std::istream& signedData, std::istream& content, SignerCheckList& signers) {
  CTraceScope scope(log_, "IVexorImpl::extract_signers");
  return ExtractSigners(*this, signedData, content, signers);
}
