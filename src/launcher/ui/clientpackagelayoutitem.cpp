#include "launcher/ui/clientpackagelayoutitem.h"

#include "engine/packageinstallation.h"
#include "launcher/ui/launcherstyle.h"
#include "launcher/ui/launcheruiresources.h"
#include "launcher/ui/progresstexts.h"
#include "launcher/ui/qcontextpushbutton.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QImageReader>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>

#include <limits>

namespace orvale::launcher {

namespace {

QString labelStyleSheet()
{
  return "QLabel {" + launcherTextDeclarations(13) + "}";
}

QString progressBarStyleSheet()
{
  return R"(
        QProgressBar {
          border-image: url(:/images/launcher/ProgressBar_BG.png);)" +
         launcherTextDeclarations(13) + R"(
          text-align: center;
          border-top: 2px;
          border-left: 2px;
          border-bottom: 2px;
          border-right: 2px;
        }
        QProgressBar::chunk {
          border-image: url(:/images/launcher/ProgressBar.png);
        }
      )";
}

QString checkBoxStyleSheet()
{
  return "QCheckBox {" + launcherTextDeclarations(13) + R"(}
        QCheckBox::indicator:unchecked {
          image: url(:/images/launcher/checkbox-unchecked.png);
        }
        QCheckBox::indicator:checked {
          image: url(:/images/launcher/checkbox-checked.png);
        }
      )";
}

const char* const GroupBoxStyleSheet = R"(
        QGroupBox {
          border-image: url(:/images/launcher/clientpackage-background.png) 16 16 16 16 repeat repeat;
          border-top: 16px transparent;
          border-left: 16px transparent;
          border-bottom: 16px transparent;
          border-right: 16px transparent;
          background-attachment: fixed;
          padding-top: -6px;
          padding-left: -2px;
          padding-bottom: -8px;
          padding-right: -2px;
        }
      )";

const QSize ButtonSize(98, 40);

} // namespace

QString packageButtonColourWord(ELocalPackageStatus Status)
{
  switch (Status) {
  case ELocalPackageStatus::Unknown:
    return "Red";
  case ELocalPackageStatus::NotInstalled:
    return "Blue";
  case ELocalPackageStatus::PartiallyInstalled:
  case ELocalPackageStatus::UpdateAvailable:
    return "Orange";
  default:
    return "Green";
  }
}

QString packageButtonActionWord(ELocalPackageStatus Status)
{
  switch (Status) {
  case ELocalPackageStatus::Unknown:
    return QString();
  case ELocalPackageStatus::NotInstalled:
    return "Download";
  case ELocalPackageStatus::PartiallyInstalled:
  case ELocalPackageStatus::UpdateAvailable:
    return "Update";
  default:
    return "Play";
  }
}

QStringList packageButtonContextActions(ELocalPackageStatus Status)
{
  switch (Status) {
  case ELocalPackageStatus::Unknown:
  case ELocalPackageStatus::NotInstalled:
  case ELocalPackageStatus::PartiallyInstalled:
  case ELocalPackageStatus::UpdateAvailable:
    return {};
  default:
    return {"Verify"};
  }
}

QString packageButtonStyleSheet(const QString& ColourWord, const QString& ActionWord)
{
  return QString("\n\n        QPushButton {\n          border-image: url(:/images/launcher/Button_") + ColourWord +
         "_idle.png) 4 4 4 4 repeat scale;\n"
         "          border-top: 4px transparent;\n"
         "          border-left: 4px transparent;\n"
         "          border-bottom: 4px transparent;\n"
         "          border-right: 4px transparent;\n"
         "          image: url(:/images/launcher/Icon_" +
         ActionWord +
         ".png);\n"
         "        }\n"
         "        QPushButton:hover {\n"
         "          border-image: url(:/images/launcher/Button_" +
         ColourWord +
         "_hover.png) 4 4 4 4 repeat scale;\n"
         "          border-top: 4px transparent;\n"
         "          border-left: 4px transparent;\n"
         "          border-bottom: 4px transparent;\n"
         "          border-right: 4px transparent;\n"
         "        }\n"
         "        QPushButton:pressed {\n"
         "          border-image: url(:/images/launcher/Button_" +
         ColourWord +
         "_pressed.png) 4 4 4 4 repeat scale;\n"
         "          border-top: 4px transparent;\n"
         "          border-left: 4px transparent;\n"
         "          border-bottom: 4px transparent;\n"
         "          border-right: 4px transparent;\n"
         "          padding-top: 1px;\n"
         "          padding-left: 1px;\n"
         "          padding-bottom: -1px;\n"
         "          padding-right: -1px;\n"
         "        }\n"
         "        QToolTip {\n"
         "          border: 1px solid black;\n"
         "          background: #c0c0c0;\n"
         "          padding-top: 1px;\n"
         "          padding-left: 1px;\n"
         "          padding-bottom: 1px;\n"
         "          padding-right: 1px;\n"
         "          font-family: \"Liberation Sans\";\n"
         "          font-variant: small-caps;\n"
         "          font-size: 11px;\n"
         "          font-weight: bold;\n"
         "          color: #3F3F3F;\n"
         "        }\n"
         "      ";
}

