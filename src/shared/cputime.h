#pragma once

#include <cstdint>

// Where the CPU time of the threads goes, by activity: what the bench
// reports as the shares of an installation's CPU time spent decoding,
// hashing and writing. A scope charges the CPU time its thread spends in it
// to its activity, less what scopes nested in it charge to theirs. Costs two
// reads of the thread's CPU clock per scope.
namespace shared {

enum class ECpuActivity
{
  Decode,  // decompressing chunks and blocks
  Hash,    // SHA-256 of chunks and blocks
  Write,   // writing installed data (and reading blocks of old data)
};

class TCpuScope
{
public:
  explicit TCpuScope(ECpuActivity Activity);
  ~TCpuScope();
  TCpuScope(const TCpuScope&) = delete;
  TCpuScope& operator=(const TCpuScope&) = delete;

private:
  ECpuActivity m_Activity;
  std::int64_t m_Start;
  std::int64_t m_NestedBefore;
};

// CPU seconds charged to the activity by all threads since the program
// started.
double cpuSeconds(ECpuActivity Activity);

} // namespace shared
