// The public message operations: each runs through one wrapper that writes the trace pair,
// finds the operation of the requested format in the format table and hands the result to
// the host's post-hook. A format without the operation answers 1 and skips the post-hook.
#include "frame/vexor_impl.h"

#include "call/result_codes.h"
#include "messages/f141/file_parties.h"
#include "messages/formats.h"
#include "messages/pkcs7/signers.h"

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

// Runs the format's entry in a new call context; nullopt when the format or the entry is
// missing (no context is made then).
template <typename Entry, typename Invoke>
std::optional<int32_t> RunFormat(IVexorImpl& obj, int32_t format, Entry MessageFormat::*entry, Invoke&& invoke) {
  const MessageFormat* row = FindMessageFormat(format);
  if (row == nullptr || row->*entry == nullptr) return std::nullopt;
  InstanceContext ctx = obj.NewCall();
  return invoke(row->*entry, ctx);
}

}  // namespace

int32_t IVexorImpl::sign_stream_a(const CertPartyParam& party, std::istream& in, std::ostream& out,
                                  int32_t format) {
  const auto operation = [&] {
    return RunFormat(*this, format, &MessageFormat::signAttached,
                     [&](MessageFormat::Sign sign, InstanceContext& ctx) { return sign(ctx, party, in, out); });
  };
  return RunMessageSlot("sign_stream_a", operation,
                        [&](VexorCallBack& cb, int32_t rc) { return cb.OnSign(party, in, out, rc); });
}

int32_t IVexorImpl::sign_stream_d(const CertPartyParam& party, std::istream& in, std::ostream& out,
                                  int32_t format) {
  const auto operation = [&] {
    return RunFormat(*this, format, &MessageFormat::signDetached,
                     [&](MessageFormat::Sign sign, InstanceContext& ctx) { return sign(ctx, party, in, out); });
  };
  return RunMessageSlot("sign_stream_d", operation,
                        [&](VexorCallBack& cb, int32_t rc) { return cb.OnSign(party, in, out, rc); });
}

int32_t IVexorImpl::check_stream_a(std::istream& signedData, SignerCheckList& signers, int32_t format) {
  const auto operation = [&] {
    return RunFormat(*this, format, &MessageFormat::checkAttachedBySubject,
                     [&](MessageFormat::CheckBySubject check, InstanceContext& ctx) {
                       return check(ctx, signedData, nullptr, signers);
                     });
  };
  return RunMessageSlot("check_stream_a", operation, [&](VexorCallBack& cb, int32_t rc) {
    return cb.OnCheck(signedData, nullptr, nullptr, signers, 0, rc);
  });
}

int32_t IVexorImpl::check_stream_a(std::istream& signedData, SignerCheckList& signers, std::ostream& content,
                                   uint32_t passThrough, int32_t format) {
  const auto operation = [&] {
    return RunFormat(*this, format, &MessageFormat::checkAttachedByCertificate,
                     [&](MessageFormat::CheckByCertificate check, InstanceContext& ctx) {
                       return check(ctx, signedData, nullptr, &content, signers);
                     });
  };
  return RunMessageSlot("check_stream_a", operation, [&](VexorCallBack& cb, int32_t rc) {
    return cb.OnCheck(signedData, nullptr, nullptr, signers, passThrough, rc);
  });
}

int32_t IVexorImpl::check_stream_a(std::istream& signedData, SignerCheckList& signers, uint32_t passThrough,
                                   int32_t format) {
  const auto operation = [&] {
    return RunFormat(*this, format, &MessageFormat::checkAttachedByCertificateNoContent,
                     [&](MessageFormat::CheckByCertificate check, InstanceContext& ctx) {
                       return check(ctx, signedData, nullptr, nullptr, signers);
                     });
  };
  return RunMessageSlot("check_stream_a", operation, [&](VexorCallBack& cb, int32_t rc) {
    return cb.OnCheck(signedData, nullptr, nullptr, signers, passThrough, rc);
  });
}

int32_t IVexorImpl::check_stream_d(std::istream& signedData, std::istream& content, SignerCheckList& signers,
                                   int32_t format) {
  const auto operation = [&] {
    return RunFormat(*this, format, &MessageFormat::checkDetachedBySubject,
                     [&](MessageFormat::CheckBySubject check, InstanceContext& ctx) {
                       return check(ctx, signedData, &content, signers);
                     });
  };
  return RunMessageSlot("check_stream_d", operation, [&](VexorCallBack& cb, int32_t rc) {
    return cb.OnCheck(signedData, &content, nullptr, signers, 0, rc);
  });
}

int32_t IVexorImpl::check_stream_d(std::istream& signedData, std::istream& content, SignerCheckList& signers,
                                   uint32_t passThrough, int32_t format) {
  const auto operation = [&] {
    return RunFormat(*this, format, &MessageFormat::checkDetachedByCertificate,
                     [&](MessageFormat::CheckByCertificate check, InstanceContext& ctx) {
                       return check(ctx, signedData, &content, nullptr, signers);
                     });
  };
  return RunMessageSlot("check_stream_d", operation, [&](VexorCallBack& cb, int32_t rc) {
    return cb.OnCheck(signedData, &content, nullptr, signers, passThrough, rc);
  });
}

int32_t IVexorImpl::unpack_signed_stream(std::istream& signedData, std::ostream& content, int32_t format) {
  const auto operation = [&] {
    return RunFormat(*this, format, &MessageFormat::unpack, [&](MessageFormat::Unpack unpack, InstanceContext& ctx) {
      return unpack(ctx, signedData, content);
    });
  };
  return RunMessageSlot("unpack_signed_stream", operation,
                        [&](VexorCallBack& cb, int32_t rc) { return cb.OnUnpack(signedData, content, rc); });
}

int32_t IVexorImpl::encrypt_stream(std::istream& in, std::ostream& out, const CertPartyList& parties, int32_t format) {
  const auto operation = [&] {
    return RunFormat(*this, format, &MessageFormat::encrypt, [&](MessageFormat::Encrypt encrypt, InstanceContext& ctx) {
      return encrypt(ctx, in, out, parties);
    });
  };
  return RunMessageSlot("encrypt_stream", operation,
                        [&](VexorCallBack& cb, int32_t rc) { return cb.OnEncrypt(in, out, parties, rc); });
}

int32_t IVexorImpl::decrypt_stream(std::istream& in, std::ostream& out, int32_t format) {
  const auto operation = [&] {
    return RunFormat(*this, format, &MessageFormat::decrypt, [&](MessageFormat::Decrypt decrypt, InstanceContext& ctx) {
      return decrypt(ctx, in, out);
    });
  };
  return RunMessageSlot("decrypt_stream", operation,
                        [&](VexorCallBack& cb, int32_t rc) { return cb.OnDecrypt(in, out, rc); });
}

int32_t IVexorImpl::extract_signers(std::istream& signedData, std::istream& content, SignerCheckList& signers) {
  CTraceScope scope(log_, "IVexorImpl::extract_signers");
  InstanceContext ctx = NewCall();
  return ExtractSigners(ctx, signedData, content, signers);
}

int32_t IVexorImpl::GetFileParties(const char* path, FileParties* parties) {
  CTraceScope scope(log_, "IVexorImpl::GetFileParties");
  if (parties == nullptr) return RC_BAD_PARAMETER;
  InstanceContext ctx = NewCall();
  return ReadFileParties(ctx, path, parties);
}
