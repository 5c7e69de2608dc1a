#pragma once

#include <windows.h>

#include <string>

// The layout of a script file signed in comment lines, UTF-16LE with a byte
// order mark:
//
//   <content>\r\n// SIG // Begin signature block\r\n// SIG // <base64>\r\n...
//   // SIG // End signature block\r\n
//
// The signed digest covers the file's bytes before the line break that
// precedes the "Begin" line (byte order mark included).
namespace ScriptSip
{

struct ParsedScript
{
    size_t contentBytes = 0; // bytes covered by the digest
    bool signedBlock = false;
    std::string der; // the decoded PKCS #7 message
};

bool readWholeFile(HANDLE file, const wchar_t* name, std::string* bytes);
// False for text that is not UTF-16LE with a byte order mark, or a block that
// is not well formed.
bool parseScript(const std::string& bytes, ParsedScript* out);
// SHA-1 or SHA-256 (by OID) of the first `length` bytes.
bool digestOf(const std::string& bytes, size_t length, const char* algorithmOid, std::string* digest);

} // namespace ScriptSip
