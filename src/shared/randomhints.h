#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QMetaType>
#include <QString>

#include <optional>
#include <vector>

namespace shared {

// One news item shown in the launcher window.
struct THint
{
  QString title;
  QString richText;   // begins with the link style prefix after parsing
  QString imageUrl;
  QString category;   // "cat1", "cat2" or "cat3" are shown
  QString url;        // link target
  QDateTime displayAfter;
  QDateTime displayUntil;
  bool hasEmergency = false;
  bool emergency = false;
};

// Style put in front of every hint's rich text.
extern const char* const HintRichTextPrefix;

// Parses a hints document (a JSON array of hint objects) in document order.
// Hints with an empty rich text are dropped. Never throws; invalid JSON logs
// one warning and gives no hints.
std::vector<THint> parseHints(const QByteArray& Document);

// The hint to feature at NowUtc: the first emergency hint; else the first
// hint within its display window that has a window; else one of the
// window-less candidates, rotating with the millisecond clock. Empty when no
// hint is a candidate.
std::optional<THint> selectFeaturedHint(const std::vector<THint>& Hints, const QDateTime& NowUtc);

} // namespace shared

Q_DECLARE_METATYPE(shared::THint)
Q_DECLARE_METATYPE(std::vector<shared::THint>)
