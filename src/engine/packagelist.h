#pragma once

#include "engine/package.h"

#include <memory>
#include <vector>

namespace orvale::launcher {

// The packages an installation manager looks after, in their order. The
// launcher's configuration is one; the tests and the benchmark make their
// own.
class TPackageList
{
public:
  TPackageList() = default;
  explicit TPackageList(std::vector<std::shared_ptr<TPackage>> Packages) : m_Packages(std::move(Packages)) {}
  virtual ~TPackageList() = default;

  const std::vector<std::shared_ptr<TPackage>>& packages() const { return m_Packages; }

protected:
  std::vector<std::shared_ptr<TPackage>> m_Packages;
};

} // namespace orvale::launcher
