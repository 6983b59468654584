// The updater's HTTP GETs (the update check's text answer, the package and its signature), over
// libcurl. Only http and https are spoken; https peers are verified against the system's trust
// store with TLS 1.2 or newer. Every exchange has a connect time-out of 30 seconds and is abandoned
// when fewer than 100 bytes per second moved over 120 seconds (both divided by KN_TIME_SCALE);
// there is no total time limit, but every body is bounded in size. No redirect is followed and no
// header of our own is sent. A stop requested through `stop` abandons an exchange within about a
// second and throws EUpdateStopped, also when the answer came in meanwhile. Any thread may call;
// each call is self-contained.
#pragma once

#include <cstdint>
#include <stop_token>
#include <string>

#include "KNException.h"

namespace kn {

// A transport failure, a non-success status where one is required, a body over its bound, or a
// file that cannot be written.
KN_DECLARE_EXCEPTION(EHttpError, Exception);

// The response body of `url`, whatever the HTTP status. Throws EHttpError when no answer came or
// when the body grows beyond `maxBytes` (the exchange is then abandoned).
std::string httpGetText(const std::string& url, std::size_t maxBytes, const std::stop_token& stop = {});

// The response body of `url`, which must answer 2xx with at most `maxBytes`; throws EHttpError
// otherwise.
std::string httpGetSmall(const std::string& url, std::size_t maxBytes, const std::stop_token& stop = {});

// Writes the response body of `url` into the file `path` (created or truncated first). Throws
// EHttpError on a transport failure, a status other than 2xx (redirects are not followed), a body
// over `maxBytes`, or a write error; the file, empty or partly written, is then left where it is.
void httpGetToFile(const std::string& url, const std::string& path, std::uint64_t maxBytes,
                   const std::stop_token& stop = {});

}  // namespace kn
