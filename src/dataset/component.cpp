// Components with a name and an owner.
#include "dataset/component.h"

#include <algorithm>

namespace dataset {

TComponent::TComponent(TComponent* owner) : FOwner(owner) {
    if (FOwner != nullptr)
        FOwner->FComponents.push_back(this);
}

TComponent::~TComponent() {
    if (FOwner != nullptr)
        std::erase(FOwner->FComponents, this);
    for (TComponent* child : FComponents)
        child->FOwner = nullptr;
}

void TComponent::SetName(const std::u16string& name) {
    FName = name;
}

void TComponent::EndLoading() {
    if (!FLoading)
        return;
    FLoading = false;
    Loaded();
}

}  // namespace dataset
