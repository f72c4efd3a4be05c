#include "certs/http_get.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>

namespace {

std::atomic<long> stall_seconds{30};
constexpr size_t kMaxRequestHead = 16384;

struct Sink {
  std::vector<uint8_t>* body;
  bool too_large = false;
};

size_t Collect(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  const size_t n = size * count;
  if (sink->body->size() + n > kMaxCrlBody) {
    sink->too_large = true;
    return 0;  // makes libcurl stop with a write error
  }
  sink->body->insert(sink->body->end(), data, data + n);
  return n;
}

// Keeps the head of the last request sent: a head that follows a finished one (a redirect's
// request) replaces it.
int KeepRequestHead(CURL*, curl_infotype type, char* data, size_t size, void* user) {
  if (type != CURLINFO_HEADER_OUT) return 0;
  auto* head = static_cast<std::string*>(user);
  if (head->size() >= 4 && head->compare(head->size() - 4, 4, "\r\n\r\n") == 0) head->clear();
  if (head->size() + size <= kMaxRequestHead) head->append(data, size);
  return 0;
}

// libcurl's global state, set up once for the process.
bool CurlReady() {
  static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  return ready;
}

}  // namespace

void SetHttpStallTimeout(std::chrono::seconds stall) { stall_seconds.store(static_cast<long>(stall.count())); }

HttpResponse HttpGet(const std::string& url, std::chrono::milliseconds deadline) {
  HttpResponse response;
  if (!CurlReady()) {
    response.error = "libcurl cannot be initialised";
    return response;
  }
  std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
  if (!curl) {
    response.error = "libcurl cannot be initialised";
    return response;
  }
  CURL* h = curl.get();
  Sink sink{&response.body};
  char error[CURL_ERROR_SIZE] = {0};
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, 10000L);
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(std::max<int64_t>(deadline.count(), 1)));
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, stall_seconds.load());
  curl_easy_setopt(h, CURLOPT_USERAGENT, "Vexor");
  curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxCrlBody));
  // Nothing cached on the way: the list is wanted as the server has it now.
  struct curl_slist* headers = curl_slist_append(nullptr, "Cache-Control: no-cache");
  headers = curl_slist_append(headers, "Pragma: no-cache");
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
  if (const char* file = std::getenv("SSL_CERT_FILE"); file != nullptr && *file != '\0')
    curl_easy_setopt(h, CURLOPT_CAINFO, file);
  if (const char* dir = std::getenv("SSL_CERT_DIR"); dir != nullptr && *dir != '\0')
    curl_easy_setopt(h, CURLOPT_CAPATH, dir);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Collect);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
  // The debug callback sees the request head; with it set libcurl writes nothing itself.
  curl_easy_setopt(h, CURLOPT_DEBUGFUNCTION, &KeepRequestHead);
  curl_easy_setopt(h, CURLOPT_DEBUGDATA, &response.request);
  curl_easy_setopt(h, CURLOPT_VERBOSE, 1L);

  const CURLcode rc = curl_easy_perform(h);
  curl_slist_free_all(headers);
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &response.status);
  if (rc == CURLE_OK) {
    response.transferred = true;
  } else if (sink.too_large || rc == CURLE_FILESIZE_EXCEEDED) {
    response.error = "the body is larger than the revocation lists accepted";
    response.body.clear();
  } else {
    response.error = error[0] != '\0' ? error : curl_easy_strerror(rc);
    response.body.clear();
  }
  return response;
}
