// How hubhost reads a module's library-loading decisions from its log lines.

#include "LoaderReport.h"

#include <gtest/gtest.h>

using namespace hubhost;

namespace
{

// As the log-file writer words a line: timestamp, level and prefix fields.
std::wstring written(const std::wstring& message)
{
    return L"12/08/2026 01:02:03 AM$ -- (Error)$ [PID: 1234 TID:   56]$ [   SharedLibrary:  120]$ " + message;
}

std::vector<std::string> described(const std::vector<std::wstring>& lines)
{
    std::vector<std::string> texts;
    for (const LoaderDecision& decision : loaderDecisions(lines))
    {
        texts.push_back(describe(decision));
    }
    return texts;
}

} // namespace

TEST(LoaderReport, MessageIsTheTextAfterTheWritersFields)
{
    EXPECT_EQ(L"Blocked library: C:\\x.dll.", logMessage(written(L"Blocked library: C:\\x.dll.")));
    EXPECT_EQ(L"plain $ -- text", logMessage(L"plain $ -- text"));
    EXPECT_EQ(L"a [b]$ c", logMessage(L"01/01/2026 12:00:00 PM$ -- (Normal)$ a [b]$ c"));
    EXPECT_EQ(L"[unclosed", logMessage(L"01/01/2026 12:00:00 PM$ -- (Normal)$ [unclosed"));
}

TEST(LoaderReport, EachDecisionOfTheLoader)
{
    const std::vector<std::string> expected = {
        "no search folders: looking in \"C:\\Program Files\\Common Files\\Korvex\\Hubframe\" (registry or "
        "common program files)",
        "refused C:\\Host\\Courier.dll: its version is blocked",
        "refused C:\\Host\\Courier.dll: not trusted (Windows error 5)",
        "refused C:\\Other\\Courier.dll: could not be loaded (Windows error 193)",
        "refused C:\\Host\\Courier.dll: it has no GetVersionNum export",
        "Courier.dll is in none of its folders",
        "loaded Courier.dll from C:\\Host",
    };
    EXPECT_EQ(expected, described({
                            written(L"Loading MesageBusLib by force from path: C:\\Program Files\\Common "
                                    L"Files\\Korvex\\Hubframe"),
                            written(L"Entering findFilePath for file Courier.dll"),
                            written(L"Loading Courier.dll from C:\\Host."),
                            written(L"Blocked library: C:\\Host\\Courier.dll."),
                            written(L"Loading Courier.dll from C:\\Host."),
                            written(L"LoadLibrary Failed. GLE: 5"),
                            written(L"Failed to load library: Courier.dll."),
                            L"Loading Courier.dll from C:\\Other.",
                            L"LoadLibrary Failed. GLE: 193",
                            written(L"Loading Courier.dll from C:\\Host."),
                            written(L"getProcAddress was unsuccessful in finding the handle's address"),
                            written(L"Failed to load GetVersionNum function from library: Courier.dll."),
                            written(L"Failed to find valid path for library: Courier.dll."),
                            written(L"Loading Courier.dll from C:\\Host."),
                            written(L"M12NPerfTimer|MessageBusLib::MessageBusLib|1|2|1"),
                        }));
}

TEST(LoaderReport, RefusalBelowTheSeverityOfTheLoadingLineIsNamedByTheNextLine)
{
    EXPECT_EQ(
        (std::vector<std::string>{"refused Courier.dll: not trusted (Windows error 5)"}),
        described({written(L"LoadLibrary Failed. GLE: 5"),
                   written(L"Failed to load library. Error code: MODULE_STATUS_UNSUCCESSFUL(2147483650)."),
                   written(L"Failed to load library: Courier.dll."),
                   written(L"Failed to load library: Courier.dll. Throwing ModuleException.")}));
}

TEST(LoaderReport, OtherLinesAreNoDecisions)
{
    EXPECT_TRUE(
        described({L"Loading", L"Loading plugins.", L"Blocked library: ", L"DLL loaded",
                   L"NotComDllGetInterface: DLL not found in install location, looking in current directory"})
            .empty());
}
