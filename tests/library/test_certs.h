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

// The root in Root, the intermediate in CA and the intermediate's CRL in CA: what a user's
// trust setup holds, so a full validity check can succeed.
bool TrustTestPki();

// The UTF-8 text in Windows-1251, written out without the library's converter.
std::string Cp1251(const std::string& utf8);

}  // namespace test_certs
