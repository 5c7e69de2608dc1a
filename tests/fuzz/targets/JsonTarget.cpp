// Payload texts through JSONParser and JSONFormatter: a failed parse keeps the
// document that was there, an accepted text serialises to a text that parses
// again to itself, and every getter answers without harm.

#include "Fuzz.h"
#include "Payloads.h"

#include "message/JSONFormatter.h"
#include "message/JSONParser.h"

namespace WardlineFuzz
{
namespace
{

// RapidJSON's default parse of a decimal fraction may land one unit in the
// last place away from the shortest form its writer chose, so texts that hold
// floating-point numbers are compared only for parsing again.
bool holdsFloatingPoint(const std::wstring& text)
{
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i)
    {
        const wchar_t c = text[i];
        if (inString)
        {
            if (c == L'\\')
            {
                ++i;
            }
            else if (c == L'"')
            {
                inString = false;
            }
        }
        else if (c == L'"')
        {
            inString = true;
        }
        else if (c == L'.' || c == L'e' || c == L'E')
        {
            return true;
        }
    }
    return false;
}

class JsonTarget : public Target
{
public:
    unsigned shortIterations() const override { return 1500; }
    std::vector<std::wstring> textTokens() const override { return protocolTokens(); }

    Input generate(Mutator& mutator) override
    {
        Input input;
        input.addText(mutator.mutatedText(protocolPayloads()));
        return input;
    }

    void run(const Input& input, Check& check) override
    {
        const std::wstring text = input.text(0);
        checkParser(text, check);
        checkFormatter(text, check);
    }

private:
    static void checkParser(const std::wstring& text, Check& check)
    {
        Norvan::JSONParser parser;
        parser.setString(L"kept", L"before");
        std::wstring before;
        parser.toString(before);

        if (!parser.parse(text))
        {
            std::wstring after;
            parser.toString(after);
            check.expect(after == before,
                         "a refused text changed the parser's document to " + Check::narrow(after));
            return;
        }
        std::wstring first;
        parser.toString(first);
        Norvan::JSONParser again;
        check.expect(again.parse(first), "the serialised text does not parse: " + Check::narrow(first));
        std::wstring second;
        again.toString(second);
        check.expect(holdsFloatingPoint(first) || second == first,
                     "serialising is not stable: " + Check::narrow(first) + " became " +
                         Check::narrow(second));

        for (const std::wstring& member : protocolMembers())
        {
            std::wstring s = L"unchanged";
            bool b = false;
            std::int32_t i = 0;
            std::int64_t i64 = 0;
            std::uint32_t u = 0;
            std::uint64_t u64 = 0;
            double d = 0;
            parser.getString(member, s);
            parser.getBool(member, b);
            parser.getInt(member, i);
            parser.getInt64(member, i64);
            parser.getUint(member, u);
            parser.getUint64(member, u64);
            parser.getDouble(member, d);
            std::vector<std::wstring> strings;
            parser.getStringArray(member.c_str(), strings, nullptr);
            parser.getStringArray(member, strings, L"name");
            std::vector<std::int32_t> ints;
            parser.getIntArray(member.c_str(), ints, nullptr);
            parser.getIntArray(member, ints, L"name");
            std::vector<std::wstring> objects;
            parser.getObjectArray(member, objects);
            for (const std::wstring& object : objects)
            {
                Norvan::JSONParser element;
                check.expect(element.parse(object),
                             "an element of getObjectArray does not parse: " + Check::narrow(object));
            }
            std::wstring valueText;
            parser.getValueText(member, valueText);
        }
        check.expect(parser.isEmpty() == (first.size() <= 2 || first[0] != L'{'),
                     "isEmpty disagrees with the text " + Check::narrow(first));
    }

    static void checkFormatter(const std::wstring& text, Check& check)
    {
        Norvan::JSONFormatter formatter;
        formatter.setString(L"kept", L"before");
        std::wstring before;
        formatter.toString(before);

        Norvan::JSONParser reference;
        const bool parses = reference.parse(text);
        std::wstring referenceText;
        reference.toString(referenceText);
        const bool isObject = parses && !referenceText.empty() && referenceText[0] == L'{';

        const bool accepted = formatter.parse(text);
        check.expect(accepted == isObject,
                     Check::format("JSONFormatter::parse answered %d for a text that %s", accepted ? 1 : 0,
                                   isObject ? "is an object" : "is not an object"));
        std::wstring after;
        formatter.toString(after);
        if (!parses)
        {
            check.expect(after == before, "a refused text changed the formatter's document");
            return;
        }
        check.expect(after == referenceText, "JSONFormatter and JSONParser serialise one text differently: " +
                                                 Check::narrow(after) + " / " + Check::narrow(referenceText));
        if (!accepted)
        {
            return; // only parse, toString and destruction may follow a non-object root
        }
        for (const std::wstring& member : protocolMembers())
        {
            std::wstring s;
            bool b = false;
            std::uint32_t u = 0;
            formatter.getString(member, s);
            formatter.getBool(member, b);
            formatter.getUint(member, u);
            std::vector<std::wstring> strings;
            formatter.getStringArray(member, strings);
            std::vector<Norvan::JSONFormatter> objects;
            formatter.getObjectArray(member, objects);
            for (const Norvan::JSONFormatter& object : objects)
            {
                std::wstring objectText;
                object.toString(objectText);
                Norvan::JSONFormatter element;
                check.expect(element.parse(objectText),
                             "an element of getObjectArray is not an object text: " +
                                 Check::narrow(objectText));
            }
            Norvan::JSONFormatter nested;
            formatter.getObject(member, nested);
        }
    }
};

WARDLINE_FUZZ_TARGET("json", JsonTarget);

} // namespace
} // namespace WardlineFuzz
