// libcurl's failures in words, for both programs' HTTP clients (the agent's channel, which opens
// libcurl at run time, and the updater's GETs, which link it): the one translation of a CURLcode.
//
// libcurl writes the precise reason of a failed exchange (the host it could not resolve, the
// certificate it refused) into the handle's error buffer; its text for the code alone ("Couldn't
// resolve host name") is only the fall-back. Callers pass libcurl's code text function so that this
// header needs none of libcurl's functions, only its types.
#pragma once

#include <curl/curl.h>

#include <string>

namespace kn {

using CurlCodeText = const char* (*)(CURLcode);

// The reason of a failed exchange: the error buffer's text when libcurl wrote one, else `codeText`'s
// text for `code`. Not escaped: the caller logs it through logSafe.
inline std::string curlFailureText(CURLcode code, const char* errorBuffer, CurlCodeText codeText) {
  if (errorBuffer && *errorBuffer) return errorBuffer;
  const char* text = codeText ? codeText(code) : nullptr;
  return text ? text : "libcurl error " + std::to_string(static_cast<int>(code));
}

// Throws `E("<prefix><reason>")`, the reason as curlFailureText gives it.
template <class E>
[[noreturn]] void throwCurlFailure(const std::string& prefix, CURLcode code, const char* errorBuffer,
                                   CurlCodeText codeText) {
  throw E(prefix + curlFailureText(code, errorBuffer, codeText));
}

}  // namespace kn
