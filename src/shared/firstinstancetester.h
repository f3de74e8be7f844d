#pragma once

#include <QObject>
#include <QSharedMemory>
#include <QString>

#include <boost/noncopyable.hpp>

namespace shared {

// Tells whether this is the only running process that uses Key: the first
// process creates a one-byte named shared-memory segment and holds it for
// its lifetime; later processes find it already existing.
class FirstInstanceTester : public QObject, private boost::noncopyable
{
  Q_OBJECT
public:
  // Throws std::runtime_error "QSharedMemory::SharedMemoryError(<code>)" for
  // any failure other than an existing segment.
  explicit FirstInstanceTester(const QString& Key);
  ~FirstInstanceTester() override;

  bool isFirstInstance() const { return m_IsFirstInstance; }

private:
  QSharedMemory m_SharedMemory;
  bool m_IsFirstInstance = false;
};

} // namespace shared
