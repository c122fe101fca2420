// Named parts of a table definition (indexes, checks, keys, user types) and
// the owning lists that find them by name the way the engine compares names.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tdb {

class TTdbNamedDef {
public:
    TTdbNamedDef() = default;
    explicit TTdbNamedDef(std::u16string name) : FName(std::move(name)) {}
    TTdbNamedDef(const TTdbNamedDef&) = default;
    TTdbNamedDef& operator=(const TTdbNamedDef&) = default;
    virtual ~TTdbNamedDef();

    // A deep copy of the same dynamic type.
    virtual std::unique_ptr<TTdbNamedDef> Clone() const;

    const std::u16string& GetName() const noexcept { return FName; }
    void SetName(std::u16string name) { FName = std::move(name); }

    std::u16string FName;
};

// Clone() of a definition whose dynamic type is known to be T.
template <typename T>
std::unique_ptr<T> CloneAs(const T& def) {
    return std::unique_ptr<T>(static_cast<T*>(def.Clone().release()));
}

// An owning list of named definitions; names compare case- and
// accent-insensitively, so "Telep" and "TELEP" name the same definition.
class TTdbNamedDefs {
public:
    TTdbNamedDefs() = default;
    TTdbNamedDefs(const TTdbNamedDefs& other);
    TTdbNamedDefs& operator=(const TTdbNamedDefs& other);
    TTdbNamedDefs(TTdbNamedDefs&&) noexcept = default;
    TTdbNamedDefs& operator=(TTdbNamedDefs&&) noexcept = default;
    virtual ~TTdbNamedDefs();

    int GetCount() const noexcept { return static_cast<int>(FItems.size()); }
    // Raises std::out_of_range for an index outside the list.
    virtual TTdbNamedDef* GetNamedDef(int index) const;
    // The index of the first definition with that name, or -1.
    int FindByName(std::u16string_view name) const;
    // Deletes the first definition with that name; false when there is none.
    bool DeleteByName(std::u16string_view name);
    void Delete(int index);
    void Clear() noexcept { FItems.clear(); }

protected:
    int AddItem(std::unique_ptr<TTdbNamedDef> item);

private:
    std::vector<std::unique_ptr<TTdbNamedDef>> FItems;
};

// A list that holds only definitions of type T.
template <typename T>
class TTdbNamedDefList : public TTdbNamedDefs {
public:
    // Appends and returns the index.
    int Add(std::unique_ptr<T> item) { return AddItem(std::move(item)); }
    T* Get(int index) const { return static_cast<T*>(GetNamedDef(index)); }
    // The definition with that name, or null.
    T* Find(std::u16string_view name) const {
        int index = FindByName(name);
        return index < 0 ? nullptr : Get(index);
    }
};

}  // namespace tdb
