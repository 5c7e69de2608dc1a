// The settings service's store: what reaches the file, what survives a new
// start, and that no failure or leftover loses a stored value.

#include "SettingsTestSupport.h"

#include "SettingsStore.h"

using namespace hubhost;
using namespace SettingsServiceTest;

namespace
{

SettingChange set(const std::wstring& name, const std::wstring& value, bool isVolatile = false)
{
    return SettingChange{false, name, value, isVolatile};
}

SettingChange removal(const std::wstring& name)
{
    return SettingChange{true, name, std::wstring(), false};
}

std::map<std::wstring, std::wstring> valuesOf(const SettingsStore& store)
{
    std::map<std::wstring, std::wstring> values;
    for (const auto& entry : store.entries())
    {
        values[entry.first] = entry.second.value + (entry.second.isVolatile ? L" (volatile)" : L"");
    }
    return values;
}

// A store opened on the file, with what it noted.
struct Opened
{
    explicit Opened(const std::wstring& path) : store(path) { ok = store.open(notes, error); }
    SettingsStore store;
    std::vector<std::string> notes;
    std::string error;
    bool ok = false;
};

} // namespace

TEST(SettingsStore, StoredValuesComeBackVolatileOnesDoNot)
{
    ScratchFolder folder;
    const std::wstring path = folder.file(L"settings.json");
    {
        Opened first(path);
        ASSERT_TRUE(first.ok) << first.error;
        std::string error;
        ASSERT_TRUE(
            first.store.apply({set(L"kept", L"1"), set(L"session", L"2", true), set(L"moved", L"3"),
                               set(L"moved", L"3v", true), set(L"back", L"4", true), set(L"back", L"4s"),
                               set(L"gone", L"5"), removal(L"gone"), removal(L"never there")},
                              error))
            << error;
        EXPECT_EQ((std::map<std::wstring, std::wstring>{{L"kept", L"1"},
                                                        {L"session", L"2 (volatile)"},
                                                        {L"moved", L"3v (volatile)"},
                                                        {L"back", L"4s"}}),
                  valuesOf(first.store));
    }
    // Exactly the stored values, nothing after the text.
    EXPECT_EQ(utf16File(L"{\n    \"format\": 1,\n    \"properties\": {\n        \"back\": \"4s\",\n"
                        L"        \"kept\": \"1\"\n    }\n}"),
              readBytes(path));

    Opened second(path);
    ASSERT_TRUE(second.ok) << second.error;
    EXPECT_EQ((std::map<std::wstring, std::wstring>{{L"back", L"4s"}, {L"kept", L"1"}}),
              valuesOf(second.store));
    EXPECT_EQ(std::vector<std::string>{"loaded 2 setting(s) from " + std::string(path.begin(), path.end())},
              second.notes);
}

TEST(SettingsStore, AnyTextSurvivesTheFile)
{
    ScratchFolder folder;
    const std::wstring path = folder.file(L"settings.json");
    const std::wstring odd =
        std::wstring(L"q\"b\\n\nt\t\x01 \xD800 \xDC00 \u00FC ") + std::wstring(3000, L'x');
    {
        Opened first(path);
        std::string error;
        ASSERT_TRUE(first.store.apply({set(odd, odd), set(L"empty", L"")}, error)) << error;
    }
    Opened second(path);
    ASSERT_TRUE(second.ok) << second.error;
    ASSERT_NE(nullptr, second.store.find(odd));
    EXPECT_EQ(odd, second.store.find(odd)->value);
    ASSERT_NE(nullptr, second.store.find(L"empty"));
    EXPECT_EQ(L"", second.store.find(L"empty")->value);
}

