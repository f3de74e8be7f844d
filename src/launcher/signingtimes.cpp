// The newest signing time accepted for each signed document, kept in the
// data directory.

#include "launcher/signingtimes.h"

#include "launcher/launcherfilesystemhelper.h"
#include "shared/filesystemhelper.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

namespace orvale::launcher {

namespace {

const char* const kFileName = "signing-times.json";
// A few hundred bytes per document; far more than any launcher keeps.
constexpr qint64 kMaxFileBytes = 1024 * 1024;

QString timeText(const QDateTime& Time)
{
  return Time.toUTC().toString(Qt::ISODate);
}

} // namespace

TAcceptedSigningTimes::TAcceptedSigningTimes(shared::TFileSystemHelper& Helper, QString Path)
  : m_Helper(Helper), m_Path(std::move(Path))
{
}

QString TAcceptedSigningTimes::defaultPath()
{
  return QDir(TLauncherFilesystemHelper::dataDirectory()).filePath(kFileName);
}

void TAcceptedSigningTimes::load()
{
  if (m_Loaded)
    return;
  m_Loaded = true;
  QFile File(m_Path);
  if (!File.exists())
    return;
  QByteArray Data;
  if (File.open(QIODevice::ReadOnly))
    Data = File.read(kMaxFileBytes + 1);
  const QJsonDocument Document = QJsonDocument::fromJson(Data);
  const QJsonObject Documents = Document.object().value("documents").toObject();
  if (Data.size() > kMaxFileBytes || !Document.isObject()) {
    qCritical().noquote() << QString("%1 cannot be read; no signing time is known").arg(m_Path);
    return;
  }
  for (auto Entry = Documents.begin(); Entry != Documents.end(); ++Entry) {
    const QDateTime Time = QDateTime::fromString(Entry.value().toString(), Qt::ISODate);
    if (Time.isValid())
      m_Times.insert(Entry.key(), Time.toUTC());
  }
}

std::optional<QDateTime> TAcceptedSigningTimes::newest(const shared::TSignedDocument& Document)
{
  load();
  const auto Found = m_Times.constFind(Document.key());
  if (Found == m_Times.constEnd())
    return std::nullopt;
  return *Found;
}

void TAcceptedSigningTimes::accept(const shared::TSignedDocument& Document, const QDateTime& Time)
{
  const auto Known = newest(Document);
  if (Known && *Known >= Time)
    return;
  QJsonObject Documents;
  for (auto Entry = m_Times.constBegin(); Entry != m_Times.constEnd(); ++Entry)
    Documents.insert(Entry.key(), timeText(Entry.value()));
  Documents.insert(Document.key(), timeText(Time));
  m_Helper.ensureDirectory(QFileInfo(m_Path).absolutePath());
  m_Helper.writeFileAtomically(m_Path, QJsonDocument(QJsonObject{{"documents", Documents}}).toJson());
  m_Times.insert(Document.key(), Time.toUTC());
}

} // namespace orvale::launcher
