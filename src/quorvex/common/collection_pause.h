// CollectionPause: automatic cyclic garbage collection held off for the
// lifetime of the object, and restored as it was when it ends (also when
// the scope is left by an error or an exception).
//
// Building or decoding a large forest makes thousands of new containers
// while the whole forest stays alive, so the collections their allocation
// would trigger on the way can free nothing of it; they only walk it again
// and again (and with it every older object once the forest reaches the
// oldest generation), which makes the cost grow faster than the forest.
// Collection is left to the first allocation afterwards.
#ifndef QUORVEX_COMMON_COLLECTION_PAUSE_H
#define QUORVEX_COMMON_COLLECTION_PAUSE_H

#include "common/ref.h"

namespace qv {

class CollectionPause {
public:
    CollectionPause() : was_enabled_(PyGC_Disable()) {}
    ~CollectionPause() {
        if (was_enabled_) PyGC_Enable();
    }
    CollectionPause(const CollectionPause&) = delete;
    CollectionPause& operator=(const CollectionPause&) = delete;

private:
    int was_enabled_;
};

}  // namespace qv

#endif
