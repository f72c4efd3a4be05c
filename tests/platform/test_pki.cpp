// Builds the shared test certificates with the openssl command (GOST engine).
#include "test_pki.h"

#include "stores/auto_handle.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace test_pki {
namespace fs = std::filesystem;

RunResult Run(const std::string& command) {
  RunResult r;
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  const int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

Bytes ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& p, const Bytes& data) {
  std::ofstream out(p, std::ios::binary);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

namespace {

const char* kConfig = R"([ ca ]
default_ca = ica

[ ica ]
dir = @DIR@
database = $dir/index.txt
new_certs_dir = $dir/issued
certificate = $dir/intermediate.pem
private_key = $dir/intermediate.key
serial = $dir/serial
crlnumber = $dir/crlnumber
default_md = default
default_days = 365
default_crl_days = 30
policy = any
unique_subject = no
email_in_dn = yes
copy_extensions = none
x509_extensions = user_ext

[ any ]
countryName = optional
organizationName = optional
organizationalUnitName = optional
commonName = supplied
emailAddress = optional

[ req ]
distinguished_name = dn
string_mask = utf8only
utf8 = yes
[ dn ]

[ root_ext ]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash

[ ca_ext ]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid

[ user_ext ]
basicConstraints = CA:FALSE
keyUsage = digitalSignature, nonRepudiation, keyEncipherment, keyAgreement
extendedKeyUsage = clientAuth, emailProtection
crlDistributionPoints = URI:http://crl.example.test/intermediate.crl
certificatePolicies = 1.2.643.100.113.1
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid

[ mail_ext ]
basicConstraints = CA:FALSE
keyUsage = digitalSignature, keyEncipherment
subjectAltName = email:user@example.test, DNS:mail.example.test
)";

std::string Quote(const fs::path& p) { return "'" + p.string() + "'"; }

}  // namespace

const Pki& Pki::Get() {
  static Pki* pki = [] {
    auto* p = new Pki;
    p->Build();
    return p;
  }();
  return *pki;
}

void Pki::Build() {
  char tmpl[] = "/tmp/vexor-pki-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) {
    error = "mkdtemp failed";
    return;
  }
  dir = tmpl;
  const fs::path top = dir;
  // The keys are test material; remove them with the process.
  static fs::path cleanup = top;
  std::atexit([] {
    std::error_code ec;
    fs::remove_all(cleanup, ec);
  });
  fs::create_directories(dir / "issued");
  std::string config = kConfig;
  config.replace(config.find("@DIR@"), 5, dir.string());
  openssl_config = dir / "openssl.cnf";
  WriteFile(openssl_config, Bytes(config.begin(), config.end()));
  WriteFile(dir / "index.txt", {});
  const std::string serial = "1000\n";
  WriteFile(dir / "serial", Bytes(serial.begin(), serial.end()));
  WriteFile(dir / "crlnumber", Bytes(serial.begin(), serial.end()));

  const std::string ossl = "OPENSSL_CONF=" + Quote(openssl_config) + " openssl ";
  auto run = [&](const std::string& cmd) {
    if (!error.empty()) return;
    const RunResult r = Run(ossl + cmd + " 2>&1");
    if (r.status != 0) error = "openssl " + cmd + ":\n" + r.out;
  };
  auto gost_key = [&](const fs::path& key, const char* paramset) {
    run("genpkey -engine gost -algorithm gost2001 -pkeyopt paramset:" + std::string(paramset) +
        " -out " + Quote(key));
  };
  auto load = [&](Cert& c) {
    if (!error.empty()) return;
    run("x509 -engine gost -in " + Quote(c.pem) + " -outform DER -out " + Quote(c.pem.string() + ".der"));
    c.der = ReadFile(c.pem.string() + ".der");
    if (c.der.empty() && error.empty()) error = "no certificate in " + c.pem.string();
  };
  // A user issued by the intermediate; dates empty for the default validity.
  auto issue = [&](Cert& c, const std::string& name, const std::string& subject, const char* paramset,
                   const std::string& extra) {
    c.key = dir / (name + ".key");
    c.pem = dir / (name + ".pem");
    if (paramset != nullptr)
      gost_key(c.key, paramset);
    else
      run("genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " + Quote(c.key));
    const fs::path csr = dir / (name + ".csr");
    run("req -engine gost -new -utf8 -key " + Quote(c.key) + " -subj '" + subject + "' -out " + Quote(csr));
    run("ca -engine gost -batch -utf8 -notext -in " + Quote(csr) + " -out " + Quote(c.pem) + " " + extra);
    load(c);
  };

  root.key = dir / "root.key";
  root.pem = dir / "root.pem";
  gost_key(root.key, "A");
  run("req -engine gost -x509 -new -utf8 -key " + Quote(root.key) +
      " -subj '/C=RU/O=Vexor Test/CN=Vexor Test Root CA' -days 3650 -extensions root_ext -out " +
      Quote(root.pem));
  load(root);

  intermediate.key = dir / "intermediate.key";
  intermediate.pem = dir / "intermediate.pem";
  gost_key(intermediate.key, "A");
  const fs::path ica_csr = dir / "intermediate.csr";
  run("req -engine gost -new -utf8 -key " + Quote(intermediate.key) +
      " -subj '/C=RU/O=Vexor Test/CN=Vexor Test Intermediate CA' -out " + Quote(ica_csr));
  run("x509 -engine gost -req -in " + Quote(ica_csr) + " -CA " + Quote(root.pem) + " -CAkey " +
      Quote(root.key) + " -set_serial 2 -days 3000 -extfile " + Quote(openssl_config) +
      " -extensions ca_ext -out " + Quote(intermediate.pem));
  load(intermediate);

  issue(user_a, "user_a", "/C=RU/O=ООО Ромашка/OU=Бухгалтерия/CN=Иванов Иван Иванович", "A", "");
  issue(user_xa, "user_xa", "/C=RU/O=Vexor Test/CN=User XA", "XA", "");
  issue(user_email, "user_email", "/C=RU/O=Vexor Test/CN=Mail User/emailAddress=user@example.test", "A",
        "-extensions mail_ext");
  issue(expired, "expired", "/C=RU/O=Vexor Test/CN=Expired User", "A",
        "-startdate 20200101000000Z -enddate 20210101000000Z");
  issue(not_yet_valid, "not_yet_valid", "/C=RU/O=Vexor Test/CN=Future User", "A",
        "-startdate 20450101000000Z -enddate 20460101000000Z");
  issue(rsa, "rsa", "/C=RU/O=Vexor Test/CN=RSA User", nullptr, "");
  issue(revoked, "revoked", "/C=RU/O=Vexor Test/CN=Revoked User", "A", "");
  run("ca -engine gost -batch -revoke " + Quote(revoked.pem) + " -crl_reason keyCompromise");
  crl_pem = dir / "intermediate.crl.pem";
  run("ca -engine gost -batch -gencrl -out " + Quote(crl_pem));
  run("crl -in " + Quote(crl_pem) + " -outform DER -out " + Quote(dir / "intermediate.crl"));
  if (error.empty()) crl = ReadFile(dir / "intermediate.crl");
}

