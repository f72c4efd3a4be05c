#include "tools/vexor/pin.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "text/text.h"
#include "tools/vexor/commands.h"
#include "tools/vexor/session.h"

namespace {

// Whether the certificate's key sits in a container that opens only with a PIN.
bool NeedsPin(PCCERT_CONTEXT cert) {
  HCRYPTPROV prov = 0;
  DWORD key_spec = 0;
  BOOL caller_frees = FALSE;
  if (CryptAcquireCertificatePrivateKey(cert, CRYPT_ACQUIRE_SILENT_FLAG, nullptr, &prov, &key_spec, &caller_frees)) {
    if (caller_frees) CryptReleaseContext(prov, 0);
    return false;
  }
  return GetLastError() == static_cast<DWORD>(NTE_SILENT_CONTEXT);
}

// The certificate of My that is `cert`, or the first of My whose key needs a PIN when
// `cert` is null.
PCCERT_CONTEXT PinProtected(PCCERT_CONTEXT cert) {
  HCERTSTORE my = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "My");
  if (my == nullptr) return nullptr;
  PCCERT_CONTEXT found = nullptr;
  if (cert != nullptr) {
    found = CertFindCertificateInStore(my, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, cert, nullptr);
    if (found != nullptr && !NeedsPin(found)) {
      CertFreeCertificateContext(found);
      found = nullptr;
    }
  } else {
    while ((found = CertEnumCertificatesInStore(my, found)) != nullptr)
      if (NeedsPin(found)) break;
  }
  CertCloseStore(my, 0);
  return found;
}

// Reads a line from the terminal with echo off; false without a terminal.
bool AskTerminal(const std::string& prompt, std::string& answer) {
  const int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (tty < 0) return false;
  termios saved{};
  const bool is_terminal = tcgetattr(tty, &saved) == 0;
  if (is_terminal) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(tty, TCSAFLUSH, &quiet);
    if (write(tty, prompt.data(), prompt.size()) < 0) answer.clear();
    char c;
    while (read(tty, &c, 1) == 1 && c != '\n') answer += c;
    tcsetattr(tty, TCSAFLUSH, &saved);
    if (write(tty, "\n", 1) < 0) answer.clear();
  }
  close(tty);
  return is_terminal;
}

// The first line of a PIN file, without a carriage return; 4 (printed) when it cannot be read.
int ReadPinFile(const std::string& path, std::string& pin) {
  std::ifstream file(path);
  if (!file || !std::getline(file, pin)) {
    PrintError("cannot read the PIN from " + path);
    return 4;
  }
  if (!pin.empty() && pin.back() == '\r') pin.pop_back();
  return 0;
}

// Whether a terminal is there to ask on.
bool HasTerminal() {
  const int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (tty < 0) return false;
  const bool is_terminal = isatty(tty) != 0;
  close(tty);
  return is_terminal;
}

}  // namespace

bool MayAskForPin(const Args& args) {
  if (args.has("pin-file")) return false;
  const char* given = std::getenv("VEXOR_CSP_PIN");
  return (given == nullptr || *given == '\0') && HasTerminal();
}

int ProvidePin(const Args& args, PCCERT_CONTEXT signer) {
  if (args.has("pin-file")) {
    std::string pin;
    if (const int rc = ReadPinFile(args.get("pin-file"), pin); rc != 0) return rc;
    setenv("VEXOR_CSP_PIN", pin.c_str(), 1);
    return 0;
  }
  // Without a terminal nothing could be asked: no key container is opened to find out.
  if (!MayAskForPin(args)) return 0;
  PCCERT_CONTEXT protected_cert = PinProtected(signer);
  if (protected_cert == nullptr) return 0;
  char name[256] = "";
  CertGetNameStringA(protected_cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, sizeof name);
  CertFreeCertificateContext(protected_cert);
  std::string pin;
  if (AskTerminal("PIN for the key of " + text::Cp1251ToUtf8(name) + ": ", pin) && !pin.empty())
    setenv("VEXOR_CSP_PIN", pin.c_str(), 1);
  return 0;
}

int InstallPin(const Args& args, std::string& pin) {
  pin.clear();
  if (args.has("no-pin")) {
    if (args.has("pin") || args.has("pin-file")) {
      PrintError("--no-pin and a PIN (--pin, --pin-file) exclude each other");
      return kUsageError;
    }
    return 0;
  }
  bool asked = false;
  if (args.has("pin")) {
    pin = args.get("pin");
  } else if (args.has("pin-file")) {
    if (const int rc = ReadPinFile(args.get("pin-file"), pin); rc != 0) return rc;
  } else if (const char* given = std::getenv("VEXOR_CSP_PIN"); given != nullptr && *given != '\0') {
    pin = given;
  } else {
    std::string again;
    if (!AskTerminal("PIN for the new key: ", pin)) {
      PrintError(
          "store install needs a PIN for the private key: --pin-file FILE, $VEXOR_CSP_PIN or a terminal to ask on "
          "(--no-pin stores the key unprotected)");
      return kUsageError;
    }
    if (!pin.empty() && (!AskTerminal("The PIN again: ", again) || again != pin)) {
      PrintError("the two PINs differ; nothing installed");
      return kUsageError;
    }
    asked = true;
  }
  if (pin.empty()) {
    PrintError(std::string(asked ? "no PIN given" : "the PIN is empty") +
               "; nothing installed (--no-pin stores the key unprotected)");
    return kUsageError;
  }
  return 0;
}
