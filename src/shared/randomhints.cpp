#include "shared/randomhints.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

namespace shared {

const char* const HintRichTextPrefix = "<style>a { color: #c0c0c0; }</style>";

std::vector<THint> parseHints(const QByteArray& Document)
{
  std::vector<THint> Hints;
  QJsonParseError Error;
  const QJsonDocument Json = QJsonDocument::fromJson(Document, &Error);
  if (Error.error != QJsonParseError::NoError) {
    qWarning().noquote() << QString("Could not parse hints file at offset %1: %2").arg(Error.offset).arg(Error.errorString());
    return Hints;
  }
  const QJsonArray Array = Json.array();  // an object gives an empty array
  for (const QJsonValue& Element : Array) {
    const QJsonObject Object = Element.toObject();
    THint Hint;
    Hint.title = Object.value("title").toString();
    Hint.richText = Object.value("richText").toString();
    Hint.imageUrl = Object.value("imageUrl").toString();
    Hint.category = Object.value("category").toString();
    Hint.url = Object.value("url").toString();
    Hint.displayAfter = QDateTime::fromString(Object.value("displayAfter").toString(), Qt::ISODate);
    Hint.displayUntil = QDateTime::fromString(Object.value("displayUntil").toString(), Qt::ISODate);
    if (Object.contains("emergency")) {
      Hint.hasEmergency = true;
      Hint.emergency = Object.value("emergency").toBool(false);
    }
    if (Hint.richText.isEmpty())
      continue;
    Hint.richText.prepend(HintRichTextPrefix);
    Hints.push_back(std::move(Hint));
  }
  return Hints;
}

std::optional<THint> selectFeaturedHint(const std::vector<THint>& Hints, const QDateTime& NowUtc)
{
  for (const THint& Hint : Hints) {
    if (Hint.hasEmergency && Hint.emergency)
      return Hint;
  }
  std::vector<const THint*> Candidates;
  for (const THint& Hint : Hints) {
    if (Hint.hasEmergency)
      continue;
    if (Hint.displayAfter.isValid() && Hint.displayAfter > NowUtc)
      continue;
    if (Hint.displayUntil.isValid() && Hint.displayUntil < NowUtc)
      continue;
    Candidates.push_back(&Hint);
  }
  for (const THint* Candidate : Candidates) {
    if (Candidate->displayAfter.isValid() || Candidate->displayUntil.isValid())
      return *Candidate;
  }
  if (Candidates.empty())
    return std::nullopt;
  const quint64 Milliseconds = quint64(NowUtc.toMSecsSinceEpoch());
  return *Candidates[std::size_t(Milliseconds % quint64(Candidates.size()))];
}

} // namespace shared
