#pragma once

// Entry point of the CDN trace page parser, shared by its libFuzzer target
// and the replay of its regression inputs. See fuzzchecks.h for the outcome
// it reports.

#include "fuzzchecks.h"

#include "launcher/cloudflarecdntrace.h"

namespace fuzzchecks {

// Values are trimmed, free of line feeds and of "="; the trace object takes
// the same values from a reply for its URL as the free parser gives.
inline TOutcome checkCdnTrace(const QByteArray& Data)
{
  using namespace orvale::launcher;
  const TCdnTraceValues Values = parseCdnTrace(Data);
  for (const QString* Value : {&Values.fl, &Values.ts, &Values.colo, &Values.ip}) {
    if (*Value != Value->trimmed() || Value->contains('\n') || Value->contains('='))
      return {"value not trimmed or holding a separator: " + *Value, true};
  }
  const QUrl TraceUrl("https://www.example.org/cdn-cgi/trace");
  TCloudflareCdnTrace Trace(TraceUrl, nullptr);
  Trace.onDownloadSuccess(QUrl("https://other.example.org/cdn-cgi/trace"), Data);
  if (Trace.received() || !Trace.fl().isEmpty())
    return {"a reply for another URL was taken", true};
  Trace.onDownloadSuccess(TraceUrl, Data);
  if (!Trace.received() || Trace.failed() || Trace.inProgress())
    return {"a reply did not count as received", true};
  if (Trace.fl() != Values.fl || Trace.ts() != Values.ts || Trace.colo() != Values.colo || Trace.ip() != Values.ip)
    return {"the trace object and the parser disagree", true};
  return {QString(), true};
}

} // namespace fuzzchecks
