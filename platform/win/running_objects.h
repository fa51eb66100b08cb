// Class identifiers by programmatic name, and the table of running objects:
// a program that runs registers its application object under its class
// identifier, and any process asks whether such an object is running.
//
// CLSIDFromProgID reads the registry as Windows does:
// Software\Classes\<ProgID>\CLSID (default value, "{...}" text) under
// HKEY_CURRENT_USER first, then HKEY_LOCAL_MACHINE. Whoever offers the
// class writes that key.
//
// The table spans the processes of one machine root: each registration is
// also a small file under CORVID_HOME/run/ naming the class, the process id
// and the process's start time. A file whose process is gone (or whose pid
// now belongs to a later process) is ignored and removed. The files of a
// process's registrations go when they are revoked or the process exits
// normally; a crash leaves them to that check.
//
// Objects cannot cross processes here: GetActiveObject gives the object
// itself when this process registered it, and otherwise a stand-in that
// only answers IUnknown, enough to learn that the object runs.
//
// All functions are thread-safe.
#pragma once

#include <string>

#include "platform/win/com.h"
#include "platform/win/win_types.h"

namespace corvid::win {

inline constexpr HRESULT CO_E_CLASSSTRING = HResult(0x800401F3);
inline constexpr HRESULT MK_E_UNAVAILABLE = HResult(0x800401E3);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = HResult(0x80040154);

inline constexpr DWORD ACTIVEOBJECT_STRONG = 0;
inline constexpr DWORD ACTIVEOBJECT_WEAK = 1;

// "{00020D11-0000-0000-C000-000000000046}", upper-case hex.
std::string StringFromCLSID(const CLSID& clsid);
// Parses that form (either case); CO_E_CLASSSTRING when it is malformed.
HRESULT CLSIDFromString(const char* text, CLSID* clsid);

// REGDB_E_CLASSNOTREG when no key names the ProgID (or it has no CLSID),
// CO_E_CLASSSTRING when its CLSID text is malformed.
HRESULT CLSIDFromProgID(const char* prog_id, CLSID* clsid);

// Registers `object` as running under `clsid`. ACTIVEOBJECT_STRONG keeps a
// reference until revoked; ACTIVEOBJECT_WEAK does not. `registration`
// receives the number to revoke with. E_INVALIDARG without object or
// output; E_FAIL when the run folder cannot be written.
HRESULT RegisterActiveObject(IUnknown* object, const CLSID& clsid, DWORD flags, DWORD* registration);
// E_INVALIDARG for a number this process did not hand out (or revoked).
HRESULT RevokeActiveObject(DWORD registration, void* reserved);
// S_OK and one reference in `object` when an object of the class runs in
// this or another live process; MK_E_UNAVAILABLE and null otherwise.
HRESULT GetActiveObject(const CLSID& clsid, void* reserved, IUnknown** object);

}  // namespace corvid::win
