#pragma once

#include "wrappers/OSInfo.h"
#include "wrappers/RegistryAPI.h"
#include "wrappers/ShlObjAPI.h"

#include <memory>
#include <string>

namespace Norvan
{

// Expands the path variables of folder templates: "$(App.Folder)",
// "$(Hubframe.InstallDir)", "$(FOLDERID_ProgramData)", ... A token that is
// unknown, or whose value cannot be had, stays in the text as it is.
class PathHelpers
{
public:
    // Each collaborator may be empty; the real one is used then.
    explicit PathHelpers(std::shared_ptr<ShlObjAPI> shell = nullptr,
                         std::shared_ptr<Plinth::OSInfo> osInfo = nullptr,
                         std::shared_ptr<RegistryAPI> registry = nullptr);
    virtual ~PathHelpers();

    // Replaces every token of `path` by its value, left to right; values are
    // not searched again. Always true.
    virtual bool expandVariables(std::wstring& path);

    class Impl;

private:
    std::shared_ptr<Impl> impl_;
};

namespace internal
{
// The first token of `text` at or after `from`: "$(", one or more
// characters other than '$', '(' and ')', then ")". False when there is none.
bool findPathToken(const std::wstring& text, std::size_t from, std::size_t& start, std::size_t& length);
} // namespace internal

} // namespace Norvan
