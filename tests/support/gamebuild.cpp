#include "gamebuild.h"

#include "testsupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <stdexcept>

namespace testsupport {

QByteArray textBytes(int Size, quint64 Seed)
{
  static const char* const Words[] = {"ashgrove", "online", "the", "quest", "sword", "of", "river", "guild",
                                      "stone", "dragon", "market", "night", "and", "a", "castle", "north"};
  QByteArray Result;
  Result.reserve(Size + 16);
  quint64 State = Seed * 0x9E3779B97F4A7C15ull + 1;
  while (Result.size() < Size) {
    State ^= State << 13;
    State ^= State >> 7;
    State ^= State << 17;
    Result.append(Words[State % 16]);
    Result.append((State >> 8) % 11 == 0 ? '\n' : ' ');
  }
  Result.resize(Size);
  return Result;
}

void writeGameBuildV1(const QString& Directory, int LargeFileMegabytes)
{
  const int Mega = 1024 * 1024;
  QDir().mkpath(Directory);
  writeWholeFile(Directory + "/data/world.pak", pseudoRandomBytes(LargeFileMegabytes * Mega, 101));
  writeWholeFile(Directory + "/data/textures.pak",
                 pseudoRandomBytes(LargeFileMegabytes * Mega * 3 / 4, 102) + textBytes(4 * Mega, 103));
  writeWholeFile(Directory + "/data/dialogue.txt", textBytes(12 * Mega, 104));
  writeWholeFile(Directory + "/data/music.ogg", pseudoRandomBytes(9 * Mega + 12345, 105));
  writeWholeFile(Directory + "/config/settings.ini", "[video]\nwidth=1920\nheight=1080\n");
  writeWholeFile(Directory + "/config/keys.ini", textBytes(5000, 106));
  writeWholeFile(Directory + "/readme.txt", textBytes(20000, 107));
  writeWholeFile(Directory + "/old-notes.txt", "to be removed\n");
  writeWholeFile(Directory + "/empty.dat", QByteArray());
  writeWholeFile(Directory + "/tools/helper.sh", "#!/bin/sh\necho helper\n");
  writeWholeFile(Directory + "/bin/client", "#!/bin/sh\necho client \"$@\"\n");
  QFile::setPermissions(Directory + "/bin/client", QFile::permissions(Directory + "/bin/client") | QFileDevice::ExeOwner |
                                                       QFileDevice::ExeGroup | QFileDevice::ExeOther);
}

void changeGameBuildToV2(const QString& Directory)
{
  const int Mega = 1024 * 1024;
  // Bytes inserted in the middle of a large file.
  QByteArray World = readWholeFile(Directory + "/data/world.pak");
  World.insert(World.size() / 2, pseudoRandomBytes(100000, 201));
  writeWholeFile(Directory + "/data/world.pak", World);
  // A region modified.
  QByteArray Textures = readWholeFile(Directory + "/data/textures.pak");
  Textures.replace(5 * Mega, Mega, pseudoRandomBytes(Mega, 202));
  writeWholeFile(Directory + "/data/textures.pak", Textures);
  // A large file shortened at its end.
  QByteArray Music = readWholeFile(Directory + "/data/music.ogg");
  Music.chop(2 * Mega);
  writeWholeFile(Directory + "/data/music.ogg", Music);
  // Added, removed, grown, shrunk, made executable.
  writeWholeFile(Directory + "/data/patch-notes.txt", textBytes(3000, 203));
  QFile::remove(Directory + "/old-notes.txt");
  writeWholeFile(Directory + "/readme.txt", readWholeFile(Directory + "/readme.txt") + textBytes(7000, 204));
  writeWholeFile(Directory + "/config/keys.ini", readWholeFile(Directory + "/config/keys.ini").left(2000));
  QFile::setPermissions(Directory + "/tools/helper.sh", QFile::permissions(Directory + "/tools/helper.sh") |
                                                            QFileDevice::ExeOwner | QFileDevice::ExeGroup |
                                                            QFileDevice::ExeOther);
}

QMap<QString, QString> describeTree(const QString& Directory, const QSet<QString>& Ignored)
{
  QMap<QString, QString> Result;
  const QDir Root(Directory);
  QDirIterator Iterator(Directory, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
  while (Iterator.hasNext()) {
    Iterator.next();
    const QString Relative = Root.relativeFilePath(Iterator.filePath());
    if (Ignored.contains(Relative))
      continue;
    const QByteArray Hash =
        QCryptographicHash::hash(readWholeFile(Iterator.filePath()), QCryptographicHash::Sha256).toHex();
    const bool Executable = Iterator.fileInfo().permissions() & QFileDevice::ExeOwner;
    Result.insert(Relative, QString::fromLatin1(Hash) + (Executable ? " x" : " -"));
  }
  return Result;
}

namespace {

struct TRecord
{
  QString url;
  qint64 packedSize = 0;
  QString unpackedHash;
};

QList<TRecord> downloadRecords(const QByteArray& Description)
{
  const QJsonObject Root = QJsonDocument::fromJson(Description).object();
  const QJsonArray Chunks = Root.value("chunks").toArray();
  QList<TRecord> Records;
  QSet<QString> Seen;
  const QJsonArray Packs = Root.value("packs").toArray();
  const auto Add = [&](const QJsonObject& Object) {
    // A piece in a pack is told apart by its pack and offset.
    const QString Url = Object.contains("pack") ? QString("%1#%2")
                                                      .arg(Packs.at(Object.value("pack").toInt()).toObject().value("url").toString())
                                                      .arg(Object.value("packoffset").toDouble(), 0, 'f', 0)
                                                : Object.value("url").toString();
    if (Url.isEmpty() || Seen.contains(Url))
      return;
    Seen.insert(Url);
    Records.append({Url, qint64(Object.value("packedsize").toDouble()), Object.value("unpackedhash").toString()});
  };
  for (const QJsonValue& File : Root.value("files").toArray()) {
    const QJsonObject Object = File.toObject();
    if (Object.contains("chunks")) {
      for (const QJsonValue& Index : Object.value("chunks").toArray())
        Add(Chunks.at(Index.toInt()).toObject());
    } else {
      Add(Object);
    }
  }
  return Records;
}

} // namespace

qint64 updateDownloadFloor(const QByteArray& OldDescription, const QByteArray& NewDescription)
{
  QSet<QString> OldContent;
  for (const TRecord& Record : downloadRecords(OldDescription))
    OldContent.insert(Record.unpackedHash);
  qint64 Floor = 0;
  for (const TRecord& Record : downloadRecords(NewDescription)) {
    if (!OldContent.contains(Record.unpackedHash))
      Floor += Record.packedSize;
  }
  return Floor;
}

qint64 fullDownloadSize(const QByteArray& Description)
{
  qint64 Total = 0;
  for (const TRecord& Record : downloadRecords(Description))
    Total += Record.packedSize;
  return Total;
}

} // namespace testsupport
