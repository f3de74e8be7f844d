// Parsing the configuration document: the launcher's package, the game
// packages, the service URLs and the display flags.

#include "launcher/launcherconfigurationreader.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

namespace orvale::launcher {

namespace {

// A package is installed in one folder directly inside the packages folder:
// its "directoryname" must name such a folder, not the packages folder
// itself, nothing above it and nothing deeper.
bool isPlainFolderName(const QString& Name)
{
  return !Name.isEmpty() && Name != QLatin1String(".") && Name != QLatin1String("..") && !Name.contains('/') &&
         !Name.contains('\\') && !Name.contains(QChar(0));
}

} // namespace

TLauncherConfigurationReader::TLauncherConfigurationReader(const QByteArray& Data, const QUrl& BaseUrl)
  : m_BaseUrl(BaseUrl), m_DocumentData(Data)
{
  QJsonParseError Error;
  const QJsonDocument Document = QJsonDocument::fromJson(Data, &Error);
  if (Error.error != QJsonParseError::NoError)
    throw TLauncherConfigurationException(Error.errorString().toStdString());

  const QJsonObject Root = Document.object();  // an array gives an empty object
  const QJsonValue Launcher = Root.value("launcher");
  if (Launcher.isObject())
    m_LauncherPackage = std::make_shared<TPackage>(LauncherPackageIndex, Launcher.toObject(), m_BaseUrl);
  const QJsonValue Packages = Root.value("packages");
  if (Packages.isArray()) {
    const QJsonArray Array = Packages.toArray();
    for (int Position = 0; Position < Array.size(); ++Position) {
      const QJsonObject Entry = Array.at(Position).toObject();
      const QString DirectoryName = Entry.value("directoryname").toString();
      if (!isPlainFolderName(DirectoryName)) {
        qWarning().noquote() << QString("Package %1 (\"%2\") left out: its directoryname \"%3\" is not the name of a "
                                        "folder in the packages folder")
                                    .arg(Position)
                                    .arg(Entry.value("name").toString(), DirectoryName);
        continue;
      }
      m_Packages.push_back(std::make_shared<TPackage>(Position, Entry, m_BaseUrl));
    }
  }
  m_HardwareSurveyUrl = QUrl(Root.value("hardwaresurvey").toString(), QUrl::TolerantMode);
  m_HintsUrl = QUrl(Root.value("hints").toString(), QUrl::TolerantMode);
  m_FunnelUrl = QUrl(Root.value("funnel").toString(), QUrl::TolerantMode);
  m_PreventDefaultAutostart = Root.value("preventdefaultautostart").toBool(false);
  m_ShowPackageNames = Root.value("showpackagenames").toBool(false);
}

} // namespace orvale::launcher
