// A signed library with an import of its own (wl_dep.dll), which nothing
// verifies: where the loader looks for it decides who can plant it.

extern "C"
{
    __declspec(dllimport) int WardlineDependencyAnswer();

    __declspec(dllexport) int ImporterAnswer()
    {
        return WardlineDependencyAnswer();
    }
}
