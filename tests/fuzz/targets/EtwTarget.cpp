// The ETW log writer with the system's ETW functions captured: log calls with
// any text (surrogates, NULs, lengths at the cut), any level, any file and
// function name and any application name, between enable and disable
// requests of sessions with any level, under registry overrides (Severity,
// Enable) of any type and value.
//
// Checked: a call answers 0; an event goes out exactly when the writer says
// the call is enabled, to the session that enabled it; every event decodes as
// a consumer reads it, fits the 64 KiB an event may have, carries the names
// given and the message as the text cut at the documented length, in valid
// UTF-8 (a broken surrogate becomes U+FFFD, nothing else changes).

#include "Fuzz.h"
#include "FuzzKey.h"

#include "CapturingEtwApi.h"
#include "Logging/ETWLogging.h"

namespace WardlineFuzz
{
namespace
{

constexpr wchar_t kProfile[] = L"WLFuzzEtw";
constexpr std::size_t kMaxEventBytes = 0xFFFF;
constexpr std::size_t kMaxCounted = ETWLogging::kEtwNameChars;

// What UTF-8 can carry of a UTF-16 text: a surrogate without its partner
// becomes U+FFFD.
std::wstring withoutBrokenSurrogates(std::wstring text)
{
    for (std::size_t i = 0; i < text.size(); ++i)
    {
        const wchar_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF)
        {
            ++i;
        }
        else if (c >= 0xD800 && c <= 0xDFFF)
        {
            text[i] = 0xFFFD;
        }
    }
    return text;
}

// Strict: a byte sequence that is not UTF-8 fails.
bool fromUtf8(const std::string& bytes, std::wstring& text)
{
    text.clear();
    if (bytes.empty())
    {
        return true;
    }
    const int length = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(),
                                             static_cast<int>(bytes.size()), nullptr, 0);
    if (length <= 0)
    {
        return false;
    }
    text.resize(static_cast<std::size_t>(length));
    return ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()),
                                 &text[0], length) == length;
}

std::wstring wide(const std::u16string& text)
{
    return std::wstring(text.begin(), text.end());
}

class EtwTarget : public Target
{
public:
    unsigned shortIterations() const override { return 200; }

    void setUp() override
    {
        key_ = std::make_unique<FuzzKey>(kProfile);
        key_->setText(L"Session", L"Session ID Guid", L"{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F1}");
        key_->setText(L"Session", L"Session Name", L"WLFuzzEtw.Session");
        key_->setText(L"Provider", L"Provider Guid", L"{11223344-5566-7788-99AA-BBCCDDEEFF01}");
        key_->setText(L"Controller", L"Controller Path", L"C:\\Tools\\ctl.exe");
        key_->setText(L"Controller", L"Owner Mutex Name", L"WLFuzzEtw.Owner");
    }
    void tearDown() override { key_.reset(); }

    Input generate(Mutator& mutator) override
    {
        Rng& rng = mutator.rng();
        Input input;
        if (rng.chance(3))
        {
            // A host may pass any application name. Longer ones than these
            // make every event larger than an event may be: the input that
            // shows it waits in tests/fuzz/open/etwwriter.
            input.addText(std::wstring(rng.between(8000, 16000), L'a'));
        }
        else
        {
            input.addText(rng.chance(80) ? std::wstring(L"App") : mutator.mutatedText({L"App", L"Wardline"}));
        }
        // The registry overrides under the provider key: Severity and
        // Enable, each absent or of any type and data.
        const std::vector<std::string> dwords = {
            std::string("\x02\x00\x00\x00", 4), std::string("\x00\x00\x00\x00", 4),
            std::string("\xFF\xFF\xFF\xFF", 4), std::string("\x07\x00\x00\x00", 4),
            utf16Bytes(L"5") + std::string(2, '\0')};
        for (int i = 0; i < 2; ++i)
        {
            input.addNumber(
                rng.chance(50)
                    ? 0
                    : (rng.chance(80) ? REG_DWORD
                                      : rng.pick(std::vector<std::uint64_t>{REG_SZ, REG_BINARY, REG_QWORD})));
            input.addBytes(mutator.mutatedBytes(dwords));
        }
        const std::size_t count = rng.between(1, 8);
        for (std::size_t i = 0; i < count; ++i)
        {
            if (rng.chance(25))
            {
                // A session's request: enable (1) or disable (0), session, level.
                input.addNumber(rng.chance(70) ? 1 : 0);
                input.addNumber(rng.chance(80) ? 0x51 : rng.below(4));
                input.addNumber(rng.chance(80) ? rng.below(7) : rng.below(256));
                continue;
            }
            input.addNumber(2);
            input.addNumber(rng.chance(80) ? rng.between(1, 6) : rng.next() & 0xFFFFFFFFu);
            input.addText(rng.chance(90) ? std::wstring(L"message\\ReplyImpl")
                                         : mutator.mutatedText({L"file"}));
            input.addText(rng.chance(90) ? std::wstring(L"Norvan::ReplyImpl::wait")
                                         : mutator.mutatedText({L"Norvan::X::y"}));
            input.addText(mutator.mutatedText({L"state changed to red", L"could not parse JSON '{'",
                                               std::wstring(2079, L'm') + L"\xD83D\xDE00",
                                               std::wstring(2078, L'm') + L"\xD83D\xDE00", L""}));
        }
        return input;
    }

