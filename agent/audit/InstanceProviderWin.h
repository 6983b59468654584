// Windows only: the pieces of the WMI instance provider (InstanceProviderWin.cpp) that turn what WMI
// hands over into the provider's portable types, apart from the connection, so that tests can feed
// them values no machine under test holds (a uint32 past 2^31, a uint64 past the signed range).
#pragma once

#include <wbemcli.h>
#include <windows.h>

#include <memory>
#include <string>

#include "InstanceProvider.h"

namespace kn::wmi {

// The provider's value of a property that WMI delivered as `value` with CIM type `type` (the array
// flag included). WMI hands integers over in a wider signed variant type than their CIM type
// (uint16 and uint32 as VT_I4, uint8 as VT_UI1), so unsigned types are read back at their own
// width and never come out negative; 64-bit integers arrive as decimal text and stay text. Null and
// empty give null; an embedded object (VT_UNKNOWN) gives null too, the dump has no use for it; an
// array gives the text of each element.
WmiValue valueOf(const VARIANT& value, CIMTYPE type);

// An English text of a WMI (WBEM_E_*) or COM error code with the code in hexadecimal:
// "Invalid class (0x80041010)". Windows and Wine keep no message texts for most WBEM codes, so the
// common ones come from a table of our own; other codes take the system's text, else only the code.
std::string errorText(HRESULT hr);

// createInstanceProvider() with every class bounded to at most `maxInstances` instances as well, so
// that tests meet the bound and its notice on a machine of a few processes.
std::unique_ptr<InstanceProvider> createBoundedProvider(InstanceProviderOptions options, size_t maxInstances);

}  // namespace kn::wmi
