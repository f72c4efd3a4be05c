#include "messages/pkcs7/encrypt.h"

#include <algorithm>
#include <vector>

#include "certs/crl_check.h"
#include "certs/find_param.h"
#include "certs/search.h"
#include "call/failure.h"
#include "call/result_codes.h"
#include "messages/content_writer.h"
#include "messages/message_feed.h"
#include "messages/parties.h"
#include "messages/pkcs7/encrypt_ex.h"
#include "messages/pkcs7/recipient_key.h"
#include "messages/private_key.h"
#include "messages/stream_io.h"
#include "stores/auto_handle.h"
#include "certs/instance_context.h"
#include "stores/store_set.h"
#include "text/text.h"
#include "support/format.h"
#include "support/read_sized.h"

namespace {

constexpr unsigned long kEncryptStores = CST_MY | CST_EXTERNAL;

// The certificates one party contributes: all matches of a sender, the one found for a
// recipient. 0, or the code of the failure (raised while the raise flag is on); a recipient
// skipped by the host's flag contributes nothing.
int32_t AddPartyCertificates(InstanceContext& ctx, const CertPartyParam& party, vector_cert& list) {
  const bool skip_validity = (ctx.services.runtimeFlags & kFlagSkipRecipientValidity) != 0;
  AUTO_CERTFINDPARAM params;
  FindParams(ctx, party, kEncryptStores, params);
  params.multiSelect = party.isSender;
  params.skipValidity = skip_validity;
  params.searchAllStores = true;
  auto_cert cert;
  const int32_t rc = FindCertInStores(&params, cert.put(), ctx);
  const bool found = (rc == RC_OK && cert) || (skip_validity && !party.isSender && !params.results.empty());
  const std::string who = PartyIdentifier(party);
  if (!found) {
    if (!party.isSender && (ctx.services.runtimeFlags & kFlagSkipMissingRecipients) != 0) {
      ctx.log().Log("Не удалось найти сертификат получателя: %s(%s), на нем шифрование производиться не будет!",
                    who.c_str(), "");
      return RC_OK;
    }
    return ReportFailure(ctx, RC_CERT_NOT_IN_STORE, "Не удалось найти сертификат %s : %s(%s)",
                         text::Utf8ToCp1251(party.isSender ? "отправителя" : "получателя").c_str(), who.c_str(), "");
  }
  if (!params.results.empty()) {
    for (PCCERT_CONTEXT c : params.results) list.push_back(c);
  } else {
    list.push_back(cert.get());
  }
  return RC_OK;
}

// The recipients' serial numbers, most significant byte first, joined by ", ".
std::string JoinSerials(const std::vector<std::string>& serials) {
  std::string text;
  for (const std::string& s : serials) text += s + ", ";
  while (!text.empty() && (text.back() == ',' || text.back() == ' ')) text.pop_back();
  return text;
}

}  // namespace

int32_t EncryptStream(InstanceContext& ctx, std::istream& in, std::ostream& out, const CertPartyList& parties) {
  if (parties.empty()) return ReportFailure(ctx, RC_SENDER_CERT_MISSING, "Не указан(ы) сертификат(ы) шифрования.");
  // Serves the platform way; without it the default provider does.
  auto_prov verify_prov;
  if (!CryptAcquireContextA(verify_prov.put(), nullptr, nullptr, PROV_GOST_2001_DH, CRYPT_VERIFYCONTEXT))
    verify_prov.reset();
  if (const int32_t rc = ctx.stores.Open(kEncryptStores); rc != RC_OK)
    return ReportFailure(ctx, rc, "Не удалось открыть хранилища сертификатов (личное и файловое)");
  CAutoSkipCRLChecker skip_crl(ctx);

  vector_cert recipients;
  HCRYPTPROV prov = verify_prov.get();
  auto_prov sender_prov;
  bool sender_key_taken = false;
  for (const CertPartyParam& party : parties) {
    const size_t before = recipients.size();
    if (const int32_t rc = AddPartyCertificates(ctx, party, recipients); rc != RC_OK) return rc;
    if (party.isSender && prov == 0 && recipients.size() > before) {
      if (!AcquireCertificateKey(ctx, recipients[before], prov, sender_prov))
        return ReportFailure(ctx, RC_PRIVATE_KEY_NOT_FOUND, "Не удалось найти закрытый ключ сертификата отправителя: %s (%s)",
                             PartyIdentifier(party).c_str(), "");
      ReportProvider(ctx.log(), prov);
      sender_key_taken = true;
    }
  }
  if (recipients.empty())
    return ReportFailure(ctx, RC_CERT_NOT_IN_STORE, "Не удалось найти ни одного сертификата для шифрования.");
  if (recipients.size() < 2)
    return ReportFailure(ctx, RC_CERT_NOT_IN_STORE, sender_key_taken ? "Не удалось найти ни одного сертификата отправителя."
                                                                     : "Не удалось найти ни одного сертификата получателя.");

  // An input the message cannot take is refused once, not by both attempts.
  int64_t size = 0;
  if (const int32_t rc = CheckEncryptInput(ctx, in, size)) return rc;
  const std::istream::pos_type entry = in.tellg();
  try {
    const int32_t rc = encrypt_stream_ex_alg(ctx, in, out, prov, recipients, false);
    if (rc != RC_OK) throw CryptoOperations::SystemException(rc, ResultText(rc));
    return RC_OK;
  } catch (...) {
    // The own writer wrote nothing; the platform gets the input from where it was.
  }
  in.clear();
  out.clear();
  in.seekg(entry);
  return encrypt_stream_ex_alg(ctx, in, out, prov, recipients, true);
}

