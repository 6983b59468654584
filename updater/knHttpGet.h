// The updater's two HTTP GETs (the update check's text answer and the package download), over
// libcurl. Every exchange has a connect time-out of 30 seconds and is abandoned when no byte has
// moved for 120 seconds (both divided by KN_TIME_SCALE); there is no total limit, no redirect is
// followed and no header of our own is sent. Any thread may call; each call is self-contained.
#pragma once

#include <string>

#include "KNException.h"

namespace kn {

// A transport failure, a non-success status of a download, or a file that cannot be written.
KN_DECLARE_EXCEPTION(EHttpError, Exception);

// The response body of `url`, whatever the HTTP status. Throws EHttpError when no answer came.
std::string httpGetText(const std::string& url);

// Writes the response body of `url` into the file `path` (created or truncated first). Throws
// EHttpError on a transport failure, a status other than 2xx (redirects are not followed), or a
// write error; the file, empty or partly written, is then left where it is.
void httpGetToFile(const std::string& url, const std::string& path);

}  // namespace kn
