// What the agent knows about itself before it does anything else: its application id and name,
// the platform's API base URL, the machine identifier and the API key.
//
// The values are settled on the start-up thread, before any other thread exists, and only read
// afterwards; none of this is guarded by a lock. Every failure of initAppGlobals is an exception
// that ends start-up.
#pragma once

#include <string>

namespace kn {

// The platform's public API address, used unless "endpoint.ini" says otherwise.
inline constexpr const char* kDefaultApiEndpoint = "https://api.kestrane.example";

const std::string& appID();
const std::string& appName();
const std::string& apiEndpoint();
const std::string& apiKey();
bool hasAPIKey();

// The application name for a known application id ("zarodirazev" -> "ZARODIRazev"); "" for an
// id outside the table. The comparison is exact.
std::string applicationName(const std::string& appid);

// Where the stored, enciphered key of `appid` lives in the HKLM hive: key and value name.
std::string storedAPIKeyPath(const std::string& appid);
inline constexpr const char* kStoredAPIKeyValue = "value";

// Defaults: clears the id and key, sets the default endpoint, then applies the "endpoint" value of
// "endpoint.ini" beside the executable when that file exists (even when the value is empty or
// absent). Its "cafile" value, when present, names the PEM bundle that verifies the platform's
// certificate. The program calls it from main(), before initAppGlobals. Throws EOSError when
// something other than a regular file stands there, or the file cannot be read or is larger than
// TNameValueList::kMaxFileBytes: the agent never falls back to the default platform then.
void loadAppGlobalDefaults();

// Fixes the identity and installs the process-wide RPC channel with the "x-serviceapp" header.
void initAppGlobals(const std::string& appid);

// The machine identifier from "PCID.ini": the primary copy's line for this computer, else the
// fallback copy's (nothing is written then); a new one, written to both copies, only when neither
// has it. A copy holding control characters is damaged and counts as holding no line. Throws
// "MyID failed, cannot start service" when none can be established.
std::string MyID();
// A new identifier: upper-case GUID, "-", the first four digits of the millisecond tick count.
std::string generateNewID();

// The API key: the group policy value first, then the stored, enciphered value. Sets hasAPIKey.
std::string getAPIKey();
std::string readPolicyAPIKey(const std::string& appName);
// The plain key for a stored (Base64, enciphered) text; "" for "". A text that cannot be decoded
// gives "fail" (which the platform refuses) and an exception block in the log.
std::string decodeAPIKey(const std::string& stored);

// The "av" member: the executable's name in lower case without ".exe", "/", its version.
std::string appVersionText(const std::string& exeName, const std::string& version);

// Returns every value to its state before loadAppGlobalDefaults (tests).
void resetAppGlobals();

}  // namespace kn
