// The progress events posted to the maker's web service, the device
// identifier they carry, and the milestones of installations that send them.

#include "launcher/funnelevents.h"

#include "engine/installationmanager.h"

#include "shared/filesystemhelper.h"
#include "shared/downloadpool.h"

#include <QDebug>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSettings>
#include <QStandardPaths>
#include <QUuid>

#include <stdexcept>

namespace orvale::launcher {

const char* const FunnelUuidKey = "FunnelUuid";

namespace {

TFunnelEventSink& sink()
{
  static TFunnelEventSink Sink;
  return Sink;
}

} // namespace

QString sharedDeviceIdentifierFilePath()
{
  return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/Ashgrove Online/ashgroveShared.json";
}

QString funnelDeviceIdentifier(const QString& UuidKey)
{
  QSettings Settings;
  const QVariant Stored = Settings.value(UuidKey);
  if (Stored.isValid())
    return Stored.toString();
  const QString Identifier = QUuid::createUuid().toString(QUuid::WithoutBraces);
  Settings.setValue(UuidKey, Identifier);
  try {
    // A copy for other programs of the maker; best effort, and only when
    // its folder exists.
    shared::TFileSystemHelper().writeFileAtomically(
        sharedDeviceIdentifierFilePath(),
        QJsonDocument(QJsonObject{{"DeviceIdentifier", Identifier}}).toJson(QJsonDocument::Indented));
  } catch (const std::runtime_error&) {
  }
  return Identifier;
}

bool takeFunnelFirstTime(const QString& FirstTimeKey)
{
  QSettings Settings;
  const bool First = Settings.value(FirstTimeKey, true).toBool();
  if (First)
    Settings.setValue(FirstTimeKey, false);
  return First;
}

QByteArray funnelEventBody(const QString& Step, bool First, const QString& Identifier, const QString& AccountGroupKey)
{
  const QJsonObject Body{{"step", Step}, {"first", First}, {"id", Identifier}, {"accountgroupkey", AccountGroupKey}};
  return QJsonDocument(Body).toJson(QJsonDocument::Indented);
}

void postFunnelEvent(QObject* Parent, const QUrl& Url, const QString& Step, const QString& FirstTimeKey,
                     const QString& AccountGroupKey)
{
  qInfo().noquote() << QString("sendFunnelEvent: %1").arg(Step);
  const QString Identifier = funnelDeviceIdentifier();
  const bool First = takeFunnelFirstTime(FirstTimeKey);
  const QByteArray Body = funnelEventBody(Step, First, Identifier, AccountGroupKey);
  QNetworkRequest Request = ::shared::makeRequest(Url);
  Request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
  auto* Manager = new QNetworkAccessManager(Parent);
  qInfo().noquote() << QString("Sending funnel event for step %1").arg(Step);
  QNetworkReply* Reply = Manager->post(Request, Body);
  ::shared::limitReplyBody(Reply, ::shared::MaxDocumentBytes);
  QObject::connect(Reply, &QNetworkReply::finished, Reply, [Reply, Step] {
    if (::shared::replyError(Reply) != QNetworkReply::NoError) {
      qWarning().noquote() << QString("Error funnel sending (Step: %1):%2").arg(Step, ::shared::replyErrorString(Reply));
    } else {
      const QByteArray Data = ::shared::takeReplyBody(Reply);
      const int Nul = Data.indexOf('\0');
      const QString Text = QString::fromUtf8(Nul >= 0 ? Data.left(Nul) : Data);
      qInfo().noquote() << QString("Funnel response received (Step: %1):%2").arg(Step, Text);
    }
    Reply->deleteLater();
  });
}

void setFunnelEventSink(TFunnelEventSink Sink)
{
  sink() = std::move(Sink);
}

void sendFunnelEvent(const QString& Step, const QString& FirstTimeKey)
{
  if (sink())
    sink()(Step, FirstTimeKey);
}

void sendFunnelEventsOfInstallations(TInstallationManager& Manager)
{
  QObject::connect(&Manager, &TInstallationManager::packageDownloaded,
                   [] { sendFunnelEvent("launcher_downloaded", "FunnelFinishedDownloadingFirst"); });
  QObject::connect(&Manager, &TInstallationManager::packageVerified,
                   [] { sendFunnelEvent("launcher_verified", "FunnelFinished_VerifyingFirst"); });
}

} // namespace orvale::launcher
