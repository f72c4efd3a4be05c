#include "certs/http_get.h"

#include <curl/curl.h>
#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <type_traits>

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

// libcurl is loaded on the first fetch, not with the library: it brings some thirty
// libraries (TLS, Kerberos, LDAP, ...) whose loading and relocation were the largest part of
// a one-shot process's start-up, and most processes never fetch a list. The functions
// come from the library the package depends on; its global state is set up once.
struct Curl {
  decltype(&curl_global_init) global_init = nullptr;
  decltype(&curl_easy_init) easy_init = nullptr;
  decltype(&curl_easy_cleanup) easy_cleanup = nullptr;
  decltype(&curl_easy_setopt) easy_setopt = nullptr;
  decltype(&curl_easy_perform) easy_perform = nullptr;
  decltype(&curl_easy_getinfo) easy_getinfo = nullptr;
  decltype(&curl_easy_strerror) easy_strerror = nullptr;
  decltype(&curl_slist_append) slist_append = nullptr;
  decltype(&curl_slist_free_all) slist_free_all = nullptr;
  bool ready = false;

  Curl() {
    // Kept loaded for the life of the process: the global state would not survive an unload.
    void* lib = dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) return;
    const auto bind = [lib](auto& fn, const char* name) {
      fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(lib, name));
      return fn != nullptr;
    };
    ready = bind(global_init, "curl_global_init") && bind(easy_init, "curl_easy_init") &&
            bind(easy_cleanup, "curl_easy_cleanup") && bind(easy_setopt, "curl_easy_setopt") &&
            bind(easy_perform, "curl_easy_perform") && bind(easy_getinfo, "curl_easy_getinfo") &&
            bind(easy_strerror, "curl_easy_strerror") && bind(slist_append, "curl_slist_append") &&
            bind(slist_free_all, "curl_slist_free_all") && global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  }
};

const Curl* CurlReady() {
  static const Curl curl;
  return curl.ready ? &curl : nullptr;
}

}  // namespace

void SetHttpStallTimeout(std::chrono::seconds stall) { stall_seconds.store(static_cast<long>(stall.count())); }

HttpResponse HttpGet(const std::string& url, std::chrono::milliseconds deadline) {
  HttpResponse response;
  const Curl* api = CurlReady();
  if (api == nullptr) {
    response.error = "libcurl cannot be initialised";
    return response;
  }
  std::unique_ptr<CURL, void (*)(CURL*)> curl(api->easy_init(), api->easy_cleanup);
  if (!curl) {
    response.error = "libcurl cannot be initialised";
    return response;
  }
  CURL* h = curl.get();
  Sink sink{&response.body};
  char error[CURL_ERROR_SIZE] = {0};
  api->easy_setopt(h, CURLOPT_URL, url.c_str());
  api->easy_setopt(h, CURLOPT_ERRORBUFFER, error);
  api->easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  api->easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  api->easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  api->easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  api->easy_setopt(h, CURLOPT_MAXREDIRS, 5L);
  api->easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, 10000L);
  api->easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(std::max<int64_t>(deadline.count(), 1)));
  api->easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  api->easy_setopt(h, CURLOPT_LOW_SPEED_TIME, stall_seconds.load());
  api->easy_setopt(h, CURLOPT_USERAGENT, "Vexor");
  api->easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxCrlBody));
  // Nothing cached on the way: the list is wanted as the server has it now.
  struct curl_slist* headers = api->slist_append(nullptr, "Cache-Control: no-cache");
  headers = api->slist_append(headers, "Pragma: no-cache");
  api->easy_setopt(h, CURLOPT_HTTPHEADER, headers);
  if (const char* file = std::getenv("SSL_CERT_FILE"); file != nullptr && *file != '\0')
    api->easy_setopt(h, CURLOPT_CAINFO, file);
  if (const char* dir = std::getenv("SSL_CERT_DIR"); dir != nullptr && *dir != '\0')
    api->easy_setopt(h, CURLOPT_CAPATH, dir);
  api->easy_setopt(h, CURLOPT_WRITEFUNCTION, &Collect);
  api->easy_setopt(h, CURLOPT_WRITEDATA, &sink);
  // The debug callback sees the request head; with it set libcurl writes nothing itself.
  api->easy_setopt(h, CURLOPT_DEBUGFUNCTION, &KeepRequestHead);
  api->easy_setopt(h, CURLOPT_DEBUGDATA, &response.request);
  api->easy_setopt(h, CURLOPT_VERBOSE, 1L);

  const CURLcode rc = api->easy_perform(h);
  api->slist_free_all(headers);
  api->easy_getinfo(h, CURLINFO_RESPONSE_CODE, &response.status);
  if (rc == CURLE_OK) {
    response.transferred = true;
  } else if (sink.too_large || rc == CURLE_FILESIZE_EXCEEDED) {
    response.error = "the body is larger than the revocation lists accepted";
    response.body.clear();
  } else {
    response.error = error[0] != '\0' ? error : api->easy_strerror(rc);
    response.body.clear();
  }
  return response;
}
