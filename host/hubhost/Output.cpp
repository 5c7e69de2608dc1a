#include "Output.h"

#include "Text.h"
#include "module/ModuleStatus.h"

#include <windows.h>

#include <cstdio>

namespace hubhost
{

Output::Output(bool json) : m_json(json), m_stdout(GetStdHandle(STD_OUTPUT_HANDLE))
{
    // Only matters for a real console; pipes get the bytes as written.
    SetConsoleOutputCP(CP_UTF8);
}

void Output::emit(const std::string& text, const std::string& jsonObject)
{
    write(m_json ? jsonObject : text);
}

void Output::write(const std::string& line)
{
    std::string buffer = line;
    buffer += '\n';
    std::lock_guard<std::mutex> guard(m_lock);
    // WriteFile rather than the C runtime: the text is already UTF-8 and must
    // not pass through any code-page or wide-stream conversion.
    const char* data = buffer.data();
    std::size_t left = buffer.size();
    while (left > 0)
    {
        DWORD written = 0;
        if (!WriteFile(static_cast<HANDLE>(m_stdout), data, static_cast<DWORD>(left), &written, nullptr) ||
            written == 0)
        {
            return; // nowhere to report a broken stdout; the exit code still tells
        }
        data += written;
        left -= written;
    }
    FlushFileBuffers(static_cast<HANDLE>(m_stdout));
}

Output::Json::Json(const char* event) : m_text("{\"event\":\"")
{
    m_text += event;
    m_text += '"';
}

Output::Json& Output::Json::str(const char* key, const std::wstring& value)
{
    m_text += ",\"";
    m_text += key;
    m_text += "\":";
    m_text += jsonQuote(value);
    return *this;
}

Output::Json& Output::Json::str8(const char* key, const std::string& value)
{
    return str(key, fromUtf8(value));
}

Output::Json& Output::Json::num(const char* key, unsigned long long value)
{
    m_text += ",\"";
    m_text += key;
    m_text += "\":";
    m_text += std::to_string(value);
    return *this;
}

Output::Json& Output::Json::boolean(const char* key, bool value)
{
    m_text += ",\"";
    m_text += key;
    m_text += value ? "\":true" : "\":false";
    return *this;
}

Output::Json& Output::Json::null(const char* key)
{
    m_text += ",\"";
    m_text += key;
    m_text += "\":null";
    return *this;
}

Output::Json& Output::Json::status(const char* key, unsigned value)
{
    num(key, value);
    const std::string nameKey = std::string(key) + "_name";
    return str(nameKey.c_str(), Norvan::moduleStatusName(value));
}

} // namespace hubhost
