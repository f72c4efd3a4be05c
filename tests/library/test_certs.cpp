#include "test_certs.h"

#include <atomic>

#include "stores/auto_handle.h"

namespace test_certs {

namespace fs = std::filesystem;

std::string OpensslDate(long offset_seconds) {
  const time_t t = time(nullptr) + offset_seconds;
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  strftime(buf, sizeof buf, "%Y%m%d%H%M%SZ", &tm);
  return buf;
}

test_pki::Cert IssueUser(const std::string& name, const std::string& subject, const std::string& start,
                         const std::string& end, std::string& error) {
  const test_pki::Pki& pki = test_pki::Pki::Get();
  test_pki::Cert c;
  if (!pki.ok()) {
    error = pki.error;
    return c;
  }
  static std::atomic<int> counter{0};
  const std::string stem = name + "-" + std::to_string(counter++);
  c.key = pki.dir / (stem + ".key");
  c.pem = pki.dir / (stem + ".pem");
  const fs::path csr = pki.dir / (stem + ".csr");
  const std::string ossl = "OPENSSL_CONF='" + pki.openssl_config.string() + "' openssl ";
  const std::string commands[] = {
      "genpkey -engine gost -algorithm gost2001 -pkeyopt paramset:A -out '" + c.key.string() + "'",
      "req -engine gost -new -utf8 -key '" + c.key.string() + "' -subj '" + subject + "' -out '" + csr.string() + "'",
      "ca -engine gost -batch -utf8 -notext -startdate " + start + " -enddate " + end + " -in '" + csr.string() +
          "' -out '" + c.pem.string() + "'",
      "x509 -in '" + c.pem.string() + "' -outform DER -out '" + c.pem.string() + ".der'",
  };
  for (const std::string& cmd : commands) {
    const test_pki::RunResult r = test_pki::Run(ossl + cmd + " 2>&1");
    if (r.status != 0) {
      error = cmd + ":\n" + r.out;
      return test_pki::Cert{};
    }
  }
  c.der = test_pki::ReadFile(c.pem.string() + ".der");
  if (c.der.empty()) error = "no certificate in " + c.pem.string();
  return c;
}

test_pki::Bytes MakeCrl(const test_pki::Cert& ca, const std::string& index, const std::string& last,
                        const std::string& next, std::string& error) {
  static std::atomic<int> counter{0};
  const fs::path dir = test_pki::Pki::Get().dir / ("crl-" + std::to_string(counter++));
  fs::create_directories(dir);
  const std::string database = (dir / "index.txt").string(), number = (dir / "crlnumber").string();
  test_pki::WriteFile(database, test_pki::Bytes(index.begin(), index.end()));
  const std::string first = "2000\n";
  test_pki::WriteFile(number, test_pki::Bytes(first.begin(), first.end()));
  const std::string config = "[ ca ]\ndefault_ca = test\n[ test ]\ndatabase = " + database + "\ncrlnumber = " + number +
                             "\nunique_subject = no\ndefault_md = md_gost94\ndefault_crl_days = 30\n";
  test_pki::WriteFile(dir / "ca.cnf", test_pki::Bytes(config.begin(), config.end()));
  const test_pki::RunResult r = test_pki::Run(
      "cd '" + dir.string() + "' && openssl ca -engine gost -batch -gencrl -config ca.cnf -keyfile '" +
      ca.key.string() + "' -cert '" + ca.pem.string() + "' -crl_lastupdate " + last + " -crl_nextupdate " + next +
      " -out crl.pem 2>&1 && openssl crl -in crl.pem -outform DER -out crl.der 2>&1");
  if (r.status != 0) {
    error = r.out;
    return {};
  }
  return test_pki::ReadFile(dir / "crl.der");
}

std::string SerialOf(const test_pki::Cert& cert) {
  const std::string out = test_pki::Run("openssl x509 -noout -serial -in '" + cert.pem.string() + "'").out;
  const size_t eq = out.find('=');
  return eq == std::string::npos ? "" : out.substr(eq + 1, out.find('\n') - eq - 1);
}

std::string RevokedEntry(const test_pki::Cert& cert) {
  // Dates in the database's two-digit-year form.
  return "R\t491231235959Z\t" + OpensslDate(-3600).substr(2) + "\t" + SerialOf(cert) + "\tunknown\t/CN=revoked\n";
}

test_pki::Cert MakeAuthority(const std::string& name, const std::string& subject, std::string& error) {
  test_pki::Cert c;
  const fs::path dir = test_pki::Pki::Get().dir;
  c.key = dir / (name + ".key");
  c.pem = dir / (name + ".pem");
  // The test CA's configuration, so that the names are encoded as the test CA's are.
  const std::string ossl = "OPENSSL_CONF='" + test_pki::Pki::Get().openssl_config.string() + "' openssl ";
  const test_pki::RunResult r = test_pki::Run(
      ossl + "genpkey -engine gost -algorithm gost2001 -pkeyopt paramset:A -out '" + c.key.string() +
      "' 2>&1 && " + ossl + "req -engine gost -x509 -new -utf8 -key '" + c.key.string() + "' -subj '" + subject +
      "' -days 30 -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign -out '" +
      c.pem.string() + "' 2>&1 && openssl x509 -in '" + c.pem.string() + "' -outform DER -out '" + c.pem.string() +
      ".der' 2>&1");
  if (r.status != 0) {
    error = r.out;
    return {};
  }
  c.der = test_pki::ReadFile(c.pem.string() + ".der");
  return c;
}

bool TrustTestPki() {
  const test_pki::Pki& pki = test_pki::Pki::Get();
  if (!test_pki::TrustTestRoot()) return false;
  const auto_store ca(CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "CA"));
  return ca && CertAddEncodedCRLToStore(ca.get(), X509_ASN_ENCODING, pki.crl.data(),
                                        static_cast<DWORD>(pki.crl.size()), CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
}

std::string Cp1251(const std::string& utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size();) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    // Two-byte sequences only: Cyrillic U+0410..U+044F and Ё/ё are all these tests use.
    const unsigned cp = ((c & 0x1F) << 6) | (static_cast<unsigned char>(utf8[i + 1]) & 0x3F);
    if (cp >= 0x410 && cp <= 0x44F)
      out += static_cast<char>(0xC0 + (cp - 0x410));
    else if (cp == 0x401)
      out += '\xA8';
    else if (cp == 0x451)
      out += '\xB8';
    else
      out += '?';
    i += 2;
  }
  return out;
}

}  // namespace test_certs