bool AddToSystemStore(const char* store, const Bytes& der) {
  const auto_store h(CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, store));
  return h && CertAddEncodedCertificateToStore(h.get(), X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                                               CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
}

bool TrustTestRoot() {
  const Pki& pki = Pki::Get();
  return pki.ok() && AddToSystemStore("Root", pki.root.der) && AddToSystemStore("CA", pki.intermediate.der);
}

bool InstallWithKey(const Cert& cert, const std::string& container) {
  const Bytes key = ReadFile(cert.key);
  if (key.empty() ||
      !CryptImportPKCS8ToContainerA(container.c_str(), key.data(), static_cast<DWORD>(key.size()), nullptr, 0))
    return false;
  const auto_store my(CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "My"));
  auto_cert ctx;
  if (!my || !CertAddEncodedCertificateToStore(my.get(), X509_ASN_ENCODING, cert.der.data(),
                                               static_cast<DWORD>(cert.der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                               ctx.put()))
    return false;
  std::u16string wide_container(container.begin(), container.end());
  const std::string prov_name = VEXOR_GOST_PROV_NAME_A;
  std::u16string wide_prov(prov_name.begin(), prov_name.end());
  CRYPT_KEY_PROV_INFO info{};
  info.pwszContainerName = wide_container.data();
  info.pwszProvName = wide_prov.data();
  info.dwProvType = PROV_GOST_2001_DH;
  info.dwKeySpec = AT_KEYEXCHANGE;
  return CertSetCertificateContextProperty(ctx.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info);
}

Bytes MakeSelfSigned(long serial, const std::string& common_name, long not_before_offset_days,
                     const std::string& crl_url) {
  static EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* x = X509_new();
  Bytes out;
  if (x == nullptr || key == nullptr) return out;
  X509_set_version(x, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x), serial);
  X509_gmtime_adj(X509_getm_notBefore(x), not_before_offset_days * 86400L);
  X509_gmtime_adj(X509_getm_notAfter(x), (not_before_offset_days + 365) * 86400L);
  X509_NAME* name = X509_get_subject_name(x);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(common_name.c_str()),
                             -1, -1, 0);
  X509_set_issuer_name(x, name);
  X509_set_pubkey(x, key);
  if (!crl_url.empty()) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, nullptr, NID_crl_distribution_points, ("URI:" + crl_url).c_str());
    if (ext != nullptr) X509_add_ext(x, ext, -1);
    X509_EXTENSION_free(ext);
  }
  if (X509_sign(x, key, EVP_sha256()) > 0) {
    unsigned char* der = nullptr;
    const int len = i2d_X509(x, &der);
    if (len > 0) out.assign(der, der + len);
    OPENSSL_free(der);
  }
  X509_free(x);
  return out;
}

}  // namespace test_pki
