#pragma once

namespace Norvan
{

// The module's typed front to the host's settings manager. Its operations
// arrive with the settings manager client; the module registers the
// interface in its service container already.
class SettingsManager
{
public:
    virtual ~SettingsManager() = default;
};

class SettingsManagerClient : public SettingsManager
{
};

} // namespace Norvan
