#pragma once

#include "engine/package.h"
#include "engine/types.h"

#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVBoxLayout>

#include <memory>

class QCheckBox;
class QGroupBox;
class QLabel;
class QProgressBar;

namespace orvale::launcher {

class QContextPushButton;
class TPackageInstallation;

// What the main button of a tile looks like for a local status: the colour
// word of its images ("Red", "Blue", "Orange", "Green"), the action word of
// its icon and tooltip ("", "Download", "Update", "Play") and the texts of
// its context actions (only "Verify", for an up-to-date package).
QString packageButtonColourWord(ELocalPackageStatus Status);
QString packageButtonActionWord(ELocalPackageStatus Status);
QStringList packageButtonContextActions(ELocalPackageStatus Status);
QString packageButtonStyleSheet(const QString& ColourWord, const QString& ActionWord);

// ":/images/launcher/AshgroveLogo_<variant>[_disabled].png" for a package
// description (null: none) and status; packages that are not up to date
// show the dimmed logo.
QString packageLogoPath(const TPackageConfigurationReader* Description, ELocalPackageStatus Status);

// The tile of one client package in the main window: logo, main button (or
// the progress bar while an installation runs), optional name, version (or
// the transferred megabytes) and the "Default Client" checkbox. The tile is
// a layout; its widgets belong to the widget the layout is placed in.
class TClientPackageLayoutItem : public QVBoxLayout
{
  Q_OBJECT
public:
  TClientPackageLayoutItem(std::shared_ptr<TPackage> Package, bool ShowPackageName);
  ~TClientPackageLayoutItem() override;

  const std::shared_ptr<TPackage>& package() const { return m_pPackage; }
  QCheckBox* defaultClientCheckBox() const { return m_pDefaultClientCheckBox; }
  QLabel* logoLabel() const { return m_pLogoLabel; }
  // Null unless package names are shown.
  QLabel* nameLabel() const { return m_pNameLabel; }
  QLabel* versionLabel() const { return m_pVersionLabel; }
  QContextPushButton* button() const { return m_pButton; }
  QProgressBar* progressBar() const { return m_pProgressBar; }
  // Sets the checkbox (and so emits defaultChanged) only when it differs.
  void setDefaultClientChecked(bool Checked);

signals:
  void defaultChanged(std::shared_ptr<orvale::launcher::TPackage> pPackage, bool IsDefault);
  void buttonClicked(std::shared_ptr<orvale::launcher::TPackage> pPackage);
  void verifyButtonClicked(std::shared_ptr<orvale::launcher::TPackage> pPackage);

public slots:
  void onInstallationOrUpdateStarted(const orvale::launcher::TPackageInstallation& InstallationInProgress);
  void onInstallationOrUpdateFinished(const orvale::launcher::TPackageInstallation& InstallationInProgress);
  void onLocalPackageStatusChanged();
  void updatePackageNameAndVersion();
  void updatePackageImageFromPackageStatus();
  void updateButtonFromPackageStatus();
  void updateDefaultClientCheckboxFromPackageStatus();

private:
  void onPhaseProgress(const TPackageInstallation* Installation, TFileSize Done, TFileSize Total, const QString& Text);
  void onDownloadProgress(TFileSize BytesDownloaded, TFileSize BytesTotalToDownload, TFileSize BytesWritten,
                          TFileSize BytesTotalToWrite);
  void disconnectInstallation();

  std::shared_ptr<TPackage> m_pPackage;
  QCheckBox* m_pDefaultClientCheckBox = nullptr;
  QLabel* m_pLogoLabel = nullptr;
  QLabel* m_pNameLabel = nullptr;
  QLabel* m_pVersionLabel = nullptr;
  QContextPushButton* m_pButton = nullptr;
  QProgressBar* m_pProgressBar = nullptr;
  QGroupBox* m_pGroupBox = nullptr;
  // The installation whose progress the tile shows; progress of any other
  // (or arriving after it finished) is ignored.
  QPointer<const TPackageInstallation> m_pInstallation;
};

} // namespace orvale::launcher