QString packageLogoPath(const TPackageConfigurationReader* Description, ELocalPackageStatus Status)
{
  QString Variant = "QT";
  if (Description) {
    if (Description->generation() == EPackageGeneration::First) {
      Variant = "Classic";
    } else {
      switch (Description->variant()) {
      case EPackageVariant::Preview:
        Variant = "Preview";
        break;
      case EPackageVariant::Beta:
        Variant = "Beta";
        break;
      case EPackageVariant::Test:
        Variant = "Test";
        break;
      default:
        break;
      }
    }
  }
  const QString Suffix = Status == ELocalPackageStatus::UpToDate ? QString() : QString("_disabled");
  return ":/images/launcher/AshgroveLogo_" + Variant + Suffix + ".png";
}

TClientPackageLayoutItem::TClientPackageLayoutItem(std::shared_ptr<TPackage> Package, bool ShowPackageName)
  : m_pPackage(std::move(Package))
{
  initLauncherUiResources();

  // 1. Logo, as large as the launcher's own logo.
  m_pLogoLabel = new QLabel;
  m_pLogoLabel->setFixedSize(QImageReader(":/images/launcher/LauncherLogo_QT.png").size());
  updatePackageImageFromPackageStatus();

  // 2. Main button.
  m_pButton = new QContextPushButton;
  updateButtonFromPackageStatus();
  connect(m_pButton, &QPushButton::clicked, this, [this] { emit buttonClicked(m_pPackage); });
  connect(m_pButton, &QContextPushButton::contextTriggered, this, [this](const QString&) {
    emit verifyButtonClicked(m_pPackage);
  });

  // 3. Progress bar in the button's place.
  m_pProgressBar = new QProgressBar;
  m_pProgressBar->setFixedSize(m_pButton->size());
  m_pProgressBar->setRange(0, 100);
  m_pProgressBar->setValue(0);
  m_pProgressBar->setTextVisible(true);
  m_pProgressBar->setStyleSheet(progressBarStyleSheet());

  // 4. Name and version.
  if (ShowPackageName) {
    m_pNameLabel = new QLabel;
    m_pNameLabel->setStyleSheet(labelStyleSheet());
    m_pNameLabel->setTextFormat(Qt::PlainText);
  }
  m_pVersionLabel = new QLabel;
  m_pVersionLabel->setStyleSheet(labelStyleSheet());
  m_pVersionLabel->setTextFormat(Qt::PlainText);
  updatePackageNameAndVersion();

  // 5. "Default Client" checkbox; it keeps its place while hidden.
  m_pDefaultClientCheckBox = new QCheckBox("Default Client");
  QSizePolicy Policy = m_pDefaultClientCheckBox->sizePolicy();
  Policy.setRetainSizeWhenHidden(true);
  m_pDefaultClientCheckBox->setSizePolicy(Policy);
  m_pDefaultClientCheckBox->setStyleSheet(checkBoxStyleSheet());
  connect(m_pDefaultClientCheckBox, &QCheckBox::stateChanged, this, [this](int State) {
    if (State == Qt::Unchecked)
      emit defaultChanged(m_pPackage, false);
    else if (State == Qt::Checked)
      emit defaultChanged(m_pPackage, true);
  });

  // 6. The framed box.
  m_pGroupBox = new QGroupBox;
  m_pGroupBox->setStyleSheet(GroupBoxStyleSheet);
  auto* BoxLayout = new QVBoxLayout(m_pGroupBox);
  BoxLayout->setSpacing(0);
  // The frame's border already keeps the contents off its edges.
  BoxLayout->setContentsMargins(9, 0, 9, 0);
  BoxLayout->addWidget(m_pProgressBar, 0, Qt::AlignHCenter);
  BoxLayout->addWidget(m_pButton, 0, Qt::AlignHCenter);
  BoxLayout->addSpacing(6);
  if (m_pNameLabel)
    BoxLayout->addWidget(m_pNameLabel, 0, Qt::AlignHCenter);
  BoxLayout->addWidget(m_pVersionLabel, 0, Qt::AlignHCenter);
  BoxLayout->addWidget(m_pDefaultClientCheckBox, 0, Qt::AlignHCenter);

  // 7. The tile.
  setSpacing(0);
  addWidget(m_pLogoLabel, 0, Qt::AlignBottom | Qt::AlignHCenter);
  addSpacing(6);
  addWidget(m_pGroupBox, 0, Qt::AlignBottom | Qt::AlignHCenter);

  // 8., 9.
  connect(m_pPackage.get(), &TPackage::localPackageStatusChanged, this,
          &TClientPackageLayoutItem::onLocalPackageStatusChanged);
  m_pProgressBar->hide();
  m_pButton->show();
  updateDefaultClientCheckboxFromPackageStatus();
}