int32_t DecryptStream(InstanceContext& ctx, std::istream& in, std::ostream& out) {
  if (const int32_t rc = ctx.stores.Open(CST_MY); rc != RC_OK) return ReportFailure(ctx, rc, "Не удалось открыть хранилище");
  ContentWriter writer(out);
  auto_msg msg(CryptMsgOpenToDecode(kMsgEncoding, 0, 0, 0, nullptr, writer.StreamInfo(0xFFFFFFFF)));
  if (!msg)
    return ReportFailureWithReason(ctx, RC_MSG_OPEN_ENCODE,
                                   "Не удалось открыть криптографическое сообщение для расшифровывания");

  // A stream that cannot tell its length (a pipe) is read in whole blocks.
  const int64_t length = ProbeStreamLength64(in);
  MessageFeed feed(msg.get(), in,
                   static_cast<size_t>(length < 0 ? kFeedBlockLimit : std::min<int64_t>(length, kFeedBlockLimit)) + 1,
                   &writer);
  if (!feed.Allocate())
    return ReportFailure(ctx, RC_OUT_OF_MEMORY, "Не удалось выделить блок памяти для чтения потока");
  std::vector<std::string> serials;
  if (length >= 0) {
    in.clear();
    in.seekg(0);
  }
  if (length == 0 || in.peek() == std::istream::traits_type::eof()) {
    return ReportFailure(ctx, RC_BAD_MESSAGE_FORMAT, "Неверный формат данных сообщения, сертификаты шифрования: %s", "");
  }

  bool algorithm_known = false;
  DWORD next_recipient = 0;
  uint64_t total = 0;
  RecipientKey key;
  for (;;) {
    const MessageFeed::Block block = feed.Next();
    if (block.size == 0) return ReportFailure(ctx, RC_OUT_OF_MEMORY, "Не удалось загрузить очередной блок данных");
    total += block.size;
    const bool final = block.last || (length > 0 && total == static_cast<uint64_t>(length));
    if (block.failed) return ReportFailure(ctx, RC_MSG_UPDATE, "Ошибка чтения блока данных из потока");
    if (total > static_cast<uint64_t>(ctx.options.MaxDecryptSize))
      return ReportFailure(ctx, RC_OUT_OF_MEMORY, "Размер данных превышает максимальнодопустимый");
    if (feed.Update(final) != 0)
      return ReportFailureWithReason(ctx, RC_MSG_UPDATE, "Не удалось добавить данные из потока в сообщение");

    if (!algorithm_known) {
      std::vector<BYTE> algorithm;
      DWORD size = 0;
      const auto read = [&](BYTE* buffer, DWORD& len) {
        return CryptMsgGetParam(msg.get(), CMSG_ENVELOPE_ALGORITHM_PARAM, 0, buffer, &len) != FALSE;
      };
      const SizedStep step = ReadSized(read, algorithm, size);
      if (step == SizedStep::kSize && GetLastError() == static_cast<DWORD>(CRYPT_E_STREAM_MSG_NOT_READY) && !final)
        continue;
      if (step != SizedStep::kDone)
        return ReportFailureWithReason(ctx, RC_ALGORITHM_LOAD, "Не удалось загрузить используемый алгоритм");
      algorithm_known = true;
    }

    if (!key.found())
      if (const int32_t rc = key.Search(ctx, msg.get(), next_recipient, serials); rc != RC_OK) return rc;

    if (!final) continue;
    if (!key.found())
      return ReportFailure(ctx, RC_BAD_MESSAGE_FORMAT, "Неверный формат данных сообщения, сертификаты шифрования: %s",
                           JoinSerials(serials).c_str());
    if (!key.Decrypt(msg.get()))
      return ReportFailureWithReason(ctx, RC_BAD_MESSAGE_FORMAT,
                                     "Не удалось расшифровать сообщение, сертификаты шифрования: %s",
                                     JoinSerials(serials).c_str());
    return RC_OK;
  }
}
