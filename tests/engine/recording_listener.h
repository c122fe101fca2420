// A listener of a relation that writes down what it is told, for tests that follow records
// moved by deletions, changes of the table and the edit locks accessors answer for.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/relation.h"

namespace tdb::testing {

class TRecordingListener : public IRelationListener {
public:
    std::u16string GetTag() const override { return u"test"; }
    void RecordDeleted(std::int32_t deletedRecNo, std::int32_t movedRecNo) override {
        Moves.emplace_back(deletedRecNo, movedRecNo);
    }
    void RecordChanged(std::int32_t) override {}
    void RelationChanged() override { ++Changes; }
    void RelationEmptied() override {}
    bool CanRemoveIndex(TTdbIndexNo) override { return true; }
    void IndexRemoved(TTdbIndexNo) override {}
    bool IsEditing(std::int32_t recNo) override { return recNo == Editing; }

    // (to, from): the record that stood at From stands at To now.
    std::vector<std::pair<std::int32_t, std::int32_t>> Moves;
    int Changes = 0;
    std::int32_t Editing = 0;  // the record this listener says it edits
};

}  // namespace tdb::testing
