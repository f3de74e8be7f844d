#pragma once

#include "shared/jsonuploader.h"

#include <QUrl>

#include <memory>

namespace systemsurvey {

class TSystemSurveyAsJsonDocumentCreator;

// Creates the survey document and uploads it to the survey URL.
class TSystemSurveyUploader : public shared::TJsonDocumentUploaderBase
{
  Q_OBJECT

public:
  TSystemSurveyUploader(std::shared_ptr<shared::TJsonDocumentHttpPostSender> pSender, QUrl SurveyUrl,
                        std::shared_ptr<TSystemSurveyAsJsonDocumentCreator> pDocumentCreator,
                        QObject* pParent = nullptr);
  ~TSystemSurveyUploader() override;

  // Gathers the survey on the calling (GUI) thread and posts it; the outcome
  // arrives through finished().
  virtual void uploadSurvey();

  const QUrl& surveyUrl() const { return m_SurveyUrl; }

private:
  QUrl m_SurveyUrl;
  std::shared_ptr<TSystemSurveyAsJsonDocumentCreator> m_pDocumentCreator;
};

// Builds the whole survey chain for this machine (value retriever, survey
// creator, JSON converter, document creator, HTTP sender with its own network
// access manager, uploader) and starts the upload to SurveyUrl. The caller
// keeps the uploader until the upload is no longer of interest; deleting it
// also ends the chain. Returns null without uploading when SurveyUrl is not a
// valid URL.
std::unique_ptr<TSystemSurveyUploader> startSystemSurvey(const QUrl& SurveyUrl);

} // namespace systemsurvey
