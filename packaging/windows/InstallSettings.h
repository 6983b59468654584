// What the Windows installer writes beside the programs from its public properties: the agent's
// "endpoint.ini" (URL), the updater's configuration (UPDATEURL, PUBLICKEY) and the updater's public
// key file. A property left empty changes nothing, so that an upgrade or a repair run without it
// keeps what the machine has. The functions work on texts; the installer's actions read and write
// the files (InstallActions.cpp).
#pragma once

#include <string>
#include <string_view>

namespace kn::setup {

// The file the updater's "publickey" names, beside it.
inline constexpr const char* kPublicKeyFile = "publisher.pub";

// The updater's configuration of a new install: its service and the agent beside it, checked hourly.
std::string defaultUpdaterConfig();

// The bytes of "endpoint.ini" (decoded by their byte-order mark, as the agent reads them) with its
// "url" line set to `url` (the first such line, in any letter case, or a new last line), every
// other line kept; written back as UTF-8 with CR LF. Throws kn::Exception when `url` is no http or https URL.
std::string endpointWithUrl(std::string_view endpointIni, std::string_view url);

// The updater's configuration `config` (empty: none yet, the default is taken) with "updateurl"
// set to `updateUrl` and "publickey" to `publicKeyFile` where they are not empty, every other member
// kept (comments are not). Throws kn::Exception when `updateUrl` is no http or https URL, or when
// `config` is not one JSON object: the updater could not start on it, and nothing is overwritten.
std::string updaterConfigWith(std::string_view config, std::string_view updateUrl,
                              std::string_view publicKeyFile);

// Whether a PUBLICKEY value is the key itself, the Base64 line of its PEM text (60 characters of
// Base64), rather than the path of a PEM file.
bool isInlinePublicKey(std::string_view value);

// The PEM text ("-----BEGIN PUBLIC KEY-----" ...) of one Ed25519 public key given as the Base64
// line of its PEM text or as a whole PEM text. Throws kn::Exception for anything else: another
// kind of key, a private key, several keys, bad Base64.
std::string ed25519PublicKeyPem(std::string_view base64OrPem);

}  // namespace kn::setup
