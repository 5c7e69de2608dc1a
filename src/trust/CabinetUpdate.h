#pragma once

#include <windows.h>

#include <string>

namespace Norvan::internal
{

class TrustedList;

// What one cabinet update did (for tests and diagnostics).
enum class CabinetUpdateResult
{
    Installed,        // a newer list was installed
    NoCabinetLibrary, // Cabinet.dll or one of its three functions is missing
    NotExtracted,     // no "trusted.js" entry, or the cabinet could not be read
    CandidateRefused, // the extracted list failed its signature rule or has no VER
    NotNewer,         // the loaded list is not older than the candidate
    VersionTooLow,    // candidate version below 8
    InstallFailed     // the installed list could not be read, or replacing it
                      // failed (then a move is pending)
};

// Extracts the entry "trusted.js" (exactly that name, any case; the first one
// only) of a cabinet into a fresh "trustedjs*.js" file in the temporary
// folder, keeping its read-only, hidden, system and archive attributes.
// Returns the file's path, or an empty string. Other entries are never
// written anywhere.
std::wstring extractTrustedListFromCabinet(const std::wstring& cabinet);

// The cabinet update: extract, check as a candidate list, install it when
// newer and of version 8 or more; the extracted file is always deleted.
CabinetUpdateResult runCabinetUpdate(const std::wstring& cabinet, TrustedList& list);

} // namespace Norvan::internal