TClientPackageLayoutItem::~TClientPackageLayoutItem()
{
  // Widgets that never reached a widget tree are the tile's own.
  if (m_pLogoLabel && !m_pLogoLabel->parentWidget())
    delete m_pLogoLabel;
  if (m_pGroupBox && !m_pGroupBox->parentWidget())
    delete m_pGroupBox;
}

void TClientPackageLayoutItem::setDefaultClientChecked(bool Checked)
{
  if (m_pDefaultClientCheckBox->isChecked() != Checked)
    m_pDefaultClientCheckBox->setChecked(Checked);
}

void TClientPackageLayoutItem::updatePackageNameAndVersion()
{
  if (m_pNameLabel)
    m_pNameLabel->setText(m_pPackage->name());
  const TPackageConfigurationReader* Description = m_pPackage->currentDescription();
  if (!Description)
    m_pVersionLabel->clear();
  else
    m_pVersionLabel->setText(Description->version().isEmpty() ? QString("?") : Description->version());
}

void TClientPackageLayoutItem::updatePackageImageFromPackageStatus()
{
  const QString Path = packageLogoPath(m_pPackage->currentDescription(), m_pPackage->localStatus());
  const QUrl& Target = m_pPackage->logoLinkTarget();
  if (Target.isEmpty()) {
    m_pLogoLabel->setStyleSheet("\n          QLabel {\n            image: url(" + Path + ");\n          }\n        ");
  } else {
    const QString Link = Target.toString(QUrl::FullyEncoded).toHtmlEscaped();
    m_pLogoLabel->setTextFormat(Qt::RichText);
    m_pLogoLabel->setText("<a href=\"" + Link + "\"><img src=\"" + Path + "\"/></a>");
    m_pLogoLabel->setOpenExternalLinks(true);
  }
  m_pLogoLabel->setToolTip(m_pPackage->name());
}

void TClientPackageLayoutItem::updateButtonFromPackageStatus()
{
  const ELocalPackageStatus Status = m_pPackage->localStatus();
  const QString ActionWord = packageButtonActionWord(Status);
  m_pButton->contextMenu()->clear();
  for (const QString& Action : packageButtonContextActions(Status))
    m_pButton->contextMenu()->addAction(Action);
  m_pButton->setToolTip(ActionWord);
  m_pButton->setFixedSize(ButtonSize);
  m_pButton->setStyleSheet(packageButtonStyleSheet(packageButtonColourWord(Status), ActionWord));
}

void TClientPackageLayoutItem::updateDefaultClientCheckboxFromPackageStatus()
{
  m_pDefaultClientCheckBox->setVisible(m_pPackage->localStatus() == ELocalPackageStatus::UpToDate);
}

void TClientPackageLayoutItem::onLocalPackageStatusChanged()
{
  updatePackageImageFromPackageStatus();
  updateButtonFromPackageStatus();
  updatePackageNameAndVersion();
  updateDefaultClientCheckboxFromPackageStatus();
}

