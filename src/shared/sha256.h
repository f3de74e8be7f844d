#pragma once

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

class QIODevice;

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
  // Feeds what Device reads from its current position, up to MaxBytes or its
  // end, in reads of Buffer's size (Buffer must not be empty); Progress, when
  // given, hears the size of every read. Returns the bytes fed, or nothing
  // when a read fails.
  std::optional<std::uint64_t> addFromDevice(QIODevice& Device, QByteArray& Buffer,
                                             std::uint64_t MaxBytes = UINT64_MAX,
                                             const std::function<void(std::uint64_t)>& Progress = {});
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
