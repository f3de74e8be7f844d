#include "shared/randomnumbergenerator.h"

#include <QtGlobal>

#include <mutex>

namespace shared {

TRandomNumberGenerator::TRandomNumberGenerator()
{
  std::random_device Device("default");
  m_Engine.seed(Device());
}

TRandomNumberGenerator::~TRandomNumberGenerator() = default;

std::uint64_t TRandomNumberGenerator::randomUnsigned(std::uint64_t Min, std::uint64_t Max)
{
  Q_ASSERT_X(Min <= Max, "TRandomNumberGenerator::randomUnsigned", "Min <= Max");
  return generateUnsigned(Min, Max);
}

std::uint64_t TRandomNumberGenerator::generateUnsigned(std::uint64_t Min, std::uint64_t Max)
{
  Q_ASSERT_X(Min <= Max, "TRandomNumberGenerator::generateUnsigned", "Min <= Max");
  std::uniform_int_distribution<std::uint64_t> Distribution(Min, Max);
  return Distribution(m_Engine);
}

std::int64_t TRandomNumberGenerator::randomSigned(std::int64_t Min, std::int64_t Max)
{
  Q_ASSERT_X(Min <= Max, "TRandomNumberGenerator::randomSigned", "Min <= Max");
  std::uniform_int_distribution<std::int64_t> Distribution(Min, Max);
  return Distribution(m_Engine);
}

std::shared_ptr<TRandomNumberGenerator> TRandomNumberGenerator::instance()
{
  static std::once_flag Once;
  static std::shared_ptr<TRandomNumberGenerator> Instance;
  std::call_once(Once, [] { Instance = std::make_shared<TRandomNumberGenerator>(); });
  return Instance;
}

} // namespace shared
