// One HTTP or HTTPS GET of a revocation list: libcurl with a 10 s connect timeout, an
// overall deadline for the whole transfer (so a server that trickles bytes cannot hold the
// caller), the user agent "Vexor", no cache, a few redirects, HTTPS verified against the system's trust store
// ($SSL_CERT_FILE / $SSL_CERT_DIR name another), proxies from the usual environment, and a
// cap on the body so a hostile server cannot exhaust memory. The body is kept whatever the
// status.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

struct HttpResponse {
  bool transferred = false;  // a response arrived whole
  long status = 0;           // the last response's HTTP status
  std::vector<uint8_t> body;
  std::string error;  // why nothing (or not all) arrived
  std::string request;  // the head of the last request sent, as sent; empty when none was
};

constexpr size_t kMaxCrlBody = size_t(64) << 20;  // 64 MiB

HttpResponse HttpGet(const std::string& url, std::chrono::milliseconds deadline);

// A server that sends nothing for this long is given up on (30 s unless a test says less).
void SetHttpStallTimeout(std::chrono::seconds stall);
