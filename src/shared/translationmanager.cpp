#include "shared/translationmanager.h"

#include <QCoreApplication>
#include <QTranslator>

namespace orvale::shared {

TTranslationManager::TTranslationManager() = default;
TTranslationManager::~TTranslationManager() = default;

bool TTranslationManager::loadTranslation(QCoreApplication& Application, const QString& BaseName,
                                          const QString& Directory)
{
  if (m_pTranslator) {
    Application.removeTranslator(m_pTranslator.get());
    m_pTranslator.reset();
  }
  m_pTranslator = std::make_unique<QTranslator>();
  const bool Loaded = m_pTranslator->load(BaseName, Directory);
  if (Loaded)
    Application.installTranslator(m_pTranslator.get());
  return Loaded;
}

} // namespace orvale::shared
