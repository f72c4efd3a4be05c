// libFuzzer target: the library's own text readers on hostile bytes - the settings readers
// (Vexor.ini and app.info as the working directory holds them, the profile-string reader),
// the lenient Base64 decoder, the hex reader, the PEM marker search, the party head of a
// "141" file and the certificate/CRL decoder that imports and downloaded lists go through. The first byte picks
// the reader; the rest is the file or text.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "tests/common/standalone_call.h"
#include "frame/profile_string.h"
#include "messages/f141/file_parties.h"
#include "frame/settings.h"
#include "certs/import.h"
#include "frame/settings_file.h"
#include "support/bindata.h"

namespace {

// One scratch directory for the process, holding the files a run writes: inside the home the
// replay driver makes (and removes), else a folder of its own.
const std::string& Scratch() {
  static const std::string dir = [] {
    if (const char* home = std::getenv("VEXOR_CSP_HOME")) return std::string(home);
    char templ[] = "/tmp/vexor-fuzz-text-XXXXXX";
    const char* made = mkdtemp(templ);
    return std::string(made != nullptr ? made : "/tmp");
  }();
  return dir;
}

void Write(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 1 << 16) return 0;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  switch (data[0] % 6) {
    case 0: {  // the working directory's settings files
      Write(Scratch() + "/Vexor.ini", text);
      Write(Scratch() + "/app.info", text);
      OptionBlock options;
      bool family = false;
      ReadSettings(Scratch(), options, family);
      break;
    }
    case 1: {  // profile strings and the settings file reader
      Write(Scratch() + "/p.ini", text);
      GetProfileString(Scratch() + "/p.ini", "Settings", "UseSST", "x", 64);
      GetProfileString(Scratch() + "/p.ini", "Application", "Name", "", 1024);
      CSettingsFile file;
      if (file.Load(Scratch() + "/p.ini", CSettingsFile::kMissingIsEmpty)) file.GetValue("Settings", "LogExtended");
      break;
    }
    case 2: {  // Base64 and hex
      CBinData out;
      CBase64().Decode(text.c_str(), out);
      CBinData hex;
      hex.FromHex(text);
      break;
    }
    case 4: {  // the party head of a "141" file
      Write(Scratch() + "/f.141", text);
      static test_common::StandaloneCall call;
      InstanceContext ctx = call.Make();
      FileParties parties;
      try {
        ReadFileParties(ctx, (Scratch() + "/f.141").c_str(), &parties);
      } catch (const CryptoOperations::baseCryptoException&) {
        // a reported failure: what a malformed head should give
      }
      break;
    }
    case 5: {  // a certificate or revocation list in PEM, bare Base64 or DER
      static test_common::StandaloneCall call;
      InstanceContext ctx = call.Make();
      const CBinData bytes(text.data(), static_cast<uint32_t>(text.size()));
      for (bool crl : {false, true}) {
        try {
          DecodeCertOrCRL(bytes, crl, ctx);
        } catch (const CryptoOperations::baseCryptoException&) {
          // refused with a result code, as bad input should be
        }
      }
      break;
    }
    default: {  // PEM markers
      const CBinData bytes(text.data(), static_cast<uint32_t>(text.size()));
      bytes.Between("-----BEGIN CERTIFICATE-----", "-----END CERTIFICATE-----");
      bytes.Between("-----BEGIN", "-----");
    }
  }
  return 0;
}
