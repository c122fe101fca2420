// Named definitions and their owning lists.
#include "types/named_def.h"

#include <stdexcept>
#include <string>

#include "types/collation.h"

namespace tdb {

TTdbNamedDef::~TTdbNamedDef() = default;

std::unique_ptr<TTdbNamedDef> TTdbNamedDef::Clone() const {
    return std::make_unique<TTdbNamedDef>(*this);
}

TTdbNamedDefs::TTdbNamedDefs(const TTdbNamedDefs& other) {
    FItems.reserve(other.FItems.size());
    for (const auto& item : other.FItems) {
        FItems.push_back(item->Clone());
    }
}

TTdbNamedDefs& TTdbNamedDefs::operator=(const TTdbNamedDefs& other) {
    if (this != &other) {
        TTdbNamedDefs copy(other);
        FItems.swap(copy.FItems);
    }
    return *this;
}

TTdbNamedDefs::~TTdbNamedDefs() = default;

TTdbNamedDef* TTdbNamedDefs::GetNamedDef(int index) const {
    if (index < 0 || index >= GetCount()) {
        throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
    }
    return FItems[static_cast<std::size_t>(index)].get();
}

int TTdbNamedDefs::FindByName(std::u16string_view name) const {
    for (std::size_t i = 0; i < FItems.size(); ++i) {
        if (CompareNames(FItems[i]->FName, name) == 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool TTdbNamedDefs::DeleteByName(std::u16string_view name) {
    int index = FindByName(name);
    if (index < 0) {
        return false;
    }
    Delete(index);
    return true;
}

void TTdbNamedDefs::Delete(int index) {
    GetNamedDef(index);  // range check
    FItems.erase(FItems.begin() + index);
}

int TTdbNamedDefs::AddItem(std::unique_ptr<TTdbNamedDef> item) {
    if (!item) {
        throw std::invalid_argument("A named definition list holds no empty entries");
    }
    FItems.push_back(std::move(item));
    return GetCount() - 1;
}

}  // namespace tdb
