#pragma once

#include <QByteArray>

#include <cstddef>
#include <memory>

namespace shared {

// Incremental SHA-256. Backed by OpenSSL's libcrypto, which uses the
// processor's SHA extensions where present and is several times faster than
// QCryptographicHash on such machines (see bench/).
class TSha256
{
public:
  TSha256();
  ~TSha256();
  TSha256(const TSha256&) = delete;
  TSha256& operator=(const TSha256&) = delete;

  void addData(const void* Data, std::size_t Size);
  void addData(const QByteArray& Data) { addData(Data.constData(), std::size_t(Data.size())); }
  // The 32-byte digest; the object must not be fed afterwards.
  QByteArray result();
  void reset();

  static QByteArray hash(const void* Data, std::size_t Size);
  static QByteArray hash(const QByteArray& Data) { return hash(Data.constData(), std::size_t(Data.size())); }

private:
  struct TState;
  std::unique_ptr<TState> m_pState;
};

} // namespace shared
