#pragma once

#include "systemsurvey/systemsurveyrecords.h"

#include <QJsonDocument>

#include <memory>

namespace systemsurvey {

class TSystemSurveyValueRetriever;

// Gathers one survey record from a value retriever.
class TSystemSurveyCreator
{
public:
  explicit TSystemSurveyCreator(std::shared_ptr<TSystemSurveyValueRetriever> pValueRetriever);
  virtual ~TSystemSurveyCreator();

  // Monitors without width or height are left out.
  virtual TSystemSurvey createSurvey();

private:
  std::shared_ptr<TSystemSurveyValueRetriever> m_pValueRetriever;
};

// Converts a survey record into the survey document, including this
// machine's client identifier.
class TSystemSurveyToJsonConverter
{
public:
  TSystemSurveyToJsonConverter() = default;
  virtual ~TSystemSurveyToJsonConverter();

  virtual QJsonDocument convertToJson(const TSystemSurvey& Survey);
};

// Creates the survey document: gathers a survey and converts it.
class TSystemSurveyAsJsonDocumentCreator
{
public:
  TSystemSurveyAsJsonDocumentCreator(std::shared_ptr<TSystemSurveyCreator> pSurveyCreator,
                                     std::shared_ptr<TSystemSurveyToJsonConverter> pJsonConverter);
  virtual ~TSystemSurveyAsJsonDocumentCreator();

  virtual QJsonDocument createDocument();

private:
  std::shared_ptr<TSystemSurveyCreator> m_pSurveyCreator;
  std::shared_ptr<TSystemSurveyToJsonConverter> m_pJsonConverter;
};

} // namespace systemsurvey
