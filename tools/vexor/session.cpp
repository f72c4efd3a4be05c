#include "tools/vexor/session.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <filesystem>

#include "text/text.h"

Session::Session(const Args& args, bool with_callback)
    : library_(args.get("library")), callback_(args.has("verbose")), object_(nullptr, {nullptr}) {
  if (!library_.loaded()) {
    PrintError("cannot load the library: " + library_.error());
    return;
  }
  const std::string dir = WorkingDirectory(args);
  object_ = library_.create();
  if (!object_) {
    PrintError("cannot create the operation object");
    return;
  }
  const int32_t rc = object_->Init(text::Utf8ToCp1251(dir).c_str(), with_callback ? &callback_ : nullptr,
                                    CERT_SYSTEM_STORE_CURRENT_USER);
  if (rc != 0) {
    PrintError("Init(" + dir + ") = " + std::to_string(rc) + ": " + text::Cp1251ToUtf8(object_->GetErrorText(rc)));
    object_.reset();
  }
}

int32_t Session::Run(const std::string& what, const std::function<int32_t()>& call) {
  int32_t rc = 0;
  callback_.lastReason.clear();
  try {
    rc = call();
    if (rc != 0) PrintError(what + ": " + std::to_string(rc) + ": " + text::Cp1251ToUtf8(object_->GetErrorText(rc)));
  } catch (const CryptoOperations::baseCryptoException& e) {
    rc = e.code();
    PrintError(what + ": " + std::to_string(rc) + ": " + text::Cp1251ToUtf8(e.what()));
  } catch (const std::exception& e) {
    rc = 9;
    PrintError(what + ": " + e.what());
  }
  // The platform's reason, which the result code alone does not tell (a wrong PIN and a
  // missing key are both 27).
  if (rc != 0 && !callback_.lastReason.empty()) {
    PrintError("  " + callback_.lastReason);
    if (callback_.lastReason.find("0x80090010") != std::string::npos)
      PrintError("  a key file must belong to the user, be readable by nobody else (chmod 600) and not be a link");
  }
  return rc;
}

CertPartyParam PartyFromText(const std::string& text) {
  CertPartyParam party;
  const std::string cp = text::Utf8ToCp1251(text);
  if (cp.find('@') != std::string::npos) {
    party.email = cp;
    return party;
  }
  std::string compact;
  for (char c : cp)
    if (c != ' ') compact += c;
  bool hex = compact.size() == 40;
  for (char c : compact) hex = hex && std::isxdigit(static_cast<unsigned char>(c));
  if (hex)
    party.thumbprint = cp;
  else
    party.subjectCN = cp;
  return party;
}

void PrintError(const std::string& message) { std::fprintf(stderr, "vexor: %s\n", message.c_str()); }
