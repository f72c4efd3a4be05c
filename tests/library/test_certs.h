// Certificates the search and signing tests need beyond the shared test PKI: users issued
// by the test intermediate with chosen validity dates, made with the openssl command at
// test time. Shared by the library and host tests.
#pragma once

#include <ctime>
#include <string>

#include "platform/test_pki.h"

namespace test_certs {

// openssl's date form for a moment offset from now, in UTC ("YYYYMMDDHHMMSSZ").
std::string OpensslDate(long offset_seconds);

// A GOST user under the test intermediate with the given subject ("/C=RU/CN=...") and
// validity; dates in OpensslDate form. An empty certificate (der empty) on failure, with
// the reason in error.
test_pki::Cert IssueUser(const std::string& name, const std::string& subject, const std::string& start,
                         const std::string& end, std::string& error);

// A revocation list of `ca` issued at `last` with next update `next` (OpensslDate form), in
// DER, listing what the openssl CA database text `index` marks revoked (empty: nothing).
// Empty on failure, with the reason in error.
test_pki::Bytes MakeCrl(const test_pki::Cert& ca, const std::string& index, const std::string& last,
                        const std::string& next, std::string& error);
// The certificate's serial number in hex, as openssl shows it.
std::string SerialOf(const test_pki::Cert& cert);
// The database line that marks a certificate revoked (since an hour ago).
std::string RevokedEntry(const test_pki::Cert& cert);
// A certification authority of its own key under the given subject, self-signed: with the
// subject of a real one, a look-alike.
test_pki::Cert MakeAuthority(const std::string& name, const std::string& subject, std::string& error);

// The root in Root, the intermediate in CA and the intermediate's CRL in CA: what a user's
// trust setup holds, so a full validity check can succeed.
bool TrustTestPki();

// The UTF-8 text in Windows-1251, written out without the library's converter.
std::string Cp1251(const std::string& utf8);

}  // namespace test_certs
