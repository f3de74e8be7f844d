#include "shared/firstinstancetester.h"

#include <QFile>

#include <stdexcept>
#include <string>

namespace shared {

namespace {

// Segments dropped at most before giving up; each costs a few system calls.
constexpr int MaxDroppedSegments = 1000;

bool tryCreate(QSharedMemory& Memory)
{
  if (Memory.create(1, QSharedMemory::ReadWrite))
    return true;
  // A segment left behind by a process that was killed has no attached
  // process any more; attaching and detaching again lets the system drop
  // it, together with its key file. The key file made anew has another
  // inode, and the key derives from it, so the next key may name another
  // segment left behind: go on while segments are dropped. One that a
  // running launcher holds stays, and so does its key file.
  for (int Dropped = 0; Dropped < MaxDroppedSegments && Memory.error() == QSharedMemory::AlreadyExists; ++Dropped) {
    if (!Memory.attach())
      return false;
    Memory.detach();
    const bool Held = QFile::exists(Memory.nativeKey());
    if (Memory.create(1, QSharedMemory::ReadWrite))
      return true;
    if (Held)
      return false;
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
