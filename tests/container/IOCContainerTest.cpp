#include "module/IOCContainer.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

using Plinth::IOCContainer;

namespace
{

struct Greeter
{
    virtual ~Greeter() = default;
    virtual std::wstring greet() const = 0;
};

struct Counter
{
    virtual ~Counter() = default;
    virtual int count() const = 0;
};

class NamedGreeter : public Greeter
{
public:
    explicit NamedGreeter(std::wstring name) : m_name(std::move(name)) {}
    std::wstring greet() const override { return m_name; }

private:
    std::wstring m_name;
};

// One object behind two interfaces, telling when it is gone.
class Both : public Greeter, public Counter
{
public:
    explicit Both(bool& destroyed) : m_destroyed(destroyed) {}
    ~Both() override { m_destroyed = true; }
    std::wstring greet() const override { return L"both"; }
    int count() const override { return 2; }

private:
    bool& m_destroyed;
};

const std::wstring kDefault = IOCContainer::DefaultRegistrationName;

} // namespace

TEST(IOCContainer, DefaultNameAndEmptyLookups)
{
    EXPECT_EQ(L"Unnamed registration", kDefault);
    EXPECT_EQ(20u, kDefault.size());

    IOCContainer container;
    EXPECT_EQ(nullptr, container.resolve<Greeter>());
    EXPECT_FALSE(container.isRegistered<Greeter>(kDefault));
    EXPECT_EQ(nullptr, container.getFactory<Greeter>(kDefault));
    container.unregister<Greeter>(kDefault);
}

TEST(IOCContainer, FactoryReportsTypeNameAndSharesTheInstance)
{
    IOCContainer container;
    auto greeter = std::make_shared<NamedGreeter>(L"g");
    container.registerInstance<Greeter>(kDefault, greeter);
    const auto factory = container.getFactory<Greeter>(kDefault);
    ASSERT_NE(nullptr, factory);
    EXPECT_TRUE(factory->type() == typeid(Greeter));
    EXPECT_EQ(kDefault, factory->name());
    EXPECT_EQ(greeter.get(), factory->create().get());
    EXPECT_EQ(greeter, container.resolve<Greeter>());
    EXPECT_EQ(greeter, container.resolve<Greeter>());
    // Only the caller and the factory hold it once the looked-up copies are gone.
    EXPECT_EQ(2, greeter.use_count());
}

TEST(IOCContainer, SecondRegistrationUnderSameTypeAndNameReplacesTheFirst)
{
    IOCContainer container;
    auto first = std::make_shared<NamedGreeter>(L"first");
    std::weak_ptr<NamedGreeter> firstAlive = first;
    container.registerInstance<Greeter>(kDefault, first);
    first.reset();
    container.registerInstance<Greeter>(kDefault, std::make_shared<NamedGreeter>(L"second"));
    EXPECT_TRUE(firstAlive.expired());
    ASSERT_NE(nullptr, container.resolve<Greeter>());
    EXPECT_EQ(L"second", container.resolve<Greeter>()->greet());
}

TEST(IOCContainer, SameNameUnderTwoTypesKeepsTwoEntries)
{
    IOCContainer container;
    bool destroyed = false;
    auto both = std::make_shared<Both>(destroyed);
    container.registerInstance<Greeter>(L"n", std::make_shared<NamedGreeter>(L"plain"));
    container.registerInstance<Counter>(L"n", both);
    container.unregister<Counter>(L"other");
    EXPECT_EQ(L"plain", container.resolve<Greeter>()->greet());
    EXPECT_EQ(2, container.resolve<Counter>()->count());
    container.unregister<Counter>(L"n");
    EXPECT_EQ(nullptr, container.resolve<Counter>());
    EXPECT_TRUE(container.isRegistered<Greeter>(L"n"));
}

TEST(IOCContainer, ResolveTakesTheSmallestNameAndNothingFromAnEmptiedTable)
{
    IOCContainer container;
    container.registerInstance<Greeter>(L"B", std::make_shared<NamedGreeter>(L"from B"));
    container.registerInstance<Greeter>(L"A", std::make_shared<NamedGreeter>(L"from A"));
    // Code-unit order: upper case before lower case.
    container.registerInstance<Greeter>(L"a", std::make_shared<NamedGreeter>(L"from a"));
    EXPECT_EQ(L"from A", container.resolve<Greeter>()->greet());

    container.unregister<Greeter>(L"A");
    EXPECT_EQ(L"from B", container.resolve<Greeter>()->greet());
    container.unregister<Greeter>(L"B");
    container.unregister<Greeter>(L"a");
    EXPECT_EQ(nullptr, container.resolve<Greeter>());
    EXPECT_FALSE(container.isRegistered<Greeter>(L"a"));
}

TEST(IOCContainer, EmptyInstanceResolvesEmpty)
{
    IOCContainer container;
    container.registerInstance<Greeter>(kDefault, nullptr);
    EXPECT_TRUE(container.isRegistered<Greeter>(kDefault));
    EXPECT_EQ(nullptr, container.resolve<Greeter>());
}

TEST(IOCContainer, InstanceUnderTwoInterfacesLivesUntilTheLastOwnerGoes)
{
    bool destroyed = false;
    auto container = std::make_shared<IOCContainer>();
    {
        auto both = std::make_shared<Both>(destroyed);
        container->registerInstance<Greeter>(kDefault, both);
        container->registerInstance<Counter>(kDefault, std::shared_ptr<Counter>(both));
    }
    auto resolved = container->resolve<Counter>();
    ASSERT_NE(nullptr, resolved);

    container->unregister<Greeter>(kDefault);
    EXPECT_FALSE(destroyed);
    container.reset();
    EXPECT_FALSE(destroyed);
    EXPECT_EQ(2, resolved->count());
    resolved.reset();
    EXPECT_TRUE(destroyed);
}
