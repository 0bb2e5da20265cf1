// Http: the HTTPS calls OAuth2 makes to the provider's authorization server (form POSTs that
// answer in JSON). The only file that calls the HTTP client library.
//
// Certificates are always checked against the system's trusted ones and the host name. Plain
// http is taken only for a loopback host (127.0.0.0/8, ::1, localhost): an authorization server
// on this machine, never one across a network, where the client secret and tokens would travel
// in clear. Redirects are not followed. A call takes at most kTimeoutSeconds, and a reply
// beyond kMaxResponseBytes is refused: a token reply is a few kilobytes.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace pv::auth {

inline constexpr long kTimeoutSeconds = 30;
inline constexpr size_t kMaxResponseBytes = 256 * 1024;

using FormFields = std::vector<std::pair<std::string, std::string>>;

struct HttpResponse {
    long status = 0;    // the HTTP status; 0 when no reply came
    std::string body;
    std::string error;  // why no reply came, in words
};

// Whether `url` may be called: https anywhere, http only to a loopback host. `why` says what
// is wrong with it otherwise.
bool EndpointAllowed(const std::string& url, std::string& why);
// POSTs the fields as application/x-www-form-urlencoded. False (with response.error) when no
// HTTP reply came; an HTTP error status is a reply.
bool PostForm(const std::string& url, const FormFields& fields, HttpResponse& response);
// Percent-encodes a query or form value.
std::string UrlEncode(const std::string& text);
// The value of one parameter of an address's query ("" with false when it is not there),
// percent-decoded.
bool QueryParameter(const std::string& url, const std::string& name, std::string& value);

}  // namespace pv::auth
