#pragma once

// Payloads and names of the module's protocol, shared by the JSON, module and
// shim targets: the seeds they mutate and the tokens they splice in.

#include <string>
#include <vector>

namespace WardlineFuzz
{

inline const std::vector<std::wstring>& protocolPayloads()
{
    static const std::vector<std::wstring> payloads = {
        L"{\"state\":\"green\"}",
        L"{\"state\":\"red\"}",
        L"{\"state\":\"Red\"}",
        L"{\"state\":\"\"}",
        L"{\"state\":5}",
        L"{\"state\":\"red\",\"state\":\"green\"}",
        L"{ \"other\" : [1, 2.5, -3e2, true, false, null], \"state\" : \"yellow\\u00e9\\n\" }",
        L"[\"state\",\"red\"]",
        L"{",
        L"",
        L"{\"protection_type\":\"0F167695-3F7C-421c-89E8-40544CE9D1A1\",\"rule_id\":512,\"ignored\":true}",
        L"{\"protection_type\":\"0F167695-3F7C-421c-89E8-40544CE9D1A1\",\"rule_id\":512,\"ignored\":false}",
        L"{\"protection_type\":\"0f167695-3f7c-421c-89e8-40544ce9d1a1\",\"rule_id\":511,\"ignored\":1}",
        L"{\"protection_type\":\"0F167695-3F7C-421c-89E8-40544CE9D1A1\",\"rule_id\":\"512\"}",
        L"{\"name\":\"Core.Protection.IgnoreFirewall\",\"status\":true}",
        L"{\"name\":\"Core.Protection.IgnoreFirewall\",\"status\":true,\"value\":\"{\\\"ignore_firewall\\\":"
        L"true}\"}",
        L"{\"responses\":[{\"name\":\"a\",\"status\":true,\"value\":\"1\"},{\"name\":\"b\",\"status\":false},"
        L"7]}",
        L"{\"properties\":[{\"name\":\"a\",\"value\":\"1\",\"volatile\":false},{\"name\":\"p\",\"isPrefix\":"
        L"true}]}",
        L"{\"v\":{\"k\":[{\"x\":null}]},\"n\":18446744073709551615,\"i\":-9223372036854775808,\"d\":1."
        L"7976931348623157e308}",
        L"{\"s\":\"\\ud83d\\ude00 \\\\ \\\" \\/ \\b\\f\\n\\r\\t\"}",
        L"null",
        L"  \r\n\t{}  ",
    };
    return payloads;
}

inline const std::vector<std::wstring>& protocolTokens()
{
    static const std::vector<std::wstring> tokens = {
        L"\"state\"",
        L"\"red\"",
        L"\"green\"",
        L"\"protection_type\"",
        L"\"rule_id\"",
        L"\"ignored\"",
        L"\"0F167695-3F7C-421c-89E8-40544CE9D1A1\"",
        L"512",
        L"\"name\"",
        L"\"value\"",
        L"\"status\"",
        L"\"volatile\"",
        L"\"isPrefix\"",
        L"\"properties\"",
        L"\"responses\"",
        L"\"ignore_firewall\"",
        L"Core.Protection.IgnoreFirewall",
        L"{\"state\":",
        L"\"state\":\"red\"",
    };
    return tokens;
}

// The member names the getters are asked for.
inline const std::vector<std::wstring>& protocolMembers()
{
    static const std::vector<std::wstring> members = {
        L"state",    L"protection_type", L"rule_id",   L"ignored", L"name", L"value", L"status", L"volatile",
        L"isPrefix", L"properties",      L"responses", L"v",       L"n",    L"i",     L"d",      L"s",
        L"",
    };
    return members;
}

} // namespace WardlineFuzz
