#pragma once

#include <cstdint>
#include <memory>
#include <random>

namespace shared {

// Uniformly distributed integers from closed ranges, drawn from a
// minimal-standard linear congruential generator seeded once from
// std::random_device.
class TRandomNumberGenerator
{
public:
  TRandomNumberGenerator();
  virtual ~TRandomNumberGenerator();

  virtual std::uint64_t randomUnsigned(std::uint64_t Min, std::uint64_t Max);
  virtual std::uint64_t generateUnsigned(std::uint64_t Min, std::uint64_t Max);
  virtual std::int64_t randomSigned(std::int64_t Min, std::int64_t Max);

  // The process-wide instance, created on first use.
  static std::shared_ptr<TRandomNumberGenerator> instance();

private:
  std::minstd_rand0 m_Engine;
};

} // namespace shared
