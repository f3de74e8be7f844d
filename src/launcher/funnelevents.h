#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <functional>

class QObject;
class QNetworkAccessManager;

namespace orvale::launcher {

class TInstallationManager;

// Progress events posted to the maker's web service at three milestones.
struct TFunnelEvent
{
  QString step;            // "launcher_started", "launcher_downloaded", "launcher_verified"
  QString firstTimeKey;    // settings key that is true until the step was sent once
};

// Settings key of the lasting device identifier.
extern const char* const FunnelUuidKey;

// Reads (or creates and stores) the device identifier; a new identifier is
// also written to the shared device-identifier file.
QString funnelDeviceIdentifier(const QString& UuidKey = FunnelUuidKey);
// Reads the first-time key (true when absent) and clears it.
bool takeFunnelFirstTime(const QString& FirstTimeKey);
// Path of the shared device-identifier file.
QString sharedDeviceIdentifierFilePath();
// The request body of one event.
QByteArray funnelEventBody(const QString& Step, bool First, const QString& Identifier, const QString& AccountGroupKey);

// Posts one event to Url; the outcome is only logged. The network access
// manager of the event is a child of Parent and lives as long as it.
void postFunnelEvent(QObject* Parent, const QUrl& Url, const QString& Step, const QString& FirstTimeKey,
                     const QString& AccountGroupKey);

// The application installs the function that sends events (it knows the
// funnel URL and the account group key); without one, events are dropped.
using TFunnelEventSink = std::function<void(const QString& Step, const QString& FirstTimeKey)>;
void setFunnelEventSink(TFunnelEventSink Sink);
void sendFunnelEvent(const QString& Step, const QString& FirstTimeKey);

// Sends "launcher_downloaded" and "launcher_verified" when Manager reaches
// those milestones of an installation.
void sendFunnelEventsOfInstallations(TInstallationManager& Manager);

} // namespace orvale::launcher
