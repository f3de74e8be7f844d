#include "shared/sha256.h"

#include "shared/cputime.h"

#include <QIODevice>

#include <openssl/evp.h>

#include <algorithm>

#include <stdexcept>

namespace shared {

namespace {

const EVP_MD* sha256Method()
{
#if OPENSSL_VERSION_NUMBER >= 0x30000000L
  // Fetched once: the implicit fetch of every initialisation costs more
  // than hashing a small file.
  static EVP_MD* const Method = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  if (Method)
    return Method;
#endif
  return EVP_sha256();
}

} // namespace

struct TSha256::TState
{
  EVP_MD_CTX* context = nullptr;
};

TSha256::TSha256() : m_pState(std::make_unique<TState>())
{
  m_pState->context = EVP_MD_CTX_new();
  if (!m_pState->context)
    throw std::bad_alloc();
  reset();
}

TSha256::~TSha256()
{
  EVP_MD_CTX_free(m_pState->context);
}

void TSha256::reset()
{
  if (EVP_DigestInit_ex(m_pState->context, sha256Method(), nullptr) != 1)
    throw std::runtime_error("SHA-256 initialisation failed");
}

void TSha256::addData(const void* Data, std::size_t Size)
{
  if (Size < 4096) {
    if (Size != 0)
      EVP_DigestUpdate(m_pState->context, Data, Size);
    return;
  }
  const TCpuScope Scope(ECpuActivity::Hash);
  EVP_DigestUpdate(m_pState->context, Data, Size);
}

std::optional<std::uint64_t> TSha256::addFromDevice(QIODevice& Device, QByteArray& Buffer, std::uint64_t MaxBytes,
                                                    const std::function<void(std::uint64_t)>& Progress)
{
  std::uint64_t Done = 0;
  while (Done < MaxBytes) {
    const qint64 Want = qint64(std::min<std::uint64_t>(MaxBytes - Done, std::uint64_t(Buffer.size())));
    const qint64 Read = Device.read(Buffer.data(), Want);
    if (Read < 0)
      return std::nullopt;
    if (Read == 0)
      break;
    addData(Buffer.constData(), std::size_t(Read));
    Done += std::uint64_t(Read);
    if (Progress)
      Progress(std::uint64_t(Read));
  }
  return Done;
}

QByteArray TSha256::result()
{
  QByteArray Digest(32, '\0');
  unsigned int Length = 0;
  EVP_DigestFinal_ex(m_pState->context, reinterpret_cast<unsigned char*>(Digest.data()), &Length);
  Digest.resize(int(Length));
  return Digest;
}

QByteArray TSha256::hash(const void* Data, std::size_t Size)
{
  TSha256 Hash;
  Hash.addData(Data, Size);
  return Hash.result();
}

} // namespace shared
