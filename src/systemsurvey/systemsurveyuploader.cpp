#include "systemsurvey/systemsurveyuploader.h"

#include "systemsurvey/systemsurveydocument.h"
#include "systemsurvey/systemsurveyvalueretriever.h"

#include <QNetworkAccessManager>

namespace systemsurvey {

TSystemSurveyUploader::TSystemSurveyUploader(std::shared_ptr<shared::TJsonDocumentHttpPostSender> pSender,
                                             QUrl SurveyUrl,
                                             std::shared_ptr<TSystemSurveyAsJsonDocumentCreator> pDocumentCreator,
                                             QObject* pParent)
  : shared::TJsonDocumentUploaderBase(std::move(pSender), pParent),
    m_SurveyUrl(std::move(SurveyUrl)),
    m_pDocumentCreator(std::move(pDocumentCreator))
{
}

TSystemSurveyUploader::~TSystemSurveyUploader() = default;

void TSystemSurveyUploader::uploadSurvey()
{
  if (!m_pDocumentCreator)
    return;
  uploadDocument(m_SurveyUrl, m_pDocumentCreator->createDocument());
}

std::unique_ptr<TSystemSurveyUploader> startSystemSurvey(const QUrl& SurveyUrl)
{
  if (!SurveyUrl.isValid())
    return nullptr;
  auto pValueRetriever = std::make_shared<TSystemSurveyValueRetriever>();
  auto pSurveyCreator = std::make_shared<TSystemSurveyCreator>(pValueRetriever);
  auto pJsonConverter = std::make_shared<TSystemSurveyToJsonConverter>();
  auto pDocumentCreator = std::make_shared<TSystemSurveyAsJsonDocumentCreator>(pSurveyCreator, pJsonConverter);
  auto pNetworkAccessManager = std::make_shared<QNetworkAccessManager>();
  auto pSender = std::make_shared<shared::TJsonDocumentHttpPostSender>(pNetworkAccessManager);
  QObject::connect(pNetworkAccessManager.get(), &QNetworkAccessManager::finished, pSender.get(),
                   &shared::TJsonDocumentHttpPostSender::onFinished);
  auto pUploader = std::make_unique<TSystemSurveyUploader>(pSender, SurveyUrl, pDocumentCreator);
  pUploader->uploadSurvey();
  return pUploader;
}

} // namespace systemsurvey
