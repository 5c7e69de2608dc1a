#pragma once

#include <stdexcept>
#include <string>

namespace Norvan
{

// The one exception of the framework code: thrown only by constructors that
// cannot produce a usable object. It never crosses the host boundary; the
// table functions turn it into MODULE_STATUS_UNKNOWN_EXCEPTION.
class ModuleException : public std::runtime_error
{
public:
    explicit ModuleException(const std::string& message) : std::runtime_error(message) {}
    explicit ModuleException(const char* message) : std::runtime_error(message) {}
};

} // namespace Norvan