void TClientPackageLayoutItem::onInstallationOrUpdateStarted(const TPackageInstallation& InstallationInProgress)
{
  disconnectInstallation();
  m_pInstallation = &InstallationInProgress;

  TFileSize Total = 0;
  TFileSize Downloaded = 0;
  TPackageFileDownloader* Downloader = InstallationInProgress.downloader();
  if (Downloader) {
    for (const TChunkToDownload& Chunk : Downloader->allChunks())
      Total += Chunk.chunk.packedSize;
    for (const auto& Entry : Downloader->downloadedBytes())
      Downloaded += Entry.second;
  }
  // The bar counts in int; byte counts beyond that are shown as a ratio.
  if (Total <= TFileSize(std::numeric_limits<int>::max())) {
    m_pProgressBar->setMaximum(int(Total));
    m_pProgressBar->setValue(int(std::min(Downloaded, Total)));
  } else {
    m_pProgressBar->setMaximum(ProgressBarResolution);
    m_pProgressBar->setValue(progressBarValue(Downloaded, Total).value_or(0));
  }
  m_pProgressBar->setFormat(QString());

  const TPackageInstallation* Installation = &InstallationInProgress;
  auto Phase = [this, Installation](const QString& Text) {
    return [this, Installation, Text](TFileSize Done, TFileSize Total) {
      onPhaseProgress(Installation, Done, Total, Text);
    };
  };
  connect(Installation, &TPackageInstallation::scanProgress, this, Phase("Scanning..."), Qt::QueuedConnection);
  connect(Installation, &TPackageInstallation::writeProgress, this, Phase("Writing..."), Qt::QueuedConnection);
  connect(Installation, &TPackageInstallation::verificationProgress, this, Phase("Verifying..."),
          Qt::QueuedConnection);
  if (Downloader)
    connect(Downloader, &TPackageFileDownloader::progress, this, &TClientPackageLayoutItem::onDownloadProgress,
            Qt::DirectConnection);

  m_pButton->hide();
  m_pProgressBar->show();
}

void TClientPackageLayoutItem::onInstallationOrUpdateFinished(const TPackageInstallation& InstallationInProgress)
{
  if (m_pInstallation == &InstallationInProgress)
    disconnectInstallation();
  m_pProgressBar->hide();
  m_pButton->show();
  m_pProgressBar->setValue(0);
  updatePackageImageFromPackageStatus();
  updateButtonFromPackageStatus();
  updatePackageNameAndVersion();
}

void TClientPackageLayoutItem::disconnectInstallation()
{
  if (!m_pInstallation)
    return;
  disconnect(m_pInstallation.data(), nullptr, this, nullptr);
  if (TPackageFileDownloader* Downloader = m_pInstallation->downloader())
    disconnect(Downloader, nullptr, this, nullptr);
  m_pInstallation = nullptr;
}

void TClientPackageLayoutItem::onPhaseProgress(const TPackageInstallation* Installation, TFileSize Done,
                                               TFileSize Total, const QString& Text)
{
  // Queued signals may still arrive after the installation finished.
  if (!m_pInstallation || m_pInstallation.data() != Installation)
    return;
  m_pProgressBar->setMaximum(ProgressBarResolution);
  if (const std::optional<int> Value = progressBarValue(Done, Total))
    m_pProgressBar->setValue(*Value);
  m_pProgressBar->setFormat(Text);
  m_pVersionLabel->setText(formatMegabyteProgress(Done, Total));
}

void TClientPackageLayoutItem::onDownloadProgress(TFileSize BytesDownloaded, TFileSize BytesTotalToDownload,
                                                  TFileSize BytesWritten, TFileSize BytesTotalToWrite)
{
  const bool Downloading = BytesDownloaded < BytesTotalToDownload;
  m_pProgressBar->setMaximum(ProgressBarResolution);
  const std::optional<int> Value = Downloading ? progressBarValue(BytesDownloaded, BytesTotalToDownload)
                                               : progressBarValue(BytesWritten, BytesTotalToWrite);
  if (Value)
    m_pProgressBar->setValue(*Value);
  if (Downloading) {
    const TPackageFileDownloader* Downloader = m_pInstallation ? m_pInstallation->downloader() : nullptr;
    const std::uint64_t Rate =
        Downloader ? transferRateFromTickMean(Downloader->downloadRateSampleCount(), Downloader->downloadRateMean()) : 0;
    m_pProgressBar->setFormat(formatTransferRate(Rate));
    m_pVersionLabel->setText(formatMegabyteProgress(BytesDownloaded, BytesTotalToDownload));
  } else {
    m_pProgressBar->setFormat("Writing...");
    m_pVersionLabel->setText(formatMegabyteProgress(BytesWritten, BytesTotalToWrite));
  }
}

} // namespace orvale::launcher
