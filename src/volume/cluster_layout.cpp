#include "volume/cluster_layout.h"

#include <atomic>

namespace rv {

namespace {
std::atomic<ClusterLayoutCheck> g_check{nullptr};
}

void SetClusterLayoutCheck(ClusterLayoutCheck check) { g_check.store(check); }
ClusterLayoutCheck TheClusterLayoutCheck() { return g_check.load(); }

}  // namespace rv
