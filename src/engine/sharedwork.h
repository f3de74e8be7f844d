#pragma once

// Work shared by several tasks that take their items off one list.

#include <QFuture>
#include <QtConcurrent>

#include <type_traits>
#include <vector>

namespace orvale::launcher {

// Runs Work as Tasks tasks: Tasks - 1 of them in the global thread pool and
// one on the calling thread, and waits for all of them. The caller is often
// a task of the same pool itself; waiting idle there would leave its share
// to the other threads (on two cores, all of it to one). A task the pool has
// not started yet when its turn to be waited for comes is run here as well.
// Work must not throw. Returns the results in the order of the tasks.
template <typename TWork>
auto runTasksHereAndInPool(int Tasks, const TWork& Work)
{
  using TResult = decltype(Work());
  std::vector<QFuture<TResult>> Others;
  for (int Task = 1; Task < Tasks; ++Task)
    Others.push_back(QtConcurrent::run(Work));
  if constexpr (std::is_void_v<TResult>) {
    Work();
    for (QFuture<void>& Other : Others)
      Other.waitForFinished();
  } else {
    std::vector<TResult> Results;
    Results.push_back(Work());
    for (QFuture<TResult>& Other : Others)
      Results.push_back(Other.result());
    return Results;
  }
}

} // namespace orvale::launcher
