#include "ready_group.h"

namespace qtu {

std::unique_ptr<ReadyGroup> makeReadyGroup(std::size_t maxWaitSockets) {
#if defined(QTU_HAVE_EPOLL_GROUP)
    if (auto group = makeEpollGroup()) return group;
#endif
    return makePolledGroup(maxWaitSockets);
}

}  // namespace qtu
