#pragma once

#include <mutex>
#include <string>

namespace hubhost
{

// One line per event, in either of two forms: readable text or a JSON object.
// Lines come from the script thread and from bus threads; each is written
// whole and flushed at once so that a reader of a pipe sees it as it happens.
class Output
{
public:
    explicit Output(bool json);

    bool json() const { return m_json; }

    // Writes the form this output was made for, plus a line end.
    void emit(const std::string& text, const std::string& jsonObject);

    // Builder for the JSON form: {"event":"<event>", ...}.
    class Json
    {
    public:
        explicit Json(const char* event);
        Json& str(const char* key, const std::wstring& value);
        Json& str8(const char* key, const std::string& value);
        Json& num(const char* key, unsigned long long value);
        Json& boolean(const char* key, bool value);
        Json& null(const char* key);
        Json& status(const char* key, unsigned value); // number plus "<key>_name"
        std::string done() const { return m_text + "}"; }

    private:
        std::string m_text;
    };

private:
    void write(const std::string& line);

    bool m_json;
    std::mutex m_lock;
    void* m_stdout;
};

} // namespace hubhost
