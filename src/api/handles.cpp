// Classifying handles: which session or relation a number names, and whether it is worked on
// here or by a server.
#include "api/handles.h"

#include "engine/catalog.h"
#include "engine/relation.h"
#include "engine/session.h"
#include "engine/session_list.h"

namespace tdb::api {

TTdbSessionRef ClassifySession(std::int16_t sessHdl) noexcept {
    TTdbSessionRef ref;
    if (sessHdl <= 0) {
        return ref;
    }
    try {
        ref.Session = TSessionList::Instance().GetSession(sessHdl);
    } catch (...) {
        // The list's lock could not be taken: the handle cannot be used now.
        return ref;
    }
    if (ref.Session == nullptr) {
        return ref;
    }
    ref.Local = dynamic_cast<TTdbLocalSession*>(ref.Session);
    ref.Kind = ref.Local != nullptr ? TTdbHandleKind::Local : TTdbHandleKind::Remote;
    return ref;
}

TTdbRelationRef ClassifyRelation(std::int16_t rltnHdl) noexcept {
    TTdbRelationRef ref;
    if (rltnHdl <= 0) {
        return ref;
    }
    const TTdbSessionRef session = ClassifySession(SessHdlOfRltnHdl(rltnHdl));
    ref.SessHdl = SessHdlOfRltnHdl(rltnHdl);
    ref.Session = session.Session;
    if (session.Kind == TTdbHandleKind::Remote) {
        ref.Kind = TTdbHandleKind::Remote;
        return ref;
    }
    if (session.Kind != TTdbHandleKind::Local) {
        return ref;
    }
    const int rltnIdx = RltnIdxOfRltnHdl(rltnHdl);
    TTdbCatalog& catalog = session.Local->Catalog();
    if (!catalog.IsActiveRltnIdx(rltnIdx)) {
        return ref;
    }
    ref.Kind = TTdbHandleKind::Local;
    ref.Local = session.Local;
    ref.Relation = catalog.GetRelation(rltnIdx);
    ref.RltnIdx = rltnIdx;
    return ref;
}

}  // namespace tdb::api