TEST(SettingsStore, AFailedWriteChangesNothing)
{
    ScratchFolder folder;
    const std::wstring path = folder.file(L"settings.json");
    Opened opened(path);
    std::string error;
    ASSERT_TRUE(opened.store.apply({set(L"a", L"old")}, error));
    const std::string before = readBytes(path);

    // A folder where the temporary file has to go: the write cannot start.
    ASSERT_TRUE(CreateDirectoryW((path + L".tmp").c_str(), nullptr));
    EXPECT_FALSE(opened.store.apply({set(L"b", L"v", true), set(L"a", L"new")}, error));
    EXPECT_NE(std::string::npos, error.find("cannot create")) << error;
    EXPECT_FALSE(opened.store.apply({removal(L"a")}, error));
    EXPECT_EQ((std::map<std::wstring, std::wstring>{{L"a", L"old"}}), valuesOf(opened.store));
    EXPECT_EQ(before, readBytes(path));

    // Volatile changes never need the file.
    EXPECT_TRUE(opened.store.apply({set(L"b", L"v", true)}, error));
}

TEST(SettingsStore, LeftoverOfAnInterruptedWriteIsDroppedAndTheFileStands)
{
    ScratchFolder folder;
    const std::wstring path = folder.file(L"settings.json");
    ASSERT_TRUE(
        folder.write(L"settings.json", utf16File(L"{\"format\":1,\"properties\":{\"a\":\"committed\"}}")));
    ASSERT_TRUE(
        folder.write(L"settings.json.tmp", utf16File(L"{\"format\":1,\"properties\":{\"a\":\"unconf")));
    Opened opened(path);
    ASSERT_TRUE(opened.ok) << opened.error;
    EXPECT_EQ((std::map<std::wstring, std::wstring>{{L"a", L"committed"}}), valuesOf(opened.store));
    ASSERT_EQ(2u, opened.notes.size());
    EXPECT_NE(std::string::npos, opened.notes[0].find("left by a write that did not finish"));
    EXPECT_EQ((std::vector<std::wstring>{L"settings.json", L"settings.json.lock"}), folder.names());
}

TEST(SettingsStore, DamagedFileIsMovedAsideWithItsBytes)
{
    const std::string damaged[] = {
        "{\"format\":1,\"properties\":{}}", // no byte order mark
        utf16File(L"{\"format\":1,\"properties\":{\"a\":\"1\"}").substr(0, 15),
        utf16File(L"{\"format\":1,\"properties\":{\"a\":1}}"),
        utf16File(L"{\"format\":1,\"properties\":[]}"),
        utf16File(L"{\"properties\":{}}"),
        utf16File(L"[1,2]"),
        std::string("\xFF\xFE{\0", 5), // odd size
    };
    for (const std::string& bytes : damaged)
    {
        ScratchFolder folder;
        const std::wstring path = folder.file(L"settings.json");
        ASSERT_TRUE(folder.write(L"settings.json", bytes));
        {
            Opened opened(path);
            ASSERT_TRUE(opened.ok) << opened.error;
            EXPECT_TRUE(opened.store.entries().empty());
            ASSERT_EQ(1u, opened.notes.size());
            EXPECT_NE(std::string::npos, opened.notes[0].find("is not a settings file")) << opened.notes[0];
        }
        const auto names = folder.names();
        ASSERT_EQ(1u, names.size());
        EXPECT_EQ(0u, names[0].find(L"settings.json.damaged-"));
        EXPECT_EQ(bytes, readBytes(folder.file(names[0])));
    }
}

TEST(SettingsStore, NewerFormatAndSecondHostAreRefusedWithoutTouchingTheFile)
{
    ScratchFolder folder;
    const std::wstring path = folder.file(L"settings.json");
    const std::string newer = utf16File(L"{\"format\":2,\"properties\":{\"a\":\"1\"}}");
    ASSERT_TRUE(folder.write(L"settings.json", newer));
    Opened refused(path);
    EXPECT_FALSE(refused.ok);
    EXPECT_NE(std::string::npos, refused.error.find("newer than this host's")) << refused.error;
    EXPECT_EQ(newer, readBytes(path));

    const std::wstring other = folder.file(L"other.json");
    Opened first(other);
    ASSERT_TRUE(first.ok) << first.error;
    Opened second(other);
    EXPECT_FALSE(second.ok);
    EXPECT_NE(std::string::npos, second.error.find("in use by another host")) << second.error;
}
