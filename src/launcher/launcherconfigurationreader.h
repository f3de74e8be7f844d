#pragma once

#include "engine/packagelist.h"

#include <QByteArray>
#include <QUrl>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvale::launcher {

// Raised when the configuration document is not valid JSON; the message is
// the parser's error text.
class TLauncherConfigurationException : public std::runtime_error
{
public:
  explicit TLauncherConfigurationException(const std::string& Message) : std::runtime_error(Message) {}
};

// The parsed launcher configuration document: the launcher's own package,
// the game packages, the service URLs and the display flags. Missing or
// ill-typed members take their defaults. A package whose "directoryname" is
// not the name of one folder inside the packages folder (empty, "." or "..",
// or with a slash or a backslash) is left out with a logged reason; the
// others keep their position in the document as their index.
class TLauncherConfigurationReader : public TPackageList
{
public:
  // BaseUrl: the URL the document was loaded from, with its file name removed.
  TLauncherConfigurationReader(const QByteArray& Data, const QUrl& BaseUrl);

  const QUrl& baseUrl() const { return m_BaseUrl; }
  const QByteArray& documentData() const { return m_DocumentData; }
  const std::shared_ptr<TPackage>& launcherPackage() const { return m_LauncherPackage; }
  const QUrl& hardwareSurveyUrl() const { return m_HardwareSurveyUrl; }
  const QUrl& hintsUrl() const { return m_HintsUrl; }
  const QUrl& funnelUrl() const { return m_FunnelUrl; }
  bool preventDefaultAutostart() const { return m_PreventDefaultAutostart; }
  bool showPackageNames() const { return m_ShowPackageNames; }

private:
  QUrl m_BaseUrl;
  QByteArray m_DocumentData;
  std::shared_ptr<TPackage> m_LauncherPackage;
  QUrl m_HardwareSurveyUrl;
  QUrl m_HintsUrl;
  QUrl m_FunnelUrl;
  bool m_PreventDefaultAutostart = false;
  bool m_ShowPackageNames = false;
};

} // namespace orvale::launcher
