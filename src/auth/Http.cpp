#include "auth/Http.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

namespace pv::auth {

namespace {

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct UrlParts {
    std::string scheme, host, query;
};

bool SplitUrl(const std::string& url, UrlParts& parts) {
    GlobalInit();
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> handle(curl_url(), curl_url_cleanup);
    if (!handle || curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return false;
    auto part = [&](CURLUPart which, std::string& out) {
        char* text = nullptr;
        if (curl_url_get(handle.get(), which, &text, 0) != CURLUE_OK) return false;
        out = text;
        curl_free(text);
        return true;
    };
    if (!part(CURLUPART_SCHEME, parts.scheme) || !part(CURLUPART_HOST, parts.host)) return false;
    part(CURLUPART_QUERY, parts.query);
    return true;
}

bool IsLoopbackHost(const std::string& host) {
    return host == "localhost" || host == "[::1]" || host == "::1" ||
           (host.rfind("127.", 0) == 0 && host.find_first_not_of("0123456789.") == std::string::npos);
}

size_t Collect(char* data, size_t size, size_t count, void* user) {
    auto* body = static_cast<std::string*>(user);
    const size_t n = size * count;
    if (body->size() + n > kMaxResponseBytes) return 0;  // the transfer fails: too long
    body->append(data, n);
    return n;
}

std::string Decode(const std::string& text) {
    GlobalInit();
    int length = 0;
    char* decoded = curl_easy_unescape(nullptr, text.c_str(), static_cast<int>(text.size()), &length);
    if (!decoded) return {};
    std::string out(decoded, static_cast<size_t>(length));
    curl_free(decoded);
    return out;
}

}  // namespace

bool EndpointAllowed(const std::string& url, std::string& why) {
    UrlParts parts;
    if (url.empty() || !SplitUrl(url, parts)) {
        why = "\"" + url + "\" is not an address (https://host/path)";
        return false;
    }
    if (parts.scheme == "https") return true;
    if (parts.scheme == "http" && IsLoopbackHost(parts.host)) return true;
    why = "\"" + url + "\" is not an https address (plain http is allowed only to this machine's loopback)";
    return false;
}

std::string UrlEncode(const std::string& text) {
    GlobalInit();
    char* encoded = curl_easy_escape(nullptr, text.c_str(), static_cast<int>(text.size()));
    if (!encoded) return {};
    std::string out(encoded);
    curl_free(encoded);
    return out;
}

bool QueryParameter(const std::string& url, const std::string& name, std::string& value) {
    value.clear();
    UrlParts parts;
    if (!SplitUrl(url, parts)) return false;
    size_t pos = 0;
    while (pos <= parts.query.size()) {
        const size_t end = std::min(parts.query.find('&', pos), parts.query.size());
        const std::string pair = parts.query.substr(pos, end - pos);
        const size_t eq = pair.find('=');
        if (Decode(pair.substr(0, eq)) == name) {
            std::string raw = eq == std::string::npos ? std::string() : pair.substr(eq + 1);
            for (char& c : raw) {
                if (c == '+') c = ' ';
            }
            value = Decode(raw);
            return true;
        }
        pos = end + 1;
    }
    return false;
}

bool PostForm(const std::string& url, const FormFields& fields, HttpResponse& response) {
    response = {};
    if (!EndpointAllowed(url, response.error)) return false;
    GlobalInit();
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
    if (!curl) {
        response.error = "the HTTP client could not start (out of memory)";
        return false;
    }
    std::string form;
    for (const auto& [name, value] : fields) {
        if (!form.empty()) form.push_back('&');
        form += UrlEncode(name) + "=" + UrlEncode(value);
    }
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(
        curl_slist_append(nullptr, "Accept: application/json"), curl_slist_free_all);
    char errorText[CURL_ERROR_SIZE] = {};
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);  // many threads; no alarm signals
    curl_easy_setopt(c, CURLOPT_TIMEOUT, kTimeoutSeconds);
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, form.c_str());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(form.size()));
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &response.body);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorText);
    const CURLcode result = curl_easy_perform(c);
    if (result != CURLE_OK) {
        response.error = errorText[0] ? errorText : curl_easy_strerror(result);
        if (result == CURLE_WRITE_ERROR) response.error = "the reply was longer than any token reply";
        response.body.clear();
        return false;
    }
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &response.status);
    return true;
}

}  // namespace pv::auth
