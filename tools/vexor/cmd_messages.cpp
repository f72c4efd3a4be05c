// Message commands: sign, verify, unpack, signers.
#include <cmath>
#include <cstdio>
#include <ctime>
#include <sstream>

#include "support/cp1251.h"
#include "tools/vexor/certificates.h"
#include "tools/vexor/commands.h"
#include "tools/vexor/io.h"
#include "tools/vexor/session.h"

namespace {

int32_t ParseFormat(const std::string& name) {
  if (name.empty() || name == "pkcs7") return VEXOR_FORMAT_PKCS7;
  if (name == "141") return VEXOR_FORMAT_141;
  if (name == "xml") return VEXOR_FORMAT_XML;
  return -1;
}

// A DATE (days since 1899-12-30, local time) as "dd.mm.yyyy HH:MM:SS".
std::string DateText(DATE date) {
  if (date == 0) return "-";
  const time_t t = static_cast<time_t>(std::llround((date - 25569.0) * 86400.0));
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof(text), "%d.%m.%Y %H:%M:%S", &tm);
  return text;
}

void PrintSigners(const SignerCheckList& list) {
  for (const SignerCheckResult& r : list.items) {
    std::printf("signer: signature %s, certificate %s, signed %s\n  %s\n  %s\n",
                r.signValid ? "valid" : "INVALID", r.certValid ? "valid" : "INVALID", DateText(r.signTime).c_str(),
                Cp1251ToUtf8(r.subjectCN).c_str(), r.thumbprint.c_str());
  }
}

// What failed to open among the command's input and output, printed; its exit status or 0.
int OpenFailure(const Args& args, const Input& in, const Output* out) {
  if (!in.ok()) {
    PrintError("cannot read " + args.get("in"));
    return 4;
  }
  if (out != nullptr && !out->ok()) {
    PrintError("cannot write " + args.get("out"));
    return 5;
  }
  return 0;
}

// The --format option, printed when unknown (-1).
int32_t FormatOption(const Args& args) {
  const int32_t format = ParseFormat(args.get("format"));
  if (format < 0) PrintError("unknown format " + args.get("format"));
  return format;
}

SignerCheckList ExpectedSigners(const Args& args) {
  SignerCheckList list;
  for (const std::string& id : args.all("expect")) {
    SignerCheckResult r;
    static_cast<CertPartyParam&>(r) = PartyFromText(id);
    list.items.push_back(r);
  }
  list.checkValidity = args.has("check-validity");
  return list;
}

}  // namespace

int RunSign(const Args& args) {
  const int32_t format = FormatOption(args);
  if (format < 0) return 49;
  if (!args.has("signer")) {
    PrintError("sign needs --signer");
    return 49;
  }
  Input in(args.get("in"), "signing");
  Output out(args.get("out"));
  if (const int failure = OpenFailure(args, in, &out)) return failure;
  Session session(args);
  if (!session.ok()) return 1;
  const CertPartyParam party = PartyFromText(args.get("signer"));
  const bool detached = args.has("detached");
  const int32_t rc = session.Run(detached ? "sign_stream_d" : "sign_stream_a", [&] {
    return detached ? session.vexor().sign_stream_d(party, in.stream(), out.stream(), format)
                    : session.vexor().sign_stream_a(party, in.stream(), out.stream(), format);
  });
  if (rc == 0 && !out.commit()) {
    PrintError("cannot write " + args.get("out"));
    return 5;
  }
  return rc;
}

int RunVerify(const Args& args) {
  const int32_t format = FormatOption(args);
  if (format < 0) return 49;
  Input in(args.get("in"), "verifying");
  if (const int failure = OpenFailure(args, in, nullptr)) return failure;
  Session session(args);
  if (!session.ok()) return 1;
  SignerCheckList list = ExpectedSigners(args);
  const bool expected = args.has("expect") || args.has("check-validity");
  int32_t rc;
  if (args.has("content")) {
    Input content(args.get("content"), "content");
    if (!content.ok()) {
      PrintError("cannot read " + args.get("content"));
      return 4;
    }
    rc = session.Run("check_stream_d", [&] {
      return expected ? session.vexor().check_stream_d(in.stream(), content.stream(), list, 0, format)
                      : session.vexor().check_stream_d(in.stream(), content.stream(), list, format);
    });
  } else if (args.has("out") || expected) {
    Output out(args.get("out", "/dev/null"));
    rc = session.Run("check_stream_a",
                     [&] { return session.vexor().check_stream_a(in.stream(), list, out.stream(), 0, format); });
    if (rc == 0 && !out.commit()) {
      PrintError("cannot write " + args.get("out"));
      return 5;
    }
  } else {
    rc = session.Run("check_stream_a", [&] { return session.vexor().check_stream_a(in.stream(), list, format); });
  }
  PrintSigners(list);
  if (rc == 0) {
    for (const SignerCheckResult& r : list.items)
      if (!r.signValid) return 14;
  }
  return rc;
}

int RunUnpack(const Args& args) {
  Input in(args.get("in"), "unpacking");
  Output out(args.get("out"));
  if (const int failure = OpenFailure(args, in, &out)) return failure;
  Session session(args);
  if (!session.ok()) return 1;
  const int32_t rc = session.Run("unpack_signed_stream", [&] {
    return session.vexor().unpack_signed_stream(in.stream(), out.stream(), VEXOR_FORMAT_PKCS7);
  });
  if (rc == 0 && !out.commit()) return 5;
  return rc;
}

int RunSigners(const Args& args) {
  Input in(args.get("in"));
  Input content(args.get("content", "/dev/null"));
  if (!in.ok() || !content.ok()) {
    PrintError("cannot read the inputs");
    return 4;
  }
  Session session(args);
  if (!session.ok()) return 1;
  SignerCheckList list;
  const int32_t rc = session.Run(
      "extract_signers", [&] { return session.vexor().extract_signers(in.stream(), content.stream(), list); });
  for (SignerCheckResult& r : list.items) {
    std::printf("signer: signature %s\n", r.signValid ? "valid" : "INVALID");
    if (r.cert != nullptr) {
      std::printf("  %s\n", DescribeCertificate(r.cert).c_str());
      CertFreeCertificateContext(r.cert);
      r.cert = nullptr;
    }
  }
  return rc;
}
