#include "shared/firstinstancetester.h"

#include <stdexcept>
#include <string>

namespace shared {

namespace {

bool tryCreate(QSharedMemory& Memory)
{
  if (Memory.create(1, QSharedMemory::ReadWrite))
    return true;
  if (Memory.error() == QSharedMemory::AlreadyExists) {
    // A segment left behind by a process that crashed has no attached
    // process any more; attaching and detaching again lets the system drop
    // it, after which the creation succeeds.
    if (Memory.attach()) {
      Memory.detach();
      if (Memory.create(1, QSharedMemory::ReadWrite))
        return true;
    }
  }
  return false;
}

} // namespace

FirstInstanceTester::FirstInstanceTester(const QString& Key) : m_SharedMemory(Key)
{
  if (tryCreate(m_SharedMemory)) {
    m_IsFirstInstance = true;
    return;
  }
  const QSharedMemory::SharedMemoryError Error = m_SharedMemory.error();
  if (Error == QSharedMemory::AlreadyExists) {
    m_IsFirstInstance = false;
    return;
  }
  throw std::runtime_error("QSharedMemory::SharedMemoryError(" + std::to_string(int(Error)) + ")");
}

FirstInstanceTester::~FirstInstanceTester() = default;

} // namespace shared
