#include "shared/cputime.h"

#include <atomic>
#include <ctime>

namespace shared {

namespace {

std::atomic<std::int64_t> g_Charged[3];
// CPU time charged by the scopes of this thread that have ended, nested
// ones included.
thread_local std::int64_t t_Ended = 0;

std::int64_t threadCpuNanoseconds()
{
  timespec Now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &Now);
  return std::int64_t(Now.tv_sec) * 1000000000 + Now.tv_nsec;
}

} // namespace

TCpuScope::TCpuScope(ECpuActivity Activity)
  : m_Activity(Activity), m_Start(threadCpuNanoseconds()), m_NestedBefore(t_Ended)
{
}

TCpuScope::~TCpuScope()
{
  const std::int64_t Elapsed = threadCpuNanoseconds() - m_Start;
  const std::int64_t Nested = t_Ended - m_NestedBefore;
  g_Charged[int(m_Activity)] += Elapsed - Nested;
  t_Ended = m_NestedBefore + Elapsed;
}

double cpuSeconds(ECpuActivity Activity)
{
  return double(g_Charged[int(Activity)].load()) / 1e9;
}

} // namespace shared