    void run(const Input& input, Check& check) override
    {
        const wchar_t* overrides[] = {L"Severity", L"Enable"};
        for (int i = 0; i < 2; ++i)
        {
            const DWORD type = static_cast<DWORD>(input.number(1 + 2 * i));
            if (type == 0)
            {
                HKEY provider = nullptr;
                if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, (key_->path() + L"\\Provider").c_str(), 0,
                                    KEY_SET_VALUE, &provider) == ERROR_SUCCESS)
                {
                    ::RegDeleteValueW(provider, overrides[i]);
                    ::RegCloseKey(provider);
                }
            }
            else
            {
                key_->set(L"Provider", overrides[i], type, input.bytes(2 + 2 * i));
            }
        }
        auto api = std::make_shared<EtwTest::CapturingEtwAPI>();
        ETWLogging::CETWLogging writer(api);
        const std::wstring application = input.text(0);
        const DWORD initialized = writer.InitializeEx(kProfile, application.c_str(),
                                                      ::GetModuleHandleW(L"kernel32.dll"), nullptr, nullptr);
        if (upToNul(application).empty())
        {
            check.expect(initialized == ERROR_INVALID_PARAMETER,
                         Check::format("an empty application name answered %lu", initialized));
            return;
        }
        check.expect(initialized == 0, Check::format("InitializeEx answered %lu", initialized));
        if (initialized != 0)
        {
            return;
        }

        TRACEHANDLE session = 0;
        std::size_t at = 5;
        while (at < input.size())
        {
            const std::uint64_t kind = input.number(at);
            if (kind != 2)
            {
                control(writer, *api, kind == 1, input.number(at + 1), input.number(at + 2), session, check);
                at += 3;
                continue;
            }
            const DWORD level = static_cast<DWORD>(input.number(at + 1));
            const std::wstring file = input.text(at + 2);
            const std::wstring function = input.text(at + 3);
            const std::wstring text = input.text(at + 4);
            at += 5;

            api->ClearEvents();
            const bool expected = writer.IsEnabled() && writer.IsLevelEnabled(level);
            const DWORD result =
                writer.WriteFormattedVa(level, file.c_str(), function.c_str(), 7, L"%s", text.c_str());
            check.expect(result == 0, Check::format("a write answered %lu", result));
            const auto events = api->Events();
            check.expect(events.size() == (expected ? 1u : 0u),
                         Check::format("a write %s enabled sent %u events",
                                       expected ? "that is" : "that is not", unsigned(events.size())));
            if (events.size() == 1)
            {
                checkEvent(events[0], session, level, file, function, application, text, check);
            }
        }
    }

private:
    void control(ETWLogging::CETWLogging& writer, EtwTest::CapturingEtwAPI& api, bool enable,
                 std::uint64_t handle, std::uint64_t level, TRACEHANDLE& session, Check& check)
    {
        const auto registrations = api.Registrations();
        if (registrations.empty())
        {
            return; // not registered before the first write
        }
        api.enableLevels[handle] = static_cast<UCHAR>(level);
        WNODE_HEADER buffer = EtwTest::SessionBuffer(handle);
        ULONG size = sizeof(buffer);
        const ULONG result = registrations.back().callback(enable ? WMI_ENABLE_EVENTS : WMI_DISABLE_EVENTS,
                                                           registrations.back().context, &size, &buffer);
        if (enable && result == 0 && session == 0 && handle != 0)
        {
            session = handle;
        }
        if (!enable && result == 0 && handle == session)
        {
            session = 0;
        }
        const DWORD severity = writer.GetSeverity();
        check.expect(severity >= 1 && severity <= 6,
                     Check::format("a session left the severity at %lu", severity));
        check.expect(writer.IsLevelEnabled(3) || !writer.IsEnabled(), "level 3 is not enabled");
    }

    static void checkEvent(const EtwTest::CapturedEvent& event, TRACEHANDLE session, DWORD level,
                           const std::wstring& file, const std::wstring& function,
                           const std::wstring& application, const std::wstring& text, Check& check)
    {
        check.expect(event.session == session, "an event went to another session than the enabled one");
        check.expect(
            event.raw.header.Class.Level >= 1 && event.raw.header.Class.Level <= 5,
            Check::format("level %lu went out as %u", level, unsigned(event.raw.header.Class.Level)));
        const std::vector<std::uint8_t> bytes = event.ConsumerBytes();
        check.expect(
            bytes.size() <= kMaxEventBytes,
            Check::format("an event of %u bytes is larger than an event may be", unsigned(bytes.size())));
        EtwDecode::DecodedEvent decoded;
        std::string error;
        const std::vector<std::uint8_t> data(bytes.begin() + EtwDecode::kHeaderBytes, bytes.end());
        if (!EtwDecode::DecodeEvent(data.data(), data.size(), false, decoded, error))
        {
            check.expect(false, "an event does not decode: " + error);
            return;
        }
        const auto counted = [](const std::wstring& text) { return upToNul(text).substr(0, kMaxCounted); };
        check.expect(wide(decoded.record.sourceFile) == counted(file) &&
                         wide(decoded.record.function) == counted(function) && decoded.record.line == 7,
                     "an event carries another file, function or line");
        check.expect(wide(decoded.record.applicationName) == counted(upToNul(application)),
                     "an event carries another application name");

        std::wstring message;
        check.expect(fromUtf8(decoded.record.message, message), "an event's message is not UTF-8");
        const std::wstring given = upToNul(text);
        // A text that does not fit is cut to one character less and keeps
        // its terminating NUL.
        const std::size_t room = static_cast<std::size_t>(ETWLogging::kEtwMessageChars);
        const std::wstring sent =
            given.size() < room ? given : given.substr(0, room - 1) + std::wstring(1, L'\0');
        check.expect(message == withoutBrokenSurrogates(sent),
                     Check::format("a message of %u characters went out as %u", unsigned(given.size()),
                                   unsigned(message.size())));
    }

    std::unique_ptr<FuzzKey> key_;
};

WARDLINE_FUZZ_TARGET("etwwriter", EtwTarget);

} // namespace
} // namespace WardlineFuzz
