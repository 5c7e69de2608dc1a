#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <typeinfo>
#include <utility>

namespace Plinth
{

// Produces the service registered for one interface type under one name.
class IOCFactoryInterface
{
public:
    virtual ~IOCFactoryInterface() = default;
    virtual const std::type_info& type() const = 0;
    virtual const std::wstring& name() const = 0;
    virtual std::shared_ptr<void> create() = 0;
};

template <typename T> class IOCBaseFactory : public IOCFactoryInterface
{
public:
    explicit IOCBaseFactory(std::wstring name) : m_name(std::move(name))
    {
    }

    const std::type_info& type() const override { return typeid(T); }
    const std::wstring& name() const override { return m_name; }
    std::shared_ptr<void> create() override { return std::shared_ptr<void>(createInstance()); }

    virtual std::shared_ptr<T> createInstance() = 0;

private:
    std::wstring m_name;
};

// Hands out the one registered instance on every lookup.
template <typename T> class IOCInstanceReturningFactory : public IOCBaseFactory<T>
{
public:
    IOCInstanceReturningFactory(std::wstring name, std::shared_ptr<T> instance)
        : IOCBaseFactory<T>(std::move(name)), m_instance(std::move(instance))
    {
    }

    std::shared_ptr<T> createInstance() override { return m_instance; }

private:
    std::shared_ptr<T> m_instance;
};

// The module's registry of shared services, keyed by interface type and
// registration name. No locking: registrations happen before any lookup from
// another thread.
class IOCContainer
{
public:
    static constexpr const wchar_t* DefaultRegistrationName = L"Unnamed registration";

    virtual ~IOCContainer() = default;

    // A second registration under the same type and name replaces the first.
    template <typename T> void registerInstance(const std::wstring& name, std::shared_ptr<T> instance)
    {
        if (isRegistered<T>(name))
        {
            unregister<T>(name);
        }
        auto factory = std::make_shared<IOCInstanceReturningFactory<T>>(name, std::move(instance));
        m_registrations[typeKey<T>()][name] = std::move(factory);
    }

    template <typename T> bool isRegistered(const std::wstring& name) const
    {
        return getFactory<T>(name) != nullptr;
    }

    template <typename T> void unregister(const std::wstring& name)
    {
        const auto table = m_registrations.find(typeKey<T>());
        if (table == m_registrations.end())
        {
            return;
        }
        const auto entry = table->second.find(name);
        if (entry != table->second.end() && producesType<T>(entry->second))
        {
            table->second.erase(entry);
        }
    }

    template <typename T> std::shared_ptr<IOCFactoryInterface> getFactory(const std::wstring& name) const
    {
        const auto table = m_registrations.find(typeKey<T>());
        if (table == m_registrations.end())
        {
            return nullptr;
        }
        const auto entry = table->second.find(name);
        if (entry == table->second.end() || !producesType<T>(entry->second))
        {
            return nullptr;
        }
        return entry->second;
    }

    // The service registered under the smallest name; empty when there is none.
    template <typename T> std::shared_ptr<T> resolve() const
    {
        const auto table = m_registrations.find(typeKey<T>());
        if (table == m_registrations.end())
        {
            return nullptr;
        }
        for (const auto& entry : table->second)
        {
            if (producesType<T>(entry.second))
            {
                return std::static_pointer_cast<T>(entry.second->create());
            }
        }
        return nullptr;
    }

private:
    using RegistrationTable = std::map<std::wstring, std::shared_ptr<IOCFactoryInterface>>;

    template <typename T> static std::uint64_t typeKey()
    {
        return static_cast<std::uint64_t>(typeid(T).hash_code());
    }

    // Hash codes of distinct types may collide and then share a table; only a
    // factory for exactly T may be cast to T.
    template <typename T> static bool producesType(const std::shared_ptr<IOCFactoryInterface>& factory)
    {
        return factory != nullptr && factory->type() == typeid(T);
    }

    std::map<std::uint64_t, RegistrationTable> m_registrations;
};

} // namespace Plinth
