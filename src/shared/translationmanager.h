#pragma once

#include <QString>

#include <memory>

class QCoreApplication;
class QTranslator;

namespace orvale::shared {

// Owns the one installed translator of the application.
class TTranslationManager
{
public:
  TTranslationManager();
  ~TTranslationManager();
  TTranslationManager(const TTranslationManager&) = delete;
  TTranslationManager& operator=(const TTranslationManager&) = delete;

  // Removes and deletes the current translator, loads BaseName from
  // Directory and installs it when loading succeeded. The manager keeps the
  // new translator either way. Returns whether loading succeeded.
  bool loadTranslation(QCoreApplication& Application, const QString& BaseName,
                       const QString& Directory);

  QTranslator* translator() const { return m_pTranslator.get(); }

private:
  std::unique_ptr<QTranslator> m_pTranslator;
};

} // namespace orvale::shared
