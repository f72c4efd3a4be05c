// The PKCS#7 (CMS) format's row: signing, verification, unpacking, encryption and decryption.
#include "messages/formats.h"
#include "messages/pkcs7/encrypt.h"
#include "messages/pkcs7/sign.h"
#include "messages/pkcs7/verify.h"

namespace {

int32_t SignAttached(InstanceContext& ctx, const CertPartyParam& party, std::istream& in, std::ostream& out) {
  return SignStream(ctx, party, in, out, false);
}
int32_t SignDetached(InstanceContext& ctx, const CertPartyParam& party, std::istream& in, std::ostream& out) {
  return SignStream(ctx, party, in, out, true);
}
int32_t CheckAttachedBySubject(InstanceContext& ctx, std::istream& data, std::istream* content,
                               SignerCheckList& list) {
  return CheckBySubject(ctx, data, content, list, false);
}
int32_t CheckDetachedBySubject(InstanceContext& ctx, std::istream& data, std::istream* content,
                               SignerCheckList& list) {
  return CheckBySubject(ctx, data, content, list, true);
}
int32_t CheckAttachedByCertificate(InstanceContext& ctx, std::istream& data, std::istream* content,
                                   std::ostream* contentOut, SignerCheckList& list) {
  return CheckByCertificate(ctx, data, content, contentOut, list, false);
}
int32_t CheckDetachedByCertificate(InstanceContext& ctx, std::istream& data, std::istream* content,
                                   std::ostream* contentOut, SignerCheckList& list) {
  return CheckByCertificate(ctx, data, content, contentOut, list, true);
}

}  // namespace

extern const MessageFormat kPkcs7Format = {
    .id = VEXOR_FORMAT_PKCS7,
    .name = "PKCS#7",
    .signAttached = SignAttached,
    .signDetached = SignDetached,
    .checkAttachedBySubject = CheckAttachedBySubject,
    .checkAttachedByCertificate = CheckAttachedByCertificate,
    .checkAttachedByCertificateNoContent = CheckAttachedByCertificate,
    .checkDetachedBySubject = CheckDetachedBySubject,
    .checkDetachedByCertificate = CheckDetachedByCertificate,
    .unpack = UnpackSignedStream,
    .encrypt = EncryptStream,
    .decrypt = DecryptStream,
};
