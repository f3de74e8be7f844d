#include "wording.h"

namespace orvale::publisher {

QString counted(std::uint64_t Count, const QString& One, const QString& Many)
{
  return QString("%1 %2").arg(Count).arg(Count == 1 ? One : Many);
}

} // namespace orvale::publisher
