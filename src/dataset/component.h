// Components with a name and an owner: what the database component and the table datasets need
// of the platform's component model (finding their siblings on one window, being read from it).
#pragma once

#include <string>
#include <vector>

namespace dataset {

class TComponent {
public:
    explicit TComponent(TComponent* owner);
    virtual ~TComponent();
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const noexcept { return FOwner; }
    const std::u16string& Name() const noexcept { return FName; }
    virtual void SetName(const std::u16string& name);
    // The components this one owns, in the order they were made. Borrowed: whoever made a
    // component frees it, and it leaves its owner's list then.
    const std::vector<TComponent*>& Components() const noexcept { return FComponents; }

    // While a component is being read from its window, property setters only store.
    bool Loading() const noexcept { return FLoading; }
    void BeginLoading() noexcept { FLoading = true; }
    // Ends reading and lets the component act on what it read.
    void EndLoading();

protected:
    virtual void Loaded() {}

private:
    TComponent* FOwner;
    std::u16string FName;
    std::vector<TComponent*> FComponents;
    bool FLoading = false;
};

}  // namespace dataset
